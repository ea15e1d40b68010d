// The installed stackle: usage and help texts, command-line and namelist
// handling, file lists and their faults, and the spine of a complete run.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

using testkit::Keyword;

std::string pad(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

bool has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

struct StackleSettings : testing::Test {
    testkit::TempDir dir;
    std::string prog = testkit::installed_program("stackle");

    testkit::RunResult run(const std::vector<std::string>& args) {
        testkit::RunOptions opts;
        opts.cwd = dir.path();
        testkit::RunResult r = testkit::run(prog, args, opts);
        EXPECT_FALSE(r.signaled) << r.out;
        return r;
    }
    void text(const std::string& name, const std::string& body) {
        testkit::write_text(dir.file(name), body);
    }
    // A 1 x 1 frame with FOVID 3.
    void frame(const std::string& name, float value) {
        testkit::write_float_image(dir.file(name), {1, 1}, {value}, {Keyword::integer("FOVID", 3)});
    }
    std::string error_line(const std::string& reason) {
        return "\aERROR in program " + prog + ":  " + reason + ".\n\n";
    }
};

} // namespace

TEST_F(StackleSettings, NoArgumentsPrintsOnlyTheUsage) {
    auto r = run({});
    EXPECT_EQ(r.status, 0);
    std::string head = "\nSTACKLE MODULE \"" + prog + "\"  VERSION = 8.05\n\nUSAGE:  " + prog +
                       " -di DATA_FILES.list -do RESULT.fits \n";
    ASSERT_EQ(r.out.substr(0, head.size()), head);
    auto lines = lines_of(r.out.substr(head.size()));
    ASSERT_EQ(lines.size(), 54u);
    EXPECT_EQ(lines[1], pad("========== INPUT FILES ==========", 67));
    EXPECT_EQ(lines[16], "                             DEFAULT: \"kestack_wt.txt\" ");
    EXPECT_EQ(lines[35],
              pad("                             points than this value.  DEFAULT=3  ", 67));
    EXPECT_EQ(lines[38],
              pad("                             DEFAULT=0.2  (0 => DO NO TRIMMING)  ", 67));
    int unpadded = 0;
    for (auto& l : lines)
        unpadded += l.size() != 67;
    EXPECT_EQ(unpadded, 1);
    EXPECT_FALSE(has(r.out, "BEGUN"));
}

TEST_F(StackleSettings, HelpPrintsTheSampleNamelistAfterTheBanner) {
    for (const char* sw : {"-HELP", "-Help", "-help"}) {
        auto r = run({sw});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(has(r.out, "BEGUN.\n===>     Processed at: "));
        EXPECT_TRUE(
            has(r.out, "\n" + pad("    STK_ls = 1", 40) + pad("LISTS_IN_NLFILE", 24) + "\n"));
        EXPECT_TRUE(
            has(r.out, "\n" + pad("              -ag 5  -h1 1  -wt 1  -cb 2.5  -ct 3.5", 64)));
        EXPECT_TRUE(
            has(r.out,
                "\n" + pad("&COADD_PMASK  - - - - - - - - - - - - - - - - - - - - - - - - - ", 64) +
                    "\n" + pad("  p1.fits", 64) + "\n"));
        EXPECT_EQ(testkit::count_of(r.out, "\n" + pad("&END", 64) + "\n"), 5);
    }
}

TEST_F(StackleSettings, UnknownSwitchAndStrayParameterKeepTheirPositions) {
    auto r = run({"-x", "5", "-do", "o.fits"});
    EXPECT_TRUE(has(r.out, "\nWARNING: Unknown switch 1: \"-x\" IGNORED.\n\n"));
    EXPECT_TRUE(has(r.out, "\a\n*** NOTE:  Unexpected parameter #2: \"5\" IGNORED.\n\n"));
    EXPECT_TRUE(has(r.out, error_line("no input FITS data file list specified (-di)")));
    EXPECT_EQ(r.status, 64);
}

