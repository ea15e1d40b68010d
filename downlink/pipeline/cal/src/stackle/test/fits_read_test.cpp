// Unit tests of the FITS readers and diagnostics of stackle on tiny hand-made images.  What a
// whole run refuses (pixel types, shapes, FOVID mismatches, missing and truncated files,
// planes beyond memory) is checked by the cases of e2e_hostile_test.cpp.
#include "coadd_fits.h"
#include "fits_test_support.h"
#include "testkit.h"

#include <cstdlib>
#include <limits>
#include <numeric>
#include <vector>

using testkit::Keyword;

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

class FitsRead : public ::testing::Test {
  protected:
    testkit::TempDir dir;
    std::string path(const std::string& name) const { return dir.file(name); }
};

// ------------------------------------------------------------------ frame size and planes

TEST_F(FitsRead, FrameSizeOfOneTwoAndThreeAxisImages) {
    const struct {
        std::vector<long> axes;
        int x, y;
    } cases[] = {{{100, 80}, 100, 80}, {{7}, 7, 1}, {{100, 80, 1}, 100, 80}};
    const std::string f = path("a.fits");
    for (const auto& c : cases) {
        testkit::write_float_image(f, c.axes, std::vector<float>(c.x * c.y, 1.0f));
        int x = 0, y = 0;
        read_fits_dims_2d(f.c_str(), &x, &y, 0);
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(y, c.y);
    }
    testkit::write_float_image(f, {3, 2}, std::vector<float>(6, 1.0f));
    int x = 0, y = 0;
    EXPECT_EQ(printed([&] { read_fits_dims_2d(f.c_str(), &x, &y, 1); }),
              "===> read_fits_dims_2d() from \"" + f +
                  "\" using cfitsio:\n     xdim =    3\n     ydim =    2\n");
}

TEST_F(FitsRead, FloatPlaneBitForBitAndTheFovidRule) {
    const std::string f = path("d.fits"); // without FOVID
    const std::vector<float> px = {1.5f, -2.25f, kNaN, kInf, -kInf, 0.0f};
    testkit::write_float_image(f, {3, 2}, px);
    int x = 0, y = 0, fov = -9; // -9: the keyword is not read at all
    float* plane = read_fits(f.c_str(), &x, &y, &fov, 0);
    ASSERT_NE(plane, nullptr);
    EXPECT_EQ(x, 3);
    EXPECT_EQ(y, 2);
    EXPECT_EQ(fov, -9);
    for (size_t i = 0; i < px.size(); ++i) {
        EXPECT_EQ(bits_of(plane[i]), bits_of(px[i])) << "pixel " << i;
    }
    std::free(plane);

    testkit::write_float_image(f, {1, 1}, {1.0f}, {Keyword::integer("FOVID", 27)});
    fov = -1;
    std::free(read_fits(f.c_str(), &x, &y, &fov, 0)); // a negative number adopts the file's
    EXPECT_EQ(fov, 27);
    std::free(read_fits(f.c_str(), &x, &y, &fov, 0)); // must match, does
    EXPECT_EQ(fov, 27);
}

TEST_F(FitsRead, FloatDebugStatisticsSkipNaNs) {
    // First pixel NaN: minimum and maximum start from the first number.  Sum 3 - 1 + 2 = 4
    // over 3 numbers.
    const std::string f = path("st.fits");
    testkit::write_float_image(f, {2, 2}, {kNaN, 3.0f, -1.0f, 2.0f});
    int x = 0, y = 0, fov = -9;
    EXPECT_EQ(printed([&] { std::free(read_fits(f.c_str(), &x, &y, &fov, 1)); }),
              "In read_fits() with fits_filename=\"" + f +
                  "\"\nBITPIX is -32 -- GOOD.\nDimensions read as xdim=2 ydim=2 in read_fits()\n"
                  "Allocated image array.\nReading... COMPLETED.\nIn read_fits(), file \"" +
                  f +
                  "\" has:\n    NaN Count     is 1\n    Minimum value is -1\n"
                  "    Maximum value is 3\n    Average value is 1.33333\n");
}

TEST_F(FitsRead, ShortPlaneRoundTripAndCubeRefused) {
    const std::string f = path("m.fits");
    testkit::write_short_image(f, {3, 1, 1}, {-32768, 0x1000, 32767});
    int x = 0, y = 0;
    int16_t* plane = read_fits_s(f.c_str(), &x, &y, 0);
    EXPECT_EQ(x, 3);
    EXPECT_EQ(y, 1);
    EXPECT_EQ(std::vector<int16_t>(plane, plane + 3),
              (std::vector<int16_t>{-32768, 0x1000, 32767}));
    std::free(plane);

    testkit::write_short_image(f, {2, 1, 2}, {1, 2, 3, 4});
    EXPECT_STACKLE_FAILS(read_fits_s(f.c_str(), &x, &y, 0),
                         "dimensions don't match: file 4, but arrray 2 in read_fits_s\\(\\)\n");
}

