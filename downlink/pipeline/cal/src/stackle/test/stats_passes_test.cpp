// The trimming and statistics passes over a tiny stack of planes.
#include "stackle.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

const float NaN = std::nanf("");

// Five DCEs of two pixels: pixel 0 holds 1, 2, 3, 4, 100; pixel 1 holds two
// values (DCEs 1 and 3), the others NaN.
struct Stack {
    std::vector<std::vector<float>> data{{1, NaN}, {2, 6}, {3, NaN}, {4, 8}, {100, NaN}};
    std::vector<std::vector<float>> sdev{{1, 1}, {1, 3}, {1, 1}, {1, 4}, {2, 1}};
    std::vector<std::vector<int16_t>> bmask{{0, 0}, {0, 0x11}, {0, 0}, {0, 0x06}, {0x40, 0}};
    std::vector<float*> data_ptr, sdev_ptr;
    std::vector<const int16_t*> bmask_ptr;
    stack_view view{};
    control_settings cs{};
    std::vector<data_struct> column = std::vector<data_struct>(5);
    stats_scratch scratch{};
    std::vector<float> means = std::vector<float>(2), sdevs = std::vector<float>(2);
    std::vector<int16_t> amask = std::vector<int16_t>(2);

    Stack() {
        for (int i = 0; i < 5; ++i) {
            data_ptr.push_back(data[i].data());
            sdev_ptr.push_back(sdev[i].data());
            bmask_ptr.push_back(bmask[i].data());
        }
        view = {data_ptr.data(), nullptr, nullptr, nullptr, nullptr, 5, 2};
        clear_cs_flags(&cs);
        cs.cut_frac = 0.2f;
        cs.cut_multiple = 5.0f;
        cs.amask_min_good = 3;
        EXPECT_TRUE(stats_scratch_init(&scratch, 5));
    }
    ~Stack() { stats_scratch_free(&scratch); }
    size_t trim() { return trimming_pass(&view, &cs, column.data(), &scratch, NaN); }
    void stats() {
        std::vector<float> weights(5, 1.0f);
        statistics_pass(&view, weights.data(), &cs, means.data(), sdevs.data(), amask.data(), NaN);
    }
};

} // namespace

TEST(StatsPasses, TrimmingLeavesOnlySurvivorsInThePlanes) {
    Stack s;
    EXPECT_EQ(s.trim(), 1u);
    EXPECT_TRUE(std::isnan(s.data[4][0]) && std::isnan(s.data[0][1]));
    EXPECT_EQ(s.data[3][0] + s.data[1][1], 4.0f + 6.0f);
    Stack none;
    none.cs.cut_frac = 0.0f;
    EXPECT_EQ(none.trim(), 0u);
    EXPECT_EQ(none.data[4][0], 100.0f);
}

TEST(StatsPasses, MeansUncertaintiesAndAmask) {
    Stack s;
    s.view.sdev = s.sdev_ptr.data();
    s.view.bmask = s.bmask_ptr.data();
    s.cs.bpass = 0x03;
    s.cs.bpass_f = 1;
    s.trim();
    s.stats();
    // Pixel 0: 4 survivors, sqrt(1 + 1 + 1 + 1) / 4, no BMASK bits among them.
    // Pixel 1: sqrt(9 + 16) / 2; 2 good values < 3, and (0x11 | 0x06) & 0x03 = 0x03.
    EXPECT_EQ(s.means, (std::vector<float>{2.5f, 7.0f}));
    EXPECT_EQ(s.sdevs, (std::vector<float>{0.5f, 2.5f}));
    EXPECT_EQ(s.amask, (std::vector<int16_t>{0, 0x1003}));
}

TEST(StatsPasses, EmptyPixelInfinityAndUnsetBpass) {
    Stack s;
    for (auto& plane : s.data)
        plane[0] = NaN;
    s.data[0][1] = INFINITY; // infinity is data: three good values
    s.stats();
    EXPECT_TRUE(std::isnan(s.means[0]) && std::isnan(s.sdevs[0]));
    EXPECT_EQ(s.means[1], INFINITY);
    EXPECT_EQ(s.sdevs[1], 0.0f); // no sdev planes: nothing accumulated
    EXPECT_EQ(s.amask, (std::vector<int16_t>{0x3000, 0}));
    s.cs.amask_min_good = 1;
    s.cs.bpass = 0x7FFF; // a value without its flag passes no bits
    EXPECT_EQ(amask_value(1, 0x0F, &s.cs), 0);
}

TEST(StatsPasses, PlaneSizeRefusesBadOrHugeDimensions) {
    size_t n = 0;
    EXPECT_TRUE(stackle_plane_pixels(3, 2, sizeof(float), &n));
    EXPECT_EQ(n, 6u);
    EXPECT_FALSE(stackle_plane_pixels(0, 2, sizeof(float), &n));
    EXPECT_FALSE(stackle_plane_pixels(3, -1, sizeof(float), &n));
    EXPECT_FALSE(stackle_plane_pixels(2147483647, 2147483647, SIZE_MAX / 4, &n));
}
