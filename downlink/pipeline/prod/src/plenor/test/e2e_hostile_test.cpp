// The installed plenor against refused and hostile inputs and failing resources: broken and
// unusual FITS files, malformed command lines and namelists, product folders that cannot take
// a file, full devices and exhausted memory.  Every failure ends with its status code in
// words and exit status 64, never a crash, and leaves no product half-written under its
// final name; what the readers accept is flat-fielded.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "plenor_test_support.h"

namespace {

using namespace plenor_test;
using namespace raw_fits;

const std::string folder = "<folder>"; // content that makes the case file a folder
const std::string pipe = "<pipe>";     // content that makes the case file a named pipe
const std::string refusal = report("0x0069: Unknown error", output_data);
std::string same(const std::string& input) {
    return "plenor_output: output file " + input + " is the same file as input file " + input +
           "; nothing written\n";
}

// Raw bytes of a float or integer image with the given axes and pixels.
std::string float_image(const std::vector<long>& axes, const std::vector<double>& px) {
    return primary_header(-32, axes) + pad(be_floats(px, false), '\0');
}
std::string int_image(int bitpix, const std::vector<long>& axes, const std::vector<long long>& px) {
    return primary_header(bitpix, axes) + pad(be_ints(px, bitpix / 8), '\0');
}

const std::vector<double> dce_doubles(dce_values.begin(), dce_values.end());
const std::string image_in_extension = primary_header(8, {}, {card("EXTEND", "T")}) +
                                       float_extension_header({3, 2}) +
                                       pad(be_floats(dce_doubles, false), '\0');

// Deterministic bytes 1 .. 255 over and over, none of them "&".
std::string binary_bytes(size_t count) {
    std::string b;
    for (size_t i = 0; b.size() < count; ++i) {
        if (static_cast<char>(1 + i % 255) != '&') {
            b += static_cast<char>(1 + i % 255);
        }
    }
    return b;
}

// One input file (none if `file` is empty), the command line and what the run must print.
struct refused {
    const char* name;
    std::string file, content, args;
    std::string report_lines, part = "", also = "";
};

// ctest names a case by its name rather than by its bytes.
void PrintTo(const refused& c, std::ostream* os) {
    *os << c.name;
}

std::vector<refused> refused_cases() {
    const std::string header_32 = primary_header(-32, {3, 2});
    const std::string dce_h = "-i h.fits -o out.fits -f flat.fits";
    const std::string flat_h = "-i dce.fits -o out.fits -f h.fits";
    const std::string nl = base + " -n h.nml";
    const std::string short_read = "h.fits is shorter than its header states";
    auto fits = [](int status) {
        char code[32];
        std::snprintf(code, sizeof code, "0x%04x: Unknown error", status);
        return report(code, read_data);
    };
    const std::string no_group = report("0x001a: NL_INCRT", "0x001c: NAMELIST");
    const std::string no_dce = "Missing required information - -i <input_file>\n";
    return {
        {"MissingDce", "", "", "-i absent.fits -o out.fits -f flat.fits", fits(104),
         "FITS status 104 reading absent.fits"},
        {"MissingFlat", "", "", flat_h, fits(104), "FITS status 104 reading h.fits"},
        {"NotAFitsFile", "h.fits", std::string(3000, 'x'), dce_h, fits(252),
         "FITS status 252 reading h.fits"},
        {"EmptyFile", "h.fits", "", dce_h, fits(107), "FITS status 107 reading h.fits"},
        {"HeaderWithoutEnd", "h.fits", header_32.substr(0, 1000), dce_h, fits(108),
         "FITS status 108 reading h.fits"},
        {"TruncatedDataUnit", "h.fits", header_32 + be_floats({1, 2}, false), dce_h, fits(107),
         short_read},
        // The flat's uncertainty plane is missing: 24 of its 48 data bytes are there.
        {"TruncatedFlatUncertaintyPlane", "h.fits",
         primary_header(-32, {3, 2, 2}) + be_floats(dce_doubles, false), flat_h, fits(107),
         short_read},
        // 65536 x 65537 pixels do not fit in 32 bits; the file holds one block of them.
        {"AxisProductBeyond32Bits", "h.fits",
         pad(primary_header(-32, {65536, 65537}) + std::string(1, 0), '\0'), dce_h, fits(107),
         short_read},
        {"NegativeAxisLength", "h.fits", primary_header(-32, {3, -2}), dce_h, fits(213),
         "FITS status 213 reading h.fits"},
        {"FolderAsDce", "h.fits", folder, dce_h, fits(108), "FITS status 108 reading h.fits"},
        {"FolderAsFlat", "h.fits", folder, flat_h, fits(108), "FITS status 108 reading h.fits"},
        // 70000 does not fit the 16 bits of a mask value.
        {"PmaskBeyond16Bits", "h.fits", int_image(32, {3, 2}, {70000, 0, 0, 0, 0, 128}),
         base + " -p h.fits", fits(412), "FITS status 412 reading h.fits"},
        {"NaxisZero", "h.fits", primary_header(-32, {}), dce_h, dims_report,
         "h.fits has 0 axes; images need 2 or 3"},
        {"NaxisFour", "h.fits", float_image({3, 2, 1, 1}, dce_doubles), dce_h, dims_report,
         "h.fits has 4 axes; images need 2 or 3"},
        {"FlatWithFourAxes", "h.fits", float_image({3, 2, 2, 1}, dce_doubles), flat_h, dims_report,
         "h.fits has 4 axes; images need 2 or 3"},
        {"CmaskWithFourAxes", "h.fits", int_image(16, {3, 2, 1, 1}, std::vector<long long>(6, 0)),
         base + " -c h.fits", dims_report},
        // The DCE has no pixels; the 3 x 2 flat then differs from its shape.
        {"ZeroAxisLength", "h.fits", primary_header(-32, {3, 0}), dce_h, dims_report},
        {"FlatOfTransposedShape", "h.fits", float_image({2, 3, 2}, std::vector<double>(12, 2)),
         flat_h, dims_report},
        {"CubeWithOnePlaneUncertainty", "h.fits",
         float_image({3, 2, 3}, std::vector<double>(18, 4)),
         "-i h.fits -ui unc.fits -o out.fits -f flat.fits", dims_report},
        {"DmaskOfOtherPlaneCount", "h.fits",
         int_image(16, {3, 2, 2}, std::vector<long long>(12, 0)), base + " -d h.fits", dims_report},
        {"EmptyPrimaryWithImageInExtension", "h.fits", image_in_extension, dce_h, dims_report,
         "an image in an extension is named as h.fits[1]"},
        // Command lines.
        {"NoArguments", "", "", "", syntax_report, "\n\nplenor:\n        Required arguments\n",
         "the Cmask fatality level provided in the -cm option will be used for \nmasking the "
         "flat.\n\nplenor_parse_args: Missing required information - -i <input_file>\n"
         "plenor_parse_args: Missing required information - -o <output_file>\n"
         "plenor_parse_args: Missing required information - -f <flafield_file>\n"},
        {"SyntaxFlagAlone", "", "", base + " -cx", syntax_report},
        {"SyntaxFlagWithNamelist", "h.nml", "&PLENORIN\n&END\n", base + " -cx -n h.nml",
         syntax_report},
        {"OtherSyntaxFlagWithNamelist", "h.nml", "&PLENORIN\n&END\n", base + " -px -n h.nml",
         syntax_report, "plenor_parse_args: command line syntax error"},
        {"OptionOfOneLetter", "", "", base + " -u x", syntax_report},
        {"OverlongName", "", "", base + " -d " + std::string(100000, 'd'), syntax_report},
        // Namelists.
        {"NamelistWithoutAmpersand", "h.nml", "PLENORIN\n FITS_Input_File = 'x'\n", nl, no_group},
        {"BinaryNamelistWithoutGroup", "h.nml", binary_bytes(5000), nl, no_group},
        {"FolderAsNamelist", "h.nml", folder, nl,
         report("0x0012: COULDNOTREAD", "0x001c: NAMELIST"),
         "plenor_parse_namelist: Could not read from file h.nml"},
        // Standard input is a pipe closed without any text.
        {"EmptyPipeAsNamelist", "", "", base + " -n /dev/stdin",
         report("0x0012: COULDNOTREAD", "0x001c: NAMELIST"),
         "plenor_parse_namelist: Could not read from file /dev/stdin"},
        // A word of 100000 characters is refused; the entry stores nothing, so the DCE is unknown.
        {"VeryLongNamelistLine", "h.nml",
         "&PLENORIN\nFITS_Input_File = '" + std::string(100000, 'a') + "'\n&END\n",
         "-n h.nml -o out.fits -f flat.fits -v", syntax_report, "word longer than 255 characters",
         no_dce},
        // A quote alone, and a key with an apostrophe but no value, store nothing.
        {"LoneQuotes", "h.nml", "&PLENORIN\n'\nFITS_Input_File = '\nFITS_Input_File\n'''\n&END",
         "-n h.nml -o out.fits -f flat.fits", syntax_report, no_dce},
        // Root is not stopped by permission bits, so an output folder that cannot be written is
        // one that does not exist, or a path below a regular file.
        {"OutputFolderMissing", "", "",
         "-i dce.fits -ui unc.fits -o nowhere/out.fits -uo unc_out.fits -f flat.fits",
         report("0x0069: Unknown error", output_data),
         "plenor_output: cannot create nowhere/out.fits\n"},
        {"OutputFolderIsARegularFile", "", "", "-i dce.fits -o dce.fits/out.fits -f flat.fits",
         report("0x0069: Unknown error", output_data)},
        {"OutputNamesAFolder", "out.fits", folder, base, refusal,
         "plenor_output: out.fits is a folder, not a file; nothing written\n"},
        {"ProductWrittenToAFullDevice", "", "", "-i dce.fits -o /dev/full -f flat.fits",
         report("0x006a: Unknown error", output_data),
         "plenor_output: cannot write /dev/full: No space left on device\n"},
        // Outputs that are inputs or another output: refused before anything is read.
        {"ProductReplacingItsInput", "", "", "-i dce.fits -o dce.fits -f flat.fits", refusal,
         same("dce.fits")},
        {"UncertaintyOutputIsTheFlat", "", "",
         "-i dce.fits -ui unc.fits -o out.fits -uo flat.fits -f flat.fits", refusal,
         same("flat.fits")},
        {"DmaskIsTheDce", "", "", base + " -d dce.fits", refusal, same("dce.fits")},
        {"DmaskIsTheOutput", "h.fits", int_image(16, {3, 2}, std::vector<long long>(6, 0)),
         "-i dce.fits -o h.fits -f flat.fits -d h.fits", refusal,
         "plenor_output: output files h.fits and h.fits are the same file; nothing written\n"},
        {"LogIsTheDce", "", "", base + " -l dce.fits", refusal, same("dce.fits")},
        // The value is cut at its blank: the output would be the flat.
        {"OutputNameCutToTheFlat", "h.nml", "&PLENORIN\nFITS_Output_File = 'flat.fits divided'\n",
         "-i dce.fits -f flat.fits -n h.nml", refusal, same("flat.fits")},
        // The FITS library's name syntax: the file it resolves to is never touched.
        {"TemplateThatIsNoFile", "h", "old", "-i dce.fits -o h(1).fits -f flat.fits", refusal,
         "plenor_output: the template file 1 named in h(1).fits cannot be read; nothing written\n"},
        {"CompressionTheLibraryRefuses", "h", "old", "-i dce.fits -o h[1].fits -f flat.fits",
         report("0x007d: Unknown error", output_data), "plenor_output: cannot create h[1].fits\n"},
        {"PipeAsFlat", "h.fits", pipe, flat_h, refusal,
         "plenor_output: input h.fits is a pipe or device, not a regular file; nothing written\n"},
    };
}

class Refused : public Case, public testing::WithParamInterface<refused> {};

TEST_P(Refused, EndsWithItsStatusAndNoProduct) {
    const refused& c = GetParam();
    if (c.content == folder) {
        ASSERT_EQ(mkdir(f(c.file).c_str(), 0755), 0);
    } else if (c.content == pipe) {
        ASSERT_EQ(mkfifo(f(c.file).c_str(), 0644), 0);
    } else if (!c.file.empty()) {
        bytes(c.file, c.content);
        inputs[c.file] = c.content;
    }
    const testkit::RunResult r = plenor(c.args);
    expect_failure(r, c.report_lines, {c.part, c.also});
    EXPECT_TRUE(c.content != folder || S_ISDIR(stat_of(f(c.file)).st_mode)) << "the folder stays";
    EXPECT_LE(testkit::count_of(r.out, "command line syntax error"), 1);
}

INSTANTIATE_TEST_SUITE_P(Corpus, Refused, testing::ValuesIn(refused_cases()),
                         [](const testing::TestParamInfo<refused>& i) { return i.param.name; });

// ------------------------------------------------------------------ accepted inputs

// One input file, the command line, the product that must hold 1 .. 6 and its BITPIX.
struct accepted {
    const char* name;
    std::string file, content, args, product;
    int bitpix = -32;
};

void PrintTo(const accepted& c, std::ostream* os) {
    *os << c.name;
}

std::vector<accepted> accepted_cases() {
    const std::string nl = base + " -n h.nml", dce_h = "-i h.fits -o out.fits -f flat.fits";
    const std::vector<long long> ints(dce_values.begin(), dce_values.end());
    return {
        // Every integer and float BITPIX is read converted to float; a double image keeps its
        // type, every other one becomes a single-precision image.
        {"Bitpix8", "h.fits", int_image(8, {3, 2}, ints), dce_h, "out.fits"},
        {"Bitpix16", "h.fits", int_image(16, {3, 2}, ints), dce_h, "out.fits"},
        {"Bitpix32", "h.fits", int_image(32, {3, 2}, ints), dce_h, "out.fits"},
        {"Bitpix64", "h.fits", int_image(64, {3, 2}, ints), dce_h, "out.fits"},
        {"BitpixMinus32", "h.fits", float_image({3, 2}, dce_doubles), dce_h, "out.fits"},
        {"BitpixMinus64", "h.fits",
         primary_header(-64, {3, 2}) + pad(be_floats(dce_doubles, true), '\0'), dce_h, "out.fits",
         -64},
        // Stored 0 .. 5 with BSCALE 2 and BZERO 2 are 2 .. 12: read scaled, written unscaled.
        {"ScaledIntegers", "h.fits",
         primary_header(16, {3, 2}, {card("BSCALE", "2"), card("BZERO", "2")}) +
             pad(be_ints({0, 1, 2, 3, 4, 5}, 2), '\0'),
         dce_h, "out.fits"},
        {"ImageInAnExtensionWhenNamed", "h.fits", image_in_extension,
         "-i h.fits[1] -o out.fits -f flat.fits", "out.fits"},
        // Binary entries after the group start (a zero byte among them) match no key.
        {"BinaryEntriesInTheGroup", "h.nml",
         "&PLENORIN\n" + binary_bytes(3000) + std::string(1, '\0') + binary_bytes(50), nl,
         "out.fits"},
        // The last entry without a line end is still applied (the DCE comes from it).
        {"LastLineWithoutLineEnd", "h.nml", "&PLENORIN\nFITS_Input_File = 'dce.fits'",
         "-n h.nml -o out.fits -f flat.fits", "out.fits"},
        {"GroupStartAtTheEndOfTheFile", "h.nml", "&PLENORIN", nl, "out.fits"},
        // A name without its closing apostrophe runs to the end of the word; a name without
        // its opening one loses its first character (the opening apostrophe's place).
        {"UnbalancedQuotes", "h.nml",
         "&PLENORIN\nFITS_Input_File = 'dce.fits\nFITS_Output_File = xout.fits'\n",
         "-n h.nml -f flat.fits", "out.fits"},
        // Near the limit of 255 on one file name, the temporary name keeps within it.
        {"LongestFileName", "", "",
         "-i dce.fits -o " + std::string(250, 'o') + ".fits -f flat.fits",
         std::string(250, 'o') + ".fits"},
        // A comment is read and ignored, however long.
        {"CommentOf300Characters", "h.nml", "&PLENORIN\nComment = " + std::string(300, 'c') + "\n",
         nl, "out.fits"},
    };
}

class Accepted : public Case, public testing::WithParamInterface<accepted> {};

TEST_P(Accepted, IsFlatFielded) {
    const accepted& c = GetParam();
    if (!c.file.empty()) {
        bytes(c.file, c.content);
    }
    const testkit::RunResult r = plenor(c.args);
    ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
    const testkit::Image out = testkit::read_image(f(c.product));
    EXPECT_EQ(out.fpixels, flat_result);
    EXPECT_EQ(out.bitpix, c.bitpix);
    expect_no_leftovers();
}

INSTANTIATE_TEST_SUITE_P(Corpus, Accepted, testing::ValuesIn(accepted_cases()),
                         [](const testing::TestParamInfo<accepted>& i) { return i.param.name; });

// A DCE and flat without pixels (an axis of length 0) are a valid empty image.
TEST_F(Case, EmptyImageOfMatchingFlatIsAccepted) {
    bytes("h.fits", primary_header(-32, {3, 0}));
    bytes("f0.fits", primary_header(-32, {3, 0, 2}));
    ASSERT_EQ(plenor("-i h.fits -o out.fits -f f0.fits").status, 0);
    EXPECT_EQ(testkit::read_image(f("out.fits")).naxes, (std::vector<long>{3, 0}));
}

// ------------------------------------------------------------------ failing products

// The DCE product is complete; the uncertainty product cannot be written: the run fails and
// writes nothing.  A device that takes everything is written in place and stays a device.
TEST_F(Case, FullAndNullDevices) {
    const testkit::RunResult r =
        plenor("-i dce.fits -ui unc.fits -o out.fits -uo /dev/full -f flat.fits");
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, report("0x006a: Unknown error", output_data))) << r.out;
    EXPECT_FALSE(testkit::file_exists(f("out.fits")));
    expect_no_leftovers();
    ASSERT_EQ(plenor("-i dce.fits -o /dev/null -f flat.fits").status, 0);
    EXPECT_TRUE(S_ISCHR(stat_of("/dev/null").st_mode));
}

