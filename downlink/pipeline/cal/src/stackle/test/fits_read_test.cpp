// Unit tests of the FITS readers of stackle on tiny hand-made images.
#include "coadd_fits.h"
#include "fits_test_support.h"
#include "testkit.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include <sys/stat.h>

using testkit::Keyword;

// Under the address sanitizer a failed huge allocation must return null, as it does in a
// plain build, instead of stopping the process.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

class FitsRead : public ::testing::Test {
  protected:
    testkit::TempDir dir;
    std::string path(const std::string& name) const { return dir.file(name); }
};

// ------------------------------------------------------------------ frame size

TEST_F(FitsRead, FrameSizeOfTwoAndOneDimensionalImages) {
    const std::string f2 = path("a.fits");
    testkit::write_float_image(f2, {100, 80}, std::vector<float>(8000, 1.0f));
    int x = 0, y = 0;
    read_fits_dims_2d(f2.c_str(), &x, &y, 0);
    EXPECT_EQ(x, 100);
    EXPECT_EQ(y, 80);

    const std::string f1 = path("line.fits");
    testkit::write_float_image(f1, {7}, std::vector<float>(7, 1.0f));
    read_fits_dims_2d(f1.c_str(), &x, &y, 0);
    EXPECT_EQ(x, 7);
    EXPECT_EQ(y, 1);
}

TEST_F(FitsRead, FrameSizeAcceptsThirdAxisOfOneRefusesTwo) {
    const std::string one = path("one.fits");
    testkit::write_float_image(one, {100, 80, 1}, std::vector<float>(8000, 1.0f));
    int x = 0, y = 0;
    read_fits_dims_2d(one.c_str(), &x, &y, 0);
    EXPECT_EQ(x, 100);
    EXPECT_EQ(y, 80);

    const std::string two = path("two.fits");
    testkit::write_float_image(two, {100, 80, 2}, std::vector<float>(16000, 1.0f));
    EXPECT_STACKLE_FAILS(read_fits_dims_2d(two.c_str(), &x, &y, 0),
                         "more than two dimensions in file .*two.fits "
                         "\\[read_fits_dims_2d\\(\\)\\]\n"
                         "       xdim=100, ydim=80, anaxes\\[2\\]=2, npixels=16000\n");
}

TEST_F(FitsRead, FrameSizeOfMissingFileAndDebugLines) {
    int x = 0, y = 0;
    const std::string none = path("none.fits");
    EXPECT_STACKLE_FAILS(read_fits_dims_2d(none.c_str(), &x, &y, 0),
                         "ERROR opening FITS file .*none.fits in read_fits_dims_2d\\(\\)\n"
                         "returned status=[1-9][0-9]*\n");

    const std::string f = path("a.fits");
    testkit::write_float_image(f, {3, 2}, std::vector<float>(6, 1.0f));
    testing::internal::CaptureStdout();
    read_fits_dims_2d(f.c_str(), &x, &y, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "===> read_fits_dims_2d() from \"" + f +
                  "\" using cfitsio:\n     xdim =    3\n     ydim =    2\n");
}

// ------------------------------------------------------------------ float planes

TEST_F(FitsRead, FloatPlaneKeepsEveryValueBitForBit) {
    const std::string f = path("d.fits");
    const std::vector<float> px = {1.5f, -2.25f, kNaN, kInf, -kInf, 0.0f};
    testkit::write_float_image(f, {3, 2}, px);
    int x = 0, y = 0, fov = -9;
    float* plane = read_fits(f.c_str(), &x, &y, &fov, 0);
    ASSERT_NE(plane, nullptr);
    EXPECT_EQ(x, 3);
    EXPECT_EQ(y, 2);
    EXPECT_EQ(fov, -9);
    for (size_t i = 0; i < px.size(); ++i) {
        EXPECT_EQ(bits_of(plane[i]), bits_of(px[i])) << "pixel " << i;
    }
    std::free(plane);
}

TEST_F(FitsRead, DoubleImageReadWithCautionAndRoundedToFloat) {
    const std::string f = path("dbl.fits");
    testkit::write_image(f, -64, {2, 1}, {0.1, 1e300});
    int x = 0, y = 0, fov = -9;
    testing::internal::CaptureStdout();
    float* plane = read_fits(f.c_str(), &x, &y, &fov, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\nCAUTION: in file " + f +
                       " BITPIX is -64, not -32 (FLOAT_IMG) -- will continue anyway.\n\n");
    EXPECT_EQ(bits_of(plane[0]), bits_of(0.1f));
    std::free(plane);
}