TEST_F(StackleSettings, NumericScanErrorNamesTheSwitch) {
    auto r = run({"-V", "-ag", "abc"});
    EXPECT_TRUE(has(r.out, "\aERROR in processing command line at argument #2: \"-ag\"\n"));
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(run({"-do"}).status, 64);
}

TEST_F(StackleSettings, WeightingNeedsAnFmask) {
    auto r = run({"-di", "d.list", "-do", "o.fits", "-wt", "1"});
    EXPECT_TRUE(
        has(r.out, "\aERROR:  Cannot set -wt to 1 without specifying an FMASK file with -fm\n"));
    EXPECT_EQ(r.status, 64);
}

TEST_F(StackleSettings, MissingOutputIsRefused) {
    auto r = run({"-di", "d.list"});
    EXPECT_TRUE(has(r.out, error_line("no output FITS data file specified (-do)")));
    EXPECT_EQ(r.status, 64);
}

TEST_F(StackleSettings, CommandLineOverridesNamelistAndBothKeyFormsWork) {
    text("nl", "&STACKLE\n  STK_cf = 0.25\n  XYZ_di = 'absent.list',\n"
               "  data_out_file=\"o.fits\"\n  STK_ag\n&END\n");
    auto r = run({"-n", "nl", "-cf", "0.3", "-V", "-wt", "256"});
    EXPECT_TRUE(has(r.out, "  (-cf)  cut_frac        = 0.3\n"));
    EXPECT_TRUE(has(r.out, "  (-di)  data_in_lfile   = \"absent.list\"\n"));
    EXPECT_TRUE(has(r.out, "  (-do)  data_out_file   = \"o.fits\"\n"));
    EXPECT_TRUE(has(r.out, "  (-wt)  use_weights     = NO\n"));
    EXPECT_TRUE(has(r.out, "         namelist        = \"nl\"\n"));
    EXPECT_TRUE(has(r.out, "  (-bp)  bpass             NOT DEFINED. \n"));
    EXPECT_TRUE(has(r.out, "CAUTION: Malformed line in NAMELIST IGNORED: \"  STK_ag\n\"\n"));
    EXPECT_TRUE(has(
        r.out, "\aERROR opening FILELIST file: \"absent.list\" in routine count_filenames()\n"));
    EXPECT_EQ(r.status, 64);
}

TEST_F(StackleSettings, NamelistCautions) {
    text("nostart", "STK_do = o.fits\n");
    auto r = run({"-n", "nostart", "-di", "absent.list"});
    EXPECT_TRUE(has(r.out, "CAUTION: MISTAKE IN NAMELIST, nostart -- \"&STACKLE\" not found.\n"
                           "         IGNORING NAMELIST. \n\n"));
    EXPECT_TRUE(has(r.out, error_line("no output FITS data file specified (-do)")));
    text("noend", "&STACKLE\n STK_do = o.fits\n");
    r = run({"-n", "noend", "-di", "absent.list"});
    EXPECT_TRUE(has(r.out, "CAUTION: MISTAKE IN NAMELIST, noend -- \"&END\" not found.\n"
                           "         IGNORING LACK OF \"&END\". \n\n"));
    EXPECT_TRUE(has(r.out, "in routine count_filenames()")); // o.fits was kept
}

TEST_F(StackleSettings, NamelistThatCannotBeRead) {
    std::string expect = "\aERROR opening NAMELIST file: \"%\" in routine process_namelist()\n";
    for (std::string name : {"absent", "."}) {
        auto r = run({"-n", name, "-di", "d", "-do", "o"});
        std::string msg = expect;
        msg.replace(msg.find('%'), 1, name);
        EXPECT_TRUE(has(r.out, msg)) << r.out;
        EXPECT_EQ(r.status, 64);
    }
    text("empty", "");
    text("junk", std::string("\x7f\x45\x4c\x46\x02\x01\x00\x00\xff\xfe\n\x01", 12));
    auto empty = run({"-n", "empty", "-di", "absent.list", "-do", "o"});
    EXPECT_FALSE(has(empty.out, "CAUTION"));
    EXPECT_TRUE(has(empty.out, "in routine count_filenames()"));
    auto junk = run({"-n", "junk", "-di", "absent.list", "-do", "o"});
    EXPECT_TRUE(has(junk.out, "\"&STACKLE\" not found."));
    EXPECT_EQ(junk.status, 64);
}

