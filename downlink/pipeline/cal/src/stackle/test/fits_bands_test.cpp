// Unit tests of the band readers of stackle: the rows of a band are the rows the whole-plane
// readers return, inputs that cannot be read in place are read whole at open time, failures
// end the run with the whole-plane readers' messages, and the open-file limit is respected.
#include "coadd_fits.h"
#include "fits_test_support.h"
#include "testkit.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

using testkit::Keyword;

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

class FitsBands : public ::testing::Test {
  protected:
    testkit::TempDir dir;
    std::string path(const std::string& name) const { return dir.file(name); }

    // Reads `in` band by band with `rows` rows a band and checks every pixel against the
    // whole plane, bit for bit.
    template <class T> void expect_bands_match(const band_input* in, const T* whole, int rows) {
        std::vector<T> band(static_cast<size_t>(rows) * in->xdim);
        for (int row = 0; row < in->ydim; row += rows) {
            const int n = std::min(rows, in->ydim - row);
            read_band(in, row, n, band.data());
            for (int p = 0; p < n * in->xdim; ++p) {
                const T got = band[p];
                const T want = whole[static_cast<size_t>(row) * in->xdim + p];
                EXPECT_EQ(std::memcmp(&got, &want, sizeof(T)), 0)
                    << "row " << row << " pixel " << p;
            }
        }
    }
};

