// The block-wise trimming and statistics passes against their plain forms,
// bit for bit: random columns and small stacks with NaNs, infinities, signed
// zeros, ties, overflowing medians, masks and outliers.
#include "stats_reference.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

const float kInf = std::numeric_limits<float>::infinity();

uint32_t bits_of(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

float nan_with_payload(uint32_t payload) {
    uint32_t b = 0xFFC00000u | (payload & 0x3FFFFFu);
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// Values of the kinds that make selection hard: many ties, both zeros, values
// whose sum overflows, tiny ones, outliers; with `special` also NaN and +-inf.
struct ValueMaker {
    std::mt19937 rng;
    bool special;
    float operator()() {
        uint32_t kind = rng() % 16;
        uint32_t r = rng();
        switch (kind) {
        case 0:
            return static_cast<float>(r % 3); // ties
        case 1:
            return (r & 1) ? 0.0f : -0.0f;
        case 2:
            return (r & 1) ? FLT_MAX : -FLT_MAX * 0.75f;
        case 3:
            return static_cast<float>(r % 100) * 1e-42f; // subnormal
        case 4:
            return 1000.0f + static_cast<float>(r % 1000); // outlier
        case 5:
            if (special)
                return (r & 1) ? kInf : -kInf;
            break;
        case 6:
            if (special)
                return nan_with_payload(r);
            break;
        default:
            break;
        }
        return 100.0f + static_cast<float>(r % 4096) / 1024.0f; // noise
    }
};

control_settings settings(float cut_frac, float cut_multiple) {
    control_settings cs;
    clear_cs_flags(&cs);
    cs.cut_frac = cut_frac;
    cs.cut_multiple = cut_multiple;
    cs.amask_min_good = 3;
    cs.bpass = 0x0F0F;
    cs.bpass_f = 1;
    cs.bfatal = 0x0100;
    return cs;
}

const float kCuts[][2] = {{0.2f, 5.0f}, {0.5f, 1.0f}, {1.0f, 0.0f}, {2.0f, 0.5f}, {0.3f, -1.0f}};

// Every instruction-set path of the passes this processor can take (AVX-512
// falls back to SSE2 where it cannot).
const int kSimdLevels[] = {stats_simd_plain, stats_simd_avx512};

// Caps the passes at one instruction set for a scope.
struct SimdCap {
    explicit SimdCap(int level) { stats_limit_simd(level); }
    ~SimdCap() { stats_limit_simd(stats_simd_avx512); }
};

} // namespace

TEST(StatsFastPath, FiniteColumnsTrimAsTheSelection) {
    ValueMaker make{std::mt19937(7), false};
    stats_scratch scratch;
    ASSERT_TRUE(stats_scratch_init(&scratch, 100));
    int trimmed = 0; // columns that lost a value: the comparison is not idle
    for (const auto& cut : kCuts) {
        control_settings cs = settings(cut[0], cut[1]);
        for (int trial = 0; trial < 3000; ++trial) {
            int n = 1 + trial % 40 + (trial % 97 == 0 ? 60 : 0);
            std::vector<data_struct> column(static_cast<size_t>(n));
            std::vector<float> values(column.size());
            std::vector<int> dces(column.size());
            for (int i = 0; i < n; ++i) {
                values[i] = make();
                dces[i] = i;
                column[i] = {values[i], i, 1.0f};
            }
            int plain = n;
            asymmetric_trimming(column.data(), &plain, &cs, &scratch);
            int fast = trim_finite_column(values.data(), dces.data(), n, &cs, scratch.sorted);
            ASSERT_EQ(fast, plain) << "n " << n << " trial " << trial;
            trimmed += fast < n;
            for (int i = 0; i < plain; ++i) {
                ASSERT_EQ(bits_of(values[i]), bits_of(column[i].value));
                ASSERT_EQ(dces[i], column[i].dce);
            }
        }
    }
    EXPECT_GT(trimmed, 3000);
    stats_scratch_free(&scratch);
}

namespace {

// Sorts a tile of n rows of small integers and checks every column.
void check_network_sort(int n) {
    stats_scratch scratch;
    ASSERT_TRUE(stats_scratch_init(&scratch, n));
    std::mt19937 rng(static_cast<unsigned>(n));
    for (size_t i = 0; i < static_cast<size_t>(n) * STACKLE_BLOCK; ++i)
        scratch.tile[i] = static_cast<float>(rng() % 7) - 3.0f;
    std::vector<float> before(scratch.tile, scratch.tile + n * STACKLE_BLOCK);
    sort_tile(scratch.tile, &scratch);
    for (int b = 0; b < STACKLE_BLOCK; ++b) {
        std::vector<int> histogram_before(7), histogram_after(7);
        for (int j = 0; j < n; ++j) {
            float v = scratch.tile[j * STACKLE_BLOCK + b];
            ++histogram_before[static_cast<int>(before[j * STACKLE_BLOCK + b]) + 3];
            ++histogram_after[static_cast<int>(v) + 3];
            if (j > 0) {
                ASSERT_LE(scratch.tile[(j - 1) * STACKLE_BLOCK + b], v) << n << " " << b;
            }
        }
        ASSERT_EQ(histogram_after, histogram_before);
    }
    stats_scratch_free(&scratch);
}

} // namespace

TEST(StatsFastPath, NetworkSortsEveryColumnOfATile) {
    for (int level : kSimdLevels) {
        SimdCap cap(level);
        for (int n : {2, 3, 5, 16, 25, 28, 29, 33, 64})
            check_network_sort(n);
    }
}

namespace {

// A random stack of n planes of npix pixels, with sdev and BMASK planes.
struct RandomStack {
    int n;
    size_t npix;
    std::vector<std::vector<float>> data, sdev;
    std::vector<std::vector<int16_t>> bmask;
    std::vector<float*> data_ptr, sdev_ptr;
    std::vector<const int16_t*> bmask_ptr;

    RandomStack(int planes, size_t pixels, unsigned seed) : n(planes), npix(pixels) {
        ValueMaker make{std::mt19937(seed), true};
        for (int j = 0; j < n; ++j) {
            data.emplace_back(npix);
            sdev.emplace_back(npix);
            bmask.emplace_back(npix);
            for (size_t p = 0; p < npix; ++p) {
                // Most pixels plain noise, so that whole blocks take the sorted route.
                data[j][p] = p % 5 == 0 ? make() : 100.0f + static_cast<float>(make.rng() % 64);
                sdev[j][p] = static_cast<float>(make.rng() % 50) / 8.0f;
                bmask[j][p] = static_cast<int16_t>(make.rng() % 23 == 0 ? 0x0101 : 0x0002);
            }
        }
    }
    stack_view view() {
        data_ptr.clear();
        sdev_ptr.clear();
        bmask_ptr.clear();
        for (int j = 0; j < n; ++j) {
            data_ptr.push_back(data[j].data());
            sdev_ptr.push_back(sdev[j].data());
            bmask_ptr.push_back(bmask[j].data());
        }
        return {data_ptr.data(), sdev_ptr.data(), bmask_ptr.data(), nullptr, nullptr, n, npix};
    }
};

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b, const char* what) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(bits_of(a[i]), bits_of(b[i])) << what << " at " << i;
}

} // namespace

