// Portable random numbers: a combined multiplicative congruential uniform
// generator without shuffle table and the polar method for normal deviates.
#include "ugran.h"

#include <cmath>

int32_t portrand_s1 = 123456;
int32_t portrand_s2 = 234567;

namespace {

bool spare_stored = false;
float spare_deviate = 0.0f;

// One step of s = (a * s) mod m by Schrage's factorization m = a * q + r,
// which keeps every intermediate within 32 bits.
int32_t lcg_step(int32_t s, int32_t a, int32_t q, int32_t r, int32_t m) {
    const int32_t k = s / q;
    s = a * (s - k * q) - k * r;
    return (s < 0) ? s + m : s;
}

bool seed_ok(int seed) {
    return seed >= 1 && seed <= 214783399;
}

} // namespace

double uniform_pure(void) {
    portrand_s1 = lcg_step(portrand_s1, 40014, 53668, 12211, 2147483563);
    portrand_s2 = lcg_step(portrand_s2, 40692, 52774, 3791, 2147483399);
    int32_t z = portrand_s1 - portrand_s2;
    if (z < 1) {
        z += 2147483562;
    }
    return (double)z * 4.656613e-10;
}

void uniformseed(int seed1, int seed2) {
    portrand_s1 = seed_ok(seed1) ? seed1 : 345678;
    portrand_s2 = seed_ok(seed2) ? seed2 : 456789;
}

float gasdev_pure(void) {
    if (spare_stored) {
        spare_stored = false;
        return spare_deviate;
    }
    float e1 = 0.0f, e2 = 0.0f, rsq = 0.0f;
    do {
        e1 = (float)(2.0 * uniform_pure() - 1.0);
        e2 = (float)(2.0 * uniform_pure() - 1.0);
        rsq = e1 * e1 + e2 * e2;
    } while (rsq >= 1.0f || rsq == 0.0f);
    const float fac = (float)std::sqrt(-2.0 * std::log((double)rsq) / rsq);
    spare_deviate = e1 * fac;
    spare_stored = true;
    return e2 * fac;
}