TEST_F(StackleSettings, ListsThatCannotBeRead) {
    text("empty.list", "\n# nothing\n");
    auto r = run({"-di", "empty.list", "-do", "o.fits"});
    EXPECT_TRUE(has(r.out, "\aERROR:  No data filenames found in : \"empty.list\""
                           "Failure after routine count_filenames(), in stackle\n"));
    EXPECT_EQ(r.status, 64);
    r = run({"-di", ".", "-do", "o.fits"});
    EXPECT_TRUE(has(r.out, "\aERROR opening FILELIST file: \".\" in routine count_filenames()\n"));
    EXPECT_EQ(r.status, 64);
    text("junk.list", std::string("\x01\xff\x00\x02\n\x80", 6));
    EXPECT_EQ(run({"-di", "junk.list", "-do", "o.fits"}).status, 64);
}

TEST_F(StackleSettings, NamesLongerThan255AreRefused) {
    std::string name(256, 'n');
    text("long.list", name + "\n");
    EXPECT_EQ(run({"-di", "long.list", "-do", "o.fits"}).status, 64);
    EXPECT_EQ(run({"-di", "d.list", "-do", name}).status, 64);
    text("nl", "&STACKLE\n STK_do = " + name + "\n&END\n");
    auto r = run({"-n", "nl", "-di", "d.list"});
    EXPECT_TRUE(
        has(r.out, "\aERROR in processing namelist file: PARAM=<STK_DO> VAL=<" + name + ">\n"));
    EXPECT_EQ(r.status, 64);
}

TEST_F(StackleSettings, NumbersLongerThan255AreRefusedLikeNames) {
    // 400 nines would scan as infinity; the value is refused before it is scanned.
    std::string nines(400, '9');
    frame("a.fits", 1.0f);
    text("d.list", "a.fits\n");
    text("nl", "&STACKLE\n STK_cf = " + nines + "\n&END\n");
    auto r = run({"-n", "nl", "-di", "d.list", "-do", "o.fits"});
    EXPECT_TRUE(
        has(r.out, "\aERROR in processing namelist file: PARAM=<STK_CF> VAL=<" + nines + ">\n"));
    EXPECT_EQ(r.status, 64);
    EXPECT_FALSE(testkit::file_exists(dir.file("o.fits")));
    // 255 characters are still a number: a point, 253 zeros and a 1.
    text("nl", "&STACKLE\n STK_cf = ." + std::string(253, '0') + "1\n&END\n");
    EXPECT_EQ(run({"-n", "nl", "-di", "d.list", "-do", "o.fits"}).status, 0);
}

TEST_F(StackleSettings, NulBytesInNamesAndValuesAreRefused) {
    frame("a.fits", 1.0f);
    text("d.list", "a.fits\n");
    // The value would otherwise be cut to "out" at the NUL.
    const char namelist[] = "&STACKLE\n STK_do = out\0x.fits\n&END\n";
    text("nl", std::string(namelist, sizeof namelist - 1));
    auto r = run({"-n", "nl", "-di", "d.list"});
    EXPECT_TRUE(has(r.out, "\aERROR in processing namelist file: PARAM=<STK_DO> VAL=<out>\n"));
    EXPECT_EQ(r.status, 64);
    EXPECT_FALSE(testkit::file_exists(dir.file("out")));
    // A list line starting with a NUL would otherwise be an empty file name.
    const char list[] = "a.fits\n\0b.fits\n";
    text("nul.list", std::string(list, sizeof list - 1));
    r = run({"-di", "nul.list", "-do", "o.fits"});
    EXPECT_TRUE(has(r.out, "\aERROR in FILELIST file: \"nul.list\" in routine count_filenames(): "
                           "a filename holds a NUL byte\n"));
    EXPECT_EQ(r.status, 64);
    EXPECT_FALSE(testkit::file_exists(dir.file("o.fits")));
}