TEST_F(FitsRead, ShortDebugSamples) {
    // A small plane shows every pixel.
    const std::string f = path("m.fits");
    testkit::write_short_image(f, {2, 2}, {1, 2, 3, -4});
    int x = 0, y = 0;
    std::string out = printed([&] { std::free(read_fits_s(f.c_str(), &x, &y, 1)); });
    EXPECT_NE(out.find("Read in file " + f +
                       ", with sample values as follows:\n"
                       "s[0,0]=    1  s[1,0]=    2  \ns[0,1]=    3  s[1,1]=   -4  \n"),
              std::string::npos)
        << out;

    // A 10 x 10 plane holding its own index: line 0 starts at 10 and shows 10, 15, ..., 55;
    // line 1 would start at 10 + 5 * 10 = 60 and reach 105, beyond the 100 pixels.
    std::vector<int16_t> px(100);
    for (int i = 0; i < 100; ++i) {
        px[i] = static_cast<int16_t>(i);
    }
    testkit::write_short_image(f, {10, 10}, px);
    out = printed([&] { std::free(read_fits_s(f.c_str(), &x, &y, 1)); });
    const std::string line = "s[00010]= 10  s[00015]= 15  s[00020]= 20  s[00025]= 25  "
                             "s[00030]= 30  s[00035]= 35  s[00040]= 40  s[00045]= 45  "
                             "s[00050]= 50  s[00055]= 55\n";
    EXPECT_EQ(out.substr(out.size() - line.size()), line);
    EXPECT_EQ(testkit::count_of(out, "s[0"), 10);
}

// ------------------------------------------------------------------ FMASK keywords

class FmaskLists : public FitsRead {
  protected:
    control_settings cs = test_settings(2, 2);
    // Writes fmask.fits with FOVLIST `fov`, BITLIST `bit` (left out if empty) and USEFOVID 33.
    std::string fmask(const std::string& fov, const std::string& bit) {
        const std::string f = path("fmask.fits");
        std::vector<Keyword> keys = {Keyword::text("FOVLIST", fov),
                                     Keyword::integer("USEFOVID", 33)};
        if (!bit.empty()) {
            keys.push_back(Keyword::text("BITLIST", bit));
        }
        testkit::write_short_image(f, {2, 2}, {0, 1, 2, 3}, keys);
        set_text(cs.fmask_in_file, cs.fmask_in_file_f, f);
        return f;
    }
};

// "[", blanks up to `size` characters in all, the numbers first..last, "]".
std::string list(int first, int last, size_t size = 0) {
    std::string entries;
    for (int v = first; v <= last; ++v) {
        entries += (v == first ? "" : ",") + std::to_string(v);
    }
    return "[" + std::string(size > entries.size() + 2 ? size - entries.size() - 2 : 0, ' ') +
           entries + "]";
}
std::vector<int> range(int first, int last) {
    std::vector<int> v(last - first + 1);
    std::iota(v.begin(), v.end(), first);
    return v;
}

TEST_F(FmaskLists, ListsRead) {
    ASSERT_EQ(list(10, 29, 68).size(), 68u); // a keyword value at its limit of 68 characters
    const struct {
        std::string fov, bit;
        std::vector<int> fovs, bits;
    } cases[] = {
        {"[26,27,28,29,32,34,33]",
         "[ 1,2, 4 ,8, 16,64,32]",
         {26, 27, 28, 29, 32, 34, 33},
         {1, 2, 4, 8, 16, 64, 32}},
        {"[]", "[]", {}, {}},
        {"[,,,]", "[ , ]", {}, {}}, // signs and separators without numbers
        {list(1, 20), list(1, 20), range(1, 20), range(1, 20)},
        {list(10, 29, 68), list(30, 49, 68), range(10, 29), range(30, 49)},
        {"[26a,27]", "[1,2b]", {26, 27}, {1, 2}}, // trailing characters of a token are ignored
    };
    for (const auto& c : cases) {
        fmask(c.fov, c.bit);
        read_fmask_lists(&cs);
        EXPECT_EQ(std::vector<int>(cs.fovlist, cs.fovlist + cs.num_fovs), c.fovs) << c.fov;
        EXPECT_EQ(std::vector<int>(cs.bitlist, cs.bitlist + cs.num_fovs), c.bits) << c.bit;
    }
}