TEST_F(FitsRead, FloatReaderRefusesOtherBitpix) {
    const std::string f = path("s.fits");
    testkit::write_short_image(f, {2, 2}, {1, 2, 3, 4}, {Keyword::integer("FOVID", 3)});
    int x = 0, y = 0, fov = -1;
    EXPECT_STACKLE_FAILS(read_fits(f.c_str(), &x, &y, &fov, 0),
                         "ERROR: In read_fits\\(\\) the file .*s.fits has incorrect BITPIX:\n"
                         "\aERROR: BITPIX is 16 but it should be -32 \\(FLOAT_IMG\\) "
                         "\\[-64 \\(DOUBLE_IMG\\) is also permitted\\]\n");
}

TEST_F(FitsRead, FloatReaderThirdAxis) {
    const std::string one = path("one.fits");
    testkit::write_float_image(one, {4, 2, 1}, {1, 2, 3, 4, 5, 6, 7, 8});
    int x = 0, y = 0, fov = -9;
    float* plane = read_fits(one.c_str(), &x, &y, &fov, 0);
    EXPECT_EQ(x, 4);
    EXPECT_EQ(y, 2);
    EXPECT_EQ(plane[7], 8.0f);
    std::free(plane);

    const std::string two = path("two.fits");
    testkit::write_float_image(two, {4, 2, 2}, std::vector<float>(16, 1.0f));
    EXPECT_STACKLE_FAILS(
        read_fits(two.c_str(), &x, &y, &fov, 0),
        "ERROR: dimensions don't match: file 16, but arrray 8 in read_fits\\(\\)\n");
}

TEST_F(FitsRead, FovidRule) {
    const std::string a = path("a.fits");
    const std::string b = path("b.fits");
    const std::string bare = path("bare.fits");
    testkit::write_float_image(a, {1, 1}, {1.0f}, {Keyword::integer("FOVID", 27)});
    testkit::write_float_image(b, {1, 1}, {1.0f}, {Keyword::integer("FOVID", 28)});
    testkit::write_float_image(bare, {1, 1}, {1.0f});
    int x = 0, y = 0;

    int fov = -1; // adopt
    std::free(read_fits(a.c_str(), &x, &y, &fov, 0));
    EXPECT_EQ(fov, 27);
    std::free(read_fits(a.c_str(), &x, &y, &fov, 0)); // must match, does
    EXPECT_EQ(fov, 27);
    int skip = -9; // not read at all
    std::free(read_fits(bare.c_str(), &x, &y, &skip, 0));
    EXPECT_EQ(skip, -9);

    EXPECT_STACKLE_FAILS(read_fits(b.c_str(), &x, &y, &fov, 0),
                         "ERROR: FOVID=27 in first data file, but FOVID=28 in FITS file .*b.fits "
                         "\\[in read_fits\\(\\)\\]\n"
                         "       All input data files MUST have identical FOVID numbers\n"
                         "returned status=0\n");
    int adopt = -1;
    EXPECT_STACKLE_FAILS(read_fits(bare.c_str(), &x, &y, &adopt, 0),
                         "ERROR: Required keyword FOVID not found in FITS file .*bare.fits "
                         "\\[in read_fits\\(\\)\\]\nreturned status=202\n");
}

TEST_F(FitsRead, FloatReaderMissingFile) {
    const std::string f = path("missing.fits");
    int x = 0, y = 0, fov = -9;
    EXPECT_STACKLE_FAILS(
        read_fits(f.c_str(), &x, &y, &fov, 0),
        "ERROR: Attempt to read file .*missing.fits FAILED in read_fits\\(\\)\\.\n");
}

TEST_F(FitsRead, TruncatedFloatImageIsRefusedNotReturnedHalfRead) {
    const std::string f = path("cut.fits");
    testkit::write_float_image(f, {100, 100}, std::vector<float>(10000, 2.0f));
    ASSERT_EQ(truncate(f.c_str(), 2880 * 2), 0); // header and the first data block only
    int x = 0, y = 0, fov = -9;
    EXPECT_STACKLE_FAILS(
        read_fits(f.c_str(), &x, &y, &fov, 0),
        "ERROR: Attempt to read float image from file .*cut.fits FAILED in read_fits\\(\\)\\.\n");
}

