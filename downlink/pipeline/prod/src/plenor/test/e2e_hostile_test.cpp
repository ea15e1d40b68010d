// The installed plenor against hostile inputs and failing resources: broken and unusual FITS
// files, hostile namelist text, product folders that cannot take a file, full devices and
// exhausted memory.  Every case ends with the status code in words and exit status 64 (or
// is accepted where the readers accept it), never with a crash, and leaves no product
// half-written under its final name.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../../../cal/src/stackle/test/hostile_support.h"
#include "testkit.h"

namespace {

using raw_fits::be_floats;
using raw_fits::be_ints;
using raw_fits::card;
using raw_fits::pad;
using raw_fits::primary_header;
using testkit::Keyword;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The two report lines of a status: message code and text, function code and text.
std::string report(const std::string& message, const std::string& function) {
    return "plenor Error Message      " + message + ".\nplenor Error in Function  " + function +
           ".\n";
}

const std::string read_data = "0x0014: READ_DATA";
const std::string output_data = "0x001e: OUTPUT_DATA";
const std::string dims_report = report("0x001b: DIMS_INCRT", read_data);

// A 3 x 2 float image: the DCE 2, 4, .., 12 flat-fielded by a flat of 2 gives 1 .. 6.
const std::vector<double> dce_values = {2, 4, 6, 8, 10, 12};
const std::vector<float> flat_result = {1, 2, 3, 4, 5, 6};

// Raw bytes of a float image with the given axes and pixels.
std::string float_image(const std::vector<long>& axes, const std::vector<double>& px,
                        const std::vector<std::string>& extra = {}) {
    return primary_header(-32, axes, extra) + pad(be_floats(px, false), '\0');
}

// The folder of one case: dce.fits (3 x 2, 2 .. 12), flat.fits (3 x 2 x 2, flat 2 with
// uncertainty 0.1) and unc.fits (3 x 2, 0.5).
class Hostile : public testing::Test {
  public:
    testkit::TempDir dir;

    std::string f(const std::string& name) const { return dir.file(name); }

    void SetUp() override {
        testkit::write_image(f("dce.fits"), -32, {3, 2}, dce_values);
        testkit::write_float_image(f("flat.fits"), {3, 2, 2},
                                   {2, 2, 2, 2, 2, 2, .1f, .1f, .1f, .1f, .1f, .1f});
        testkit::write_float_image(f("unc.fits"), {3, 2}, std::vector<float>(6, 0.5f));
    }

    void bytes(const std::string& name, const std::string& content) const {
        raw_fits::write_bytes(f(name), content);
    }

    testkit::RunResult plenor(const std::vector<std::string>& args, long memory_mb = 0) const {
        testkit::RunOptions opts;
        opts.cwd = dir.path();
        opts.address_space_mb = memory_mb;
        return testkit::run(testkit::installed_program("plenor"), args, opts);
    }

