// The installed stackle on small hand-made stacks: trimming, NaN and infinite inputs, a single
// frame, and the products (images, comment block, weights list, first-file headers).  Refused
// inputs (pixel types, shapes, FOVID, sizes, memory) are cases of e2e_hostile_test.cpp.
#include <cmath>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include "fits_test_support.h"
#include "testkit.h"

namespace {

using testkit::Keyword;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

bool has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

struct Coadd : testing::Test {
    testkit::TempDir dir;
    std::string prog = testkit::installed_program("stackle");

    // Writes frames d0.fits, d1.fits, ... of w x h pixels with FOVID 27, and data.list.
    void stack(long w, long h, const std::vector<std::vector<float>>& frames) {
        std::string list;
        for (size_t i = 0; i < frames.size(); ++i) {
            const std::string name = "d" + std::to_string(i) + ".fits";
            testkit::write_float_image(dir.file(name), {w, h}, frames[i],
                                       {Keyword::integer("FOVID", 27)});
            list += name + "\n";
        }
        testkit::write_text(dir.file("data.list"), list);
    }
    // Runs stackle on data.list into `out`, with further arguments; expects status 0.
    testkit::RunResult run(const std::vector<std::string>& extra = {},
                           const std::string& out = "out.fits") {
        std::vector<std::string> args = {"-di", "data.list", "-do", out};
        args.insert(args.end(), extra.begin(), extra.end());
        testkit::RunOptions opts;
        opts.cwd = dir.path();
        testkit::RunResult r = testkit::run(prog, args, opts);
        EXPECT_FALSE(r.signaled) << r.out;
        EXPECT_EQ(r.status, 0) << r.out;
        return r;
    }
    testkit::Image image(const std::string& name = "out.fits") {
        return testkit::read_image(dir.file(name));
    }
    void expect_verified(const std::string& name) {
        testkit::RunResult v = testkit::run("/usr/bin/fitsverify", {"-q", dir.file(name)});
        EXPECT_EQ(v.status, 0) << v.out;
        EXPECT_TRUE(has(v.out, "verification OK")) << v.out;
    }
};

TEST_F(Coadd, TrimmingRemovesTheOutlierOncePerPixel) {
    // Columns per pixel over five frames: (1, 2, 3, 4, 100), five 10s, (0, 5, 5, 5, 10).
    // cut_frac 0.2 of 5 values allows one removal.  Pixel 0: median 3, MAD 1, 97 >= 5 so 100
    // goes: mean of 1..4 = 2.5.  Pixel 1: all deviations 0, one 10 goes: 10.  Pixel 2: median
    // 5, MAD 0, deviations of 0 and 10 tie at 5, the earlier (0) goes: (5+5+5+10)/4 = 6.25.
    // With cut multiple 100, 97 < 100 x MAD 1 keeps pixel 0 whole: 110 / 5 = 22; pixels 1 and
    // 2 have MAD 0, so the threshold is 0 and one value still goes.  cut_frac 0: plain means.
    // At least 4 good values remain everywhere, not fewer than 3: no AMASK bit.
    stack(3, 1, {{1, 10, 0}, {2, 10, 5}, {3, 10, 5}, {4, 10, 5}, {100, 10, 10}});
    const struct {
        std::vector<std::string> args;
        std::vector<float> means;
    } cases[] = {{{}, {2.5f, 10.0f, 6.25f}},
                 {{"-cm", "100"}, {22.0f, 10.0f, 6.25f}},
                 {{"-cf", "0"}, {22.0f, 10.0f, 5.0f}}};
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-am", "am.fits"});
        run(args);
        EXPECT_EQ(image().fpixels, c.means) << testing::PrintToString(c.args);
        EXPECT_EQ(image("am.fits").pixels, (std::vector<double>{0, 0, 0}));
    }
}