// The products are complete, but the log on a full device is cut short: the run fails.
TEST_F(Case, LogWrittenToAFullDeviceFailsTheRun) {
    const testkit::RunResult r = plenor(base + " -l /dev/full");
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor_log_writer: cannot write /dev/full: No space left on device\n" +
                               report("0x006a: Unknown error", output_data)))
        << r.out;
    EXPECT_TRUE(has(r.out, "exit code 64\n"));
    EXPECT_EQ(pixels("out.fits"), flat_result);
}

// A product that cannot be made leaves the Dmask and every earlier product as they were.
TEST_F(Case, FailedProductsKeepThePreviousFiles) {
    testkit::write_text(f("out.fits"), "previous product");
    testkit::write_short_image(f("dmask.fits"), {3, 2}, {0, 0x4000, 0, 0, 0, 0});
    const std::string before = testkit::read_text(f("dmask.fits"));
    for (const char* args : {"-o nodir/out.fits -d dmask.fits",
                             "-o out.fits -ui unc.fits -uo nodir/u.fits -d dmask.fits"}) {
        const testkit::RunResult r = plenor(std::string("-i dce.fits -f flat.fits ") + args);
        EXPECT_EQ(r.status, 64);
        EXPECT_TRUE(has(r.out, report("0x0069: Unknown error", output_data))) << r.out;
        EXPECT_EQ(testkit::read_text(f("dmask.fits")), before) << args;
        EXPECT_EQ(testkit::read_text(f("out.fits")), "previous product") << args;
        expect_no_leftovers();
    }
}