    // No temporary product ("part-" names) is left in the case's folder.
    void expect_no_leftovers() const {
        EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
    }
};

// ------------------------------------------------------------------ hostile FITS inputs

struct fits_case {
    const char* name;
    std::function<void(const Hostile&)> write; // writes h.fits (and whatever else it needs)
    std::vector<std::string> args;             // h.fits takes the place given here
    std::string stdout_part;                   // a line the program must print
    std::string report_lines;                  // "" for an accepted input
};

std::ostream& operator<<(std::ostream& os, const fits_case& c) {
    return os << c.name;
}

const std::vector<std::string> dce_is_h = {"-i", "h.fits", "-o", "out.fits", "-f", "flat.fits"};
const std::vector<std::string> flat_is_h = {"-i", "dce.fits", "-o", "out.fits", "-f", "h.fits"};

std::vector<fits_case> fits_cases() {
    const std::string header_32 = primary_header(-32, {3, 2});
    return {
        {"NotAFitsFile", [](const Hostile& h) { h.bytes("h.fits", std::string(3000, 'x')); },
         dce_is_h, "FITS status 252 reading h.fits", report("0x00fc: Unknown error", read_data)},
        {"EmptyFile", [](const Hostile& h) { h.bytes("h.fits", ""); }, dce_is_h,
         "FITS status 107 reading h.fits", report("0x006b: Unknown error", read_data)},
        {"HeaderWithoutEnd",
         [header_32](const Hostile& h) { h.bytes("h.fits", header_32.substr(0, 1000)); }, dce_is_h,
         "FITS status 108 reading h.fits", report("0x006c: Unknown error", read_data)},
        {"TruncatedDataUnit",
         [header_32](const Hostile& h) {
             h.bytes("h.fits", header_32 + be_floats({1, 2}, false));
         },
         dce_is_h, "h.fits is shorter than its header states",
         report("0x006b: Unknown error", read_data)},
        // The flat's uncertainty plane is missing: 24 of its 48 data bytes are there.
        {"TruncatedFlatUncertaintyPlane",
         [](const Hostile& h) {
             h.bytes("h.fits", primary_header(-32, {3, 2, 2}) + be_floats(dce_values, false));
         },
         flat_is_h, "h.fits is shorter than its header states",
         report("0x006b: Unknown error", read_data)},
        {"NaxisZero", [](const Hostile& h) { h.bytes("h.fits", primary_header(-32, {})); },
         dce_is_h, "h.fits has 0 axes; images need 2 or 3", dims_report},
        {"NaxisFour",
         [](const Hostile& h) {
             h.bytes("h.fits", float_image({3, 2, 1, 1}, dce_values));
         },
         dce_is_h, "h.fits has 4 axes; images need 2 or 3", dims_report},
        {"FlatWithFourAxes",
         [](const Hostile& h) {
             h.bytes("h.fits", float_image({3, 2, 2, 1}, dce_values));
         },
         flat_is_h, "h.fits has 4 axes; images need 2 or 3", dims_report},
        // The DCE has no pixels; the 3 x 2 flat then differs from its shape.
        {"ZeroAxisLength",
         [](const Hostile& h) {
             h.bytes("h.fits", primary_header(-32, {3, 0}));
         },
         dce_is_h, "", dims_report},
        {"NegativeAxisLength",
         [](const Hostile& h) {
             h.bytes("h.fits", primary_header(-32, {3, -2}));
         },
         dce_is_h, "FITS status 213 reading h.fits", report("0x00d5: Unknown error", read_data)},
        // 65536 x 65537 pixels do not fit in 32 bits; the file holds one block of them.
        {"AxisProductBeyond32Bits",
         [](const Hostile& h) {
             h.bytes("h.fits", pad(primary_header(-32, {65536, 65537}) + std::string(1, 0), '\0'));
         },
         dce_is_h, "h.fits is shorter than its header states",
         report("0x006b: Unknown error", read_data)},
        {"EmptyPrimaryWithImageInExtension",
         [](const Hostile& h) {
             h.bytes("h.fits", primary_header(8, {}, {card("EXTEND", "T")}) +
                                   raw_fits::float_extension_header({3, 2}) +
                                   pad(be_floats(dce_values, false), '\0'));
         },
         dce_is_h, "an image in an extension is named as h.fits[1]", dims_report},
        {"FolderAsDce", [](const Hostile& h) { mkdir(h.f("h.fits").c_str(), 0755); }, dce_is_h,
         "FITS status 108 reading h.fits", report("0x006c: Unknown error", read_data)},
        {"FolderAsFlat", [](const Hostile& h) { mkdir(h.f("h.fits").c_str(), 0755); }, flat_is_h,
         "FITS status 108 reading h.fits", report("0x006c: Unknown error", read_data)},
        // 70000 does not fit the 16 bits of a mask value.
        {"PmaskBeyond16Bits",
         [](const Hostile& h) {
             testkit::write_image(h.f("h.fits"), 32, {3, 2}, {70000, 0, 0, 0, 0, 128});
         },
         {"-i", "dce.fits", "-o", "out.fits", "-f", "flat.fits", "-p", "h.fits"},
         "FITS status 412 reading h.fits",
         report("0x019c: Unknown error", read_data)},
        {"MissingFlat", [](const Hostile&) {}, flat_is_h, "FITS status 104 reading h.fits",
         report("0x0068: Unknown error", read_data)},
    };
}

class HostileFits : public Hostile, public testing::WithParamInterface<fits_case> {};

TEST_P(HostileFits, EndsWithItsStatusAndNoProduct) {
    const fits_case& c = GetParam();
    c.write(*this);
    const testkit::RunResult r = plenor(c.args);
    ASSERT_FALSE(r.signaled) << r.out << r.err;
    EXPECT_EQ(r.status, 64) << r.out;
    EXPECT_TRUE(has(r.out, c.stdout_part)) << r.out;
    EXPECT_TRUE(has(r.out, c.report_lines)) << r.out;
    EXPECT_TRUE(has(r.out, "exit code 64\n")) << r.out;
    EXPECT_FALSE(testkit::file_exists(f("out.fits")));
    expect_no_leftovers();
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostileFits, testing::ValuesIn(fits_cases()),
                         [](const testing::TestParamInfo<fits_case>& i) {
                             return std::string(i.param.name);
                         });

// ------------------------------------------------------------------ accepted FITS inputs

// Every integer and float BITPIX is read converted to float; the product holds the
// flat-fielded values (2 .. 12 divided by 2) as floats: a double image keeps its type, every
// other one becomes a single-precision image.
class StoredTypes : public Hostile, public testing::WithParamInterface<int> {};

TEST_P(StoredTypes, AreConvertedAndFlatFielded) {
    testkit::write_image(f("h.fits"), GetParam(), {3, 2}, dce_values);
    const testkit::RunResult r = plenor(dce_is_h);
    ASSERT_EQ(r.status, 0) << r.out;
    const testkit::Image out = testkit::read_image(f("out.fits"));
    EXPECT_EQ(out.bitpix, GetParam() == -64 ? -64 : -32);
    EXPECT_EQ(out.fpixels, flat_result);
    expect_no_leftovers();
}

INSTANTIATE_TEST_SUITE_P(Bitpix, StoredTypes, testing::Values(8, 16, 32, 64, -32, -64),
                         [](const testing::TestParamInfo<int>& i) {
                             return "Bitpix" + std::string(i.param < 0 ? "Minus" : "") +
                                    std::to_string(i.param < 0 ? -i.param : i.param);
                         });

// Stored 1 .. 6 with BSCALE 2 and BZERO 10 are 12 .. 22; divided by 2: 6 .. 11, written as
// plain floats without the scaling keywords.
TEST_F(Hostile, ScaledIntegersAreReadWithTheirScaling) {
    bytes("h.fits", primary_header(16, {3, 2}, {card("BSCALE", "2"), card("BZERO", "10")}) +
                        pad(be_ints({1, 2, 3, 4, 5, 6}, 2), '\0'));
    const testkit::RunResult r = plenor(dce_is_h);
    ASSERT_EQ(r.status, 0) << r.out;
    const testkit::Image out = testkit::read_image(f("out.fits"));
    EXPECT_EQ(out.fpixels, (std::vector<float>{6, 7, 8, 9, 10, 11}));
    std::string value;
    EXPECT_FALSE(testkit::read_keyword(f("out.fits"), "BSCALE", value));
    EXPECT_FALSE(testkit::read_keyword(f("out.fits"), "BZERO", value));
}

// The image of an extension is read when the extension is named.
TEST_F(Hostile, ImageInAnExtensionIsReadWhenNamed) {
    bytes("h.fits", primary_header(8, {}, {card("EXTEND", "T")}) +
                        raw_fits::float_extension_header({3, 2}) +
                        pad(be_floats(dce_values, false), '\0'));
    const testkit::RunResult r = plenor({"-i", "h.fits[1]", "-o", "out.fits", "-f", "flat.fits"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels, flat_result);
}

// A DCE and flat without pixels (an axis of length 0) are a valid empty image: no pixel is
// visited and the product is the empty image.
TEST_F(Hostile, EmptyImageOfMatchingFlatIsAccepted) {
    bytes("h.fits", primary_header(-32, {3, 0}));
    bytes("f0.fits", primary_header(-32, {3, 0, 2}));
    const testkit::RunResult r = plenor({"-i", "h.fits", "-o", "out.fits", "-f", "f0.fits"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(f("out.fits")).naxes, (std::vector<long>{3, 0}));
}

// ------------------------------------------------------------------ hostile namelists

// Deterministic bytes 1 .. 255 over and over, none of them "&".
std::string binary_bytes(size_t count) {
    std::string b;
    for (size_t i = 0; b.size() < count; ++i) {
        const char c = static_cast<char>(1 + i % 255);
        if (c != '&') {
            b += c;
        }
    }
    return b;
}

const std::vector<std::string> names_args = {"-n", "h.nml",    "-i", "dce.fits",
                                             "-o", "out.fits", "-f", "flat.fits"};

TEST_F(Hostile, BinaryNamelistWithoutGroupIsRefused) {
    bytes("h.nml", binary_bytes(5000));
    const testkit::RunResult r = plenor(names_args);
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, report("0x001a: NL_INCRT", "0x001c: NAMELIST"))) << r.out;
    EXPECT_FALSE(testkit::file_exists(f("out.fits")));
}

// Binary entries after the group start (a zero byte among them) match no key and are ignored.
TEST_F(Hostile, BinaryEntriesInTheGroupAreIgnored) {
    bytes("h.nml", "&PLENORIN\n" + binary_bytes(3000) + std::string(1, '\0') + binary_bytes(50));
    const testkit::RunResult r = plenor(names_args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels, flat_result);
}

TEST_F(Hostile, FolderAsNamelistCannotBeRead) {
    mkdir(f("h.nml").c_str(), 0755);
    const testkit::RunResult r = plenor(names_args);
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor_parse_namelist: Could not read from file h.nml")) << r.out;
    EXPECT_TRUE(has(r.out, report("0x0012: COULDNOTREAD", "0x001c: NAMELIST"))) << r.out;
}

// A word of 100000 characters is refused with its message; the entry stores nothing, so the
// input DCE stays unknown.
TEST_F(Hostile, VeryLongLineStoresNothing) {
    bytes("h.nml", "&PLENORIN\nFITS_Input_File = '" + std::string(100000, 'a') + "'\n&END\n");
    const testkit::RunResult r = plenor({"-n", "h.nml", "-o", "out.fits", "-f", "flat.fits", "-v"});
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "word longer than 255 characters")) << r.out.substr(0, 2000);
    EXPECT_TRUE(has(r.out, "Missing required information - -i <input_file>\n"));
    EXPECT_TRUE(has(r.out, report("0x0018: CL_ARGS_INCRT", "0x0020: PARSE_ARGS")));
}