TEST_F(Coadd, NaNAndInfiniteInputs) {
    // Pixel 0 NaN everywhere: NaN results and AMASK 0x3000.  Pixel 1 has two good values:
    // mean 2, fewer than 3 so 0x1000.  Pixel 2 holds an infinity, which is data: the mean is
    // infinite.  Without an sdev list the uncertainty is 0 where a value exists.
    stack(3, 1, {{kNaN, 1, kInf}, {kNaN, kNaN, 1}, {kNaN, 3, 2}});
    run({"-so", "sd.fits", "-am", "am.fits"});
    const std::vector<float> means = image().fpixels;
    const std::vector<float> sdevs = image("sd.fits").fpixels;
    EXPECT_TRUE(std::isnan(means[0]) && std::isnan(sdevs[0]));
    EXPECT_EQ(means[1], 2.0f);
    EXPECT_EQ(means[2], kInf);
    EXPECT_EQ(sdevs[1], 0.0f);
    EXPECT_EQ(sdevs[2], 0.0f);
    EXPECT_EQ(image("am.fits").pixels, (std::vector<double>{0x3000, 0x1000, 0}));
}

TEST_F(Coadd, SingleFrameIsCopiedAndReplacesAnEarlierResult) {
    const std::vector<float> px = {1.0f, -2.0f, kNaN, 4e10f};
    stack(2, 2, {px});
    testkit::write_float_image(dir.file("out.fits"), {5, 5}, std::vector<float>(25, 7.0f),
                               {Keyword::integer("OLDKEY", 1)});
    run();
    const testkit::Image img = image();
    EXPECT_EQ(img.naxes, (std::vector<long>{2, 2}));
    for (size_t i = 0; i < px.size(); ++i) {
        EXPECT_EQ(bits_of(img.fpixels[i]) & 0x7FFFFFFFu, bits_of(px[i]) & 0x7FFFFFFFu) << i;
    }
    std::string v;
    EXPECT_FALSE(testkit::read_keyword(dir.file("out.fits"), "OLDKEY", v));
    EXPECT_EQ(testkit::read_text(dir.file("kestack_wt.txt")), "         1.0000  d0.fits\n");
}

TEST_F(Coadd, WeightsListFormat) {
    stack(1, 1, {{1}, {2}});
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    testkit::write_float_image(dir.file("sub/x.fits"), {1, 1}, {3},
                               {Keyword::integer("FOVID", 27)});
    testkit::write_text(dir.file("data.list"), "d0.fits\n# a comment\nsub/x.fits\nd1.fits\n");
    run({"-wo", "w.txt"});
    EXPECT_EQ(testkit::read_text(dir.file("w.txt")), "         1.0000  d0.fits\n"
                                                     "         1.0000  sub/x.fits\n"
                                                     "         1.0000  d1.fits\n");
    EXPECT_FALSE(testkit::file_exists(dir.file("kestack_wt.txt")));
}

