// The plain quotient entry points take a shortcut for common quotients; they
// must give, bit for bit, what the member errvaclass::div gives: value, sigma,
// flag word and state, over special and random operands, flags and settings.
#include "errva_testing.h"

#include <random>
#include <vector>

namespace {

template <class T>
::testing::AssertionResult same_quotient(T a, T as, int af, T b, T bs, int bf, int flags) {
    // Outputs start from the same non-trivial contents in both paths; a
    // thrown message counts as ERRVA_UNAPPROX, as the plain entries report it.
    T pv = T(-7.5), ps = T(3.25), mv = pv, ms = ps;
    int pf = flags, mf = flags, ms_state = ERRVA_UNAPPROX;
    const int p_state = plain_op<T>(Div)(&pv, &ps, &pf, a, as, af, b, bs, bf);
    try {
        ms_state = errva_global.div(mv, ms, mf, a, as, af, b, bs, bf);
    } catch (const char*) {
    }
    if (bits_of(pv) == bits_of(mv) && bits_of(ps) == bits_of(ms) && pf == mf && p_state == ms_state)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "a " << a << " as " << as << " af " << af << " b " << b << " bs " << bs << " bf "
           << bf << ": plain " << pv << " " << ps << " " << pf << " " << p_state << ", member "
           << mv << " " << ms << " " << mf << " " << ms_state;
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
        const auto r = same_quotient(a, as, af, b, bs, bf, flags);
        if (!r && ++failures <= 5)
            ADD_FAILURE() << r.message();
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
