// End-to-end tests of the installed sample-data generator: what it writes, that one seed
// always gives the same bytes, and how it refuses bad arguments.
#include <algorithm>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "testkit.h"

using namespace testkit;

namespace {

RunResult run_in(const TempDir& d, std::vector<std::string> args, std::string prog = "mksample") {
    RunOptions in_d;
    in_d.cwd = d.path();
    return run(installed_program(prog), args, in_d);
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
    const auto flat = generate(plenor, {"--no-stackle"}), seeded = generate(other, {"-s", "8"});
    EXPECT_TRUE(part.size() == 3 * 4 + 6 && flat.size() == 8);
    std::map<std::string, std::vector<double>> px; // of every image, after its BITPIX and size
    for (const auto& [name, bytes] : all) {
        if (name.find(".fits") == std::string::npos)
            continue;
        const Image im = read_image(d.file(name));
        const bool one = !flat.count(name) || name == "dce_pmask.fits" || name == "flat_cmask.fits";
        EXPECT_EQ(im.bitpix, name.find("mask") == std::string::npos ? -32 : 16) << name;
        EXPECT_EQ(im.pixels.size(), one ? 3000u : 6000u) << name;
        px[name] = im.pixels;
        EXPECT_TRUE(name == "fmask.fits" || bytes != seeded.at(name)) << name; // pixels of the seed
    }
    for (std::string kind : {"data", "sdev", "bmask", "pmask"}) {
        EXPECT_EQ(all[kind + ".list"],
                  kind + "_001.fits\n" + kind + "_002.fits\n" + kind + "_003.fits\n");
        std::transform(kind.begin(), kind.end(), kind.begin(), ::toupper);
        EXPECT_NE(all["stackle.nml"].find("\n&COADD_" + kind + "\n  "), std::string::npos) << kind;
    }
    EXPECT_EQ(count_of(all["plenor.nml"], "mask.fits',\n"), 3); // the three masks are named
    auto with = [&](const char* name, size_t from, int bit) {
        const auto begin = px[name].begin() + from;
        return std::count_if(begin, begin + 3000, [bit](double v) { return (int(v) & bit) != 0; });
    };
    EXPECT_TRUE(with("fmask.fits", 0, 1) == 34 * 46 && with("fmask.fits", 0, 2) == 34 * 46);
    EXPECT_TRUE(with("dce_dmask.fits", 0, 0x4000) > 0 && with("dce_dmask.fits", 3000, 0x4000) > 0);
    part.insert(flat.begin(), flat.end());
    EXPECT_EQ(all, part);
    for (const std::string program : {"stackle", "plenor"}) { // the namelists drive good runs
        const RunResult r = run_in(d, {"-n", program + ".nml"}, program);
        EXPECT_EQ(r.status == 0 ? "" : r.err, "") << program;
    }
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
        const bool refused = r.status == 64 && r.err.rfind("mksample: ", 0) == 0;
        EXPECT_TRUE(refused && r.err.find(reason) != std::string::npos) << reason << ": " << r.err;
        EXPECT_TRUE(!file_exists(d.file("out")) && read_text(d.file("file")) == "not a folder\n");
    }
}
