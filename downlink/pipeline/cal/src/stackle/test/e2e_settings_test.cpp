// The installed stackle: usage and help texts and the spine of a complete run (the faults of
// settings and lists are rows of the hostile-input table).
#include <string>
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

struct StackleSettings : testing::Test {
    testkit::TempDir dir;
    std::string prog = testkit::installed_program("stackle");

    testkit::RunResult run(const Strings& args) {
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
