// End-to-end tests of the installed sample-data generator: what it writes, that one seed
// always gives the same bytes, and how it refuses bad arguments.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <tuple>

#include <gtest/gtest.h>

#include "testkit.h"

using namespace testkit;

namespace {

// Runs the generator into `d` with the `extra` arguments; true when it ended with status 0.
bool generate(const TempDir& d, std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"-o", d.path()});
    const RunResult r = run(installed_program("mksample"), extra);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0;
}

// The value text of keyword `name` ("" when absent), without the trailing blanks of a quoted
// text (they carry no meaning in FITS).
std::string key_of(const std::string& path, const std::string& name) {
    std::string v;
    if (!read_keyword(path, name, v))
        return "";
    while (v.size() > 2 && v.back() == '\'' && v[v.size() - 2] == ' ')
        v.erase(v.size() - 2, 1);
    return v;
}

// BITPIX, axes and file size (one header block and the pixels, padded to 2880 bytes).
struct Shape {
    int bitpix;
    std::vector<long> axes;
    size_t bytes;
};

void expect_shape(const std::string& path, const Shape& s) {
    const Image im = read_image(path);
    EXPECT_EQ(im.bitpix, s.bitpix) << path;
    EXPECT_EQ(im.naxes, s.axes) << path;
    EXPECT_EQ(read_text(path).size(), s.bytes) << path;
}

std::map<std::string, std::string> contents(const TempDir& d) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(d.path()))
        files[e.path().filename().string()] = read_text(e.path().string());
    return files;
}

// Pixels with `bit` set in plane `k` of `n` pixels (the whole image when `n` is 0).
long count_bits(const Image& im, int bit, size_t k = 0, size_t n = 0) {
    const auto b = im.pixels.begin() + static_cast<long>(k * n);
    const auto e = n == 0 ? im.pixels.end() : b + static_cast<long>(n);
    return std::count_if(b, e, [bit](double v) { return (static_cast<int>(v) & bit) != 0; });
}

// 60 x 50 pixels: 12000 bytes as float (5 blocks), 6000 as 16 bits (3 blocks), twice that
// for two planes (9 and 5 blocks); plus the header block.
const Shape kFloat{-32, {60, 50}, 6 * 2880}, kShort{16, {60, 50}, 4 * 2880};
const Shape kFloat2{-32, {60, 50, 2}, 10 * 2880}, kShort2{16, {60, 50, 2}, 6 * 2880};

} // namespace

