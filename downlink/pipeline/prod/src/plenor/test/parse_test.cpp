// Command line and namelist: the records they fill and the status codes they set.
#include "plenor.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const int32_t syntax_status = 0x200018;

struct parsed {
    file_names fn;
    run_control rc;
    std::string out;
};

// Runs both parsers on "plenor <args...>" as the main routine does.
parsed parse(const std::vector<std::string>& args) {
    parsed r;
    image_dims dims;
    plenor_init_constants(&r.fn, &r.rc, &dims);
    std::vector<std::string> words = {"plenor"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(&w[0]);
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    testing::internal::CaptureStdout();
    plenor_parse_namelist(argc, argv.data(), &r.fn, &r.rc);
    plenor_parse_args(argc, argv.data(), &r.fn, &r.rc);
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

const std::vector<std::string> required = {"-i", "in.fits", "-o", "out.fits", "-f", "flat.fits"};

std::vector<std::string> with_required(std::vector<std::string> args) {
    args.insert(args.end(), required.begin(), required.end());
    return args;
}

} // namespace

TEST(PlenorParseArgs, CompleteLineStoresNamesAndOutputsGetTheBang) {
    const parsed r = parse(with_required({"-uo", "u.fits", "-ct", "tc.fits", "-pm", "-3"}));
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.FITS_Input_File, "in.fits");
    EXPECT_STREQ(r.fn.FITS_Output_File, "!out.fits");
    EXPECT_STREQ(r.fn.Output_Uncertainty_File, "!u.fits");
    EXPECT_STREQ(r.fn.Transmission_Cal_Mask_File, "tc.fits");
    EXPECT_EQ(r.rc.PmaskMask, -3);
    EXPECT_EQ(r.rc.DmaskMask, 16384);
}

TEST(PlenorParseArgs, OnlySecondAndThirdCharactersSelectTheOption) {
    const parsed r = parse({"-input", "a.fits", "-o", "b", "-f", "c", "-dmask", "7"});
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.FITS_Input_File, "a.fits");
    EXPECT_EQ(r.rc.DmaskMask, 7);
}

TEST(PlenorParseArgs, VerboseIsAToggle) {
    EXPECT_EQ(parse(with_required({"-v"})).rc.I_Verbose, 1);
    EXPECT_EQ(parse(with_required({"-v", "-v"})).rc.I_Verbose, 0);
}

TEST(PlenorParseArgs, StrayWordAndUnknownOptionFail) {
    EXPECT_EQ(parse(with_required({"stray"})).rc.status, syntax_status);
    const parsed r = parse(with_required({"-z"}));
    EXPECT_EQ(r.rc.status, syntax_status);
    EXPECT_NE(r.out.find("plenor_parse_args: unknown argument\n"), std::string::npos);
}

TEST(PlenorParseArgs, DanglingNameOptionFails) {
    const parsed r = parse({"-i", "a", "-o", "b", "-f", "c", "-n"});
    EXPECT_EQ(r.rc.status, syntax_status);
    EXPECT_NE(r.out.find("-n <input_namelist_fname> missing argument\n"), std::string::npos);
    EXPECT_NE(r.out.find("Information only: Namelist not specified.\n"), std::string::npos);
    EXPECT_EQ(parse({"-o", "b", "-f", "c", "-i"}).rc.status, syntax_status);
}

TEST(PlenorParseArgs, LevelMustBeANumber) {
    const parsed r = parse(with_required({"-dm", "abc"}));
    EXPECT_EQ(r.rc.status, syntax_status);
    EXPECT_EQ(r.rc.DmaskMask, 16384);
    EXPECT_EQ(parse(with_required({"-cm", "99999999999"})).rc.status, syntax_status);
}

TEST(PlenorParseArgs, NamesLongerThanTheRecordAreRefused) {
    const std::string longest(1024, 'a');
    const parsed fits = parse({"-i", longest, "-o", "b", "-f", "c"});
    EXPECT_EQ(fits.rc.status, 0);
    EXPECT_EQ(std::string(fits.fn.FITS_Input_File), longest);

    const parsed too_long = parse({"-i", longest + "a", "-o", "b", "-f", "c"});
    EXPECT_EQ(too_long.rc.status, syntax_status);
    // The "!" of an output name counts against the record's length.
    const parsed output = parse({"-i", "a", "-o", longest, "-f", "c"});
    EXPECT_EQ(output.rc.status, syntax_status);
    EXPECT_STREQ(output.fn.FITS_Output_File, "");
    EXPECT_EQ(parse(with_required({"-n", std::string(5000, 'n')})).rc.status, syntax_status);
}

class PlenorNamelist : public testing::Test {
  protected:
    testkit::TempDir dir;
    parsed with_text(const std::string& text, std::vector<std::string> args = required) {
        testkit::write_text(dir.file("plenor.nl"), text);
        args.push_back("-n");
        args.push_back(dir.file("plenor.nl"));
        return parse(args);
    }
};

TEST_F(PlenorNamelist, QuotedNamesTrailingCommaAndBlankInsideApostrophes) {
    const parsed r = with_text(" &PLENORIN\n"
                               " FITS_Output_File = 'o2.fits',\n"
                               " Dmask_File = 'my file.fits',\n"
                               " Pmask_File = 'p.fits'\n"
                               " CmaskMask = 12, DmaskMask = -5x\n"
                               " &END\n",
                               {"-i", "a", "-f", "c"});
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.FITS_Output_File, "!o2.fits");
    EXPECT_STREQ(r.fn.Dmask_File, "my");
    EXPECT_STREQ(r.fn.Pmask_File, "p.fits");
    EXPECT_EQ(r.rc.CmaskMask, 12);
    EXPECT_EQ(r.rc.DmaskMask, -5);
}

