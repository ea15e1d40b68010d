// The installed plenor: run control, command line, namelist and data input.
#include "testkit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testkit::count_of;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

const char syntax_report[] = "plenor Error Message      0x0018: CL_ARGS_INCRT.\n"
                             "plenor Error in Function  0x0020: PARSE_ARGS.\n";
const char dims_report[] = "plenor Error Message      0x001b: DIMS_INCRT.\n"
                           "plenor Error in Function  0x0014: READ_DATA.\n";

class PlenorRun : public testing::Test {
  protected:
    testkit::TempDir dir;

    std::string f(const std::string& name) const { return dir.file(name); }

    testkit::RunResult plenor(const std::vector<std::string>& args) {
        return testkit::run(testkit::installed_program("plenor"), args, {dir.path(), "", 0, 60});
    }

    // A 3 x 2 DCE (NAXIS1 = 3, NAXIS2 = 2) of nz planes and a two-plane flat of its shape.
    void write_inputs(long nz = 1) {
        std::vector<long> dce_axes = {3, 2};
        if (nz > 1) {
            dce_axes.push_back(nz);
        }
        testkit::write_float_image(f("dce.fits"), dce_axes,
                                   std::vector<float>(static_cast<size_t>(6 * nz), 4.0f));
        testkit::write_float_image(f("flat.fits"), {3, 2, 2}, {2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0});
    }

    std::vector<std::string> base_args() const {
        return {"-i", f("dce.fits"), "-o", f("out.fits"), "-f", f("flat.fits")};
    }

    std::vector<std::string> base_args_with(std::vector<std::string> extra) const {
        std::vector<std::string> args = base_args();
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};

} // namespace

TEST_F(PlenorRun, NoArgumentsGivesUsageMissingLinesAndExit64) {
    const testkit::RunResult r = plenor({});
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out.rfind("Pipeline Module PLENOR Version 1.5\nProcessing time ", 0), 0u);
    EXPECT_TRUE(has(r.out, "plenor:\n        Required arguments\n"));
    EXPECT_TRUE(has(r.out, "the Cmask fatality level provided in the -cm option will be used for "
                           "\nmasking the flat.\n\n"));
    EXPECT_TRUE(has(r.out, "plenor_parse_args: Missing required information - -i <input_file>\n"
                           "plenor_parse_args: Missing required information - -o <output_file>\n"
                           "plenor_parse_args: Missing required information - -f "
                           "<flafield_file>\n"));
    EXPECT_TRUE(has(r.out, syntax_report));
    EXPECT_TRUE(has(r.out, "exit code 64\n"));
}

TEST_F(PlenorRun, SuccessfulRunReportsOnlyTheTime) {
    write_inputs();
    testkit::write_float_image(f("unc.fits"), {3, 2}, std::vector<float>(6, 1.0f));
    const testkit::RunResult r = plenor(base_args_with({"-ui", f("unc.fits")}));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(has(r.out, "plenor Error"));
    EXPECT_TRUE(has(r.out, "\nTime = "));
    EXPECT_TRUE(has(r.out, "exit code 0\n"));
    EXPECT_TRUE(testkit::file_exists(f("out.fits")));
}

TEST_F(PlenorRun, MissingInputIsReportedWithTheFitsStatus) {
    write_inputs();
    const testkit::RunResult r =
        plenor({"-i", f("absent.fits"), "-o", f("out.fits"), "-f", f("flat.fits")});
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor Error Message      0x0068: Unknown error.\n"
                           "plenor Error in Function  0x0014: READ_DATA.\n"));
    EXPECT_FALSE(testkit::file_exists(f("out.fits")));
}

TEST_F(PlenorRun, NamelistWithQuotedNamesCommaAndBlankInsideApostrophes) {
    write_inputs();
    testkit::write_text(f("run.nl"), "&PLENORINPUT\n"
                                     " FITS_Input_File = '" +
                                         f("dce.fits") +
                                         "',\n"
                                         " FITS_Flatfield_File = '" +
                                         f("flat.fits") +
                                         "',\n"
                                         " FITS_Output_File = 'out.fits',\n"
                                         " Processing_Log_File = 'my run.log'\n"
                                         "&END\n");
    const testkit::RunResult r = plenor({"-n", f("run.nl")});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(testkit::read_text(f("my")), "Output DCE = !out.fits\n"));
    EXPECT_TRUE(testkit::file_exists(f("out.fits")));
    // The log name was cut at the blank.
    EXPECT_TRUE(testkit::file_exists(f("my")));
}

TEST_F(PlenorRun, NamelistWithoutAmpersandIsRefused) {
    write_inputs();
    testkit::write_text(f("run.nl"), "PLENORIN\n FITS_Input_File = 'x'\n");
    const testkit::RunResult r = plenor(base_args_with({"-n", f("run.nl")}));
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor Error Message      0x001a: NL_INCRT.\n"
                           "plenor Error in Function  0x001c: NAMELIST.\n"));
    EXPECT_FALSE(testkit::file_exists(f("out.fits")));
}

