// Shared fixture of the uncertainty arithmetic tests: each test starts from
// the default settings of the library object.
#ifndef DOWNLINK_ERRVA_TESTING_H
#define DOWNLINK_ERRVA_TESTING_H

#include "errva.h"
#include "nanvalue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

class ErrvaTest : public ::testing::Test {
  protected:
    void SetUp() override { *errva_globptr() = errvaclass(); }
    void TearDown() override { *errva_globptr() = errvaclass(); }
};

inline uint32_t bits_of(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// The library's NaN, bit for bit.
inline bool is_library_nan(float x) {
    return bits_of(x) == const_nan_float;
}
inline bool is_library_nan(double x) {
    return bits_of(x) == const_nan_double;
}

#endif
