// The installed plenor against command lines, namelists and FITS files of every kind, refused
// or accepted, product folders that cannot take a file, full devices, concurrent runs and
// exhausted memory.  Every failure ends with its status code in words and exit status 64, never
// a crash, and leaves no product half-written under its final name; what the readers accept is
// flat-fielded.
#include <sys/wait.h>
#include <unistd.h>

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

std::string float_image(const std::vector<long>& axes, const std::vector<double>& px) {
    return primary_header(-32, axes) + pad(be_floats(px, false), '\0');
}
std::string int_image(int bitpix, const std::vector<long>& axes, const std::vector<long long>& px) {
    return primary_header(bitpix, axes) + pad(be_ints(px, bitpix / 8), '\0');
}

// Deterministic bytes 1 .. 255 over and over, none of them "&".
std::string binary_bytes(size_t count) {
    std::string b;
    for (size_t i = 0; b.size() < count; ++i) {
        b += static_cast<char>(1 + i % 255) == '&' ? '\1' : static_cast<char>(1 + i % 255);
    }
    return b;
}

// The content of the input file h (none if "<absent>", a folder or a named pipe if so named;
// `file` names another file, or "-" standard input), the command line, and what the run prints:
// the report lines and two more parts of a failure; or, for a run that succeeds (no report), the
// product (`part`, out.fits if empty) holding 1 .. 6.
struct row {
    const char* name;
    std::string content, args, report, part = "", also = "", file = "h";
};

// ctest names a case by its name rather than by its bytes.
void PrintTo(const row& c, std::ostream* os) {
    *os << c.name;
}

