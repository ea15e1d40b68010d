// The installed plenor: flat-fielded products, Dmask marks, history lines and the log.
#include "testkit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

const float nan_value = std::numeric_limits<float>::quiet_NaN();

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

uint32_t bits(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

bool has_card(const testkit::Image& image, const std::string& prefix) {
    for (const std::string& card : image.cards) {
        if (card.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<int16_t> as_shorts(const testkit::Image& image) {
    return std::vector<int16_t>(image.pixels.begin(), image.pixels.end());
}

// Uncertainty arithmetic written out from its rules (single precision, default settings:
// bad bits 0x4000, suspect bits 0x100, approximation limit 0.9, noise ratio 9).
bool is_nan(float x) {
    return (bits(x) & 0x7FFFFFFFu) > 0x7F800000u;
}

int next_flags(int flags, bool bad) {
    return (flags & ~(0x4000 | 0x100)) | (bad ? 0x4000 : 0);
}

bool screened_out(float a, float as, int af, float b, float bs, int bf) {
    return is_nan(a) || is_nan(as) || (af & 0x4000) || is_nan(b) || is_nan(bs) || (bf & 0x4000);
}

void reference_mul(float& r, float& rs, int& rf, float a, float as, int af, float b, float bs,
                   int bf) {
    r = a * b;
    if (screened_out(a, as, af, b, bs, bf)) {
        rs = nan_value;
        rf = next_flags(rf, true);
        return;
    }
    const float sum = ((a * a) * bs) * bs + ((b * b) * as) * as + ((bs * bs) * as) * as;
    rs = std::sqrt(sum);
    rf = next_flags(rf, ((af | bf) & 0x100) != 0);
}

void reference_div(float& r, float& rs, float a, float as, int af, float b, float bs, int bf) {
    r = b == 0.0f ? nan_value : a / b;
    if (screened_out(a, as, af, b, bs, bf)) {
        rs = nan_value;
        return;
    }
    const float a2 = a * a, as2 = as * as, b2 = b * b, bs2 = bs * bs;
    const float b4 = b2 * b2, a2bs2 = a2 * bs2, ratio = as2 / b2;
    const double variance =
        ((static_cast<double>(as2) * 3.0) * bs2 + a2bs2) / b4 + static_cast<double>(ratio);
    const float expansion = std::sqrt(static_cast<float>(variance));
    const bool divisor_ok = std::fabs(bs) <= std::fabs(0.9f * b);
    if (!divisor_ok && std::fabs(as) > std::fabs(9.0f * a) && std::fabs(bs) > std::fabs(9.0f * b)) {
        const double fwhm = std::sqrt(std::log(2.0) * 2.0) * 2.0;
        rs = static_cast<float>(2.0 * static_cast<double>(std::fabs(as / bs)) / fwhm);
        return;
    }
    rs = expansion;
}

class PlenorFlat : public testing::Test {
  protected:
    testkit::TempDir dir;
    std::string f(const std::string& name) const { return dir.file(name); }

    testkit::RunResult plenor(const std::vector<std::string>& args) {
        return testkit::run(testkit::installed_program("plenor"), args, {dir.path(), "", 0, 60});
    }

    // DCE 10 +- 1 of 3 x 2 pixels, flat 2 +- 0, all masks clear.
    void write_inputs() {
        testkit::write_float_image(f("dce.fits"), {3, 2}, std::vector<float>(6, 10.0f));
        testkit::write_float_image(f("unc.fits"), {3, 2}, std::vector<float>(6, 1.0f));
        testkit::write_float_image(f("flat.fits"), {3, 2, 2}, {2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0});
    }

    std::vector<std::string> args_with(std::vector<std::string> extra) const {
        std::vector<std::string> args = {"-i",  f("dce.fits"),    "-o",  f("out.fits"),
                                         "-f",  f("flat.fits"),   "-ui", f("unc.fits"),
                                         "-uo", f("unc_out.fits")};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};

} // namespace

TEST_F(PlenorFlat, MaskRulesAndMarksWrittenBackIntoTheDmask) {
    write_inputs();
    testkit::write_float_image(f("dce.fits"), {3, 2}, {nan_value, 10, 10, 10, 10, 10});
    testkit::write_float_image(f("flat.fits"), {3, 2, 2},
                               {2, 2, 2, 2, nan_value, 2, 0, 0, 0, 0, 0, 0});
    testkit::write_short_image(f("pmask.fits"), {3, 2}, {0, 128, 0, 0, 0, 0});
    testkit::write_short_image(f("dmask.fits"), {3, 2}, {0, 0, 0x4000, 0, 0, 0});
    testkit::write_short_image(f("cmask.fits"), {3, 2}, {0, 0, 0, 256, 256, 0});
    const testkit::RunResult r =
        plenor(args_with({"-p", f("pmask.fits"), "-d", f("dmask.fits"), "-c", f("cmask.fits")}));
    ASSERT_EQ(r.status, 0) << r.out;
    const testkit::Image out = testkit::read_image(f("out.fits"));
    EXPECT_TRUE(std::isnan(out.fpixels[0]));
    EXPECT_EQ(std::vector<float>(out.fpixels.begin() + 1, out.fpixels.end()),
              (std::vector<float>{10, 10, 5, 10, 5}));
    const testkit::Image unc = testkit::read_image(f("unc_out.fits"));
    EXPECT_EQ(unc.fpixels, (std::vector<float>{1, 1, 1, 0.5f, 1, 0.5f}));
    const testkit::Image dmask = testkit::read_image(f("dmask.fits"));
    EXPECT_EQ(as_shorts(dmask), (std::vector<int16_t>{0x100, 0x100, 0x4100, 0x080, 0x100, 0}));
}

TEST_F(PlenorFlat, IntegerDceGivesAFloatProduct) {
    testkit::write_image(f("dce.fits"), 16, {3, 2}, {10, 10, 10, 10, 10, -3});
    testkit::write_float_image(f("flat.fits"), {3, 2}, std::vector<float>(6, 4.0f));
    const testkit::RunResult r =
        plenor({"-i", f("dce.fits"), "-o", f("out.fits"), "-f", f("flat.fits")});
    ASSERT_EQ(r.status, 0) << r.out;
    const testkit::Image out = testkit::read_image(f("out.fits"));
    EXPECT_EQ(out.bitpix, -32);
    EXPECT_EQ(out.fpixels, (std::vector<float>{2.5f, 2.5f, 2.5f, 2.5f, 2.5f, -0.75f}));
}

TEST_F(PlenorFlat, CubeIsDividedPlaneByPlaneByOneFlat) {
    testkit::write_float_image(f("dce.fits"), {2, 1, 3}, {2, 4, 6, 8, 10, 12});
    testkit::write_float_image(f("flat.fits"), {2, 1}, {2, 4});
    testkit::write_short_image(f("dmask.fits"), {2, 1, 3}, {0, 0, 0x4000, 0, 0, 0});
    const testkit::RunResult r = plenor(
        {"-i", f("dce.fits"), "-o", f("out.fits"), "-f", f("flat.fits"), "-d", f("dmask.fits")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels, (std::vector<float>{1, 1, 6, 2, 5, 3}));
    EXPECT_EQ(as_shorts(testkit::read_image(f("dmask.fits"))),
              (std::vector<int16_t>{0, 0, 0x4100, 0, 0, 0}));
}

TEST_F(PlenorFlat, NotANumberCalibratorSpoilsOnlyItsUncertainty) {
    write_inputs();
    testkit::write_float_image(f("tcal.fits"), {3, 2, 2},
                               {1, 1, nan_value, 1, 1, 1, 0, 0, 0, 0, 0, 0});
    const testkit::RunResult r = plenor(args_with({"-t", f("tcal.fits")}));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<float> unc = testkit::read_image(f("unc_out.fits")).fpixels;
    for (size_t i = 0; i < unc.size(); ++i) {
        EXPECT_EQ(std::isnan(unc[i]), i == 2) << i;
    }
    EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels[0], 5.0f);
}

TEST_F(PlenorFlat, HistoryLineOnEveryProductAndDateOnlyOnTheUncertainty) {
    write_inputs();
    testkit::write_short_image(f("dmask.fits"), {3, 2}, std::vector<int16_t>(6, 0));
    ASSERT_EQ(plenor(args_with({"-d", f("dmask.fits")})).status, 0);
    const std::regex history("HISTORY PLENOR {20}v\\. 1\\.500   [A-Z][a-z]{2} [A-Z][a-z]{2} "
                             "[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} *");
    for (const char* name : {"out.fits", "unc_out.fits", "dmask.fits"}) {
        const testkit::Image image = testkit::read_image(f(name));
        int lines = 0;
        for (const std::string& card : image.cards) {
            lines += std::regex_match(card, history) ? 1 : 0;
        }
        EXPECT_EQ(lines, 1) << name;
        EXPECT_EQ(has_card(image, "DATE    ="), std::string(name) == "unc_out.fits") << name;
    }
}

TEST_F(PlenorFlat, TwoRunsAppendTwoLogBlocks) {
    write_inputs();
    ASSERT_EQ(plenor(args_with({"-l", f("run.log")})).status, 0);
    ASSERT_EQ(plenor(args_with({"-l", f("run.log"), "-pm", "64"})).status, 0);
    const std::string log = testkit::read_text(f("run.log"));
    EXPECT_EQ(testkit::count_of(log, "Plenor Version 1.5\nNamelist File  = \nInput DCE = "), 2);
    EXPECT_EQ(testkit::count_of(log, " seconds\n*********************\n\n"), 2);
    EXPECT_TRUE(has(log, "Pmask Mask = 128\n"));
    EXPECT_TRUE(has(log, "Pmask Mask = 64\n"));
    EXPECT_TRUE(has(log, "Output Uncertainty = !" + f("unc_out.fits") + "\n"));
}

TEST_F(PlenorFlat, LogToStandardOutput) {
    write_inputs();
    const testkit::RunResult r = plenor(args_with({"-l", "stdout"}));
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "plenor_log_writer: Printing Log output to stdout\n"
                           "Plenor Version 1.5\nNamelist File  = \n"));
    EXPECT_TRUE(has(r.out, "Processing Log File = stdout\nTime = "));
    EXPECT_FALSE(has(r.out, "Could not open Log File"));
}

TEST_F(PlenorFlat, FailedReadStillPrintsTheStartTimeAndWritesTheLog) {
    write_inputs();
    const testkit::RunResult r = plenor(args_with({"-p", f("absent.fits"), "-l", f("run.log")}));
    EXPECT_EQ(r.status, 64);
    const size_t start = r.out.find("Processing time ");
    ASSERT_NE(start, std::string::npos);
    const std::string time_line = r.out.substr(start + 16, 25); // 24 characters and line end
    EXPECT_TRUE(has(r.out.substr(start + 16 + 25), "\n" + time_line));
    EXPECT_TRUE(has(testkit::read_text(f("run.log")), "Pmask File = " + f("absent.fits")));
    EXPECT_FALSE(testkit::file_exists(f("out.fits")));
}

TEST_F(PlenorFlat, OutputThatCannotBeCreatedFailsTheRun) {
    write_inputs();
    const testkit::RunResult r =
        plenor({"-i", f("dce.fits"), "-o", f("absent/out.fits"), "-f", f("flat.fits"), "-ui",
                f("unc.fits"), "-uo", f("unc_out.fits")});
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor Error Message      0x0069: Unknown error.\n"
                           "plenor Error in Function  0x001e: OUTPUT_DATA.\n"));
    EXPECT_FALSE(testkit::file_exists(f("unc_out.fits")));
}

