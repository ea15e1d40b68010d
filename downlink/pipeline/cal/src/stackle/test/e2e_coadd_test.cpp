// The installed stackle on small hand-made stacks: trimming, NaN and infinite inputs, the
// checks on the input images, and the products (images, comment block, weights list).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

// Texts of the "[STACKLE]" COMMENT cards, trailing blanks removed.
std::vector<std::string> stackle_comments(const std::string& path) {
    std::vector<std::string> out;
    for (const std::string& card : testkit::read_image(path).cards) {
        if (card.compare(0, 17, "COMMENT [STACKLE]") == 0) {
            std::string text = card.substr(8);
            text.erase(text.find_last_not_of(' ') + 1);
            out.push_back(text);
        }
    }
    return out;
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
    // Runs stackle on data.list into out.fits, with further arguments.
    testkit::RunResult run(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"-di", "data.list", "-do", "out.fits"};
        args.insert(args.end(), extra.begin(), extra.end());
        testkit::RunOptions opts;
        opts.cwd = dir.path();
        testkit::RunResult r = testkit::run(prog, args, opts);
        EXPECT_FALSE(r.signaled) << r.out;
        return r;
    }
    std::vector<float> result(const std::string& name = "out.fits") {
        return testkit::read_image(dir.file(name)).fpixels;
    }
    void expect_verified(const std::string& name) {
        testkit::RunResult v = testkit::run("/usr/bin/fitsverify", {"-q", dir.file(name)});
        EXPECT_EQ(v.status, 0) << v.out;
        EXPECT_TRUE(has(v.out, "verification OK")) << v.out;
    }
};

// ------------------------------------------------------------------ trimming through a run

// Columns per pixel over five frames: (1, 2, 3, 4, 100), five 10s, (0, 5, 5, 5, 10).
const std::vector<std::vector<float>> kFive = {
    {1, 10, 0}, {2, 10, 5}, {3, 10, 5}, {4, 10, 5}, {100, 10, 10}};

