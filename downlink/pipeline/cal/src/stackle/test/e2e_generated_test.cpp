// The installed stackle on a stack written by the installed sample generator, with every mask,
// FOV weighting and trimming on, checked pixel by pixel against a plain computation written
// here from the FITS inputs.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

// The settings of the run, given on the command line so that they do not depend on the
// generated namelist.
const int kBfatal = 128, kPfatal = 64, kBpass = 4, kMinGood = 3;
const float kCutFrac = 0.2f, kCutMultiple = 5.0f;

// The blank-separated words of `text`; with `numbers`, the integers of a keyword such as
// '[26, 27]' as words.
std::vector<std::string> words(std::string text, bool numbers = false) {
    if (numbers)
        std::replace_if(
            text.begin(), text.end(), [](char c) { return c != '-' && (c < '0' || c > '9'); }, ' ');
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

std::vector<int16_t> shorts(const std::string& path) {
    const std::vector<double> px = testkit::read_image(path).pixels;
    return std::vector<int16_t>(px.begin(), px.end());
}

struct Inputs {
    std::vector<std::string> names;
    std::vector<std::vector<float>> data, sdev;
    std::vector<std::vector<int16_t>> bmask, pmask;
    std::vector<int16_t> fmask;
    int fov_bit = 0;
};

Inputs load(const std::string& dir) {
    Inputs in;
    auto list = [&](const char* name) { return words(testkit::read_text(dir + "/" + name)); };
    in.names = list("data.list");
    const auto sdevs = list("sdev.list"), bmasks = list("bmask.list"), pmasks = list("pmask.list");
    for (size_t i = 0; i < in.names.size(); ++i) {
        in.data.push_back(testkit::read_image(dir + "/" + in.names[i]).fpixels);
        in.sdev.push_back(testkit::read_image(dir + "/" + sdevs[i]).fpixels);
        in.bmask.push_back(shorts(dir + "/" + bmasks[i]));
        in.pmask.push_back(shorts(dir + "/" + pmasks[i]));
    }
    in.fmask = shorts(dir + "/fmask.fits");
    std::string fovid, fovlist, bitlist;
    EXPECT_TRUE(testkit::read_keyword(dir + "/" + in.names[0], "FOVID", fovid));
    EXPECT_TRUE(testkit::read_keyword(dir + "/fmask.fits", "FOVLIST", fovlist));
    EXPECT_TRUE(testkit::read_keyword(dir + "/fmask.fits", "BITLIST", bitlist));
    const auto fovs = words(fovlist, true), bits = words(bitlist, true);
    const auto at = std::find(fovs.begin(), fovs.end(), words(fovid, true).at(0));
    EXPECT_NE(at, fovs.end());
    in.fov_bit = std::atoi(bits.at(static_cast<size_t>(at - fovs.begin())).c_str());
    return in;
}

float median(std::vector<float> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) * 0.5f;
}

// One pixel's values (with their frame numbers): drops the farthest from the median while it
// lies at least kCutMultiple median absolute deviations out, at most n x kCutFrac times.
void trim(std::vector<float>& values, std::vector<size_t>& frames) {
    const int max_cut = values.size() <= 3 ? 0 : static_cast<int>(values.size() * kCutFrac);
    for (int cut = 0; cut < max_cut; ++cut) {
        const float m = median(values);
        std::vector<float> dev;
        size_t far = 0;
        for (size_t k = 0; k < values.size(); ++k) {
            dev.push_back(std::fabs(values[k] - m));
            far = dev[k] > dev[far] ? k : far;
        }
        if (dev[far] < kCutMultiple * median(dev))
            return;
        values.erase(values.begin() + static_cast<long>(far));
        frames.erase(frames.begin() + static_cast<long>(far));
    }
}

struct Expected {
    std::vector<float> weights, means, sdevs;
    std::vector<double> amask;
    size_t masked = 0, trimmed = 0;
};

