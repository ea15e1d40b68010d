// The installed stackle against hostile inputs and failing resources: broken and unusual
// FITS files, hostile list and namelist text, product folders that cannot take a file, full
// devices, a file size limit and exhausted memory.  Every case ends with the program's own
// message and status 64 (or is accepted where the readers accept it), never with a crash,
// and leaves no unfinished product behind.
#include <sys/stat.h>

#include <cstdlib>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostile_support.h"
#include "testkit.h"

namespace {

using raw_fits::be_floats;
using raw_fits::be_ints;
using raw_fits::card;
using raw_fits::pad;
using raw_fits::primary_header;
using testkit::Keyword;

// The first line of standard output that is neither empty nor part of a banner.
std::string first_message_line(const std::string& out) {
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos) {
            end = out.size();
        }
        const std::string line = out.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.compare(0, 3, "===") != 0) {
            return line;
        }
    }
    return "";
}

// ------------------------------------------------------------------ inputs

// g0.fits = 1..6 and g1.fits = 3..8 (3 x 2, FOVID 27), listed in d.list: their mean is 2..7.
void frames(const std::string& dir) {
    testkit::write_float_image(dir + "/g0.fits", {3, 2}, {1, 2, 3, 4, 5, 6},
                               {Keyword::integer("FOVID", 27)});
    testkit::write_float_image(dir + "/g1.fits", {3, 2}, {3, 4, 5, 6, 7, 8},
                               {Keyword::integer("FOVID", 27)});
    testkit::write_text(dir + "/d.list", "g0.fits\ng1.fits\n");
}

// h.fits with the given bytes, the only file of h.list.
void hostile(const std::string& dir, const std::string& bytes) {
    raw_fits::write_bytes(dir + "/h.fits", bytes);
    testkit::write_text(dir + "/h.list", "h.fits\n");
}

// A good frame followed by h.fits in h.list, so that h.fits meets the plane reader.
void hostile_second(const std::string& dir, const std::string& bytes) {
    frames(dir);
    raw_fits::write_bytes(dir + "/h.fits", bytes);
    testkit::write_text(dir + "/h.list", "g0.fits\nh.fits\n");
}

// The frames with m.fits as BMASK of both.
void hostile_mask(const std::string& dir, const std::string& bytes) {
    frames(dir);
    raw_fits::write_bytes(dir + "/m.fits", bytes);
    testkit::write_text(dir + "/m.list", "m.fits\nm.fits\n");
}

std::string float_image(const std::vector<long>& axes, const std::vector<double>& values,
                        const std::vector<std::string>& extra = {}) {
    return primary_header(-32, axes, extra) + pad(be_floats(values, false), '\0');
}

std::string int_image(int bitpix, const std::vector<long>& axes,
                      const std::vector<long long>& values,
                      const std::vector<std::string>& extra = {}) {
    return primary_header(bitpix, axes, extra) + pad(be_ints(values, std::abs(bitpix) / 8), '\0');
}

// Every byte value in turn, four times: text readers meet NULs, control characters and
// bytes above 127 on lines of every length.
std::string binary_bytes() {
    std::string b;
    for (int k = 0; k < 4; ++k) {
        for (int c = 0; c < 256; ++c) {
            b += static_cast<char>(c);
        }
    }
    return b;
}

// ------------------------------------------------------------------ result checks

void expect_pixels(const std::string& path, const std::vector<float>& want) {
    ASSERT_TRUE(testkit::file_exists(path));
    const testkit::Image img = testkit::read_image(path);
    EXPECT_EQ(img.fpixels, want);
}

void mean_of_frames(const std::string& dir) {
    expect_pixels(dir + "/out.fits", {2, 3, 4, 5, 6, 7});
}

void copy_of_g0(const std::string& dir) {
    expect_pixels(dir + "/out.fits", {1, 2, 3, 4, 5, 6});
}

