// The installed stackle: usage and help texts, command-line and namelist
// handling, file lists and their faults, and the spine of a complete run.
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

using testkit::Keyword;
using Strings = std::vector<std::string>;

std::string pad(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

bool has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// One run: the files written first, the arguments, the texts expected in and absent from the
// output, the status, and a file the run must have made.
struct Case {
    using Files = std::vector<std::pair<std::string, std::string>>;
    Case(Files f, std::string a, Strings w, Strings no = {}, int st = 64, std::string m = "")
        : files(std::move(f)), args(std::move(a)), want(std::move(w)), absent(std::move(no)),
          status(st), made(std::move(m)) {}
    Files files;
    std::string args; // split at blanks
    Strings want, absent;
    int status;
    std::string made;
};

struct StackleSettings : testing::Test {
    std::unique_ptr<testkit::TempDir> dir{new testkit::TempDir};
    std::string prog = testkit::installed_program("stackle");

    testkit::RunResult run(const Strings& args) {
        testkit::RunOptions opts;
        opts.cwd = dir->path();
        testkit::RunResult r = testkit::run(prog, args, opts);
        EXPECT_FALSE(r.signaled) << r.out;
        return r;
    }
    void text(const std::string& name, const std::string& body) {
        testkit::write_text(dir->file(name), body);
    }
    // A 1 x 1 frame with FOVID 3.
    void frame(const std::string& name, float value) {
        testkit::write_float_image(dir->file(name), {1, 1}, {value},
                                   {Keyword::integer("FOVID", 3)});
    }
    std::string error_line(const std::string& reason) {
        return "\aERROR in program " + prog + ":  " + reason + ".\n\n";
    }
    // Runs `c` in a fresh folder holding a.fits (value 2) and d.list naming it; a failed run
    // must leave no co-added image behind.
    void check(const Case& c) {
        dir.reset(new testkit::TempDir);
        frame("a.fits", 2.0f);
        text("d.list", "a.fits\n");
        for (const auto& f : c.files)
            text(f.first, f.second);
        Strings args;
        std::istringstream words(c.args);
        for (std::string w; words >> w;)
            args.push_back(w);
        auto r = run(args);
        const std::string& call = c.args;
        EXPECT_EQ(r.status, c.status) << call << r.out;
        for (const auto& w : c.want)
            EXPECT_TRUE(has(r.out, w)) << call << " lacks " << w << "\n" << r.out;
        for (const auto& a : c.absent)
            EXPECT_FALSE(has(r.out, a)) << call << " has " << a << "\n" << r.out;
        for (const char* name : {"o.fits", "out", "kestack_wt.txt"}) {
            EXPECT_TRUE(c.status == 0 || !testkit::file_exists(dir->file(name))) << call;
        }
        EXPECT_TRUE(c.made.empty() || testkit::file_exists(dir->file(c.made))) << call;
    }
};

} // namespace

TEST_F(StackleSettings, NoArgumentsPrintsOnlyTheUsage) {
    auto r = run({});
    EXPECT_EQ(r.status, 0);
    std::string head = "\nSTACKLE MODULE \"" + prog + "\"  VERSION = 8.05\n\nUSAGE:  " + prog +
                       " -di DATA_FILES.list -do RESULT.fits \n";
    ASSERT_EQ(r.out.substr(0, head.size()), head);
    Strings lines;
    for (size_t at = head.size(), nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(r.out.substr(at, nl - at));
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
        EXPECT_TRUE(has(r.out, "\n" +
                                   pad("&COADD_PMASK  - - - - - - - - - - - - - - - - - - - - - - "
                                       "- - - ",
                                       64) +
                                   "\n" + pad("  p1.fits", 64) + "\n"));
        EXPECT_EQ(testkit::count_of(r.out, "\n" + pad("&END", 64) + "\n"), 5);
    }
}

