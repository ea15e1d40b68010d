// Command-line parsing, namelist keys and the completion of the settings.
#include "stackle.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

// Runs process_cmd_args on "stackle" followed by `args`; captures its output.
control_settings parse(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<std::string> words{"stackle"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(&w[0]);
    testing::internal::CaptureStdout();
    control_settings cs = process_cmd_args(static_cast<int>(argv.size()), argv.data());
    std::string text = testing::internal::GetCapturedStdout();
    if (out != nullptr)
        *out = text;
    return cs;
}

control_settings cleared() {
    control_settings cs;
    clear_cs_flags(&cs);
    return cs;
}

} // namespace

TEST(ChoresArgs, TextAndNumericSwitchesSetTheirFlags) {
    control_settings cs = parse({"-di", "d.list", "-bp", "7", "-cf", "0.3", "-ag", "12abc", "-V"});
    EXPECT_STREQ(cs.data_in_lfile, "d.list");
    EXPECT_EQ(cs.data_in_lfile_f, 1);
    EXPECT_EQ(cs.bpass, 7);
    EXPECT_EQ(cs.bpass_f, 1);
    EXPECT_EQ(cs.bfatal_f, 0);
    EXPECT_FLOAT_EQ(cs.cut_frac, 0.3f);
    EXPECT_EQ(cs.amask_min_good, 12);
    EXPECT_EQ(cs.verbose, 1);
    EXPECT_STREQ(cs.progname, "stackle");
}

TEST(ChoresArgs, WeightSwitchKeepsTheLowByte) {
    control_settings cs = parse({"-wt", "256"});
    EXPECT_EQ(cs.use_weights, 0);
    EXPECT_EQ(cs.use_weights_f, 1);
    EXPECT_EQ(parse({"-wt", "257"}).use_weights, 1);
}

TEST(ChoresArgs, SixteenBitTemplatesAcceptUnsignedForm) {
    EXPECT_EQ(parse({"-bf", "65535"}).bfatal, -1);
    EXPECT_EQ(parse({"-pf", "-32768"}).pfatal, -32768);
    EXPECT_EXIT(parse({"-bf", "65536"}), testing::ExitedWithCode(64), "");
}

TEST(ChoresArgs, ValuelessSwitchesAndStrayParameters) {
    std::string out;
    control_settings cs = parse({"-ls", "1", "-h1", "-do", "out.fits", "-x", "5"}, &out);
    EXPECT_EQ(cs.lists_in_nlfile, 1);
    EXPECT_EQ(cs.file1_header_prop, 1);
    EXPECT_STREQ(cs.data_out_file, "out.fits");
    EXPECT_NE(out.find("\a\n*** NOTE:  Unexpected parameter #2: \"1\" IGNORED.\n\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nWARNING: Unknown switch 6: \"-x\" IGNORED.\n\n"), std::string::npos);
    EXPECT_NE(out.find("Unexpected parameter #7: \"5\""), std::string::npos);
}

TEST(ChoresArgs, ValueMayBeginWithDash) {
    EXPECT_STREQ(parse({"-do", "-V"}).data_out_file, "-V");
    EXPECT_EQ(parse({"-do", "-V"}).verbose, 0);
}

TEST(ChoresArgs, BadOrMissingValuesEndTheRun) {
    EXPECT_EXIT(parse({"-ag", "abc"}), testing::ExitedWithCode(64), "");
    EXPECT_EXIT(parse({"-V", "-di"}), testing::ExitedWithCode(64), "");
    EXPECT_EXIT(parse({"-do", std::string(256, 'a')}), testing::ExitedWithCode(64), "");
    EXPECT_STREQ(parse({"-do", std::string(255, 'a')}).data_out_file,
                 std::string(255, 'a').c_str());
}