// The last entry without a line end is still applied (the DCE comes from it).
TEST_F(Hostile, LastLineWithoutLineEndIsApplied) {
    bytes("h.nml", "&PLENORIN\nFITS_Input_File = 'dce.fits'");
    const testkit::RunResult r = plenor({"-n", "h.nml", "-o", "out.fits", "-f", "flat.fits"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels, flat_result);
}

// A group start as the very last characters of the file opens an empty group.
TEST_F(Hostile, GroupStartAtTheEndOfTheFile) {
    bytes("h.nml", "&PLENORIN");
    const testkit::RunResult r = plenor(names_args);
    EXPECT_EQ(r.status, 0) << r.out;
}

// Unbalanced apostrophes: a name without its closing apostrophe runs to the end of the word;
// a name without its opening one loses its first character (the opening apostrophe's place).
TEST_F(Hostile, UnbalancedQuotesFollowTheQuotingRule) {
    bytes("h.nml", "&PLENORIN\nFITS_Input_File = 'dce.fits\nFITS_Output_File = xout.fits'\n");
    const testkit::RunResult r = plenor({"-n", "h.nml", "-f", "flat.fits"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels, flat_result);
}

// A quote alone, and a key with an apostrophe but no value, store nothing.
TEST_F(Hostile, LoneQuotesStoreNothing) {
    bytes("h.nml", "&PLENORIN\n'\nFITS_Input_File = '\nFITS_Input_File\n'''\n&END");
    const testkit::RunResult r = plenor({"-n", "h.nml", "-o", "out.fits", "-f", "flat.fits"});
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "Missing required information - -i <input_file>\n")) << r.out;
}

