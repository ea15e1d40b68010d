// Unit tests of the product writers of stackle: images, comment block, weights list.
#include "coadd_fits.h"
#include "fits_test_support.h"
#include "testkit.h"

#include <dirent.h>

#include <cstdlib>
#include <limits>
#include <regex>
#include <vector>

using testkit::Keyword;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::string kRule =
    "[STACKLE]===============================================================";

// Texts of the "[STACKLE]" COMMENT cards of a header, trailing blanks removed.
std::vector<std::string> stackle_comments(const testkit::Image& img) {
    std::vector<std::string> out;
    for (const std::string& card : img.cards) {
        if (card.compare(0, 17, "COMMENT [STACKLE]") == 0) {
            std::string text = card.substr(8);
            text.erase(text.find_last_not_of(' ') + 1);
            out.push_back(text);
        }
    }
    return out;
}

bool has_card(const testkit::Image& img, const std::string& key) {
    for (const std::string& card : img.cards) {
        if (card.compare(0, 8, (key + "        ").substr(0, 8)) == 0) {
            return true;
        }
    }
    return false;
}

// Names of the entries of a folder, "." and ".." left out.
std::vector<std::string> folder_entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    for (dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") {
            names.push_back(n);
        }
    }
    closedir(d);
    return names;
}

class FitsWrite : public ::testing::Test {
  protected:
    testkit::TempDir dir;
    control_settings cs = test_settings(3, 2);
    const std::vector<float> pixels = {1.0f, -2.5f, kNaN, 4.0f, 1e30f, 0.0f};

    void SetUp() override {
        set_text(cs.data_out_file, cs.data_out_file_f, "out.fits");
        set_text(cs.wts_out_file, cs.wts_out_file_f, "w.txt");
        set_text(cs.data_in_lfile, cs.data_in_lfile_f, "data.list");
        cs.num_files = 3;
    }
};

// ------------------------------------------------------------------ float images

TEST_F(FitsWrite, PlainFloatImageHoldsThePixelsAndOnlyStandardKeywords) {
    const std::string out = dir.file("out.fits");
    ASSERT_EQ(write_flt_fits(out.c_str(), pixels.data(), &cs), 0);
    const testkit::Image img = testkit::read_image(out);
    EXPECT_EQ(img.bitpix, -32);
    ASSERT_EQ(img.naxes, (std::vector<long>{3, 2}));
    for (size_t i = 0; i < pixels.size(); ++i) {
        EXPECT_EQ(bits_of(img.fpixels[i]), bits_of(pixels[i])) << "pixel " << i;
    }
    EXPECT_FALSE(has_card(img, "FOVID"));
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"out.fits"});
}

TEST_F(FitsWrite, ExistingFileIsReplaced) {
    const std::string out = dir.file("out.fits");
    testkit::write_float_image(out, {5, 5}, std::vector<float>(25, 9.0f),
                               {Keyword::integer("FOVID", 4)});
    ASSERT_EQ(write_flt_fits(out.c_str(), pixels.data(), &cs), 0);
    const testkit::Image img = testkit::read_image(out);
    EXPECT_EQ(img.naxes, (std::vector<long>{3, 2}));
    EXPECT_FALSE(has_card(img, "FOVID"));
    EXPECT_EQ(stackle_comments(img).front(), kRule);
    EXPECT_EQ(testkit::count_of(testkit::read_text(out), "[STACKLE] MODULE"), 1);
}