TEST_F(Coadd, TrimmingRemovesTheOutlierOncePerPixel) {
    // cut_frac 0.2 of 5 values allows one removal.  Pixel 0: median 3, MAD 1, 97 >= 5 so 100
    // goes: mean of 1..4 = 2.5.  Pixel 1: all deviations 0, one 10 goes: 10.  Pixel 2: median
    // 5, MAD 0, deviations of 0 and 10 tie at 5, the earlier (0) goes: (5+5+5+10)/4 = 6.25.
    stack(3, 1, kFive);
    auto r = run({"-am", "am.fits"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(result(), (std::vector<float>{2.5f, 10.0f, 6.25f}));
    // Four good values at every pixel, not fewer than 3: no AMASK bit.
    EXPECT_EQ(testkit::read_image(dir.file("am.fits")).pixels, (std::vector<double>{0, 0, 0}));
}

TEST_F(Coadd, HighCutMultipleKeepsTheOutlierButNotTheTies) {
    // Pixel 0: 97 < 100 x MAD 1, nothing goes: 110 / 5 = 22.  Pixels 1 and 2 have MAD 0, so
    // the threshold is 0 and one value still goes.
    stack(3, 1, kFive);
    auto r = run({"-cm", "100"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(result(), (std::vector<float>{22.0f, 10.0f, 6.25f}));
}

TEST_F(Coadd, ZeroCutFractionIsThePlainMean) {
    stack(3, 1, kFive);
    auto r = run({"-cf", "0"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(result(), (std::vector<float>{22.0f, 10.0f, 5.0f}));
}

// ------------------------------------------------------------------ NaN, infinity, one frame

TEST_F(Coadd, NaNAndInfiniteInputs) {
    // Pixel 0 NaN everywhere: NaN results and AMASK 0x3000.  Pixel 1 has two good values:
    // mean 2, fewer than 3 so 0x1000.  Pixel 2 holds an infinity, which is data: the mean is
    // infinite.  Without an sdev list the uncertainty is 0 where a value exists.
    stack(3, 1, {{kNaN, 1, kInf}, {kNaN, kNaN, 1}, {kNaN, 3, 2}});
    auto r = run({"-so", "sd.fits", "-am", "am.fits"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<float> means = result();
    EXPECT_TRUE(std::isnan(means[0]));
    EXPECT_EQ(means[1], 2.0f);
    EXPECT_EQ(means[2], kInf);
    const std::vector<float> sdevs = result("sd.fits");
    EXPECT_TRUE(std::isnan(sdevs[0]));
    EXPECT_EQ(sdevs[1], 0.0f);
    EXPECT_EQ(sdevs[2], 0.0f);
    EXPECT_EQ(testkit::read_image(dir.file("am.fits")).pixels,
              (std::vector<double>{0x3000, 0x1000, 0}));
}

TEST_F(Coadd, SingleFrameIsCopiedAndReplacesAnEarlierResult) {
    const std::vector<float> px = {1.0f, -2.0f, kNaN, 4e10f};
    stack(2, 2, {px});
    testkit::write_float_image(dir.file("out.fits"), {5, 5}, std::vector<float>(25, 7.0f),
                               {Keyword::integer("OLDKEY", 1)});
    auto r = run();
    ASSERT_EQ(r.status, 0) << r.out;
    const testkit::Image img = testkit::read_image(dir.file("out.fits"));
    EXPECT_EQ(img.naxes, (std::vector<long>{2, 2}));
    for (size_t i = 0; i < px.size(); ++i) {
        EXPECT_EQ(bits_of(img.fpixels[i]) & 0x7FFFFFFFu, bits_of(px[i]) & 0x7FFFFFFFu) << i;
    }
    std::string v;
    EXPECT_FALSE(testkit::read_keyword(dir.file("out.fits"), "OLDKEY", v));
    EXPECT_EQ(testkit::read_text(dir.file("kestack_wt.txt")), "         1.0000  d0.fits\n");
}

// ------------------------------------------------------------------ input checks

TEST_F(Coadd, DoubleImageDataReadWithCaution) {
    testkit::write_image(dir.file("d0.fits"), -64, {1, 1}, {0.1}, {Keyword::integer("FOVID", 27)});
    testkit::write_image(dir.file("d1.fits"), -64, {1, 1}, {0.1}, {Keyword::integer("FOVID", 27)});
    testkit::write_text(dir.file("data.list"), "d0.fits\nd1.fits\n");
    auto r = run();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::count_of(r.out, "BITPIX is -64, not -32 (FLOAT_IMG) -- will continue "
                                       "anyway.\n\n"),
              2);
    EXPECT_TRUE(has(r.out, "\nCAUTION: in file d1.fits BITPIX is -64"));
    // Both values round to the float nearest 0.1; their mean is that float.
    EXPECT_EQ(bits_of(result()[0]), bits_of(0.1f));
}

TEST_F(Coadd, SixteenBitDataRefused) {
    testkit::write_short_image(dir.file("d0.fits"), {2, 1}, {1, 2},
                               {Keyword::integer("FOVID", 27)});
    testkit::write_text(dir.file("data.list"), "d0.fits\n");
    auto r = run();
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "\aERROR: In read_fits() the file d0.fits has incorrect BITPIX:\n"
                           "\aERROR: BITPIX is 16 but it should be -32 (FLOAT_IMG) "
                           "[-64 (DOUBLE_IMG) is also permitted]\n"))
        << r.out;
    EXPECT_FALSE(testkit::file_exists(dir.file("out.fits")));
    EXPECT_FALSE(testkit::file_exists(dir.file("kestack_wt.txt")));
}

TEST_F(Coadd, ThirdAxisOfOneAcceptedOfTwoRefused) {
    testkit::write_float_image(dir.file("d0.fits"), {2, 1, 1}, {1, 2},
                               {Keyword::integer("FOVID", 27)});
    testkit::write_float_image(dir.file("d1.fits"), {2, 1, 1}, {3, 4},
                               {Keyword::integer("FOVID", 27)});
    testkit::write_text(dir.file("data.list"), "d0.fits\nd1.fits\n");
    auto ok = run();
    ASSERT_EQ(ok.status, 0) << ok.out;
    EXPECT_EQ(result(), (std::vector<float>{2.0f, 3.0f}));
    EXPECT_EQ(testkit::read_image(dir.file("out.fits")).naxes, (std::vector<long>{2, 1}));

    testkit::write_float_image(dir.file("d1.fits"), {2, 1, 2}, {3, 4, 5, 6},
                               {Keyword::integer("FOVID", 27)});
    auto later = run();
    EXPECT_EQ(later.status, 64);
    EXPECT_TRUE(has(later.out, "\aERROR: dimensions don't match: file 4, but arrray 2 in "
                               "read_fits()\n"))
        << later.out;

    testkit::write_text(dir.file("data.list"), "d1.fits\nd0.fits\n");
    auto first = run();
    EXPECT_EQ(first.status, 64);
    EXPECT_TRUE(has(first.out, "\aERROR: more than two dimensions in file d1.fits "
                               "[read_fits_dims_2d()]\n       xdim=2, ydim=1, anaxes[2]=2, "
                               "npixels=4\n"))
        << first.out;
}

TEST_F(Coadd, FovidAdoptedFromFirstFileAndMismatchRefused) {
    stack(1, 1, {{1}, {3}});
    auto ok = run();
    ASSERT_EQ(ok.status, 0) << ok.out;
    EXPECT_EQ(result()[0], 2.0f);

    testkit::write_float_image(dir.file("d1.fits"), {1, 1}, {3}, {Keyword::integer("FOVID", 28)});
    auto bad = run();
    EXPECT_EQ(bad.status, 64);
    EXPECT_TRUE(has(bad.out, "\aERROR: FOVID=27 in first data file, but FOVID=28 in FITS file "
                             "d1.fits [in read_fits()]\n       All input data files MUST have "
                             "identical FOVID numbers\nreturned status=0\n"))
        << bad.out;

    testkit::write_float_image(dir.file("d1.fits"), {1, 1}, {3});
    auto missing = run();
    EXPECT_EQ(missing.status, 64);
    EXPECT_TRUE(has(missing.out, "\aERROR: Required keyword FOVID not found in FITS file d1.fits "
                                 "[in read_fits()]\n"));
}

TEST_F(Coadd, ImageTooLargeForMemoryEndsWithAllocationMessage) {
    testkit::write_text(dir.file("d0.fits"), huge_header());
    testkit::write_text(dir.file("data.list"), "d0.fits\n");
    // A sanitizer build of the program must report the failed allocation, not stop on it.
    const char* old = std::getenv("ASAN_OPTIONS");
    const std::string saved = old != nullptr ? old : "";
    setenv("ASAN_OPTIONS", (saved + ":allocator_may_return_null=1").c_str(), 1);
    auto r = run();
    setenv("ASAN_OPTIONS", saved.c_str(), 1);
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "\aERROR: Can't allocate required memory for float_image in "
                           "read_fits()\n"))
        << r.out;
}

TEST_F(Coadd, SizeMismatchNamesPlaneNumberOne) {
    stack(2, 2, {{1, 2, 3, 4}});
    testkit::write_float_image(dir.file("d1.fits"), {3, 2}, std::vector<float>(6, 1.0f),
                               {Keyword::integer("FOVID", 27)});
    testkit::write_text(dir.file("data.list"), "d0.fits\nd1.fits\n");
    auto r = run();
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "\aERROR in input data planes, in program " + prog +
                               "\n\aERROR:  Data plane number 1 is 3x2 but should be 2x2\n"))
        << r.out;
    EXPECT_FALSE(testkit::file_exists(dir.file("out.fits")));
}

// ------------------------------------------------------------------ products

TEST_F(Coadd, WeightsListFormat) {
    stack(1, 1, {{1}, {2}});
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    testkit::write_float_image(dir.file("sub/x.fits"), {1, 1}, {3},
                               {Keyword::integer("FOVID", 27)});
    testkit::write_text(dir.file("data.list"), "d0.fits\n# a comment\nsub/x.fits\nd1.fits\n");
    auto r = run({"-wo", "w.txt"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_text(dir.file("w.txt")), "         1.0000  d0.fits\n"
                                                     "         1.0000  sub/x.fits\n"
                                                     "         1.0000  d1.fits\n");
    EXPECT_FALSE(testkit::file_exists(dir.file("kestack_wt.txt")));
}

TEST_F(Coadd, CommentBlockInEveryImageProduct) {
    stack(2, 1, {{1, 2}, {3, 4}, {5, 6}});
    auto r = run({"-so", "sd.fits", "-am", "am.fits", "-wo", "w.txt"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> want = {
        "[STACKLE] MODULE " + prog,
        "[STACKLE] VERSION = 8.05",
        "",
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
        "[STACKLE]        that is intended to be upgraded in a later release."};
    const std::string rule =
        "[STACKLE]===============================================================";
    for (const char* name : {"out.fits", "sd.fits", "am.fits"}) {
        std::vector<std::string> c = stackle_comments(dir.file(name));
        ASSERT_EQ(c.size(), want.size() + 2) << name;
        EXPECT_EQ(c.front(), rule);
        EXPECT_EQ(c.back(), rule);
        EXPECT_EQ(c[3].substr(0, 23), "[STACKLE] Processed at ");
        EXPECT_EQ(c[3].size(), 23u + 24u) << c[3];
        c[3] = "";
        EXPECT_EQ(std::vector<std::string>(c.begin() + 1, c.end() - 1), want) << name;
    }
}

TEST_F(Coadd, FirstFileHeadersPropagated) {
    testkit::write_image(dir.file("d0.fits"), -64, {2, 1}, {1, 2},
                         {Keyword::integer("FOVID", 27), Keyword::text("OBJECT", "NGC 1")});
    testkit::write_float_image(dir.file("d1.fits"), {2, 1}, {3, 4},
                               {Keyword::integer("FOVID", 27)});
    testkit::write_text(dir.file("data.list"), "d0.fits\nd1.fits\n");
    auto r = run({"-h1", "-so", "sd.fits", "-V"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "Output    data file written: out.fits (with headers copied from "
                           "d0.fits)\n"));
    const testkit::Image img = testkit::read_image(dir.file("out.fits"));
    EXPECT_EQ(img.bitpix, -32);
    EXPECT_EQ(img.naxes, (std::vector<long>{2, 1}));
    EXPECT_EQ(img.fpixels, (std::vector<float>{2.0f, 3.0f}));
    std::string v;
    ASSERT_TRUE(testkit::read_keyword(dir.file("out.fits"), "FOVID", v));
    EXPECT_EQ(v, "27");
    EXPECT_TRUE(testkit::read_keyword(dir.file("out.fits"), "OBJECT", v));
    EXPECT_EQ(stackle_comments(dir.file("out.fits")).size(), 15u); // no AMASK record
    // The uncertainty image never takes the first file's header.
    EXPECT_FALSE(testkit::read_keyword(dir.file("sd.fits"), "FOVID", v));
    EXPECT_FALSE(testkit::read_keyword(dir.file("out.fits"), "NAXIS3", v));
    expect_verified("out.fits");
    expect_verified("sd.fits");
}

TEST_F(Coadd, ProductsPassFitsverify) {
    stack(3, 2, {{1, 2, 3, 4, 5, 6}, {2, 3, kNaN, 5, 6, 7}, {3, 4, kNaN, 6, 7, 80}});
    auto r = run({"-so", "sd.fits", "-am", "am.fits"});
    ASSERT_EQ(r.status, 0) << r.out;
    expect_verified("out.fits");
    expect_verified("sd.fits");
    expect_verified("am.fits");
}

TEST_F(Coadd, ProductThatCannotBeCreatedFailsTheRunAfterTheOthers) {
    stack(1, 1, {{1}, {3}});
    auto r = run({"-so", "nowhere/sd.fits", "-am", "am.fits"});
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "\aERROR: Attempt to create FITS file nowhere/sd.fits FAILED in "
                           "write_flt_fits().\n"))
        << r.out;
    EXPECT_FALSE(testkit::file_exists(dir.file("nowhere/sd.fits")));
    EXPECT_EQ(result()[0], 2.0f);
    EXPECT_TRUE(testkit::file_exists(dir.file("am.fits")));
    EXPECT_EQ(testkit::read_text(dir.file("kestack_wt.txt")),
              "         1.0000  d0.fits\n         1.0000  d1.fits\n");
}

} // namespace
