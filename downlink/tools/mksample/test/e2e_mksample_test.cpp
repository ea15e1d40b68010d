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

// Runs the generator in `d` with `args`.
RunResult generate(const TempDir& d, const std::vector<std::string>& args) {
    RunOptions in_d;
    in_d.cwd = d.path();
    return run(installed_program("mksample"), args, in_d);
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The files of a folder and their bytes.
std::map<std::string, std::string> contents(const TempDir& d) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(d.path()))
        files[e.path().filename().string()] = read_text(e.path().string());
    return files;
}

} // namespace

// 3 frames of 60 x 50 pixels with 2 DCE planes: every file with its type and axes, named by the
// lists and namelists, then pixels: inside a 2-pixel border (rows 2..47) FOV 26 (bit 1 of the
// FMASK) covers columns x < 0.6 * 60 (2..35), FOV 27 (bit 2) columns x >= 0.4 * 60 (24..57):
// 34 x 46 pixels each; cosmic-ray hits flagged 128 are bright; the flat is near 1.
TEST(Mksample, FilesListsNamelistsAndPixels) {
    TempDir d;
    ASSERT_EQ(generate(d, {"-o", ".", "-n", "3", "-W", "60", "-H", "50", "-z", "2"}).status, 0);
    const std::string nml = read_text(d.file("stackle.nml")),
                      pnml = read_text(d.file("plenor.nml"));
    auto expect_image = [&](const std::string& name, int bitpix, long nz, const char* fov) {
        const Image im = read_image(d.file(name));
        EXPECT_EQ(im.bitpix, bitpix) << name;
        EXPECT_EQ(im.naxes, (nz == 1 ? std::vector<long>{60, 50} : std::vector<long>{60, 50, nz}));
        std::string v;
        EXPECT_EQ(read_keyword(d.file(name), "FOVID", v) ? v : "", fov) << name;
        return im;
    };
    for (const std::string kind : {"DATA", "SDEV", "BMASK", "PMASK"}) {
        std::string list, section = "\n&COADD_" + kind + "\n", file(kind.size(), ' ');
        std::transform(kind.begin(), kind.end(), file.begin(), ::tolower);
        for (const char* n : {"_001.fits", "_002.fits", "_003.fits"}) {
            list += file + n + "\n", section += "  " + file + n + "\n";
            const bool real = kind == "DATA" || kind == "SDEV";
            expect_image(file + n, real ? -32 : 16, 1, real ? "26" : "");
        }
        EXPECT_EQ(read_text(d.file(file + ".list")), list);
        EXPECT_TRUE(has(nml, section + "&END\n")) << section;
    }
    for (const auto& [key, file, bitpix, nz] :
         std::vector<std::tuple<std::string, std::string, int, long>>{
             {"FITS_Input_File", "dce.fits", -32, 2},
             {"Input_Uncertainty_File", "dce_unc.fits", -32, 2},
             {"FITS_Flatfield_File", "flat.fits", -32, 2},
             {"Transmission_Cal_Flatfile", "calflat.fits", -32, 2},
             {"Pmask_File", "dce_pmask.fits", 16, 1},
             {"Dmask_File", "dce_dmask.fits", 16, 2},
             {"Cmask_File", "flat_cmask.fits", 16, 1}}) {
        EXPECT_TRUE(has(pnml, "\n&PLENORIN\n") && has(pnml, "\n  " + key + " = '" + file + "',\n"));
        expect_image(file, bitpix, nz, "");
    }
    std::string v;
    EXPECT_TRUE(read_keyword(d.file("fmask.fits"), "FOVLIST", v) && has(v, "'[26, 27]"));
    EXPECT_TRUE(read_keyword(d.file("fmask.fits"), "BITLIST", v) && has(v, "'[1, 2]"));
    const std::vector<double> fov = expect_image("fmask.fits", 16, 1, "").pixels;
    for (int bit : {1, 2})
        EXPECT_EQ(std::count_if(fov.begin(), fov.end(), [bit](double v) { return int(v) & bit; }),
                  34 * 46);
    const Image data = read_image(d.file("data_002.fits")),
                bm = read_image(d.file("bmask_002.fits"));
    const Image flat = read_image(d.file("flat.fits")), dm = read_image(d.file("dce_dmask.fits"));
    int nans = 0, hits = 0, bad[2] = {0, 0};
    for (size_t p = 0; p < 3000; ++p) {
        nans += std::isnan(data.fpixels[p]);
        hits += (static_cast<int>(bm.pixels[p]) & 128) != 0;
        EXPECT_TRUE(!(static_cast<int>(bm.pixels[p]) & 128) || !(data.fpixels[p] < 400)) << p;
        EXPECT_TRUE(std::isnan(flat.fpixels[p]) ||
                    (std::fabs(flat.fpixels[p] - 1) < 0.2f && flat.fpixels[3000 + p] > 0))
            << p;
        bad[0] += dm.pixels[p] == 0x4000, bad[1] += dm.pixels[3000 + p] == 0x4000;
    }
    EXPECT_TRUE(nans > 0 && nans < 30 && hits > 0 && bad[0] > 0 && bad[1] > 0);
}

