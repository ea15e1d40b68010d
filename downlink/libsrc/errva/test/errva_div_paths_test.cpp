// The plain quotient entry points take a shortcut for common quotients; they must give, bit
// for bit, what the member errvaclass::div gives: value, sigma, flag word and state, over
// special and random operands, flags and settings.
#include "errva_testing.h"

#include <random>
#include <tuple>
#include <vector>

// Every quadruple of special values with plain flags, and the flag words on every stride-th
// quadruple; then random bit images (every class of number) and ordinary magnitudes.  A
// thrown message counts as ERRVA_UNAPPROX, as the plain entries report it.
template <class T> void check_operands(std::size_t stride, unsigned seed) {
    using L = std::numeric_limits<T>;
    // Values at the divisor limit (0.9 b) and the noise limit (9 a) of the default settings,
    // zeros, denormals, the ends of the normal range, infinities, quiet and signalling NaNs.
    const T limit = T(0.9f);
    std::vector<T> v = {L::signaling_NaN(), limit, std::nextafter(limit, T(1)),
                        std::nextafter(limit, T(0)), T(sizeof(T) == 8 ? 0.9 : 0)};
    for (T m : {T(0), L::denorm_min(), L::min() / T(3), L::min(), T(1), T(3), T(9),
                std::nextafter(T(9), T(10)), L::max(), L::infinity(), L::quiet_NaN()})
        v.insert(v.end(), {m, -m});
    const int words[] = {0, 0x7, 0x100, 0x4000, 0x4100, 0x20, -1};
    std::size_t failures = 0, n = 0;
    auto check = [&](T a, T as, int af, T b, T bs, int bf, int flags) {
        T pv = T(-7.5), ps = T(3.25), mv = pv, ms = ps;
        int pf = flags, state = ERRVA_UNAPPROX;
        const int ps_state = plain_op<T>(Div)(&pv, &ps, &pf, a, as, af, b, bs, bf);
        try {
            state = errva_global.div(mv, ms, flags, a, as, af, b, bs, bf);
        } catch (const char*) {
        }
        const auto p = std::make_tuple(bits_of(pv), bits_of(ps), pf, ps_state);
        const auto m = std::make_tuple(bits_of(mv), bits_of(ms), flags, state);
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
                    for (int af : words)
                        for (int bf : {0, 0x100, 0x4000})
                            if (sampled || (af == 0 && bf == 0))
                                check(a, as, af, b, bs, bf, 0x7 | 0x4100);
                }
    std::mt19937_64 gen(seed);
    for (int i = 0; i < 200000; ++i) {
        T x[4];
        for (T& e : x) {
            const uint64_t bits = gen();
            const double m = (bits & 0x10 ? -1 : 1) * double(bits >> 11) * 0x1p-53;
            e = i % 2 ? T(std::ldexp(m, int(bits % 16) - 8)) : from_bits<T>(bits);
        }
        const uint64_t f = gen();
        check(x[0], x[1], words[f % 7], x[2], x[3], words[(f >> 8) % 7], int(f >> 32));
    }
    EXPECT_EQ(failures, 0u);
}

TYPED_TEST_SUITE(ErrvaTyped, Precisions);

TYPED_TEST(ErrvaTyped, PlainQuotientsAgreeWithTheMemberBitForBit) {
    // Default settings; other masks and state bits; throwing; then limits: a zero limit
    // fails every divisor with a non-zero sigma, a negative one is used by its magnitude, an
    // infinite limit times a zero divisor and a NaN limit are NaN, which passes every divisor.
    const float inf = std::numeric_limits<float>::infinity(), nan = float(kNan);
    const struct {
        int bad, suspect, unapprox_bit, equiv_bit, throws;
        float noise, limit;
        std::size_t stride;
    } settings[] = {
        {0x4000, 0x100, 0, 0, 0, 9, 0.9f, 7},     {0x1, 0x6, 0x40, 0x80, 0, 9, 0.9f, 7},
        {0x4000, 0x100, 0, 0, 1, 9, 0.9f, 7},     {0x4000, 0x100, 0, 0, 0, 9, 0, 1000},
        {0x4000, 0x100, 0, 0, 0, 2, -0.5f, 1000}, {0x4000, 0x100, 0, 0, 0, 0, inf, 1000},
        {0x4000, 0x100, 0, 0, 0, 9, nan, 1000}};
    unsigned seed = 1;
    for (const auto& s : settings) {
        static_cast<errva_settings&>(errva_global) = {
            s.bad,   s.suspect, 0,       {0, s.bad, s.unapprox_bit, s.equiv_bit},
            s.noise, s.limit,   s.throws};
        SCOPED_TRACE("settings row " + std::to_string(seed));
        check_operands<TypeParam>(s.stride, seed++);
    }
}
