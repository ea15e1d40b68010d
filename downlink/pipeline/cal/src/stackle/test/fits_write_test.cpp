// Unit tests of the product writers of stackle: images, comment block, weights list, keyword
// replacement.  The comment block of a plain run and the first-file headers are checked on the
// installed program by e2e_coadd_test.cpp.
#include "coadd_fits.h"
#include "fits_test_support.h"
#include "testkit.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <vector>

using testkit::Keyword;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Names of the entries of a folder, sorted.
std::vector<std::string> folder_entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class FitsWrite : public ::testing::Test {
  protected:
    testkit::TempDir dir;
    control_settings cs = test_settings(3, 2);
    const std::vector<float> pixels = {1.0f, -2.5f, kNaN, 4.0f, 1e30f, 0.0f};
    const std::string out = dir.file("out.fits");

    void SetUp() override {
        set_text(cs.data_out_file, cs.data_out_file_f, "out.fits");
        set_text(cs.wts_out_file, cs.wts_out_file_f, "w.txt");
        set_text(cs.data_in_lfile, cs.data_in_lfile_f, "data.list");
        cs.num_files = 3;
    }
};

TEST_F(FitsWrite, ImageProductsReplaceEarlierFilesAndHoldThePixels) {
    testkit::write_float_image(out, {5, 5}, std::vector<float>(25, 9.0f),
                               {Keyword::integer("FOVID", 4)});
    ASSERT_EQ(write_flt_fits(out.c_str(), pixels.data(), &cs), 0);
    // Complete, but in place only at the commit of the run.
    EXPECT_EQ(testkit::read_image(out).naxes, (std::vector<long>{5, 5}));
    ASSERT_EQ(commit_products(), 0);
    const testkit::Image img = testkit::read_image(out);
    EXPECT_EQ(img.bitpix, -32);
    ASSERT_EQ(img.naxes, (std::vector<long>{3, 2}));
    for (size_t i = 0; i < pixels.size(); ++i) {
        EXPECT_EQ(bits_of(img.fpixels[i]), bits_of(pixels[i])) << "pixel " << i;
    }
    std::string v;
    EXPECT_FALSE(testkit::read_keyword(out, "FOVID", v));
    EXPECT_EQ(testkit::count_of(testkit::read_text(out), "[STACKLE] MODULE"), 1);

    const std::string am = dir.file("am.fits");
    set_text(cs.amask_out_file, cs.amask_out_file_f, am);
    ASSERT_EQ(write_amask(std::vector<int16_t>{0, 0x1000, 0x3000, 7, -1, 0}.data(), &cs), 0);
    ASSERT_EQ(commit_products(), 0);
    const testkit::Image mask = testkit::read_image(am);
    EXPECT_EQ(mask.bitpix, 16);
    EXPECT_EQ(mask.naxes, (std::vector<long>{3, 2}));
    EXPECT_EQ(mask.pixels, (std::vector<double>{0, 4096, 12288, 7, -1, 0}));
    EXPECT_EQ(folder_entries(dir.path()), (std::vector<std::string>{"am.fits", "out.fits"}));
}

// The data writer's message and status in a run are cases of e2e_hostile_test.cpp.
TEST_F(FitsWrite, UncreatableAmaskIsReportedAndReturnsFailure) {
    const std::string am = dir.file("no/am.fits");
    set_text(cs.amask_out_file, cs.amask_out_file_f, am);
    int rc = 0;
    EXPECT_EQ(printed([&] { rc = write_amask(std::vector<int16_t>(6, 0).data(), &cs); }),
              "\aERROR: Attempt to create FITS file " + am + " FAILED in write_amask().\n");
    EXPECT_NE(rc, 0);
    EXPECT_FALSE(testkit::file_exists(am));
}

TEST_F(FitsWrite, ProductWithFirstFileHeadersOrAFreshOne) {
    const std::string first = dir.file("d0.fits");
    testkit::write_float_image(first, {3, 2}, std::vector<float>(6, 9.0f),
                               {Keyword::integer("FOVID", 27)});
    cs.debug = 1;
    const std::string log = printed([&] {
        ASSERT_EQ(write_flt_fits_with_hdrs(first.c_str(), out.c_str(), pixels.data(), &cs), 0);
    });
    ASSERT_EQ(commit_products(), 0);
    EXPECT_NE(log.find("Beginning to write file " + out + " using write_flt_fits_from_dbl()\n" +
                       "Copy the HDU from " + first + " to " + out +
                       " in write_flt_fits_with_hdrs()\nHDU Copy SUCCESSFUL.\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Completed writing FLOAT DATA file " + out +
                       " using write_flt_fits_with_hdrs()\n"),
              std::string::npos);
    EXPECT_EQ(bits_of(testkit::read_image(out).fpixels[2]), bits_of(kNaN));

    // Without a readable first file the product gets a header of its own.
    cs.debug = 0;
    const std::string missing = dir.file("missing.fits");
    EXPECT_EQ(printed([&] {
                  ASSERT_EQ(
                      write_flt_fits_with_hdrs(missing.c_str(), out.c_str(), pixels.data(), &cs),
                      0);
              }),
              "fits_resize_img() failed.  Trying fits_create_img()...\n");
    ASSERT_EQ(commit_products(), 0);
    const testkit::Image img = testkit::read_image(out);
    EXPECT_EQ(img.bitpix, -32);
    EXPECT_EQ(img.naxes, (std::vector<long>{3, 2}));
    EXPECT_EQ(img.fpixels[3], 4.0f);
    std::string v;
    EXPECT_FALSE(testkit::read_keyword(out, "FOVID", v));
    EXPECT_EQ(stackle_comments(img).size(), 15u);
    EXPECT_EQ(folder_entries(dir.path()), (std::vector<std::string>{"d0.fits", "out.fits"}));
}

