// End-to-end tests of the installed sample-data generator: what it writes, that one seed
// always gives the same bytes, and how it refuses bad arguments.
#include "testkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <sys/stat.h>

using namespace testkit;

namespace {

const std::vector<std::string> kStackleFiles = {
    "data_001.fits",  "data_005.fits",  "sdev_001.fits",  "sdev_005.fits", "bmask_001.fits",
    "bmask_005.fits", "pmask_001.fits", "pmask_005.fits", "fmask.fits",    "data.list",
    "sdev.list",      "bmask.list",     "pmask.list",     "stackle.nml"};
const std::vector<std::string> kPlenorFiles = {
    "dce.fits",       "dce_unc.fits",   "flat.fits",       "calflat.fits",
    "dce_pmask.fits", "dce_dmask.fits", "flat_cmask.fits", "plenor.nml"};

RunResult mksample(const std::vector<std::string>& args) {
    return run(installed_program("mksample"), args);
}

RunResult generate(const TempDir& d, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"-o", d.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return mksample(args);
}

long file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// A FITS file with one header block and `data_bytes` of pixels, both padded to 2880.
long fits_size(long data_bytes) {
    return 2880 + (data_bytes + 2879) / 2880 * 2880;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// The integers of a bracketed list keyword such as '[26, 27]'.
std::vector<int> int_list(std::string text) {
    for (char& c : text)
        if (c == '[' || c == ']' || c == ',' || c == '\'')
            c = ' ';
    std::istringstream in(text);
    std::vector<int> v;
    for (int x; in >> x;)
        v.push_back(x);
    return v;
}

long count_bits(const Image& im, int bit) {
    return std::count_if(im.pixels.begin(), im.pixels.end(),
                         [bit](double v) { return (static_cast<int>(v) & bit) != 0; });
}

long count_nan(const Image& im) {
    return std::count_if(im.fpixels.begin(), im.fpixels.end(),
                         [](float v) { return std::isnan(v); });
}

float median_of_finite(const Image& im) {
    std::vector<float> v;
    for (float x : im.fpixels)
        if (!std::isnan(x))
            v.push_back(x);
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

int fovid_of(const std::string& path) {
    std::string v;
    EXPECT_TRUE(read_keyword(path, "FOVID", v)) << path;
    return std::stoi(v);
}

} // namespace

// ---------------------------------------------------------------------------------------
// Files, shapes and keywords of the default set

TEST(MksampleLayout, DefaultStackFramesHaveSizeTypeAndFovid) {
    TempDir d;
    RunResult r = generate(d);
    ASSERT_EQ(r.status, 0) << r.err;
    for (int i = 1; i <= 5; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%03d.fits", i);
        for (const std::string kind : {"data_", "sdev_"}) {
            Image im = read_image(d.file(kind + name));
            EXPECT_EQ(im.bitpix, -32);
            EXPECT_EQ(im.naxes, (std::vector<long>{64, 48}));
            EXPECT_EQ(file_size(d.file(kind + name)), fits_size(64 * 48 * 4));
            EXPECT_EQ(fovid_of(d.file(kind + name)), 26);
        }
        for (const std::string kind : {"bmask_", "pmask_"}) {
            Image im = read_image(d.file(kind + name));
            EXPECT_EQ(im.bitpix, 16);
            EXPECT_EQ(im.naxes, (std::vector<long>{64, 48}));
            EXPECT_EQ(file_size(d.file(kind + name)), fits_size(64 * 48 * 2));
        }
    }
}

TEST(MksampleLayout, FmaskListsAgreeWithFramesFovid) {
    TempDir d;
    ASSERT_EQ(generate(d).status, 0);
    std::string fov, bits, use;
    ASSERT_TRUE(read_keyword(d.file("fmask.fits"), "FOVLIST", fov));
    ASSERT_TRUE(read_keyword(d.file("fmask.fits"), "BITLIST", bits));
    ASSERT_TRUE(read_keyword(d.file("fmask.fits"), "USEFOVID", use));
    const std::vector<int> fovs = int_list(fov), bitv = int_list(bits);
    ASSERT_EQ(fovs.size(), bitv.size());
    const int frame_fov = fovid_of(d.file("data_001.fits"));
    EXPECT_EQ(std::stoi(use), frame_fov);
    auto at = std::find(fovs.begin(), fovs.end(), frame_fov);
    ASSERT_NE(at, fovs.end()) << "frame FOVID missing from FOVLIST " << fov;
    const int bit = bitv[static_cast<size_t>(at - fovs.begin())];
    Image fm = read_image(d.file("fmask.fits"));
    EXPECT_EQ(fm.bitpix, 16);
    const long inside = count_bits(fm, bit);
    EXPECT_GT(inside, 0);
    EXPECT_LT(inside, 64 * 48); // some pixels lie outside the weighting FOV
}

TEST(MksampleLayout, ListFilesAndNamelistSectionsNameTheSameFrames) {
    TempDir d;
    ASSERT_EQ(generate(d, {"-n", "3"}).status, 0);
    const std::string nml = read_text(d.file("stackle.nml"));
    const std::vector<std::string> nl = lines_of(nml);
    EXPECT_NE(nml.find("&STACKLE"), std::string::npos);
    for (const std::string kind : {"data", "sdev", "bmask", "pmask"}) {
        const std::vector<std::string> names = lines_of(read_text(d.file(kind + ".list")));
        ASSERT_EQ(names.size(), 3u) << kind;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(names[i], kind + "_00" + std::to_string(i + 1) + ".fits");
            EXPECT_TRUE(file_exists(d.file(names[i])));
        }
        std::string marker = "&COADD_" + kind;
        std::transform(marker.begin(), marker.end(), marker.begin(), ::toupper);
        auto start = std::find(nl.begin(), nl.end(), marker);
        ASSERT_NE(start, nl.end()) << marker;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(*(start + 1 + i), "  " + names[i]);
        EXPECT_EQ(*(start + 4), "&END");
    }
}

TEST(MksampleLayout, PlenorInputsHaveTheirShapesAndNamelist) {
    TempDir d;
    ASSERT_EQ(generate(d, {"-W", "10", "-H", "7", "-z", "3"}).status, 0);
    const std::vector<long> cube{10, 7, 3}, plane{10, 7}, pair{10, 7, 2};
    EXPECT_EQ(read_image(d.file("dce.fits")).naxes, cube);
    EXPECT_EQ(read_image(d.file("dce_unc.fits")).naxes, cube);
    EXPECT_EQ(read_image(d.file("flat.fits")).naxes, pair);
    EXPECT_EQ(read_image(d.file("calflat.fits")).naxes, pair);
    EXPECT_EQ(read_image(d.file("dce_pmask.fits")).naxes, plane);
    EXPECT_EQ(read_image(d.file("flat_cmask.fits")).naxes, plane);
    Image dm = read_image(d.file("dce_dmask.fits"));
    EXPECT_EQ(dm.naxes, cube);
    EXPECT_EQ(dm.bitpix, 16);
    EXPECT_EQ(file_size(d.file("dce.fits")), fits_size(10 * 7 * 3 * 4));
    const std::string nml = read_text(d.file("plenor.nml"));
    EXPECT_NE(nml.find("&PLENORIN\n"), std::string::npos);
    for (const std::string key :
         {"FITS_Input_File", "Input_Uncertainty_File", "FITS_Flatfield_File",
          "Transmission_Cal_Flatfile", "Pmask_File", "Dmask_File", "Cmask_File"}) {
        const size_t at = nml.find("  " + key + " = '");
        ASSERT_NE(at, std::string::npos) << key;
        const size_t open = nml.find('\'', at), close = nml.find('\'', open + 1);
        EXPECT_TRUE(file_exists(d.file(nml.substr(open + 1, close - open - 1)))) << key;
    }
}

// ---------------------------------------------------------------------------------------
// What the pixels hold

TEST(MksampleContent, FramesCarryNansAndFlaggedCosmicRays) {
    TempDir d;
    ASSERT_EQ(generate(d).status, 0);
    for (const std::string n : {"001", "004"}) {
        Image data = read_image(d.file("data_" + n + ".fits"));
        Image sdev = read_image(d.file("sdev_" + n + ".fits"));
        Image bm = read_image(d.file("bmask_" + n + ".fits"));
        EXPECT_GE(count_nan(data), 1);
        EXPECT_LT(count_nan(data), 64 * 48 / 100);
        const float median = median_of_finite(data);
        EXPECT_GT(median, 90.0f); // sky level of at least 100, below a few stars
        long flagged = 0;
        for (size_t p = 0; p < data.fpixels.size(); ++p) {
            if (!std::isnan(data.fpixels[p])) {
                EXPECT_GT(sdev.fpixels[p], 0.0f);
            }
            if ((static_cast<int>(bm.pixels[p]) & 128) == 0)
                continue;
            ++flagged;
            // A flagged hit adds at least 500 to the pixel (unless a NaN replaced it).
            if (!std::isnan(data.fpixels[p])) {
                EXPECT_GT(data.fpixels[p], median + 300.0f) << "pixel " << p;
            }
        }
        EXPECT_GE(flagged, 1);
        EXPECT_GE(count_bits(bm, 4), 1);
    }
}

TEST(MksampleContent, PermanentMaskIsTheSameForEveryFrame) {
    TempDir d;
    ASSERT_EQ(generate(d).status, 0);
    Image first = read_image(d.file("pmask_001.fits"));
    EXPECT_GE(count_bits(first, 64), 1);
    EXPECT_EQ(read_image(d.file("pmask_005.fits")).pixels, first.pixels);
}

TEST(MksampleContent, FlatCmaskAndDmaskFlagWhatTheSettingsTreatAsFatal) {
    TempDir d;
    ASSERT_EQ(generate(d, {"-z", "2"}).status, 0);
    Image flat = read_image(d.file("flat.fits"));
    Image cm = read_image(d.file("flat_cmask.fits"));
    const size_t plane = 64 * 48;
    long nan_flagged = 0;
    for (size_t p = 0; p < plane; ++p) {
        const float v = flat.fpixels[p];
        if (std::isnan(v)) {
            nan_flagged += (static_cast<int>(cm.pixels[p]) & 256) != 0;
            continue;
        }
        EXPECT_NEAR(v, 1.0f, 0.2f);
        EXPECT_GT(flat.fpixels[plane + p], 0.0f); // uncertainty plane
    }
    EXPECT_GE(nan_flagged, 1);
    EXPECT_GE(count_bits(read_image(d.file("dce_pmask.fits")), 128), 1);
    Image dm = read_image(d.file("dce_dmask.fits"));
    for (size_t k = 0; k < 2; ++k) {
        const auto b = dm.pixels.begin() + static_cast<long>(k * plane);
        EXPECT_GE(std::count_if(b, b + static_cast<long>(plane),
                                [](double v) { return (static_cast<int>(v) & 0x4000) != 0; }),
                  1)
            << "plane " << k;
    }
}

// ---------------------------------------------------------------------------------------
// Reproducibility

TEST(MksampleSeed, SameSeedGivesIdenticalBytes) {
    TempDir a, b;
    ASSERT_EQ(generate(a, {"-s", "42"}).status, 0);
    ASSERT_EQ(generate(b, {"-s", "42"}).status, 0);
    for (const auto* group : {&kStackleFiles, &kPlenorFiles})
        for (const std::string& f : *group)
            EXPECT_EQ(read_text(a.file(f)), read_text(b.file(f))) << f;
}

TEST(MksampleSeed, DifferentSeedGivesDifferentData) {
    TempDir a, b;
    ASSERT_EQ(generate(a, {"-s", "1"}).status, 0);
    ASSERT_EQ(generate(b, {"-s", "2"}).status, 0);
    for (const std::string f : {"data_001.fits", "bmask_001.fits", "dce.fits", "flat.fits"})
        EXPECT_NE(read_image(a.file(f)).fpixels, read_image(b.file(f)).fpixels) << f;
}

TEST(MksampleSeed, EachGroupCanBeLeftOutWithoutChangingTheOther) {
    TempDir full, only_stackle, only_plenor;
    ASSERT_EQ(generate(full, {"-s", "7"}).status, 0);
    ASSERT_EQ(generate(only_stackle, {"-s", "7", "--no-plenor"}).status, 0);
    ASSERT_EQ(generate(only_plenor, {"-s", "7", "--no-stackle"}).status, 0);
    for (const std::string& f : kStackleFiles) {
        EXPECT_EQ(read_text(full.file(f)), read_text(only_stackle.file(f))) << f;
        EXPECT_FALSE(file_exists(only_plenor.file(f))) << f;
    }
    for (const std::string& f : kPlenorFiles) {
        EXPECT_EQ(read_text(full.file(f)), read_text(only_plenor.file(f))) << f;
        EXPECT_FALSE(file_exists(only_stackle.file(f))) << f;
    }
}

// ---------------------------------------------------------------------------------------
// Command line

TEST(MksampleArgs, HelpPrintsUsageAndSucceeds) {
    RunResult r = mksample({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: mksample -o DIR", 0), 0u) << r.out;
}

TEST(MksampleArgs, BadArgumentsEndWithStatus64AndWriteNothing) {
    // "OUT" stands for a folder that must not come into existence.
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-n", "3"},
        {"-o", "OUT", "-n", "0"},
        {"-o", "OUT", "-n", "10000"},
        {"-o", "OUT", "-W", "abc"},
        {"-o", "OUT", "-H", "12x"},
        {"-o", "OUT", "-z", "65"},
        {"-o", "OUT", "-s", "-1"},
        {"-o", "OUT", "-W", "65536", "-H", "65536"},
        {"-o", "OUT", "-x"},
        {"-o", "OUT", "stray"},
        {"-o", "OUT", "--no-plenor", "--no-stackle"},
        {"-o", "OUT", "-n"}};
    for (const auto& c : cases) {
        TempDir d;
        std::vector<std::string> args = c;
        std::replace(args.begin(), args.end(), std::string("OUT"), d.file("out"));
        RunResult r = mksample(args);
        EXPECT_EQ(r.status, 64) << ::testing::PrintToString(c);
        EXPECT_EQ(r.err.rfind("mksample: ", 0), 0u) << r.err;
        EXPECT_FALSE(file_exists(d.file("out"))) << ::testing::PrintToString(c);
    }
}

TEST(MksampleArgs, UnwritableFolderEndsWithStatus64) {
    TempDir d;
    write_text(d.file("plain"), "not a folder\n");
    RunResult r = mksample({"-o", d.file("plain")});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("not a folder"), std::string::npos) << r.err;
    r = mksample({"-o", d.file("missing/parent")});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("cannot create folder"), std::string::npos) << r.err;
}