bool is_char_device(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

// A product that could not be created leaves the others: the weights list of both frames.
void weights_still_written(const std::string& dir) {
    EXPECT_EQ(testkit::read_text(dir + "/kestack_wt.txt"),
              "         1.0000  g0.fits\n         1.0000  g1.fits\n");
}

void dev_full_kept_and_data_written(const std::string& dir) {
    EXPECT_TRUE(is_char_device("/dev/full"));
    mean_of_frames(dir);
}

// ------------------------------------------------------------------ the table

struct HostileCase {
    const char* name;
    void (*make)(const std::string& dir);
    std::vector<std::string> args;
    int status;
    const char* first_line;                // expected first message line; nullptr: not checked
    bool prefix;                           // first_line is only the start of the line
    void (*check)(const std::string& dir); // further checks; nullptr: no out.fits may exist
    long address_space_mb;                 // > 0: run under this address-space limit
    const char* needs_device;              // a device the case writes to, or nullptr
};

const std::vector<std::string> kOne = {"-di", "h.list", "-do", "out.fits"};
const std::vector<std::string> kTwo = {"-di", "d.list", "-do", "out.fits"};
const std::vector<std::string> kMasked = {"-di", "d.list", "-do", "out.fits",
                                          "-bm", "m.list", "-bf", "1"};

std::vector<std::string> two_and(std::vector<std::string> extra) {
    std::vector<std::string> a = kTwo;
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

const char kOpenFailed[] = "\aERROR opening FITS file h.fits in read_fits_dims_2d()";
const char kNoImage[] =
    "\aERROR: file h.fits holds no image in its primary HDU [read_fits_dims_2d()]";
const char kFloatBitpix[] = "\aERROR: In read_fits() the file h.fits has incorrect BITPIX:";
const char kShortBitpix[] = "\aERROR: In read_fits_s() the file m.fits has incorrect BITPIX:";
const char kFloatAlloc[] = "\aERROR: Can't allocate required memory for float_image in read_fits()";

const HostileCase kCases[] = {
    // ---- FITS structure
    {"NotAFitsFile", [](const std::string& d) { hostile(d, "plain text, not an image\n"); }, kOne,
     64, kOpenFailed, false, nullptr, 0, nullptr},
    {"EmptyFile", [](const std::string& d) { hostile(d, ""); }, kOne, 64, kOpenFailed, false,
     nullptr, 0, nullptr},
    {"TruncatedHeader",
     [](const std::string& d) {
         hostile(d, float_image({3, 2}, {1, 2, 3, 4, 5, 6}).substr(0, 1000));
     },
     kOne, 64, kOpenFailed, false, nullptr, 0, nullptr},
    {"HeaderWithoutEnd",
     [](const std::string& d) {
         std::string h;
         for (int i = 0; i < 36; ++i) {
             h += card(i == 0 ? "SIMPLE" : "C" + std::to_string(i), i == 0 ? "T" : "1");
         }
         hostile(d, h + std::string(2880, '\0'));
     },
     kOne, 64, kOpenFailed, false, nullptr, 0, nullptr},
    {"TruncatedDataUnit",
     // 100 x 100 pixels announced, one block (720 pixels) present.
     [](const std::string& d) {
         hostile(d, primary_header(-32, {100, 100}) + pad(be_floats({1, 2, 3}, false), '\0'));
     },
     kOne, 64, "\aERROR: Attempt to read float image from file h.fits FAILED in read_fits().",
     false, nullptr, 0, nullptr},
    {"NaxisZero", [](const std::string& d) { hostile(d, primary_header(-32, {})); }, kOne, 64,
     kNoImage, false, nullptr, 0, nullptr},
    {"ImageOnlyInAnExtension",
     [](const std::string& d) {
         hostile(d, primary_header(8, {}, {card("EXTEND", "T")}) +
                        raw_fits::float_extension_header({3, 2}) +
                        pad(be_floats({1, 2, 3, 4, 5, 6}, false), '\0'));
     },
     kOne, 64, kNoImage, false, nullptr, 0, nullptr},
    {"NaxisZeroAfterAGoodFrame",
     [](const std::string& d) { hostile_second(d, primary_header(-32, {})); }, kOne, 64,
     "\aERROR: file h.fits holds no image in its primary HDU [read_fits()]", false, nullptr, 0,
     nullptr},
    {"AxisOfLengthZero",
     [](const std::string& d) {
         hostile(d, primary_header(-32, {3, 0}));
     },
     kOne, 64, kNoImage, false, nullptr, 0, nullptr},
    {"NegativeAxis",
     [](const std::string& d) {
         hostile(d, primary_header(-32, {-3, 2}));
     },
     kOne, 64, kOpenFailed, false, nullptr, 0, nullptr},
    {"FourAxesTwoOfThemOne",
     [](const std::string& d) {
         frames(d);
         hostile(d, float_image({3, 2, 1, 1}, {1, 2, 3, 4, 5, 6}));
         testkit::write_text(d + "/h.list", "h.fits\ng1.fits\n");
     },
     kOne, 0, "", false, mean_of_frames, 0, nullptr},
    {"ThreeAxesOfTwoPlanes",
     [](const std::string& d) {
         hostile(d, float_image({3, 2, 2}, std::vector<double>(12, 1)));
     },
     kOne, 64, "\aERROR: more than two dimensions in file h.fits [read_fits_dims_2d()]", false,
     nullptr, 0, nullptr},
    {"ElevenAxesTheLastOfTwo",
     // Only the first ten axes counted would take this for a 3 x 2 image.
     [](const std::string& d) {
         hostile(d, float_image({3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 2}, std::vector<double>(12, 1)));
     },
     kOne, 64, "\aERROR: more than two dimensions in file h.fits [read_fits_dims_2d()]", false,
     nullptr, 0, nullptr},
    {"ElevenAxesAfterAGoodFrame",
     [](const std::string& d) {
         hostile_second(d,
                        float_image({3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 2}, std::vector<double>(12, 1)));
     },
     kOne, 64, "\aERROR: dimensions don't match: file 12, but arrray 6 in read_fits()", false,
     nullptr, 0, nullptr},
    {"NaxisAboveTheFitsLimit",
     [](const std::string& d) {
         hostile(d, raw_fits::pad(card("SIMPLE", "T") + card("BITPIX", "-32") +
                                      card("NAXIS", "1000") + raw_fits::end_card(),
                                  ' '));
     },
     kOne, 64, kOpenFailed, false, nullptr, 0, nullptr},

    // ---- pixel types
    {"Bitpix8Data",
     [](const std::string& d) {
         hostile(d, int_image(8, {3, 2}, {1, 2, 3, 4, 5, 6}));
     },
     kOne, 64, kFloatBitpix, false, nullptr, 0, nullptr},
    {"Bitpix32Data",
     [](const std::string& d) {
         hostile(d, int_image(32, {3, 2}, {1, 2, 3, 4, 5, 6}));
     },
     kOne, 64, kFloatBitpix, false, nullptr, 0, nullptr},
    {"Bitpix64Data",
     [](const std::string& d) {
         hostile(d, int_image(64, {3, 2}, {1, 2, 3, 4, 5, 6}));
     },
     kOne, 64, kFloatBitpix, false, nullptr, 0, nullptr},
    {"BitpixMinus64Data",
     [](const std::string& d) {
         hostile(d, primary_header(-64, {3, 2}) + pad(be_floats({1, 2, 3, 4, 5, 6}, true), '\0'));
     },
     kOne, 0, "CAUTION: in file h.fits BITPIX is -64, not -32 (FLOAT_IMG) -- will continue anyway.",
     false, copy_of_g0, 0, nullptr},
    {"DoubleBeyondTheFloatRange",
     // 1e300 has no float value: it rounds to +infinity, which the run counts as data.
     [](const std::string& d) {
         hostile(d,
                 primary_header(-64, {3, 2}) + pad(be_floats({1e300, 2, 3, 4, 5, 6}, true), '\0'));
     },
     kOne, 0, "CAUTION: in file h.fits BITPIX is -64, not -32 (FLOAT_IMG) -- will continue anyway.",
     false,
     [](const std::string& d) {
         expect_pixels(d + "/out.fits", {std::numeric_limits<float>::infinity(), 2, 3, 4, 5, 6});
     },
     0, nullptr},
    {"ScaledShortData",
     [](const std::string& d) {
         hostile(d, int_image(16, {3, 2}, {1, 2, 3, 4, 5, 6},
                              {card("BSCALE", "0.5"), card("BZERO", "10.0")}));
     },
     kOne, 64, kFloatBitpix, false, nullptr, 0, nullptr},
    {"ScaledFloatData",
     // Stored 1..6 with BSCALE 2 and BZERO 1: the image values are 3, 5, .., 13.
     [](const std::string& d) {
         hostile(d, float_image({3, 2}, {1, 2, 3, 4, 5, 6},
                                {card("BSCALE", "2.0"), card("BZERO", "1.0")}));
     },
     kOne, 0, "", false,
     [](const std::string& d) {
         expect_pixels(d + "/out.fits", {3, 5, 7, 9, 11, 13});
     },
     0, nullptr},
    {"Bitpix8Mask",
     [](const std::string& d) {
         hostile_mask(d, int_image(8, {3, 2}, {0, 0, 0, 0, 0, 0}));
     },
     kMasked, 64, kShortBitpix, false, nullptr, 0, nullptr},
    {"Bitpix32Mask",
     [](const std::string& d) {
         hostile_mask(d, int_image(32, {3, 2}, {0, 0, 0, 0, 0, 0}));
     },
     kMasked, 64, kShortBitpix, false, nullptr, 0, nullptr},
    {"UnsignedMaskBeyondShort",
     // BZERO 32768 makes the stored 0 the value 32768, which no 16-bit mask plane can hold.
     [](const std::string& d) {
         hostile_mask(d, int_image(16, {3, 2}, {0, 0, 0, 0, 0, 0}, {card("BZERO", "32768")}));
     },
     kMasked, 64, "\aERROR: Attempt to read short image from file m.fits FAILED in read_fits_s().",
     false, nullptr, 0, nullptr},
    {"MaskWithoutImage", [](const std::string& d) { hostile_mask(d, primary_header(16, {})); },
     kMasked, 64, "\aERROR: file m.fits holds no image in its primary HDU [read_fits_s()]", false,
     nullptr, 0, nullptr},

    // ---- folders and self references
    {"DirectoryAsFirstDataFile",
     [](const std::string& d) {
         mkdir((d + "/sub").c_str(), 0755);
         testkit::write_text(d + "/h.list", "sub\n");
     },
     kOne, 64, "\aERROR opening FITS file sub in read_fits_dims_2d()", false, nullptr, 0, nullptr},
    {"DirectoryAsSecondDataFile",
     [](const std::string& d) {
         frames(d);
         mkdir((d + "/sub").c_str(), 0755);
         testkit::write_text(d + "/h.list", "g0.fits\nsub\n");
     },
     kOne, 64, "\aERROR: Attempt to read file sub FAILED in read_fits().", false, nullptr, 0,
     nullptr},
    {"DirectoryAsMask",
     [](const std::string& d) {
         frames(d);
         mkdir((d + "/sub").c_str(), 0755);
         testkit::write_text(d + "/m.list", "sub\nsub\n");
     },
     kMasked, 64, "\aERROR: Attempt to read file sub FAILED in read_fits_s().", false, nullptr, 0,
     nullptr},
    {"DirectoryAsDataList",
     [](const std::string& d) { mkdir((d + "/sub").c_str(), 0755); },
     {"-di", "sub", "-do", "out.fits"},
     64,
     "\aERROR opening FILELIST file: \"sub\" in routine count_filenames()",
     false,
     nullptr,
     0,
     nullptr},
    {"DirectoryAsNamelist",
     [](const std::string& d) { mkdir((d + "/sub").c_str(), 0755); },
     {"-n", "sub", "-ls", "-do", "out.fits"},
     64,
     "\aERROR opening NAMELIST file: \"sub\" in routine process_namelist()",
     false,
     nullptr,
     0,
     nullptr},
    {"ListNamingItself",
     [](const std::string& d) { testkit::write_text(d + "/h.list", "h.list\n"); }, kOne, 64,
     "\aERROR opening FITS file h.list in read_fits_dims_2d()", false, nullptr, 0, nullptr},
    {"NamelistNamingItselfAsDataList",
     // As a list file the namelist's first word line, &STACKLE, is a file name.
     [](const std::string& d) {
         testkit::write_text(d + "/n.nl", "&STACKLE\n STK_di = n.nl\n STK_do = out.fits\n&END\n");
     },
     {"-n", "n.nl"},
     64,
     "\aERROR opening FITS file &STACKLE in read_fits_dims_2d()",
     false,
     nullptr,
     0,
     nullptr},

    // ---- hostile text
    {"BinaryListFile",
     [](const std::string& d) { raw_fits::write_bytes(d + "/h.list", binary_bytes()); }, kOne, 64,
     "\aERROR opening FITS file ", true, nullptr, 0, nullptr},
    {"BinaryNamelist",
     // No "&STACKLE" line: the namelist is ignored with a caution and the run goes on.
     [](const std::string& d) {
         frames(d);
         raw_fits::write_bytes(d + "/b.nl", binary_bytes());
     },
     two_and({"-n", "b.nl"}), 0, "CAUTION: MISTAKE IN NAMELIST, b.nl -- \"&STACKLE\" not found.",
     false, mean_of_frames, 0, nullptr},
    {"BinaryNamelistHoldingTheLists",
     [](const std::string& d) { raw_fits::write_bytes(d + "/b.nl", binary_bytes()); },
     {"-n", "b.nl", "-ls", "-do", "out.fits"},
     64,
     "CAUTION: MISTAKE IN NAMELIST, b.nl -- \"&STACKLE\" not found.",
     false,
     nullptr,
     0,
     nullptr},
    {"NameOf256Characters",
     [](const std::string& d) { testkit::write_text(d + "/h.list", std::string(256, 'n') + "\n"); },
     kOne, 64,
     "\aERROR in FILELIST file: \"h.list\" in routine count_filenames(): a filename is longer "
     "than 255 characters",
     false, nullptr, 0, nullptr},
    {"NameOf255Characters",
     [](const std::string& d) {
         const std::string name = std::string(250, 'n') + ".fits";
         testkit::write_float_image(d + "/" + name, {3, 2}, {1, 2, 3, 4, 5, 6},
                                    {Keyword::integer("FOVID", 27)});
         testkit::write_text(d + "/h.list", name + "\n");
     },
     kOne, 0, "", false,
     [](const std::string& d) {
         copy_of_g0(d);
         EXPECT_EQ(testkit::read_text(d + "/kestack_wt.txt"),
                   "         1.0000  " + std::string(250, 'n') + ".fits\n");
     },
     0, nullptr},
    {"CommentLineOf600Characters",
     // The rest of a long comment is not a file name.
     [](const std::string& d) {
         frames(d);
         testkit::write_text(d + "/h.list", "#" + std::string(600, 'x') + "\ng0.fits\ng1.fits\n");
     },
     kOne, 0, "", false, mean_of_frames, 0, nullptr},
    {"NameAfter300Blanks",
     [](const std::string& d) {
         frames(d);
         testkit::write_text(d + "/h.list", "g0.fits\n" + std::string(300, ' ') + "g1.fits\n");
     },
     kOne, 0, "", false, mean_of_frames, 0, nullptr},
    {"ListWithoutLineEnd",
     [](const std::string& d) {
         frames(d);
         testkit::write_text(d + "/h.list", "g0.fits\ng1.fits");
     },
     kOne, 0, "", false, mean_of_frames, 0, nullptr},
    {"NamelistWithoutLineEnd",
     [](const std::string& d) {
         frames(d);
         testkit::write_text(d + "/n.nl", "&STACKLE\n STK_di = d.list\n STK_do = out.fits\n&END");
     },
     {"-n", "n.nl"},
     0,
     "",
     false,
     mean_of_frames,
     0,
     nullptr},
    {"UnbalancedQuotes",
     // Quotes are blanks in a key line, paired or not.
     [](const std::string& d) {
         frames(d);
         testkit::write_text(d + "/n.nl",
                             "&STACKLE\n STK_di = 'd.list\n STK_do = \"out.fits\n&END\n");
     },
     {"-n", "n.nl"},
     0,
     "",
     false,
     mean_of_frames,
     0,
     nullptr},
    {"NamelistValueOf300Characters",
     [](const std::string& d) {
         frames(d);
         testkit::write_text(d + "/n.nl", "&STACKLE\n STK_di = d.list\n STK_do = " +
                                              std::string(300, 'o') + "\n&END\n");
     },
     {"-n", "n.nl"},
     64,
     "\aERROR in processing namelist file: PARAM=<STK_DO> VAL=<",
     true,
     nullptr,
     0,
     nullptr},

    {"SdevListShorterThanDataList",
     // The missing name stays empty; the run stops when it comes to read it.
     [](const std::string& d) {
         frames(d);
         testkit::write_text(d + "/s.list", "g0.fits\n");
     },
     two_and({"-si", "s.list"}), 64,
     "\aWARNING:  FILELIST s.list has 1 filenames, but should have 2", false, nullptr, 0, nullptr},

    // ---- product folders and devices
    {"OutputFolderMissing", frames, two_and({"-do", "nodir/out.fits"}), 64,
     "\aERROR: Attempt to create FITS file nodir/out.fits FAILED in write_flt_fits().", false,
     weights_still_written, 0, nullptr},
    {"OutputFolderIsAFile", frames, two_and({"-do", "g0.fits/out.fits"}), 64,
     "\aERROR: Attempt to create FITS file g0.fits/out.fits FAILED in write_flt_fits().", false,
     [](const std::string& d) {
         weights_still_written(d);
         expect_pixels(d + "/g0.fits", {1, 2, 3, 4, 5, 6});
     },
     0, nullptr},
    {"OutputFolderRefusingFiles",
     // /proc takes no new file, whatever the user (the tests may run as root).
     frames, two_and({"-do", "/proc/stackle-out.fits"}), 64,
     "\aERROR: Attempt to create FITS file /proc/stackle-out.fits FAILED in write_flt_fits().",
     false, weights_still_written, 0, nullptr},
    {"WeightsListFolderMissing", frames, two_and({"-wo", "nodir/w.txt"}), 64,
     "\aERROR: Unable to open Weights List File nodir/w.txt for writing", false, mean_of_frames, 0,
     nullptr},
    {"SdevToFullDevice", frames, two_and({"-so", "/dev/full"}), 64,
     "\aERROR: Attempt to write float image to file /dev/full FAILED in write_flt_fits().", false,
     dev_full_kept_and_data_written, 0, "/dev/full"},
    {"AmaskToFullDevice", frames, two_and({"-am", "/dev/full"}), 64,
     "\aERROR: Attempt to write short image to file /dev/full FAILED in write_flt_fits_from_dbl().",
     false, dev_full_kept_and_data_written, 0, "/dev/full"},
    {"WeightsListToFullDevice", frames, two_and({"-wo", "/dev/full"}), 64,
     "\aERROR: Unable to open Weights List File /dev/full for writing", false,
     dev_full_kept_and_data_written, 0, "/dev/full"},
    {"DataWithHeadersToFullDevice",
     frames,
     {"-di", "d.list", "-do", "/dev/full", "-h1"},
     64,
     "\aERROR: Attempt to write float image to file /dev/full FAILED in write_flt_fits_from_dbl().",
     false,
     [](const std::string&) { EXPECT_TRUE(is_char_device("/dev/full")); },
     0,
     "/dev/full"},
    {"EveryProductToNullDevice",
     frames,
     {"-di", "d.list", "-do", "/dev/null", "-so", "/dev/null", "-am", "/dev/null", "-wo",
      "/dev/null"},
     0,
     "",
     false,
     [](const std::string&) { EXPECT_TRUE(is_char_device("/dev/null")); },
     0,
     "/dev/null"},

    // ---- memory (headers alone: the data are never reached)
    {"FloatPlaneBeyondMemory",
     [](const std::string& d) {
         hostile(d, primary_header(-32, {8192, 8192}));
     },
     kOne, 64, kFloatAlloc, false, nullptr, 128, nullptr},
    {"PixelCountBeyond32Bits",
     // 65536 x 65536 is 2^32 pixels: 0 in 32-bit arithmetic.
     [](const std::string& d) {
         hostile(d, primary_header(-32, {65536, 65536}));
     },
     kOne, 64, kFloatAlloc, false, nullptr, 128, nullptr},
    {"MaskPlaneBeyondMemory",
     [](const std::string& d) { hostile_mask(d, primary_header(16, {16384, 16384})); }, kMasked, 64,
     "\aERROR: Can't allocate required memory for short_image in read_fits_s()", false, nullptr,
     128, nullptr},
    {"ProductsBeyondMemory",
     // One 32 MiB frame fits under the limit; its means plane does not fit beside it.
     [](const std::string& d) {
         testkit::write_float_image(d + "/big.fits", {2048, 4096},
                                    std::vector<float>(2048 * 4096, 1.0f),
                                    {Keyword::integer("FOVID", 27)});
         testkit::write_text(d + "/h.list", "big.fits\n");
     },
     kOne, 64, "\aERROR: Can't allocate required memory for means", false, nullptr, 72, nullptr},
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

struct Hostile : testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, EndsWithItsMessageAndStatus) {
    const HostileCase& c = GetParam();
    if (c.address_space_mb > 0 && kUnderAsan) {
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    }
    if (c.needs_device != nullptr && !is_char_device(c.needs_device)) {
        GTEST_SKIP() << c.needs_device << " is not available";
    }
    testkit::TempDir dir;
    c.make(dir.path());
    testkit::RunOptions opts;
    opts.cwd = dir.path();
    opts.address_space_mb = c.address_space_mb;
    const testkit::RunResult r = testkit::run(testkit::installed_program("stackle"), c.args, opts);
    const std::string first = first_message_line(r.out);
    RecordProperty("first_line", first);
    RecordProperty("exit_status", r.status);

    ASSERT_FALSE(r.signaled) << r.out << r.err;
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    if (c.first_line != nullptr && c.prefix) {
        EXPECT_EQ(first.compare(0, std::string(c.first_line).size(), c.first_line), 0) << first;
    } else if (c.first_line != nullptr) {
        EXPECT_EQ(first, c.first_line) << r.out;
    }
    EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
    if (c.check != nullptr) {
        c.check(dir.path());
    } else {
        EXPECT_FALSE(testkit::file_exists(dir.file("out.fits")));
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Hostile, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

// A file size limit stands in for a full disk: the product cannot be completed, the run
// ends with the writer's message and the earlier file of that name is left as it was.
TEST(HostileResources, ProductThatCannotBeCompletedKeepsTheEarlierFile) {
    testkit::TempDir dir;
    frames(dir.path());
    testkit::write_text(dir.file("out.fits"), "earlier result\n");
    testkit::RunOptions opts;
    opts.cwd = dir.path();
    // 4 blocks of 512 or 1024 bytes, whichever the shell counts in: less than the 5760-byte
    // product.  SIGXFSZ ignored, so that the write fails instead of killing the program.
    const testkit::RunResult r =
        testkit::run("/bin/sh",
                     {"-c", "trap '' XFSZ; ulimit -f 4 && exec \"$0\" -di d.list -do out.fits",
                      testkit::installed_program("stackle")},
                     opts);
    ASSERT_FALSE(r.signaled) << r.out;
    EXPECT_EQ(r.status, 64) << r.out << r.err;
    EXPECT_EQ(first_message_line(r.out),
              "\aERROR: Attempt to write float image to file out.fits FAILED in write_flt_fits().");
    EXPECT_EQ(testkit::read_text(dir.file("out.fits")), "earlier result\n");
    EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
}

} // namespace