// A complete update replaces the Dmask (a new file, reached through its link) with the marks
// of the run: the condemned pixel 1 gains 0x100.
TEST_F(Case, DmaskIsReplacedWholeThroughItsLink) {
    testkit::write_short_image(f("dmask.fits"), {3, 2}, {0, 0x4000, 0, 0, 0, 0});
    ASSERT_EQ(symlink("dmask.fits", f("link.fits").c_str()), 0);
    const ino_t old_inode = stat_of(f("dmask.fits")).st_ino;
    ASSERT_EQ(plenor(base + " -d link.fits").status, 0);
    EXPECT_EQ(testkit::read_image(f("link.fits")).pixels,
              (std::vector<double>{0, 0x4100, 0, 0, 0, 0}));
    EXPECT_TRUE(S_ISLNK(stat_of(f("link.fits"), true).st_mode));
    EXPECT_NE(stat_of(f("dmask.fits")).st_ino, old_inode);
    expect_no_leftovers();
}

// The rewritten Dmask keeps what the old file held besides its pixels: its permission bits,
// its scaling (unsigned values stored with BZERO 32768, so 0x4100 is stored as 0x4100 - 32768)
// and an image extension behind it.
TEST_F(Case, RewrittenDmaskKeepsModeScalingAndExtensions) {
    const std::vector<long long> stored = {-32768, 0x4000 - 32768, -32768, -32768, -32768, -32768};
    write_bytes(f("dmask.fits"),
                primary_header(16, {3, 2}, {card("EXTEND", "T"), card("BZERO", "32768")}) +
                    pad(be_ints(stored, 2), '\0') + float_extension_header({3, 2}) +
                    pad(be_floats(dce_doubles, false), '\0'));
    ASSERT_EQ(chmod(f("dmask.fits").c_str(), 0640), 0);
    ASSERT_EQ(plenor(base + " -d dmask.fits").status, 0);
    EXPECT_EQ(testkit::read_image(f("dmask.fits")).pixels,
              (std::vector<double>{0, 0x4100, 0, 0, 0, 0}));
    std::string bzero;
    EXPECT_TRUE(testkit::read_keyword(f("dmask.fits"), "BZERO", bzero));
    EXPECT_EQ(std::stod(bzero), 32768.0);
    EXPECT_EQ(testkit::read_image(f("dmask.fits"), 2).pixels, dce_doubles);
    EXPECT_EQ(stat_of(f("dmask.fits")).st_mode & 07777, 0640u);
    expect_no_leftovers();
}

