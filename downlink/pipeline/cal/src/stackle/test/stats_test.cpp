// Asymmetric trimming on hand-derived columns (the weighted mean is that of the plain pass); then
// the block-wise trimming and statistics passes against their plain forms, bit for bit, on
// generated stacks from one plane to a thousand: NaNs with payloads, infinities, signed zeros,
// ties, overflowing medians, masks, outliers and trimming caps that bite, through every
// instruction-set path.
#include "fits_test_support.h"
#include "stats_reference.h"

#include <cfloat>
#include <random>

namespace {

control_settings settings(float cut_frac, float cut_multiple) {
    control_settings cs{};
    clear_cs_flags(&cs);
    cs.cut_frac = cut_frac;
    cs.cut_multiple = cut_multiple;
    cs.amask_min_good = 3;
    cs.bpass = 0x0F0F;
    cs.bpass_f = 1;
    cs.bfatal = 0x0100;
    return cs;
}

TEST(StatsTrim, SurvivorsOfHandDerivedColumns) {
    const struct {
        float cut_frac, cut_multiple;
        std::vector<float> values;
        std::vector<int> kept; // DCEs of the survivors, in order
    } rows[] = {
        // median 3, MAD 1: a deviation of 97 equal to the threshold is removed
        {0.2f, 97, {1, 2, 3, 4, 100}, {0, 1, 2, 3}},
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
    stats_scratch scratch{};
    ASSERT_TRUE(stats_scratch_init(&scratch, 32));
    for (const auto& r : rows) {
        const control_settings cs = settings(r.cut_frac, r.cut_multiple);
        std::vector<data_struct> col;
        for (size_t i = 0; i < r.values.size(); ++i)
            col.push_back({r.values[i], static_cast<int>(i), 1.0f});
        int n = static_cast<int>(col.size());
        asymmetric_trimming(col.data(), &n, &cs, &scratch);
        std::vector<int> kept; // -1: a record that lost its value
        for (int i = 0; i < n; ++i)
            kept.push_back(col[i].value == r.values[col[i].dce] ? col[i].dce : -1);
        EXPECT_EQ(kept, r.kept) << r.values.size() << " values, cut " << r.cut_frac << " x "
                                << r.cut_multiple;
    }
    stats_scratch_free(&scratch);
}

// Values of the kinds that make selection hard: ties, both zeros, values whose sum overflows,
// subnormal ones, outliers, infinities and NaNs with payloads (the last two if `special`).
struct ValueMaker {
    std::mt19937 rng;
    bool special;
    float operator()() {
        const uint32_t kind = rng() % 16, r = rng(), nan_bits = 0xFFC00000u | (r & 0x3FFFFFu);
        float nan_payload;
        std::memcpy(&nan_payload, &nan_bits, sizeof nan_payload);
        const float made[] = {static_cast<float>(r % 3),
                              (r & 1) ? 0.0f : -0.0f,
                              (r & 1) ? FLT_MAX : -FLT_MAX * 0.75f,
                              static_cast<float>(r % 100) * 1e-42f,
                              1000.0f + static_cast<float>(r % 1000),
                              (r & 1) ? kInf : -kInf,
                              nan_payload};
        if (kind < 5 || (special && kind < 7))
            return made[kind];
        return 100.0f + static_cast<float>(r % 4096) / 1024.0f; // noise
    }
};

// A random stack of n planes of npix pixels, one after the other, with sdev and BMASK planes;
// one pixel in five from ValueMaker, the others integer noise full of ties.  After the passes it
// holds their products: the planes, the mean, sdev and AMASK images and the number of values
// removed.
struct RandomStack {
    int n;
    size_t npix;
    std::vector<float> data, sdev, means, sdevs;
    std::vector<int16_t> bmask, amask;
    size_t removed = 0;
    std::vector<float*> data_ptr, sdev_ptr;
    std::vector<const int16_t*> bmask_ptr;

    RandomStack(int planes, size_t pixels, unsigned seed)
        : n(planes), npix(pixels), data(n * npix), sdev(n * npix), means(npix), sdevs(npix),
          bmask(n * npix), amask(npix) {
        ValueMaker make{std::mt19937(seed), true};
        for (size_t i = 0; i < data.size(); ++i) { // pixel i % npix of plane i / npix
            data[i] = i % npix % 5 == 0 ? make() : 100.0f + static_cast<float>(make.rng() % 64);
            sdev[i] = static_cast<float>(make.rng() % 50) / 8.0f;
            bmask[i] = static_cast<int16_t>(make.rng() % 23 == 0 ? 0x0101 : 0x0002);
        }
    }
    float& at(int j, size_t p) { return data[j * npix + p]; }
    stack_view view() { // the pointers of this copy
        data_ptr.resize(n);
        sdev_ptr.resize(n);
        bmask_ptr.resize(n);
        for (int j = 0; j < n; ++j) {
            data_ptr[j] = &data[j * npix];
            sdev_ptr[j] = &sdev[j * npix];
            bmask_ptr[j] = &bmask[j * npix];
        }
        return {data_ptr.data(), sdev_ptr.data(), bmask_ptr.data(), nullptr, nullptr, n, npix};
    }
};

// Columns of quiet noise without NaN, most with one to three outliers put where the trimming
// decides by DCE order: one high or low value, two values at the same distance on either side of
// the median, two equal ones, one extreme value (huge, tiny, signed zero), every value equal (the
// cap stops the trimming), or two huge values whose deviations round to the same number, the
// smaller first.
RandomStack outlier_stack(int n, size_t npix, unsigned seed) {
    RandomStack stack(n, npix, seed);
    std::mt19937 rng(seed);
    ValueMaker extreme{std::mt19937(seed + 1), false};
    for (size_t p = 0; p < stack.npix; ++p) {
        const int pattern = static_cast<int>(p % 9);
        for (int j = 0; j < n; ++j) // pattern 0: a level falling frame by frame
            stack.at(j, p) = pattern == 3 || pattern == 7 ? 100.0f
                             : pattern == 0 ? 100.0f + static_cast<float>(n - j) * 0.25f
                                            : 100.0f + static_cast<float>(rng() % 16) * 0.25f;
        const int a = static_cast<int>(rng() % static_cast<unsigned>(n));
        const int b = n < 2 ? a : (a + 1 + static_cast<int>(rng() % (n - 1u))) % n;
        const float pairs[][2] = {{1000, 100}, {-1000, 100}, {600, -400}, {700, 700}, {700, -300}};
        if (pattern >= 1 && pattern <= 5) {
            stack.at(a, p) = pairs[pattern - 1][0];
            if (pattern >= 3)
                stack.at(b, p) = pairs[pattern - 1][1];
        } else if (pattern == 6) {
            stack.at(a, p) = extreme();
        } else if (pattern == 8) { // median -1.5; 2^25 - 2 and 2^25 deviate alike
            for (int j = 0; j < n; ++j)
                stack.at(j, p) = -1.5f + static_cast<float>(rng() % 3) * 0.25f;
            stack.at(std::min(a, b), p) = 33554430.0f;
            stack.at(std::max(a, b), p) = 33554432.0f;
        }
    }
    return stack;
}

// The masked stacks go through the masking pass and then the trimming and statistics passes one
// after the other with falling DCE weights; the outlier stacks through the one pass with unit
// weights. `plain` takes the plain passes; `columns` makes the fast ones trim column by column,
// as for stacks deeper than the network.
RandomStack run_passes(RandomStack out, const control_settings& cs, bool masked, bool plain,
                       bool columns) {
    const float nan_value = std::nanf("");
    const int n = out.n;
    stack_view view = out.view();
    stats_scratch scratch;
    EXPECT_TRUE(stats_scratch_init(&scratch, n));
    // The sorting network is what the fast passes are compared for, up to its largest size.
    EXPECT_EQ(scratch.network_size > 0, n > 1 && n <= STACKLE_NETWORK_MAX);
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
        statistics_pass_plain(&view, weight.data(), &cs, column.data(), out.means.data(),
                              out.sdevs.data(), out.amask.data(), nan_value);
    } else if (masked) {
        out.removed = trimming_pass(&view, &cs, column.data(), &scratch, nan_value);
        statistics_pass(&view, weight.data(), &cs, out.means.data(), out.sdevs.data(),
                        out.amask.data(), nan_value);
    } else {
        stats_products sums{weight.data(), out.means.data(), out.sdevs.data(), out.amask.data()};
        out.removed =
            trimming_statistics_pass(&view, &cs, column.data(), &scratch, &sums, nan_value);
    }
    stats_scratch_free(&scratch);
    return out;
}

// Values alike bit for bit, NaN payloads and signed zeros included.
bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), 4 * a.size()) == 0;
}

