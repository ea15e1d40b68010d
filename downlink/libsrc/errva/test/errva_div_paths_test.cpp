// The plain quotient entry points take a shortcut for common quotients; they
// must give, bit for bit, what the member errvaclass::div gives: value, sigma,
// flag word and state, over special and random operands, flags and settings.
#include "errva_testing.h"

#include <random>
#include <tuple>
#include <vector>

namespace {

// Bits of value and sigma, flag word and state of a quotient by the plain
// entry point or the member on the library object, from the same outputs; a
// thrown message counts as ERRVA_UNAPPROX, as the plain entries report it.
template <class T> auto quotient(bool plain, T a, T as, int af, T b, T bs, int bf, int flags) {
    T v = T(-7.5), s = T(3.25);
    int state = plain ? plain_op<T>(Div)(&v, &s, &flags, a, as, af, b, bs, bf) : ERRVA_UNAPPROX;
    try {
        if (!plain)
            state = errva_global.div(v, s, flags, a, as, af, b, bs, bf);
    } catch (const char*) {
    }
    return std::make_tuple(bits_of(v), bits_of(s), flags, state);
}

// Zeros, denormals, the ends of the normal range, infinities, quiet and
// signalling NaNs of both signs, and values at the divisor limit (0.9 b) and
// the noise limit (9 a) of the default settings.
template <class T> std::vector<T> special_values() {
    using L = std::numeric_limits<T>;
    const T limit = T(0.9f), nine_up = std::nextafter(T(9), T(10));
    std::vector<T> v = {L::signaling_NaN(), limit, std::nextafter(limit, T(1)),
                        std::nextafter(limit, T(0))};
    for (T m : {T(0), L::denorm_min(), L::min() / T(3), L::min(), T(1), T(3), T(9), nine_up,
                L::max(), L::infinity(), L::quiet_NaN()})
        v.insert(v.end(), {m, -m});
    if constexpr (sizeof(T) == 8)
        v.push_back(0.9); // above the widened float limit
    return v;
}

const int flag_words[] = {0, 0x7, 0x100, 0x4000, 0x4100, 0x20, -1};

// Every quadruple of special values with plain flags, and the flag words on
// every stride-th quadruple; then random bit images (every class of number,
// mostly huge or tiny magnitudes) and ordinary magnitudes around 1, where
// most quotients are common.
template <class T> void check_operands(std::size_t stride, unsigned seed) {
    const std::vector<T> v = special_values<T>();
    std::size_t failures = 0, n = 0;
    auto check = [&](T a, T as, int af, T b, T bs, int bf, int flags) {
        const auto p = quotient(true, a, as, af, b, bs, bf, flags);
        const auto m = quotient(false, a, as, af, b, bs, bf, flags);
        if (p != m && ++failures <= 5)
            ADD_FAILURE() << ::testing::PrintToString(std::make_tuple(a, as, af, b, bs, bf))
                          << ": plain " << ::testing::PrintToString(p) << ", member "
                          << ::testing::PrintToString(m);
    };
    for (T a : v)
        for (T as : v)
            for (T b : v)
                for (T bs : v) {
                    const bool sampled = (n++ % stride) == 0;
                    for (int af : flag_words)
                        for (int bf : {0, 0x100, 0x4000})
                            if (sampled || (af == 0 && bf == 0))
                                check(a, as, af, b, bs, bf, 0x7 | 0x4100);
                }
    std::mt19937_64 gen(seed);
    for (int i = 0; i < 200000; ++i) {
        T x[4];
        for (T& e : x) {
            const uint64_t bits = gen();
            e = from_bits<T>(bits);
            if (i % 2 == 1) {
                e = std::ldexp(T(double(bits >> 11) * 0x1p-53), int(bits % 16) - 8);
                e = (bits & 0x10) ? -e : e;
            }
        }
        const uint64_t f = gen();
        check(x[0], x[1], flag_words[f % 7], x[2], x[3], flag_words[(f >> 8) % 7], int(f >> 32));
    }
    EXPECT_EQ(failures, 0u);
}

} // namespace

TYPED_TEST_SUITE(ErrvaTyped, Precisions);

TYPED_TEST(ErrvaTyped, PlainQuotientsAgreeWithTheMemberBitForBit) {
    // Default settings; other masks and state bits; throwing; then limits: a
    // zero limit fails every divisor with a non-zero sigma, a negative one is
    // used by its magnitude, an infinite limit times a zero divisor and a NaN
    // limit are NaN, which passes every divisor.
    const float inf = std::numeric_limits<float>::infinity(), nan = float(kNan);
    struct Settings {
        int bad, suspect, unapprox_bit, equiv_bit, throws;
        float noise, limit;
        std::size_t stride;
    } const settings[] = {
        {0x4000, 0x100, 0, 0, 0, 9, 0.9f, 7},     {0x1, 0x6, 0x40, 0x80, 0, 9, 0.9f, 7},
        {0x4000, 0x100, 0, 0, 1, 9, 0.9f, 7},     {0x4000, 0x100, 0, 0, 0, 9, 0, 1000},
        {0x4000, 0x100, 0, 0, 0, 2, -0.5f, 1000}, {0x4000, 0x100, 0, 0, 0, 0, inf, 1000},
        {0x4000, 0x100, 0, 0, 0, 9, nan, 1000}};
    unsigned seed = 1;
    for (const Settings& s : settings) {
        errva_mask_setup(s.bad, s.suspect);
        errvaclass* g = errva_globptr();
        g->state_mask[2] = s.unapprox_bit;
        g->state_mask[3] = s.equiv_bit;
        g->throw_on_unapprox = s.throws;
        g->noise_ratio = s.noise;
        g->approx_limit = s.limit;
        SCOPED_TRACE("settings row " + std::to_string(seed));
        check_operands<TypeParam>(s.stride, seed++);
    }
}