std::vector<row> rows() {
    const std::vector<double> dce(dce_values.begin(), dce_values.end());
    const std::vector<long long> ints(dce_values.begin(), dce_values.end());
    const std::string D = "-i h -o out.fits -f flat.fits", F = "-i dce.fits -o out.fits -f h";
    const std::string N = base + " -n h", NO = "-n h -o out.fits -f flat.fits", G = "&PLENORIN\n";
    const std::string in_ext = primary_header(8, {}, {card("EXTEND", "T")}) +
                               float_extension_header({3, 2}) + pad(be_floats(dce, false), '\0');
    const std::string dmask = int_image(16, {3, 2}, {0, 0x4000, 0, 0, 0, 0}), gone = "<absent>";
    auto fits = [](int status) {
        char code[32];
        std::snprintf(code, sizeof code, "0x%04x: Unknown error", status);
        return report(code, read_data);
    };
    auto st = [](int status) { return "FITS status " + std::to_string(status) + " reading h\n"; };
    auto same = [](const std::string& in) {
        return "output file " + in + " is the same file as input file " + in + "; nothing written";
    };
    const std::string syntax = report("0x0018: CL_ARGS_INCRT", "0x0020: PARSE_ARGS");
    const std::string dims = report("0x001b: DIMS_INCRT", read_data), short_read = "is shorter";
    const std::string no_group = report("0x001a: NL_INCRT", "0x001c: NAMELIST");
    const std::string unreadable = report("0x0012: COULDNOTREAD", "0x001c: NAMELIST");
    const std::string refusal = report("0x0069: Unknown error", output_data);
    const std::string full = report("0x006a: Unknown error", output_data);
    const std::string no_dce = "Missing required information - -i <input_file>\n";
    const std::string skip = "\nPmask_File = 'absent.fits'\n", o254 = std::string(249, 'o');
    std::string long_nl = G; // about 20 KB of comments
    for (int i = 0; i < 800; ++i) {
        long_nl += " Comment = filler_line_" + std::to_string(1000 + i) + "\n";
    }
    return {
        {"MissingDce", "", "-i absent.fits -o out.fits -f flat.fits", fits(104), "reading absent"},
        {"MissingFlat", gone, F, fits(104), st(104)},
        {"NotAFitsFile", std::string(3000, 'x'), D, fits(252), st(252)},
        {"EmptyFile", "", D, fits(107), st(107)},
        {"HeaderWithoutEnd", primary_header(-32, {3, 2}).substr(0, 1000), D, fits(108), st(108)},
        {"TruncatedData", primary_header(-32, {3, 2}) + be_floats({1, 2}, false), D, fits(107),
         short_read},
        // The flat's uncertainty plane is missing: 24 of its 48 data bytes are there.
        {"TruncatedFlat", primary_header(-32, {3, 2, 2}) + be_floats(dce, false), F, fits(107),
         "h is shorter than its header states"},
        // 65536 x 65537 pixels do not fit in 32 bits; the file holds one block of them.
        {"AxesBeyond32Bits", pad(primary_header(-32, {65536, 65537}) + "x", '\0'), D, fits(107),
         short_read},
        {"NegativeAxis", primary_header(-32, {3, -2}), D, fits(213), st(213)},
        {"FolderAsDce", folder, D, fits(108), st(108)},
        {"FolderAsFlat", folder, F, fits(108), st(108)},
        // 70000 does not fit the 16 bits of a mask value.
        {"PmaskBeyond16Bits", int_image(32, {3, 2}, {70000, 0, 0, 0, 0, 128}), base + " -p h",
         fits(412), st(412)},
        {"NaxisZero", primary_header(-32, {}), D, dims, "h has 0 axes; images need 2 or 3"},
        {"NaxisFour", float_image({3, 2, 1, 1}, dce), D, dims, "h has 4 axes"},
        {"FlatWithFourAxes", float_image({3, 2, 2, 1}, dce), F, dims, "h has 4 axes"},
        {"CmaskWithFourAxes", int_image(16, {3, 2, 1, 1}, ints), base + " -c h", dims},
        // The DCE has no pixels; the 3 x 2 flat then differs from its shape.
        {"ZeroAxisLength", primary_header(-32, {3, 0}), D, dims},
        {"TransposedFlat", float_image({2, 3, 2}, std::vector<double>(12, 2)), F, dims},
        {"CubeWithPlaneUnc", float_image({3, 2, 3}, std::vector<double>(18, 4)),
         D + " -ui unc.fits", dims},
        {"DmaskOfTwoPlanes", int_image(16, {3, 2, 2}, std::vector<long long>(12, 0)),
         base + " -d h", dims},
        {"ImageInExtension", in_ext, D, dims, "an image in an extension is named as h[1]"},
        // Command lines.
        {"NoArguments", gone, "", syntax, "\n\nplenor:\n        Required arguments\n",
         "the Cmask fatality level provided in the -cm option will be used for \nmasking the "
         "flat.\n\nplenor_parse_args: Missing required information - -i <input_file>\n"
         "plenor_parse_args: Missing required information - -o <output_file>\n"
         "plenor_parse_args: Missing required information - -f <flafield_file>\n"},
        {"StrayWord", gone, "stray " + base, syntax, "plenor_parse_args: command line syntax"},
        {"UnknownOption", gone, "-z " + base, syntax, "plenor_parse_args: unknown argument\n"},
        {"NamelistNotNamed", gone, base + " -n", syntax,
         "-n <input_namelist_fname> missing "
         "argument\n",
         "Information only: Namelist not specified.\n"},
        {"OptionWithoutValue", gone, "-o out.fits -f flat.fits -i", syntax, no_dce},
        {"LevelNotANumber", gone, "-dm abc " + base, syntax, "invalid value for -dm\n"},
        {"LevelBeyond32Bits", gone, "-cm 99999999999 " + base, syntax},
        {"SyntaxFlagAlone", gone, base + " -cx", syntax},
        {"SyntaxFlagWithNamelist", G + "&END\n", base + " -cx -n h", syntax},
        {"OtherSyntaxFlagWithNamelist", G + "&END\n", base + " -px -n h", syntax},
        {"OptionOfOneLetter", gone, base + " -u x", syntax},
        // A name fills the record's 1024 characters at most; the "!" of an output name counts.
        {"OutputNameBeyondTheRecord", gone, "-i dce.fits -f flat.fits -o " + std::string(1024, 'o'),
         syntax, "invalid value for -o\n"},
        {"OverlongName", gone, base + " -d " + std::string(100000, 'd'), syntax},
        {"OverlongNamelistName", gone, base + " -n " + std::string(5000, 'n'), syntax},
        // Namelists.
        {"NamelistWithoutAmpersand", "PLENORIN\n FITS_Input_File = 'x'\n", N, no_group},
        {"GroupNameCutShort", "text &PLENORI", N, no_group},
        {"BinaryNamelistWithoutGroup", binary_bytes(5000), N, no_group},
        {"ProgramAsNamelist", std::string("\177ELF\0\0\1&\377", 9), N, no_group},
        {"MissingNamelist", gone, N, report("0x0011: FOPEN_FAILED", "0x001c: NAMELIST"),
         "plenor_parse_namelist: Error opening file"},
        {"EmptyNamelist", "", N, unreadable, "Could not read from file h"},
        {"FolderAsNamelist", folder, N, unreadable, "Could not read from file h"},
        {"EmptyPipeAsNamelist", "", base + " -n /dev/stdin", unreadable,
         "plenor_parse_namelist: Could not read from file /dev/stdin", "", "-"},
        // A word of 100000 characters is refused; the entry stores nothing, so the DCE is unknown.
        {"VeryLongNamelistLine", G + "FITS_Input_File = '" + std::string(100000, 'a') + "'\n",
         NO + " -v", syntax, "word longer than 255 characters", no_dce},
        {"LongNamelistWord", G + "Pmask_File = '" + std::string(5000, 'w') + "'\n", N, no_group},
        // A quote alone, and a key with an apostrophe but no value, store nothing.
        {"LoneQuotes", G + "'\nFITS_Input_File = '\nFITS_Input_File\n'''\n&END", NO, syntax,
         no_dce},
        // Root is not stopped by permission bits, so an output folder that cannot be written is
        // one that does not exist, or a path below a regular file.  A product that cannot be made
        // leaves the Dmask and every earlier product as they were.
        {"OutputFolderMissing", dmask, with_unc + " -o nowhere/out.fits -d h", refusal,
         "plenor_output: cannot create nowhere/out.fits\n"},
        {"UncFolderMissing", "earlier", base + " -ui unc.fits -uo no/u", refusal, "", "",
         "out.fits"},
        {"OutputFolderIsAFile", gone, "-i dce.fits -o dce.fits/out.fits -f flat.fits", refusal},
        {"OutputNamesAFolder", folder, base, refusal,
         "plenor_output: out.fits is a folder, not a file; nothing written\n", "", "out.fits"},
        {"ProductToAFullDevice", gone, "-i dce.fits -o /dev/full -f flat.fits", full,
         "plenor_output: cannot write /dev/full: No space left on device\n"},
        // The DCE product is complete; the uncertainty product cannot be written.
        {"UncToAFullDevice", gone, base + " -ui unc.fits -uo /dev/full", full},
        // Outputs that are inputs or another output: refused before anything is read.
        {"OutputIsTheDce", gone, "-i dce.fits -o dce.fits -f flat.fits", refusal, same("dce.fits")},
        {"UncOutputIsTheFlat", gone, base + " -ui unc.fits -uo flat.fits", refusal,
         same("flat.fits")},
        {"DmaskIsTheDce", gone, base + " -d dce.fits", refusal, same("dce.fits")},
        {"DmaskIsTheOutput", dmask, "-i dce.fits -o h -f flat.fits -d h", refusal,
         "plenor_output: output files h and h are the same file; nothing written\n"},
        {"LogIsTheDce", gone, base + " -l dce.fits", refusal, same("dce.fits")},
        {"OutputIsTheNamelist", G + "&END\n", "-i dce.fits -o h -f flat.fits -n h", refusal,
         same("h")},
        // The value is cut at its blank: the output would be the flat.
        {"OutputNameCutToTheFlat", G + "FITS_Output_File = 'flat.fits divided'\n",
         "-i dce.fits -f flat.fits -n h", refusal, same("flat.fits")},
        // The FITS library's name syntax: the file it resolves to is never touched.
        {"TemplateThatIsNoFile", "old", "-i dce.fits -o h(1).fits -f flat.fits", refusal,
         "plenor_output: the template file 1 named in h(1).fits cannot be read; nothing written\n"},
        {"CompressionRefused", "old", "-i dce.fits -o h[1].fits -f flat.fits",
         report("0x007d: Unknown error", output_data), "plenor_output: cannot create h[1].fits\n"},
        {"PipeAsFlat", pipe, F, refusal,
         "plenor_output: input h is a pipe or device, not a regular file; nothing written\n"},
        // Accepted: every integer and float BITPIX is read converted to float; a double image
        // keeps its type, every other one becomes a single-precision image.
        {"Bitpix8", int_image(8, {3, 2}, ints), D, ""},
        {"Bitpix16", int_image(16, {3, 2}, ints), D, ""},
        {"Bitpix32", int_image(32, {3, 2}, ints), D, ""},
        {"Bitpix64", int_image(64, {3, 2}, ints), D, ""},
        {"BitpixMinus32", float_image({3, 2}, dce), D, ""},
        {"BitpixMinus64", primary_header(-64, {3, 2}) + pad(be_floats(dce, true), '\0'), D, ""},
        // Stored 0 .. 5 with BSCALE 2 and BZERO 2 are 2 .. 12: read scaled, written unscaled.
        {"ScaledIntegers",
         primary_header(16, {3, 2}, {card("BSCALE", "2"), card("BZERO", "2")}) +
             pad(be_ints({0, 1, 2, 3, 4, 5}, 2), '\0'),
         D, ""},
        {"ImageInExtensionNamed", in_ext, "-i h[1] -o out.fits -f flat.fits", ""},
        // Without the input uncertainty, or without its product, no uncertainty is made.
        {"UncProductWithoutInput", gone, base + " -uo unc_out.fits", ""},
        {"UncInputWithoutProduct", gone, base + " -ui unc.fits", ""},
        // A log on standard output is no file that could clash with an input named so.
        {"LogOnStandardOutput", float_image({3, 2}, dce),
         "-i stdout -o out.fits -f flat.fits "
         "-l stdout",
         "", "", "", "stdout"},
        // Binary entries after the group start (a zero byte among them) match no key.
        {"BinaryEntries", G + binary_bytes(3000) + std::string(1, '\0') + binary_bytes(50), N, ""},
        {"GroupStartAtTheEnd", "&PLENORIN", N, ""},
        // A comment is read and ignored, however long.  A name without its closing apostrophe
        // runs to the end of the word (kept whole at 254 characters, whose temporary name keeps
        // within the limit of 255); one without its opening one loses its first character (the
        // opening apostrophe's place).  The last entry without a line end is still applied.
        {"CommentsAndQuotes",
         G + "Comment = " + std::string(300, 'c') + "\nFITS_Output_File = '" + o254 +
             ".fits\nFITS_Input_File = xdce.fits'",
         "-n h -f flat.fits", "", o254 + ".fits"},
        // Through a pipe the namelist is read to its end, across several buffer growths.
        {"NamelistThroughAPipe", long_nl + "FITS_Input_File = 'dce.fits'\n&END\n",
         "-n /dev/stdin -o out.fits -f flat.fits", "", "", "", "-"},
        // Other groups are skipped, "&PLENORINPUT" opens the group, which ends at "/" or "&";
        // only "Key = value" entries with the key as written are stored; options are selected
        // by their first letters, and the command line wins.
        {"EntriesOfTheGroup",
         "&OTHER Pmask_File = 'absent.fits' &END\n&PLENORINPUT\n"
         "FITS_Input_File = 'absent'\nPmask_File='absent'\npmask_file = 'absent'\nDmask_File : "
         "'absent'\nUnknown = 'u'\n/",
         "-input dce.fits -o out.fits -flat flat.fits -n h", ""},
        {"GroupEndsAtAnAmpersand", G + "FITS_Input_File = 'dce.fits'\n&END" + skip, NO, ""},
    };
}