TEST_F(PlenorNamelist, CommandLineOverridesAndVerboseToggles) {
    const parsed r = with_text("&PLENORIN\nFITS_Input_File = 'nl.fits',\nVerbose = 1\n/\n",
                               {"-v", "-i", "cl.fits", "-o", "b", "-f", "c"});
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.FITS_Input_File, "cl.fits");
    EXPECT_EQ(r.rc.I_Verbose, 0);
}

TEST_F(PlenorNamelist, OtherGroupsAreSkippedAndTheGroupEndsAtAnAmpersand) {
    const parsed r = with_text("&OTHER Pmask_File = 'x' &END\n&PLENORIN\nCmask_File = 'c'\n"
                               "&END\nDmask_File = 'd'\n");
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.Pmask_File, "");
    EXPECT_STREQ(r.fn.Cmask_File, "c");
    EXPECT_STREQ(r.fn.Dmask_File, "");
}

TEST_F(PlenorNamelist, EntriesNotWrittenKeyBlankEqualsBlankValueAreIgnored) {
    const parsed r = with_text("&PLENORIN\nPmask_File='p'\nCmask_File : 'c'\npmask_file = 'q'\n"
                               "Unknown = 'u'\n&END\n");
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.Pmask_File, "");
    EXPECT_STREQ(r.fn.Cmask_File, "");
}

TEST_F(PlenorNamelist, MissingGroupEmptyFileAndUnopenableFile) {
    EXPECT_EQ(with_text("no group here\n").rc.status, 0x1C001A);
    EXPECT_EQ(with_text("text &PLENORI").rc.status, 0x1C001A);
    EXPECT_EQ(with_text(std::string("\x7f"
                                    "ELF\0\0\x01&\xff",
                                    9))
                  .rc.status,
              0x1C001A);
    const parsed empty = with_text("");
    EXPECT_EQ(empty.rc.status, 0x1C0012);
    EXPECT_NE(empty.out.find("Could not read from file"), std::string::npos);
    EXPECT_EQ(parse(with_required({"-n", dir.path()})).rc.status, 0x1C0012);
    const parsed missing = parse(with_required({"-n", dir.file("absent")}));
    EXPECT_EQ(missing.rc.status, 0x1C0011);
    EXPECT_NE(missing.out.find("plenor_parse_namelist: Error opening file"), std::string::npos);
}

TEST_F(PlenorNamelist, WordsOfMoreThan255CharactersAreRefused) {
    const std::string name255(254, 'w');
    const parsed ok = with_text("&PLENORIN\nPmask_File = '" + name255 + "\n&END\n");
    EXPECT_EQ(ok.rc.status, 0);
    EXPECT_EQ(std::string(ok.fn.Pmask_File), name255);
    const parsed refused =
        with_text("&PLENORIN\nPmask_File = '" + std::string(5000, 'w') + "'\n&END\n");
    EXPECT_EQ(refused.rc.status, 0x1C001A);
    EXPECT_STREQ(refused.fn.Pmask_File, "");
}

TEST_F(PlenorNamelist, NotReadAfterAnEarlierFailure) {
    file_names fn;
    run_control rc;
    image_dims dims;
    plenor_init_constants(&fn, &rc, &dims);
    rc.status = 0x141068;
    char arg0[] = "plenor";
    char* argv[] = {arg0, nullptr};
    EXPECT_EQ(plenor_parse_namelist(1, argv, &fn, &rc), -1);
    EXPECT_EQ(rc.status, 0x141068);
}

TEST(PlenorDecode, FunctionAndMessageTables) {
    char text[64];
    plenor_decode_fcnname(9, text);
    EXPECT_STREQ(text, "Unknown function.");
    plenor_decode_fcnname(12, text);
    EXPECT_STREQ(text, "Unknown function.");
    plenor_decode_fcnname(0x0B, text);
    EXPECT_STREQ(text, "SSORTP");
    plenor_decode_fcnname(0x21, text);
    EXPECT_STREQ(text, "COMPUTE");
    plenor_decode_message(0x71, text);
    EXPECT_STREQ(text, "MALLOC_FAILED");
    plenor_decode_message(0x10, text);
    EXPECT_STREQ(text, "ROOT_NEG");
    plenor_decode_message(0x0A, text);
    EXPECT_STREQ(text, "Unknown error");
}

TEST(PlenorDecode, ErrorReportSplitsFitsStatuses) {
    run_control rc{128, 16384, 256, 0x141068, 0, 1};
    testing::internal::CaptureStdout();
    plenor_error_handler(&rc);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("plenor Error Message      0x0068: Unknown error.\n"
                        "plenor Error in Function  0x0014: READ_DATA.\nTime = ",
                        0),
              0u);
    rc.status = 104 | 0x1C; // failed history line: no function part
    testing::internal::CaptureStdout();
    plenor_error_handler(&rc);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("0x0000: No function.\n"), std::string::npos);
    rc.status = 0;
    testing::internal::CaptureStdout();
    plenor_error_handler(&rc);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("plenor Error"), std::string::npos);
}