// A set of 3 frames of 60 x 50 pixels with 2 DCE planes: every file with its shape, the
// list files and namelists naming exactly the files written, then the pixels: sky, NaNs,
// flagged cosmic-ray hits, the flat near 1, and the mask bits the sample settings use.
TEST(MksampleSet, FilesShapesListsNamelistsAndPixels) {
    TempDir d;
    ASSERT_TRUE(generate(d, {"-n", "3", "-W", "60", "-H", "50", "-z", "2"}));
    const std::string nml = read_text(d.file("stackle.nml"));
    EXPECT_NE(nml.find("\n&STACKLE"), std::string::npos);
    for (const std::string kind : {"data", "sdev", "bmask", "pmask"}) {
        std::string list, section = "&COADD_" + kind + "\n";
        std::transform(section.begin(), section.end(), section.begin(), ::toupper);
        const bool is_float = kind == "data" || kind == "sdev";
        for (const std::string& name :
             {kind + "_001.fits", kind + "_002.fits", kind + "_003.fits"}) {
            list += name + "\n";
            section += "  " + name + "\n";
            expect_shape(d.file(name), is_float ? kFloat : kShort);
            EXPECT_EQ(key_of(d.file(name), "FOVID"), is_float ? "26" : "") << name;
        }
        EXPECT_EQ(read_text(d.file(kind + ".list")), list);
        EXPECT_NE(nml.find("\n" + section + "&END\n"), std::string::npos) << section;
    }
    // The frames lie in FOV 26, bit 1 of the FMASK; FOV 27 (bit 2) overlaps it.
    expect_shape(d.file("fmask.fits"), kShort);
    EXPECT_EQ(key_of(d.file("fmask.fits"), "FOVLIST"), "'[26, 27]'");
    EXPECT_EQ(key_of(d.file("fmask.fits"), "BITLIST"), "'[1, 2]'");
    EXPECT_EQ(key_of(d.file("fmask.fits"), "USEFOVID"), "26");
    const std::string pnml = read_text(d.file("plenor.nml"));
    EXPECT_NE(pnml.find("\n&PLENORIN\n"), std::string::npos);
    const std::vector<std::tuple<std::string, std::string, Shape>> inputs = {
        {"FITS_Input_File", "dce.fits", kFloat2},
        {"Input_Uncertainty_File", "dce_unc.fits", kFloat2},
        {"FITS_Flatfield_File", "flat.fits", kFloat2},
        {"Transmission_Cal_Flatfile", "calflat.fits", kFloat2},
        {"Pmask_File", "dce_pmask.fits", kShort},
        {"Dmask_File", "dce_dmask.fits", kShort2},
        {"Cmask_File", "flat_cmask.fits", kShort}};
    for (const auto& [key, file, shape] : inputs) {
        EXPECT_NE(pnml.find("\n  " + key + " = '" + file + "',\n"), std::string::npos) << key;
        expect_shape(d.file(file), shape);
    }

    // Inside a 2-pixel border (rows 2..47), FOV 26 covers columns x < 0.6 * 60 (2..35), FOV
    // 27 columns x >= 0.4 * 60 (24..57): 34 x 46 pixels each.
    const size_t plane = 60 * 50;
    const Image fmask = read_image(d.file("fmask.fits"));
    EXPECT_EQ(count_bits(fmask, 1), 34 * 46);
    EXPECT_EQ(count_bits(fmask, 2), 34 * 46);
    const Image pmask = read_image(d.file("pmask_001.fits"));
    EXPECT_GE(count_bits(pmask, 64), 1);
    EXPECT_EQ(read_image(d.file("pmask_003.fits")).pixels, pmask.pixels);
    for (const std::string n : {"001", "003"}) {
        const Image data = read_image(d.file("data_" + n + ".fits"));
        const Image sdev = read_image(d.file("sdev_" + n + ".fits"));
        const Image bm = read_image(d.file("bmask_" + n + ".fits"));
        size_t nans = 0, above_90 = 0;
        for (size_t p = 0; p < plane; ++p) {
            const float v = data.fpixels[p];
            nans += std::isnan(v);
            above_90 += v > 90.0f;
            const bool hit = (static_cast<int>(bm.pixels[p]) & 128) != 0;
            EXPECT_TRUE(std::isnan(v) || sdev.fpixels[p] > 0.0f) << "sdev of pixel " << p;
            EXPECT_TRUE(std::isnan(v) || !hit || v > 400.0f) << "flagged hit " << p << ": " << v;
        }
        EXPECT_GE(nans, 1u);
        EXPECT_LT(nans, plane / 100);
        EXPECT_GT(above_90, (plane - nans) / 2); // the median is sky
        EXPECT_GE(count_bits(bm, 128), 1);
        EXPECT_GE(count_bits(bm, 4), 1);
    }
    const Image flat = read_image(d.file("flat.fits"));
    const Image cm = read_image(d.file("flat_cmask.fits"));
    long nan_flagged = 0;
    for (size_t p = 0; p < plane; ++p) { // values near 1, then positive uncertainties
        const float v = flat.fpixels[p], sigma = flat.fpixels[plane + p];
        nan_flagged += std::isnan(v) && (static_cast<int>(cm.pixels[p]) & 256) != 0;
        EXPECT_TRUE(std::isnan(v) || (std::fabs(v - 1.0f) < 0.2f && sigma > 0.0f))
            << p << ": " << v;
    }
    EXPECT_GE(nan_flagged, 1);
    const std::vector<float> dce = read_image(d.file("dce.fits")).fpixels;
    EXPECT_EQ(std::count_if(dce.begin(), dce.end(), [](float v) { return v <= 0.0f; }), 0);
    EXPECT_GE(count_bits(read_image(d.file("dce_pmask.fits")), 128), 1);
    const Image dm = read_image(d.file("dce_dmask.fits"));
    for (size_t k = 0; k < 2; ++k)
        EXPECT_GE(count_bits(dm, 0x4000, k, plane), 1) << "plane " << k;
}