TEST_F(FitsRead, PlaneTooLargeForMemoryEndsWithAllocationMessage) {
    const std::string f = path("huge.fits");
    testkit::write_text(f, huge_header());
    int x = 0, y = 0, fov = -1;
    read_fits_dims_2d(f.c_str(), &x, &y, 0);
    EXPECT_EQ(x, 2000000000);
    EXPECT_EQ(y, 2000000000);
    EXPECT_STACKLE_FAILS(
        read_fits(f.c_str(), &x, &y, &fov, 0),
        "ERROR: Can't allocate required memory for float_image in read_fits\\(\\)\n");
}

TEST_F(FitsRead, FloatDebugStatisticsSkipNaNs) {
    // First pixel NaN: minimum and maximum start from the first number.  Sum 3 - 1 + 2 = 4
    // over 3 numbers.
    const std::string f = path("st.fits");
    testkit::write_float_image(f, {2, 2}, {kNaN, 3.0f, -1.0f, 2.0f});
    int x = 0, y = 0, fov = -9;
    testing::internal::CaptureStdout();
    std::free(read_fits(f.c_str(), &x, &y, &fov, 1));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "In read_fits() with fits_filename=\"" + f +
                       "\"\nBITPIX is -32 -- GOOD.\n"
                       "Dimensions read as xdim=2 ydim=2 in read_fits()\n"
                       "Allocated image array.\nReading... COMPLETED.\n"
                       "In read_fits(), file \"" +
                       f +
                       "\" has:\n    NaN Count     is 1\n    Minimum value is -1\n"
                       "    Maximum value is 3\n    Average value is 1.33333\n");
}

// ------------------------------------------------------------------ 16-bit planes

TEST_F(FitsRead, ShortPlaneRoundTrip) {
    const std::string f = path("m.fits");
    testkit::write_short_image(f, {3, 1, 1}, {-32768, 0x1000, 32767});
    int x = 0, y = 0;
    int16_t* plane = read_fits_s(f.c_str(), &x, &y, 0);
    EXPECT_EQ(x, 3);
    EXPECT_EQ(y, 1);
    EXPECT_EQ(plane[0], -32768);
    EXPECT_EQ(plane[1], 0x1000);
    EXPECT_EQ(plane[2], 32767);
    std::free(plane);
}

TEST_F(FitsRead, ShortReaderRefusesOtherBitpixAndShapes) {
    int x = 0, y = 0;
    const std::string b8 = path("b8.fits");
    testkit::write_image(b8, 8, {2, 2}, {1, 2, 3, 4});
    EXPECT_STACKLE_FAILS(read_fits_s(b8.c_str(), &x, &y, 0),
                         "ERROR: In read_fits_s\\(\\) the file .*b8.fits has incorrect BITPIX:\n"
                         "\aERROR: BITPIX should be 16 but it is 8\n\n");
    const std::string b32 = path("b32.fits");
    testkit::write_image(b32, 32, {2, 2}, {1, 2, 3, 4});
    EXPECT_STACKLE_FAILS(read_fits_s(b32.c_str(), &x, &y, 0), "BITPIX should be 16 but it is 32\n");
    const std::string cube = path("cube.fits");
    testkit::write_short_image(cube, {2, 1, 2}, {1, 2, 3, 4});
    EXPECT_STACKLE_FAILS(read_fits_s(cube.c_str(), &x, &y, 0),
                         "dimensions don't match: file 4, but arrray 2 in read_fits_s\\(\\)\n");
    const std::string none = path("none.fits");
    EXPECT_STACKLE_FAILS(
        read_fits_s(none.c_str(), &x, &y, 0),
        "ERROR: Attempt to read file .*none.fits FAILED in read_fits_s\\(\\)\\.\n");
}

TEST_F(FitsRead, ShortDebugSamplesOfSmallPlaneShowEveryPixel) {
    const std::string f = path("m.fits");
    testkit::write_short_image(f, {2, 2}, {1, 2, 3, -4});
    int x = 0, y = 0;
    testing::internal::CaptureStdout();
    std::free(read_fits_s(f.c_str(), &x, &y, 1));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Read in file " + f +
                       ", with sample values as follows:\n"
                       "s[0,0]=    1  s[1,0]=    2  \n"
                       "s[0,1]=    3  s[1,1]=   -4  \n"),
              std::string::npos)
        << out;
}

