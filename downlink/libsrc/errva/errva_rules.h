// Operand screening, flag-word update and NaN values shared by the arithmetic
// and interpolation routines of liberrva (internal, not installed).
#ifndef DOWNLINK_ERRVA_RULES_H
#define DOWNLINK_ERRVA_RULES_H

#include "errva.h"
#include "nanvalue.h"

#include <cstring>

namespace errva_rules {

inline bool is_nan(float x) {
    return iznanf(x) != 0;
}
inline bool is_nan(double x) {
    return iznand(x) != 0;
}

template <class T> T nan_value();
template <> inline float nan_value<float>() {
    float f;
    std::memcpy(&f, &const_nan_float, sizeof f);
    return f;
}
template <> inline double nan_value<double>() {
    double d;
    std::memcpy(&d, &const_nan_double, sizeof d);
    return d;
}

// True when an operand is NaN, has a NaN sigma or carries bad_mask bits.
template <class T>
bool operands_bad(const errvaclass& s, T a, T a_sigma, int a_flags, T b, T b_sigma, int b_flags) {
    return is_nan(a) || is_nan(a_sigma) || (a_flags & s.bad_mask) != 0 || is_nan(b) ||
           is_nan(b_sigma) || (b_flags & s.bad_mask) != 0;
}

inline errva_state suspect_state(const errvaclass& s, int a_flags, int b_flags) {
    return ((a_flags | b_flags) & s.suspect_mask) != 0 ? ERRVA_BAD : ERRVA_OK;
}

// Replaces the bits of both masks in the caller's word by the state's bits.
inline void update_flags(const errvaclass& s, int& flags, int state) {
    flags = (flags & ~(s.bad_mask | s.suspect_mask)) | s.state_mask[state];
}

} // namespace errva_rules

#endif