class Hostile : public Case, public testing::WithParamInterface<row> {};

TEST_P(Hostile, EndsWithItsStatusAndProducts) {
    const row& c = GetParam();
    if (c.content == folder) {
        ASSERT_EQ(mkdir(f(c.file).c_str(), 0755), 0);
    } else if (c.content == pipe) {
        ASSERT_EQ(mkfifo(f(c.file).c_str(), 0644), 0);
    } else if (c.content != "<absent>" && c.file != "-") {
        raw_fits::write_bytes(f(c.file), c.content);
        inputs[c.file] = c.content;
    }
    const testkit::RunResult r = plenor(c.args, 0, c.file == "-" ? c.content : "");
    if (!c.report.empty()) {
        expect_failure(r, c.report, {c.part, c.also});
        EXPECT_TRUE(c.content != folder || S_ISDIR(stat_of(f(c.file)).st_mode)) << "folder kept";
        EXPECT_LE(testkit::count_of(r.out, "command line syntax error"), 1);
        return;
    }
    ASSERT_EQ(r.status, 0) << r.out.substr(0, 3000);
    const testkit::Image out = testkit::read_image(f(c.part.empty() ? "out.fits" : c.part));
    EXPECT_EQ(out.fpixels, flat_result);
    EXPECT_EQ(out.bitpix, has(c.content, card("BITPIX", "-64")) ? -64 : -32);
    EXPECT_FALSE(testkit::file_exists(f("unc_out.fits")));
    expect_no_leftovers();
}

