// Heap sorts against std::sort on random values with many duplicates, and on
// ordered, reversed and constant inputs.
#include "heapsort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

template <typename T> void expect_sorts_like_std(void (*sorter)(int, T*)) {
    std::vector<std::vector<T>> inputs{
        {1, 2, 3, 4, 5}, {5, 4, 3, 2, 1}, std::vector<T>(6, 2.5), {3}};
    for (int n : {2, 3, 7, 16, 101, 1000}) {
        for (unsigned seed = 1; seed <= 5; seed++) {
            std::mt19937 gen(seed * 7919u + (unsigned)n);
            std::uniform_int_distribution<int> pick(-20, 20); // a small range: many duplicates
            inputs.emplace_back(n);
            for (T& x : inputs.back())
                x = (T)pick(gen) * (T)0.25;
        }
    }
    for (std::vector<T>& v : inputs) {
        std::vector<T> want = v;
        std::sort(want.begin(), want.end());
        sorter((int)v.size(), v.data());
        EXPECT_EQ(v, want) << "n=" << v.size();
    }
    sorter(0, nullptr); // fewer than two elements: nothing is touched
    sorter(-4, nullptr);
}

} // namespace

TEST(HeapSort, FloatAndDoubleSortLikeStdSort) {
    expect_sorts_like_std<float>(heapsort);
    expect_sorts_like_std<double>(heapsortd);
}