// Two runs with the same output and Dmask: run a is stopped while it writes, before it puts
// anything in place; run b completes; then a completes.  Each product is then a's whole one.
TEST_F(Case, InterleavedRunsKeepTheirOwnTemporaryFiles) {
    const long n = 1024;
    testkit::write_float_image(f("big.fits"), {n, n}, std::vector<float>(n * n, 8));
    for (int k : {2, 4}) {
        std::vector<float> flat(2 * n * n, static_cast<float>(k));
        std::fill(flat.begin() + n * n, flat.end(), 0.0f);
        testkit::write_float_image(f("flat" + std::to_string(k) + ".fits"), {n, n, 2}, flat);
    }
    testkit::write_short_image(f("dm.fits"), {n, n}, std::vector<short>(n * n, 0));
    const std::string prog = testkit::installed_program("plenor");
    auto args = [](const char* flat) {
        return std::vector<std::string>{"-i", "big.fits", "-f", flat,
                                        "-o", "out.fits", "-d", "dm.fits"};
    };
    bool caught = false;
    for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
        testkit::write_text(f("out.fits"), "old");
        const pid_t a = spawn_quietly(prog, args("flat2.fits"), dir.path());
        while (unfinished_products(dir.path()).empty() && waitpid(a, nullptr, WNOHANG) == 0) {
        }
        int status = 0;
        kill(a, SIGSTOP);
        caught = waitpid(a, &status, WUNTRACED) == a && WIFSTOPPED(status) &&
                 testkit::read_text(f("out.fits")) == "old";
        if (caught) {
            const pid_t b = spawn_quietly(prog, args("flat4.fits"), dir.path());
            EXPECT_EQ(waitpid(b, &status, 0), b);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels[0], 2.0f);
        }
        kill(a, SIGCONT);
        waitpid(a, &status, 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels, std::vector<float>(n * n, 4.0f));
        EXPECT_EQ(testkit::read_image(f("dm.fits")).naxes, (std::vector<long>{n, n}));
        expect_no_leftovers();
    }
    EXPECT_TRUE(caught);
}