// The block-wise passes against the plain ones on random masked stacks.
static void check_passes_on_masked_stacks() {
    const float nan_value = std::nanf("");
    // 600 pixels: two whole blocks and a partial one; 65 planes exceed the network.
    for (int n : {4, 5, 25, 64, 65}) {
        for (const auto& cut : kCuts) {
            control_settings cs = settings(cut[0], cut[1]);
            RandomStack fast(n, 600, static_cast<unsigned>(n) * 31u);
            RandomStack plain = fast;
            stack_view fv = fast.view();
            stack_view pv = plain.view();
            std::vector<long> good(static_cast<size_t>(n));
            masking_pass(&fv, &cs, good.data(), nan_value);
            masking_pass(&pv, &cs, good.data(), nan_value);
            stats_scratch scratch;
            ASSERT_TRUE(stats_scratch_init(&scratch, n));
            std::vector<data_struct> column(static_cast<size_t>(n));
            size_t removed = trimming_pass(&fv, &cs, column.data(), &scratch, nan_value);
            EXPECT_EQ(removed, trimming_pass_plain(&pv, &cs, column.data(), &scratch, nan_value));
            bool may_trim = static_cast<float>(n) * cut[0] >= 1.0f;
            EXPECT_EQ(removed > 0, may_trim) << n; // else no column may lose a value
            for (int j = 0; j < n; ++j)
                expect_same_bits(fast.data[j], plain.data[j], "plane");

            std::vector<float> weight(static_cast<size_t>(n));
            for (int j = 0; j < n; ++j)
                weight[j] = 1.0f / static_cast<float>(j + 3);
            std::vector<float> fm(600), fs(600), pm(600), ps(600);
            std::vector<int16_t> fa(600), pa(600);
            statistics_pass(&fv, weight.data(), &cs, fm.data(), fs.data(), fa.data(), nan_value);
            statistics_pass_plain(&pv, weight.data(), &cs, column.data(), pm.data(), ps.data(),
                                  pa.data(), nan_value);
            expect_same_bits(fm, pm, "mean");
            expect_same_bits(fs, ps, "sdev");
            EXPECT_EQ(fa, pa);
            stats_scratch_free(&scratch);
        }
    }
}

