// The installed plenor end to end.  Refused and accepted inputs in one table: broken and
// unusual FITS files, malformed command lines and namelists, product names that are inputs,
// product folders that cannot take a file, full devices; then concurrent runs, exhausted memory,
// the verbose toggle and the log, the pixel decision rules and Dmask marks, worked quotients and
// inputs stored the ways archives store them.  Every failure ends with its status code in words
// and exit status 64, never a crash, and leaves every input as it was and no product
// half-written under its final name.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>

#include <fitsio.h>
#include <gtest/gtest.h>

#include "hostile_support.h"
#include "testkit.h"

namespace {

using namespace raw_fits;
using testkit::RunResult;

const std::string folder = "<folder>", pipe = "<pipe>", gone = "<absent>"; // the case file's kind

// The two report lines of a status: message code and text, function code and text.
std::string report(const std::string& message, const std::string& function) {
    return "plenor Error Message      " + message + ".\nplenor Error in Function  " + function +
           ".\n";
}

const std::string read_data = "0x0014: READ_DATA", output_data = "0x001e: OUTPUT_DATA";

// The standard case: dce.fits of 3 x 2 pixels 2, 4, .., 12, unc.fits 0.5 everywhere and
// flat.fits of two planes, 2 +- 0.  Flat-fielded: 1 .. 6 with uncertainty 0.25.
const std::vector<float> flat_result = {1, 2, 3, 4, 5, 6};
const std::string base = "-i dce.fits -o out.fits -f flat.fits";
const std::string with_unc = base + " -ui unc.fits -uo unc_out.fits";

class Plenor : public testing::Test {
  public:
    testkit::TempDir dir;
    std::map<std::string, std::string> inputs; // the bytes of the inputs every run leaves alone

    std::string f(const std::string& name) const { return dir.file(name); }
    std::vector<float> pixels(const std::string& name) const {
        return testkit::read_image(f(name)).fpixels;
    }

    void SetUp() override {
        testkit::write_float_image(f("dce.fits"), {3, 2}, {2, 4, 6, 8, 10, 12});
        testkit::write_float_image(f("unc.fits"), {3, 2}, std::vector<float>(6, 0.5f));
        testkit::write_float_image(f("flat.fits"), {3, 2, 2}, {2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0});
        for (const char* name : {"dce.fits", "unc.fits", "flat.fits"})
            inputs[name] = testkit::read_text(f(name));
    }

    // Runs the installed plenor in the case folder on the blank-separated words of `line`,
    // under an address-space limit if given, with `in` as its standard input.
    RunResult plenor(const std::string& line, long memory_mb = 0,
                     const std::string& in = "") const {
        std::istringstream words(line);
        return testkit::run(testkit::installed_program("plenor"),
                            {std::istream_iterator<std::string>(words), {}},
                            testkit::RunOptions{dir.path(), in, memory_mb});
    }

