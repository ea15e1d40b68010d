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
const int kBfatal = 128;
const int kPfatal = 64;
const int kBpass = 4;
const int kMinGood = 3;
const float kCutFrac = 0.2f;
const float kCutMultiple = 5.0f;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (in >> line)
        out.push_back(line);
    return out;
}

// Integers of a list keyword value such as '[26, 27]'.
std::vector<int> int_list(const std::string& value) {
    std::string digits = value;
    for (char& c : digits)
        if (!(c == '-' || (c >= '0' && c <= '9')))
            c = ' ';
    std::vector<int> out;
    std::istringstream in(digits);
    int v = 0;
    while (in >> v)
        out.push_back(v);
    return out;
}

std::vector<int16_t> shorts(const std::string& path) {
    std::vector<int16_t> out;
    for (double v : testkit::read_image(path).pixels)
        out.push_back(static_cast<int16_t>(v));
    return out;
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
    in.names = lines_of(testkit::read_text(dir + "/data.list"));
    const std::vector<std::string> sdevs = lines_of(testkit::read_text(dir + "/sdev.list"));
    const std::vector<std::string> bmasks = lines_of(testkit::read_text(dir + "/bmask.list"));
    const std::vector<std::string> pmasks = lines_of(testkit::read_text(dir + "/pmask.list"));
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
    const std::vector<int> fovs = int_list(fovlist), bits = int_list(bitlist);
    const auto at = std::find(fovs.begin(), fovs.end(), std::atoi(fovid.c_str()));
    EXPECT_NE(at, fovs.end());
    in.fov_bit = bits.at(static_cast<size_t>(at - fovs.begin()));
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
    if (values.size() <= 3)
        return;
    const int max_cut = static_cast<int>(static_cast<float>(values.size()) * kCutFrac);
    for (int cut = 0; cut < max_cut; ++cut) {
        const float m = median(values);
        std::vector<float> dev;
        size_t far = 0;
        for (size_t k = 0; k < values.size(); ++k) {
            dev.push_back(std::fabs(values[k] - m));
            if (dev[k] > dev[far])
                far = k;
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
    for (size_t i = 0; i < n; ++i)
        for (size_t p = 0; p < npix; ++p)
            if (!std::isnan(in.data[i][p]) &&
                ((in.bmask[i][p] & kBfatal) != 0 || (in.pmask[i][p] & kPfatal) != 0)) {
                in.data[i][p] = nan;
                ++e.masked;
            }
    for (size_t p = 0; p < npix; ++p) {
        std::vector<float> values;
        std::vector<size_t> frames;
        for (size_t i = 0; i < n; ++i)
            if (!std::isnan(in.data[i][p])) {
                values.push_back(in.data[i][p]);
                frames.push_back(i);
            }
        const size_t before = values.size();
        trim(values, frames);
        e.trimmed += before - values.size();
        for (size_t i = 0; i < n; ++i)
            in.data[i][p] = nan;
        for (size_t k = 0; k < values.size(); ++k)
            in.data[frames[k]][p] = values[k];
    }
    float largest = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        float sum = 0.0f;
        for (size_t p = 0; p < npix; ++p)
            if (!std::isnan(in.data[i][p]) && (in.fmask[p] & in.fov_bit) != 0)
                sum += in.data[i][p];
        e.weights.push_back(sum);
        largest = std::max(largest, sum);
    }
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
        const int flags = good == 0 ? 0x3000 : (good < kMinGood ? 0x1000 : 0) | (bits & kBpass);
        e.amask.push_back(flags);
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
    testkit::RunResult r =
        testkit::run(testkit::installed_program("stackle"), {"-n",  "stackle.nml",
                                                             "-do", "m.fits",
                                                             "-so", "s.fits",
                                                             "-am", "a.fits",
                                                             "-wo", "w.txt",
                                                             "-fm", "fmask.fits",
                                                             "-wt", "1",
                                                             "-bf", std::to_string(kBfatal),
                                                             "-pf", std::to_string(kPfatal),
                                                             "-bp", std::to_string(kBpass),
                                                             "-ag", std::to_string(kMinGood),
                                                             "-cf", "0.2",
                                                             "-cm", "5"},
                     opts);
    ASSERT_EQ(r.status, 0) << r.out;

    expect_same(testkit::read_image(dir.file("m.fits")).fpixels, want.means, "mean");
    expect_same(testkit::read_image(dir.file("s.fits")).fpixels, want.sdevs, "sdev");
    EXPECT_EQ(testkit::read_image(dir.file("a.fits")).pixels, want.amask);
    std::istringstream list(testkit::read_text(dir.file("w.txt")));
    for (size_t i = 0; i < in.names.size(); ++i) {
        double w = 0;
        std::string name;
        ASSERT_TRUE(list >> w >> name);
        EXPECT_EQ(name, in.names[i]);
        EXPECT_NEAR(w, want.weights[i], 5e-5);
    }
}
