// Selection, median, asymmetric trimming and weighted mean on hand-derived columns.  The passes
// over whole stacks are compared with their plain forms (stats_fastpath_test.cpp) and checked on
// tiny stacks by the runs of the e2e tests.
#include "stackle.h"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

const float kInf = INFINITY;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<data_struct> make_column(const std::vector<float>& values) {
    std::vector<data_struct> col;
    for (size_t i = 0; i < values.size(); ++i)
        col.push_back({values[i], static_cast<int>(i), 1.0f});
    return col;
}

} // namespace

TEST(StatsSelect, RanksAndMediansWithoutChangingTheColumn) {
    const std::vector<float> sorted = {-kInf, 1, 2, 2, 2, kInf};
    auto col = make_column({2, 2, 1, 2, kInf, -kInf});
    std::vector<data_struct> scratch(6);
    for (int k = 1; k <= 6; ++k)
        EXPECT_EQ(quickselect(col.data(), 6, k, scratch.data()).value, sorted[k - 1]);
    EXPECT_EQ(col[4].value, kInf);
    const std::pair<std::vector<float>, float> medians[] = {
        {{3, 1, 2}, 2.0f}, {{4, 1, 3, 2}, 2.5f}, {{7}, 7.0f}};
    for (const auto& m : medians) {
        col = make_column(m.first);
        EXPECT_EQ(column_median(col.data(), col.size(), scratch.data()), m.second);
    }
}

TEST(StatsTrim, SurvivorsOfHandDerivedColumns) {
    const struct {
        float cut_frac, cut_multiple;
        std::vector<float> values;
        std::vector<int> kept; // DCEs of the survivors, in order
    } rows[] = {
        {0.2f, 5, {1, 2, 3, 4, 100}, {0, 1, 2, 3}},        // median 3, MAD 1: 97 > 5
        {0.2f, 97, {1, 2, 3, 4, 100}, {0, 1, 2, 3}},       // equal to the threshold: removed
        {0.2f, 97.5f, {1, 2, 3, 4, 100}, {0, 1, 2, 3, 4}}, // 97 < 97.5
        {0.2f, 5, {1, 2, 3, 100}, {0, 1, 2, 3}},           // 4 x 0.2 truncates to 0
        {1.0f, 5, {1, 2, 1000}, {0, 1, 2}},                // three values are never trimmed
        // 3000 goes (median 5.5, MAD 3), then 2000 (median 5, MAD 2); a third is beyond 10 x 0.2
        {0.2f, 5, {1, 2, 3, 4, 5, 6, 7, 1000, 2000, 3000}, {0, 1, 2, 3, 4, 5, 6, 7}},
        {0.2f, 5, {10, 10, 10, 10, 10}, {1, 2, 3, 4}}, // equal values lose the earliest record
        // 900 first (deviation 895.5), then -500
        {0.2f, 5, {-500, 1, 2, 3, 4, 5, 6, 7, 8, 900}, {1, 2, 3, 4, 5, 6, 7, 8}},
        {0.2f, 5, {1, 2, kInf, 3, 4}, {0, 1, 3, 4}}, // infinity is data
        {1e30f, 5, {4, 4, 4, 4, 4}, {}},             // removals beyond any count: all go
        {kNaN, 5, {1, 2, 3, 4, 100}, {0, 1, 2, 3, 4}},
    };
    for (const auto& r : rows) {
        control_settings cs{};
        clear_cs_flags(&cs);
        cs.cut_frac = r.cut_frac;
        cs.cut_multiple = r.cut_multiple;
        stats_scratch scratch{};
        ASSERT_TRUE(stats_scratch_init(&scratch, 32));
        auto col = make_column(r.values);
        int n = static_cast<int>(col.size());
        asymmetric_trimming(col.data(), &n, &cs, &scratch);
        stats_scratch_free(&scratch);
        std::vector<int> kept;
        for (int i = 0; i < n; ++i) {
            kept.push_back(col[i].dce);
            EXPECT_EQ(col[i].value, r.values[col[i].dce]) << "record " << i;
        }
        EXPECT_EQ(kept, r.kept) << r.values.size() << " values, cut " << r.cut_frac << " x "
                                << r.cut_multiple;
    }
}

TEST(StatsMean, WeightedMeanOfARangeInDoublePrecision) {
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
    // In single precision 16777216 + 1 + 1 stays 16777216; in double 16777218 / 3 = 5592406.
    col = {{16777216.0f, 0, 1}, {1, 1, 1}, {1, 2, 1}};
    calc_weighted_stats(col.data(), 0, 3, &mean);
    EXPECT_EQ(mean, 5592406.0f);
}