TEST_F(PlenorRun, NamelistVerboseAndCommandLineToggleCancel) {
    write_inputs();
    testkit::write_text(f("run.nl"), "&PLENORIN\n Verbose = 1\n&END\n");
    const testkit::RunResult quiet = plenor(base_args_with({"-n", f("run.nl"), "-v"}));
    EXPECT_EQ(quiet.status, 0);
    EXPECT_FALSE(has(quiet.out, "plenor_exit: Memory Deallocated.\n"));
    const testkit::RunResult verbose = plenor(base_args_with({"-n", f("run.nl")}));
    EXPECT_TRUE(has(verbose.out, "plenor_parse_namelist: Namelist File = \t"));
    EXPECT_TRUE(has(verbose.out, "plenor_read_data: I_NX = 2\nplenor_read_data: I_NY = 3\n"
                                 "plenor_read_data: I_NZ = 1\n"));
    EXPECT_TRUE(has(verbose.out, "plenor_exit: Memory Deallocated.\n"));
}

TEST_F(PlenorRun, MalformedOptionsGiveTheSyntaxStatus) {
    write_inputs();
    testkit::write_text(f("run.nl"), "&PLENORIN\n&END\n");
    for (const auto& extra : std::vector<std::vector<std::string>>{
             {"-cx"}, {"-cx", "-n", f("run.nl")}, {"-px", "-n", f("run.nl")}, {"-u", "x"}}) {
        const testkit::RunResult r = plenor(base_args_with(extra));
        EXPECT_EQ(r.status, 64) << extra[0];
        EXPECT_TRUE(has(r.out, syntax_report)) << extra[0];
        EXPECT_FALSE(testkit::file_exists(f("out.fits")));
    }
    const testkit::RunResult px = plenor(base_args_with({"-px", "-n", f("run.nl")}));
    EXPECT_EQ(count_of(px.out, "plenor_parse_args: command line syntax error"), 1);
}

TEST_F(PlenorRun, FlatOfTransposedShapeIsRefused) {
    testkit::write_float_image(f("dce.fits"), {3, 2}, std::vector<float>(6, 4.0f));
    testkit::write_float_image(f("flat.fits"), {2, 3, 2}, std::vector<float>(12, 2.0f));
    const testkit::RunResult r = plenor(base_args());
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, dims_report));
}

TEST_F(PlenorRun, OnePlaneFlatTurnsUncertaintiesOff) {
    write_inputs();
    testkit::write_float_image(f("flat.fits"), {3, 2}, std::vector<float>(6, 2.0f));
    testkit::write_float_image(f("unc.fits"), {3, 2}, std::vector<float>(6, 1.0f));
    const testkit::RunResult r =
        plenor(base_args_with({"-ui", f("unc.fits"), "-uo", f("unc_out.fits")}));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out,
                    "plenor_read_data: WARNING - Flatfield does not contain 2nd plane for "
                    "uncertainty!\nplenor_read_data: No uncertainty calculations will be made.\n"
                    "plenor_read_data: WARNING - no input DCE uncertainty image!\n"
                    "plenor_read_data: No uncertainty calculations will be made.\n"));
    EXPECT_FALSE(testkit::file_exists(f("unc_out.fits")));
    EXPECT_TRUE(has(r.out, "Input Uncertainty = \nOutput Uncertainty = \n"));
    EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels, std::vector<float>(6, 2.0f));
}

TEST_F(PlenorRun, PlaneCountsOfCubeInputs) {
    write_inputs(3);
    testkit::write_float_image(f("unc.fits"), {3, 2}, std::vector<float>(6, 1.0f));
    EXPECT_TRUE(has(plenor(base_args_with({"-ui", f("unc.fits")})).out, dims_report));
    testkit::write_short_image(f("pmask.fits"), {3, 2}, std::vector<int16_t>(6, 0));
    const testkit::RunResult ok = plenor(base_args_with({"-p", f("pmask.fits")}));
    EXPECT_EQ(ok.status, 0) << ok.out;
    testkit::write_short_image(f("dmask.fits"), {3, 2, 2}, std::vector<int16_t>(12, 0));
    EXPECT_TRUE(has(plenor(base_args_with({"-d", f("dmask.fits")})).out, dims_report));
}

TEST_F(PlenorRun, ImagesWithFourAxesAreRefused) {
    write_inputs();
    testkit::write_short_image(f("cmask.fits"), {3, 2, 1, 1}, std::vector<int16_t>(6, 0));
    const testkit::RunResult r = plenor(base_args_with({"-c", f("cmask.fits")}));
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, dims_report));
}

TEST_F(PlenorRun, OverlongNameIsRefusedWithoutHarm) {
    write_inputs();
    const testkit::RunResult r = plenor(base_args_with({"-d", std::string(100000, 'd')}));
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, syntax_report));
}