    // A failed run: no crash, the banner first, the report lines printed, the start time again
    // in the closing lines, exit status 64, the inputs byte for byte as they were, no new product
    // file and no temporary product left or named.
    void expect_failure(const RunResult& r, const std::string& report_lines) const {
        const std::string banner = "Pipeline Module PLENOR Version 1.5\nProcessing time ";
        ASSERT_EQ(r.out.rfind(banner, 0), 0u) << r.out.substr(0, 3000);
        const std::string start = r.out.substr(banner.size(), 24);
        EXPECT_TRUE(r.status == 64 && has(r.out, report_lines + "Time = ") &&
                    has(r.out, "exit code 64\n") &&
                    r.out.find(start, banner.size() + 24) != std::string::npos)
            << r.out.substr(0, 3000);
        EXPECT_FALSE(has(r.out + r.err, ".part-")) << "a temporary name shown";
        for (const auto& [name, bytes] : inputs)
            EXPECT_EQ(testkit::read_text(f(name)), bytes) << name;
        for (const char* product : {"out.fits", "unc_out.fits"})
            EXPECT_TRUE(inputs.count(product) || !std::filesystem::is_regular_file(f(product)));
        EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
    }
};

// The content of the input file h (none if "<absent>", a folder or a named pipe if so named;
// `file` names another file, or "-" standard input), the command line, and what the run prints:
// the report lines of a failure (none for a run that succeeds) and other parts.  A run that
// succeeds makes `product` of 1 .. 6 and, of an input uncertainty over a flat of two planes (h
// has one), the uncertainty product of 0.25; -v and "Verbose = 1" each toggle the verbose lines.
struct row {
    const char* name;
    std::string content, args, report;
    std::vector<std::string> parts = {};
    std::string file = "h", product = "out.fits";
};

// ctest names a case by its name rather than by its bytes.
void PrintTo(const row& c, std::ostream* os) {
    *os << c.name;
}

std::vector<row> rows() {
    const std::vector<double> dce = {2, 4, 6, 8, 10, 12};
    const std::string D = "-i h -o out.fits -f flat.fits", F = "-i dce.fits -o out.fits -f h";
    const std::string N = base + " -n h", NO = "-n h -o out.fits -f flat.fits", G = "&PLENORIN\n";
    const std::string dmask = image(16, {0, 0x4000, 0, 0, 0, 0});
    auto fits = [](const char* hex, const std::string& function = read_data) {
        return report(hex + std::string(": Unknown error"), function);
    };
    auto same = [](const std::string& in) {
        return "output file " + in + " is the same file as input file " + in + "; nothing written";
    };
    const std::string syntax = report("0x0018: CL_ARGS_INCRT", "0x0020: PARSE_ARGS");
    const std::string dims = report("0x001b: DIMS_INCRT", read_data);
    const std::string no_group = report("0x001a: NL_INCRT", "0x001c: NAMELIST");
    const std::string unreadable = report("0x0012: COULDNOTREAD", "0x001c: NAMELIST");
    const std::string refusal = fits("0x0069", output_data), full = fits("0x006a", output_data);
    const std::string no_dce = "Missing required information - -i <input_file>\n";
    const std::string o254 = std::string(249, 'o'), created = "plenor_output: cannot create ";
    // clang-format off
    return {
        // A failed read writes its log too.
        {"MissingDce", gone, "-i absent.fits -o out.fits -f flat.fits -l stdout", fits("0x0068"), {"reading absent", "DCE = absent"}},
        // The flat's uncertainty plane is missing: 24 of its 48 data bytes are there.
        {"TruncatedFlat", primary_header(-32, {3, 2, 2}) + be_floats(dce, false), F, fits("0x006b"), {"h is shorter than its header"}},
        // 65536 x 65537 pixels do not fit in 32 bits; the file holds one block of them.
        {"AxesBeyond32Bits", pad(primary_header(-32, {65536, 65537}) + "x", '\0'), D, fits("0x006b"), {"is shorter"}},
        // 70000 does not fit the 16 bits of a mask value.
        {"PmaskBeyond16Bits", image(32, {70000, 0, 0, 0, 0, 128}), base + " -p h", fits("0x019c"), {"status 412"}},
        {"NaxisZero", primary_header(-32, {}), D, dims, {"h has 0 axes; images need 2 or 3"}},
        {"NaxisFour", image(-32, dce, {}, {3, 2, 1, 1}), D, dims, {"h has 4 axes"}},
        {"TransposedFlat", image(-32, std::vector<double>(12, 2), {}, {2, 3, 2}), F, dims},
        {"DmaskOfTwoPlanes", image(16, std::vector<double>(12, 0), {}, {3, 2, 2}), base + " -d h", dims},
        {"ImageInExtension", primary_header(8, {}, {card("EXTEND", "T")}) + float_extension_header({3, 2}) +
         pad(be_floats(dce, false), '\0'), D, dims, {"an image in an extension is named as h[1]"}},
        // Command lines.
        {"NoArguments", gone, "", syntax, {"Required arguments\n", "-i <input_file>\nplenor_parse_args: Missing required info"}},
        {"StrayWord", gone, "stray " + base, syntax, {"plenor_parse_args: command line syntax"}},
        {"UnknownOption", gone, "-z " + base + " -v", syntax, {"plenor_parse_args: unknown argument\n"}},
        {"NamelistNotNamed", gone, base + " -n", syntax, {"-n <input_namelist_fname> missing argument\n", "Namelist not specified.\n"}},
        {"LevelNotANumber", gone, "-dm abc " + base, syntax, {"invalid value for -dm\n"}},
        // A name fills the record's 1024 characters at most; the "!" of an output name counts.
        {"OutputNameBeyondTheRecord", gone, "-i dce.fits -f flat.fits -o " + std::string(1024, 'o'), syntax, {"invalid value for -o\n"}},
        // Namelists.
        {"NamelistWithoutAmpersand", "PLENORIN\n FITS_Input_File = 'x'\n", N, no_group},
        {"MissingNamelist", gone, N, report("0x0011: FOPEN_FAILED", "0x001c: NAMELIST"), {"Error opening file"}},
        {"FolderAsNamelist", folder, N, unreadable, {"Could not read from file h"}},
        {"EmptyPipeAsNamelist", "", base + " -n /dev/stdin", unreadable, {"Could not read from file /dev/stdin"}, "-"},
        // A word of 100000 characters is refused; the entry stores nothing, so the DCE is unknown.
        {"VeryLongNamelistLine", G + "FITS_Input_File = '" + std::string(100000, 'a') + "'\n", NO, syntax, {"longer than 255", no_dce}},
        {"LongNamelistWord", G + "Pmask_File = '" + std::string(5000, 'w') + "'\n", N, no_group},
        // A quote alone, and a key with an apostrophe but no value, store nothing.
        {"LoneQuotes", G + "'\nFITS_Input_File = '\nFITS_Input_File\n'''\n&END", NO, syntax, {no_dce}},
        // Root is not stopped by permission bits, so an output folder that cannot be written is one
        // that does not exist.  A product that cannot be made leaves the Dmask and every earlier
        // product as they were.
        {"OutputFolderMissing", dmask, with_unc + " -o nowhere/out.fits -d h", refusal, {created + "nowhere/out.fits\n"}},
        {"UncFolderMissing", "earlier", base + " -ui unc.fits -uo no/u", refusal, {}, "out.fits"},
        {"OutputNamesAFolder", folder, base, refusal, {"out.fits is a folder, not a file; nothing written\n"}, "out.fits"},
        {"ProductToAFullDevice", gone, "-i dce.fits -o /dev/full -f flat.fits", full, {"cannot write /dev/full: No space left"}},
        // The DCE product is complete; the uncertainty product cannot be written.
        {"UncToAFullDevice", gone, base + " -ui unc.fits -uo /dev/full", full},
        // The products are complete, but the log is cut short.
        {"LogToAFullDevice", gone, "-i dce.fits -o o.fits -f flat.fits -l /dev/full", full, {"log_writer: cannot write /dev/full"}},
        // Outputs that are inputs or another output: refused before anything is read.
        {"OutputIsTheDce", gone, "-i dce.fits -o dce.fits -f flat.fits", refusal, {same("dce.fits")}},
        {"UncOutputIsTheFlat", gone, base + " -ui unc.fits -uo flat.fits", refusal, {same("flat.fits")}},
        {"DmaskIsTheDce", gone, base + " -d dce.fits", refusal, {same("dce.fits")}},
        {"DmaskIsTheOutput", dmask, "-i dce.fits -o h -f flat.fits -d h", refusal, {"output files h and h are the same file"}},
        {"LogIsTheDce", gone, base + " -l dce.fits", refusal, {same("dce.fits")}},
        {"OutputIsTheNamelist", G + "&END\n", "-i dce.fits -o h -f flat.fits -n h", refusal, {same("h")}},
        // The value is cut at its blank: the output would be the flat.
        {"OutputNameCutToTheFlat", G + "FITS_Output_File = 'flat.fits x'\n", "-i dce.fits -f flat.fits -n h", refusal, {same("flat.fits")}},
        // The FITS library's name syntax: the file it resolves to is never touched.
        {"TemplateThatIsNoFile", "old", "-i dce.fits -o h(1).fits -f flat.fits", refusal, {"template file 1 named in h(1).fits"}},
        {"CompressionRefused", "old", "-i dce.fits -o h[1].fits -f flat.fits", fits("0x007d", output_data), {created + "h[1].fits\n"}},
        {"PipeAsFlat", pipe, F, refusal, {"input h is a pipe or device, not a regular file; nothing written\n"}},
        // Accepted: every integer and float BITPIX is read converted to float; a double image keeps
        // its type, every other one becomes a single-precision image.
        {"Bitpix64", image(64, dce), D, ""},
        {"BitpixMinus64", image(-64, dce), D, ""},
        // Without the input uncertainty no uncertainty is made.
        {"UncProductWithoutInput", gone, base + " -uo unc_out.fits", ""},
        // A log on standard output is no file that could clash with an input named so.
        {"LogOnStandardOutput", image(-32, dce), "-i stdout -o out.fits -f flat.fits -l stdout", "", {}, "stdout"},
        // The switches cancel; the namelist's levels and its output names, marked for replacement,
        // go to the log.  A flat of one plane turns the uncertainties off; the log shows the levels
        // by default.
        {"VerboseSwitchesCancel", G + "Verbose = 1\n", N + " -v", ""},
        {"NamelistLevelsAndNames", G + " Verbose = 1\n PmaskMask = 64, CmaskMask = 12\n DmaskMask = -5x\n FITS_Output_File = 'out.fits'\n"
         " Output_Uncertainty_File = 'unc_out.fits'\n", "-i dce.fits -f flat.fits -ui unc.fits -n h -l stdout", "",
         {"Namelist File = \t", "I_NX = 2\nplenor_read_data: I_NY = 3\nplenor_read_data: I_NZ = 1\n", "Output DCE = !out.fits\n",
          "Output Uncertainty = !unc_out.fits\n", "Pmask Mask = 64\nDmask File = \nDmask Mask = -5\nCmask File = \nCmask Mask = 12\n"}},
        {"OnePlaneFlat", image(-32, std::vector<double>(6, 2)), F + " -ui unc.fits -uo unc_out.fits -l stdout", "",
         {"2nd plane for uncertainty!\nplenor_read_data: No uncertainty", "Log output to stdout\nPlenor Version 1.5\nNamelist File  = \n",
          "Input Uncertainty = \nOutput Uncertainty = \n", "Pmask Mask = 128\n", "Cmask Mask = 256\n", "Log File = stdout\nTime = "}},
        // A comment is read and ignored, however long.  A name without its closing apostrophe runs
        // to the end of the word (kept whole at 254 characters, whose temporary name keeps within the
        // limit of 255); one without its opening one loses its first character (the opening
        // apostrophe's place).  The last entry without a line end is still applied.
        {"CommentsAndQuotes", G + "Comment = " + std::string(300, 'c') + "\nFITS_Output_File = '" + o254 +
         ".fits\nFITS_Input_File = xdce.fits'", "-n h -f flat.fits", "", {}, "h", o254 + ".fits"},
        // Through a pipe the namelist is read to its end, across several buffer growths.
        {"NamelistThroughAPipe", G + "Comment = " + std::string(20000, 'c') + "\nFITS_Input_File = 'dce.fits'\n&END\n",
         "-n /dev/stdin -o out.fits -f flat.fits", "", {}, "-"},
        // Other groups are skipped, "&PLENORINPUT" opens the group, which ends at the next "&"; only
        // "Key = value" entries with the key as written are stored; options are selected by their
        // first letters, and the command line wins.
        {"EntriesOfTheGroup", "&OTHER Pmask_File = 'absent.fits' &END\n&PLENORINPUT\nFITS_Input_File = 'absent'\nPmask_File='absent'\n"
         "pmask_file = 'absent'\nDmask_File : 'absent'\nUnknown = 'u'\n/", "-input dce.fits -o out.fits -flat flat.fits -n h", ""},
        {"GroupEndsAtAnAmpersand", G + "FITS_Input_File = 'dce.fits'\n&END\nPmask_File = 'absent.fits'\n", NO, ""},
    };
    // clang-format on
}

class Hostile : public Plenor, public testing::WithParamInterface<row> {};

TEST_P(Hostile, EndsWithItsStatusAndProducts) {
    const row& c = GetParam();
    ASSERT_TRUE(c.content != folder || mkdir(f(c.file).c_str(), 0755) == 0);
    ASSERT_TRUE(c.content != pipe || mkfifo(f(c.file).c_str(), 0644) == 0);
    if (c.content != gone && c.content != folder && c.content != pipe && c.file != "-") {
        write_bytes(f(c.file), c.content);
        inputs[c.file] = c.content;
    }
    const RunResult r = plenor(c.args, 0, c.file == "-" ? c.content : "");
    const bool verbose = has(c.args, " -v") != has(c.content, "Verbose = 1");
    EXPECT_EQ(has(r.out, "Error Handler finished.\nplenor_exit: Memory Deallocated.\n"), verbose);
    for (const std::string& part : c.parts)
        EXPECT_TRUE(has(r.out, part)) << part;
    if (!c.report.empty()) {
        expect_failure(r, c.report);
        EXPECT_TRUE(c.content != folder || std::filesystem::is_directory(f(c.file)))
            << "folder kept";
        EXPECT_LE(testkit::count_of(r.out, "command line syntax error"), 1);
        return;
    }
    ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
    const testkit::Image out = testkit::read_image(f(c.product));
    EXPECT_EQ(out.fpixels, flat_result);
    EXPECT_EQ(out.bitpix, has(c.content, card("BITPIX", "-64")) ? -64 : -32);
    const bool unc = has(c.args, "-ui unc.fits") && !has(c.args, "-f h");
    EXPECT_EQ(testkit::file_exists(f("unc_out.fits")), unc);
    EXPECT_TRUE(!unc || pixels("unc_out.fits") == std::vector<float>(6, .25f));
    EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Corpus, Hostile, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<row>& i) { return i.param.name; });