// ------------------------------------------------------------------ failing resources

const std::vector<std::string> full_args = {"-i", "dce.fits", "-ui", "unc.fits",
                                            "-o", "out.fits", "-uo", "unc_out.fits",
                                            "-f", "flat.fits"};

std::vector<std::string> with_output(const std::string& out) {
    return {"-i", "dce.fits", "-o", out, "-f", "flat.fits"};
}

// Root is not stopped by permission bits, so an output folder that cannot be written is one
// that does not exist, or a path below a regular file.
TEST_F(Hostile, OutputFolderMissing) {
    const testkit::RunResult r = plenor(with_output("nowhere/out.fits"));
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor_output: cannot create nowhere/.part-out.fits\n")) << r.out;
    EXPECT_TRUE(has(r.out, report("0x0069: Unknown error", output_data))) << r.out;
}

TEST_F(Hostile, OutputFolderIsARegularFile) {
    const testkit::RunResult r = plenor(with_output("dce.fits/out.fits"));
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, report("0x0069: Unknown error", output_data))) << r.out;
    EXPECT_EQ(testkit::read_image(f("dce.fits")).pixels, dce_values);
}

// An output naming a folder is refused; the folder (even an empty one) stays.
TEST_F(Hostile, OutputNamesAFolder) {
    mkdir(f("out.fits").c_str(), 0755);
    const testkit::RunResult r = plenor(with_output("out.fits"));
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor_output: out.fits is a folder, not a file\n")) << r.out;
    EXPECT_TRUE(has(r.out, report("0x0069: Unknown error", output_data)));
    struct stat info {};
    ASSERT_EQ(stat(f("out.fits").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(Hostile, ProductWrittenToAFullDevice) {
    const testkit::RunResult r = plenor(with_output("/dev/full"));
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor_output: cannot write /dev/full: No space left on device\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, report("0x006a: Unknown error", output_data)));
    expect_no_leftovers();
}

// The DCE product is complete; the uncertainty product cannot be written: the run fails.
TEST_F(Hostile, UncertaintyWrittenToAFullDevice) {
    std::vector<std::string> args = full_args;
    args[7] = "/dev/full";
    const testkit::RunResult r = plenor(args);
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, report("0x006a: Unknown error", output_data))) << r.out;
    EXPECT_EQ(testkit::read_image(f("out.fits")).fpixels, flat_result);
    expect_no_leftovers();
}

