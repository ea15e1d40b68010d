// Selection, median, asymmetric trimming and weighted mean on hand-derived columns.
#include "stackle.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<data_struct> make_column(const std::vector<float>& values) {
    std::vector<data_struct> col;
    for (size_t i = 0; i < values.size(); ++i)
        col.push_back({values[i], static_cast<int>(i), 1.0f});
    return col;
}

struct Trim {
    control_settings cs{};
    stats_scratch scratch{};
    Trim(float cut_frac, float cut_multiple) {
        clear_cs_flags(&cs);
        cs.cut_frac = cut_frac;
        cs.cut_multiple = cut_multiple;
        EXPECT_TRUE(stats_scratch_init(&scratch, 32));
    }
    ~Trim() { stats_scratch_free(&scratch); }
    // Trims the column and returns the surviving DCE indices in order.
    std::vector<int> run(std::vector<data_struct>& col) {
        int n = static_cast<int>(col.size());
        asymmetric_trimming(col.data(), &n, &cs, &scratch);
        std::vector<int> dces;
        for (int i = 0; i < n; ++i)
            dces.push_back(col[i].dce);
        return dces;
    }
};

std::vector<int> range(int from, int to) {
    std::vector<int> r;
    for (int i = from; i < to; ++i)
        r.push_back(i);
    return r;
}

} // namespace

TEST(StatsSelect, EveryRankOfAShuffledColumnWithoutChangingIt) {
    auto col = make_column({5, 1, 4, 2, 3});
    std::vector<data_struct> scratch(5);
    for (int k = 1; k <= 5; ++k)
        EXPECT_EQ(quickselect(col.data(), 5, k, scratch.data()).value, static_cast<float>(k));
    EXPECT_EQ(col[0].value, 5.0f);
    EXPECT_EQ(col[4].value, 3.0f);
}

TEST(StatsSelect, RepeatedValuesAndInfinities) {
    auto col = make_column({2, 2, 1, 2, INFINITY, -INFINITY});
    std::vector<data_struct> scratch(6);
    std::vector<float> sorted{-INFINITY, 1, 2, 2, 2, INFINITY};
    for (int k = 1; k <= 6; ++k)
        EXPECT_EQ(quickselect(col.data(), 6, k, scratch.data()).value, sorted[k - 1]);
}

TEST(StatsMedian, OddEvenAndSingle) {
    std::vector<data_struct> scratch(8);
    auto odd = make_column({3, 1, 2});
    auto even = make_column({4, 1, 3, 2});
    auto one = make_column({7});
    EXPECT_EQ(column_median(odd.data(), 3, scratch.data()), 2.0f);
    EXPECT_EQ(column_median(even.data(), 4, scratch.data()), 2.5f);
    EXPECT_EQ(column_median(one.data(), 1, scratch.data()), 7.0f);
}

TEST(StatsTrim, WorkedExampleRemovesTheOutlierOnly) {
    Trim t(0.2f, 5.0f);
    auto col = make_column({1, 2, 3, 4, 100});
    EXPECT_EQ(t.run(col), range(0, 4));
}

TEST(StatsTrim, LargeMultipleKeepsEverything) {
    Trim t(0.2f, 100.0f);
    auto col = make_column({1, 2, 3, 4, 100});
    EXPECT_EQ(t.run(col), range(0, 5));
}

TEST(StatsTrim, DeviationEqualToThresholdIsRemoved) {
    // Median 3, MAD 1, largest deviation 97.
    Trim at(0.2f, 97.0f);
    auto col = make_column({1, 2, 3, 4, 100});
    EXPECT_EQ(at.run(col).size(), 4u);
    Trim above(0.2f, 97.5f);
    auto col2 = make_column({1, 2, 3, 4, 100});
    EXPECT_EQ(above.run(col2).size(), 5u);
}

TEST(StatsTrim, ColumnsOfFourOrFewerWithDefaultFraction) {
    Trim t(0.2f, 5.0f);
    auto four = make_column({1, 2, 3, 100}); // 4 x 0.2 truncates to 0
    EXPECT_EQ(t.run(four).size(), 4u);
    Trim all(1.0f, 5.0f);
    auto three = make_column({1, 2, 1000}); // never trimmed
    EXPECT_EQ(all.run(three).size(), 3u);
}

