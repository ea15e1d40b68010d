// Heap sorts against std::sort.
#include "heapsort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

// n values drawn from a small range, so that duplicates are common.
template <typename T> std::vector<T> random_values(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> pick(-20, 20);
    std::vector<T> v(n);
    for (auto& x : v) {
        x = (T)pick(gen) * (T)0.25;
    }
    return v;
}

template <typename T> void expect_sorts_like_std(void (*sorter)(int, T*)) {
    for (int n : {2, 3, 7, 16, 101, 1000}) {
        for (unsigned seed = 1; seed <= 5; seed++) {
            std::vector<T> v = random_values<T>(n, seed * 7919u + (unsigned)n);
            std::vector<T> want = v;
            std::sort(want.begin(), want.end());
            sorter(n, v.data());
            EXPECT_EQ(v, want) << "n=" << n << " seed=" << seed;
        }
    }
}

} // namespace

TEST(HeapSort, FloatMatchesStdSort) {
    expect_sorts_like_std<float>(heapsort);
}

TEST(HeapSort, DoubleMatchesStdSort) {
    expect_sorts_like_std<double>(heapsortd);
}

TEST(HeapSort, OrderedReversedAndConstantInputs) {
    std::vector<double> up{1, 2, 3, 4, 5}, down{5, 4, 3, 2, 1}, same(6, 2.5);
    heapsortd(5, up.data());
    heapsortd(5, down.data());
    heapsortd(6, same.data());
    EXPECT_EQ(up, (std::vector<double>{1, 2, 3, 4, 5}));
    EXPECT_EQ(down, (std::vector<double>{1, 2, 3, 4, 5}));
    EXPECT_EQ(same, std::vector<double>(6, 2.5));
}

TEST(HeapSort, FewerThanTwoElementsUnchanged) {
    float one[1] = {3.0f};
    heapsort(1, one);
    EXPECT_EQ(one[0], 3.0f);
    heapsort(0, nullptr);
    heapsortd(-4, nullptr);
}