TEST_F(StackleSettings, SettingsAndListFaults) {
    const std::string long_name(256, 'n'), nines(400, '9');
    const std::string no_di = error_line("no input FITS data file list specified (-di)");
    const std::string no_do = error_line("no output FITS data file specified (-do)");
    const std::string no_list = "in routine count_filenames()";
    const std::string bad_nl = "\aERROR opening NAMELIST file: \"";
    const std::string nl_value = "\aERROR in processing namelist file: PARAM=<";
    const char nul_value[] = "&STACKLE\n STK_do = out\0x.fits\n&END\n";
    const char nul_list[] = "a.fits\n\0b.fits\n";
    // clang-format off
    const std::vector<Case> cases = {
        // Unknown switches and stray parameters keep their positions; missing settings.
        {{}, "-x 5 -do o.fits", {"\nWARNING: Unknown switch 1: \"-x\" IGNORED.\n\n",
                                  "\a\n*** NOTE:  Unexpected parameter #2: \"5\" IGNORED.\n\n", no_di}},
        {{}, "-V -ag abc", {"\aERROR in processing command line at argument #2: \"-ag\"\n"}},
        {{}, "-do", {}},
        {{}, "-di d.list -do o.fits -wt 1",
         {"\aERROR:  Cannot set -wt to 1 without specifying an FMASK file with -fm\n"}},
        {{}, "-di d.list", {no_do}},
        // The command line wins over the namelist; both key forms; quotes, commas and '='.
        {{{"nl", "&STACKLE\n  STK_cf = 0.25\n  XYZ_di = 'absent.list',\n"
                 "  data_out_file=\"o.fits\"\n  STK_ag\n&END\n"}}, "-n nl -cf 0.3 -V -wt 256",
         {"  (-cf)  cut_frac        = 0.3\n", "  (-di)  data_in_lfile   = \"absent.list\"\n",
          "  (-do)  data_out_file   = \"o.fits\"\n", "  (-wt)  use_weights     = NO\n",
          "         namelist        = \"nl\"\n", "  (-bp)  bpass             NOT DEFINED. \n",
          "CAUTION: Malformed line in NAMELIST IGNORED: \"  STK_ag\n\"\n",
          "\aERROR opening FILELIST file: \"absent.list\" " + no_list + "\n"}},
        // Without &STACKLE the namelist is ignored, without &END it is kept (o.fits stays set).
        {{{"nl", "STK_do = o.fits\n"}}, "-n nl -di absent.list",
         {"CAUTION: MISTAKE IN NAMELIST, nl -- \"&STACKLE\" not found.\n         IGNORING NAMELIST. \n\n", no_do}},
        {{{"nl", "&STACKLE\n STK_do = o.fits\n"}}, "-n nl -di absent.list",
         {"CAUTION: MISTAKE IN NAMELIST, nl -- \"&END\" not found.\n         IGNORING LACK OF \"&END\". \n\n", no_list}},
        {{{"nl", "&STACKLE\n STK_do = o.fits\n&END\n"}}, "-n nl -ls",
         {"CAUTION: MISKAKE IN NAMELIST, nl -- \"&COADD_DATA\" not found.\n", "No data filenames found in : \"nl\""}},
        // Namelists that cannot be read, are empty or hold binary junk.
        {{}, "-n absent -di d -do o", {bad_nl + "absent\" in routine process_namelist()\n"}},
        {{}, "-n . -di d -do o", {bad_nl + ".\" in routine process_namelist()\n"}},
        {{{"nl", ""}}, "-n nl -di absent.list -do o", {no_list}, {"CAUTION"}},
        {{{"nl", std::string("\x7f\x45\x4c\x46\x02\x01\x00\x00\xff\xfe\n\x01", 12)}},
         "-n nl -di absent.list -do o", {"\"&STACKLE\" not found."}},
        // Lists that are empty, a folder, or binary junk.
        {{{"e.list", "\n# nothing\n"}}, "-di e.list -do o.fits",
         {"\aERROR:  No data filenames found in : \"e.list\"Failure after routine count_filenames(), in stackle\n"}},
        {{}, "-di . -do o.fits", {"\aERROR opening FILELIST file: \".\" " + no_list + "\n"}},
        {{{"j.list", std::string("\x01\xff\x00\x02\n\x80", 6)}}, "-di j.list -do o.fits", {}},
        // Names and values over 255 characters, and NUL bytes, are refused, never cut.
        {{{"l.list", long_name + "\n"}}, "-di l.list -do o.fits", {}},
        {{}, "-di d.list -do " + long_name, {}},
        {{{"nl", "&STACKLE\n STK_do = " + long_name + "\n&END\n"}}, "-n nl -di d.list",
         {nl_value + "STK_DO> VAL=<" + long_name + ">\n"}},
        // 400 nines would scan as infinity; 255 characters are still a number.
        {{{"nl", "&STACKLE\n STK_cf = " + nines + "\n&END\n"}}, "-n nl -di d.list -do o.fits",
         {nl_value + "STK_CF> VAL=<" + nines + ">\n"}},
        {{{"nl", "&STACKLE\n STK_cf = ." + std::string(253, '0') + "1\n&END\n"}}, "-n nl -di d.list -do o.fits",
         {}, {}, 0, "o.fits"},
        {{{"nl", std::string(nul_value, sizeof nul_value - 1)}}, "-n nl -di d.list", {nl_value + "STK_DO> VAL=<out>\n"}},
        {{{"n.list", std::string(nul_list, sizeof nul_list - 1)}}, "-di n.list -do o.fits",
         {"\aERROR in FILELIST file: \"n.list\" " + no_list + ": a filename holds a NUL byte\n"}},
        // A product that cannot be created ends the run with no product written.
        {{}, "-di d.list -do no/such/dir/o.fits",
         {"\aERROR: Attempt to create FITS file no/such/dir/o.fits FAILED"}, {"COMPLETED."}},
    };
    // clang-format on
    for (const Case& c : cases)
        check(c);
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
    EXPECT_EQ(testkit::read_image(dir->file("o.fits")).pixels.at(0), 3.0);
    // sqrt(3^2 + 3^2) / 2
    EXPECT_FLOAT_EQ(testkit::read_image(dir->file("u.fits")).fpixels.at(0), 2.1213203f);
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
    EXPECT_EQ(testkit::read_image(dir->file("o.fits")).pixels.at(0), 2.5); // 100 trimmed
    EXPECT_TRUE(testkit::file_exists(dir->file("kestack_wt.txt")));
}