TEST(ChoresNamelist, ShortFormSkipsAnyPrefixLongFormIgnoresCase) {
    control_settings cs = cleared();
    namelist_line(&cs, "XYZ_di", "a.list");
    namelist_line(&cs, "cut_frac", "0.5");
    namelist_line(&cs, "stk_V", "3");
    EXPECT_STREQ(cs.data_in_lfile, "a.list");
    EXPECT_FLOAT_EQ(cs.cut_frac, 0.5f);
    EXPECT_EQ(cs.cut_frac_f, 1);
    EXPECT_EQ(cs.verbose, 3);
}

TEST(ChoresNamelist, MixedCaseShortKeyIsUnknown) {
    control_settings cs = cleared();
    testing::internal::CaptureStdout();
    namelist_line(&cs, "Stk_CF", "0.3");
    namelist_line(&cs, "cf", "0.3"); // too short for a short form
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(cs.cut_frac_f, 0);
    EXPECT_EQ(out, "\nWARNING: Unknown switch \"STK_CF\" IGNORED in namelist file.\n\n"
                   "\nWARNING: Unknown switch \"CF\" IGNORED in namelist file.\n\n");
}

TEST(ChoresNamelist, BadNumberOrLongValueEndsTheRun) {
    control_settings cs = cleared();
    EXPECT_EXIT(namelist_line(&cs, "STK_cf", "abc"), testing::ExitedWithCode(64), "");
    EXPECT_EXIT(namelist_line(&cs, "STK_do", std::string(300, 'x').c_str()),
                testing::ExitedWithCode(64), "");
}

TEST(ChoresComplete, DefaultsOnlyWhereUnset) {
    control_settings cs = parse({"-di", "d.list", "-do", "o.fits", "-cm", "7"});
    complete_settings(&cs);
    EXPECT_STREQ(cs.wts_out_file, "kestack_wt.txt");
    EXPECT_FLOAT_EQ(cs.cut_frac, 0.2f);
    EXPECT_FLOAT_EQ(cs.cut_multiple, 7.0f);
    EXPECT_EQ(cs.amask_min_good, 3);
    EXPECT_EQ(cs.use_weights, 0);
    EXPECT_EQ(cs.bfatal_f, 0);
}

TEST(ChoresComplete, FmaskTurnsWeightingOnUnlessSwitchedOff) {
    control_settings on = parse({"-di", "d", "-do", "o", "-fm", "f.fits"});
    complete_settings(&on);
    EXPECT_EQ(on.use_weights, 1);
    control_settings off = parse({"-di", "d", "-do", "o", "-fm", "f.fits", "-wt", "0"});
    complete_settings(&off);
    EXPECT_EQ(off.use_weights, 0);
}

TEST(ChoresComplete, NamelistModeNeedsNoDataList) {
    control_settings no_do = parse({"-ls"});
    EXPECT_EXIT(complete_settings(&no_do), testing::ExitedWithCode(64), "");
    control_settings ls = parse({"-ls", "-do", "o"});
    complete_settings(&ls); // the data list comes from the namelist
    EXPECT_EQ(ls.lists_in_nlfile, 1);
}

TEST(ChoresComplete, ListSourcesFollowTheMode) {
    control_settings cs = parse({"-ls", "-di", "d.list", "-pm", "p.list"});
    std::snprintf(cs.namelist, sizeof cs.namelist, "nl.txt");
    cs.namelist_f = 1;
    list_sources src;
    choose_list_sources(&cs, &src);
    EXPECT_EQ(src.nl_mode, 1);
    EXPECT_STREQ(src.data, "nl.txt");
    EXPECT_STREQ(src.pmask, "nl.txt");
    EXPECT_EQ(src.bmask_found, 1);
    cs.lists_in_nlfile = 0;
    choose_list_sources(&cs, &src);
    EXPECT_EQ(src.nl_mode, 0);
    EXPECT_STREQ(src.data, "d.list");
    EXPECT_STREQ(src.pmask, "p.list");
    EXPECT_EQ(src.bmask_found, 0);
}

TEST(ChoresText, UpperCaseInPlace) {
    char text[] = "stk_Cf=1.5z";
    str2uc(text);
    EXPECT_STREQ(text, "STK_CF=1.5Z");
    str2uc(nullptr);
}