TEST_F(PlenorFlat, ProductsPassFitsverify) {
    write_inputs();
    testkit::write_short_image(f("dmask.fits"), {3, 2}, std::vector<int16_t>(6, 0));
    ASSERT_EQ(plenor(args_with({"-d", f("dmask.fits")})).status, 0);
    const std::string fitsverify = "/usr/bin/fitsverify";
    if (!testkit::file_exists(fitsverify)) {
        GTEST_SKIP() << "fitsverify is not installed";
    }
    for (const char* name : {"out.fits", "unc_out.fits", "dmask.fits"}) {
        const testkit::RunResult v = testkit::run(fitsverify, {"-q", f(name)});
        EXPECT_EQ(v.status, 0) << name << ": " << v.out;
        EXPECT_TRUE(has(v.out, "verification OK")) << v.out;
    }
}

TEST_F(PlenorFlat, RandomCubeMatchesTheArithmeticRules) {
    const long nx = 7, ny = 5, nz = 2, plane = nx * ny;
    std::mt19937 random(20261206u);
    auto uniform = [&random](float lo, float hi) {
        return lo + (hi - lo) * static_cast<float>(random() % 100000u) / 100000.0f;
    };
    std::vector<float> dce, unc, flat(2 * plane), tcal(2 * plane);
    for (long i = 0; i < plane * nz; ++i) {
        dce.push_back(uniform(-50.0f, 200.0f));
        unc.push_back(uniform(0.1f, 20.0f));
    }
    for (long p = 0; p < plane; ++p) {
        flat[p] = uniform(0.5f, 1.5f);
        flat[plane + p] = uniform(0.0f, 0.05f);
        tcal[p] = uniform(0.8f, 1.2f);
        tcal[plane + p] = uniform(0.0f, 0.02f);
    }
    flat[plane + 3] = 1.2f; // divisor too uncertain for the expansion
    dce[4] = 0.01f;         // with the next one: two noise-dominated operands
    flat[4] = 0.1f;
    flat[plane + 4] = 1.4f;
    std::vector<int16_t> cmask(plane, 0);
    cmask[6] = 0x100; // a suspect flat: flagged by the library, divided by the program
    testkit::write_float_image(f("dce.fits"), {nx, ny, nz}, dce);
    testkit::write_float_image(f("unc.fits"), {nx, ny, nz}, unc);
    testkit::write_float_image(f("flat.fits"), {nx, ny, 2}, flat);
    testkit::write_float_image(f("tcal.fits"), {nx, ny, 2}, tcal);
    testkit::write_short_image(f("cmask.fits"), {nx, ny}, cmask);
    const testkit::RunResult r = plenor(args_with({"-t", f("tcal.fits"), "-c", f("cmask.fits")}));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<float> out = testkit::read_image(f("out.fits")).fpixels;
    const std::vector<float> out_unc = testkit::read_image(f("unc_out.fits")).fpixels;
    for (long i = 0; i < plane * nz; ++i) {
        const long p = i % plane;
        float d = 0, ds = 0, q = 0, qs = 0;
        int df = 0;
        reference_mul(d, ds, df, flat[p], flat[plane + p], cmask[p], tcal[p], tcal[plane + p], 0);
        reference_div(q, qs, dce[i], unc[i], df, d, ds, df);
        EXPECT_EQ(bits(out[i]), bits(q)) << "value " << i;
        EXPECT_EQ(bits(out_unc[i]), bits(qs)) << "sigma " << i;
    }
    EXPECT_TRUE(std::isnan(out_unc[6]));
}