// A DCE and flat without pixels (an axis of length 0) are a valid empty image.  65536 x 65536
// pixels (2^32, beyond 32 bits) need 16 GiB for the DCE alone: under a 512 MiB limit the DCE
// buffer cannot be had (AddressSanitizer cannot run under such a limit).  Its data unit is a
// hole of zeros.
TEST_F(Plenor, EmptyImageAndADceBeyondMemory) {
    write_bytes(f("h.fits"), primary_header(-32, {3, 0}));
    write_bytes(f("f0.fits"), primary_header(-32, {3, 0, 2}));
    ASSERT_EQ(plenor("-i h.fits -o e.fits -f f0.fits").status, 0);
    EXPECT_EQ(testkit::read_image(f("e.fits")).naxes, (std::vector<long>{3, 0}));
    write_bytes(f("big.fits"), primary_header(-32, {65536, 65536}));
    ASSERT_EQ(truncate(f("big.fits").c_str(), 2880 + ((4L << 32) + 2879) / 2880 * 2880), 0);
    if (!kUnderAsan)
        expect_failure(plenor("-i big.fits -o out.fits -f flat.fits", 512),
                       report("0x0071: MALLOC_FAILED", read_data));
}

// Two runs with the same output and Dmask: run a is stopped while it writes, before it puts
// anything in place; run b completes; then a completes.  Each product is then a's whole one.
// Without a Pmask its level meets nothing: its 2 MiB buffer is cleared.
TEST_F(Plenor, InterleavedRunsKeepTheirOwnTemporaryFiles) {
    const long n = 1024; // a DCE of 8 over flats of 2 and 4
    for (int k : {8, 2, 4})
        testkit::write_float_image(f(std::to_string(k) + ".fits"), {n, n},
                                   std::vector<float>(n * n, k));
    testkit::write_short_image(f("dm.fits"), {n, n}, std::vector<short>(n * n, 0));
    auto run = [this](const char* flat) {
        return spawn_quietly(
            testkit::installed_program("plenor"),
            {"-i", "8.fits", "-f", flat, "-o", "out.fits", "-d", "dm.fits", "-pm", "1"},
            dir.path());
    };
    bool caught = false;
    for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
        testkit::write_text(f("out.fits"), "old");
        const pid_t a = run("2.fits");
        while (unfinished_products(dir.path()).empty() && waitpid(a, nullptr, WNOHANG) == 0) {
        }
        int status = 0, b_status = -1;
        kill(a, SIGSTOP);
        caught = waitpid(a, &status, WUNTRACED) == a && WIFSTOPPED(status) &&
                 testkit::read_text(f("out.fits")) == "old";
        if (caught) {
            const pid_t b = run("4.fits");
            EXPECT_TRUE(waitpid(b, &b_status, 0) == b && b_status == 0 &&
                        pixels("out.fits")[0] == 2.0f);
        }
        kill(a, SIGCONT);
        // A run that ended before it could be stopped was already reaped by the loop above.
        EXPECT_TRUE(!WIFSTOPPED(status) || (waitpid(a, &status, 0) == a && status == 0));
        EXPECT_EQ(pixels("out.fits"), std::vector<float>(n * n, 4.0f));
        EXPECT_EQ(testkit::read_image(f("dm.fits")).naxes, (std::vector<long>{n, n}));
        EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
    }
    EXPECT_TRUE(caught);
}