Expected compute(Inputs in) {
    Expected e;
    const size_t n = in.data.size(), npix = in.fmask.size();
    const float nan = std::nanf("");
    for (size_t p = 0; p < npix; ++p) {
        std::vector<float> values;
        std::vector<size_t> frames;
        for (size_t i = 0; i < n; ++i) {
            float& v = in.data[i][p];
            if (!std::isnan(v) && ((in.bmask[i][p] & kBfatal) || (in.pmask[i][p] & kPfatal))) {
                v = nan;
                ++e.masked;
            }
            if (!std::isnan(v)) {
                values.push_back(v);
                frames.push_back(i);
            }
            v = nan;
        }
        const size_t before = values.size();
        trim(values, frames);
        e.trimmed += before - values.size();
        for (size_t k = 0; k < values.size(); ++k)
            in.data[frames[k]][p] = values[k];
    }
    e.weights.assign(n, 0.0f);
    for (size_t i = 0; i < n; ++i)
        for (size_t p = 0; p < npix; ++p)
            if (!std::isnan(in.data[i][p]) && (in.fmask[p] & in.fov_bit) != 0)
                e.weights[i] += in.data[i][p];
    const float largest = *std::max_element(e.weights.begin(), e.weights.end());
    for (float& w : e.weights)
        w /= largest;
    for (size_t p = 0; p < npix; ++p) {
        double sw = 0, swx = 0, ss = 0;
        int good = 0, bits = 0;
        for (size_t i = 0; i < n; ++i) {
            const float v = in.data[i][p];
            if (std::isnan(v))
                continue;
            sw += e.weights[i];
            swx += static_cast<double>(e.weights[i]) * v;
            ss += in.sdev[i][p] * in.sdev[i][p];
            bits |= in.bmask[i][p];
            ++good;
        }
        e.means.push_back(good > 0 ? static_cast<float>(swx / sw) : nan);
        e.sdevs.push_back(good > 0 ? static_cast<float>(std::sqrt(ss) / good) : nan);
        e.amask.push_back(good == 0 ? 0x3000 : (good < kMinGood ? 0x1000 : 0) | (bits & kBpass));
    }
    return e;
}

void expect_same(const std::vector<float>& got, const std::vector<float>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t p = 0; p < got.size(); ++p) {
        if (std::isnan(want[p]))
            EXPECT_TRUE(std::isnan(got[p])) << what << " pixel " << p;
        else
            EXPECT_FLOAT_EQ(got[p], want[p]) << what << " pixel " << p;
    }
}

} // namespace

TEST(GeneratedStack, FullyMaskedAndWeightedCoadditionMatchesAPlainComputation) {
    testkit::TempDir dir;
    testkit::RunResult gen = testkit::run(
        testkit::installed_program("mksample"),
        {"-o", dir.path(), "-n", "5", "-W", "24", "-H", "16", "-s", "7", "--no-plenor"});
    ASSERT_EQ(gen.status, 0) << gen.out << gen.err;
    const Inputs in = load(dir.path());
    ASSERT_EQ(in.names.size(), 5u);
    const Expected want = compute(in);
    // The stack exercises what is checked: masked and trimmed values, pixels outside the FOV.
    EXPECT_GT(want.masked, 0u);
    EXPECT_GT(want.trimmed, 0u);
    EXPECT_TRUE(std::any_of(in.fmask.begin(), in.fmask.end(),
                            [&](int16_t f) { return (f & in.fov_bit) == 0; }));

    testkit::RunOptions opts;
    opts.cwd = dir.path();
    const std::string args =
        "-n stackle.nml -do m.fits -so s.fits -am a.fits -wo w.txt -fm fmask.fits "
        "-wt 1 -cf 0.2 -cm 5 -bf " +
        std::to_string(kBfatal) + " -pf " + std::to_string(kPfatal) + " -bp " +
        std::to_string(kBpass) + " -ag " + std::to_string(kMinGood);
    testkit::RunResult r = testkit::run(testkit::installed_program("stackle"), words(args), opts);
    ASSERT_EQ(r.status, 0) << r.out;
    expect_same(testkit::read_image(dir.file("m.fits")).fpixels, want.means, "mean");
    expect_same(testkit::read_image(dir.file("s.fits")).fpixels, want.sdevs, "sdev");
    EXPECT_EQ(testkit::read_image(dir.file("a.fits")).pixels, want.amask);
    const std::vector<std::string> list = words(testkit::read_text(dir.file("w.txt")));
    ASSERT_EQ(list.size(), 2 * in.names.size());
    for (size_t i = 0; i < in.names.size(); ++i) {
        EXPECT_EQ(list[2 * i + 1], in.names[i]);
        EXPECT_NEAR(std::atof(list[2 * i].c_str()), want.weights[i], 5e-5);
    }
}
