// The masking pass and the DCE weights over tiny stacks of planes.
#include "stackle.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

const float NaN = std::nanf("");

// Two DCEs of four pixels with a BMASK, a PMASK and one FMASK; pixel 3 is outside FOV bit 2.
struct Masked {
    std::vector<std::vector<float>> data{{1, 2, NaN, 4}, {5, 6, 7, 8}};
    std::vector<std::vector<int16_t>> bmask{{0x80, 0, 0x80, 0}, {0, 0x01, 0, 0}};
    std::vector<std::vector<int16_t>> pmask{{0, 0, 0, 0}, {0x40, 0x02, 0, 0}};
    std::vector<int16_t> fmask{2, 3, 2, 1};
    std::vector<float*> data_ptr;
    std::vector<const int16_t*> bmask_ptr, pmask_ptr;
    stack_view view{};
    control_settings cs{};
    std::vector<long> good = std::vector<long>(2, -1);
    std::vector<float> weight = std::vector<float>(2, -1.0f);

    Masked() {
        for (int i = 0; i < 2; ++i) {
            data_ptr.push_back(data[i].data());
            bmask_ptr.push_back(bmask[i].data());
            pmask_ptr.push_back(pmask[i].data());
        }
        view = {data_ptr.data(), nullptr, bmask_ptr.data(), pmask_ptr.data(), fmask.data(), 2, 4};
        clear_cs_flags(&cs);
        cs.bfatal = 0x80;
        cs.pfatal = 0x40;
        cs.bit_for_wts = 2;
    }
};

} // namespace

TEST(MaskingPass, FatalBitsRemovePixelsAndTheFovOnlyDecidesTheCount) {
    Masked m;
    m.cs.use_weights = 1;
    masking_pass(&m.view, &m.cs, m.good.data(), NaN);
    // DCE 0: pixel 0 hits bfatal; pixel 2 was NaN already; pixel 3 is outside the FOV but kept.
    EXPECT_TRUE(std::isnan(m.data[0][0]));
    EXPECT_EQ(m.data[0][1], 2.0f);
    EXPECT_EQ(m.data[0][3], 4.0f);
    EXPECT_EQ(m.good[0], 1);
    // DCE 1: pixel 0 hits pfatal; pixel 1's bits 0x01 and 0x02 are not fatal.
    EXPECT_TRUE(std::isnan(m.data[1][0]));
    EXPECT_EQ(m.data[1][1], 6.0f);
    EXPECT_EQ(m.good[1], 2); // pixels 1 and 2; pixel 3 is outside
}

TEST(MaskingPass, WithoutWeightingEveryRemainingPixelCounts) {
    Masked m;
    masking_pass(&m.view, &m.cs, m.good.data(), NaN);
    EXPECT_EQ(m.good[0], 2);
    EXPECT_EQ(m.good[1], 3);
}

TEST(MaskingPass, MaskTablesNotInUseRemoveNothing) {
    Masked m;
    m.view.bmask = nullptr;
    m.view.pmask = nullptr;
    masking_pass(&m.view, &m.cs, m.good.data(), NaN);
    EXPECT_EQ(m.data[0][0], 1.0f);
    EXPECT_EQ(m.data[1][0], 5.0f);
    EXPECT_EQ(m.good[0], 3);
    EXPECT_EQ(m.good[1], 4);
}

TEST(DceWeights, SumsInTheFovNormalisedByTheLargest) {
    Masked m;
    m.cs.use_weights = 1;
    m.data[1][0] = NaN;
    // In FOV bit 2: pixels 0, 1, 2.  DCE 0: 1 + 2 (pixel 2 NaN) = 3; DCE 1: 6 + 7 = 13.
    EXPECT_EQ(dce_weights(&m.view, &m.cs, m.weight.data(), m.good.data()), weights_normalised);
    EXPECT_FLOAT_EQ(m.weight[0], 3.0f / 13.0f);
    EXPECT_EQ(m.weight[1], 1.0f);
    EXPECT_EQ(m.good[0], 2);
    EXPECT_EQ(m.good[1], 2);
}

TEST(DceWeights, BitMinusOneAdmitsAnyFmaskBit) {
    Masked m;
    m.cs.use_weights = 1;
    m.cs.bit_for_wts = -1;
    m.fmask[1] = 0; // pixel 1 in no FOV: 1 + 4 = 5 and 5 + 7 + 8 = 20
    EXPECT_EQ(dce_weights(&m.view, &m.cs, m.weight.data(), m.good.data()), weights_normalised);
    EXPECT_EQ(m.weight[0], 0.25f);
    EXPECT_EQ(m.good[1], 3);
}

TEST(DceWeights, WithoutWeightingAllOneAndCountsKept) {
    Masked m;
    m.good = {7, 8};
    EXPECT_EQ(dce_weights(&m.view, &m.cs, m.weight.data(), m.good.data()), weights_all_one);
    EXPECT_EQ(m.weight, (std::vector<float>{1, 1}));
    EXPECT_EQ(m.good, (std::vector<long>{7, 8}));
}