TEST_F(FitsWrite, UncreatableProductIsReportedAndReturnsFailure) {
    const std::string out = dir.file("no/such/folder/out.fits");
    testing::internal::CaptureStdout();
    const int rc = write_flt_fits(out.c_str(), pixels.data(), &cs);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\aERROR: Attempt to create FITS file " + out + " FAILED in write_flt_fits().\n");
    EXPECT_NE(rc, 0);
    EXPECT_FALSE(testkit::file_exists(out));

    const std::string am = dir.file("no/am.fits");
    set_text(cs.amask_out_file, cs.amask_out_file_f, am);
    const std::vector<int16_t> mask(6, 0);
    testing::internal::CaptureStdout();
    EXPECT_NE(write_amask(mask.data(), &cs), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\aERROR: Attempt to create FITS file " + am + " FAILED in write_amask().\n");
}

TEST_F(FitsWrite, ProductWithFirstFileHeaders) {
    // The first file is DOUBLE_IMG with a third axis of 1; the product keeps its keywords but
    // is a two-axis float image.
    const std::string first = dir.file("d0.fits");
    testkit::write_image(first, -64, {3, 2, 1}, {9, 9, 9, 9, 9, 9},
                         {Keyword::integer("FOVID", 27), Keyword::text("OBJECT", "field 7")});
    const std::string out = dir.file("out.fits");
    cs.debug = 1;
    testing::internal::CaptureStdout();
    ASSERT_EQ(write_flt_fits_with_hdrs(first.c_str(), out.c_str(), pixels.data(), &cs), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Beginning to write file " + out + " using write_flt_fits_from_dbl()\n" +
                       "Copy the HDU from " + first + " to " + out +
                       " in write_flt_fits_with_hdrs()\nHDU Copy SUCCESSFUL.\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Completed writing FLOAT DATA file " + out +
                       " using write_flt_fits_with_hdrs()\n"),
              std::string::npos);

    const testkit::Image img = testkit::read_image(out);
    EXPECT_EQ(img.bitpix, -32);
    EXPECT_EQ(img.naxes, (std::vector<long>{3, 2}));
    std::string v;
    ASSERT_TRUE(testkit::read_keyword(out, "FOVID", v));
    EXPECT_EQ(v, "27");
    ASSERT_TRUE(testkit::read_keyword(out, "OBJECT", v));
    EXPECT_EQ(v, "'field 7 '"); // FITS pads string values to 8 characters
    EXPECT_FALSE(has_card(img, "NAXIS3"));
    EXPECT_EQ(bits_of(img.fpixels[1]), bits_of(-2.5f));
    EXPECT_EQ(bits_of(img.fpixels[2]), bits_of(kNaN));
    EXPECT_EQ(stackle_comments(img).size(), 15u); // no AMASK record
}

TEST_F(FitsWrite, ProductWithHeadersFallsBackToFreshHeader) {
    const std::string out = dir.file("out.fits");
    const std::string first = dir.file("missing.fits");
    testing::internal::CaptureStdout();
    ASSERT_EQ(write_flt_fits_with_hdrs(first.c_str(), out.c_str(), pixels.data(), &cs), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "fits_resize_img() failed.  Trying fits_create_img()...\n");
    const testkit::Image img = testkit::read_image(out);
    EXPECT_EQ(img.bitpix, -32);
    EXPECT_EQ(img.naxes, (std::vector<long>{3, 2}));
    EXPECT_EQ(img.fpixels[3], 4.0f);
    EXPECT_EQ(stackle_comments(img).front(), kRule);
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"out.fits"});
}

TEST_F(FitsWrite, AmaskIsShortImage) {
    const std::string am = dir.file("am.fits");
    set_text(cs.amask_out_file, cs.amask_out_file_f, am);
    const std::vector<int16_t> mask = {0, 0x1000, 0x3000, 7, -1, 0};
    ASSERT_EQ(write_amask(mask.data(), &cs), 0);
    const testkit::Image img = testkit::read_image(am);
    EXPECT_EQ(img.bitpix, 16);
    EXPECT_EQ(img.naxes, (std::vector<long>{3, 2}));
    const std::vector<double> want = {0, 4096, 12288, 7, -1, 0};
    EXPECT_EQ(img.pixels, want);
}

// ------------------------------------------------------------------ comment block

