// One complete run of the installed plenor under valgrind: uncertainties, a calibrator flat
// and the three masks, without an invalid access or a leak.
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../../../cal/src/stackle/test/hostile_support.h"
#include "testkit.h"

namespace {

const char valgrind[] = "/usr/bin/valgrind";

TEST(PlenorUnderValgrind, CompleteRunHasNoInvalidAccessAndNoLeak) {
    if (kUnderAsan) {
        GTEST_SKIP() << "a sanitizer build does not run under valgrind";
    }
    if (access(valgrind, X_OK) != 0) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    testkit::TempDir dir;
    // DCE 2 .. 12 (sigma 0.5), flat 2 and calibrator flat 1 (sigma 0.1 each).  Pixel 0 is
    // condemned by the Pmask; the Cmask value 256 of pixel 2 flags both flats there.
    testkit::write_float_image(dir.file("dce.fits"), {3, 2}, {2, 4, 6, 8, 10, 12});
    testkit::write_float_image(dir.file("unc.fits"), {3, 2}, std::vector<float>(6, 0.5f));
    testkit::write_float_image(dir.file("flat.fits"), {3, 2, 2},
                               {2, 2, 2, 2, 2, 2, .1f, .1f, .1f, .1f, .1f, .1f});
    testkit::write_float_image(dir.file("cal.fits"), {3, 2, 2},
                               {1, 1, 1, 1, 1, 1, .1f, .1f, .1f, .1f, .1f, .1f});
    testkit::write_short_image(dir.file("pm.fits"), {3, 2}, {128, 0, 0, 0, 0, 0});
    testkit::write_short_image(dir.file("dm.fits"), {3, 2}, {0, 0, 0, 0, 0, 0});
    testkit::write_short_image(dir.file("cm.fits"), {3, 2}, {0, 0, 256, 0, 0, 0});

    testkit::RunOptions opts;
    opts.cwd = dir.path();
    opts.timeout_s = 300;
    const testkit::RunResult r = testkit::run(valgrind,
                                              {"--error-exitcode=1",
                                               "--leak-check=full",
                                               "--quiet",
                                               testkit::installed_program("plenor"),
                                               "-i",
                                               "dce.fits",
                                               "-ui",
                                               "unc.fits",
                                               "-o",
                                               "out.fits",
                                               "-uo",
                                               "out_unc.fits",
                                               "-f",
                                               "flat.fits",
                                               "-t",
                                               "cal.fits",
                                               "-ct",
                                               "cm.fits",
                                               "-p",
                                               "pm.fits",
                                               "-d",
                                               "dm.fits",
                                               "-c",
                                               "cm.fits",
                                               "-l",
                                               "plenor.log",
                                               "-v"},
                                              opts);
    ASSERT_FALSE(r.signaled) << r.err;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // --quiet leaves on standard error only what valgrind found.
    EXPECT_EQ(r.err.find("=="), std::string::npos) << r.err;

    // Pixel 0 keeps its input; the others are divided by 2 x 1.
    EXPECT_EQ(testkit::read_image(dir.file("out.fits")).fpixels,
              (std::vector<float>{2, 2, 3, 4, 5, 6}));
    EXPECT_EQ(testkit::read_image(dir.file("dm.fits")).pixels,
              (std::vector<double>{0x100, 0, 0x080, 0, 0, 0}));
    // The calibrator Cmask value 256 carries the library's suspect bit into the product of
    // the flats: the quotient of pixel 2 has no usable uncertainty.
    const std::vector<float> sigma = testkit::read_image(dir.file("out_unc.fits")).fpixels;
    ASSERT_EQ(sigma.size(), 6u);
    EXPECT_EQ(sigma[0], 0.5f);
    for (size_t p = 1; p < sigma.size(); ++p) {
        EXPECT_EQ(std::isnan(sigma[p]), p == 2) << "pixel " << p << ": " << sigma[p];
    }
    EXPECT_EQ(testkit::count_of(testkit::read_text(dir.file("plenor.log")), "Plenor Version 1.5\n"),
              1);
}

} // namespace
