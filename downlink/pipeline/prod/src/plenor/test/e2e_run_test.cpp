// The installed plenor on inputs it accepts: namelists, the verbose toggle and the log, the
// warnings that turn uncertainties off, the pixel decision rules and Dmask marks, cubes, worked
// quotients and their uncertainties, history lines, and inputs stored the ways archives store
// them.  (Refused inputs: e2e_hostile_test.cpp.)
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include <fitsio.h>

#include "plenor_test_support.h"

namespace {

using namespace plenor_test;

const float nan_value = std::numeric_limits<float>::quiet_NaN();

class PlenorRun : public Case {};

// "Verbose = 1" and -v cancel each other: a quiet run reports only the time.  Namelist and
// command-line runs append a block each to one log, with the namelist's levels and an output
// name marked for replacement; "-l stdout" prints the block.
TEST_F(PlenorRun, VerboseToggleAndLogBlocks) {
    testkit::write_text(f("run.nl"),
                        "&PLENORIN\n Verbose = 1\n PmaskMask = 64, CmaskMask = 12\n"
                        " DmaskMask = -5x\n Output_Uncertainty_File = 'unc_out.fits'\n");
    const testkit::RunResult quiet = plenor(base + " -ui unc.fits -n run.nl -v -l run.log");
    EXPECT_EQ(quiet.status, 0) << quiet.out;
    EXPECT_TRUE(has(quiet.out, "\nTime = ") && has(quiet.out, "exit code 0\n"));
    EXPECT_FALSE(has(quiet.out, "plenor Error") || has(quiet.out, "Memory Deallocated"));
    EXPECT_EQ(pixels("unc_out.fits"), std::vector<float>(6, 0.25f));
    const testkit::RunResult verbose = plenor(base + " -n run.nl -l run.log");
    EXPECT_TRUE(has(verbose.out, "plenor_parse_namelist: Namelist File = \t"));
    EXPECT_TRUE(has(verbose.out, "plenor_read_data: I_NX = 2\nplenor_read_data: I_NY = 3\n"
                                 "plenor_read_data: I_NZ = 1\n"));
    EXPECT_TRUE(has(verbose.out, "plenor_exit: Memory Deallocated.\n"));
    const std::string log = testkit::read_text(f("run.log"));
    EXPECT_EQ(testkit::count_of(log, "Plenor Version 1.5\nNamelist File  = run.nl\nInput DCE = "),
              2);
    EXPECT_EQ(testkit::count_of(log, " seconds\n*********************\n\n"), 2);
    EXPECT_EQ(testkit::count_of(log, "Pmask Mask = 64\nDmask File = \nDmask Mask = -5\n"), 2);
    EXPECT_EQ(testkit::count_of(log, "Cmask Mask = 12\n"), 2);
    EXPECT_TRUE(has(log, "Output Uncertainty = !unc_out.fits\n"));
    const testkit::RunResult r = plenor(with_unc + " -l stdout");
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "plenor_log_writer: Printing Log output to stdout\n"
                           "Plenor Version 1.5\nNamelist File  = \n"));
    EXPECT_TRUE(has(r.out, "Pmask Mask = 128\n") && has(r.out, "Cmask Mask = 256\n"));
    EXPECT_TRUE(has(r.out, "Processing Log File = stdout\nTime = "));
}

// A failed read still writes the log.  A one-plane flat turns uncertainties off: DCE 10 over
// flat 2 gives 5 (and 2 .. 12 give 1 .. 6).
TEST_F(PlenorRun, FailedReadWritesTheLogAndOnePlaneFlatTurnsUncertaintiesOff) {
    expect_failure(plenor(with_unc + " -p absent.fits -l run.log"),
                   report("0x0068: Unknown error", read_data));
    EXPECT_TRUE(has(testkit::read_text(f("run.log")), "Pmask File = absent.fits"));
    testkit::write_float_image(f("flat.fits"), {3, 2}, std::vector<float>(6, 2.0f));
    const testkit::RunResult r = plenor(with_unc);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "plenor_read_data: WARNING - Flatfield does not contain 2nd plane for "
                           "uncertainty!\nplenor_read_data: No uncertainty calculations will be "
                           "made.\nplenor_read_data: WARNING - no input DCE uncertainty image!\n"
                           "plenor_read_data: No uncertainty calculations will be made.\n"));
    EXPECT_TRUE(has(r.out, "Input Uncertainty = \nOutput Uncertainty = \n"));
    EXPECT_FALSE(testkit::file_exists(f("unc_out.fits")));
    EXPECT_EQ(pixels("out.fits"), flat_result);
}