TEST_F(FitsRead, ShortDebugSamplesOfLargePlaneStopBeforeTheEnd) {
    // 10 x 10 plane holding its own index: line 0 starts at 10 and shows 10, 15, ..., 55;
    // line 1 would start at 10 + 5 * 10 = 60 and reach 105, beyond the 100 pixels.
    const std::string f = path("m.fits");
    std::vector<int16_t> px(100);
    for (int i = 0; i < 100; ++i) {
        px[i] = static_cast<int16_t>(i);
    }
    testkit::write_short_image(f, {10, 10}, px);
    int x = 0, y = 0;
    testing::internal::CaptureStdout();
    std::free(read_fits_s(f.c_str(), &x, &y, 1));
    const std::string out = testing::internal::GetCapturedStdout();
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
    std::string fmask(const std::string& fov, const std::string& bit) {
        const std::string f = path("fmask.fits");
        testkit::write_short_image(f, {2, 2}, {0, 1, 2, 3},
                                   {Keyword::text("FOVLIST", fov), Keyword::text("BITLIST", bit),
                                    Keyword::integer("USEFOVID", 33)});
        set_text(cs.fmask_in_file, cs.fmask_in_file_f, f);
        return f;
    }
};

TEST_F(FmaskLists, SevenEntriesWithBlanks) {
    fmask("[26,27,28,29,32,34,33]", "[ 1,2, 4 ,8, 16,64,32]");
    read_fmask_lists(&cs);
    ASSERT_EQ(cs.num_fovs, 7);
    const int fov[] = {26, 27, 28, 29, 32, 34, 33};
    const int bit[] = {1, 2, 4, 8, 16, 64, 32};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(cs.fovlist[i], fov[i]);
        EXPECT_EQ(cs.bitlist[i], bit[i]);
    }
}

TEST_F(FmaskLists, EmptyListsGiveNoEntries) {
    fmask("[]", "[]");
    read_fmask_lists(&cs);
    EXPECT_EQ(cs.num_fovs, 0);
}

TEST_F(FmaskLists, DebugListing) {
    fmask("[5,6]", "[1,2]");
    cs.debug = 1;
    testing::internal::CaptureStdout();
    read_fmask_lists(&cs);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Completed reading in 2 elements in FOVLIST and BITLIST as follows: \n"
              "   For i=0, FOVLIST =  5  BITLIST =  1\n"
              "   For i=1, FOVLIST =  6  BITLIST =  2\n");
}

TEST_F(FmaskLists, TwentyEntriesAcceptedTwentyOneRefused) {
    std::string twenty = "[1";
    for (int i = 2; i <= 20; ++i) {
        twenty += "," + std::to_string(i);
    }
    fmask(twenty + "]", twenty + "]");
    read_fmask_lists(&cs);
    EXPECT_EQ(cs.num_fovs, 20);
    EXPECT_EQ(cs.fovlist[19], 20);

    fmask(twenty + ",21]", twenty + "]");
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR: Maximum number of FOVs, 20, exceeded in FOVLIST\n");
    fmask(twenty + "]", twenty + ",21]");
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR: Maximum number of FOVs, 20, exceeded in BITLIST\n");
}

// A list filling a keyword value to its limit of 68 characters: "[", blanks, the entries
// and "]".
std::string list_of_68(int first, int last) {
    std::string entries;
    for (int v = first; v <= last; ++v) {
        entries += (v == first ? "" : ",") + std::to_string(v);
    }
    return "[" + std::string(66 - entries.size(), ' ') + entries + "]";
}

TEST_F(FmaskLists, ListsOf68Characters) {
    ASSERT_EQ(list_of_68(10, 29).size(), 68u);
    fmask(list_of_68(10, 29), list_of_68(30, 49));
    read_fmask_lists(&cs);
    ASSERT_EQ(cs.num_fovs, 20);
    EXPECT_EQ(cs.fovlist[0], 10);
    EXPECT_EQ(cs.fovlist[19], 29);
    EXPECT_EQ(cs.bitlist[19], 49);

    ASSERT_EQ(list_of_68(1, 21).size(), 68u);
    fmask(list_of_68(1, 21), list_of_68(10, 29));
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR: Maximum number of FOVs, 20, exceeded in FOVLIST\n");
}

TEST_F(FmaskLists, SignsAndSeparatorsWithoutNumbers) {
    fmask("[,,,]", "[ , ]");
    read_fmask_lists(&cs);
    EXPECT_EQ(cs.num_fovs, 0);
    fmask("[26,-]", "[1,2]");
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR converting FOVLIST string, \"\\[26,-\\]\"\n");
    fmask("[26,27]", "[1,+]");
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR converting BITLIST string, \"\\[1,\\+\\]\"\n");
}

