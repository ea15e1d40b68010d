// End-to-end tests of the installed sample-data generator: what it writes, that one seed
// always gives the same bytes, and how it refuses bad arguments.
#include <algorithm>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "testkit.h"

using namespace testkit;

namespace {

RunResult run_in(const TempDir& d, const std::vector<std::string>& args) {
    RunOptions in_d;
    in_d.cwd = d.path();
    return run(installed_program("mksample"), args, in_d);
}

// Runs the generator in `d` for 3 frames of 60 x 50 pixels with 2 DCE planes and the `more`
// arguments, which must succeed; returns the files of `d` and their bytes.
std::map<std::string, std::string> generate(const TempDir& d, std::vector<std::string> more) {
    more.insert(more.end(), {"-o", ".", "-n", "3", "-W", "60", "-H", "50", "-z", "2"});
    const RunResult r = run_in(d, more);
    EXPECT_EQ(r.status == 0 ? "" : r.err, "");
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(d.path()))
        files[e.path().filename().string()] = read_text(e.path().string());
    return files;
}

} // namespace

// Every file with its BITPIX and planes, named by the lists and namelists.  Inside a 2-pixel
// border (rows 2..47) FOV 26 (bit 1 of the FMASK) covers columns x < 0.6 * 60 (2..35), FOV 27
// (bit 2) columns x >= 0.4 * 60 (24..57): 34 x 46 pixels each.  Cosmic-ray hits flagged 128
// are bright; each DCE plane has pixels to skip.  One seed gives the same bytes in every run,
// whichever group of inputs is left out (frames of 4 kinds, the FMASK, 4 lists and a namelist
// for co-addition, 7 images and a namelist for flat-fielding); another seed gives other pixels.
TEST(Mksample, FilesListsNamelistsPixelsAndSeeds) {
    TempDir d, stackle, plenor, other;
    auto all = generate(d, {}), part = generate(stackle, {"--no-plenor"});
    const std::string nml = all["stackle.nml"], pnml = all["plenor.nml"];
    auto image = [&](const std::string& name, long planes) {
        const Image im = read_image(d.file(name));
        EXPECT_EQ(im.bitpix, name.find("mask") == std::string::npos ? -32 : 16) << name;
        EXPECT_EQ(im.pixels.size(), 3000u * planes) << name;
        return im.pixels;
    };
    for (std::string kind : {"data", "sdev", "bmask", "pmask"}) {
        image(kind + "_003.fits", 1);
        EXPECT_EQ(all[kind + ".list"],
                  kind + "_001.fits\n" + kind + "_002.fits\n" + kind + "_003.fits\n");
        std::transform(kind.begin(), kind.end(), kind.begin(), ::toupper);
        EXPECT_NE(nml.find("\n&COADD_" + kind + "\n  "), std::string::npos) << kind;
    }
    EXPECT_NE(pnml.find("\n&PLENORIN\n"), std::string::npos);
    for (const char* entry :
         {"FITS_Input_File = 'dce.fits'", "Input_Uncertainty_File = 'dce_unc.fits'",
          "FITS_Flatfield_File = 'flat.fits'", "Transmission_Cal_Flatfile = 'calflat.fits'",
          "Pmask_File = 'dce_pmask.fits'", "Dmask_File = 'dce_dmask.fits'",
          "Cmask_File = 'flat_cmask.fits'"})
        EXPECT_NE(pnml.find(std::string("\n  ") + entry + ",\n"), std::string::npos) << entry;
    for (const char* f : {"dce.fits", "dce_unc.fits", "flat.fits", "calflat.fits"})
        image(f, 2);
    image("dce_pmask.fits", 1), image("flat_cmask.fits", 1);
    const std::vector<double> fov = image("fmask.fits", 1), dm = image("dce_dmask.fits", 2);
    const std::vector<double> data = image("data_002.fits", 1), bm = image("bmask_002.fits", 1);
    auto with = [](auto begin, long n, int bit) {
        return std::count_if(begin, begin + n, [bit](double v) { return (int(v) & bit) != 0; });
    };
    EXPECT_TRUE(with(fov.begin(), 3000, 1) == 34 * 46 && with(fov.begin(), 3000, 2) == 34 * 46);
    EXPECT_TRUE(with(dm.begin(), 3000, 0x4000) > 0 && with(dm.begin() + 3000, 3000, 0x4000) > 0);
    EXPECT_GT(with(bm.begin(), 3000, 128), 0);
    for (size_t p = 0; p < 3000; ++p)
        EXPECT_TRUE((int(bm[p]) & 128) == 0 || data[p] > 400) << p << ": " << data[p];
    const auto flat = generate(plenor, {"--no-stackle"});
    EXPECT_TRUE(part.size() == 3 * 4 + 6 && flat.size() == 8);
    part.insert(flat.begin(), flat.end());
    EXPECT_EQ(all, part);
    generate(other, {"-s", "8"});
    for (const std::string f : {"data_001.fits", "bmask_001.fits", "dce.fits", "flat.fits"})
        EXPECT_NE(read_image(d.file(f)).fpixels, read_image(other.file(f)).fpixels) << f;
}

// Help, then refusals: status 64, the reason on standard error, nothing written; each runs in a
// fresh folder holding only the plain file "file".
TEST(Mksample, HelpSucceedsRefusalsEndWithStatus64AndWriteNothing) {
    const RunResult help = run(installed_program("mksample"), {"-h"});
    EXPECT_TRUE(help.status == 0 && help.out.rfind("usage: mksample -o DIR", 0) == 0) << help.out;
    for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-n", "3"}, "no output folder given (-o DIR)"},
             {{"-o", "out", "-n", "10000"}, "bad value \"10000\" for -n (expected 1 to 9999)"},
             {{"-o", "out", "-W", "65536", "-H", "65536"}, "frame of 65536 x 65536 pixels"},
             {{"-o", "out", "stray"}, "unknown argument \"stray\""},
             {{"-o", "out", "--no-plenor", "--no-stackle"}, "exclude each other"},
             {{"-o", "file"}, "not a folder"},
             {{"-o", "out/parent"}, "cannot create folder"}}) {
        TempDir d;
        write_text(d.file("file"), "not a folder\n");
        const RunResult r = run_in(d, args);
        EXPECT_TRUE(r.status == 64 && r.err.rfind("mksample: ", 0) == 0 &&
                    r.err.find(reason) != std::string::npos)
            << ::testing::PrintToString(args) << ": " << r.status << " " << r.err;
        EXPECT_TRUE(!file_exists(d.file("out")) && read_text(d.file("file")) == "not a folder\n");
    }
}