TEST_F(FitsWrite, CommentBlockWithEveryInputAndWeighting) {
    set_text(cs.sdev_out_file, cs.sdev_out_file_f, "sd.fits");
    set_text(cs.namelist, cs.namelist_f, "run.nl");
    set_text(cs.sdev_in_lfile, cs.sdev_in_lfile_f, "sdev.list");
    set_text(cs.bmask_in_lfile, cs.bmask_in_lfile_f, "bm.list");
    set_text(cs.pmask_in_lfile, cs.pmask_in_lfile_f, "pm.list");
    set_text(cs.fmask_in_file, cs.fmask_in_file_f, "fm.fits");
    cs.wts_out_file_f = 0;
    cs.use_weights = 1;
    cs.fov_for_wts = 27;
    cs.debug = 1;
    EXPECT_EQ(printed([&] { ASSERT_EQ(write_flt_fits(out.c_str(), pixels.data(), &cs), 0); }),
              "REMINDER: Maximum number of headers that may be *added* by stackle is: 30\n"
              "Completed writing FLOAT DATA file " +
                  out + "\n");
    ASSERT_EQ(commit_products(), 0);
    const std::vector<std::string> c = stackle_comments(testkit::read_image(out));
    const std::vector<std::string> want = {
        "[STACKLE] OUTPUT FILE:    Data = out.fits",
        "[STACKLE] OUTPUT FILE:    Sdev = sd.fits",
        "[STACKLE] Output Data file is the result of coadding 3 FITS files",
        "[STACKLE] These FITS files had dimensions:  xdim=3 & ydim=2",
        "[STACKLE] DCE weighting was TURNED ON",
        "[STACKLE] INPUT FILE:       Namelist = run.nl",
        "[STACKLE] INPUT FILE: Data file list = data.list",
        "[STACKLE] INPUT FILE: Sdev file list = sdev.list",
        "[STACKLE] Used BMASK file list bm.list",
        "[STACKLE] Used PMASK file list pm.list",
        "[STACKLE] Used FMASK file fm.fits",
        "[STACKLE]      with FOV NUMBER = 27 (used to calculate DCE weights)"};
    ASSERT_EQ(c.size(), 19u);
    EXPECT_EQ(std::vector<std::string>(c.begin() + 4, c.begin() + 16), want);

    // Without weighting the FOV line is left out even with an FOV number.
    cs.use_weights = 0;
    cs.debug = 0;
    ASSERT_EQ(write_flt_fits(out.c_str(), pixels.data(), &cs), 0);
    ASSERT_EQ(commit_products(), 0);
    const std::vector<std::string> off = stackle_comments(testkit::read_image(out));
    EXPECT_EQ(off.size(), 18u);
    EXPECT_EQ(off[14], "[STACKLE] Used FMASK file fm.fits");
    EXPECT_EQ(off[15], "[STACKLE] NOTE:  The output sdev FITS file is a quick approximation");
}

TEST_F(FitsWrite, WeightsListReplacesEarlierContentOrEndsTheRun) {
    const std::string w = dir.file("w.txt");
    testkit::write_text(w, "old content that is longer than the new list will be ......\n");
    set_text(cs.wts_out_file, cs.wts_out_file_f, w);
    const char names[3][STACKLE_STRLEN] = {"a.fits", "dir/b.fits", "c.fits"};
    const float weights[3] = {1.0f, 0.5f, 0.0f};
    ASSERT_EQ(write_weights_list(weights, names, &cs), 0);
    ASSERT_EQ(commit_products(), 0);
    EXPECT_EQ(testkit::read_text(w), "         1.0000  a.fits\n"
                                     "         0.5000  dir/b.fits\n"
                                     "         0.0000  c.fits\n");
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"w.txt"});

    set_text(cs.wts_out_file, cs.wts_out_file_f, dir.file("none/w.txt"));
    EXPECT_STACKLE_FAILS(write_weights_list(weights, names, &cs),
                         "ERROR: Unable to open Weights List File .*none/w.txt for writing\n");
}

TEST_F(FitsWrite, InsertIntKeywordLeavesOneCopy) {
    const std::string f = dir.file("k.fits");
    testkit::write_float_image(f, {1, 1}, {1.0f}, {Keyword::integer("FOVID", 3)});
    fitsfile* fptr = nullptr;
    int status = 0;
    int dup = 4;
    fits_open_file(&fptr, f.c_str(), READWRITE, &status);
    fits_write_key(fptr, TINT, "FOVID", &dup, "second copy", &status);
    fits_close_file(fptr, &status);
    ASSERT_EQ(status, 0);

    insert_int_keyword(f.c_str(), "FOVID", 29);
    int copies = 0;
    for (const std::string& card : testkit::read_image(f).cards) {
        if (card.compare(0, 8, "FOVID   ") == 0) {
            ++copies;
            EXPECT_NE(card.find(" 29 / VJ: added keyword"), std::string::npos) << card;
        }
    }
    EXPECT_EQ(copies, 1);
    EXPECT_STACKLE_FAILS(insert_int_keyword(dir.file("none.fits").c_str(), "FOVID", 1),
                         "ERROR: Attempt to open file .*none.fits FAILED in "
                         "insert_int_keyword\\(\\)\\.\n");
}

} // namespace
