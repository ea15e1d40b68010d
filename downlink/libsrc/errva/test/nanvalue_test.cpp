// NaN constants and bit-image tests.
#include "nanvalue.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

float from_bits(uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

double from_bits64(uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

} // namespace

TEST(ErrvaNanConstants, HoldTheirBitPatterns) {
    EXPECT_EQ(const_exp_float, 0x7F800000u);
    EXPECT_EQ(const_nan_float, 0x7FC00000u);
    EXPECT_EQ(const_mant_float, 0x007FFFFFu);
    EXPECT_EQ(const_exp_double, 0x7FF0000000000000ull);
    EXPECT_EQ(const_nan_double, 0x7FF8000000000000ull);
    EXPECT_EQ(const_mant_double, 0x000FFFFFFFFFFFFFull);
}

TEST(ErrvaNanConstants, ReadAsValuesAreNanAndInfinity) {
    EXPECT_TRUE(std::isnan(from_bits(const_nan_float)));
    EXPECT_TRUE(std::isnan(from_bits64(const_nan_double)));
    EXPECT_EQ(from_bits(const_exp_float), HUGE_VALF);
    EXPECT_EQ(from_bits64(const_exp_double), HUGE_VAL);
}

TEST(ErrvaIsNanFloat, RecognisesQuietNegativeAndSignallingNans) {
    EXPECT_EQ(iznanf(from_bits(const_nan_float)), 1);
    EXPECT_EQ(iznanf(from_bits(0xFFC00000u)), 1);
    EXPECT_EQ(iznanf(from_bits(0x7F800001u)), 1);
    EXPECT_EQ(iznanf(from_bits(0xFFFFFFFFu)), 1);
}

TEST(ErrvaIsNanFloat, RejectsInfinityZeroAndFiniteValues) {
    EXPECT_EQ(iznanf(from_bits(0x7F800000u)), 0);
    EXPECT_EQ(iznanf(0.0f), 0);
    EXPECT_EQ(iznanf(FLT_MAX), 0);
    EXPECT_EQ(iznanf(-FLT_MAX), 0);
    EXPECT_EQ(iznanf(FLT_TRUE_MIN), 0);
}

TEST(ErrvaIsInfFloat, RecognisesBothInfinitiesOnly) {
    EXPECT_EQ(izinff(from_bits(0x7F800000u)), 1);
    EXPECT_EQ(izinff(from_bits(0xFF800000u)), 1);
    EXPECT_EQ(izinff(from_bits(const_nan_float)), 0);
    EXPECT_EQ(izinff(from_bits(0x7F800001u)), 0);
    EXPECT_EQ(izinff(FLT_MAX), 0);
}

TEST(ErrvaIsNanDouble, RecognisesNansWithLowWordMantissa) {
    EXPECT_EQ(iznand(from_bits64(const_nan_double)), 1);
    EXPECT_EQ(iznand(from_bits64(0x7FF0000000000001ull)), 1);
    EXPECT_EQ(iznand(from_bits64(0xFFF8000000000000ull)), 1);
    EXPECT_EQ(iznand(from_bits64(0x7FF0000000000000ull)), 0);
    EXPECT_EQ(iznand(DBL_MAX), 0);
    EXPECT_EQ(iznand(0.0), 0);
}

TEST(ErrvaIsInfDouble, RecognisesBothInfinitiesOnly) {
    EXPECT_EQ(izinfd(from_bits64(0x7FF0000000000000ull)), 1);
    EXPECT_EQ(izinfd(from_bits64(0xFFF0000000000000ull)), 1);
    EXPECT_EQ(izinfd(from_bits64(0x7FF0000000000001ull)), 0);
    EXPECT_EQ(izinfd(from_bits64(const_nan_double)), 0);
    EXPECT_EQ(izinfd(DBL_MAX), 0);
}

TEST(ErrvaNanTests, RaiseNoFloatingPointExceptionForSignallingNans) {
    const volatile uint32_t snan_f = 0x7F800001u;
    const volatile uint64_t snan_d = 0x7FF0000000000001ull;
    std::feclearexcept(FE_ALL_EXCEPT);
    int hits = iznanf(from_bits(snan_f)) + izinff(from_bits(snan_f));
    hits += iznand(from_bits64(snan_d)) + izinfd(from_bits64(snan_d));
    EXPECT_EQ(hits, 2);
    EXPECT_EQ(std::fetestexcept(FE_INVALID), 0);
}
