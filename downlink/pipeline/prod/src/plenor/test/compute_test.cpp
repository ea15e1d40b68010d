// Pixel decision and arithmetic of the flat-field computation on hand-made buffers.
#include "plenor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

const float nan_value = std::nanf("");

// Buffers of a run of nx * ny pixels and nz planes, all masks clear, flat 2 +- 0, DCE 10 +- 1.
struct run_buffers {
    image_dims dims;
    run_control rc{128, 16384, 256, 0, 0, 1};
    std::vector<float> dce, unc, flat, tcal_flat;
    std::vector<short> pmask, dmask, cmask, tcal_cmask;

    run_buffers(int nx, int ny, int nz) : dims{nx, ny, nz} {
        const size_t p = static_cast<size_t>(nx * ny);
        const size_t n = p * static_cast<size_t>(nz);
        dce.assign(n, 10.0f);
        unc.assign(n, 1.0f);
        flat.assign(2 * p, 2.0f);
        std::fill(flat.begin() + static_cast<long>(p), flat.end(), 0.0f);
        pmask.assign(p, 0);
        dmask.assign(n, 0);
        cmask.assign(p, 0);
        tcal_cmask.assign(p, 0);
    }
    int compute() {
        return plenor_compute_results(
            &dims, dce.data(), unc.data(), &rc, pmask.data(), dmask.data(), cmask.data(),
            flat.data(), tcal_flat.empty() ? nullptr : tcal_flat.data(), tcal_cmask.data());
    }
};

} // namespace

TEST(PlenorPixelDecision, MaskValuesAreSignExtended) {
    run_buffers b(1, 1, 1);
    b.rc.PmaskMask = static_cast<int32_t>(0xFFFF0000u);
    b.pmask[0] = static_cast<short>(0x8000);
    b.compute();
    EXPECT_EQ(b.dmask[0], 0x100);
}

TEST(PlenorPixelDecision, FlaggedCalibratorThatIsNotANumberSkips) {
    run_buffers b(2, 1, 1);
    b.tcal_flat = {1.0f, nan_value, 0.0f, 0.0f};
    b.tcal_cmask = {256, 256};
    b.compute();
    EXPECT_EQ(b.dce[0], 5.0f);
    EXPECT_EQ(b.dmask[0], 0x080);
    EXPECT_EQ(b.dce[1], 10.0f);
    EXPECT_EQ(b.dmask[1], 0x100);
}

TEST(PlenorUncertainty, QuotientAndSigmaOfExactValues) {
    // 10 +- 1 over 2 +- 0: 5, sigma sqrt(1/4) = 0.5.
    run_buffers b(1, 1, 1);
    b.compute();
    EXPECT_EQ(b.dce[0], 5.0f);
    EXPECT_EQ(b.unc[0], 0.5f);
    // 16 +- 2 over (2 +- 0) * (4 +- 0) = 8 +- 0: 2, sigma sqrt(4/64) = 0.25.
    run_buffers t(1, 1, 1);
    t.dce[0] = 16.0f;
    t.unc[0] = 2.0f;
    t.tcal_flat = {4.0f, 0.0f};
    t.compute();
    EXPECT_EQ(t.dce[0], 2.0f);
    EXPECT_EQ(t.unc[0], 0.25f);
}

TEST(PlenorUncertainty, BadPixelInOnePlaneLeavesTheDivisorOfLaterPlanesAlone) {
    run_buffers b(1, 1, 2);
    b.unc[0] = nan_value;
    b.compute();
    EXPECT_TRUE(std::isnan(b.unc[0]));
    EXPECT_EQ(b.dce[0], 5.0f);
    EXPECT_EQ(b.unc[1], 0.5f);
}

TEST(PlenorPlain, DividesWithoutTouchingTheUncertainty) {
    run_buffers b(2, 2, 3);
    b.rc.do_uncertainty = 0;
    b.tcal_flat = {1.0f, 1.0f, 0.5f, 1.0f, 0, 0, 0, 0};
    b.dmask[4 + 1] = 0x4000; // pixel 1 of plane 1 only
    b.compute();
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(b.dce[4 * k + 0], 5.0f);
        EXPECT_EQ(b.dce[4 * k + 2], 10.0f); // 10 / (2 * 0.5)
        EXPECT_EQ(b.dce[4 * k + 1], k == 1 ? 10.0f : 5.0f);
    }
    EXPECT_EQ(b.dmask[5], 0x4100);
    EXPECT_EQ(b.dmask[1], 0);
    for (float u : b.unc) {
        EXPECT_EQ(u, 1.0f);
    }
}

TEST(PlenorCompute, EmptyCubeAndEarlierFailure) {
    run_buffers empty(2, 2, 0);
    EXPECT_EQ(empty.compute(), 0);
    EXPECT_EQ(empty.rc.status, 0);
    run_buffers failed(1, 1, 1);
    failed.rc.status = 0x141068;
    EXPECT_EQ(failed.compute(), -1);
    EXPECT_EQ(failed.dce[0], 10.0f);
    EXPECT_EQ(failed.dmask[0], 0);
}