// Names of the files in the run's folder.
std::vector<std::string> names_in(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (const dirent* e = readdir(d)) {
            names.push_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

TEST_F(Coadd, ProductNamesTheFitsLibraryInterprets) {
    // Means of (1, 2) and (3, 4): (2, 3).  "[compress]" asks for a tile-compressed image in
    // q.fits (the image in the second HDU); "-" is standard output, after the banner lines.
    stack(2, 1, {{1, 2}, {3, 4}});
    run({}, "q.fits[compress]");
    EXPECT_EQ(testkit::read_image(dir.file("q.fits"), 2).fpixels, (std::vector<float>{2, 3}));
    const testkit::RunResult r = run({"-wo", "w.txt"}, "-");
    const size_t start = r.out.find("SIMPLE  =");
    ASSERT_NE(start, std::string::npos) << r.out;
    testkit::write_text(dir.file("from_stdout.fits"), r.out.substr(start));
    EXPECT_EQ(image("from_stdout.fits").fpixels, (std::vector<float>{2, 3}));
    EXPECT_TRUE(testkit::file_exists(dir.file("w.txt")));
    for (const std::string& name : names_in(dir.path())) {
        EXPECT_TRUE(name != "-" && name != "q.fits[compress]" && name.rfind(".part-", 0) != 0)
            << name;
    }
}

TEST_F(Coadd, CommentBlockInEveryImageProductAndFitsverifyFindsNoError) {
    stack(2, 1, {{1, 2}, {3, kNaN}, {5, 6}});
    run({"-so", "sd.fits", "-am", "am.fits", "-wo", "w.txt"});
    const std::string rule =
        "[STACKLE]===============================================================";
    const std::vector<std::string> want = {
        rule,
        "[STACKLE] MODULE " + prog,
        "[STACKLE] VERSION = 8.05",
        "(time)",
        "[STACKLE] OUTPUT FILE:    Data = out.fits",
        "[STACKLE] OUTPUT FILE:    Sdev = sd.fits",
        "[STACKLE] OUTPUT FILE: Weights = w.txt",
        "[STACKLE] OUTPUT FILE:   AMASK = am.fits",
        "[STACKLE] Output Data file is the result of coadding 3 FITS files",
        "[STACKLE] These FITS files had dimensions:  xdim=2 & ydim=1",
        "[STACKLE] DCE weighting was TURNED OFF",
        "[STACKLE] INPUT FILE: Data file list = data.list",
        "[STACKLE] Used NO FMASK file.",
        "[STACKLE] NOTE:  The output sdev FITS file is a quick approximation",
        "[STACKLE]        that is intended to be upgraded in a later release.",
        rule};
    const std::regex time("\\[STACKLE\\] Processed at [A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] "
                          "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
    for (const char* name : {"out.fits", "sd.fits", "am.fits"}) {
        std::vector<std::string> c = stackle_comments(image(name));
        ASSERT_EQ(c.size(), want.size()) << name;
        EXPECT_TRUE(std::regex_match(c[3], time)) << c[3];
        c[3] = "(time)";
        EXPECT_EQ(c, want) << name;
        expect_verified(name);
    }
}

TEST_F(Coadd, FirstFileHeadersPropagated) {
    // DOUBLE_IMG files, the first with a third axis of 1: the product keeps its keywords but is
    // a two-axis float image.
    testkit::write_image(dir.file("d0.fits"), -64, {2, 1, 1}, {1, 2},
                         {Keyword::integer("FOVID", 27), Keyword::text("OBJECT", "NGC 1")});
    testkit::write_image(dir.file("d1.fits"), -64, {2, 1}, {3, 4}, {Keyword::integer("FOVID", 27)});
    testkit::write_text(dir.file("data.list"), "d0.fits\nd1.fits\n");
    const testkit::RunResult r = run({"-h1", "-so", "sd.fits", "-V"});
    EXPECT_TRUE(has(r.out, "\nCAUTION: in file d0.fits BITPIX is -64, not -32 (FLOAT_IMG) -- "
                           "will continue anyway.\n\n"));
    EXPECT_EQ(testkit::count_of(r.out, "BITPIX is -64, not -32 (FLOAT_IMG) -- will continue "
                                       "anyway.\n\n"),
              2); // one caution per file
    EXPECT_TRUE(has(r.out, "Output    data file written: out.fits (with headers copied from "
                           "d0.fits)\n"));
    const testkit::Image img = image();
    EXPECT_EQ(img.bitpix, -32);
    EXPECT_EQ(img.naxes, (std::vector<long>{2, 1}));
    EXPECT_EQ(img.fpixels, (std::vector<float>{2.0f, 3.0f}));
    std::string v;
    ASSERT_TRUE(testkit::read_keyword(dir.file("out.fits"), "FOVID", v));
    EXPECT_EQ(v, "27");
    ASSERT_TRUE(testkit::read_keyword(dir.file("out.fits"), "OBJECT", v));
    EXPECT_EQ(v, "'NGC 1   '"); // FITS pads string values to 8 characters
    EXPECT_FALSE(testkit::read_keyword(dir.file("out.fits"), "NAXIS3", v));
    EXPECT_EQ(stackle_comments(img).size(), 15u); // no AMASK record
    // The uncertainty image never takes the first file's header.
    EXPECT_FALSE(testkit::read_keyword(dir.file("sd.fits"), "FOVID", v));
    expect_verified("out.fits");
    expect_verified("sd.fits");
}

} // namespace
