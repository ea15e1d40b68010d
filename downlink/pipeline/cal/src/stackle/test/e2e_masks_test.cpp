// The installed stackle with BMASK, PMASK and FMASK inputs on small hand-made stacks: which
// pixels the masks remove, the FOV chosen for weighting, the DCE weights with their reports
// and cautions, and the AMASK bits (the failures of the FOV selection and the FMASK are rows of
// the hostile-input table).
#include <cmath>
#include <cstdio>
#include <type_traits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

using testkit::Keyword;
using Floats = std::vector<float>;
using Strings = std::vector<std::string>;

bool has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

std::string weight_lines(const Strings& weights) {
    std::string out;
    for (size_t i = 0; i < weights.size(); ++i)
        out += std::string(15 - weights[i].size(), ' ') + weights[i] + "  d" + std::to_string(i) +
               ".fits\n";
    return out;
}

struct Masks : testing::Test {
    testkit::TempDir dir;
    std::string prog = testkit::installed_program("stackle");

    // Files <prefix>0.fits, ... of w x h pixels and their list <prefix>.list; data frames (float)
    // carry FOVID `fovid`, mask frames (16-bit) none.
    template <typename T>
    void planes(const std::string& prefix, long w, long h, const std::vector<std::vector<T>>& px,
                int fovid = 27) {
        std::string list;
        for (size_t i = 0; i < px.size(); ++i) {
            const std::string name = prefix + std::to_string(i) + ".fits";
            if constexpr (std::is_same<T, float>::value)
                testkit::write_float_image(dir.file(name), {w, h},
                                           Floats(px[i].begin(), px[i].end()),
                                           {Keyword::integer("FOVID", fovid)});
            else
                testkit::write_short_image(dir.file(name), {w, h},
                                           std::vector<int16_t>(px[i].begin(), px[i].end()));
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
    // Runs on d.list into out.fits and expects `status`, and out.fits only from a success.
    testkit::RunResult run(Strings args, int status = 0) {
        args.insert(args.begin(), {"-di", "d.list", "-do", "out.fits"});
        std::remove(dir.file("out.fits").c_str());
        testkit::RunOptions opts;
        opts.cwd = dir.path();
        testkit::RunResult r = testkit::run(prog, args, opts);
        EXPECT_FALSE(r.signaled) << r.out;
        EXPECT_EQ(r.status, status) << testing::PrintToString(args) << r.out;
        EXPECT_EQ(testkit::file_exists(dir.file("out.fits")), status == 0);
        return r;
    }
    Floats image() { return testkit::read_image(dir.file("out.fits")).fpixels; }
    std::vector<double> amask() { return testkit::read_image(dir.file("am.fits")).pixels; }
    std::string weights() { return testkit::read_text(dir.file("kestack_wt.txt")); }
};

} // namespace

TEST_F(Masks, BfatalPixelReachesNeitherTheMeanNorTheWeights) {
    // FOV 27 (bit 2) covers both pixels.  DCE 2's 1000 at pixel 0 carries the fatal bit 128.
    // FOV sums: 20, 40, 30 (not 1030) -> weights 0.5, 1, 0.75.  Pixel 0 keeps 10 and 10;
    // pixel 1 is (10 x 0.5 + 30 + 30 x 0.75) / 2.25.
    planes<float>("d", 2, 1, {{10, 10}, {10, 30}, {1000, 30}});
    planes<int>("b", 2, 1, {{0, 0}, {0, 0}, {128, 0}});
    fmask(2, 1, {2, 2});
    auto r = run({"-bm", "b.list", "-bf", "128", "-fm", "fmask.fits", "-am", "am.fits", "-V"});
    EXPECT_EQ(weights(), weight_lines({"0.5000", "1.0000", "0.7500"}));
    EXPECT_EQ(image().at(0), 10.0f);
    EXPECT_FLOAT_EQ(image().at(1), 57.5f / 2.25f);
    EXPECT_EQ(amask(), (std::vector<double>{0x1000, 0}));
    auto count = [](const char* dce, const char* good, const char* bad) {
        return std::string("   In DCE   ") + dce + ", Number of good pixels is     " + good +
               " => Number of pixels masked or in wrong FOV is     " + bad + " \n";
    };
    EXPECT_TRUE(has(r.out, "Selecting FOV=27 (BIT=2) for weighting\n"));
    EXPECT_TRUE(
        has(r.out, "\nAfter b/pmask, BEFORE trimming, in FOV 27 ONLY:\n" + count("0", "2", "0")));
    EXPECT_TRUE(has(r.out, count("2", "1", "1"))) << r.out;
}

TEST_F(Masks, MaskListsWithoutFatalBitsAreNeitherReadNorApplied) {
    planes<float>("d", 1, 1, {{1}, {3}});
    planes<int>("b", 1, 1, {{1}, {0}});
    planes<int>("p", 1, 1, {{0}, {1}});
    testkit::write_text(dir.file("absent.list"), "gone0.fits\ngone1.fits\n");
    auto r = run({"-bm", "absent.list", "-pm", "absent.list", "-V"});
    EXPECT_EQ(image(), Floats{2.0f});
    // Each column is 18 wide: "d0.fits" after 11 blanks, "--- " after 14.
    const std::string dashes = std::string(14, ' ') + "--- ";
    EXPECT_TRUE(has(r.out, std::string(11, ' ') + "d0.fits " + dashes + " " + dashes + " " +
                               dashes + "\n"));
    run({"-bm", "absent.list", "-bf", "1"}, 64);
    run({"-pm", "absent.list", "-pf", "1"}, 64);
    // With their fatal bits the masks remove DCE 0's and DCE 1's value respectively.
    const std::vector<std::pair<Strings, float>> cases = {
        {{}, 2.0f}, {{"-bf", "1"}, 3.0f}, {{"-pf", "1"}, 1.0f}};
    for (const auto& c : cases) {
        Strings args = {"-bm", "b.list", "-pm", "p.list"};
        args.insert(args.end(), c.first.begin(), c.first.end());
        run(args);
        EXPECT_EQ(image(), Floats{c.second}) << testing::PrintToString(c.first);
    }
}

TEST_F(Masks, PixelOutsideTheFovStillReachesTheMean) {
    // Pixel 1 is in no FOV: the weights come from pixel 0 alone (10 and 20 -> 0.5 and 1).
    planes<float>("d", 2, 1, {{10, 100}, {20, 200}});
    fmask(2, 1, {2, 0});
    auto r = run({"-fm", "fmask.fits", "-V"});
    EXPECT_FLOAT_EQ(image().at(0), 25.0f / 1.5f);
    EXPECT_FLOAT_EQ(image().at(1), 250.0f / 1.5f);
    EXPECT_TRUE(
        has(r.out, "AFTER asymmetric trimming, AFTER calculating weights, in FOV 27 ONLY:\n   In "
                   "DCE   0, good pixels =     1 => pixels masked, rejected, or in wrong FOV =     "
                   "1, WEIGHT = 0.50000\n"));
    // Weighting off: the FMASK is still read, but every weight is 1.
    r = run({"-fm", "fmask.fits", "-wt", "0", "-V"});
    EXPECT_EQ(image(), (Floats{15.0f, 150.0f}));
    EXPECT_EQ(weights(), weight_lines({"1.0000", "1.0000"}));
    EXPECT_TRUE(has(r.out,
                    "AFTER asymmetric trimming, AFTER setting all weights to ONE:\n   In DCE   0, "
                    "good pixels =     2 => pixels masked, rejected =     0, WEIGHT = 1.00000\n"));
}

TEST_F(Masks, WeightsTenTwentyFortyBecomeQuarterHalfOne) {
    planes<float>("d", 1, 1, {{10}, {20}, {40}});
    fmask(1, 1, {2});
    auto r = run({"-fm", "fmask.fits", "-cf", "0", "-V"});
    EXPECT_EQ(weights(), weight_lines({"0.2500", "0.5000", "1.0000"}));
    EXPECT_EQ(image(), Floats{30.0f}); // 52.5 / 1.75
    EXPECT_TRUE(has(r.out,
                    "NO asymmetric trimming was performed, as requested by cut_frac (-cf) set to "
                    "ZERO.\n\nAFTER calculating weights:\n   In DCE   0, good pixels =     1 => "
                    "pixels masked, rejected =     0, WEIGHT = 0.25000\n"));
}

TEST_F(Masks, ZeroAndNegativeWeightsCaution) {
    // Both FOV sums are 0; pixel 1 lies outside the FOV.  A weight sum of 0 makes every mean NaN.
    planes<float>("d", 2, 1, {{0, 5}, {0, 7}});
    fmask(2, 1, {2, 0});
    auto r = run({"-fm", "fmask.fits", "-am", "am.fits"});
    EXPECT_TRUE(has(r.out, "\n\aCAUTION:  WEIRD DATA RESULT:  ALL WEIGHTS ARE ZERO!\n\n"));
    EXPECT_EQ(weights(), weight_lines({"0.0000", "0.0000"}));
    EXPECT_TRUE(std::isnan(image().at(0)) && std::isnan(image().at(1)));
    EXPECT_EQ(amask(), (std::vector<double>{0x1000, 0x1000}));
    // Weights -10 and -40 stay as they are: (-10 x -10 + -40 x -40) / -50 = -34.
    planes<float>("d", 1, 1, {{-10}, {-40}});
    fmask(1, 1, {2});
    r = run({"-fm", "fmask.fits"});
    EXPECT_TRUE(has(r.out, "\n\aCAUTION:  WEIRD DATA RESULT:  MAX WEIGHT IS NEGATIVE!\n\n"));
    EXPECT_EQ(weights(), weight_lines({"-10.0000", "-40.0000"}));
    EXPECT_EQ(image(), Floats{-34.0f});
}

TEST_F(Masks, AmaskCountsGoodValuesAndPassesBitsOfUsedValuesOnly) {
    // Pixel 0: three values, BMASK bits 0x0C -> 0x04 passed.  Pixel 1: DCE 0 removed by
    // bfatal, two left, the 0x08 of DCE 1 not in bpass -> 0x1000.  Pixel 2: DCEs 0 and 2
    // removed by bfatal, DCE 1 by pfatal (its 0x04 must not pass) -> 0x3000.  Pixel 3: DCE 2
    // is NaN (its 0x04 must not pass) -> 0x1000.
    planes<float>("d", 4, 1, {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, NAN}});
    planes<int>("b", 4, 1, {{0, 0x84, 0x80, 0}, {0x0C, 0x08, 0x04, 0}, {0, 0, 0x80, 0x04}});
    planes<int>("p", 4, 1, {{0, 0, 0, 0}, {0, 0, 0x40, 0}, {0, 0, 0, 0}});
    const Strings masks = {"-bm",    "b.list", "-bf", "128", "-pm",
                           "p.list", "-pf",    "64",  "-am", "am.fits"};
    Strings args = masks;
    args.insert(args.end(), {"-bp", "4", "-ag", "3"});
    run(args);
    EXPECT_EQ(amask(), (std::vector<double>{0x0004, 0x1000, 0x3000, 0x1000}));
    EXPECT_TRUE(std::isnan(image().at(2)));
    // Two values suffice with amask_min_good 2; without bpass no BMASK bit passes.
    args = masks;
    args.insert(args.end(), {"-ag", "2"});
    run(args);
    EXPECT_EQ(amask(), (std::vector<double>{0, 0, 0x3000, 0}));
}