TEST_F(FmaskLists, MalformedLists) {
    fmask("[]", "[1,2]");
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs), "ERROR: Number of list elements in FOVLIST "
                                                "\\(0\\) and BITLIST \\(2\\) do not match\n");
    fmask("[", "[1]");
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs), "Insufficient info in FOVLIST in FMASK file\n");
    fmask("[1]", "1");
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs), "Insufficient info in BITLIST in FMASK file\n");
    fmask("[26,x7]", "[1,2]");
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR converting FOVLIST string, \"\\[26,x7\\]\"\n");
    fmask("[26,27]", "[1,99999999999]");
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR converting BITLIST string, \"\\[1,99999999999\\]\"\n");
}

TEST_F(FmaskLists, TrailingCharactersOfATokenAreIgnored) {
    fmask("[26a,27]", "[1,2b]");
    read_fmask_lists(&cs);
    ASSERT_EQ(cs.num_fovs, 2);
    EXPECT_EQ(cs.fovlist[0], 26);
    EXPECT_EQ(cs.bitlist[1], 2);
}

TEST_F(FmaskLists, MissingKeywordFileOrSetting) {
    const std::string f = path("nolist.fits");
    testkit::write_short_image(f, {1, 1}, {0}, {Keyword::text("FOVLIST", "[1]")});
    set_text(cs.fmask_in_file, cs.fmask_in_file_f, f);
    EXPECT_STACKLE_FAILS(
        read_fmask_lists(&cs),
        "ERROR: unable to find required keyword BITLIST in FITS file .*nolist.fits\n");
    set_text(cs.fmask_in_file, cs.fmask_in_file_f, path("absent.fits"));
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR: Attempt to read file .*absent.fits FAILED in read_fits_s\\(\\)");
    cs.fmask_in_file_f = 0;
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR:  Weird programming error in "
                         "read_fmask_lists\\(\\) -- FMASK file not defined\\.\n");
}

TEST_F(FmaskLists, UsefovidRead) {
    const std::string f = fmask("[1]", "[1]");
    cs.verbose = 1;
    testing::internal::CaptureStdout();
    read_fmask_params(f.c_str(), &cs);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
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
    testing::internal::CaptureStdout();
    print_fits_data(f.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nFITS FILE DATA in " + f +
                  " with xdim=2 and ydim=2\n   1.0    2.5 \n  -3.0   40.2 \n");

    const std::string m = path("m.fits");
    testkit::write_short_image(m, {3, 1}, {7, -8, 12});
    testing::internal::CaptureStdout();
    print_fits_data_s(m.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nFITS FILE DATA in " + m + " with xdim=3 and ydim=1\n     7     -8     12 \n");
}

TEST_F(FitsRead, PrintFloatCornerIsTenByTen) {
    const std::string f = path("big.fits");
    testkit::write_float_image(f, {12, 11}, std::vector<float>(132, 0.0f),
                               {Keyword::integer("FOVID", 1)});
    testing::internal::CaptureStdout();
    print_fits_data(f.c_str());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testkit::count_of(out, "   0.0 "), 100);
    EXPECT_EQ(testkit::count_of(out, "\n"), 12); // leading blank line, heading, 10 rows
}

TEST_F(FitsRead, CompareListsDifferingPixelsAndCountsNaNPairs) {
    // Shared 2 x 2 region: (0,0) equal, (1,0) NaN in both, (0,1) 1 vs 0.5, (1,1) NaN vs 2.
    const std::string a = path("a.fits");
    const std::string b = path("b.fits");
    testkit::write_float_image(a, {2, 2}, {5.0f, kNaN, 1.0f, kNaN});
    testkit::write_float_image(b, {3, 2}, {5.0f, kNaN, 9.0f, 0.5f, 2.0f, 9.0f});
    testing::internal::CaptureStdout();
    compare_fits_data(a.c_str(), b.c_str());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "FITS FILE DATA in " + a + " with xdim=2 and ydim=2\n" + "FITS FILE DATA in " +
                       b + " with xdim=3 and ydim=2\n" +
                       "x=000 y=001  |  A= 1.0000  B= 0.5000  DELTA=0.5\n"
                       "x=001 y=001  |  A=    nan  B= 2.0000  DELTA=nan\n"
                       "There were 1 matching NaN pairs found\n");
}

} // namespace
