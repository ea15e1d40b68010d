// Pixel decision and arithmetic of the flat-field computation on hand-made buffers: the cases
// the end-to-end runs cannot set up or pinpoint.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "plenor.h"

// Over planes longer than one block of the divisor (4096 pixels), every pixel gets its own
// divisor and marks whatever block it falls in, with and without uncertainties (then left as
// they were): 4099 plane pixels in 2 planes, DCE 10 +- 1 over flat 2 +- 0 times calibrator
// 1 +- 0 gives 5 +- 0.5 but for the pixels set around the edge.
TEST(PlenorCompute, BlocksGiveEveryPixelItsOwnDivisor) {
    const int n = 4099;
    const float nan_value = std::nanf("");
    for (int with_unc : {1, 0}) {
        image_dims dims{n, 1, 2};
        run_control rc{static_cast<int32_t>(0xFFFF0080u), 16384, 256, 0, 0, with_unc};
        std::vector<float> dce(2 * n, 10), unc(2 * n, 1), flat(2 * n, 0), tcal(2 * n, 0);
        std::vector<short> pmask(n), dmask(2 * n), cmask(n), tcal_cmask(n);
        std::fill(flat.begin(), flat.begin() + n, 2.0f);
        std::fill(tcal.begin(), tcal.begin() + n, 1.0f);
        std::vector<float> value(2 * n, 5.0f), sigma(2 * n, with_unc ? 0.5f : 1.0f);
        std::vector<short> marks(2 * n, 0);
        pmask[3] = static_cast<short>(0x8000); // meets the mask 0xFFFF0080 only sign-extended
        pmask[2] = 128;
        flat[4095] = 4.0f;
        flat[4096] = 1.0f;
        tcal[4097] = 0.5f;
        tcal[4093] = nan_value, tcal_cmask[4093] = 256; // flagged and undefined: skipped
        tcal_cmask[4094] = 256; // flagged calibrator: divided and marked doubtful
        dmask[n + 4098] = 0x4000;
        unc[4097] = nan_value; // its flag word must not stick to the divisor of plane 1
        for (int k : {0, n}) {
            for (int p : {2, 3, 4093}) {
                value[k + p] = 10, sigma[k + p] = 1, marks[k + p] = 0x100;
            }
            value[k + 4095] = 2.5f, sigma[k + 4095] = with_unc ? 0.25f : 1.0f;
            value[k + 4096] = 10, sigma[k + 4096] = 1;
            value[k + 4097] = 10, sigma[k + 4097] = 1;
            marks[k + 4094] = 0x080;
        }
        value[n + 4098] = 10, sigma[n + 4098] = 1, marks[n + 4098] = 0x4100;
        plenor_compute_results(&dims, dce.data(), unc.data(), &rc, pmask.data(), dmask.data(),
                               cmask.data(), flat.data(), tcal.data(), tcal_cmask.data());
        for (int i : {4094, 4097, n + 4094}) { // a flagged divisor or a NaN sigma: no sigma
            EXPECT_EQ(std::isnan(unc[i]), with_unc || i == 4097) << i;
            unc[i] = sigma[i] = -1;
        }
        EXPECT_EQ(dce, value);
        EXPECT_EQ(unc, sigma);
        EXPECT_EQ(dmask, marks);
    }
}