// Pixel 0: NaN DCE; 1: Pmask 128; 2: Dmask 0x4000; 3: Cmask 256, flat 2; 4: Cmask 256, NaN flat;
// 5: Cmask 1, outside the default level 256.
TEST_F(PlenorRun, MaskRulesAndMarksWrittenBackIntoTheDmask) {
    testkit::write_float_image(f("dce.fits"), {3, 2}, {nan_value, 4, 6, 8, 10, 12});
    testkit::write_float_image(f("flat.fits"), {3, 2, 2},
                               {2, 2, 2, 2, nan_value, 2, 0, 0, 0, 0, 0, 0});
    testkit::write_short_image(f("pmask.fits"), {3, 2}, {0, 128, 0, 0, 0, 0});
    testkit::write_short_image(f("dmask.fits"), {3, 2}, {0, 0, 0x4000, 0, 0, 0});
    testkit::write_short_image(f("cmask.fits"), {3, 2}, {0, 0, 0, 256, 256, 1});
    ASSERT_EQ(plenor(with_unc + " -p pmask.fits -d dmask.fits -c cmask.fits").status, 0);
    const std::vector<float> out = pixels("out.fits");
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(std::vector<float>(out.begin() + 1, out.end()), (std::vector<float>{4, 6, 4, 10, 6}));
    EXPECT_EQ(pixels("unc_out.fits"), (std::vector<float>{.5f, .5f, .5f, .25f, .5f, .25f}));
    EXPECT_EQ(testkit::read_image(f("dmask.fits")).pixels,
              (std::vector<double>{0x100, 0x100, 0x4100, 0x080, 0x100, 0}));
}

// A three-plane DCE with a one-plane flat and a one-plane Pmask; the Dmask skips one pixel
// of plane 1 only.
TEST_F(PlenorRun, CubeIsDividedPlaneByPlaneByOneFlat) {
    testkit::write_float_image(f("dce.fits"), {2, 1, 3}, {2, 4, 6, 8, 10, 12});
    testkit::write_float_image(f("flat.fits"), {2, 1}, {2, 4});
    testkit::write_short_image(f("pmask.fits"), {2, 1}, {0, 0});
    testkit::write_short_image(f("dmask.fits"), {2, 1, 3}, {0, 0, 0x4000, 0, 0, 0});
    ASSERT_EQ(plenor(base + " -p pmask.fits -d dmask.fits").status, 0);
    EXPECT_EQ(pixels("out.fits"), (std::vector<float>{1, 1, 6, 2, 5, 3}));
    EXPECT_EQ(testkit::read_image(f("dmask.fits")).pixels,
              (std::vector<double>{0, 0, 0x4100, 0, 0, 0}));
}

