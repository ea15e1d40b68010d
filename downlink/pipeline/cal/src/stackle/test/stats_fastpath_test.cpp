// The block-wise trimming and statistics passes against their plain forms, bit
// for bit, on generated stacks from one plane to a thousand: NaNs with
// payloads, infinities, signed zeros, ties, overflowing medians, masks,
// outliers and trimming caps that bite, through every instruction-set path.
#include "stats_reference.h"

#include <algorithm>
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
// whose sum overflows, tiny ones, outliers, NaNs and infinities.
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

// A random stack of n planes of npix pixels, with sdev and BMASK planes; one
// pixel in five from ValueMaker, the others integer noise full of ties.
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

// Columns of quiet noise without NaN, most with one to three outliers put where
// the trimming decides by DCE order: one high or low value, two values at the
// same distance on either side of the median, two equal ones, one extreme value
// (huge, tiny, signed zero), every value equal (the cap stops the trimming), or
// two huge values whose deviations round to the same number, the smaller first.
RandomStack outlier_stack(int n, size_t npix, unsigned seed) {
    RandomStack stack(n, npix, seed);
    std::mt19937 rng(seed);
    ValueMaker extreme{std::mt19937(seed + 1), false};
    for (size_t p = 0; p < stack.npix; ++p) {
        const int pattern = static_cast<int>(p % 9);
        for (int j = 0; j < n; ++j) // pattern 0: a level falling frame by frame
            stack.data[j][p] = pattern == 3 || pattern == 7 ? 100.0f
                               : pattern == 0 ? 100.0f + static_cast<float>(n - j) * 0.25f
                                              : 100.0f + static_cast<float>(rng() % 16) * 0.25f;
        const int a = static_cast<int>(rng() % static_cast<unsigned>(n));
        const int b = n < 2 ? a : (a + 1 + static_cast<int>(rng() % (n - 1u))) % n;
        const float pairs[][2] = {{1000, 100}, {-1000, 100}, {600, -400}, {700, 700}, {700, -300}};
        if (pattern >= 1 && pattern <= 5) {
            stack.data[a][p] = pairs[pattern - 1][0];
            if (pattern >= 3)
                stack.data[b][p] = pairs[pattern - 1][1];
        } else if (pattern == 6) {
            stack.data[a][p] = extreme();
        } else if (pattern == 8) { // median -1.5; 2^25 - 2 and 2^25 deviate alike
            for (int j = 0; j < n; ++j)
                stack.data[j][p] = -1.5f + static_cast<float>(rng() % 3) * 0.25f;
            stack.data[std::min(a, b)][p] = 33554430.0f;
            stack.data[std::max(a, b)][p] = 33554432.0f;
        }
    }
    return stack;
}

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b, const char* what) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(bits_of(a[i]), bits_of(b[i])) << what << " at " << i;
}

// Caps the passes at one instruction set for a scope.
struct SimdCap {
    explicit SimdCap(int level) { stats_limit_simd(level); }
    ~SimdCap() { stats_limit_simd(stats_simd_avx512); }
};

// The products of the passes on a stack: its planes after them, the mean, sdev
// and AMASK images, and the number of values removed.
struct Products {
    RandomStack stack;
    std::vector<float> mean, sdev;
    std::vector<int16_t> amask;
    size_t removed;
};