// One seed gives the same bytes in every run, whichever group of inputs is left out (the
// default size is 64 x 48); another seed gives other pixels.
TEST(Mksample, SameSeedSameBytesInEachGroupOtherSeedOtherPixels) {
    TempDir full, stackle, plenor, other;
    ASSERT_EQ(generate(full, {"-o", ".", "-s", "7"}).status, 0);
    ASSERT_EQ(generate(stackle, {"-o", ".", "-s", "7", "--no-plenor"}).status, 0);
    ASSERT_EQ(generate(plenor, {"-o", ".", "-s", "7", "--no-stackle"}).status, 0);
    ASSERT_EQ(generate(other, {"-o", ".", "-s", "8"}).status, 0);
    EXPECT_EQ(read_image(full.file("data_005.fits")).naxes, (std::vector<long>{64, 48}));
    auto all = contents(full), parts = contents(stackle), flat = contents(plenor);
    EXPECT_EQ(parts.size(), 26u); // 5 frames of 4 kinds, the FMASK, 4 lists, the namelist
    EXPECT_EQ(flat.size(), 8u);
    parts.insert(flat.begin(), flat.end());
    EXPECT_EQ(all, parts);
    for (const std::string f : {"data_001.fits", "bmask_001.fits", "dce.fits", "flat.fits"})
        EXPECT_NE(read_image(full.file(f)).fpixels, read_image(other.file(f)).fpixels) << f;
}

// Help, then refusals: status 64, the reason on standard error, nothing written; each runs in a
// fresh folder holding only the plain file "file".
TEST(Mksample, HelpSucceedsRefusalsEndWithStatus64AndWriteNothing) {
    const RunResult help = run(installed_program("mksample"), {"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: mksample -o DIR", 0), 0u) << help.out;
    for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-n", "3"}, "no output folder given (-o DIR)"},
             {{"-o", "out", "-n", "0"}, "bad value \"0\" for -n (expected 1 to 9999)"},
             {{"-o", "out", "-n", "10000"}, "bad value \"10000\" for -n"},
             {{"-o", "out", "-W", "abc"}, "bad value \"abc\" for -W"},
             {{"-o", "out", "-H", "12x"}, "bad value \"12x\" for -H"},
             {{"-o", "out", "-z", "65"}, "bad value \"65\" for -z (expected 1 to 64)"},
             {{"-o", "out", "-s", "-1"}, "bad value \"-1\" for -s"},
             {{"-o", "out", "-W", "65536", "-H", "65536"},
              "frame of 65536 x 65536 pixels is too large"},
             {{"-o", "out", "stray"}, "unknown argument \"stray\""},
             {{"-o", "out", "--no-plenor", "--no-stackle"}, "exclude each other"},
             {{"-o", "out", "-n"}, "option -n needs a value"},
             {{"-o", "file"}, "not a folder"},
             {{"-o", "out/parent"}, "cannot create folder"}}) {
        TempDir d;
        write_text(d.file("file"), "not a folder\n");
        const RunResult r = generate(d, args);
        EXPECT_EQ(r.status, 64) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err.rfind("mksample: ", 0), 0u) << r.err;
        EXPECT_TRUE(has(r.err, reason)) << r.err;
        EXPECT_EQ(contents(d), (std::map<std::string, std::string>{{"file", "not a folder\n"}}));
    }
}