TEST(StatsTrim, TenValuesAllowTwoRemovals) {
    // 1..7 and 1000, 2000, 3000: 3000 goes (median 5.5, MAD 3), then 2000
    // (median 5, MAD 2); the third removal is beyond 10 x 0.2.
    Trim t(0.2f, 5.0f);
    auto col = make_column({1, 2, 3, 4, 5, 6, 7, 1000, 2000, 3000});
    EXPECT_EQ(t.run(col), range(0, 8));
    EXPECT_EQ(col[7].value, 1000.0f);
}

TEST(StatsTrim, FifteenValuesAllowThreeRemovals) {
    Trim t(0.2f, 5.0f);
    auto col = make_column({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1000, 2000, 3000, 4000});
    EXPECT_EQ(t.run(col), range(0, 12));
}

TEST(StatsTrim, EqualValuesLoseTheEarliestRecord) {
    Trim t(0.2f, 5.0f);
    auto col = make_column({10, 10, 10, 10, 10});
    EXPECT_EQ(t.run(col), range(1, 5));
}

TEST(StatsTrim, TiedDeviationsRemoveTheLowerDce) {
    Trim t(0.2f, 5.0f);
    auto col = make_column({0, 5, 5, 5, 10});
    EXPECT_EQ(t.run(col), range(1, 5));
}

TEST(StatsTrim, OutliersOnBothSidesKeepOrder) {
    // 1..8 with -500 and 900: 900 first (deviation 895.5), then -500.
    Trim t(0.2f, 5.0f);
    auto col = make_column({-500, 1, 2, 3, 4, 5, 6, 7, 8, 900});
    EXPECT_EQ(t.run(col), range(1, 9));
    EXPECT_EQ(col[0].value, 1.0f);
}

TEST(StatsTrim, InfinityIsTrimmedLikeData) {
    Trim t(0.2f, 5.0f);
    auto col = make_column({1, 2, INFINITY, 3, 4});
    EXPECT_EQ(t.run(col), (std::vector<int>{0, 1, 3, 4}));
}

TEST(StatsTrim, FractionAboveOneStopsWhenTheColumnIsEmpty) {
    Trim t(2.0f, 5.0f); // asks for 10 removals from 5 equal values
    auto col = make_column({4, 4, 4, 4, 4});
    EXPECT_TRUE(t.run(col).empty());
    Trim huge(1e30f, 5.0f);
    auto col2 = make_column({4, 4, 4, 4, 4});
    EXPECT_TRUE(huge.run(col2).empty());
}

TEST(StatsTrim, NanOrZeroFractionTrimsNothing) {
    Trim t(std::numeric_limits<float>::quiet_NaN(), 5.0f);
    auto col = make_column({1, 2, 3, 4, 100});
    EXPECT_EQ(t.run(col).size(), 5u);
    Trim zero(0.0f, 5.0f);
    auto col2 = make_column({1, 2, 3, 4, 100});
    EXPECT_EQ(zero.run(col2).size(), 5u);
}

TEST(StatsMean, WeightedMeanAndRange) {
    std::vector<data_struct> col{{1, 0, 1.0f}, {2, 1, 1.0f}, {3, 2, 2.0f}};
    float mean = 0;
    calc_weighted_stats(col.data(), 0, 3, &mean);
    EXPECT_EQ(mean, 2.25f);
    calc_weighted_stats(col.data(), 1, 2, &mean); // (2 + 6) / 3
    EXPECT_EQ(mean, static_cast<float>(8.0 / 3.0));
    for (auto& r : col)
        r.weight = 0.0f;
    calc_weighted_stats(col.data(), 0, 3, &mean);
    EXPECT_TRUE(std::isnan(mean));
}

TEST(StatsMean, SumsAreKeptInDoublePrecision) {
    // In single precision 16777216 + 1 + 1 stays 16777216; in double it is
    // 16777218, and 16777218 / 3 = 5592406 exactly.
    std::vector<data_struct> col{{16777216.0f, 0, 1}, {1, 1, 1}, {1, 2, 1}};
    float mean = 0;
    calc_weighted_stats(col.data(), 0, 3, &mean);
    EXPECT_EQ(mean, 5592406.0f);
}

TEST(StatsNan, BitRule) {
    EXPECT_FALSE(stackle_isnan(INFINITY));
    EXPECT_FALSE(stackle_isnan(-INFINITY));
    EXPECT_FALSE(stackle_isnan(3.0f));
    EXPECT_TRUE(stackle_isnan(std::numeric_limits<float>::quiet_NaN()));
    EXPECT_TRUE(stackle_isnan(-std::numeric_limits<float>::quiet_NaN()));
    EXPECT_TRUE(stackle_isnan(std::numeric_limits<float>::signaling_NaN()));
}