// The fast passes on every instruction-set path against the plain ones, bit for bit; returns the
// number of values the plain passes removed.
size_t expect_passes_as_plain(const RandomStack& stack, const control_settings& cs, bool masked,
                              bool columns) {
    const RandomStack plain = run_passes(stack, cs, masked, true, false);
    for (int level : {stats_simd_plain, stats_simd_avx512}) {
        stats_limit_simd(level);
        const RandomStack fast = run_passes(stack, cs, masked, false, columns);
        EXPECT_TRUE(same_bits(fast.data, plain.data) && same_bits(fast.means, plain.means) &&
                    same_bits(fast.sdevs, plain.sdevs));
        EXPECT_EQ(std::make_pair(fast.removed, fast.amask),
                  std::make_pair(plain.removed, plain.amask));
    }
    return plain.removed;
}

// Depths around the edges of the sorting: the register networks (up to 28 rows), the runs of 16
// rows and their merges, the largest network (1024 rows) and past it.
const int kDepths[] = {1,  2,  3,  4,  5,  6,  7,  16,  17,  24,  25,   27,
                       28, 29, 33, 56, 57, 64, 65, 100, 257, 300, 1000, 1025};

// Pixels of the stacks deeper than the register networks, where the plain passes are slow: enough
// for every outlier pattern.
constexpr size_t kDeepPixels = 12;

