// Command line, namelist keys, completion of the settings and the namelist sections of the file
// lists, where a whole run does not show them.  The namelists and file lists of whole runs, and
// their messages, are rows of the hostile-input table (e2e_hostile_test.cpp).
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

TEST(ChoresArgs, SwitchesSetTheirValuesAndFlagsAndDefaultsFillTheRest) {
    control_settings cs = parse({"-di", "d.list", "-bp", "7", "-cf", "0.3", "-ag", "12abc", "-V",
                                 "-ls", "-h1", "-wt", "257", "-pf", "-32768", "-do", "-V"});
    EXPECT_STREQ(cs.data_out_file, "-V"); // a value may begin with a dash
    // The flags of the switches given, 12 of "12abc", the low byte of 257, -V, -ls and -h1 set.
    EXPECT_EQ(std::vector<int>({cs.data_in_lfile_f + cs.bpass_f + cs.use_weights_f + cs.pfatal_f,
                                cs.bfatal_f, cs.bpass, cs.amask_min_good, cs.use_weights, cs.pfatal,
                                cs.verbose + cs.lists_in_nlfile + cs.file1_header_prop}),
              std::vector<int>({4, 0, 7, 12, 1, -32768, 3}));
    EXPECT_EQ(parse({"-bf", "65535"}).bfatal, -1); // mask templates in their unsigned form
    EXPECT_STREQ(parse({"-do", std::string(255, 'a')}).data_out_file,
                 std::string(255, 'a').c_str());
    EXPECT_STACKLE_FAILS(parse({"-bf", "65536"}), "argument #1: \"-bf\"\n");
    // Completed: the defaults only where nothing was given.
    EXPECT_EQ(parse({"-di", "d", "-do", "o"}, true).cut_multiple, 5.0f);
    cs = parse({"-di", "d", "-do", "o", "-cm", "7"}, true);
    EXPECT_EQ(std::vector<float>({cs.cut_frac, cs.cut_multiple}), std::vector<float>({0.2f, 7}));
}

TEST(ChoresLists, NamelistSectionsFoundAndAListSectionWithoutEnd) {
    testkit::TempDir dir;
    const std::string nl = dir.file("nl");
    testkit::write_text(nl,
                        "&STACKLE\n&END\n&COADD_DATA\n d1.fits\n&End\n&COADD_BMASK\n b1.fits\n");
    unsigned char s = 9, b = 9, p = 9;
    find_markers(nl.c_str(), &s, &b, &p);
    EXPECT_EQ(std::vector<int>({s, b, p}), std::vector<int>({0, 1, 0}));
    char first[STACKLE_STRLEN] = "";
    EXPECT_EQ(printed([&] {
                  EXPECT_EQ(count_filenames(nl.c_str(), 1, "&COADD_BMASK", "&END", first), 1);
              }),
              "CAUTION: MISTAKE IN NAMELIST, " + nl +
                  " -- \"&END\" not found.\n         IGNORING LACK OF \"&END\". \n\n");
    EXPECT_STREQ(first, "b1.fits");
}