// A device that takes everything is written in place and stays a device.
TEST_F(Hostile, ProductWrittenToTheNullDevice) {
    const testkit::RunResult r = plenor(with_output("/dev/null"));
    EXPECT_EQ(r.status, 0) << r.out;
    struct stat info {};
    ASSERT_EQ(stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

// A product that cannot be completed leaves the previous file under its final name
// untouched.  A folder with a file in it occupies the temporary name, so that the new
// product cannot be created.
TEST_F(Hostile, FailedProductKeepsThePreviousFile) {
    testkit::write_text(f("out.fits"), "previous product");
    mkdir(f(".part-out.fits").c_str(), 0755);
    testkit::write_text(f(".part-out.fits/x"), "x");
    const testkit::RunResult r = plenor(with_output("out.fits"));
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, report("0x0069: Unknown error", output_data))) << r.out;
    EXPECT_EQ(testkit::read_text(f("out.fits")), "previous product");
}

// The Dmask is updated through a copy renamed over it: when the copy cannot be made, the
// Dmask keeps its old bytes and no product follows.
TEST_F(Hostile, DmaskThatCannotBeUpdatedStaysTheOldFile) {
    testkit::write_short_image(f("dmask.fits"), {3, 2}, {0, 0x4000, 0, 0, 0, 0});
    const std::string before = testkit::read_text(f("dmask.fits"));
    mkdir(f(".part-dmask.fits").c_str(), 0755);
    testkit::write_text(f(".part-dmask.fits/x"), "x");
    std::vector<std::string> args = with_output("out.fits");
    args.insert(args.end(), {"-d", "dmask.fits"});
    const testkit::RunResult r = plenor(args);
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, "plenor_output: cannot copy ")) << r.out;
    EXPECT_TRUE(has(r.out, report("0x006a: Unknown error", output_data)));
    EXPECT_EQ(testkit::read_text(f("dmask.fits")), before);
    EXPECT_FALSE(testkit::file_exists(f("out.fits")));
}