TEST_F(FmaskLists, ListsRefused) {
    const std::string fov_over = "ERROR: Maximum number of FOVs, 20, exceeded in FOVLIST\n";
    const struct {
        std::string fov, bit, message;
    } cases[] = {
        {list(1, 21), list(1, 20), fov_over},
        {list(1, 20), list(1, 21), "ERROR: Maximum number of FOVs, 20, exceeded in BITLIST\n"},
        {list(1, 21, 68), list(10, 29, 68), fov_over},
        {"[26,-]", "[1,2]", "ERROR converting FOVLIST string, \"\\[26,-\\]\"\n"},
        {"[26,27]", "[1,+]", "ERROR converting BITLIST string, \"\\[1,\\+\\]\"\n"},
        {"[26,x7]", "[1,2]", "ERROR converting FOVLIST string, \"\\[26,x7\\]\"\n"},
        {"[26,27]", "[1,99999999999]",
         "ERROR converting BITLIST string, \"\\[1,99999999999\\]\"\n"},
        {"[]", "[1,2]",
         "ERROR: Number of list elements in FOVLIST \\(0\\) and BITLIST \\(2\\) do not match\n"},
        {"[", "[1]", "Insufficient info in FOVLIST in FMASK file\n"},
        {"[1]", "1", "Insufficient info in BITLIST in FMASK file\n"},
        {"[1]", "", "ERROR: unable to find required keyword BITLIST in FITS file .*fmask.fits\n"},
    };
    for (const auto& c : cases) {
        fmask(c.fov, c.bit);
        EXPECT_STACKLE_FAILS(read_fmask_lists(&cs), c.message.c_str()) << c.fov << " " << c.bit;
    }
    set_text(cs.fmask_in_file, cs.fmask_in_file_f, path("absent.fits"));
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR: Attempt to read file .*absent.fits FAILED in read_fits_s\\(\\)");
    cs.fmask_in_file_f = 0;
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs), "ERROR:  Weird programming error in "
                                                "read_fmask_lists\\(\\) -- FMASK file not "
                                                "defined\\.\n");
}

TEST_F(FmaskLists, DebugListingAndUsefovid) {
    const std::string f = fmask("[5,6]", "[1,2]");
    cs.debug = 1;
    EXPECT_EQ(printed([&] { read_fmask_lists(&cs); }),
              "Completed reading in 2 elements in FOVLIST and BITLIST as follows: \n"
              "   For i=0, FOVLIST =  5  BITLIST =  1\n   For i=1, FOVLIST =  6  BITLIST =  2\n");
    cs.debug = 0;
    cs.verbose = 1;
    EXPECT_EQ(printed([&] { read_fmask_params(f.c_str(), &cs); }),
              "In fmask file " + f + ", read keyword:     USEFOVID = 33\n");
    EXPECT_EQ(cs.usefovid, 33);
    EXPECT_EQ(cs.usefovid_f, 1);

    const std::string bare = path("bare.fits");
    testkit::write_short_image(bare, {1, 1}, {0});
    EXPECT_STACKLE_FAILS(read_fmask_params(bare.c_str(), &cs),
                         "ERROR: Required keyword USEFOVID not found in FITS file .*bare.fits in "
                         "read_fmask_params\\(\\)\nreturned status=202\n");
}

// ------------------------------------------------------------------ diagnostics

TEST_F(FitsRead, PrintFloatCornerAndShortImage) {
    const std::string f = path("d.fits");
    testkit::write_float_image(f, {2, 2}, {1.0f, 2.5f, -3.0f, 40.25f},
                               {Keyword::integer("FOVID", 1)});
    EXPECT_EQ(printed([&] { print_fits_data(f.c_str()); }),
              "\nFITS FILE DATA in " + f +
                  " with xdim=2 and ydim=2\n   1.0    2.5 \n  -3.0   40.2 \n");

    const std::string m = path("m.fits");
    testkit::write_short_image(m, {3, 1}, {7, -8, 12});
    EXPECT_EQ(printed([&] { print_fits_data_s(m.c_str()); }),
              "\nFITS FILE DATA in " + m + " with xdim=3 and ydim=1\n     7     -8     12 \n");

    // Of a 12 x 11 image only the 10 x 10 corner.
    testkit::write_float_image(f, {12, 11}, std::vector<float>(132, 0.0f),
                               {Keyword::integer("FOVID", 1)});
    const std::string out = printed([&] { print_fits_data(f.c_str()); });
    EXPECT_EQ(testkit::count_of(out, "   0.0 "), 100);
    EXPECT_EQ(testkit::count_of(out, "\n"), 12); // leading blank line, heading, 10 rows
}

TEST_F(FitsRead, CompareListsDifferingPixelsAndCountsNaNPairs) {
    // Shared 2 x 2 region: (0,0) equal, (1,0) NaN in both, (0,1) 1 vs 0.5, (1,1) NaN vs 2.
    const std::string a = path("a.fits");
    const std::string b = path("b.fits");
    testkit::write_float_image(a, {2, 2}, {5.0f, kNaN, 1.0f, kNaN});
    testkit::write_float_image(b, {3, 2}, {5.0f, kNaN, 9.0f, 0.5f, 2.0f, 9.0f});
    EXPECT_EQ(printed([&] { compare_fits_data(a.c_str(), b.c_str()); }),
              "FITS FILE DATA in " + a + " with xdim=2 and ydim=2\nFITS FILE DATA in " + b +
                  " with xdim=3 and ydim=2\n"
                  "x=000 y=001  |  A= 1.0000  B= 0.5000  DELTA=0.5\n"
                  "x=001 y=001  |  A=    nan  B= 2.0000  DELTA=nan\n"
                  "There were 1 matching NaN pairs found\n");
}

} // namespace
