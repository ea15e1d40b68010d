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
    std::vector<float*> data_ptr{data[0].data(), data[1].data()};
    std::vector<const int16_t*> bmask_ptr{bmask[0].data(), bmask[1].data()};
    std::vector<const int16_t*> pmask_ptr{pmask[0].data(), pmask[1].data()};
    stack_view view{
        data_ptr.data(), nullptr, bmask_ptr.data(), pmask_ptr.data(), fmask.data(), 2, 4};
    control_settings cs{};
    std::vector<long> good = std::vector<long>(2, -1);
    std::vector<float> weight = std::vector<float>(2, -1.0f);

    explicit Masked(unsigned char use_weights) {
        clear_cs_flags(&cs);
        cs.bfatal = 0x80;
        cs.pfatal = 0x40;
        cs.bit_for_wts = 2;
        cs.use_weights = use_weights;
    }
    std::vector<long> mask() {
        masking_pass(&view, &cs, good.data(), NaN);
        return good;
    }
};

} // namespace

TEST(MaskingPass, FatalBitsRemovePixelsAndTheFovOnlyDecidesTheCount) {
    Masked m(1);
    // DCE 0: pixel 0 hits bfatal, pixel 2 was NaN, pixel 3 is outside the FOV: 1 counted.
    // DCE 1: pixel 0 hits pfatal; the bits 0x01 and 0x02 of pixel 1 are not fatal: 2 counted.
    EXPECT_EQ(m.mask(), (std::vector<long>{1, 2}));
    EXPECT_TRUE(std::isnan(m.data[0][0]) && std::isnan(m.data[1][0]));
    EXPECT_EQ(m.data[0][1] + m.data[0][3] + m.data[1][1], 2.0f + 4.0f + 6.0f);
    // Without weighting every remaining pixel counts.
    EXPECT_EQ(Masked(0).mask(), (std::vector<long>{2, 3}));
    // Mask tables not in use remove nothing.
    Masked none(0);
    none.view.bmask = nullptr;
    none.view.pmask = nullptr;
    EXPECT_EQ(none.mask(), (std::vector<long>{3, 4}));
    EXPECT_EQ(none.data[0][0] + none.data[1][0], 6.0f);
}

TEST(DceWeights, SumsInTheFovNormalisedByTheLargest) {
    Masked m(1);
    m.data[1][0] = NaN;
    // In FOV bit 2: pixels 0, 1, 2.  DCE 0: 1 + 2 (pixel 2 NaN) = 3; DCE 1: 6 + 7 = 13.
    EXPECT_EQ(dce_weights(&m.view, &m.cs, m.weight.data(), m.good.data()), weights_normalised);
    EXPECT_FLOAT_EQ(m.weight[0], 3.0f / 13.0f);
    EXPECT_EQ(m.weight[1], 1.0f);
    EXPECT_EQ(m.good, (std::vector<long>{2, 2}));
    // Bit -1 admits any FMASK bit; pixel 1 in no FOV: 1 + 4 = 5 and 5 + 7 + 8 = 20.
    Masked any(1);
    any.cs.bit_for_wts = -1;
    any.fmask[1] = 0;
    EXPECT_EQ(dce_weights(&any.view, &any.cs, any.weight.data(), any.good.data()),
              weights_normalised);
    EXPECT_EQ(any.weight[0], 0.25f);
    EXPECT_EQ(any.good[1], 3);
}
