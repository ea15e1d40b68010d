// The plain quotient entry points take a shortcut for common quotients; they
// must give, bit for bit, what the member errvaclass::div gives: value, sigma,
// flag word and state, over special and random operands, flags and settings.
#include "errva_testing.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

template <class T> struct Outcome {
    T value, sigma;
    int flags, state;
};

// Outputs start from the same non-trivial contents in both paths.
template <class T> Outcome<T> fresh(int flags) {
    return Outcome<T>{T(-7.5), T(3.25), flags, -1};
}

template <class T> int plain_div(Outcome<T>& o, T a, T as, int af, T b, T bs, int bf) {
    if constexpr (sizeof(T) == 4)
        return errva_div(&o.value, &o.sigma, &o.flags, a, as, af, b, bs, bf);
    else
        return errva_ddiv(&o.value, &o.sigma, &o.flags, a, as, af, b, bs, bf);
}

// The member on the library object; a thrown message counts as ERRVA_UNAPPROX,
// the state the plain entry points report for it.
template <class T> int member_div(Outcome<T>& o, T a, T as, int af, T b, T bs, int bf) {
    try {
        return errva_global.div(o.value, o.sigma, o.flags, a, as, af, b, bs, bf);
    } catch (const char*) {
        return ERRVA_UNAPPROX;
    }
}

template <class T>
::testing::AssertionResult same_quotient(T a, T as, int af, T b, T bs, int bf, int flags) {
    Outcome<T> p = fresh<T>(flags), m = fresh<T>(flags);
    p.state = plain_div(p, a, as, af, b, bs, bf);
    m.state = member_div(m, a, as, af, b, bs, bf);
    if (bits_of(p.value) == bits_of(m.value) && bits_of(p.sigma) == bits_of(m.sigma) &&
        p.flags == m.flags && p.state == m.state)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "a " << a << " as " << as << " af " << af << " b " << b << " bs " << bs << " bf "
           << bf << ": plain " << p.value << " " << p.sigma << " " << p.flags << " " << p.state
           << ", member " << m.value << " " << m.sigma << " " << m.flags << " " << m.state;
}

template <class T> T from_bits(uint64_t bits) {
    if constexpr (sizeof(T) == 4) {
        const uint32_t b = uint32_t(bits);
        T x;
        std::memcpy(&x, &b, sizeof x);
        return x;
    } else {
        T x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }
}

// Zeros, denormals, the ends of the normal range, infinities, quiet and
// signalling NaNs of both signs, and values at the divisor limit (0.9 b) and
// the noise limit (9 a) of the default settings.
template <class T> std::vector<T> special_values() {
    using L = std::numeric_limits<T>;
    const T limit = T(0.9f);
    std::vector<T> v = {T(0),
                        -T(0),
                        L::denorm_min(),
                        -L::denorm_min(),
                        L::min() / T(3),
                        L::min(),
                        T(1),
                        -T(1),
                        T(3),
                        T(9),
                        std::nextafter(T(9), T(10)),
                        L::max(),
                        -L::max(),
                        L::infinity(),
                        -L::infinity(),
                        L::quiet_NaN(),
                        -L::quiet_NaN(),
                        L::signaling_NaN(),
                        limit,
                        std::nextafter(limit, T(1)),
                        std::nextafter(limit, T(0)),
                        -limit};
    if constexpr (sizeof(T) == 8)
        v.push_back(0.9); // above the widened float limit
    return v;
}

const int flag_words[] = {0, 0x7, 0x100, 0x4000, 0x4100, 0x20, -1};

// Every quadruple of special values with plain flags, and the flag words on
// every stride-th quadruple.
template <class T> void check_special_operands(std::size_t stride) {
    const std::vector<T> v = special_values<T>();
    std::size_t failures = 0;
    std::size_t n = 0;
    for (T a : v)
        for (T as : v)
            for (T b : v)
                for (T bs : v) {
                    const bool sampled = (n++ % stride) == 0;
                    for (int af : flag_words)
                        for (int bf : {0, 0x100, 0x4000}) {
                            if (!sampled && (af != 0 || bf != 0))
                                continue;
                            const auto r = same_quotient(a, as, af, b, bs, bf, 0x7 | 0x4100);
                            if (!r && ++failures <= 5)
                                ADD_FAILURE() << r.message();
                        }
                }
    EXPECT_EQ(failures, 0u);
}

// Random bit images (every class of number, mostly huge or tiny magnitudes),
// then ordinary magnitudes around 1 where most quotients are common.
template <class T> void check_random_operands(unsigned seed) {
    std::mt19937_64 gen(seed);
    std::size_t failures = 0;
    for (int i = 0; i < 200000; ++i) {
        T x[4];
        for (T& e : x) {
            const uint64_t bits = gen();
            if (i % 2 == 0) {
                e = from_bits<T>(bits);
            } else {
                const int exponent = int(bits % 16) - 8;
                e = std::ldexp(T(double(bits >> 11) * 0x1p-53), exponent);
                if (bits & 0x10)
                    e = -e;
            }
        }
        const uint64_t f = gen();
        const int af = flag_words[f % 7], bf = flag_words[(f >> 8) % 7];
        const auto r = same_quotient(x[0], x[1], af, x[2], x[3], bf, int(f >> 32));
        if (!r && ++failures <= 5)
            ADD_FAILURE() << r.message();
    }
    EXPECT_EQ(failures, 0u);
}

template <class T> class ErrvaDivPaths : public ErrvaTest {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ErrvaDivPaths, Precisions);

} // namespace

TYPED_TEST(ErrvaDivPaths, DefaultSettings) {
    check_special_operands<TypeParam>(7);
    check_random_operands<TypeParam>(1);
}

TYPED_TEST(ErrvaDivPaths, OtherMasksAndStateBits) {
    errva_mask_setup(0x1, 0x6);
    errva_globptr()->state_mask[2] = 0x40;
    errva_globptr()->state_mask[3] = 0x80;
    check_special_operands<TypeParam>(7);
    check_random_operands<TypeParam>(2);
}

TYPED_TEST(ErrvaDivPaths, ThrowingSettings) {
    errva_globptr()->throw_on_unapprox = 1;
    check_special_operands<TypeParam>(7);
    check_random_operands<TypeParam>(3);
}

TYPED_TEST(ErrvaDivPaths, OtherLimits) {
    // A zero limit fails every divisor with a non-zero sigma; a negative one
    // is used by its magnitude; an infinite limit times a zero divisor and a
    // NaN limit are NaN, which passes every divisor.
    const float limits[][2] = {{9.0f, 0.0f},
                               {2.0f, -0.5f},
                               {0.0f, std::numeric_limits<float>::infinity()},
                               {9.0f, std::numeric_limits<float>::quiet_NaN()}};
    unsigned seed = 10;
    for (const auto& l : limits) {
        errva_globptr()->noise_ratio = l[0];
        errva_globptr()->approx_limit = l[1];
        check_special_operands<TypeParam>(1000);
        check_random_operands<TypeParam>(seed++);
    }
}