// ------------------------------------------------------------------ exhausted memory

// A float image of the given axes whose data unit is a hole of zeros (no disk space used).
void sparse_float_image(const std::string& path, const std::vector<long>& axes) {
    const std::string header = primary_header(-32, axes);
    write_bytes(path, header);
    off_t pixels = 1;
    for (long a : axes) {
        pixels *= a;
    }
    ASSERT_EQ(truncate(path.c_str(),
                       static_cast<off_t>(header.size()) + (pixels * 4 + 2879) / 2880 * 2880),
              0);
}

// 65536 x 65536 pixels (2^32, beyond 32 bits) need 16 GiB for the DCE alone: under a 512 MiB
// limit the DCE buffer cannot be had.  4096 x 4096 pixels with uncertainty: the inputs take
// 24 bytes a pixel (400 MiB) and the computation works block by block without arrays of its
// own, so the run fits under 500 MiB.
TEST_F(Case, MemoryRunsOutForTheDceButNotForTheComputation) {
    if (kUnderAsan) {
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    }
    sparse_float_image(f("h.fits"), {65536, 65536});
    expect_failure(plenor("-i h.fits -o out.fits -f flat.fits", 512),
                   report("0x0071: MALLOC_FAILED", read_data));
    sparse_float_image(f("big.fits"), {4096, 4096});
    sparse_float_image(f("bigunc.fits"), {4096, 4096});
    sparse_float_image(f("bigflat.fits"), {4096, 4096, 2});
    const testkit::RunResult r = plenor("-i big.fits -ui bigunc.fits -o out.fits "
                                        "-uo unc_out.fits -f bigflat.fits",
                                        500);
    EXPECT_EQ(r.status, 0) << r.out;
}

} // namespace
