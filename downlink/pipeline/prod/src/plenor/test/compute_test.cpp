// Pixel decision and arithmetic of the flat-field computation on hand-made buffers: the cases
// the end-to-end runs cannot set up or pinpoint.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <vector>

#include "plenor.h"

namespace {

const float nan_value = std::nanf("");

// Buffers of n pixels and nz planes: DCE 10 +- 1, flat 2 +- 0, masks clear, no calibrator.
struct run_buffers {
    image_dims dims;
    run_control rc{128, 16384, 256, 0, 0, 1};
    std::vector<float> dce, unc, flat, tcal_flat;
    std::vector<short> pmask, dmask, cmask, tcal_cmask;

    run_buffers(int n, int nz)
        : dims{n, 1, nz}, dce(n * nz, 10.0f), unc(n * nz, 1.0f), flat(n, 2.0f), pmask(n),
          dmask(n * nz), cmask(n), tcal_cmask(n) {
        flat.resize(2 * n, 0.0f);
    }
    void compute() {
        plenor_compute_results(&dims, dce.data(), unc.data(), &rc, pmask.data(), dmask.data(),
                               cmask.data(), flat.data(),
                               tcal_flat.empty() ? nullptr : tcal_flat.data(), tcal_cmask.data());
    }
};

} // namespace

// A Pmask value 0x8000 meets the mask 0xFFFF0000 only when sign-extended.  A flagged
// calibrator divides and marks 0x080 where it is a number, and skips with 0x100 where not.
TEST(PlenorCompute, SignExtendedMasksAndFlaggedCalibrator) {
    run_buffers b(1, 1);
    b.rc.PmaskMask = static_cast<int32_t>(0xFFFF0000u);
    b.pmask[0] = static_cast<short>(0x8000);
    b.compute();
    EXPECT_EQ(b.dmask[0], 0x100);
    run_buffers t(2, 1);
    t.tcal_flat = {1.0f, nan_value, 0.0f, 0.0f};
    t.tcal_cmask = {256, 256};
    t.compute();
    EXPECT_EQ(t.dce, (std::vector<float>{5, 10}));
    EXPECT_EQ(t.dmask, (std::vector<short>{0x080, 0x100}));
}

// Without uncertainties: flat times calibrator (1, 0.5, 1) divides every plane; a Dmask skip
// in plane 1 stays in that plane; the uncertainty buffer is untouched.
TEST(PlenorCompute, PlainPathDividesWithoutTouchingTheUncertainty) {
    run_buffers b(3, 3);
    b.rc.do_uncertainty = 0;
    b.tcal_flat = {1.0f, 0.5f, 1.0f, 0, 0, 0};
    b.dmask[5] = 0x4000;
    b.compute();
    EXPECT_EQ(b.dce, (std::vector<float>{5, 10, 5, 5, 10, 10, 5, 10, 5}));
    EXPECT_EQ(b.dmask, (std::vector<short>{0, 0, 0, 0, 0, 0x4100, 0, 0, 0}));
    EXPECT_EQ(b.unc, std::vector<float>(9, 1.0f));
}

// Over planes longer than one block of the divisor (4096 pixels), every pixel gets its own
// divisor and marks whatever block it falls in: 4099 plane pixels in 2 planes, DCE 10 +- 1 over
// flat 2 +- 0 times calibrator 1 +- 0 gives 5 +- 0.5 but for the pixels set around the edge.
TEST(PlenorCompute, BlocksGiveEveryPixelItsOwnDivisor) {
    const int n = 4099;
    run_buffers b(n, 2);
    b.tcal_flat.assign(2 * n, 0.0f);
    std::fill(b.tcal_flat.begin(), b.tcal_flat.begin() + n, 1.0f);
    std::vector<float> value(2 * n, 5.0f), sigma(2 * n, 0.5f);
    std::vector<short> marks(2 * n, 0);
    b.pmask[3] = 128; // skipped in both planes
    b.flat[4095] = 4.0f;
    b.flat[4096] = 1.0f;
    b.tcal_flat[4097] = 0.5f;
    b.tcal_cmask[4094] = 256; // flagged calibrator: divided and marked doubtful
    b.dmask[n + 4098] = 0x4000;
    b.unc[4097] = nan_value; // its flag word must not stick to the divisor of plane 1
    for (int k : {0, n}) {
        value[k + 3] = 10, sigma[k + 3] = 1, marks[k + 3] = 0x100;
        value[k + 4095] = 2.5f, sigma[k + 4095] = 0.25f;
        value[k + 4096] = 10, sigma[k + 4096] = 1;
        value[k + 4097] = 10, sigma[k + 4097] = 1;
        marks[k + 4094] = 0x080;
    }
    value[n + 4098] = 10, sigma[n + 4098] = 1, marks[n + 4098] = 0x4100;
    b.compute();
    for (int i : {4094, 4097, n + 4094}) { // a flagged divisor or a NaN sigma: no sigma
        EXPECT_TRUE(std::isnan(b.unc[i])) << i;
        b.unc[i] = sigma[i] = -1;
    }
    EXPECT_EQ(b.dce, value);
    EXPECT_EQ(b.unc, sigma);
    EXPECT_EQ(b.dmask, marks);
}
