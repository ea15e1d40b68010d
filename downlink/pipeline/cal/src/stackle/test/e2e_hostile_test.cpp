// The installed stackle run on hand-made inputs, one table: known answers of small stacks
// (trimming, masks, weights, products, headers, usage), and hostile and refused inputs and
// failing resources: broken and unusual FITS files, images of the wrong type or shape, hostile
// list and namelist text, product folders that cannot take a file, full devices, a file size
// limit and exhausted memory.  Every row ends with the program's own message and status, never
// a crash; after every row no unfinished product is left or named, and every file but the
// products of a successful run is byte for byte as it was.  Then killed and interleaved runs.
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <numeric>
#include <random>
#include <regex>

#include "fits_test_support.h"
#include "hostile_support.h"

namespace {

using namespace raw_fits;
using testkit::Keyword;
using Make = std::function<void(const std::string& dir)>;
using Strings = std::vector<std::string>;
using Grid = std::vector<std::vector<double>>;
using Check = void (*)(const std::string& dir, const std::string& out);

const std::vector<double> kSix = {1, 2, 3, 4, 5, 6};
const char kMean[] = "2 3 4 5 6 7"; // of g0.fits and g1.fits
const std::string kProg = testkit::installed_program("stackle");


// A file as a row states it: an image's pixels (of HDU `hdu`) as "%.7g" words, or its text.
std::string shown(const std::string& path, int hdu = 1) {
    const std::string text = testkit::read_text(path);
    if (text.compare(0, 6, "SIMPLE") != 0 && text.compare(0, 2, "\x1f\x8b") != 0)
        return text; // neither FITS nor compressed
    std::string s;
    char word[32];
    for (float v : testkit::read_image(path, hdu).fpixels) {
        std::snprintf(word, sizeof word, " %.7g", static_cast<double>(v));
        s += std::isnan(v) ? " nan" : word;
    }
    return s.substr(1);
}

// Standard output from its first line that is neither empty nor part of a banner.
std::string message_of(const std::string& out) {
    return std::regex_replace(out, std::regex("^((===[^\n]*)?\n)*"), "",
                              std::regex_constants::format_first_only);
}

// The regular files under `dir` (links not followed) and their bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file() && !e.is_symlink())
            files[e.path().string()] = testkit::read_text(e.path().string());
    return files;
}


// Writes the named files, after g0.fits = 1..6 and g1.fits = 3..8 (3 x 2, FOVID 27) listed in
// d.list if asked: a name ending in "/" is made a folder, in "|" a pipe, and one whose text
// begins with "->" a link to the rest of the text.
Make files(std::vector<std::pair<std::string, std::string>> named, bool with_frames = false) {
    if (with_frames)
        named.insert(named.begin(), {{"g0.fits", image(-32, kSix)},
                                     {"g1.fits", image(-32, {3, 4, 5, 6, 7, 8})},
                                     {"d.list", "g0.fits\ng1.fits\n"}});
    return [named](const std::string& dir) {
        for (const auto& f : named) {
            const std::string path = dir + "/" + f.first;
            if (f.first.back() == '/')
                mkdir(path.c_str(), 0755);
            else if (f.first.back() == '|')
                ASSERT_EQ(mkfifo(path.substr(0, path.size() - 1).c_str(), 0644), 0);
            else if (f.second.compare(0, 2, "->") == 0)
                ASSERT_EQ(symlink(f.second.c_str() + 2, path.c_str()), 0);
            else
                write_bytes(path, f.second);
        }
    };
}
const Make frames = files({}, true);
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

// After `then`: <p>0.fits, <p>1.fits, ... of `w` pixels a row, listed in <p>.list; for "b" and
// "p" 16-bit masks, for any other prefix float frames; all of FOVID 27.
Make planes(const std::string& p, long w, const Grid& px, Make then = nullptr) {
    return [=](const std::string& d) {
        if (then)
            then(d);
        std::string list;
        for (size_t i = 0; i < px.size(); ++i) {
            list += p + std::to_string(i) + ".fits\n";
            testkit::write_image(
                d + "/" + p + std::to_string(i) + ".fits", p == "b" || p == "p" ? 16 : -32,
                {w, static_cast<long>(px[i].size()) / w}, px[i], {Keyword::integer("FOVID", 27)});
        }
        testkit::write_text(d + "/" + p + ".list", list);
    };
}
// fmask.fits of `w` pixels a row: FOV 26 is bit 1 and FOV 27 bit 2 unless other lists are given;
// with a FOVID: d0.fits of 2 x 1 pixels of 1 of that FOVID, alone in d.list.
Make fmask(long w, const std::vector<double>& px, const char* fovs = "[26,27]",
           const char* bits = "[1,2]", const char* fovid = nullptr) {
    return [=](const std::string& d) {
        testkit::write_image(d + "/fmask.fits", 16, {w, static_cast<long>(px.size()) / w}, px,
                             {Keyword::text("FOVLIST", fovs), Keyword::text("BITLIST", bits)});
        if (fovid)
            files({{"d0.fits", image(-32, {1, 1}, {}, {2, 1}, fovid)}, {"d.list", "d0.fits\n"}})(d);
    };
}
// d0.fits of FOVID `fovid` and an FMASK of `width` x 1 pixels of bit 2.
Make fov_stack(const char* fovid, long width, const char* bits = "[1,2]",
               const char* fovs = "[26,27]") {
    return fmask(width, std::vector<double>(width, 2), fovs, bits, fovid);
}

// Every byte value in turn, four times: text readers meet NULs, control characters and
// bytes above 127 on lines of every length.
std::string binary_bytes() {
    std::string b(4 * 256, '\0');
    std::iota(b.begin(), b.end(), '\0');
    return b;
}

