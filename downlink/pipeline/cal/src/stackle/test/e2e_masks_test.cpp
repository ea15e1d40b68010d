// The installed stackle with BMASK, PMASK and FMASK inputs on small hand-made stacks: which
// pixels the masks remove, the FOV chosen for weighting, the DCE weights with their reports
// and cautions, the AMASK bits, and the failures of the FOV selection and the FMASK.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

using testkit::Keyword;

bool has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

struct Masks : testing::Test {
    testkit::TempDir dir;
    std::string prog = testkit::installed_program("stackle");

    // Frames d0.fits, d1.fits, ... of w x h pixels carrying FOVID `fovid`, and data.list.
    void frames(long w, long h, const std::vector<std::vector<float>>& planes, int fovid = 27) {
        std::string list;
        for (size_t i = 0; i < planes.size(); ++i) {
            const std::string name = "d" + std::to_string(i) + ".fits";
            testkit::write_float_image(dir.file(name), {w, h}, planes[i],
                                       {Keyword::integer("FOVID", fovid)});
            list += name + "\n";
        }
        testkit::write_text(dir.file("data.list"), list);
    }
    // Mask files <prefix>0.fits, ... and their list <prefix>.list.
    void masks(const std::string& prefix, long w, long h,
               const std::vector<std::vector<int16_t>>& planes) {
        std::string list;
        for (size_t i = 0; i < planes.size(); ++i) {
            const std::string name = prefix + std::to_string(i) + ".fits";
            testkit::write_short_image(dir.file(name), {w, h}, planes[i]);
            list += name + "\n";
        }
        testkit::write_text(dir.file(prefix + ".list"), list);
    }
    // fmask.fits: FOV 26 is bit 1 and FOV 27 bit 2 unless other lists are given.
    void fmask(long w, long h, const std::vector<int16_t>& px,
               const std::string& fovlist = "[26,27]", const std::string& bitlist = "[1,2]") {
        testkit::write_short_image(
            dir.file("fmask.fits"), {w, h}, px,
            {Keyword::text("FOVLIST", fovlist), Keyword::text("BITLIST", bitlist)});
    }
    testkit::RunResult run(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"-di", "data.list", "-do", "out.fits"};
        args.insert(args.end(), extra.begin(), extra.end());
        testkit::RunOptions opts;
        opts.cwd = dir.path();
        testkit::RunResult r = testkit::run(prog, args, opts);
        EXPECT_FALSE(r.signaled) << r.out;
        return r;
    }
    std::vector<float> image(const std::string& name = "out.fits") {
        return testkit::read_image(dir.file(name)).fpixels;
    }
    std::vector<double> amask() { return testkit::read_image(dir.file("am.fits")).pixels; }
    std::string weights() { return testkit::read_text(dir.file("kestack_wt.txt")); }
    // Expects a failed run with the given message and no co-added image.
    void expect_stop(const testkit::RunResult& r, const std::string& message) {
        EXPECT_EQ(r.status, 64) << r.out;
        EXPECT_TRUE(has(r.out, message)) << r.out;
        EXPECT_FALSE(testkit::file_exists(dir.file("out.fits")));
    }
};

// ------------------------------------------------------------------ BMASK and PMASK