INSTANTIATE_TEST_SUITE_P(Corpus, Hostile, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<row>& i) { return i.param.name; });

// A DCE and flat without pixels (an axis of length 0) are a valid empty image.  A device that
// takes everything is written in place and stays a device.
TEST_F(Case, EmptyImageAndNullDevice) {
    raw_fits::write_bytes(f("h.fits"), primary_header(-32, {3, 0}));
    raw_fits::write_bytes(f("f0.fits"), primary_header(-32, {3, 0, 2}));
    ASSERT_EQ(plenor("-i h.fits -o out.fits -f f0.fits").status, 0);
    EXPECT_EQ(testkit::read_image(f("out.fits")).naxes, (std::vector<long>{3, 0}));
    ASSERT_EQ(plenor("-i dce.fits -o /dev/null -f flat.fits").status, 0);
    EXPECT_TRUE(S_ISCHR(stat_of("/dev/null").st_mode));
}

// The products are complete, but the log on a full device is cut short: the run fails.
TEST_F(Case, LogWrittenToAFullDeviceFailsTheRun) {
    const testkit::RunResult r = plenor(base + " -l /dev/full");
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor_log_writer: cannot write /dev/full: No space left on device\n" +
                               report("0x006a: Unknown error", output_data) + "Time = "))
        << r.out;
    EXPECT_EQ(pixels("out.fits"), flat_result);
}