TEST_F(StackleSettings, ListFileWithCommentsAndEndThenCountWarning) {
    frame("a.fits", 2.0f);
    frame("b.fits", 4.0f);
    frame("s.fits", 3.0f);
    text("d.list", "# old.fits\n\n a.fits\nb.fits trailing words\n&END\nc.fits\n");
    text("s.list", "s.fits\ns.fits\ns.fits\n");
    auto r = run({"-di", "d.list", "-si", "s.list", "-do", "o.fits", "-so", "u.fits", "-D"});
    EXPECT_TRUE(has(r.out, "Counted 2 files; First filename = \"a.fits\"\n"));
    EXPECT_TRUE(has(r.out, "\aWARNING:  FILELIST s.list has 3 filenames, but should have 2\n"));
    EXPECT_TRUE(has(r.out, "\nNOTE: The sdev files are not used when calculating flux.\n"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(dir.file("o.fits")).pixels.at(0), 3.0);
    // sqrt(3^2 + 3^2) / 2
    EXPECT_FLOAT_EQ(testkit::read_image(dir.file("u.fits")).fpixels.at(0), 2.1213203f);
}

TEST_F(StackleSettings, NamelistSectionsInAnyCaseAndACompleteRun) {
    for (int i = 0; i < 5; ++i)
        frame("d" + std::to_string(i) + ".fits", i < 4 ? static_cast<float>(i + 1) : 100.0f);
    text("nl", "&STACKLE\n STK_do = o.fits\n&END\n&coadd_data\n d0.fits\n d1.fits\n d2.fits\n"
               " d3.fits\n d4.fits\n&end\n&Coadd_Bmask\n b.fits\n&END\n");
    auto r = run({"-n", "nl", "-ls", "-V"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(
        r.out, "\n             DATA               SDEV              BMASK              PMASK \n"));
    EXPECT_TRUE(has(
        r.out, "           d4.fits               ---                ---                --- \n"));
    EXPECT_TRUE(has(r.out, "Output weights list written: kestack_wt.txt \n"));
    EXPECT_TRUE(has(r.out, "COMPLETED.\n===>     Processing COMPLETED at: "));
    EXPECT_EQ(r.err, "\n   <<<<< END OF " + prog + " PROGRAM >>>>> \n\n");
    EXPECT_EQ(testkit::read_image(dir.file("o.fits")).pixels.at(0), 2.5); // 100 trimmed
    EXPECT_TRUE(testkit::file_exists(dir.file("kestack_wt.txt")));
}

TEST_F(StackleSettings, MissingDataSectionInNamelistMode) {
    text("nl", "&STACKLE\n STK_do = o.fits\n&END\n");
    auto r = run({"-n", "nl", "-ls"});
    EXPECT_TRUE(has(r.out, "CAUTION: MISKAKE IN NAMELIST, nl -- \"&COADD_DATA\" not found.\n"));
    EXPECT_TRUE(has(r.out, "No data filenames found in : \"nl\""));
    EXPECT_EQ(r.status, 64);
}

TEST_F(StackleSettings, ProductThatCannotBeCreatedEndsWith64) {
    frame("a.fits", 2.0f);
    text("d.list", "a.fits\n");
    auto r = run({"-di", "d.list", "-do", "no/such/dir/o.fits"});
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(testkit::file_exists(dir.file("kestack_wt.txt")));
    EXPECT_FALSE(has(r.out, "COMPLETED."));
}