// 1000 frames of 8 x 8 of value 1 with their uncertainty images, BMASKs and PMASKs, listed.
void thousands_of_inputs(const std::string& d) {
    for (const char* k : {"d", "s", "b", "p"}) {
        const bool frames = *k == 'd' || *k == 's';
        const std::string bytes =
            image(frames ? -32 : 16, std::vector<double>(64, frames), {}, {8, 8});
        std::string list;
        for (int i = 0; i < 1000; ++i) {
            list += k + std::to_string(i) + ".fits\n";
            write_bytes(d + "/" + k + std::to_string(i) + ".fits", bytes);
        }
        testkit::write_text(d + "/" + k + ".list", list);
    }
}

// out.fits of mode 0600 (and owner 1234 when the tests may give files away), and s.fits a link
// to t.fits: a run replaces them keeping all three.
void replaced_products(const std::string& d) {
    files({{"out.fits", "old"}, {"t.fits", "old"}, {"s.fits", "->t.fits"}}, true)(d);
    ASSERT_EQ(chmod((d + "/out.fits").c_str(), 0600), 0);
    ASSERT_TRUE(geteuid() != 0 || chown((d + "/out.fits").c_str(), 1234, 1234) == 0);
}
void kept_identity(const std::string& d, const std::string&) {
    struct stat st {};
    ASSERT_EQ(stat((d + "/out.fits").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(geteuid() != 0 || (st.st_uid == 1234 && st.st_gid == 1234));
    ASSERT_EQ(lstat((d + "/s.fits").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(shown(d + "/t.fits"), "0 0 0 0 0 0");
}

// Every image product carries the same comment block (but for the time it was written), which
// names the program and every product; fitsverify accepts each.
void comment_blocks(const std::string& d, const std::string&) {
    Strings first;
    for (const char* name : {"/out.fits", "/sd.fits", "/am.fits"}) {
        Strings c = stackle_comments(testkit::read_image(d + name));
        ASSERT_EQ(c.size(), 16u) << name;
        EXPECT_EQ(c.erase(c.begin() + 3)[-1], "[STACKLE] VERSION = 8.05");
        EXPECT_EQ(first.empty() ? (first = c) : c, first) << name;
        EXPECT_EQ(testkit::run("/usr/bin/fitsverify", {"-q", d + name}).status, 0) << name;
    }
    EXPECT_EQ(first[1] + first[6],
              "[STACKLE] MODULE " + kProg + "[STACKLE] OUTPUT FILE:   AMASK = am.fits");
}

// ------------------------------------------------------------------ the table

// One run.  Its standard output from its first message line on starts with the message text
// before any "..." ("$0" stands for the program; "" alone: no message at all); the texts after
// each "..." are found anywhere in standard output or error.  The products are file names,
// each followed by what it holds as shown() states it, "" for a file that must not exist; none:
// no out.fits and no weights list.
struct Row {
    std::string name;
    Make make; // the inputs, or nullptr
    Strings args;
    int status;
    std::string message;
    Strings products = {};
    Check check = nullptr;     // further checks
    long address_space_mb = 0; // > 0: run under this address-space limit
    int file_blocks = 0;       // > 0: run with files limited to this many blocks
};

Strings out(const std::string& pixels) {
    return {"out.fits", pixels};
}
// The refusal of an output that is the input `input`, or named twice.
std::string clash(const std::string& name, const std::string& input) {
    return "\aERROR: output file " + name + " is the same file as input file " + input +
           "; nothing written";
}
std::string not_created(const std::string& name) {
    return "\aERROR: Attempt to create FITS file " + name + " FAILED in write_flt_fits().";
}
// The weights list of frames d0.fits, d1.fits, ...
std::string weights(const Strings& w) {
    std::string out;
    for (size_t i = 0; i < w.size(); ++i)
        out += std::string(15 - w[i].size(), ' ') + w[i] + "  d" + std::to_string(i) + ".fits\n";
    return out;
}

const Strings kOne = {"-di", "h.list", "-do", "out.fits"};
const Strings kTwo = {"-di", "d.list", "-do", "out.fits"};
const Strings kMasked = {"-di", "d.list", "-do", "out.fits", "-bm", "m.list", "-bf", "1"};
Strings two_and(Strings extra) {
    extra.insert(extra.begin(), kTwo.begin(), kTwo.end());
    return extra;
}
Strings fov_args(const char* weighting) {
    return two_and({"-fm", "fmask.fits", "-wt", weighting, "-D"});
}
const std::vector<double> kZeros(6), kTwelve(12, 1);
const std::string kLongName = std::string(250, 'n') + ".fits";
const char kNoImage[] =
    "\aERROR: file h.fits holds no image in its primary HDU [read_fits_dims_2d()]";
const char kFloatAlloc[] = "\aERROR: Can't allocate required memory for float_image in read_fits()";
const char kSections[] = "&STACKLE\n STK_do = o.fits\n&END\n&coadd_data\n d0.fits\n d1.fits\n"
                         " d2.fits\n d3.fits\n d4.fits\n&end\n&Coadd_Bmask\n b.fits\n&END\n";
const std::string kHelp = "...BEGUN.\n===>     Processed at: ...\n&COADD_PMASK  - - - - ";

// Five frames with three bad values, in no order: 3 x 1 pixels (100, 2, 3, 4, 1), five 10s,
// (10, 5, 0, 5, 5).
const Make kTrim = planes("d", 3, {{100, 10, 10}, {2, 10, 5}, {3, 10, 0}, {4, 10, 5}, {1, 10, 5}});
// Two frames of 1 x 1 (1 and 3), a BMASK of bit 1 on the first, a PMASK of bit 1 on the second.
const Make kTwoMasks =
    planes("d", 1, {{1}, {3}}, planes("b", 1, {{1}, {0}}, planes("p", 1, {{0}, {1}})));
// Two frames of 2 x 1, only the first pixel in FOV 27.
const Make kOutsideFov = planes("d", 2, {{10, 100}, {20, 200}}, fmask(2, {2, 0}));
// Four pixels over three DCEs, every one a case of the AMASK (see its rows).
const Make kAmask =
    planes("d", 4, {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, NAN}},
           planes("b", 4, {{0, 0x84, 0x80, 0}, {0x0C, 0x08, 0x04, 0}, {0, 0, 0x80, 0x04}},
                  planes("p", 4, {{0, 0, 0, 0}, {0, 0, 0x40, 0}, {0, 0, 0, 0}})));
// DOUBLE_IMG frames 1, 2 and 3, 4; the first with a third axis of 1, an OBJECT.
const Make kDoubles =
    files({{"d0.fits", image(-64, {1, 2}, {card("OBJECT", "'NGC 1'")}, {2, 1, 1})},
           {"d1.fits", image(-64, {3, 4}, {}, {2, 1})},
           {"d.list", "d0.fits\nd1.fits\n"}});

std::vector<Row> rows() {
    // clang-format off
    return {
    // ---- known answers.  Trimming (-cf 0.2 of 5 values: one removal).  Pixel 0: median 3,
    // MAD 1, 97 >= 5 so 100 goes: 2.5.  Pixel 1: deviations all 0, one 10 goes.  Pixel 2:
    // median 5, MAD 0, 10 and 0 tie at 5, the earlier goes: 15 / 4.  At least 4 values stay:
    // AMASK 0.
    {"TrimmingRemovesTheOutlierOncePerPixel", kTrim, two_and({"-am", "am.fits"}), 0, "", {"out.fits", "2.5 10 3.75", "am.fits", "0 0 0"}},
    // Pixel 0 NaN everywhere: no value, AMASK 0x3000.  Pixel 1: two values, mean 2, fewer
    // than 3: 0x1000.  Pixel 2 holds an infinity, which is data.  Uncertainty 0 without sdev.
    {"NaNAndInfiniteInputs", planes("d", 3, {{NAN, 1, INFINITY}, {NAN, NAN, 1}, {NAN, 3, 2}}), two_and({"-so", "sd.fits", "-am", "am.fits"}),
        0, "", {"out.fits", "nan 2 inf", "sd.fits", "nan 0 0", "am.fits", "12288 4096 0"}},
    // One frame, named in a folder after a comment line, is copied over an earlier result
    {"SingleFrameIsCopiedAndReplacesAnEarlierResult", files({{"sub/", ""}, {"sub/d0.fits", image(-32, {1, -2, NAN, 4e10}, {}, {2, 2})},
        {"x.list", "# a comment\nsub/d0.fits\n"}, {"out.fits", image(-32, std::vector<double>(25, 7), {}, {5, 5})}}),
        {"-di", "x.list", "-do", "out.fits"}, 0, "", {"out.fits", "1 -2 nan 4e+10", "kestack_wt.txt", weights({"1.0000"}).replace(17, 0, "sub/")}},
    {"FirstFileHeadersPropagated", kDoubles, two_and({"-h1", "-so", "sd.fits", "-V"}), 0,
        "...\nCAUTION: in file d1.fits BITPIX is -64...Output    data file written: out.fits (with headers copied from d0.fits)\n", out("2 3"),
        [](const std::string& d, const std::string&) { // the first file's keywords; none in the uncertainty image
            std::string v;
            EXPECT_TRUE(testkit::read_keyword(d + "/out.fits", "OBJECT", v) && v == "'NGC 1'" && !testkit::read_keyword(d + "/sd.fits", "FOVID", v)); }},
    {"CommentBlockInEveryImageProduct", planes("d", 2, {{1, 2}, {3, NAN}, {5, 6}}), two_and({"-so", "sd.fits", "-am", "am.fits", "-wo", "w.txt"}),
        0, "", out("3 4"), comment_blocks},
    // "[compress]" asks for a tile-compressed image in q.fits.
    {"CompressedProductNamedTheLibrarysWay", planes("d", 2, {{1, 2}, {3, 4}}), {"-di", "d.list", "-do", "q.fits[compress]"}, 0, "",
        {"q.fits[compress]", ""}, [](const std::string& d, const std::string&) { EXPECT_EQ(shown(d + "/q.fits", 2), "2 3"); }},

    // ---- masks and weights.  FOV 27 (bit 2) covers both pixels; DCE 2's 1000 at pixel 0
    // carries the fatal bit 128.  FOV sums 20, 40, 30 (not 1030): weights 0.5, 1, 0.75.
    // Pixel 0 keeps 10 and 10; pixel 1 is (10 x 0.5 + 30 + 30 x 0.75) / 2.25.
    {"BfatalPixelReachesNeitherTheMeanNorTheWeights",
        planes("d", 2, {{10, 10}, {10, 30}, {1000, 30}}, planes("b", 2, {{0, 0}, {0, 0}, {128, 0}}, fmask(2, {2, 2}))),
        two_and({"-bm", "b.list", "-bf", "128", "-fm", "fmask.fits", "-am", "am.fits", "-V"}), 0,
        "...Selecting FOV=27 (BIT=2) for weighting\n...\nAfter b/pmask, BEFORE trimming, in FOV 27 ONLY:\n   In DCE   0, Number of good "
        "pixels is     2 => Number of pixels masked or in wrong FOV is     0 \n...DCE   2, Number of good pixels is     1 => Number of pixels masked",
        {"out.fits", "10 25.55556", "am.fits", "4096 0", "kestack_wt.txt", weights({"0.5000", "1.0000", "0.7500"})}},
    // With their fatal bits the masks remove DCE 0's and DCE 1's value respectively.
    {"AbsentBmaskWithItsFatalBit", files({{"m.list", "x\nx\n"}}, true), kMasked, 64, "\aERROR: Attempt to read file x FAILED in read_fits_s()."},
    {"BmaskFatalBit", kTwoMasks, two_and({"-bm", "b.list", "-pm", "p.list", "-bf", "1"}), 0, "", out("3")},
    {"PmaskFatalBit", kTwoMasks, two_and({"-bm", "b.list", "-pm", "p.list", "-pf", "1"}), 0, "", out("1")},
    // The debug switch shows every fifth value of each mask, from pixel 10 on, ten on each line.
    {"DebugSamplesOfTheMasks", planes("d", 12, Grid(2, std::vector<double>(120, 1)), planes("b", 12, Grid(2, std::vector<double>(120)))),
        two_and({"-bm", "b.list", "-bf", "1", "-D"}), 0, "...s[00055]=  0\ns[00070]=  0  s[00075]=", out(std::regex_replace(std::string(120, '1'), std::regex("\\B"), " "))},
    // Pixel 1 is in no FOV: the weights come from pixel 0 alone (10 and 20: 0.5 and 1).
    {"PixelOutsideTheFovStillReachesTheMean", kOutsideFov, two_and({"-fm", "fmask.fits", "-V"}), 0,
        "...FOV 27 ONLY:\n   In DCE   0, good pixels =     1 => pixels masked, rejected, or in wrong FOV =     1, WEIGHT = 0.50000\n",
        out("16.66667 166.6667")},
    {"WeightingOffReadsTheFmaskAndWeighsOne", kOutsideFov, two_and({"-fm", "fmask.fits", "-wt", "0", "-V"}), 0,
        "...AFTER setting all weights to ONE:\n   In DCE   0, good pixels =     2 => pixels masked, rejected =     0, WEIGHT = 1.00000\n",
        {"out.fits", "15 150", "kestack_wt.txt", weights({"1.0000", "1.0000"})}},
    // AMASK.  Pixel 0: three values, BMASK bits 0x0C, 0x04 passed.  Pixel 1: DCE 0 removed by
    // bfatal, two left, the 0x08 of DCE 1 not in bpass: 0x1000.  Pixel 2: DCEs 0 and 2 removed
    // by bfatal, DCE 1 by pfatal (its 0x04 must not pass): 0x3000.  Pixel 3: DCE 2 is NaN (its
    // 0x04 must not pass): 0x1000.
    {"AmaskCountsGoodValuesAndPassesBitsOfUsedValues", kAmask,
        two_and({"-bm", "b.list", "-bf", "128", "-pm", "p.list", "-pf", "64", "-am", "am.fits", "-ag", "3", "-bp", "4"}), 0, "",
        {"out.fits", "1 1 nan 1", "am.fits", "4 4096 12288 4096"}},

    // ---- usage, help, namelist sections
    {"NoArgumentsPrintsOnlyTheUsage", nullptr, {}, 0, "STACKLE MODULE \"$0\"  VERSION = 8.05\n\nUSAGE:  $0 -di DATA_FILES.list -do RESULT.fits "
        "...DEFAULT=0.2  (0 => DO NO TRIMMING)", {}, [](const std::string&, const std::string& out) { EXPECT_FALSE(has(out, " BEGUN.")); }},
    {"HelpInCapitals", nullptr, {"-HELP"}, 0, kHelp},
    {"HelpCapitalized", nullptr, {"-Help"}, 0, kHelp},
    {"Help", nullptr, {"-help"}, 0, kHelp},
    {"NamelistSectionsInAnyCase", planes("d", 1, {{1}, {2}, {3}, {4}, {100}}, files({{"nl", kSections}})), {"-n", "nl", "-ls", "-V"}, 0,
        "...           d4.fits               ---                ---                --- \n...Output weights list written: kestack_wt.txt \n",
        {"o.fits", "2.5", "kestack_wt.txt", weights({"1.0000", "1.0000", "1.0000", "1.0000", "1.0000"})}}, // 100 trimmed

    // ---- FITS structure; 100 x 100 pixels announced, one block (720 pixels) present
    {"TruncatedDataUnit", one(primary_header(-32, {100, 100}) + pad(be_floats({1, 2, 3}, false), '\0')), kOne, 64,
        "\aERROR: Attempt to read float image from file h.fits FAILED in read_fits()."},
    {"ImageOnlyInAnExtension", one(primary_header(8, {}, {card("EXTEND", "T")}) + float_extension_header({3, 2}) + pad(be_floats(kSix, false), '\0')),
        kOne, 64, kNoImage},
    {"AxisOfLengthZero", one(primary_header(-32, {3, 0})), kOne, 64, std::string(kNoImage) + "\n       NAXIS=2, npixels=0"},
    // ---- shapes: only the first ten of eleven axes counted would see a 3 x 2 image (axes of
    // length 1 after two are planes: the first DOUBLE_IMG frame above)
    {"ElevenAxesTheLastOfTwo", one(image(-32, kTwelve, {}, {3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 2})), kOne, 64,
        "\aERROR: more than two dimensions in file h.fits [read_fits_dims_2d()]\n       xdim=3, ydim=2, anaxes[2]=1, npixels=12"},
    {"SizeMismatchNamesPlaneNumberOne", second(image(-32, kSix, {}, {2, 3})), kOne, 64, "...\aERROR:  Data plane number 1 is 2x3 but should be 3x2"},
    // ---- FOVID: the first data file's number is adopted, every other must match it
    {"FovidMismatch", second(image(-32, kSix, {}, {3, 2}, "28")), kOne, 64, "\aERROR: FOVID=27 in first data file, but FOVID=28 in FITS file h.fits [in read_fits()]"},
    {"FovidMissing", second(image(-32, kSix, {}, {3, 2}, "")), kOne, 64, "\aERROR: Required keyword FOVID not found in FITS file h.fits [in read_fits()]"},

    // ---- pixel types: 1e300 rounds to +infinity (data), 0.1 is read as the float nearest to
    // it; integers that hold fractions (BSCALE 0.5, BZERO 10) are floating-point data; stored
    // 1..6 with BSCALE 2 and BZERO 1 are 3..13; BZERO 32768 makes a mask's stored 0 a 32768
    {"BitpixMinus64Data", one(image(-64, {1e300, 0.1, 3, 4, 5, 6})), kOne, 0,
        "CAUTION: in file h.fits BITPIX is -64, not -32 (FLOAT_IMG) -- will continue anyway.", out("inf 0.1 3 4 5 6")},
    {"ScaledShortData", one(image(16, kSix, {card("BSCALE", "0.5"), card("BZERO", "10.0")})), kOne, 0, "", out("10.5 11 11.5 12 12.5 13")},
    {"Bitpix8Mask", mask(image(8, kZeros)), kMasked, 64, "\aERROR: In read_fits_s() the file m.fits has incorrect BITPIX:\n\aERROR: BITPIX should be 16 but it is 8"},
    {"UnsignedMaskBeyondShort", mask(image(16, kZeros, {card("BZERO", "32768")})), kMasked, 64,
        "\aERROR: Attempt to read short image from file m.fits FAILED in read_fits_s()."},
    // ---- files the FITS library cannot open; pixel types other than floating point
    {"TextAsData", one("plain text, not an image\n"), kOne, 64, "\aERROR opening FITS file h.fits in read_fits_dims_2d()"},
    {"Bitpix16Data", one(image(16, kSix)), kOne, 64, "...\aERROR: BITPIX is 16 but it should be -32 (FLOAT_IMG) [-64 (DOUBLE_IMG) is also permitted]"},

    // ---- folders and self references; a namelist's first word line (&STACKLE) read as a name
    {"NamelistNamingItselfAsDataList", files({{"n.nl", "&STACKLE\n STK_di = n.nl\n STK_do = out.fits\n&END\n"}}), {"-n", "n.nl"}, 64,
        "\aERROR opening FITS file &STACKLE in read_fits_dims_2d()"},

    // ---- hostile text.  A namelist without a "&STACKLE" line is ignored with a caution, and the
    // run goes on; the rest of a long comment line is not a file name, nor are leading blanks;
    // the last line needs no line end; quotes are blanks in a key line, paired or not; a
    // namelist value too long is refused, never cut
    {"BinaryListFile", files({{"h.list", binary_bytes()}}), kOne, 64, "...count_filenames(): a filename holds a NUL byte"},
    {"BinaryNamelist", with_frames("b.nl", binary_bytes()), two_and({"-n", "b.nl"}), 0, "CAUTION: MISTAKE IN NAMELIST, b.nl -- \"&STACKLE\" not found.", out(kMean)},
    {"NameOf256Characters", files({{"h.list", std::string(256, 'n') + "\n"}}), kOne, 64, "...a filename is longer than 255 characters"},
    {"NameOf255Characters", files({{kLongName, image(-32, kSix)}, {"h.list", kLongName + "\n"}}), kOne, 0, "",
        {"out.fits", "1 2 3 4 5 6", "kestack_wt.txt", "         1.0000  " + kLongName + "\n"}},
    {"LongCommentBlanksAndNoLineEnd", with_frames("h.list", "#" + std::string(600, 'x') + "\ng0.fits\n" + std::string(300, ' ') + "g1.fits"),
        kOne, 0, "", out(kMean)},
    {"UnbalancedQuotesAndNoLineEnd", with_frames("n.nl", "&STACKLE\n STK_di = 'd.list\n STK_do = \"out.fits\n&END"), {"-n", "n.nl"}, 0, "", out(kMean)},
    {"NamelistValueOf256Characters", with_frames("n.nl", "&STACKLE\n STK_di = d.list\n STK_do = " + std::string(256, 'o') + "\n&END\n"),
        {"-n", "n.nl"}, 64, "...\aERROR in processing namelist file: PARAM=<STK_DO> VAL=<" + std::string(256, 'o') + ">"},
    {"ProductNameOf256Characters", frames, {"-di", "d.list", "-do", std::string(256, 'n')}, 64, "\aERROR in processing command line at argument #3: \"-do\""},

    // ---- settings: switches, namelist sections (quotes, commas and '=' as blanks), what is missing
    {"UnknownSwitchAndStrayParameter", frames, {"-x", "5", "-do", "out.fits"}, 64, "...\nWARNING: Unknown switch 1: \"-x\" IGNORED.\n\n"
        "...\a\n*** NOTE:  Unexpected parameter #2: \"5\" IGNORED.\n\n...\aERROR in program $0:  no input FITS data file list specified (-di).\n\n"},
    {"SwitchValueNotANumber", frames, {"-V", "-ag", "abc"}, 64, "...\aERROR in processing command line at argument #2: \"-ag\"\n"},
    {"WeightingWithoutFmask", frames, two_and({"-wt", "1"}), 64, "...\aERROR:  Cannot set -wt to 1 without specifying an FMASK file with -fm\n"},
    {"CommandLineOverNamelistAndBothKeyForms",
        with_frames("nl", "&STACKLE\n  STK_cf = 0.25\n  XYZ_di = 'absent.list',\n  data_out_file=\"out.fits\"\n  STK_ag\n&END\n"),
        {"-n", "nl", "-cf", "0.3", "-V", "-wt", "256"}, 64,
        "...  (-cf)  cut_frac        = 0.3\n...  (-di)  data_in_lfile   = \"absent.list\"\n...  (-do)  data_out_file   = \"out.fits\"\n"
        "...CAUTION: Malformed line in NAMELIST IGNORED: \"  STK_ag\n\"\n"},
    {"NamelistWithoutEndIsKept", with_frames("nl", "&STACKLE\n STK_do = out.fits\n"), {"-n", "nl", "-di", "absent.list"}, 64,
        "...CAUTION: MISTAKE IN NAMELIST, nl -- \"&END\" not found.\n         IGNORING LACK OF \"&END\". \n\n...in routine count_filenames()"},
    {"NamelistMissing", frames, {"-n", "absent", "-di", "d", "-do", "out.fits"}, 64, "...\aERROR opening NAMELIST file: \"absent\" in routine process_namelist()\n"},
    {"ListOfNoName", with_frames("e.list", "\n# nothing\n"), {"-di", "e.list", "-do", "out.fits"}, 64, "...No data filenames found in : \"e.list\"Failure"},
    // the missing name stays empty; the run stops at it
    {"SdevListShorterThanDataList", with_frames("s.list", "g0.fits\n"), two_and({"-si", "s.list"}), 64, "\aWARNING:  FILELIST s.list has 1 filenames, but should have 2"},

    // ---- product folders and devices: a product that cannot be made leaves every earlier
    // file as it was (the byte check of every row), none of the run's products
    {"SdevFolderMissing", files({{"out.fits", "old"}, {"am.fits", "old"}}, true), two_and({"-so", "nodir/sd.fits", "-am", "am.fits"}), 64,
        not_created("nodir/sd.fits"), out("old")},
    {"WeightsListFolderMissing", files({{"out.fits", "old"}}, true), two_and({"-wo", "nodir/w"}), 64, "\aERROR: Unable to open Weights List File nodir/w for writing", out("old")},
    {"AmaskToFullDevice", frames, two_and({"-am", "/dev/full"}), 64,
        "\aERROR: Attempt to write short image to file /dev/full FAILED in write_flt_fits_from_dbl()."},
    {"DataWithHeadersToFullDevice", frames, {"-di", "d.list", "-do", "/dev/full", "-h1"}, 64,
        "\aERROR: Attempt to write float image to file /dev/full FAILED in write_flt_fits_from_dbl()."},
    {"EveryProductToNullDevice", frames, {"-di", "d.list", "-do", "/dev/null", "-so", "/dev/null", "-am", "/dev/null", "-wo", "/dev/null"}, 0, ""},

    // ---- outputs that are inputs, or another output: refused before anything is read
    {"OutputIsADataFile", frames, {"-di", "d.list", "-do", "g0.fits"}, 64, clash("g0.fits", "g0.fits")},
    {"AmaskIsAMask", mask(image(16, kZeros)), two_and({"-bm", "m.list", "-bf", "1", "-am", "m.fits"}), 64, clash("m.fits", "m.fits")},
    {"OutputLinkedToADataFile", files({{"l.fits", "->g0.fits"}}, true), {"-di", "d.list", "-do", "l.fits"}, 64, clash("l.fits", "g0.fits")},
    {"WeightsListIsTheImage", frames, two_and({"-wo", "./out.fits"}), 64, "\aERROR: output files out.fits and ./out.fits are the same file; nothing written"},
    // ---- the FITS library's name syntax resolved first: never another file clobbered
    {"TemplateThatIsNoFile", files({{"d/", ""}, {"d/out", "old"}}, true), {"-di", "d.list", "-do", "d/out(1).fits"}, 64,
        "\aERROR: the template file 1 named in d/out(1).fits cannot be read; nothing written"},
    {"CompressionTheLibraryRefuses", files({{"d/", ""}, {"d/out", "old"}}, true), {"-di", "d.list", "-do", "d/out[1].fits"}, 64,
        not_created("d/out[1].fits")},
    {"CompressedByItsName", frames, {"-di", "d.list", "-do", "o.fits.gz"}, 0, "", {"o.fits.gz", kMean}},
    {"ProductNameOf250Characters", frames, {"-di", "d.list", "-do", std::string(245, 'o') + ".fits"}, 0, "", {std::string(245, 'o') + ".fits", kMean}},
    {"ReplacedProductsKeepModeOwnerAndLinks", replaced_products, two_and({"-so", "s.fits"}), 0, "", out(kMean), kept_identity},
    // ---- pipes and devices as inputs: refused, never read twice or without end
    {"PipeAsDataList", files({{"l.fifo|", ""}}), {"-di", "l.fifo", "-do", "out.fits"}, 64, "\aERROR: l.fifo is a pipe or device, not a regular file"},
    {"DeviceAsNamelist", frames, two_and({"-n", "/dev/zero"}), 64, "\aERROR: /dev/zero is a pipe or device, not a regular file"},
    {"PipeAsDataFile", files({{"p.fits|", ""}, {"h.list", "g0.fits\np.fits\n"}}, true), kOne, 64,
        "\aERROR: input p.fits is a pipe or device, not a regular file; nothing written"},
    {"ListOfOneEndlessLine", with_frames("h.list", std::string(1 << 20, 'x')), kOne, 64, "\aERROR: a line of h.list is longer than 4096 characters"},

    // ---- the FOV chosen for weighting and the FMASK; FOVID 65563 would wrap to 27, an FOV of
    // the lists
    {"FovWithoutBit", fov_stack("27", 2, "[1,-1]"), fov_args("1"), 64, "...ERROR:  FOVID=27 not found in FOVLIST from FMASK.\n"},
    {"EmptyFovListTakesAnyBit", fov_stack("27", 2, "[]", "[]"), fov_args("1"), 0, "...", out("1 1")},
    {"FovidBeyondShortWeighted", fov_stack("65563", 2), fov_args("1"), 64, "...\aERROR: FOVID=65563 of the data files is too large for DCE weighting"},
    {"FmaskOfWrongSizeUnweighted", fov_stack("27", 3), fov_args("0"), 64,
        "...\aERROR:  FMASK dims are 3x1 but should be 2x1\n...   For i=1, FOVLIST = 27  BITLIST =  2\ncs.num_fovs = 2 "},

    // ---- memory (headers alone: the data are never reached); 65536 x 65536 is 2^32 pixels, 0
    // in 32-bit arithmetic; one 32 MiB frame fits under 72 MiB, its means plane does not; 4000
    // files of 8 x 8 are read whole, not kept open at 130 KB each
    {"PlaneBeyondAnyMemory", one(primary_header(-32, {2000000000, 2000000000})), kOne, 64, kFloatAlloc},
    {"PixelCountBeyond32Bits", one(primary_header(-32, {65536, 65536})), kOne, 64, kFloatAlloc, {}, nullptr, 128},
    {"MaskPlaneBeyondMemory", mask(primary_header(16, {16384, 16384})), kMasked, 64, "...memory for short_image in read_fits_s()", {}, nullptr, 128},
    {"ProductsBeyondMemory", one(primary_header(-32, {2048, 4096}) + pad(std::string(2048 * 4096 * 4, '\0'), '\0')), kOne, 64,
        "\aERROR: Can't allocate required memory for means", {}, nullptr, 72},
    {"ThousandsOfSmallInputs", thousands_of_inputs,
        {"-di", "d.list", "-si", "s.list", "-bm", "b.list", "-bf", "1", "-pm", "p.list", "-pf", "1", "-do", "out.fits"}, 0,
        "NOTE: The sdev files are not used when calculating flux.", out(std::regex_replace(std::string(64, '1'), std::regex("\\B"), " ")), nullptr, 300},
    // ---- a file size limit stands in for a full disk: 4 blocks of 512 or 1024 bytes,
    // whichever the shell counts in, hold less than the 5760-byte product; the earlier file
    // of that name is left as it was
    {"ProductThatCannotBeCompletedKeepsTheEarlierFile", files({{"out.fits", "earlier result\n"}}, true), kTwo, 64,
        "\aERROR: Attempt to write float image to file out.fits FAILED in write_flt_fits().", out("earlier result\n"), nullptr, 0, 4},
    };
    // clang-format on
}
// The files a successful run may replace: its products, through their links.
std::set<std::string> run_products(const std::string& dir, const Strings& args) {
    std::set<std::string> out = {dir + "/out.fits", dir + "/kestack_wt.txt"};
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "-do" || args[i] == "-so" || args[i] == "-am" || args[i] == "-wo")
            out.insert(std::filesystem::weakly_canonical(dir + "/" + args[i + 1]).string());
    return out;
}

struct Runs : testing::TestWithParam<Row> {};

TEST_P(Runs, EndWithTheirMessageStatusAndProducts) {
    const Row& c = GetParam();
    if (c.address_space_mb > 0 && kUnderAsan)
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    // A sanitizer build of the program must report a failed allocation, not stop on it.
    static const std::string asan =
        std::string(kUnderAsan && std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
        ":allocator_may_return_null=1";
    ASSERT_TRUE(!kUnderAsan || setenv("ASAN_OPTIONS", asan.c_str(), 1) == 0);
    testkit::TempDir dir;
    if (c.make)
        c.make(dir.path());
    const auto before = snapshot(dir.path());
    const testkit::RunOptions opts{dir.path(), "", c.address_space_mb};
    Strings args = c.args; // SIGXFSZ ignored by the program
    const std::string blocks = c.file_blocks > 0 ? std::to_string(c.file_blocks) : "unlimited";
    args.insert(args.begin(), {"-c", "ulimit -f " + blocks + " && exec \"$0\" \"$@\"", kProg});
    const testkit::RunResult r = testkit::run("/bin/sh", args, opts);
    ASSERT_FALSE(r.signaled) << r.out << r.err;
    EXPECT_EQ(r.status, c.status) << r.out << r.err;

    const std::string want = std::regex_replace(c.message, std::regex("\\$0"), kProg);
    const size_t dots = std::min(want.find("..."), want.size());
    const std::string msg = message_of(r.out), head = want.substr(0, dots) + (dots ? "\n" : "");
    EXPECT_TRUE(want.empty() ? msg.empty() : msg.compare(0, head.size(), head) == 0) << msg;
    for (size_t p = dots + 3, q; p <= want.size(); p = q + 3) {
        q = std::min(want.find("...", p), want.size());
        EXPECT_TRUE(has(r.out + r.err, want.substr(p, q - p))) << want.substr(p, q - p);
    }

    EXPECT_EQ(unfinished_products(dir.path()), Strings{});
    EXPECT_FALSE(has(r.out + r.err, ".part-")) << "a temporary name shown";
    const std::set<std::string> products =
        c.status == 0 ? run_products(dir.path(), c.args) : std::set<std::string>{};
    for (const auto& f : before)
        EXPECT_TRUE(products.count(f.first) > 0 ||
                    (testkit::file_exists(f.first) && testkit::read_text(f.first) == f.second))
            << f.first << " changed";
    for (const std::string& a : c.args) {
        struct stat st {};
        EXPECT_TRUE(a.compare(0, 5, "/dev/") != 0 ||
                    (stat(a.c_str(), &st) == 0 && S_ISCHR(st.st_mode)))
            << a << " replaced";
    }
    for (size_t k = 0; k + 1 < c.products.size(); k += 2) {
        const std::string f = dir.file(c.products[k]);
        EXPECT_EQ(testkit::file_exists(f) ? shown(f) : "", c.products[k + 1]) << f;
    }
    EXPECT_TRUE(!c.products.empty() || !(testkit::file_exists(dir.file("out.fits")) ||
                                         testkit::file_exists(dir.file("kestack_wt.txt"))));
    if (c.check != nullptr)
        c.check(dir.path(), r.out);
}

INSTANTIATE_TEST_SUITE_P(Table, Runs, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

// ------------------------------------------------------------------ interrupted and concurrent
// runs

// Runs on a.list and e.list (12 frames of 256 x 256, frame i of value 5 + i and 95 + 2i), which
// give different products out.fits, sd.fits and w.txt.
const Strings kProducts = {"out.fits", "sd.fits", "w.txt"};

struct Interrupted : testing::Test {
    testkit::TempDir dir;
    std::map<std::string, std::string> made[2]; // the products of a complete run on each list
    std::chrono::steady_clock::duration run{};  // how long the first one took

    void SetUp() override {
        for (int r = 0; r < 2; ++r) {
            Grid px(12, std::vector<double>(256 * 256));
            for (int i = 0; i < 12; ++i)
                std::fill(px[i].begin(), px[i].end(), r == 0 ? 5 + i : 95 + 2 * i);
            planes(r == 0 ? "a" : "e", 256, px)(dir.path());
            const auto t0 = std::chrono::steady_clock::now();
            ASSERT_EQ(wait_for(spawn(r)), 0);
            if (r == 0)
                run = std::chrono::steady_clock::now() - t0;
            for (const std::string& p : kProducts)
                made[r][p] = shown(dir.file(p));
        }
    }
    // Run r: 0 on a.list, 1 on e.list; when asked, after every product is made an old file.
    pid_t spawn(int r, bool over_old = false) {
        for (const std::string& p : kProducts)
            if (over_old)
                testkit::write_text(dir.file(p), "old");
        Strings args = {"-di", "a.list", "-do", "out.fits", "-so", "sd.fits", "-wo", "w.txt"};
        args[1][0] = "ae"[r];
        return spawn_quietly(kProg, args, dir.path());
    }
    // Where each product comes from: 'o' the old file, 'a' or 'b' a complete run on that list,
    // 'n' a complete run on either (the uncertainty image of both is the same), '?' anything
    // else.
    std::string origin() const {
        std::string o;
        for (const std::string& p : kProducts) {
            const std::string c = shown(dir.file(p));
            const int from = (c == made[0].at(p)) + 2 * (c == made[1].at(p));
            o += c == "old" ? 'o' : "?abn"[from];
        }
        return o;
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
    std::mt19937 random(16);
    for (int k = 0; k < 40; ++k) {
        const pid_t pid = spawn(0, true);
        usleep(random() % (std::chrono::duration_cast<std::chrono::microseconds>(run).count() + 1));
        kill(pid, k < 20 ? SIGKILL : SIGTERM);
        wait_for(pid);
        const std::string o = origin();
        // SIGKILL may fall between two renames of the commit; SIGTERM waits for its end.
        EXPECT_TRUE(k < 20 ? o.find_first_not_of("oan") == std::string::npos
                           : o == "ooo" || o == "ana")
            << "kill " << k << ": " << o;
        EXPECT_TRUE(k < 20 || unfinished_products(dir.path()).empty()) << k;
        for (const std::string& left : unfinished_products(dir.path()))
            std::remove(dir.file(left).c_str()); // SIGKILL leaves no chance to clean up
    }
}

// Run a is stopped while it writes its products, before it puts any in place; run b then writes
// the same products in full, and a goes on: both succeed, and the products are b's, then a's,
// never a mixture (a run stopped too late is let go and tried again).
TEST_F(Interrupted, InterleavedRunsLeaveOneRunsProducts) {
    bool caught = false;
    for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
        const pid_t a = spawn(0, true);
        while (unfinished_products(dir.path()).empty() && waitpid(a, nullptr, WNOHANG) == 0) {
        }
        int status = 0;
        kill(a, SIGSTOP);
        caught = waitpid(a, &status, WUNTRACED) == a && WIFSTOPPED(status) &&
                 testkit::read_text(dir.file("out.fits")) == "old";
        if (caught) {
            EXPECT_EQ(wait_for(spawn(1)), 0);
            EXPECT_EQ(origin(), "bnb");
        }
        kill(a, SIGCONT);
        EXPECT_TRUE(!WIFSTOPPED(status) || wait_for(a) == 0);
        EXPECT_EQ(origin(), "ana");
        EXPECT_EQ(unfinished_products(dir.path()), Strings{});
    }
    EXPECT_TRUE(caught);
}

} // namespace