// Pixels of a w x h frame with NaN, infinities and distinct values on every row.
std::vector<float> odd_pixels(int w, int h) {
    std::vector<float> px(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = 0.5f * static_cast<float>(i) - 3.0f;
    px[1] = kNaN;
    px[px.size() / 2] = kInf;
    px[px.size() - 1] = -kInf;
    return px;
}

TEST_F(FitsBands, FloatAndShortBandsAreTheRowsOfTheWholePlane) {
    const std::string f = path("d.fits");
    const std::string s = path("m.fits");
    testkit::write_float_image(f, {5, 7}, odd_pixels(5, 7), {Keyword::integer("FOVID", 4)});
    std::vector<int16_t> mask(35);
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = static_cast<int16_t>(i * 997 - 16000);
    testkit::write_short_image(s, {5, 7}, mask);
    int x = 0, y = 0, fov = -1;
    float* whole = read_fits(f.c_str(), &x, &y, &fov, 0);
    int fov_bands = -1;
    band_input in = open_fits_bands(f.c_str(), &x, &y, &fov_bands, 0);
    EXPECT_EQ(fov_bands, 4); // the FOVID rule of read_fits
    EXPECT_EQ(x, 5);
    EXPECT_EQ(y, 7);
    EXPECT_GE(in.fd, 0); // a plain file is kept open
    EXPECT_EQ(in.whole, nullptr);
    band_input ins = open_fits_s_bands(s.c_str(), &x, &y, 0);
    for (int rows : {1, 3, 7}) { // 7 = 2 x 3 + 1: a last band shorter than the others
        expect_bands_match(&in, whole, rows);
        expect_bands_match(&ins, mask.data(), rows);
    }
    close_band_input(&in);
    close_band_input(&ins);
    std::free(whole);
}

TEST_F(FitsBands, OnlyUnscaledImagesOfTheReadTypeAreReadAsStored) {
    // Long enough rows for the wide byte-order reversal and its tail: 37 values a row.
    const std::vector<float> px = odd_pixels(37, 5);
    std::vector<int16_t> mask(px.size());
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = static_cast<int16_t>(i * 523 - 9000);
    struct Case {
        const char* name;
        bool is_float;
        std::vector<Keyword> keys;
        bool as_stored;
    };
    const Case cases[] = {
        {"f.fits", true, {}, true},
        {"f1.fits", true, {Keyword::real("BSCALE", 1.0), Keyword::real("BZERO", 0.0)}, true},
        {"fs.fits", true, {Keyword::real("BSCALE", 2.0)}, false},
        {"fz.fits", true, {Keyword::real("BZERO", 0.5)}, false},
        {"s.fits", false, {}, true},
        {"ss.fits", false, {Keyword::real("BSCALE", 0.5)}, false},
    };
    for (const Case& c : cases) {
        const std::string f = path(c.name);
        if (c.is_float)
            testkit::write_float_image(f, {37, 5}, px, c.keys);
        else
            testkit::write_short_image(f, {37, 5}, mask, c.keys);
        int x = 0, y = 0, fov = -9;
        void* whole = c.is_float ? static_cast<void*>(read_fits(f.c_str(), &x, &y, &fov, 0))
                                 : static_cast<void*>(read_fits_s(f.c_str(), &x, &y, 0));
        band_input in = c.is_float ? open_fits_bands(f.c_str(), &x, &y, &fov, 0)
                                   : open_fits_s_bands(f.c_str(), &x, &y, 0);
        EXPECT_EQ(in.stored_at >= 0, c.as_stored) << c.name;
        for (int rows : {1, 2, 5}) {
            if (c.is_float)
                expect_bands_match(&in, static_cast<const float*>(whole), rows);
            else
                expect_bands_match(&in, static_cast<const int16_t*>(whole), rows);
        }
        close_band_input(&in);
        std::free(whole);
    }
}

TEST_F(FitsBands, WideBandsReadStraightFromTheFileMatchTheWholePlane) {
    // Rows of 3000 values: every band is a large read that bypasses the record buffers,
    // read in and out of order and interleaved with another file.
    const std::string f = path("wide.fits");
    const std::string s = path("wide_s.fits");
    const std::vector<float> px = odd_pixels(3000, 7);
    std::vector<int16_t> mask(px.size());
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = static_cast<int16_t>(i * 31 - 30000);
    testkit::write_float_image(f, {3000, 7}, px);
    testkit::write_short_image(s, {3000, 7}, mask);
    int x = 0, y = 0, fov = -9;
    band_input in = open_fits_bands(f.c_str(), &x, &y, &fov, 0);
    band_input ins = open_fits_s_bands(s.c_str(), &x, &y, 0);
    ASSERT_GE(in.stored_at, 0);
    ASSERT_GE(ins.stored_at, 0);
    for (int rows : {1, 3, 7}) {
        expect_bands_match(&in, px.data(), rows);
        expect_bands_match(&ins, mask.data(), rows);
    }
    std::vector<float> band(6000);
    read_band(&in, 5, 2, band.data()); // back to an earlier row after the last band
    EXPECT_EQ(std::memcmp(band.data(), px.data() + 15000, 6000 * sizeof(float)), 0);
    read_band(&in, 0, 1, band.data());
    EXPECT_EQ(std::memcmp(band.data(), px.data(), 3000 * sizeof(float)), 0);
    close_band_input(&in);
    close_band_input(&ins);
}

TEST_F(FitsBands, DoubleAndThreeAxisImagesAreConvertedAsTheWholeRead) {
    const std::string f = path("dbl.fits");
    std::vector<double> px(24);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = 1.0 / 3.0 + 1e-9 * static_cast<double>(i); // rounding to float decides
    testkit::write_image(f, -64, {4, 6, 1}, px);
    int x = 0, y = 0, fov = -9;
    float* whole = read_fits(f.c_str(), &x, &y, &fov, 0);
    std::string said;
    band_input in{};
    said = printed([&] { in = open_fits_bands(f.c_str(), &x, &y, &fov, 0); });
    EXPECT_NE(said.find("CAUTION: in file " + f + " BITPIX is -64"), std::string::npos) << said;
    expect_bands_match(&in, whole, 4);
    close_band_input(&in);
    std::free(whole);
}

TEST_F(FitsBands, CompressedInputIsReadWholeAtOpenAndServedFromMemory) {
    const std::string f = path("c.fits");
    const std::vector<float> px = odd_pixels(6, 5);
    testkit::write_float_image(f, {6, 5}, px);
    ASSERT_EQ(testkit::run("/bin/gzip", {"-n", f}).status, 0);
    const std::string gz = f + ".gz";
    int x = 0, y = 0, fov = -9;
    band_input in = open_fits_bands(gz.c_str(), &x, &y, &fov, 0);
    EXPECT_EQ(in.fptr, nullptr);
    ASSERT_NE(in.whole, nullptr);
    expect_bands_match(&in, px.data(), 2);
    close_band_input(&in);
}

TEST_F(FitsBands, TruncatedInputFailsAtOpenWithTheWholeReadMessage) {
    const std::string f = path("t.fits");
    testkit::write_float_image(f, {100, 100}, std::vector<float>(10000, 1.0f));
    ASSERT_EQ(truncate(f.c_str(), 2880 + 4 * 5000), 0); // the header and half the pixels
    int x = 0, y = 0, fov = -9;
    const std::string msg = "Attempt to read float image from file " + f + " FAILED in read_fits";
    EXPECT_STACKLE_FAILS(read_fits(f.c_str(), &x, &y, &fov, 0), msg);
    EXPECT_STACKLE_FAILS(open_fits_bands(f.c_str(), &x, &y, &fov, 0), msg);
}

TEST_F(FitsBands, BandBeyondAFileCutShortAfterOpenFailsWithTheReadMessage) {
    const std::string f = path("s.fits");
    const std::vector<int16_t> px(200 * 100, 7);
    testkit::write_short_image(f, {200, 100}, px);
    int x = 0, y = 0;
    band_input in = open_fits_s_bands(f.c_str(), &x, &y, 0);
    ASSERT_GE(in.fd, 0);
    // The header and two whole records of pixels (14 rows) are left.
    ASSERT_EQ(truncate(f.c_str(), 3 * 2880), 0);
    std::vector<int16_t> band(200 * 10);
    read_band(&in, 0, 10, band.data());
    EXPECT_EQ(band, std::vector<int16_t>(200 * 10, 7));
    EXPECT_STACKLE_FAILS(read_band(&in, 90, 10, band.data()),
                         "Attempt to read short image from file " + f + " FAILED in read_fits_s");
    close_band_input(&in);
}

// Sets the soft limit of open files for the life of the record, then puts it back.
class OpenFileLimit {
  public:
    explicit OpenFileLimit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        struct rlimit lim = saved_;
        lim.rlim_cur = soft;
        ok_ = setrlimit(RLIMIT_NOFILE, &lim) == 0;
    }
    ~OpenFileLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
    bool ok() const { return ok_; }

  private:
    struct rlimit saved_ {};
    bool ok_ = false;
};

TEST(BandInputsFit, AtMostHalfTheProcessLimit) {
    OpenFileLimit limit(64);
    ASSERT_TRUE(limit.ok());
    EXPECT_TRUE(band_inputs_fit(32));
    EXPECT_FALSE(band_inputs_fit(33));
    EXPECT_FALSE(band_inputs_fit(-1));
}

TEST(BandInputsFit, RoomLeftWithinTheLibraryLimit) {
    // The library opens at most 10000 files at once; 16 are kept for the FMASK, the products
    // and the library's own.  The process limit is raised out of the way where it may be.
    struct rlimit lim {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 20000)
        GTEST_SKIP() << "hard limit of open files " << lim.rlim_max << " is below 20000";
    OpenFileLimit limit(20000);
    ASSERT_TRUE(limit.ok());
    EXPECT_TRUE(band_inputs_fit(9984));
    EXPECT_FALSE(band_inputs_fit(9985));
}

} // namespace