TEST_F(FitsWrite, CommentBlockWithoutOptionalInputs) {
    set_text(cs.amask_out_file, cs.amask_out_file_f, "am.fits");
    const std::string out = dir.file("out.fits");
    cs.debug = 1;
    testing::internal::CaptureStdout();
    ASSERT_EQ(write_flt_fits(out.c_str(), pixels.data(), &cs), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "REMINDER: Maximum number of headers that may be *added* by stackle is: 30\n"
              "Completed writing FLOAT DATA file " +
                  out + "\n");
    const std::vector<std::string> c = stackle_comments(testkit::read_image(out));
    ASSERT_EQ(c.size(), 16u);
    EXPECT_EQ(c[0], kRule);
    EXPECT_EQ(c[1], "[STACKLE] MODULE stackle");
    EXPECT_EQ(c[2], "[STACKLE] VERSION = 8.05");
    EXPECT_TRUE(std::regex_match(c[3], std::regex("\\[STACKLE\\] Processed at [A-Z][a-z]{2} "
                                                  "[A-Z][a-z]{2} [ 1-3][0-9] "
                                                  "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}")))
        << c[3];
    const std::vector<std::string> rest = {
        "[STACKLE] OUTPUT FILE:    Data = out.fits",
        "[STACKLE] OUTPUT FILE:    Sdev = (NONE)",
        "[STACKLE] OUTPUT FILE: Weights = w.txt",
        "[STACKLE] OUTPUT FILE:   AMASK = am.fits",
        "[STACKLE] Output Data file is the result of coadding 3 FITS files",
        "[STACKLE] These FITS files had dimensions:  xdim=3 & ydim=2",
        "[STACKLE] DCE weighting was TURNED OFF",
        "[STACKLE] INPUT FILE: Data file list = data.list",
        "[STACKLE] Used NO FMASK file.",
        "[STACKLE] NOTE:  The output sdev FITS file is a quick approximation",
        "[STACKLE]        that is intended to be upgraded in a later release.",
        kRule};
    EXPECT_EQ(std::vector<std::string>(c.begin() + 4, c.end()), rest);
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
    const std::string out = dir.file("out.fits");
    ASSERT_EQ(write_flt_fits(out.c_str(), pixels.data(), &cs), 0);
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
    ASSERT_EQ(write_flt_fits(out.c_str(), pixels.data(), &cs), 0);
    const std::vector<std::string> off = stackle_comments(testkit::read_image(out));
    EXPECT_EQ(off.size(), 18u);
    EXPECT_EQ(off[14], "[STACKLE] Used FMASK file fm.fits");
    EXPECT_EQ(off[15], "[STACKLE] NOTE:  The output sdev FITS file is a quick approximation");
}

// ------------------------------------------------------------------ weights list

TEST_F(FitsWrite, WeightsListFormatReplacesEarlierContent) {
    const std::string w = dir.file("w.txt");
    testkit::write_text(w, "old content that is longer than the new list will be ......\n");
    set_text(cs.wts_out_file, cs.wts_out_file_f, w);
    const char names[3][STACKLE_STRLEN] = {"a.fits", "dir/b.fits", "c.fits"};
    const float weights[3] = {1.0f, 0.5f, 0.0f};
    ASSERT_EQ(write_weights_list(weights, names, &cs), 0);
    EXPECT_EQ(testkit::read_text(w), "         1.0000  a.fits\n"
                                     "         0.5000  dir/b.fits\n"
                                     "         0.0000  c.fits\n");
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"w.txt"});
}

TEST_F(FitsWrite, WeightsListThatCannotBeWrittenEndsTheRun) {
    const std::string w = dir.file("none/w.txt");
    set_text(cs.wts_out_file, cs.wts_out_file_f, w);
    const char names[3][STACKLE_STRLEN] = {"a", "b", "c"};
    const float weights[3] = {1.0f, 1.0f, 1.0f};
    EXPECT_STACKLE_FAILS(write_weights_list(weights, names, &cs),
                         "ERROR: Unable to open Weights List File .*none/w.txt for writing\n");
}

// ------------------------------------------------------------------ keyword replacement

TEST_F(FitsWrite, InsertIntKeywordLeavesOneCopy) {
    const std::string f = dir.file("k.fits");
    testkit::write_float_image(f, {1, 1}, {1.0f}, {Keyword::integer("FOVID", 3)});
    {
        fitsfile* fptr = nullptr;
        int status = 0;
        int dup = 4;
        fits_open_file(&fptr, f.c_str(), READWRITE, &status);
        fits_write_key(fptr, TINT, "FOVID", &dup, "second copy", &status);
        fits_close_file(fptr, &status);
        ASSERT_EQ(status, 0);
    }
    insert_int_keyword(f.c_str(), "FOVID", 29);
    const testkit::Image img = testkit::read_image(f);
    int copies = 0;
    for (const std::string& card : img.cards) {
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
