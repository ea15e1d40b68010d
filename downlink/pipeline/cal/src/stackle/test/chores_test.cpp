// Command line, namelist keys, completion of the settings and the namelist sections of the file
// lists.  The namelist and file lists of whole runs, and their messages, are rows of the
// hostile-input table (e2e_hostile_test.cpp).
#include "fits_test_support.h"

namespace {

// process_cmd_args on "stackle" followed by `args`, completed if asked.
control_settings parse(std::vector<std::string> args, bool complete = false) {
    args.insert(args.begin(), "stackle");
    std::vector<char*> argv;
    for (auto& w : args)
        argv.push_back(&w[0]);
    control_settings cs = process_cmd_args(static_cast<int>(argv.size()), argv.data());
    if (complete)
        complete_settings(&cs);
    return cs;
}

} // namespace

TEST(ChoresArgs, SwitchesSetTheirValuesAndFlags) {
    control_settings cs = parse({"-di", "d.list", "-bp", "7", "-cf", "0.3", "-ag", "12abc", "-V",
                                 "-ls", "-h1", "-wt", "257", "-pf", "-32768", "-do", "-V"});
    EXPECT_STREQ(cs.data_in_lfile, "d.list");
    EXPECT_STREQ(cs.data_out_file, "-V"); // a value may begin with a dash
    EXPECT_FLOAT_EQ(cs.cut_frac, 0.3f);
    // The flags of the switches given, 12 of "12abc", the low byte of 257, -V, -ls and -h1 set.
    EXPECT_EQ(std::vector<int>({cs.data_in_lfile_f + cs.bpass_f + cs.use_weights_f + cs.pfatal_f,
                                cs.bfatal_f, cs.bpass, cs.amask_min_good, cs.use_weights, cs.pfatal,
                                cs.verbose + cs.lists_in_nlfile + cs.file1_header_prop}),
              std::vector<int>({4, 0, 7, 12, 1, -32768, 3}));
    EXPECT_EQ(parse({"-bf", "65535"}).bfatal, -1); // mask templates in their unsigned form
    EXPECT_STREQ(parse({"-do", std::string(255, 'a')}).data_out_file,
                 std::string(255, 'a').c_str());
    EXPECT_STACKLE_FAILS(parse({"-bf", "65536"}), "argument #1: \"-bf\"\n");
    EXPECT_STACKLE_FAILS(parse({"-ag", "x"}), "argument #1: \"-ag\"\n");
    EXPECT_STACKLE_FAILS(parse({"-di", "d", "-n", std::string(256, 'n')}), "argument #3: \"-n\"\n");
}

TEST(ChoresNamelist, KeyFormsTheirCaseAndBadValues) {
    control_settings cs;
    clear_cs_flags(&cs);
    testing::internal::CaptureStdout();
    namelist_line(&cs, "XYZ_di", "a.list"); // a short form skips any prefix
    namelist_line(&cs, "cut_frac", "0.5");  // a long form ignores case
    namelist_line(&cs, "Stk_AG", "4");      // a short key in mixed case is unknown
    namelist_line(&cs, "ag", "4");          // too short for a short form
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nWARNING: Unknown switch \"STK_AG\" IGNORED in namelist file.\n\n"
              "\nWARNING: Unknown switch \"AG\" IGNORED in namelist file.\n\n");
    EXPECT_STREQ(cs.data_in_lfile, "a.list");
    EXPECT_EQ(std::vector<float>({cs.cut_frac, 1.0f * cs.cut_frac_f, 1.0f * cs.amask_min_good_f}),
              std::vector<float>({0.5f, 1, 0}));
    EXPECT_EXIT(namelist_line(&cs, "STK_cf", "abc"), testing::ExitedWithCode(64), "");
}

TEST(ChoresComplete, DefaultsOnlyWhereUnsetAndFmaskTurnsWeightingOn) {
    control_settings cs = parse({"-di", "d", "-do", "o", "-cm", "7"}, true);
    EXPECT_STREQ(cs.wts_out_file, "kestack_wt.txt");
    EXPECT_EQ(std::vector<float>({cs.cut_frac, cs.cut_multiple, 1.0f * cs.amask_min_good,
                                  1.0f * (cs.use_weights + cs.bfatal_f)}),
              std::vector<float>({0.2f, 7, 3, 0}));
    EXPECT_EQ(parse({"-di", "d", "-do", "o"}, true).cut_multiple, 5.0f);
    EXPECT_EQ(parse({"-di", "d", "-do", "o", "-fm", "f.fits"}, true).use_weights, 1);
    EXPECT_EQ(parse({"-di", "d", "-do", "o", "-fm", "f.fits", "-wt", "0"}, true).use_weights, 0);
}

TEST(ChoresLists, NamelistSectionsAndTheirCautions) {
    testkit::TempDir dir;
    const std::string nl = dir.file("nl");
    testkit::write_text(nl,
                        "&STACKLE\n&END\n&COADD_DATA\n d1.fits\n&End\n&COADD_BMASK\n b1.fits\n");
    unsigned char s = 9, b = 9, p = 9;
    find_markers(nl.c_str(), &s, &b, &p);
    EXPECT_EQ(std::vector<int>({s, b, p}), std::vector<int>({0, 1, 0}));
    const std::string caution = "CAUTION: MIS";
    const std::string rows[][3] = {
        {"&COADD_DATA", "d1.fits", ""},
        {"&COADD_SDEV", "",
         "KAKE IN NAMELIST, " + nl +
             " -- \"&COADD_SDEV\" not found.\n         IGNORING NAMELIST. \n\n"},
        {"&COADD_BMASK", "b1.fits",
         "TAKE IN NAMELIST, " + nl +
             " -- \"&END\" not found.\n         IGNORING LACK OF \"&END\". \n\n"},
    };
    for (const auto& r : rows) {
        char first[STACKLE_STRLEN] = "";
        testing::internal::CaptureStdout();
        EXPECT_EQ(count_filenames(nl.c_str(), 1, r[0].c_str(), "&END", first),
                  r[1].empty() ? 0 : 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r[2].empty() ? "" : caution + r[2]);
        EXPECT_STREQ(first, r[1].c_str()) << r[0];
    }
}
