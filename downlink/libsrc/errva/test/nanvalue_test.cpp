// NaN constants and the tests on the bit image.
#include "errva_testing.h"

#include <cfenv>

TEST(ErrvaNan, ConstantsHoldTheirBitPatternsAndTestsClassifyBitImages) {
    EXPECT_EQ(const_exp_float, 0x7F800000u);
    EXPECT_EQ(const_nan_float, 0x7FC00000u);
    EXPECT_EQ(const_mant_float, 0x007FFFFFu);
    EXPECT_EQ(const_exp_double, 0x7FF0000000000000ull);
    EXPECT_EQ(const_nan_double, 0x7FF8000000000000ull);
    EXPECT_EQ(const_mant_double, 0x000FFFFFFFFFFFFFull);
    // The tests classify the bit image without floating-point exceptions.
    struct Row {
        uint64_t bits;
        int nan, inf;
    };
    // Quiet, negative and signalling NaNs, a NaN whose mantissa is only in the
    // low word, both infinities, zero, the largest and the smallest values.
    const Row floats[] = {{0x7FC00000u, 1, 0}, {0xFFC00000u, 1, 0},
                          {0x7F800001u, 1, 0}, {0xFFFFFFFFu, 1, 0},
                          {0x7F800000u, 0, 1}, {0xFF800000u, 0, 1},
                          {0, 0, 0},           {0x7F7FFFFFu, 0, 0},
                          {0xFF7FFFFFu, 0, 0}, {1, 0, 0}};
    const Row doubles[] = {{0x7FF8000000000000ull, 1, 0},
                           {0x7FF0000000000001ull, 1, 0},
                           {0xFFF8000000000000ull, 1, 0},
                           {0x7FF0000000000000ull, 0, 1},
                           {0xFFF0000000000000ull, 0, 1},
                           {0x7FEFFFFFFFFFFFFFull, 0, 0},
                           {0, 0, 0},
                           {1, 0, 0}};
    std::feclearexcept(FE_ALL_EXCEPT);
    for (const Row& r : floats) {
        EXPECT_EQ(iznanf(from_bits<float>(r.bits)), r.nan) << std::hex << r.bits;
        EXPECT_EQ(izinff(from_bits<float>(r.bits)), r.inf) << std::hex << r.bits;
    }
    for (const Row& r : doubles) {
        EXPECT_EQ(iznand(from_bits<double>(r.bits)), r.nan) << std::hex << r.bits;
        EXPECT_EQ(izinfd(from_bits<double>(r.bits)), r.inf) << std::hex << r.bits;
    }
    EXPECT_EQ(std::fetestexcept(FE_INVALID), 0);
}