// One seed gives the same bytes in every run, whichever group of inputs is left out; another
// seed gives other pixels.
TEST(MksampleSeed, SameSeedSameBytesInEachGroupOtherSeedOtherPixels) {
    TempDir full, only_stackle, only_plenor, other;
    ASSERT_TRUE(generate(full, {"-s", "7"}));
    ASSERT_TRUE(generate(only_stackle, {"-s", "7", "--no-plenor"}));
    ASSERT_TRUE(generate(only_plenor, {"-s", "7", "--no-stackle"}));
    ASSERT_TRUE(generate(other, {"-s", "8"}));
    expect_shape(full.file("data_005.fits"), {-32, {64, 48}, 6 * 2880}); // the default size
    const auto all = contents(full), stackle = contents(only_stackle);
    const auto plenor = contents(only_plenor);
    EXPECT_EQ(stackle.size(), 26u); // 5 frames of 4 kinds, the FMASK, 4 lists, the namelist
    EXPECT_EQ(plenor.size(), 8u);   // DCE, uncertainty, flat, calibrator flat, 3 masks, namelist
    EXPECT_EQ(all.size(), stackle.size() + plenor.size());
    for (const auto& [name, bytes] : all) {
        const auto& group = stackle.count(name) != 0 ? stackle : plenor;
        EXPECT_TRUE(group.count(name) != 0 && group.at(name) == bytes) << name;
    }
    for (const std::string f : {"data_001.fits", "bmask_001.fits", "dce.fits", "flat.fits"})
        EXPECT_NE(read_image(full.file(f)).fpixels, read_image(other.file(f)).fpixels) << f;
}

// Help, then refused arguments and folders: status 64, the reason on standard error, nothing
// written.  Each runs in a fresh folder holding only the plain file "file"; "out" must not
// come into existence.
TEST(MksampleArgs, HelpSucceedsRefusalsEndWithStatus64AndWriteNothing) {
    const RunResult help = run(installed_program("mksample"), {"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: mksample -o DIR", 0), 0u) << help.out;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no output folder given (-o DIR)"},
        {{"-n", "3"}, "no output folder given"},
        {{"-o", "out", "-n", "0"}, "bad value \"0\" for -n (expected 1 to 9999)"},
        {{"-o", "out", "-n", "10000"}, "bad value \"10000\" for -n"},
        {{"-o", "out", "-W", "abc"}, "bad value \"abc\" for -W"},
        {{"-o", "out", "-H", "12x"}, "bad value \"12x\" for -H"},
        {{"-o", "out", "-z", "65"}, "bad value \"65\" for -z (expected 1 to 64)"},
        {{"-o", "out", "-s", "-1"}, "bad value \"-1\" for -s"},
        {{"-o", "out", "-W", "65536", "-H", "65536"}, "frame of 65536 x 65536 pixels is too large"},
        {{"-o", "out", "-x"}, "unknown argument \"-x\""},
        {{"-o", "out", "stray"}, "unknown argument \"stray\""},
        {{"-o", "out", "--no-plenor", "--no-stackle"}, "exclude each other"},
        {{"-o", "out", "-n"}, "option -n needs a value"},
        {{"-o", "file"}, "not a folder"},
        {{"-o", "out/parent"}, "cannot create folder"}};
    for (const auto& [args, reason] : cases) {
        TempDir d;
        write_text(d.file("file"), "not a folder\n");
        RunOptions in_d;
        in_d.cwd = d.path();
        const RunResult r = run(installed_program("mksample"), args, in_d);
        EXPECT_EQ(r.status, 64) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err.rfind("mksample: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(d.file("out"))) << ::testing::PrintToString(args);
        EXPECT_EQ(read_text(d.file("file")), "not a folder\n");
    }
}