// Worked quotients, one per pixel: DCE a +- as over flat b +- bs times calibrator c +- cs.
// Divisor d = bc with ds^2 = b^2 cs^2 + c^2 bs^2 + cs^2 bs^2; quotient a/d with
// sigma^2 = (3 as^2 ds^2 + a^2 ds^2) / d^4 + as^2 / d^2, except for noise-dominated operands
// (ds > 0.9 d, as > 9 a, ds > 9 d): sigma = 2 |as / ds| / (2 sqrt(2 ln 2)).  A Cmask value 256
// flags both flats, which carries the library's suspect bit into their product: divided and
// marked, no usable uncertainty.  A calibrator that is NaN spoils its pixel only.
TEST_F(PlenorRun, WorkedQuotientsAndTheirUncertainties) {
    const struct {
        float a, as, b, bs, c, cs;
        short cm;
        float q, qs;
    } px[] = {
        {6, 2, 2, 1, 1, 0, 0, 3, 2},                // d = 2 +- 1: 12/16 + 36/16 + 1
        {6, 2, 2, 0, 1, .5f, 0, 3, 2},              // d = 2 +- 1 from the calibrator
        {8, 0, 2, .5f, 1, 0, 0, 4, 1},              // 64/4 / 16
        {6, 2, 2, 2, 1, 0, 0, 3, std::sqrt(13.0f)}, // 48/16 + 144/16 + 1
        {1, 20, 1, 10, 1, 0, 0, 1, 2 / std::sqrt(2 * std::log(2.0f))}, // noise-dominated
        {1, 20, 2, 2, 1, 0, 0, .5f, std::sqrt(1601.0f) / 2}, // 4804/16 + 400/4: one noisy operand
        {4, 2, 2, 1, 2, 1, 0, 1, std::sqrt(79.0f) / 8},      // d = 4 +- 3: 108/256 + 144/256 + 1/4
        {6, .5f, 2, 0, 1, .1f, 256, 3, nan_value},
        {6, .5f, 2, 0, nan_value, .1f, 0, nan_value, nan_value},
    };
    const long n = std::size(px);
    std::vector<float> dce, unc, flat(2 * n), tcal(2 * n);
    std::vector<short> cmask;
    for (long p = 0; p < n; ++p) {
        dce.push_back(px[p].a);
        unc.push_back(px[p].as);
        cmask.push_back(px[p].cm);
        flat[p] = px[p].b, flat[n + p] = px[p].bs, tcal[p] = px[p].c, tcal[n + p] = px[p].cs;
    }
    testkit::write_float_image(f("dce.fits"), {n, 1}, dce);
    testkit::write_float_image(f("unc.fits"), {n, 1}, unc);
    testkit::write_float_image(f("flat.fits"), {n, 1, 2}, flat);
    testkit::write_float_image(f("tcal.fits"), {n, 1, 2}, tcal);
    testkit::write_short_image(f("cm.fits"), {n, 1}, cmask);
    testkit::write_short_image(f("dm.fits"), {n, 1}, std::vector<short>(n, 0));
    ASSERT_EQ(plenor(with_unc + " -t tcal.fits -c cm.fits -ct cm.fits -d dm.fits").status, 0);
    const std::vector<float> out = pixels("out.fits"), sigma = pixels("unc_out.fits");
    const std::vector<double> marks = testkit::read_image(f("dm.fits")).pixels;
    for (long p = 0; p < n; ++p) {
        EXPECT_TRUE(std::isnan(px[p].q) ? std::isnan(out[p]) : out[p] == px[p].q) << p;
        EXPECT_TRUE(std::isnan(px[p].qs) ? std::isnan(sigma[p])
                                         : std::fabs(sigma[p] - px[p].qs) < 1e-6f * px[p].qs)
            << p << ": " << sigma[p];
        EXPECT_EQ(marks[p], px[p].cm == 0 ? 0 : 0x080) << p;
    }
}

