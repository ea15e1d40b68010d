// The installed stackle against hostile and refused inputs and failing resources: broken and
// unusual FITS files, images of the wrong type or shape, hostile list and namelist text,
// product folders that cannot take a file, full devices, a file size limit and exhausted
// memory.  Every case ends with the program's own message and status 64 (or is accepted where
// the readers accept it), never with a crash, and leaves no unfinished product behind.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <limits>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "hostile_support.h"
#include "testkit.h"

namespace {

using namespace raw_fits;
using Make = std::function<void(const std::string& dir)>;

const std::vector<double> kSix = {1, 2, 3, 4, 5, 6};
const std::vector<float> kMean = {2, 3, 4, 5, 6, 7}; // of g0.fits and g1.fits
const std::vector<float> kG0 = {1, 2, 3, 4, 5, 6};

// Standard output from its first line that is neither empty nor part of a banner.
std::string message_of(const std::string& out) {
    for (size_t pos = 0, end = 0; pos < out.size(); pos = end + 1) {
        end = std::min(out.find('\n', pos), out.size());
        if (end > pos && out.compare(pos, 3, "===") != 0) {
            return out.substr(pos);
        }
    }
    return "";
}

// g0.fits = 1..6 and g1.fits = 3..8 (3 x 2, FOVID 27), listed in d.list.
void frames(const std::string& dir) {
    write_bytes(dir + "/g0.fits", primary_header(-32, {3, 2}) + pad(be_floats(kSix, false), '\0'));
    write_bytes(dir + "/g1.fits",
                primary_header(-32, {3, 2}) + pad(be_floats({3, 4, 5, 6, 7, 8}, false), '\0'));
    testkit::write_text(dir + "/d.list", "g0.fits\ng1.fits\n");
}

// Writes the named files (a name ending in "/" is made a folder), after the frames if asked.
Make files(std::vector<std::pair<std::string, std::string>> named, bool with_frames = false) {
    return [named, with_frames](const std::string& dir) {
        if (with_frames) {
            frames(dir);
        }
        for (const auto& f : named) {
            if (f.first.back() == '/') {
                mkdir((dir + "/" + f.first).c_str(), 0755);
            } else {
                write_bytes(dir + "/" + f.first, f.second);
            }
        }
    };
}
// h.fits, the only file of h.list; after a good frame in h.list; m.fits, BMASK of both frames.
Make one(const std::string& bytes) {
    return files({{"h.fits", bytes}, {"h.list", "h.fits\n"}});
}
Make second(const std::string& bytes) {
    return files({{"h.fits", bytes}, {"h.list", "g0.fits\nh.fits\n"}}, true);
}
Make mask(const std::string& bytes) {
    return files({{"m.fits", bytes}, {"m.list", "m.fits\nm.fits\n"}}, true);
}
Make with_frames(const std::string& name, const std::string& text) {
    return files({{name, text}}, true);
}

std::string float_image(const std::vector<long>& axes, const std::vector<double>& values,
                        const std::vector<std::string>& extra = {},
                        const std::string& fovid = "27") {
    return primary_header(-32, axes, extra, fovid) + pad(be_floats(values, false), '\0');
}
std::string int_image(int bitpix, const std::vector<double>& values,
                      const std::vector<std::string>& extra = {}) {
    const std::vector<long long> ints(values.begin(), values.end());
    return primary_header(bitpix, {3, 2}, extra) + pad(be_ints(ints, std::abs(bitpix) / 8), '\0');
}
std::string double_image(const std::vector<double>& values) {
    return primary_header(-64, {3, 2}) + pad(be_floats(values, true), '\0');
}

// A block of 36 cards, none of them END, then a block of zeros.
std::string header_without_end() {
    std::string h = card("SIMPLE", "T");
    for (int i = 1; i < 36; ++i) {
        h += card("C" + std::to_string(i), "1");
    }
    return h + std::string(2880, '\0');
}

// Every byte value in turn, four times: text readers meet NULs, control characters and
// bytes above 127 on lines of every length.
std::string binary_bytes() {
    std::string b;
    for (int k = 0; k < 4 * 256; ++k) {
        b += static_cast<char>(k % 256);
    }
    return b;
}

std::string float_bitpix(int bitpix) {
    return "\aERROR: In read_fits() the file h.fits has incorrect BITPIX:\n\aERROR: BITPIX is " +
           std::to_string(bitpix) +
           " but it should be -32 (FLOAT_IMG) [-64 (DOUBLE_IMG) is also permitted]";
}
std::string short_bitpix(int bitpix) {
    return "\aERROR: In read_fits_s() the file m.fits has incorrect BITPIX:\n"
           "\aERROR: BITPIX should be 16 but it is " +
           std::to_string(bitpix);
}

// 1000 frames of 8 x 8 of value 1 with their uncertainty images, BMASKs and PMASKs, listed.
void thousands_of_inputs(const std::string& d) {
    const std::string frame = float_image({8, 8}, std::vector<double>(64, 1.0));
    const std::string mask = primary_header(16, {8, 8}) + pad(std::string(128, '\0'), '\0');
    std::string lists[4];
    const char* kinds[4] = {"d", "s", "b", "p"};
    for (int i = 0; i < 1000; ++i) {
        for (int k = 0; k < 4; ++k) {
            const std::string name = kinds[k] + std::to_string(i) + ".fits";
            write_bytes(d + "/" + name, k < 2 ? frame : mask);
            lists[k] += name + "\n";
        }
    }
    for (int k = 0; k < 4; ++k) {
        testkit::write_text(d + "/" + kinds[k] + ".list", lists[k]);
    }
}

// The refusal of an output that is the input `name`, or named twice.
std::string clash(const std::string& name) {
    return "\aERROR: output file " + name + " is the same file as input file " + name +
           "; nothing written";
}
std::string twice(const std::string& name) {
    return "\aERROR: output files " + name + " and " + name + " are the same file; nothing written";
}
Make linked(const std::string& link, const std::string& target) {
    return [link, target](const std::string& dir) {
        frames(dir);
        ASSERT_EQ(symlink(target.c_str(), (dir + "/" + link).c_str()), 0);
    };
}
Make fifo(const std::string& name) {
    return
        [name](const std::string& dir) { ASSERT_EQ(mkfifo((dir + "/" + name).c_str(), 0644), 0); };
}
void kept_old(const std::string& d) {
    EXPECT_EQ(testkit::read_text(d + "/out.fits"), "old");
}

// out.fits of mode 0600 (and owner 1234 when the tests may give files away), and s.fits a link
// to t.fits.
void replaced_products(const std::string& d) {
    frames(d);
    testkit::write_text(d + "/out.fits", "old");
    testkit::write_text(d + "/t.fits", "old");
    ASSERT_EQ(symlink("t.fits", (d + "/s.fits").c_str()), 0);
    ASSERT_EQ(chmod((d + "/out.fits").c_str(), 0600), 0);
    ASSERT_TRUE(geteuid() != 0 || chown((d + "/out.fits").c_str(), 1234, 1234) == 0);
}
void kept_identity(const std::string& d) {
    struct stat st {};
    ASSERT_EQ(stat((d + "/out.fits").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(geteuid() != 0 || (st.st_uid == 1234 && st.st_gid == 1234));
    ASSERT_EQ(lstat((d + "/s.fits").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(testkit::read_image(d + "/t.fits").naxes, (std::vector<long>{3, 2}));
}

// Texts standard output holds somewhere, in a row's message.
std::string somewhere(const std::vector<std::string>& texts) {
    std::string m;
    for (const std::string& t : texts) {
        m += "..." + t;
    }
    return m.empty() ? "..." : m;
}
std::string in_program(const std::string& reason) {
    return "\aERROR in program $0:  " + reason + ".\n\n";
}
const char kNoList[] = "in routine count_filenames()";
const char kNamelistValue[] = "\aERROR in processing namelist file: PARAM=<";

// d0.fits of 2 x 1 pixels of 1 with FOVID `fovid`, listed in d.list, and fmask.fits of
// `width` x 1 pixels of bit 2 with the FOV and bit lists given.
Make fov_stack(int fovid, long width, const char* fovlist, const char* bitlist) {
    return [=](const std::string& d) {
        testkit::write_float_image(d + "/d0.fits", {2, 1}, {1, 1},
                                   {testkit::Keyword::integer("FOVID", fovid)});
        testkit::write_text(d + "/d.list", "d0.fits\n");
        testkit::write_short_image(d + "/fmask.fits", {width, 1},
                                   std::vector<int16_t>(static_cast<size_t>(width), 2),
                                   {testkit::Keyword::text("FOVLIST", fovlist),
                                    testkit::Keyword::text("BITLIST", bitlist)});
    };
}
std::vector<std::string> fov_args(const char* weighting) {
    return {"-di", "d.list", "-do", "out.fits", "-fm", "fmask.fits", "-wt", weighting, "-D"};
}

// ------------------------------------------------------------------ the table

struct HostileCase {
    const char* name;
    Make make;
    std::vector<std::string> args;
    int status;
    // Standard output from its first message line on starts with these lines ("$0" stands for
    // the program); a final '*' ends only the start of a line; "": no message at all; texts
    // after "..." are found anywhere in it.
    std::string message;
    std::vector<float> out; // pixels of out.fits; empty: no out.fits and no weights list
    void (*check)(const std::string& dir); // further checks, or nullptr
    long address_space_mb;                 // > 0: run under this address-space limit
    int file_blocks; // > 0: run with files limited to this many blocks, SIGXFSZ ignored

    HostileCase(const char* n, Make m, std::vector<std::string> a, int s, std::string msg,
                std::vector<float> o = {}, void (*c)(const std::string&) = nullptr, long mb = 0,
                int blocks = 0)
        : name(n), make(std::move(m)), args(std::move(a)), status(s), message(std::move(msg)),
          out(std::move(o)), check(c), address_space_mb(mb), file_blocks(blocks) {}
};

const std::vector<std::string> kOne = {"-di", "h.list", "-do", "out.fits"};
const std::vector<std::string> kTwo = {"-di", "d.list", "-do", "out.fits"};
const std::vector<std::string> kMasked = {"-di", "d.list", "-do", "out.fits",
                                          "-bm", "m.list", "-bf", "1"};
std::vector<std::string> two_and(std::vector<std::string> extra) {
    extra.insert(extra.begin(), kTwo.begin(), kTwo.end());
    return extra;
}

const char kOpenFailed[] =
    "\aERROR opening FITS file h.fits in read_fits_dims_2d()\nreturned status=*";
const char kNoImage[] =
    "\aERROR: file h.fits holds no image in its primary HDU [read_fits_dims_2d()]";
const char kThreeDims[] = "\aERROR: more than two dimensions in file h.fits [read_fits_dims_2d()]";
const char kCaution[] =
    "CAUTION: in file h.fits BITPIX is -64, not -32 (FLOAT_IMG) -- will continue anyway.";
const char kFloatAlloc[] = "\aERROR: Can't allocate required memory for float_image in read_fits()";
const std::vector<long> kElevenAxes = {3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 2};

const HostileCase kCases[] = {
    // ---- FITS structure
    {"NotAFitsFile", one("plain text, not an image\n"), kOne, 64, kOpenFailed},
    {"EmptyFile", one(""), kOne, 64, kOpenFailed},
    {"TruncatedHeader", one(float_image({3, 2}, kSix).substr(0, 1000)), kOne, 64, kOpenFailed},
    {"HeaderWithoutEnd", one(header_without_end()), kOne, 64, kOpenFailed},
    {"TruncatedDataUnit", // 100 x 100 pixels announced, one block (720 pixels) present
     one(primary_header(-32, {100, 100}) + pad(be_floats({1, 2, 3}, false), '\0')), kOne, 64,
     "\aERROR: Attempt to read float image from file h.fits FAILED in read_fits()."},
    {"NaxisZero", one(primary_header(-32, {})), kOne, 64,
     std::string(kNoImage) + "\n       NAXIS=0, npixels=0"},
    {"ImageOnlyInAnExtension",
     one(primary_header(8, {}, {card("EXTEND", "T")}) + float_extension_header({3, 2}) +
         pad(be_floats(kSix, false), '\0')),
     kOne, 64, kNoImage},
    {"NaxisZeroAfterAGoodFrame", second(primary_header(-32, {})), kOne, 64,
     "\aERROR: file h.fits holds no image in its primary HDU [read_fits()]"},
    {"AxisOfLengthZero", one(primary_header(-32, {3, 0})), kOne, 64,
     std::string(kNoImage) + "\n       NAXIS=2, npixels=0"},
    {"NegativeAxis", one(primary_header(-32, {-3, 2})), kOne, 64, kOpenFailed},
    {"NaxisAboveTheFitsLimit",
     one(pad(card("SIMPLE", "T") + card("BITPIX", "-32") + card("NAXIS", "1000") +
                 end_card(),
             ' ')),
     kOne, 64, kOpenFailed},

    // ---- shapes: a third axis of length 1 is a plane, more planes are refused
    {"ThirdAxisOfOne", second(float_image({3, 2, 1}, kSix)), kOne, 0, "", kG0,
     [](const std::string& d) {
         EXPECT_EQ(testkit::read_image(d + "/out.fits").naxes, (std::vector<long>{3, 2}));
     }},
    {"FourAxesTwoOfThemOne",
     files({{"h.fits", float_image({3, 2, 1, 1}, kSix)}, {"h.list", "h.fits\ng1.fits\n"}}, true),
     kOne, 0, "", kMean},
    {"ThreeAxesOfTwoPlanes", one(float_image({3, 2, 2}, std::vector<double>(12, 1))), kOne, 64,
     std::string(kThreeDims) + "\n       xdim=3, ydim=2, anaxes[2]=2, npixels=12"},
    {"ThreeAxesOfTwoPlanesAfterAGoodFrame",
     second(float_image({3, 2, 2}, std::vector<double>(12, 1))), kOne, 64,
     "\aERROR: dimensions don't match: file 12, but arrray 6 in read_fits()"},
    {"ElevenAxesTheLastOfTwo", // only the first ten axes counted would see a 3 x 2 image
     one(float_image(kElevenAxes, std::vector<double>(12, 1))), kOne, 64,
     std::string(kThreeDims) + "\n       xdim=3, ydim=2, anaxes[2]=1, npixels=12"},
    {"ElevenAxesAfterAGoodFrame", second(float_image(kElevenAxes, std::vector<double>(12, 1))),
     kOne, 64, "\aERROR: dimensions don't match: file 12, but arrray 6 in read_fits()"},
    {"SizeMismatchNamesPlaneNumberOne", second(float_image({2, 3}, kSix)), kOne, 64,
     "\aERROR in input data planes, in program $0\n"
     "\aERROR:  Data plane number 1 is 2x3 but should be 3x2"},

    // ---- FOVID: the first data file's number is adopted, every other must match it
    {"FovidMismatch", second(float_image({3, 2}, kSix, {}, "28")), kOne, 64,
     "\aERROR: FOVID=27 in first data file, but FOVID=28 in FITS file h.fits [in read_fits()]\n"
     "       All input data files MUST have identical FOVID numbers\nreturned status=0"},
    {"FovidMissing", second(float_image({3, 2}, kSix, {}, "")), kOne, 64,
     "\aERROR: Required keyword FOVID not found in FITS file h.fits [in read_fits()]\n"
     "returned status=202"},

    // ---- pixel types
    {"Bitpix8Data", one(int_image(8, kSix)), kOne, 64, float_bitpix(8)},
    {"Bitpix16Data", one(int_image(16, kSix)), kOne, 64, float_bitpix(16)},
    {"Bitpix32Data", one(int_image(32, kSix)), kOne, 64, float_bitpix(32)},
    {"Bitpix64Data", one(int_image(64, kSix)), kOne, 64, float_bitpix(64)},
    {"BitpixMinus64Data", // 0.1 is read as the float nearest to it
     one(double_image({0.1, 2, 3, 4, 5, 6})), kOne, 0, kCaution, {0.1f, 2, 3, 4, 5, 6}},
    {"DoubleBeyondTheFloatRange", // 1e300 rounds to +infinity, which the run counts as data
     one(double_image({1e300, 2, 3, 4, 5, 6})), kOne, 0, kCaution,
     {std::numeric_limits<float>::infinity(), 2, 3, 4, 5, 6}},
    {"ScaledShortData", // integers that hold fractions are floating-point data: 10.5, .., 13
     one(int_image(16, kSix, {card("BSCALE", "0.5"), card("BZERO", "10.0")})), kOne, 0, "",
     {10.5, 11, 11.5, 12, 12.5, 13}},
    {"ScaledFloatData", // stored 1..6 with BSCALE 2 and BZERO 1: the values 3, 5, .., 13
     one(float_image({3, 2}, kSix, {card("BSCALE", "2.0"), card("BZERO", "1.0")})), kOne, 0, "",
     {3, 5, 7, 9, 11, 13}},
    {"Bitpix8Mask", mask(int_image(8, {0, 0, 0, 0, 0, 0})), kMasked, 64, short_bitpix(8)},
    {"Bitpix32Mask", mask(int_image(32, {0, 0, 0, 0, 0, 0})), kMasked, 64, short_bitpix(32)},
    {"UnsignedMaskBeyondShort", // BZERO 32768 makes the stored 0 a 32768
     mask(int_image(16, {0, 0, 0, 0, 0, 0}, {card("BZERO", "32768")})), kMasked, 64,
     "\aERROR: Attempt to read short image from file m.fits FAILED in read_fits_s()."},
    {"MaskWithoutImage", mask(primary_header(16, {})), kMasked, 64,
     "\aERROR: file m.fits holds no image in its primary HDU [read_fits_s()]"},

    // ---- folders and self references
    {"DirectoryAsFirstDataFile", files({{"sub/", ""}, {"h.list", "sub\n"}}), kOne, 64,
     "\aERROR opening FITS file sub in read_fits_dims_2d()"},
    {"DirectoryAsSecondDataFile", files({{"sub/", ""}, {"h.list", "g0.fits\nsub\n"}}, true),
     kOne, 64, "\aERROR: Attempt to read file sub FAILED in read_fits()."},
    {"DirectoryAsMask", files({{"sub/", ""}, {"m.list", "sub\nsub\n"}}, true), kMasked, 64,
     "\aERROR: Attempt to read file sub FAILED in read_fits_s()."},
    {"DirectoryAsDataList", files({{"sub/", ""}}), {"-di", "sub", "-do", "out.fits"}, 64,
     "\aERROR opening FILELIST file: \"sub\" in routine count_filenames()"},
    {"DirectoryAsNamelist", files({{"sub/", ""}}), {"-n", "sub", "-ls", "-do", "out.fits"}, 64,
     "\aERROR opening NAMELIST file: \"sub\" in routine process_namelist()"},
    {"ListNamingItself", files({{"h.list", "h.list\n"}}), kOne, 64,
     "\aERROR opening FITS file h.list in read_fits_dims_2d()"},
    {"NamelistNamingItselfAsDataList", // its first word line, &STACKLE, is read as a file name
     files({{"n.nl", "&STACKLE\n STK_di = n.nl\n STK_do = out.fits\n&END\n"}}), {"-n", "n.nl"},
     64, "\aERROR opening FITS file &STACKLE in read_fits_dims_2d()"},

    // ---- hostile text
    {"BinaryListFile", files({{"h.list", binary_bytes()}}), kOne, 64,
     "\aERROR in FILELIST file: \"h.list\" in routine count_filenames(): a filename holds a "
     "NUL byte"},
    {"BinaryNamelist", // no "&STACKLE" line: ignored with a caution, the run goes on
     with_frames("b.nl", binary_bytes()), two_and({"-n", "b.nl"}), 0,
     "CAUTION: MISTAKE IN NAMELIST, b.nl -- \"&STACKLE\" not found.", kMean},
    {"BinaryNamelistHoldingTheLists", files({{"b.nl", binary_bytes()}}),
     {"-n", "b.nl", "-ls", "-do", "out.fits"}, 64,
     "CAUTION: MISTAKE IN NAMELIST, b.nl -- \"&STACKLE\" not found."},
    {"NameOf256Characters", files({{"h.list", std::string(256, 'n') + "\n"}}), kOne, 64,
     "\aERROR in FILELIST file: \"h.list\" in routine count_filenames(): a filename is longer "
     "than 255 characters"},
    {"NameOf255Characters",
     files({{std::string(250, 'n') + ".fits", float_image({3, 2}, kSix)},
            {"h.list", std::string(250, 'n') + ".fits\n"}}),
     kOne, 0, "", kG0,
     [](const std::string& d) {
         EXPECT_EQ(testkit::read_text(d + "/kestack_wt.txt"),
                   "         1.0000  " + std::string(250, 'n') + ".fits\n");
     }},
    {"CommentLineOf600Characters", // the rest of a long comment is not a file name
     with_frames("h.list", "#" + std::string(600, 'x') + "\ng0.fits\ng1.fits\n"), kOne, 0, "",
     kMean},
    {"NameAfter300Blanks", with_frames("h.list", "g0.fits\n" + std::string(300, ' ') + "g1.fits\n"),
     kOne, 0, "", kMean},
    {"ListWithoutLineEnd", with_frames("h.list", "g0.fits\ng1.fits"), kOne, 0, "", kMean},
    {"NamelistWithoutLineEnd",
     with_frames("n.nl", "&STACKLE\n STK_di = d.list\n STK_do = out.fits\n&END"), {"-n", "n.nl"},
     0, "", kMean},
    {"UnbalancedQuotes", // quotes are blanks in a key line, paired or not
     with_frames("n.nl", "&STACKLE\n STK_di = 'd.list\n STK_do = \"out.fits\n&END\n"),
     {"-n", "n.nl"}, 0, "", kMean},
    {"NamelistValueOf256Characters", // refused, never cut
     with_frames("n.nl",
                 "&STACKLE\n STK_di = d.list\n STK_do = " + std::string(256, 'o') + "\n&END\n"),
     {"-n", "n.nl"}, 64, kNamelistValue + ("STK_DO> VAL=<" + std::string(256, 'o') + ">")},
    {"NamelistNumberOf400Nines", // would scan as infinity
     with_frames("n.nl", "&STACKLE\n STK_cf = " + std::string(400, '9') + "\n&END\n"),
     two_and({"-n", "n.nl"}), 64,
     somewhere({kNamelistValue + ("STK_CF> VAL=<" + std::string(400, '9') + ">\n")})},
    {"NamelistNumberOf255Characters",
     with_frames("n.nl", "&STACKLE\n STK_cf = ." + std::string(253, '0') + "1\n&END\n"),
     two_and({"-n", "n.nl"}), 0, somewhere({}), kMean},
    {"NamelistValueWithANul",
     with_frames("n.nl", std::string("&STACKLE\n STK_do = out\0x.fits\n&END\n", 35)),
     {"-n", "n.nl", "-di", "d.list"}, 64, somewhere({kNamelistValue + std::string("STK_DO> VAL=<out>\n")})},
    {"ProductNameOf256Characters", frames, {"-di", "d.list", "-do", std::string(256, 'n')}, 64,
     "\aERROR in processing command line at argument #3: \"-do\""},

    // ---- settings: switches, namelist sections, what is missing
    {"UnknownSwitchAndStrayParameter", frames, {"-x", "5", "-do", "out.fits"}, 64,
     somewhere({"\nWARNING: Unknown switch 1: \"-x\" IGNORED.\n\n",
                "\a\n*** NOTE:  Unexpected parameter #2: \"5\" IGNORED.\n\n",
                in_program("no input FITS data file list specified (-di)")})},
    {"SwitchValueNotANumber", frames, {"-V", "-ag", "abc"}, 64,
     somewhere({"\aERROR in processing command line at argument #2: \"-ag\"\n"})},
    {"SwitchWithoutValue", frames, {"-do"}, 64,
     "\aERROR in processing command line at argument #1: \"-do\""},
    {"WeightingWithoutFmask", frames, two_and({"-wt", "1"}), 64,
     somewhere({"\aERROR:  Cannot set -wt to 1 without specifying an FMASK file with -fm\n"})},
    {"NoOutput", frames, {"-di", "d.list"}, 64,
     somewhere({in_program("no output FITS data file specified (-do)")})},
    {"CommandLineOverNamelistAndBothKeyForms", // quotes, commas and '=' as blanks
     with_frames("nl", "&STACKLE\n  STK_cf = 0.25\n  XYZ_di = 'absent.list',\n"
                       "  data_out_file=\"out.fits\"\n  STK_ag\n&END\n"),
     {"-n", "nl", "-cf", "0.3", "-V", "-wt", "256"}, 64,
     somewhere({"  (-cf)  cut_frac        = 0.3\n", "  (-di)  data_in_lfile   = \"absent.list\"\n",
                "  (-do)  data_out_file   = \"out.fits\"\n", "  (-wt)  use_weights     = NO\n",
                "         namelist        = \"nl\"\n", "  (-bp)  bpass             NOT DEFINED. \n",
                "CAUTION: Malformed line in NAMELIST IGNORED: \"  STK_ag\n\"\n",
                "\aERROR opening FILELIST file: \"absent.list\" " + std::string(kNoList) + "\n"})},
    {"NamelistWithoutItsSectionIsIgnored", with_frames("nl", "STK_do = out.fits\n"),
     {"-n", "nl", "-di", "absent.list"}, 64,
     somewhere({"CAUTION: MISTAKE IN NAMELIST, nl -- \"&STACKLE\" not found.\n         IGNORING "
                "NAMELIST. \n\n",
                in_program("no output FITS data file specified (-do)")})},
    {"NamelistWithoutEndIsKept", with_frames("nl", "&STACKLE\n STK_do = out.fits\n"),
     {"-n", "nl", "-di", "absent.list"}, 64,
     somewhere({"CAUTION: MISTAKE IN NAMELIST, nl -- \"&END\" not found.\n         IGNORING LACK "
                "OF \"&END\". \n\n",
                kNoList})},
    {"NamelistWithoutTheDataSection", with_frames("nl", "&STACKLE\n STK_do = out.fits\n&END\n"),
     {"-n", "nl", "-ls"}, 64,
     somewhere({"CAUTION: MISKAKE IN NAMELIST, nl -- \"&COADD_DATA\" not found.\n",
                "No data filenames found in : \"nl\""})},
    {"NamelistMissing", frames, {"-n", "absent", "-di", "d", "-do", "out.fits"}, 64,
     somewhere({"\aERROR opening NAMELIST file: \"absent\" in routine process_namelist()\n"})},
    {"NamelistEmpty", with_frames("nl", ""), {"-n", "nl", "-di", "absent.list", "-do", "out.fits"},
     64, somewhere({kNoList})},
    {"ListOfNoName", with_frames("e.list", "\n# nothing\n"), {"-di", "e.list", "-do", "out.fits"},
     64,
     somewhere({"\aERROR:  No data filenames found in : \"e.list\"Failure after routine "
                "count_filenames(), in stackle\n"})},
    {"SdevListShorterThanDataList", // the missing name stays empty; the run stops at it
     with_frames("s.list", "g0.fits\n"), two_and({"-si", "s.list"}), 64,
     "\aWARNING:  FILELIST s.list has 1 filenames, but should have 2"},

    // ---- product folders and devices: a product that cannot be made leaves every earlier
    // file as it was (the byte check of every row), none of the run's products
    {"OutputFolderMissing", frames, two_and({"-do", "nodir/out.fits"}), 64,
     "\aERROR: Attempt to create FITS file nodir/out.fits FAILED in write_flt_fits()."},
    {"OutputFolderIsAFile", frames, two_and({"-do", "g0.fits/out.fits"}), 64,
     "\aERROR: Attempt to create FITS file g0.fits/out.fits FAILED in write_flt_fits()."},
    {"OutputFolderRefusingFiles", // /proc takes no new file, whatever the user (maybe root)
     frames, two_and({"-do", "/proc/stackle-out.fits"}), 64,
     "\aERROR: Attempt to create FITS file /proc/stackle-out.fits FAILED in write_flt_fits()."},
    {"SdevFolderMissing", files({{"out.fits", "old"}, {"am.fits", "old"}}, true),
     two_and({"-so", "nodir/sd.fits", "-am", "am.fits"}), 64,
     "\aERROR: Attempt to create FITS file nodir/sd.fits FAILED in write_flt_fits().", {},
     kept_old},
    {"WeightsListFolderMissing", files({{"out.fits", "old"}}, true), two_and({"-wo", "nodir/w"}),
     64, "\aERROR: Unable to open Weights List File nodir/w for writing", {}, kept_old},
    {"SdevToFullDevice", frames, two_and({"-so", "/dev/full"}), 64,
     "\aERROR: Attempt to write float image to file /dev/full FAILED in write_flt_fits()."},
    {"AmaskToFullDevice", frames, two_and({"-am", "/dev/full"}), 64,
     "\aERROR: Attempt to write short image to file /dev/full FAILED in write_flt_fits_from_dbl()."},
    {"WeightsListToFullDevice", frames, two_and({"-wo", "/dev/full"}), 64,
     "\aERROR: Unable to open Weights List File /dev/full for writing"},
    {"DataWithHeadersToFullDevice", frames, {"-di", "d.list", "-do", "/dev/full", "-h1"}, 64,
     "\aERROR: Attempt to write float image to file /dev/full FAILED in write_flt_fits_from_dbl()."},
    {"EveryProductToNullDevice", frames,
     {"-di", "d.list", "-do", "/dev/null", "-so", "/dev/null", "-am", "/dev/null", "-wo",
      "/dev/null"},
     0, ""},

    // ---- outputs that are inputs, or another output: refused before anything is read
    {"OutputIsADataFile", frames, {"-di", "d.list", "-do", "g0.fits"}, 64, clash("g0.fits")},
    {"WeightsListIsADataFile", frames, two_and({"-wo", "g1.fits"}), 64, clash("g1.fits")},
    {"WeightsListIsTheDataList", frames, two_and({"-wo", "d.list"}), 64, clash("d.list")},
    {"AmaskIsAMask", mask(int_image(16, {0, 0, 0, 0, 0, 0})), two_and({"-bm", "m.list", "-bf", "1", "-am", "m.fits"}),
     64, clash("m.fits")},
    {"WeightsListIsTheNamelist",
     with_frames("n.nl", "&STACKLE\n STK_di = d.list\n STK_do = out.fits\n STK_wo = n.nl\n&END\n"),
     {"-n", "n.nl"}, 64, clash("n.nl")},
    {"OutputLinkedToADataFile", linked("l.fits", "g0.fits"), {"-di", "d.list", "-do", "l.fits"}, 64,
     "\aERROR: output file l.fits is the same file as input file g0.fits; nothing written"},
    {"SdevIsTheImage", frames, two_and({"-so", "out.fits"}), 64, twice("out.fits")},
    {"WeightsListIsTheImage", frames, two_and({"-wo", "./out.fits"}), 64,
     "\aERROR: output files out.fits and ./out.fits are the same file; nothing written"},
    // ---- the FITS library's name syntax resolved first: never another file clobbered
    {"TemplateThatIsNoFile", files({{"d/", ""}, {"d/out", "old"}}, true),
     {"-di", "d.list", "-do", "d/out(1).fits"}, 64,
     "\aERROR: the template file 1 named in d/out(1).fits cannot be read; nothing written"},
    {"CompressionTheLibraryRefuses", files({{"d/", ""}, {"d/out", "old"}}, true),
     {"-di", "d.list", "-do", "d/out[1].fits"}, 64,
     "\aERROR: Attempt to create FITS file d/out[1].fits FAILED in write_flt_fits()."},
    {"CompressedByItsName", frames, {"-di", "d.list", "-do", "o.fits.gz"}, 0, "", {},
     [](const std::string& d) {
         EXPECT_EQ(testkit::read_image(d + "/o.fits.gz").fpixels, kMean);
     }},
    {"ProductNameOf250Characters", frames, {"-di", "d.list", "-do", std::string(245, 'o') + ".fits"},
     0, "", {},
     [](const std::string& d) {
         EXPECT_EQ(testkit::read_image(d + "/" + std::string(245, 'o') + ".fits").fpixels, kMean);
     }},
    {"ReplacedProductsKeepModeOwnerAndLinks", replaced_products, two_and({"-so", "s.fits"}), 0, "",
     kMean, kept_identity},
    // ---- pipes and devices as inputs: refused, never read twice or without end
    {"PipeAsDataList", fifo("l.fifo"), {"-di", "l.fifo", "-do", "out.fits"}, 64,
     "\aERROR: l.fifo is a pipe or device, not a regular file\n"
     "\aERROR opening FILELIST file: \"l.fifo\" in routine count_filenames()"},
    {"DeviceAsNamelist", frames, two_and({"-n", "/dev/zero"}), 64,
     "\aERROR: /dev/zero is a pipe or device, not a regular file\n"
     "\aERROR opening NAMELIST file: \"/dev/zero\" in routine process_namelist()"},
    {"PipeAsDataFile", [](const std::string& d) { fifo("p.fits")(d), frames(d),
                                                    testkit::write_text(d + "/h.list", "g0.fits\np.fits\n"); },
     kOne, 64, "\aERROR: input p.fits is a pipe or device, not a regular file; nothing written"},
    {"ListOfOneEndlessLine", with_frames("h.list", std::string(1 << 20, 'x')), kOne, 64,
     "\aERROR: a line of h.list is longer than 4096 characters"},

    // ---- the FOV chosen for weighting and the FMASK
    {"FovidNotInTheFovList", fov_stack(30, 2, "[26,27]", "[1,2]"), fov_args("1"), 64,
     somewhere({"ERROR:  FOVID=30 not found in FOVLIST from FMASK.\n"})},
    {"FovWithoutBit", fov_stack(27, 2, "[26,27]", "[1,-1]"), fov_args("1"), 64,
     somewhere({"ERROR:  FOVID=27 not found in FOVLIST from FMASK.\n"})},
    {"EmptyFovListTakesAnyBit", fov_stack(27, 2, "[]", "[]"), fov_args("1"), 0, somewhere({}),
     {1, 1}},
    {"FovidZeroWeighted", fov_stack(0, 2, "[26,27]", "[1,2]"), fov_args("1"), 64,
     somewhere({"ERROR: FOVID wasn't found and stored in req_fov_num -- this shouldn't happen!\n"})},
    {"FovidZeroUnweighted", fov_stack(0, 2, "[26,27]", "[1,2]"), fov_args("0"), 0,
     somewhere({"cs.fov_for_wts NOT SET since it's not needed.\n(DBG) The selected FOV NUMBER = "
                "-1 will be used for DCE weighting  (-1 ==> no weighting)\n",
                "cs.num_fovs = 2  cs.fov_for_wts = -1  cs.bit_for_wts = -1\n"}),
     {1, 1}},
    {"FovidBeyondShortWeighted", // 65563 would wrap to 27, an FOV of the lists
     fov_stack(65563, 2, "[26,27]", "[1,2]"), fov_args("1"), 64,
     somewhere({"\aERROR: FOVID=65563 of the data files is too large for DCE weighting (at most "
                "32767)\n"})},
    {"FovidBeyondShortUnweighted", fov_stack(65563, 2, "[26,27]", "[1,2]"), fov_args("0"), 0,
     somewhere({}), {1, 1}},
    {"FmaskOfWrongSizeWeighted", fov_stack(27, 3, "[26,27]", "[1,2]"), fov_args("1"), 64,
     somewhere({"\aERROR in input FMASK, in program $0\n\aERROR:  FMASK dims are 3x1 but should be "
                "2x1\n"})},
    {"FmaskOfWrongSizeUnweighted", fov_stack(27, 3, "[26,27]", "[1,2]"), fov_args("0"), 64,
     somewhere({"\aERROR in input FMASK, in program $0\n\aERROR:  FMASK dims are 3x1 but should be "
                "2x1\n"})},

    // ---- memory (headers alone: the data are never reached)
    {"PlaneBeyondAnyMemory", one(primary_header(-32, {2000000000, 2000000000})), kOne, 64,
     kFloatAlloc},
    {"FloatPlaneBeyondMemory", one(primary_header(-32, {8192, 8192})), kOne, 64, kFloatAlloc, {},
     nullptr, 128},
    {"PixelCountBeyond32Bits", // 65536 x 65536 is 2^32 pixels: 0 in 32-bit arithmetic
     one(primary_header(-32, {65536, 65536})), kOne, 64, kFloatAlloc, {}, nullptr, 128},
    {"MaskPlaneBeyondMemory", mask(primary_header(16, {16384, 16384})), kMasked, 64,
     "\aERROR: Can't allocate required memory for short_image in read_fits_s()", {}, nullptr,
     128},
    {"ProductsBeyondMemory", // one 32 MiB frame fits under the limit, its means plane does not
     [](const std::string& d) {
         write_bytes(d + "/h.fits", primary_header(-32, {2048, 4096}) +
                                                  pad(std::string(2048 * 4096 * 4, '\0'), '\0'));
         testkit::write_text(d + "/h.list", "h.fits\n");
     },
     kOne, 64, "\aERROR: Can't allocate required memory for means", {}, nullptr, 72},

    {"ThousandsOfSmallInputs", // 4000 files of 8 x 8: read whole, not kept open at 130 KB each
     thousands_of_inputs,
     {"-di", "d.list", "-si", "s.list", "-bm", "b.list", "-bf", "1", "-pm", "p.list", "-pf", "1",
      "-do", "out.fits"},
     0, "NOTE: The sdev files are not used when calculating flux.", {},
     [](const std::string& d) {
         EXPECT_EQ(testkit::read_image(d + "/out.fits").fpixels, std::vector<float>(64, 1.0f));
     },
     300},

    // ---- a file size limit stands in for a full disk: 4 blocks of 512 or 1024 bytes,
    // whichever the shell counts in, hold less than the 5760-byte product; the earlier file
    // of that name is left as it was
    {"ProductThatCannotBeCompletedKeepsTheEarlierFile",
     files({{"out.fits", "earlier result\n"}}, true), kTwo, 64,
     "\aERROR: Attempt to write float image to file out.fits FAILED in write_flt_fits().", {},
     [](const std::string& d) {
         EXPECT_EQ(testkit::read_text(d + "/out.fits"), "earlier result\n");
     },
     0, 4},
};

// The files a successful run may replace: its products, through their links.
std::set<std::string> run_products(const std::string& dir, const std::vector<std::string>& args) {
    std::set<std::string> out = {dir + "/out.fits", dir + "/kestack_wt.txt"};
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "-do" || args[i] == "-so" || args[i] == "-am" || args[i] == "-wo") {
            out.insert(std::filesystem::weakly_canonical(dir + "/" + args[i + 1]).string());
        }
    }
    return out;
}

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

bool is_char_device(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// A sanitizer build of the program must report a failed allocation, not stop on it.
bool let_allocations_fail() {
    const char* old = std::getenv("ASAN_OPTIONS");
    const std::string opts =
        std::string(old != nullptr ? old : "") + ":allocator_may_return_null=1";
    return !kUnderAsan || setenv("ASAN_OPTIONS", opts.c_str(), 1) == 0;
}

struct Hostile : testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, EndsWithItsMessageAndStatus) {
    const HostileCase& c = GetParam();
    if (c.address_space_mb > 0 && kUnderAsan) {
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    }
    for (const std::string& a : c.args) {
        if (a.compare(0, 5, "/dev/") == 0 && !is_char_device(a)) {
            GTEST_SKIP() << a << " is not available";
        }
    }
    static const bool may_fail = let_allocations_fail();
    ASSERT_TRUE(may_fail);
    testkit::TempDir dir;
    c.make(dir.path());
    const auto before = snapshot(dir.path());
    testkit::RunOptions opts;
    opts.cwd = dir.path();
    opts.address_space_mb = c.address_space_mb;
    const std::string prog = testkit::installed_program("stackle");
    std::vector<std::string> args = c.args;
    if (c.file_blocks > 0) {
        args.insert(
            args.begin(),
            {"-c", "ulimit -f " + std::to_string(c.file_blocks) + " && exec \"$0\" \"$@\"", prog});
    }
    const testkit::RunResult r = testkit::run(c.file_blocks > 0 ? "/bin/sh" : prog, args, opts);
    const std::string msg = message_of(r.out);
    RecordProperty("first_line", msg.substr(0, msg.find('\n')));
    RecordProperty("exit_status", r.status);

    ASSERT_FALSE(r.signaled) << r.out << r.err;
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    std::string want = c.message;
    for (size_t at; (at = want.find("$0")) != std::string::npos;) {
        want.replace(at, 2, prog);
    }
    if (want.compare(0, 3, "...") == 0) {
        for (size_t p = 3, q; p < want.size(); p = q + 3) {
            q = std::min(want.find("...", p), want.size());
            EXPECT_NE(r.out.find(want.substr(p, q - p)), std::string::npos)
                << want.substr(p, q - p) << " missing from\n"
                << r.out;
        }
    } else if (want.empty()) {
        EXPECT_EQ(msg, "");
    } else if (want.back() == '*') {
        EXPECT_EQ(msg.compare(0, want.size() - 1, want, 0, want.size() - 1), 0) << msg;
    } else {
        EXPECT_EQ(msg.compare(0, want.size() + 1, want + "\n"), 0) << msg;
    }
    EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
    EXPECT_EQ((r.out + r.err).find(".part-"), std::string::npos) << "a temporary name shown";
    EXPECT_EQ(changed_files(before, c.status == 0 ? run_products(dir.path(), c.args)
                                                  : std::set<std::string>{}),
              std::vector<std::string>{});
    for (const std::string& a : c.args) {
        EXPECT_TRUE(a.compare(0, 5, "/dev/") != 0 || is_char_device(a)) << a << " replaced";
    }
    if (!c.out.empty()) {
        EXPECT_EQ(testkit::read_image(dir.file("out.fits")).fpixels, c.out);
    } else if (c.check == nullptr) {
        EXPECT_FALSE(testkit::file_exists(dir.file("out.fits")));
        EXPECT_FALSE(testkit::file_exists(dir.file("kestack_wt.txt")));
    }
    if (c.check != nullptr) {
        c.check(dir.path());
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Hostile, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

// ------------------------------------------------------------------ interrupted and concurrent
// runs

// A larger stack: 12 frames of 256 x 256, frame i of value `base` + `step` * i, listed in `list`.
void big_stack(const std::string& dir, const std::string& list, float base, float step) {
    std::string names;
    for (int i = 0; i < 12; ++i) {
        const std::string name = list + std::to_string(i) + ".fits";
        testkit::write_float_image(
            dir + "/" + name, {256, 256},
            std::vector<float>(256 * 256, base + step * static_cast<float>(i)),
            {testkit::Keyword::integer("FOVID", 27)});
        names += name + "\n";
    }
    testkit::write_text(dir + "/" + list, names);
}

// The products of a run: out.fits, sd.fits and the weights list w.txt.
const std::vector<std::string> kProducts = {"out.fits", "sd.fits", "w.txt"};
std::vector<std::string> big_args(const std::string& list) {
    return {"-di", list, "-do", "out.fits", "-so", "sd.fits", "-wo", "w.txt"};
}

// Runs on a.list and b.list, which give different products.
struct Interrupted : testing::Test {
    testkit::TempDir dir;
    const std::string prog = testkit::installed_program("stackle");
    std::map<std::string, std::string> made[2]; // the products of a complete run on each list

    void SetUp() override {
        big_stack(dir.path(), "a.list", 5.0f, 1.0f);
        big_stack(dir.path(), "b.list", 95.0f, 2.0f);
        for (int r = 0; r < 2; ++r) {
            ASSERT_EQ(
                wait_for(spawn_quietly(prog, big_args(r == 0 ? "a.list" : "b.list"), dir.path())),
                0);
            for (const std::string& p : kProducts) {
                made[r][p] = content(p);
            }
        }
    }
    // A product's text, or for an image its pixels (the header holds the time of the run).
    std::string content(const std::string& p) const {
        if (p == "w.txt" || testkit::read_text(dir.file(p)) == "old") {
            return testkit::read_text(dir.file(p));
        }
        const std::vector<float> px = testkit::read_image(dir.file(p)).fpixels;
        return std::string(reinterpret_cast<const char*>(px.data()), px.size() * sizeof(float));
    }
    // Where each product comes from: 'o' the old file, 'a' or 'b' a complete run on that list,
    // 'n' a complete run on either (the uncertainty image of both is the same), '?' anything else.
    std::string origin() const {
        std::string o;
        for (const std::string& p : kProducts) {
            const std::string c = content(p);
            const bool a = c == made[0].at(p);
            const bool b = c == made[1].at(p);
            o += c == "old" ? 'o' : (a && b ? 'n' : (a ? 'a' : (b ? 'b' : '?')));
        }
        return o;
    }
    void old_products() {
        for (const std::string& p : kProducts) {
            testkit::write_text(dir.file(p), "old");
        }
    }
    static int wait_for(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }
};

// 20 SIGKILL and 20 SIGTERM at moments spread over the run: every product is the old file or
// the run's complete one, and after SIGTERM no temporary file is left.
TEST_F(Interrupted, KilledRunsLeaveOldOrCompleteProducts) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(wait_for(spawn_quietly(prog, big_args("a.list"), dir.path())), 0);
    const auto run_us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    std::mt19937 random(16);
    std::set<std::string> seen;
    for (int k = 0; k < 40; ++k) {
        old_products();
        const pid_t pid = spawn_quietly(prog, big_args("a.list"), dir.path());
        usleep(static_cast<useconds_t>(random() % (run_us + 1)));
        kill(pid, k < 20 ? SIGKILL : SIGTERM);
        wait_for(pid);
        const std::string o = origin();
        seen.insert(o);
        // SIGKILL may fall between two renames of the commit; SIGTERM waits for its end.
        EXPECT_TRUE(k < 20 ? o.find_first_not_of("oan") == std::string::npos
                           : o == "ooo" || o == "ana")
            << "kill " << k << ": " << o;
        if (k >= 20) {
            EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{}) << k;
        }
        for (const std::string& left : unfinished_products(dir.path())) {
            std::remove(dir.file(left).c_str()); // SIGKILL leaves no chance to clean up
        }
    }
    RecordProperty("outcomes", std::to_string(seen.size()));
}

// Run a is stopped while it writes its products, before it puts any in place; run b then writes
// the same products in full, and a goes on: both succeed, and the products are b's, then a's,
// never a mixture (a run stopped too late is let go and tried again).
TEST_F(Interrupted, InterleavedRunsLeaveOneRunsProducts) {
    bool caught = false;
    for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
        old_products();
        const pid_t a = spawn_quietly(prog, big_args("a.list"), dir.path());
        while (unfinished_products(dir.path()).empty() && waitpid(a, nullptr, WNOHANG) == 0) {
        }
        int status = 0;
        kill(a, SIGSTOP);
        caught = waitpid(a, &status, WUNTRACED) == a && WIFSTOPPED(status) &&
                 testkit::read_text(dir.file("out.fits")) == "old";
        if (caught) {
            EXPECT_EQ(wait_for(spawn_quietly(prog, big_args("b.list"), dir.path())), 0);
            EXPECT_EQ(origin(), "bnb");
        }
        kill(a, SIGCONT);
        if (WIFSTOPPED(status)) {
            EXPECT_EQ(wait_for(a), 0);
        }
        EXPECT_EQ(origin(), "ana");
        EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
    }
    EXPECT_TRUE(caught);
}

} // namespace