// A complete update replaces the Dmask (a new file, reached through its link) with the marks
// of the run, the condemned pixel 1 gaining 0x100, and keeps what the old file held besides
// its pixels: its permission bits, its scaling (unsigned values stored with BZERO 32768) and an
// image extension behind it.
TEST_F(Case, DmaskIsReplacedWholeThroughItsLinkKeepingModeScalingAndExtensions) {
    const std::vector<long long> stored = {-32768, 0x4000 - 32768, -32768, -32768, -32768, -32768};
    write_bytes(f("dmask.fits"),
                primary_header(16, {3, 2}, {card("EXTEND", "T"), card("BZERO", "32768")}) +
                    pad(be_ints(stored, 2), '\0') + float_extension_header({3, 2}) +
                    pad(be_floats({1, 2, 3, 4, 5, 6}, false), '\0'));
    ASSERT_EQ(chmod(f("dmask.fits").c_str(), 0640), 0);
    ASSERT_EQ(symlink("dmask.fits", f("link.fits").c_str()), 0);
    const ino_t old_inode = stat_of(f("dmask.fits")).st_ino;
    ASSERT_EQ(plenor(base + " -d link.fits").status, 0);
    EXPECT_EQ(testkit::read_image(f("link.fits")).pixels,
              (std::vector<double>{0, 0x4100, 0, 0, 0, 0}));
    EXPECT_TRUE(S_ISLNK(stat_of(f("link.fits"), true).st_mode));
    EXPECT_NE(stat_of(f("dmask.fits")).st_ino, old_inode);
    std::string bzero;
    EXPECT_TRUE(testkit::read_keyword(f("dmask.fits"), "BZERO", bzero));
    EXPECT_EQ(std::stod(bzero), 32768.0);
    EXPECT_EQ(testkit::read_image(f("dmask.fits"), 2).pixels,
              (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(stat_of(f("dmask.fits")).st_mode & 07777, 0640u);
    expect_no_leftovers();
}

// Two runs with the same output and Dmask: run a is stopped while it writes, before it puts
// anything in place; run b completes; then a completes.  Each product is then a's whole one.
TEST_F(Case, InterleavedRunsKeepTheirOwnTemporaryFiles) {
    const long n = 1024;
    testkit::write_float_image(f("big.fits"), {n, n}, std::vector<float>(n * n, 8));
    for (int k : {2, 4}) {
        std::vector<float> flat(2 * n * n, 0.0f);
        std::fill(flat.begin(), flat.begin() + n * n, static_cast<float>(k));
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
            EXPECT_EQ(pixels("out.fits")[0], 2.0f);
        }
        kill(a, SIGCONT);
        waitpid(a, &status, 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(pixels("out.fits"), std::vector<float>(n * n, 4.0f));
        EXPECT_EQ(testkit::read_image(f("dm.fits")).naxes, (std::vector<long>{n, n}));
        expect_no_leftovers();
    }
    EXPECT_TRUE(caught);
}

// 65536 x 65536 pixels (2^32, beyond 32 bits) need 16 GiB for the DCE alone: under a 512 MiB
// limit the DCE buffer cannot be had.  4096 x 4096 pixels with uncertainty: the inputs take
// 24 bytes a pixel (400 MiB) and the computation works block by block without arrays of its
// own, so the run fits under 500 MiB.  The data units are holes of zeros (no disk space used).
TEST_F(Case, MemoryRunsOutForTheDceButNotForTheComputation) {
    if (kUnderAsan) {
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    }
    for (const auto& [name, axes] : std::vector<std::pair<std::string, std::vector<long>>>{
             {"h.fits", {65536, 65536}},
             {"big.fits", {4096, 4096}},
             {"bigunc.fits", {4096, 4096}},
             {"bigflat.fits", {4096, 4096, 2}}}) {
        write_bytes(f(name), primary_header(-32, axes));
        off_t data = 4;
        for (long a : axes) {
            data *= a;
        }
        ASSERT_EQ(truncate(f(name).c_str(), 2880 + (data + 2879) / 2880 * 2880), 0);
    }
    expect_failure(plenor("-i h.fits -o out.fits -f flat.fits", 512),
                   report("0x0071: MALLOC_FAILED", read_data));
    const testkit::RunResult r =
        plenor("-i big.fits -ui bigunc.fits -o out.fits -uo unc_out.fits -f bigflat.fits", 500);
    EXPECT_EQ(r.status, 0) << r.out;
}

} // namespace