// Two planes over one flat and a one-plane Pmask and Cmask.  Pixel 0: NaN DCE in plane 0;
// 1: Pmask 128; 2: Dmask 0x4000 in plane 0 only; 3: Cmask 256, flat 2; 4: Cmask 256, NaN flat;
// 5: Cmask 1, outside the default level 256.  The marks replace the Dmask (a new file, reached
// through its link), which keeps what the old file held besides its pixels: its permission bits,
// its scaling (unsigned values stored with BZERO 32768) and an image extension behind it.
TEST_F(Plenor, MaskRulesAndMarksReplacingTheDmaskPlaneByPlane) {
    testkit::write_image(f("dce.fits"), FLOAT_IMG, {3, 2, 2},
                         {NAN, 4, 6, 8, 10, 12, 2, 4, 6, 8, 10, 12});
    testkit::write_float_image(f("unc.fits"), {3, 2, 2}, std::vector<float>(12, .5f));
    testkit::write_image(f("flat.fits"), FLOAT_IMG, {3, 2, 2},
                         {2, 2, 2, 2, NAN, 2, 0, 0, 0, 0, 0, 0});
    testkit::write_image(f("pmask.fits"), SHORT_IMG, {3, 2}, {0, 128, 0, 0, 0, 0});
    testkit::write_image(f("cmask.fits"), SHORT_IMG, {3, 2}, {0, 0, 0, 256, 256, 1});
    std::vector<long long> stored(12, -32768);
    stored[2] += 0x4000;
    write_bytes(f("dmask.fits"),
                primary_header(16, {3, 2, 2}, {card("EXTEND", "T"), card("BZERO", "32768")}) +
                    pad(be_ints(stored, 2), '\0') + float_extension_header({3, 2}) +
                    pad(be_floats({1, 2, 3, 4, 5, 6}, false), '\0'));
    ASSERT_EQ(chmod(f("dmask.fits").c_str(), 0640), 0);
    ASSERT_EQ(symlink("dmask.fits", f("link.fits").c_str()), 0);
    struct stat old {
    }, now{};
    ASSERT_EQ(stat(f("dmask.fits").c_str(), &old), 0);
    ASSERT_EQ(plenor(with_unc + " -p pmask.fits -d link.fits -c cmask.fits").status, 0);
    const std::vector<float> out = pixels("out.fits");
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(std::vector<float>(out.begin() + 1, out.end()),
              (std::vector<float>{4, 6, 4, 10, 6, 1, 4, 3, 4, 10, 6}));
    EXPECT_EQ(pixels("unc_out.fits"), (std::vector<float>{.5f, .5f, .5f, .25f, .5f, .25f, .25f, .5f,
                                                          .25f, .25f, .5f, .25f}));
    EXPECT_EQ(
        testkit::read_image(f("link.fits")).pixels,
        (std::vector<double>{0x100, 0x100, 0x4100, 0x080, 0x100, 0, 0, 0x100, 0, 0x080, 0x100, 0}));
    EXPECT_TRUE(stat(f("dmask.fits").c_str(), &now) == 0 && now.st_ino != old.st_ino &&
                (now.st_mode & 07777) == 0640 && std::filesystem::is_symlink(f("link.fits")));
    std::string bzero;
    EXPECT_TRUE(testkit::read_keyword(f("dmask.fits"), "BZERO", bzero) &&
                std::stod(bzero) == 32768);
    EXPECT_EQ(testkit::read_image(f("dmask.fits"), 2).pixels,
              (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

// Worked quotients, one per pixel: DCE a +- as over flat b +- bs times calibrator c +- cs.
// Divisor d = bc with ds^2 = b^2 cs^2 + c^2 bs^2 + cs^2 bs^2; quotient a/d with
// sigma^2 = (3 as^2 ds^2 + a^2 ds^2) / d^4 + as^2 / d^2, except for noise-dominated operands
// (ds > 0.9 d, as > 9 a, ds > 9 d): sigma = 2 |as / ds| / (2 sqrt(2 ln 2)).  A Cmask value 256
// flags both flats, which carries the library's suspect bit into their product: divided and
// marked, no usable uncertainty.  A calibrator that is NaN spoils its pixel only.
TEST_F(Plenor, WorkedQuotientsAndTheirUncertainties) {
    // a, as, b, bs, c, cs, Cmask; quotient and its sigma
    const std::vector<std::array<double, 9>> px = {
        {6, 2, 2, 1, 1, 0, 0, 3, 2},               // d = 2 +- 1: 12/16 + 36/16 + 1
        {6, 2, 2, 0, 1, .5, 0, 3, 2},              // d = 2 +- 1 from the calibrator
        {8, 0, 2, .5, 1, 0, 0, 4, 1},              // 64/4 / 16
        {6, 2, 2, 2, 1, 0, 0, 3, std::sqrt(13.0)}, // 48/16 + 144/16 + 1
        {1, 20, 1, 10, 1, 0, 0, 1, 2 / std::sqrt(2 * std::log(2.0))}, // noise-dominated
        {1, 20, 2, 2, 1, 0, 0, .5, std::sqrt(1601.0) / 2}, // 4804/16 + 400/4: one noisy operand
        {4, 2, 2, 1, 2, 1, 0, 1, std::sqrt(79.0) / 8},     // d = 4 +- 3: 108/256 + 144/256 + 1/4
        {6, .5, 2, 0, 1, .1, 256, 3, NAN},
        {6, .5, 2, 0, NAN, .1, 0, NAN, NAN},
    };
    // Pixels 1 +- 0 (2 over 2 times 1) up to the table's, which straddle pixel 4096.
    std::vector<std::array<double, 9>> all(4100 - px.size(), {2, 0, 2, 0, 1, 0, 0, 1, 0});
    all.insert(all.end(), px.begin(), px.end());
    const long n = all.size();
    // Each input holds `planes` columns from `column` on; the Dmask (column 9, none) zeros.
    // clang-format off
    for (const auto& [name, column, planes] : std::vector<std::tuple<const char*, size_t, long>>{
             {"dce.fits", 0, 1}, {"unc.fits", 1, 1}, {"flat.fits", 2, 2}, {"tcal.fits", 4, 2}, {"cm.fits", 6, 1}, {"dm.fits", 9, 1}}) {
        // clang-format on
        std::vector<double> values;
        for (size_t k = 0; k < size_t(planes); ++k)
            for (const auto& x : all)
                values.push_back(column + k < 9 ? x[column + k] : 0);
        testkit::write_image(f(name), column < 6 ? FLOAT_IMG : SHORT_IMG, {n, 1, planes}, values);
    }
    ASSERT_EQ(plenor(with_unc + " -t tcal.fits -c cm.fits -ct cm.fits -d dm.fits").status, 0);
    const std::vector<float> out = pixels("out.fits"), sigma = pixels("unc_out.fits");
    const std::vector<double> marks = testkit::read_image(f("dm.fits")).pixels;
    for (long p = 0; p < n; ++p) {
        const float q = all[p][7], qs = all[p][8];
        EXPECT_TRUE(std::isnan(q) ? std::isnan(out[p]) : out[p] == q) << p;
        EXPECT_TRUE(std::isnan(qs) ? std::isnan(sigma[p]) : std::fabs(sigma[p] - qs) <= 1e-6f * qs)
            << p << ": " << sigma[p];
        EXPECT_EQ(marks[p], all[p][6] == 0 ? 0 : 0x080) << p;
    }
}

// Every input but the Dmask stored the ways archives store images, named the library's way
// (unsigned 16-bit after an empty primary HDU, 16-bit tile-compressed in extension 1, scaled
// integers with BLANK pixels, ...): the products (header cards but the history line and DATE
// included) and the Dmask are those of the same values stored plain, and fitsverify accepts the
// products, each with one history line and DATE only on the uncertainty.  A mask's BLANK names a
// value it holds, which stays a mask value.
TEST_F(Plenor, InputsStoredAsArchivesStoreThemGiveTheProductsOfPlainFiles) {
    using testkit::Storage;
    const long nx = 60, ny = 50, n = nx * ny;
    std::vector<double> dce(n), counts(n), unc(n), flat(2 * n), mask(n);
    for (long p = 0; p < n; ++p) {
        counts[p] = 100 + (p * 37) % 23; // a 16-bit DCE holds no undefined pixel
        dce[p] = p % 97 == 5 ? NAN : counts[p];
        unc[p] = p % 89 == 7 ? NAN : 0.5 + (p % 7) * 0.25;
        flat[p] = 0.75 + (p % 5) * 0.125;
        flat[n + p] = (p % 3) * 0.01;
        mask[p] = p % 31 == 0 ? 0x4000 : p % 11 == 0 ? 0x100 : 0;
    }
    const std::vector<testkit::Keyword> keys = {testkit::Keyword::text("BUNIT", "adu")};
    // The history card of a run, and the DATE card.
    const std::regex stamps(
        "HISTORY PLENOR {20}v\\. 1\\.500   [A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} {11}|DATE    = '[-0-9T:]{19}'.{49}");
    // The data's storage, the masks' (HCOMPRESS takes no float with NaN) and the DCE's BITPIX.
    // clang-format off
    for (const auto& [data, masks, dce_bitpix] : std::vector<std::tuple<Storage, Storage, int>>{
             {Storage::Extension, Storage::Extension, USHORT_IMG}, {Storage::Rice, Storage::Plio, SHORT_IMG},
             {Storage::Gzip1, Storage::Hcompress, FLOAT_IMG}, {Storage::Gzip2, Storage::Gzip2, FLOAT_IMG},
             {Storage::Scaled, Storage::Scaled, FLOAT_IMG}}) {
        // clang-format on
        SCOPED_TRACE("storage " + std::to_string(static_cast<int>(data)));
        std::string args[2]; // stored, plain; each input named after its option
        auto put = [&](const char* option, Storage how, int bitpix, const std::vector<double>& px,
                       std::vector<long> axes) {
            const std::string name = std::string(option + 1) + ".fits";
            const testkit::Stored st = testkit::write_stored(f(name), how, bitpix, axes, px, keys);
            testkit::write_image(f("plain_" + name), bitpix, axes, st.values, keys);
            args[0] += " " + std::string(option) + " " + st.name.substr(dir.path().size() + 1);
            args[1] += " " + std::string(option) + " plain_" + name;
        };
        put("-i", data, dce_bitpix, dce_bitpix > 0 ? counts : dce, {nx, ny});
        put("-ui", data, FLOAT_IMG, unc, {nx, ny});
        for (const char* option : {"-f", "-t"})
            put(option, data, FLOAT_IMG, flat, {nx, ny, 2});
        for (const char* option : {"-p", "-c", "-ct"})
            put(option, masks, SHORT_IMG, mask, {nx, ny});
        std::string products[2]; // the products' bytes but the stamps
        for (int k : {0, 1}) {
            testkit::write_short_image(f("dmask.fits"), {nx, ny}, std::vector<int16_t>(n, 0));
            const RunResult r = plenor(args[k] + " -d dmask.fits -o out.fits -uo u.fits");
            ASSERT_EQ(r.status, 0) << args[k] << "\n" << r.out << r.err;
            for (const std::string name : {"out.fits", "u.fits", "dmask.fits"}) {
                const std::string bytes = testkit::read_text(f(name));
                const std::string rest = std::regex_replace(bytes, stamps, "");
                EXPECT_EQ(bytes.size() - rest.size(), name == "u.fits" ? 160u : 80u) << name;
                products[k] += rest;
                EXPECT_TRUE(has(testkit::run("/usr/bin/fitsverify", {"-q", f(name)}).out,
                                "verification OK"))
                    << name;
            }
        }
        EXPECT_TRUE(products[0] == products[1]);
    }
}

} // namespace