// A complete update replaces the Dmask (a new file, reached through its link) with the marks
// of the run: the condemned pixel 1 gains 0x100.
TEST_F(Hostile, DmaskIsReplacedWholeThroughItsLink) {
    testkit::write_short_image(f("dmask.fits"), {3, 2}, {0, 0x4000, 0, 0, 0, 0});
    ASSERT_EQ(symlink("dmask.fits", f("link.fits").c_str()), 0);
    struct stat old_info {};
    ASSERT_EQ(stat(f("dmask.fits").c_str(), &old_info), 0);
    std::vector<std::string> args = with_output("out.fits");
    args.insert(args.end(), {"-d", "link.fits"});
    const testkit::RunResult r = plenor(args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(f("link.fits")).pixels,
              (std::vector<double>{0, 0x4100, 0, 0, 0, 0}));
    struct stat link_info {};
    ASSERT_EQ(lstat(f("link.fits").c_str(), &link_info), 0);
    EXPECT_TRUE(S_ISLNK(link_info.st_mode));
    struct stat new_info {};
    ASSERT_EQ(stat(f("dmask.fits").c_str(), &new_info), 0);
    EXPECT_NE(new_info.st_ino, old_info.st_ino);
    expect_no_leftovers();
}

// A file name of 250 characters (near the file system's limit of 255 on one name) still
// takes its product: the temporary name beside it keeps within the limit.
TEST_F(Hostile, LongestFileNamesTakeTheirProduct) {
    const std::string name = std::string(245, 'o') + ".fits";
    const testkit::RunResult r = plenor(with_output(name));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(f(name)).fpixels, flat_result);
    expect_no_leftovers();
}

// The product may replace its own input: the input is read whole before the product is
// renamed over it.
TEST_F(Hostile, ProductReplacingItsInput) {
    const testkit::RunResult r = plenor(with_output("dce.fits"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testkit::read_image(f("dce.fits")).fpixels, flat_result);
}

// ------------------------------------------------------------------ exhausted memory

// A float image of the given axes whose data unit is a hole of zeros (no disk space used).
void sparse_float_image(const std::string& path, const std::vector<long>& axes) {
    const std::string header = primary_header(-32, axes);
    raw_fits::write_bytes(path, header);
    off_t pixels = 1;
    for (long a : axes) {
        pixels *= a;
    }
    const off_t data = (pixels * 4 + 2879) / 2880 * 2880;
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(header.size()) + data), 0);
}

// 65536 x 65536 pixels (2^32, beyond 32 bits) need 16 GiB for the DCE alone: under a
// 512 MiB limit the DCE buffer cannot be had.
TEST_F(Hostile, MemoryForTheDceRunsOut) {
    if (kUnderAsan) {
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    }
    sparse_float_image(f("h.fits"), {65536, 65536});
    const testkit::RunResult r = plenor(dce_is_h, 512);
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, report("0x0071: MALLOC_FAILED", read_data))) << r.out;
    EXPECT_FALSE(testkit::file_exists(f("out.fits")));
}

// 4096 x 4096 pixels with uncertainty: the inputs take 24 bytes a pixel (400 MiB), the
// computation's work arrays 12 more (200 MiB).  Under 500 MiB the inputs fit and the work
// arrays do not.
TEST_F(Hostile, MemoryForTheWorkArraysRunsOut) {
    if (kUnderAsan) {
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    }
    sparse_float_image(f("big.fits"), {4096, 4096});
    sparse_float_image(f("bigunc.fits"), {4096, 4096});
    sparse_float_image(f("bigflat.fits"), {4096, 4096, 2});
    const testkit::RunResult r = plenor({"-i", "big.fits", "-ui", "bigunc.fits", "-o", "out.fits",
                                         "-uo", "unc_out.fits", "-f", "bigflat.fits"},
                                        500);
    EXPECT_EQ(r.status, 64);
    EXPECT_TRUE(has(r.out, report("0x0071: MALLOC_FAILED", "0x0021: COMPUTE"))) << r.out;
    EXPECT_FALSE(testkit::file_exists(f("out.fits")));
    EXPECT_FALSE(testkit::file_exists(f("unc_out.fits")));
}

} // namespace