TEST_F(Masks, BfatalPixelReachesNeitherTheMeanNorTheWeights) {
    // FOV 27 (bit 2) covers both pixels.  DCE 2's 1000 at pixel 0 carries the fatal bit 128.
    // FOV sums: 20, 40, 30 (not 1030) -> weights 0.5, 1, 0.75.  Pixel 0 keeps 10 and 10;
    // pixel 1 is (10 x 0.5 + 30 + 30 x 0.75) / 2.25.
    frames(2, 1, {{10, 10}, {10, 30}, {1000, 30}});
    masks("b", 2, 1, {{0, 0}, {0, 0}, {128, 0}});
    fmask(2, 1, {2, 2});
    auto r = run({"-bm", "b.list", "-bf", "128", "-fm", "fmask.fits", "-am", "am.fits", "-V"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(weights(), "         0.5000  d0.fits\n         1.0000  d1.fits\n"
                         "         0.7500  d2.fits\n");
    const std::vector<float> means = image();
    EXPECT_EQ(means[0], 10.0f);
    EXPECT_FLOAT_EQ(means[1], 57.5f / 2.25f);
    EXPECT_EQ(amask(), (std::vector<double>{0x1000, 0}));
    EXPECT_TRUE(has(r.out, "Selecting FOV=27 (BIT=2) for weighting\n")) << r.out;
    EXPECT_TRUE(has(r.out, "\nAfter b/pmask, BEFORE trimming, in FOV 27 ONLY:\n"
                           "   In DCE   0, Number of good pixels is     2 => Number of pixels "
                           "masked or in wrong FOV is     0 \n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "   In DCE   2, Number of good pixels is     1 => Number of pixels "
                           "masked or in wrong FOV is     1 \n"))
        << r.out;
}

TEST_F(Masks, MaskListsWithoutFatalBitsAreNeitherReadNorApplied) {
    frames(1, 1, {{1}, {3}});
    masks("b", 1, 1, {{1}, {0}});
    masks("p", 1, 1, {{0}, {1}});
    testkit::write_text(dir.file("absent.list"), "gone0.fits\ngone1.fits\n");

    auto r = run({"-bm", "absent.list", "-pm", "absent.list", "-V"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(image(), (std::vector<float>{2.0f}));
    // Each column is 18 wide: "d0.fits" after 11 blanks, "--- " after 14.
    const std::string dashes = std::string(14, ' ') + "--- ";
    EXPECT_TRUE(
        has(r.out, std::string(11, ' ') + "d0.fits " + dashes + " " + dashes + " " + dashes + "\n"))
        << r.out;
    EXPECT_EQ(run({"-bm", "absent.list", "-bf", "1"}).status, 64);
    EXPECT_EQ(run({"-pm", "absent.list", "-pf", "1"}).status, 64);

    // With their fatal bits the masks remove DCE 0's and DCE 1's value respectively.
    ASSERT_EQ(run({"-bm", "b.list", "-pm", "p.list"}).status, 0);
    EXPECT_EQ(image(), (std::vector<float>{2.0f}));
    ASSERT_EQ(run({"-bm", "b.list", "-bf", "1", "-pm", "p.list"}).status, 0);
    EXPECT_EQ(image(), (std::vector<float>{3.0f}));
    ASSERT_EQ(run({"-bm", "b.list", "-pm", "p.list", "-pf", "1"}).status, 0);
    EXPECT_EQ(image(), (std::vector<float>{1.0f}));
}

// ------------------------------------------------------------------ FOV and weights

TEST_F(Masks, PixelOutsideTheFovStillReachesTheMean) {
    // Pixel 1 is in no FOV: the weights come from pixel 0 alone (10 and 20 -> 0.5 and 1).
    frames(2, 1, {{10, 100}, {20, 200}});
    fmask(2, 1, {2, 0});
    auto r = run({"-fm", "fmask.fits", "-V"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<float> means = image();
    EXPECT_FLOAT_EQ(means[0], 25.0f / 1.5f);
    EXPECT_FLOAT_EQ(means[1], 250.0f / 1.5f);
    EXPECT_TRUE(has(r.out, "AFTER asymmetric trimming, AFTER calculating weights, in FOV 27 "
                           "ONLY:\n   In DCE   0, good pixels =     1 => pixels masked, "
                           "rejected, or in wrong FOV =     1, WEIGHT = 0.50000\n"))
        << r.out;

    // Weighting off: the FMASK is still read, but every weight is 1.
    r = run({"-fm", "fmask.fits", "-wt", "0", "-V"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(image(), (std::vector<float>{15.0f, 150.0f}));
    EXPECT_EQ(weights(), "         1.0000  d0.fits\n         1.0000  d1.fits\n");
    EXPECT_TRUE(has(r.out, "AFTER asymmetric trimming, AFTER setting all weights to ONE:\n"
                           "   In DCE   0, good pixels =     2 => pixels masked, rejected =     "
                           "0, WEIGHT = 1.00000\n"))
        << r.out;
}

TEST_F(Masks, WeightsTenTwentyFortyBecomeQuarterHalfOne) {
    frames(1, 1, {{10}, {20}, {40}});
    fmask(1, 1, {2});
    auto r = run({"-fm", "fmask.fits", "-cf", "0", "-V"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(weights(), "         0.2500  d0.fits\n         0.5000  d1.fits\n"
                         "         1.0000  d2.fits\n");
    EXPECT_EQ(image(), (std::vector<float>{30.0f})); // 52.5 / 1.75
    EXPECT_TRUE(has(r.out, "NO asymmetric trimming was performed, as requested by cut_frac (-cf) "
                           "set to ZERO.\n\nAFTER calculating weights:\n   In DCE   0, good "
                           "pixels =     1 => pixels masked, rejected =     0, WEIGHT = 0.25000\n"))
        << r.out;
}

TEST_F(Masks, AllZeroWeightsCautionAndNaNMeans) {
    // Both FOV sums are 0; pixel 1 lies outside the FOV.  A weight sum of 0 makes every mean NaN.
    frames(2, 1, {{0, 5}, {0, 7}});
    fmask(2, 1, {2, 0});
    auto r = run({"-fm", "fmask.fits", "-am", "am.fits"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "\n\aCAUTION:  WEIRD DATA RESULT:  ALL WEIGHTS ARE ZERO!\n\n"));
    EXPECT_EQ(weights(), "         0.0000  d0.fits\n         0.0000  d1.fits\n");
    const std::vector<float> means = image();
    EXPECT_TRUE(std::isnan(means[0]));
    EXPECT_TRUE(std::isnan(means[1]));
    EXPECT_EQ(amask(), (std::vector<double>{0x1000, 0x1000}));
}

TEST_F(Masks, NegativeWeightsCautionAndRawSums) {
    // Weights -10 and -40 stay as they are: (-10 x -10 + -40 x -40) / -50 = -34.
    frames(1, 1, {{-10}, {-40}});
    fmask(1, 1, {2});
    auto r = run({"-fm", "fmask.fits"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "\n\aCAUTION:  WEIRD DATA RESULT:  MAX WEIGHT IS NEGATIVE!\n\n"));
    EXPECT_EQ(weights(), "       -10.0000  d0.fits\n       -40.0000  d1.fits\n");
    EXPECT_EQ(image(), (std::vector<float>{-34.0f}));
}

// ------------------------------------------------------------------ FOV selection failures

TEST_F(Masks, FovidMissingFromTheListsStops) {
    frames(2, 1, {{1, 1}}, 30);
    fmask(2, 1, {2, 2});
    expect_stop(run({"-fm", "fmask.fits"}), "ERROR:  FOVID=30 not found in FOVLIST from FMASK.\n");
    frames(2, 1, {{1, 1}});
    fmask(2, 1, {2, 2}, "[26,27]", "[1,-1]");
    expect_stop(run({"-fm", "fmask.fits"}), "ERROR:  FOVID=27 not found in FOVLIST from FMASK.\n");
    // An empty list pair is no search: FOV bit -1 takes any FMASK bit.
    fmask(2, 1, {2, 2}, "[]", "[]");
    EXPECT_EQ(run({"-fm", "fmask.fits"}).status, 0);
}

TEST_F(Masks, FovidZeroStopsOnlyWhenWeighting) {
    frames(1, 1, {{1}}, 0);
    fmask(1, 1, {2});
    expect_stop(run({"-fm", "fmask.fits"}),
                "ERROR: FOVID wasn't found and stored in req_fov_num -- this shouldn't happen!\n");
    auto r = run({"-fm", "fmask.fits", "-wt", "0", "-D"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "cs.fov_for_wts NOT SET since it's not needed.\n(DBG) The selected FOV "
                           "NUMBER = -1 will be used for DCE weighting  (-1 ==> no weighting)\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "cs.num_fovs = 2  cs.fov_for_wts = -1  cs.bit_for_wts = -1\n"));
}

TEST_F(Masks, FovidBeyondSixteenBitsStopsInsteadOfSelectingAnotherFov) {
    // 65563 would wrap to 27, an FOV of the lists.
    frames(1, 1, {{1}}, 65563);
    fmask(1, 1, {2});
    expect_stop(run({"-fm", "fmask.fits"}),
                "\aERROR: FOVID=65563 of the data files is too large for DCE weighting (at most "
                "32767)\n");
    EXPECT_EQ(run({"-fm", "fmask.fits", "-wt", "0"}).status, 0);
}

TEST_F(Masks, FmaskOfTheWrongSizeStopsEvenWithoutWeighting) {
    frames(2, 1, {{1, 1}});
    fmask(3, 1, {2, 2, 2});
    const std::string message = "\aERROR in input FMASK, in program " + prog +
                                "\n\aERROR:  FMASK dims are 3x1 but should be 2x1\n";
    expect_stop(run({"-fm", "fmask.fits"}), message);
    expect_stop(run({"-fm", "fmask.fits", "-wt", "0"}), message);
}

// ------------------------------------------------------------------ AMASK

TEST_F(Masks, AmaskCountsGoodValuesAndPassesBitsOfUsedValuesOnly) {
    // Pixel 0: three values, BMASK bits 0x0C -> 0x04 passed.  Pixel 1: DCE 0 removed by
    // bfatal, two left, the 0x08 of DCE 1 not in bpass -> 0x1000.  Pixel 2: DCEs 0 and 2
    // removed by bfatal, DCE 1 by pfatal (its 0x04 must not pass) -> 0x3000.  Pixel 3: DCE 2
    // is NaN (its 0x04 must not pass) -> 0x1000.
    frames(4, 1, {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, NAN}});
    masks("b", 4, 1, {{0, 0x84, 0x80, 0}, {0x0C, 0x08, 0x04, 0}, {0, 0, 0x80, 0x04}});
    masks("p", 4, 1, {{0, 0, 0, 0}, {0, 0, 0x40, 0}, {0, 0, 0, 0}});
    const std::vector<std::string> base = {"-bm",    "b.list", "-bf", "128", "-pm",
                                           "p.list", "-pf",    "64",  "-am", "am.fits"};
    std::vector<std::string> args = base;
    args.insert(args.end(), {"-bp", "4", "-ag", "3"});
    ASSERT_EQ(run(args).status, 0);
    EXPECT_EQ(amask(), (std::vector<double>{0x0004, 0x1000, 0x3000, 0x1000}));
    EXPECT_TRUE(std::isnan(image()[2]));

    // Two values suffice with amask_min_good 2; without bpass no BMASK bit passes.
    args = base;
    args.insert(args.end(), {"-ag", "2"});
    ASSERT_EQ(run(args).status, 0);
    EXPECT_EQ(amask(), (std::vector<double>{0, 0, 0x3000, 0}));
}

} // namespace
