// Command line and namelist: the records they fill and the status codes they set; the
// decoders of status codes.
#include <string>
#include <vector>

#include "plenor.h"
#include "plenor_test_support.h"

namespace {

using plenor_test::has;

const int32_t syntax = 0x200018, no_group = 0x1C001A, unreadable = 0x1C0012;
const std::string req = " -i in.fits -o out.fits -f flat.fits";
const std::string longest(1024, 'a');

struct parsed {
    file_names fn;
    run_control rc;
    std::string out;
};

class PlenorParse : public testing::Test {
  protected:
    testkit::TempDir dir;

    // Runs both parsers on "plenor <line>" as the main routine does, after a stage that set
    // `status`.  The word "NL" stands for a namelist file holding `text`.
    parsed parse(const std::string& line, const std::string& text = "", int32_t status = 0) {
        parsed r;
        image_dims dims;
        plenor_init_constants(&r.fn, &r.rc, &dims);
        r.rc.status = status;
        std::vector<std::string> words = plenor_test::words("plenor " + line);
        std::vector<char*> argv;
        for (std::string& w : words) {
            if (w == "NL") {
                w = dir.file("plenor.nl");
                testkit::write_text(w, text);
            }
            argv.push_back(&w[0]);
        }
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        plenor_parse_namelist(static_cast<int>(words.size()), argv.data(), &r.fn, &r.rc);
        plenor_parse_args(static_cast<int>(words.size()), argv.data(), &r.fn, &r.rc);
        r.out = testing::internal::GetCapturedStdout();
        return r;
    }
};

} // namespace

TEST_F(PlenorParse, RefusedLinesAndNamelistsStoreNothing) {
    const struct {
        std::string line, text;
        int32_t status;
        std::string part;
    } cases[] = {
        {"stray" + req, "", syntax, ""},
        {"-z" + req, "", syntax, "plenor_parse_args: unknown argument\n"},
        {"-i a -o b -f c -n", "", syntax, "-n <input_namelist_fname> missing argument\n"},
        {"-i a -o b -f c -n", "", syntax, "Information only: Namelist not specified.\n"},
        {"-o b -f c -i", "", syntax, ""},
        {"-dm abc" + req, "", syntax, ""},
        {"-cm 99999999999" + req, "", syntax, ""},
        {"-i " + longest + "a -o b -f c", "", syntax, ""},
        {"-n " + std::string(5000, 'n') + req, "", syntax, ""},
        {"-n NL" + req, "no group here\n", no_group, ""},
        {"-n NL" + req, "text &PLENORI", no_group, ""},
        {"-n NL" + req, std::string("\177ELF\0\0\1&\377", 9), no_group, ""},
        {"-n NL" + req, "&PLENORIN\nPmask_File = '" + std::string(5000, 'w') + "'\n&END\n",
         no_group, ""},
        {"-n NL" + req, "", unreadable, "Could not read from file"},
        {"-n " + dir.path() + req, "", unreadable, ""},
        {"-n absent" + req, "", 0x1C0011, "plenor_parse_namelist: Error opening file"},
    };
    for (const auto& c : cases) {
        const parsed r = parse(c.line, c.text);
        const std::string row = c.line.substr(0, 40) + " | " + c.text.substr(0, 40);
        EXPECT_EQ(r.rc.status, c.status) << row;
        EXPECT_TRUE(has(r.out, c.part)) << row << "\n" << r.out;
        EXPECT_EQ(r.rc.DmaskMask, 16384) << row;
        EXPECT_STREQ(r.fn.Pmask_File, "") << row;
    }
}

TEST_F(PlenorParse, NamesLevelsOptionLettersVerboseToggleAndRecordLength) {
    parsed r = parse("-uo u.fits -ct tc.fits -pm -3" + req);
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.FITS_Input_File, "in.fits");
    EXPECT_STREQ(r.fn.FITS_Output_File, "!out.fits");
    EXPECT_STREQ(r.fn.Output_Uncertainty_File, "!u.fits");
    EXPECT_STREQ(r.fn.Transmission_Cal_Mask_File, "tc.fits");
    EXPECT_EQ(r.rc.PmaskMask, -3);
    // Only the second and third characters select the option.
    r = parse("-input a.fits -o b -f c -dmask 7");
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.FITS_Input_File, "a.fits");
    EXPECT_EQ(r.rc.DmaskMask, 7);
    EXPECT_EQ(parse("-v" + req).rc.I_Verbose, 1);
    EXPECT_EQ(parse("-v -v" + req).rc.I_Verbose, 0);
    // A name fills the record's 1024 characters at most; the "!" of an output name counts.
    r = parse("-i " + longest + " -o b -f c");
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_EQ(std::string(r.fn.FITS_Input_File), longest);
    r = parse("-i a -o " + longest + " -f c");
    EXPECT_EQ(r.rc.status, syntax);
    EXPECT_STREQ(r.fn.FITS_Output_File, "");
}

