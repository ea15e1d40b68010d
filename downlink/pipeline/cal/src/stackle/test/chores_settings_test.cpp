// Command-line parsing, namelist keys and the completion of the settings.
#include "stackle.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

// Runs process_cmd_args on "stackle" followed by `args`; captures its output in `out`.
control_settings parse(std::vector<std::string> args, std::string* out = nullptr) {
    args.insert(args.begin(), "stackle");
    std::vector<char*> argv;
    for (auto& w : args)
        argv.push_back(&w[0]);
    testing::internal::CaptureStdout();
    control_settings cs = process_cmd_args(static_cast<int>(argv.size()), argv.data());
    std::string text = testing::internal::GetCapturedStdout();
    if (out != nullptr)
        *out = text;
    return cs;
}

control_settings completed(const std::vector<std::string>& args) {
    control_settings cs = parse(args);
    complete_settings(&cs);
    return cs;
}

} // namespace

TEST(ChoresArgs, SwitchesSetTheirValuesAndFlags) {
    std::string out;
    control_settings cs = parse({"-di", "d.list", "-bp", "7", "-cf", "0.3", "-ag", "12abc", "-V",
                                 "-ls", "1", "-h1", "-x", "5"},
                                &out);
    EXPECT_STREQ(cs.data_in_lfile, "d.list");
    EXPECT_EQ(cs.data_in_lfile_f + cs.bpass_f, 2);
    EXPECT_EQ(cs.bpass, 7);
    EXPECT_EQ(cs.bfatal_f, 0);
    EXPECT_FLOAT_EQ(cs.cut_frac, 0.3f);
    EXPECT_EQ(cs.amask_min_good, 12);
    EXPECT_EQ(cs.verbose + cs.lists_in_nlfile + cs.file1_header_prop, 3);
    EXPECT_STREQ(cs.progname, "stackle");
    EXPECT_NE(out.find("\a\n*** NOTE:  Unexpected parameter #11: \"1\" IGNORED.\n\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nWARNING: Unknown switch 13: \"-x\" IGNORED.\n\n"), std::string::npos);
    EXPECT_NE(out.find("Unexpected parameter #14: \"5\""), std::string::npos);
    // A value may begin with a dash; 255 characters are the longest value.
    cs = parse({"-do", "-V"});
    EXPECT_STREQ(cs.data_out_file, "-V");
    EXPECT_EQ(cs.verbose, 0);
    EXPECT_STREQ(parse({"-do", std::string(255, 'a')}).data_out_file,
                 std::string(255, 'a').c_str());
}

TEST(ChoresArgs, WeightKeepsTheLowByteAndMaskTemplatesTheUnsignedForm) {
    control_settings cs = parse({"-wt", "256"});
    EXPECT_EQ(cs.use_weights, 0);
    EXPECT_EQ(cs.use_weights_f, 1);
    EXPECT_EQ(parse({"-wt", "257"}).use_weights, 1);
    EXPECT_EQ(parse({"-bf", "65535"}).bfatal, -1);
    EXPECT_EQ(parse({"-pf", "-32768"}).pfatal, -32768);
    // A mask template beyond 16 bits ends the run.
    EXPECT_EXIT(parse({"-bf", "65536"}), testing::ExitedWithCode(64), "");
}

TEST(ChoresNamelist, KeyFormsTheirCaseAndBadValues) {
    control_settings cs;
    clear_cs_flags(&cs);
    testing::internal::CaptureStdout();
    namelist_line(&cs, "XYZ_di", "a.list"); // a short form skips any prefix
    namelist_line(&cs, "cut_frac", "0.5");  // a long form ignores case
    namelist_line(&cs, "stk_V", "3");
    namelist_line(&cs, "Stk_AG", "4"); // a short key in mixed case is unknown
    namelist_line(&cs, "ag", "4");     // too short for a short form
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(cs.data_in_lfile, "a.list");
    EXPECT_FLOAT_EQ(cs.cut_frac, 0.5f);
    EXPECT_EQ(cs.cut_frac_f, 1);
    EXPECT_EQ(cs.verbose, 3);
    EXPECT_EQ(cs.amask_min_good_f, 0);
    EXPECT_EQ(out, "\nWARNING: Unknown switch \"STK_AG\" IGNORED in namelist file.\n\n"
                   "\nWARNING: Unknown switch \"AG\" IGNORED in namelist file.\n\n");
    EXPECT_EXIT(namelist_line(&cs, "STK_cf", "abc"), testing::ExitedWithCode(64), "");
}

TEST(ChoresComplete, DefaultsOnlyWhereUnsetAndFmaskTurnsWeightingOn) {
    control_settings cs = completed({"-di", "d.list", "-do", "o.fits", "-cm", "7"});
    EXPECT_STREQ(cs.wts_out_file, "kestack_wt.txt");
    EXPECT_FLOAT_EQ(cs.cut_frac, 0.2f);
    EXPECT_FLOAT_EQ(cs.cut_multiple, 7.0f);
    EXPECT_EQ(cs.amask_min_good, 3);
    EXPECT_EQ(cs.use_weights, 0);
    EXPECT_EQ(cs.bfatal_f, 0);
    EXPECT_FLOAT_EQ(completed({"-di", "d", "-do", "o"}).cut_multiple, 5.0f);
    EXPECT_EQ(completed({"-di", "d", "-do", "o", "-fm", "f.fits"}).use_weights, 1);
    EXPECT_EQ(completed({"-di", "d", "-do", "o", "-fm", "f.fits", "-wt", "0"}).use_weights, 0);
    // In namelist mode the data list comes from the namelist, but -do is still needed.
    EXPECT_EQ(completed({"-ls", "-do", "o"}).lists_in_nlfile, 1);
    EXPECT_EXIT(completed({"-ls"}), testing::ExitedWithCode(64), "");
}

TEST(ChoresComplete, ListSourcesFollowTheMode) {
    control_settings cs = parse({"-ls", "-di", "d.list", "-pm", "p.list"});
    std::snprintf(cs.namelist, sizeof cs.namelist, "nl.txt");
    cs.namelist_f = 1;
    list_sources src;
    choose_list_sources(&cs, &src);
    EXPECT_EQ(src.nl_mode + src.bmask_found, 2);
    EXPECT_STREQ(src.data, "nl.txt");
    EXPECT_STREQ(src.pmask, "nl.txt");
    cs.lists_in_nlfile = 0;
    choose_list_sources(&cs, &src);
    EXPECT_EQ(src.nl_mode + src.bmask_found, 0);
    EXPECT_STREQ(src.data, "d.list");
    EXPECT_STREQ(src.pmask, "p.list");
}