// Cuts (cut_frac, cut_multiple) that allow one removal, a few, many, every value, more than every
// value, and a threshold never met.
const float kCuts[][2] = {{0.2f, 5.0f}, {0.05f, 3.0f}, {0.1f, 3.0f}, {0.5f, 1.0f},
                          {1.0f, 0.0f}, {2.0f, 0.5f},  {0.3f, -1.0f}};

TEST(StatsFastPath, PassesMatchThePlainPassesAtEveryDepth) {
    for (int n : kDepths) {
        // Shallow stacks a whole block of pixels and a part of one; deeper ones a part of a block
        // (the plain passes select in O(n) a value). The deepest stacks take the cheapest cuts.
        const size_t npix = n <= 28 ? 300 : kDeepPixels * (n <= 100 ? 2 : 1);
        const size_t cuts = n <= 100 ? std::size(kCuts) : 2;
        for (size_t c = 0; c < cuts; ++c) {
            const unsigned seed = static_cast<unsigned>(n * 31 + c);
            const control_settings cs = settings(kCuts[c][0], kCuts[c][1]);
            const bool may_trim = n > 3 && static_cast<float>(n) * kCuts[c][0] >= 1.0f;
            const bool columns = n == 17 || n == 65;
            size_t masked = expect_passes_as_plain(RandomStack(n, npix, seed), cs, true, columns);
            size_t outliers =
                expect_passes_as_plain(outlier_stack(n, npix, seed), cs, false, columns);
            EXPECT_EQ(std::make_pair(masked > 0, outliers > 0), std::make_pair(may_trim, may_trim))
                << n << " " << c;
        }
    }
    stats_limit_simd(stats_simd_avx512);
}

} // namespace