// "&PLENORINPUT" opens the group too, which ends at "/"; the blank inside apostrophes cuts
// the name, "-5x" reads as -5; the command line wins and its -v toggles the namelist's Verbose.
TEST_F(PlenorParse, NamelistEntriesAndCommandLineOverrides) {
    const parsed r = parse("-v -i cl.fits -f c -n NL",
                           " &PLENORINPUT\n FITS_Input_File = 'nl.fits',\n"
                           " FITS_Output_File = 'o2.fits',\n"
                           " Dmask_File = 'my file.fits',\n"
                           " Pmask_File = 'p.fits', Output_Uncertainty_File = 'u.fits'\n"
                           " CmaskMask = 12, DmaskMask = -5x\n"
                           " Verbose = 1\n/\n");
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.FITS_Input_File, "cl.fits");
    EXPECT_STREQ(r.fn.FITS_Output_File, "!o2.fits");
    EXPECT_STREQ(r.fn.Dmask_File, "my");
    EXPECT_STREQ(r.fn.Pmask_File, "p.fits");
    EXPECT_STREQ(r.fn.Output_Uncertainty_File, "!u.fits");
    EXPECT_EQ(r.rc.CmaskMask, 12);
    EXPECT_EQ(r.rc.DmaskMask, -5);
    EXPECT_EQ(r.rc.I_Verbose, 0);
}

// Other groups are skipped, the group ends at an "&", and only "Key = value" entries with
// the key as written are stored.  A word of 254 characters (one cut short of its closing
// apostrophe) is kept whole.
TEST_F(PlenorParse, NamelistGroupsAndEntryForm) {
    parsed r = parse("-n NL" + req, "&OTHER Pmask_File = 'x' &END\n&PLENORIN\nCmask_File = 'c'\n"
                                    "Pmask_File='p'\npmask_file = 'q'\nDmask_File : 'd'\n"
                                    "Unknown = 'u'\n&END\nDmask_File = 'd'\n");
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_STREQ(r.fn.Cmask_File, "c");
    EXPECT_STREQ(r.fn.Pmask_File, "");
    EXPECT_STREQ(r.fn.Dmask_File, "");
    r = parse("-n NL" + req, "&PLENORIN\nPmask_File = '" + std::string(254, 'w') + "\n&END\n");
    EXPECT_EQ(r.rc.status, 0);
    EXPECT_EQ(std::string(r.fn.Pmask_File), std::string(254, 'w'));
    // After an earlier failure neither parser reads anything.
    r = parse("-n NL" + req, "&PLENORIN\nPmask_File = 'p'\n&END\n", 0x141068);
    EXPECT_EQ(r.rc.status, 0x141068);
    EXPECT_STREQ(r.fn.Pmask_File, "");
}

TEST(PlenorDecode, UnknownCodesAndAStatusWithoutFunction) {
    char text[64];
    for (const auto& [code, name] : std::vector<std::pair<int, std::string>>{
             {9, "Unknown function."}, {12, "Unknown function."}, {0x0B, "SSORTP"}}) {
        plenor_decode_fcnname(code, text);
        EXPECT_EQ(text, name) << code;
    }
    for (const auto& [code, name] :
         std::vector<std::pair<int, std::string>>{{0x10, "ROOT_NEG"}, {0x0A, "Unknown error"}}) {
        plenor_decode_message(code, text);
        EXPECT_EQ(text, name) << code;
    }
    run_control rc{128, 16384, 256, 104 | 0x1C, 0, 1}; // failed history line: no function part
    testing::internal::CaptureStdout();
    plenor_error_handler(&rc);
    EXPECT_TRUE(has(testing::internal::GetCapturedStdout(), "0x0000: No function.\n"));
}