// Trimming and statistics in one pass on `stack`, against the plain passes on a
// copy of it; returns the number of values removed.
static size_t expect_one_pass_as_plain(const RandomStack& stack, const control_settings& cs) {
    const float nan_value = std::nanf("");
    const int n = stack.n;
    const size_t npix = stack.npix;
    RandomStack fast = stack;
    RandomStack plain = stack;
    stack_view fv = fast.view();
    stack_view pv = plain.view();
    stats_scratch scratch;
    EXPECT_TRUE(stats_scratch_init(&scratch, n));
    std::vector<data_struct> column(static_cast<size_t>(n));
    std::vector<float> weight(static_cast<size_t>(n), 1.0f);
    std::vector<float> fm(npix), fs(npix), pm(npix), ps(npix);
    std::vector<int16_t> fa(npix), pa(npix);
    stats_products out{weight.data(), fm.data(), fs.data(), fa.data()};
    size_t removed = trimming_statistics_pass(&fv, &cs, column.data(), &scratch, &out, nan_value);
    EXPECT_EQ(removed, trimming_pass_plain(&pv, &cs, column.data(), &scratch, nan_value));
    statistics_pass_plain(&pv, weight.data(), &cs, column.data(), pm.data(), ps.data(), pa.data(),
                          nan_value);
    for (int j = 0; j < n; ++j)
        expect_same_bits(fast.data[j], plain.data[j], "plane");
    expect_same_bits(fm, pm, "mean");
    expect_same_bits(fs, ps, "sdev");
    EXPECT_EQ(fa, pa);
    stats_scratch_free(&scratch);
    return removed;
}

// Trimming and statistics in one pass against the plain passes.
static void check_one_pass_with_unit_weights() {
    for (int n : {3, 25, 65}) {
        size_t removed = expect_one_pass_as_plain(
            RandomStack(n, 700, static_cast<unsigned>(n) * 17u), settings(0.2f, 3.0f));
        EXPECT_EQ(removed > 0, n > 3) << n;
    }
}

// Columns of quiet noise, most with one to three outliers put where the
// trimming decides by DCE order: one high or low value, two values at the same
// distance on either side of the median, two equal ones, one extreme value
// (huge, tiny, signed zero), every value equal, or two huge values whose
// deviations round to the same number, the smaller first in DCE order.
static RandomStack outlier_stack(int n, unsigned seed) {
    RandomStack stack(n, 777, seed);
    std::mt19937 rng(seed);
    ValueMaker extreme{std::mt19937(seed + 1), false};
    for (size_t p = 0; p < stack.npix; ++p) {
        const int pattern = static_cast<int>(p % 9);
        for (int j = 0; j < n; ++j)
            stack.data[j][p] = pattern == 3 || pattern == 7
                                   ? 100.0f
                                   : 100.0f + static_cast<float>(rng() % 16) * 0.25f;
        const int a = static_cast<int>(rng() % static_cast<unsigned>(n));
        const int b = (a + 1 + static_cast<int>(rng() % static_cast<unsigned>(n - 1))) % n;
        switch (pattern) {
        case 1:
            stack.data[a][p] = 1000.0f;
            break;
        case 2:
            stack.data[a][p] = -1000.0f;
            break;
        case 3: // median 100: both ends deviate by 500
            stack.data[a][p] = 600.0f;
            stack.data[b][p] = -400.0f;
            break;
        case 4:
            stack.data[a][p] = 700.0f;
            stack.data[b][p] = 700.0f;
            break;
        case 5:
            stack.data[a][p] = 700.0f;
            stack.data[b][p] = -300.0f;
            break;
        case 6:
            stack.data[a][p] = extreme();
            break;
        case 8: // median -1.5; 2^25 - 2 and 2^25 round to the same deviation, 2^25
            for (int j = 0; j < n; ++j)
                stack.data[j][p] = -1.5f + static_cast<float>(rng() % 3) * 0.25f;
            stack.data[std::min(a, b)][p] = 33554430.0f;
            stack.data[std::max(a, b)][p] = 33554432.0f;
            break;
        default: // 0: noise only; 7: every value equal
            break;
        }
    }
    return stack;
}

TEST(StatsFastPath, OnePassMatchesThePlainPassesOnSingleOutliersAndTies) {
    // Cuts that allow one removal only, two, and many; 33 rows exceed the register sort.
    const float cuts[][2] = {{0.2f, 5.0f}, {0.1f, 3.0f}, {0.05f, 3.0f}, {0.5f, 1.0f}};
    for (int level : kSimdLevels) {
        SimdCap cap(level);
        for (int n : {6, 7, 24, 25, 28, 33}) {
            for (const auto& cut : cuts) {
                size_t removed = expect_one_pass_as_plain(
                    outlier_stack(n, static_cast<unsigned>(n) * 101u), settings(cut[0], cut[1]));
                EXPECT_EQ(removed > 0, static_cast<float>(n) * cut[0] >= 1.0f) << n;
            }
        }
    }
}

TEST(StatsFastPath, PassesMatchThePlainPassesOnMaskedStacks) {
    for (int level : kSimdLevels) {
        SimdCap cap(level);
        check_passes_on_masked_stacks();
    }
}

TEST(StatsFastPath, OnePassMatchesThePlainPassesWithUnitWeights) {
    for (int level : kSimdLevels) {
        SimdCap cap(level);
        check_one_pass_with_unit_weights();
    }
}