// Every input but the Dmask stored the ways archives store images, named the library's way
// (unsigned 16-bit after an empty primary HDU, 16-bit tile-compressed in extension 1, scaled
// integers with BLANK pixels, ...): the products (header cards but the history line and DATE
// included) and the Dmask are those of the same values stored plain, and fitsverify accepts the
// products, each with one history line and DATE only on the uncertainty.  A mask's BLANK names a
// value it holds, which stays a mask value.
TEST_F(PlenorRun, InputsStoredAsArchivesStoreThemGiveTheProductsOfPlainFiles) {
    using testkit::Storage;
    const struct {
        Storage data, masks;
        int dce_bitpix;
    } rows[] = {{Storage::Extension, Storage::Extension, USHORT_IMG},
                {Storage::Rice, Storage::Plio, SHORT_IMG},
                {Storage::Gzip1, Storage::Hcompress, FLOAT_IMG}, // HCOMPRESS: no float with NaN
                {Storage::Gzip2, Storage::Gzip2, FLOAT_IMG},
                {Storage::Scaled, Storage::Scaled, FLOAT_IMG}};
    const long nx = 60, ny = 50, n = nx * ny;
    std::vector<double> dce(n), counts(n), unc(n), flat(2 * n), mask(n);
    for (long p = 0; p < n; ++p) {
        counts[p] = 100 + (p * 37) % 23; // a 16-bit DCE holds no undefined pixel
        dce[p] = p % 97 == 5 ? nan_value : counts[p];
        unc[p] = p % 89 == 7 ? nan_value : 0.5 + (p % 7) * 0.25;
        flat[p] = 0.75 + (p % 5) * 0.125;
        flat[n + p] = (p % 3) * 0.01;
        mask[p] = p % 31 == 0 ? 0x4000 : p % 11 == 0 ? 0x100 : 0;
    }
    const std::vector<testkit::Keyword> keys = {testkit::Keyword::real("EXPTIME", 8),
                                                testkit::Keyword::text("BUNIT", "adu")};
    const std::regex history("HISTORY PLENOR {20}v\\. 1\\.500   [A-Z][a-z]{2} [A-Z][a-z]{2} "
                             "[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} *");
    for (const auto& row : rows) {
        SCOPED_TRACE("storage " + std::to_string(static_cast<int>(row.data)));
        std::string args[2]; // stored, plain
        auto put = [&](const std::string& option, const std::string& name, Storage how, int bitpix,
                       const std::vector<double>& px, std::vector<long> axes) {
            const testkit::Stored st = testkit::write_stored(f(name), how, bitpix, axes, px, keys);
            testkit::write_image(f("plain_" + name), bitpix, axes, st.values, keys);
            args[0] += " " + option + " " + st.name.substr(dir.path().size() + 1);
            args[1] += " " + option + " plain_" + name;
        };
        put("-i", "dce.fits", row.data, row.dce_bitpix, row.dce_bitpix > 0 ? counts : dce,
            {nx, ny});
        put("-ui", "unc.fits", row.data, FLOAT_IMG, unc, {nx, ny});
        put("-f", "flat.fits", row.data, FLOAT_IMG, flat, {nx, ny, 2});
        put("-t", "tcal.fits", row.data, FLOAT_IMG, flat, {nx, ny, 2});
        for (const char* m : {"-p", "-c", "-ct"})
            put(m, std::string(m + 1) + ".fits", row.masks, SHORT_IMG, mask, {nx, ny});
        std::string products[2]; // every card but history and date, then the pixels' bytes
        for (int k : {0, 1}) {
            testkit::write_short_image(f("dmask.fits"), {nx, ny}, std::vector<int16_t>(n, 0));
            const testkit::RunResult r = plenor(args[k] + " -d dmask.fits -o out.fits -uo u.fits");
            ASSERT_EQ(r.status, 0) << args[k] << "\n" << r.out << r.err;
            for (const std::string name : {"out.fits", "u.fits", "dmask.fits"}) {
                const testkit::Image im = testkit::read_image(f(name));
                int lines = 0, dates = 0;
                for (const std::string& card : im.cards) {
                    lines += std::regex_match(card, history) ? 1 : 0;
                    dates += card.rfind("DATE    =", 0) == 0 ? 1 : 0;
                    products[k] += card.rfind("HISTORY", 0) == 0 || card.rfind("DATE    =", 0) == 0
                                       ? ""
                                       : card + "\n";
                }
                EXPECT_TRUE(lines == 1 && dates == (name == "u.fits")) << name;
                products[k].append(reinterpret_cast<const char*>(im.fpixels.data()),
                                   im.fpixels.size() * sizeof(float));
                const testkit::RunResult v = testkit::run("/usr/bin/fitsverify", {"-q", f(name)});
                EXPECT_TRUE(v.status == 0 && has(v.out, "verification OK")) << name << v.out;
            }
        }
        EXPECT_TRUE(products[0] == products[1]);
    }
}

} // namespace