// The masked stacks go through the masking pass and then the trimming and
// statistics passes one after the other with falling DCE weights; the outlier
// stacks through the one pass with unit weights. `plain` takes the plain passes;
// `columns` makes the fast ones trim column by column, as for stacks deeper
// than the network.
Products run_passes(const RandomStack& stack, const control_settings& cs, bool masked, bool plain,
                    bool columns) {
    const float nan_value = std::nanf("");
    const int n = stack.n;
    Products out{stack, std::vector<float>(stack.npix), std::vector<float>(stack.npix),
                 std::vector<int16_t>(stack.npix), 0};
    stack_view view = out.stack.view();
    stats_scratch scratch;
    EXPECT_TRUE(stats_scratch_init(&scratch, n));
    if (columns)
        scratch.network_size = 0;
    std::vector<data_struct> column(static_cast<size_t>(n));
    std::vector<float> weight(static_cast<size_t>(n), 1.0f);
    if (masked) {
        std::vector<long> good(static_cast<size_t>(n));
        masking_pass(&view, &cs, good.data(), nan_value);
        for (int j = 0; j < n; ++j)
            weight[j] = 1.0f / static_cast<float>(j + 3);
    }
    if (plain) {
        out.removed = trimming_pass_plain(&view, &cs, column.data(), &scratch, nan_value);
        statistics_pass_plain(&view, weight.data(), &cs, column.data(), out.mean.data(),
                              out.sdev.data(), out.amask.data(), nan_value);
    } else if (masked) {
        out.removed = trimming_pass(&view, &cs, column.data(), &scratch, nan_value);
        statistics_pass(&view, weight.data(), &cs, out.mean.data(), out.sdev.data(),
                        out.amask.data(), nan_value);
    } else {
        stats_products sums{weight.data(), out.mean.data(), out.sdev.data(), out.amask.data()};
        out.removed =
            trimming_statistics_pass(&view, &cs, column.data(), &scratch, &sums, nan_value);
    }
    stats_scratch_free(&scratch);
    return out;
}

// The fast passes on every instruction-set path against the plain ones, bit for
// bit; returns the number of values the plain passes removed.
size_t expect_passes_as_plain(const RandomStack& stack, const control_settings& cs, bool masked,
                              bool columns) {
    const Products plain = run_passes(stack, cs, masked, true, false);
    for (int level : {stats_simd_plain, stats_simd_avx512}) {
        SimdCap cap(level);
        const Products fast = run_passes(stack, cs, masked, false, columns);
        EXPECT_EQ(fast.removed, plain.removed);
        for (int j = 0; j < stack.n; ++j)
            expect_same_bits(fast.stack.data[j], plain.stack.data[j], "plane");
        expect_same_bits(fast.mean, plain.mean, "mean");
        expect_same_bits(fast.sdev, plain.sdev, "sdev");
        EXPECT_EQ(fast.amask, plain.amask);
    }
    return plain.removed;
}

// Depths around the edges of the sorting: the register networks (up to 28
// rows), the runs of 16 rows and their merges, the largest network (1024
// rows) and past it.
const int kDepths[] = {1,  2,  3,  4,  5,  6,  7,  16,  17,  24,  25,   27,
                       28, 29, 33, 56, 57, 64, 65, 100, 257, 300, 1000, 1025};

// Pixels of the stacks deeper than the register networks: fewer in a sanitizer
// build, where the plain passes are slow.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kDeepPixels = 12;
#else
constexpr size_t kDeepPixels = 40;
#endif

// Cuts (cut_frac, cut_multiple) that allow one removal, a few, many, every
// value, more than every value, and a threshold never met.
const float kCuts[][2] = {{0.2f, 5.0f}, {0.05f, 3.0f}, {0.1f, 3.0f}, {0.5f, 1.0f},
                          {1.0f, 0.0f}, {2.0f, 0.5f},  {0.3f, -1.0f}};

} // namespace

TEST(StatsFastPath, PassesMatchThePlainPassesAtEveryDepth) {
    for (int n : kDepths) {
        // Shallow stacks a whole block of pixels and a part of one; deeper ones a
        // part of a block (the plain passes select in O(n) a value).
        const size_t npix = n <= 28 ? 300 : kDeepPixels * (n <= 100 ? 2 : 1);
        // The deepest stacks take the two cheapest cuts.
        const size_t cuts = n <= 100 ? std::size(kCuts) : 2;
        for (size_t c = 0; c < cuts; ++c) {
            const unsigned seed = static_cast<unsigned>(n * 31 + c);
            const control_settings cs = settings(kCuts[c][0], kCuts[c][1]);
            const bool may_trim = n > 3 && static_cast<float>(n) * kCuts[c][0] >= 1.0f;
            const bool columns = n == 17 || n == 65;
            size_t masked = expect_passes_as_plain(RandomStack(n, npix, seed), cs, true, columns);
            size_t outliers =
                expect_passes_as_plain(outlier_stack(n, npix, seed), cs, false, columns);
            EXPECT_EQ(masked > 0, may_trim) << n << " " << c;
            EXPECT_EQ(outliers > 0, may_trim) << n << " " << c;
        }
    }
}
