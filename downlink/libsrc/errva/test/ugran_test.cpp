// Random numbers against an independent model of the generator: each
// component is the exact modular product (a * s) mod m in 64-bit arithmetic.
#include "ugran.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

struct Model {
    int64_t s1, s2;
    double next() {
        s1 = (40014 * s1) % 2147483563;
        s2 = (40692 * s2) % 2147483399;
        int64_t z = s1 - s2;
        if (z < 1) {
            z += 2147483562;
        }
        return (double)z * 4.656613e-10;
    }
};

// The polar pair the model draws next: {returned first, kept for second}.
void polar_pair(Model& m, float* first, float* second) {
    float e1, e2, rsq;
    do {
        e1 = (float)(2.0 * m.next() - 1.0);
        e2 = (float)(2.0 * m.next() - 1.0);
        rsq = e1 * e1 + e2 * e2;
    } while (rsq >= 1.0f || rsq == 0.0f);
    const float fac = (float)std::sqrt(-2.0 * std::log((double)rsq) / rsq);
    *first = e2 * fac;
    *second = e1 * fac;
}

// Leaves no stored Gaussian deviate, whatever earlier calls did: a call
// that returns a stored deviate draws no uniform numbers.
void clear_spare() {
    uniformseed(11, 22);
    gasdev_pure();
    Model m{11, 22};
    if (uniform_pure() != m.next()) {
        gasdev_pure(); // the call above drew a pair and kept one
    }
}

} // namespace

// Must run first in this program: it checks the state the library starts in.
TEST(UniformPure, FirstValuesFromTheStartingState) {
    EXPECT_EQ(portrand_s1, 123456);
    EXPECT_EQ(portrand_s2, 234567);
    Model m{123456, 234567};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(uniform_pure(), m.next()) << i;
    }
}

TEST(UniformPure, LongRunMatchesModelAndStaysInsideTheInterval) {
    uniformseed(2147, 999);
    Model m{2147, 999};
    for (int i = 0; i < 20000; i++) {
        const double u = uniform_pure();
        ASSERT_EQ(u, m.next()) << i;
        ASSERT_GT(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

TEST(UniformSeed, OutOfRangeSeedsFallBack) {
    uniformseed(0, -5);
    EXPECT_EQ(portrand_s1, 345678);
    EXPECT_EQ(portrand_s2, 456789);
    uniformseed(214783399, 214783400);
    EXPECT_EQ(portrand_s1, 214783399);
    EXPECT_EQ(portrand_s2, 456789);
    uniformseed(-1, 1);
    EXPECT_EQ(portrand_s1, 345678);
    EXPECT_EQ(portrand_s2, 1);
    Model m{345678, 1};
    EXPECT_EQ(uniform_pure(), m.next());
}

TEST(GasdevPure, ConsecutiveCallsReturnOnePolarPair) {
    clear_spare();
    uniformseed(12345, 67890);
    Model m{12345, 67890};
    for (int pair = 0; pair < 3; pair++) {
        float first, second;
        polar_pair(m, &first, &second);
        EXPECT_EQ(gasdev_pure(), first) << pair;
        EXPECT_EQ(gasdev_pure(), second) << pair;
    }
}

TEST(GasdevPure, ReseedingKeepsTheStoredDeviate) {
    clear_spare();
    uniformseed(5, 6);
    Model m{5, 6};
    float first, second;
    polar_pair(m, &first, &second);
    EXPECT_EQ(gasdev_pure(), first);
    uniformseed(7, 8);
    EXPECT_EQ(gasdev_pure(), second);
}
