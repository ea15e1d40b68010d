// Pixel decision and arithmetic of the flat-field computation on hand-made buffers: the cases
// the end-to-end runs cannot set up or pinpoint.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "plenor.h"

#include <errva.h>

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

// The flag word of a bad pixel must not stick to the divisor used by later planes.
TEST(PlenorCompute, BadPixelInOnePlaneLeavesTheDivisorOfLaterPlanesAlone) {
    run_buffers b(1, 2);
    b.unc[0] = nan_value;
    b.compute();
    EXPECT_TRUE(std::isnan(b.unc[0]));
    EXPECT_EQ(b.dce[0], 5.0f);
    EXPECT_EQ(b.unc[1], 0.5f);
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

// Over planes longer than one block of the divisor, every pixel must hold what the library's
// product and quotient give for it alone, bit for bit, whatever block it falls in: 4099 plane
// pixels (one block and three pixels more) in 3 planes, with varied values, a calibrator,
// pixels that are not numbers, masked pixels and a flagged calibrator around the block edge.
TEST(PlenorCompute, BlocksGiveTheLibrarysPixelByPixelResults) {
    const int n = 4099;
    const int nz = 3;
    run_buffers b(n, nz);
    b.tcal_flat.resize(2 * n);
    for (int p = 0; p < n; ++p) {
        b.flat[p] = 0.5f + 0.001f * static_cast<float>(p % 997);
        b.flat[n + p] = 0.01f * static_cast<float>(p % 7);
        b.tcal_flat[p] = 1.5f - 0.0003f * static_cast<float>(p % 1013);
        b.tcal_flat[n + p] = 0.002f * static_cast<float>(p % 5);
    }
    for (int i = 0; i < n * nz; ++i) {
        b.dce[i] = 100.0f + 0.37f * static_cast<float>(i % 4001);
        b.unc[i] = 1.0f + 0.01f * static_cast<float>(i % 13);
    }
    b.flat[4095] = nan_value;
    b.tcal_flat[4096] = 0.0f;
    b.unc[n + 4097] = nan_value;
    b.dce[2 * n + 4098] = nan_value;
    b.tcal_cmask[4094] = 256;
    b.cmask[4093] = 256;
    b.dmask[n + 4096] = 0x4000;
    b.pmask[3] = 128;
    const run_buffers in = b;
    b.compute();
    for (int i = 0; i < n * nz; ++i) {
        const int p = i % n;
        const bool masked = std::isnan(in.dce[i]) || in.pmask[p] != 0 || in.dmask[i] != 0;
        if (masked) {
            EXPECT_EQ(b.dmask[i], in.dmask[i] | 0x100) << i;
            EXPECT_EQ(std::memcmp(&b.dce[i], &in.dce[i], sizeof(float)), 0) << i;
            continue;
        }
        float divisor = 0.0f;
        float divisor_sigma = 0.0f;
        int flags = 0;
        errva_mul(&divisor, &divisor_sigma, &flags, in.flat[p], in.flat[n + p], in.cmask[p],
                  in.tcal_flat[p], in.tcal_flat[n + p], in.tcal_cmask[p]);
        float quotient = 0.0f;
        float sigma = 0.0f;
        int quotient_flags = flags;
        errva_div(&quotient, &sigma, &quotient_flags, in.dce[i], in.unc[i], flags, divisor,
                  divisor_sigma, flags);
        EXPECT_EQ(std::memcmp(&b.dce[i], &quotient, sizeof(float)), 0) << i;
        EXPECT_EQ(std::memcmp(&b.unc[i], &sigma, sizeof(float)), 0) << i;
        const short doubtful = in.cmask[p] != 0 || in.tcal_cmask[p] != 0 ? 0x080 : 0;
        EXPECT_EQ(b.dmask[i], doubtful) << i;
    }
}
