// The settings object of the uncertainty arithmetic and its quotient.
#include "errva.h"
#include "errva_rules.h"

#include <cmath>

using namespace errva_rules;

extern "C" {
ERRVA_API extern const double fwhm_to_sigma = std::sqrt(std::log(2.0) * 2.0) * 2.0;
ERRVA_API errvaclass errva_global;
}

namespace {

const char* const unapprox_message = "Un-approximate result in errva.div() - divide by zero??";

// Second-order expansion of the quotient's sigma,
// sqrt(as^2/b^2 + (3 as^2 bs^2 + a^2 bs^2)/b^4).  Single precision forms the
// squares and b^4 in float, the variance in double, and the root in float.
float expansion_sigma(float a, float a_sigma, float b, float b_sigma) {
    const float a2 = a * a;
    const float as2 = a_sigma * a_sigma;
    const float b2 = b * b;
    const float bs2 = b_sigma * b_sigma;
    const float b4 = b2 * b2;
    const float a2bs2 = a2 * bs2;
    const float ratio = as2 / b2;
    const double var = ((double(as2) * 3.0) * double(bs2) + double(a2bs2)) / double(b4) + ratio;
    return std::sqrt(float(var));
}

double expansion_sigma(double a, double a_sigma, double b, double b_sigma) {
    const double as2 = a_sigma * a_sigma;
    const double bs2 = b_sigma * b_sigma;
    const double b2 = b * b;
    const double b4 = b2 * b2;
    return std::sqrt(as2 / b2 + ((as2 * 3.0) * bs2 + (a * a) * bs2) / b4);
}

// Equivalent Gaussian sigma of the ratio of two noise-dominated operands,
// whose distribution has a full width at half maximum of 2 |as / bs|.
float equiv_sigma(errvaclass& s, float a_sigma, float b_sigma) {
    const float ratio = std::fabs(a_sigma / b_sigma);
    return float(s.EquivSigma(2.0 * double(ratio)));
}

double equiv_sigma(errvaclass& s, double a_sigma, double b_sigma) {
    return s.EquivSigma(2.0 * std::fabs(a_sigma / b_sigma));
}

template <class T> T quotient_value(T a, T b) {
    return b == T(0) ? nan_value<T>() : a / b;
}

template <class T> T nan_as_library_nan(T x) {
    return is_nan(x) ? nan_value<T>() : x;
}

// Sigma and state of a quotient whose operands passed the screening.
template <class T>
errva_state quotient_sigma(errvaclass& s, T& sigma, T a, T a_sigma, int a_flags, T b, T b_sigma,
                           int b_flags) {
    const T limit = T(s.approx_limit) * b;
    if (!(std::fabs(b_sigma) > std::fabs(limit))) {
        if (b == T(0)) {
            // An exact zero divisor leaves neither value nor sigma: report it as bad.
            sigma = nan_value<T>();
            return ERRVA_BAD;
        }
        sigma = nan_as_library_nan(expansion_sigma(a, a_sigma, b, b_sigma));
        return suspect_state(s, a_flags, b_flags);
    }
    const T noise = T(s.noise_ratio);
    if (std::fabs(a_sigma) > std::fabs(noise * a) && std::fabs(b_sigma) > std::fabs(noise * b)) {
        sigma = nan_as_library_nan(equiv_sigma(s, a_sigma, b_sigma));
        return ERRVA_EQUIV;
    }
    sigma = nan_as_library_nan(expansion_sigma(a, a_sigma, b, b_sigma));
    return ERRVA_UNAPPROX;
}

template <class T>
errva_state divide(errvaclass& s, T& result, T& result_sigma, int& result_flags, T a, T a_sigma,
                   int a_flags, T b, T b_sigma, int b_flags) {
    errva_state state = ERRVA_BAD;
    if (operands_bad(s, a, a_sigma, a_flags, b, b_sigma, b_flags))
        result_sigma = nan_value<T>();
    else
        state = quotient_sigma(s, result_sigma, a, a_sigma, a_flags, b, b_sigma, b_flags);
    result = quotient_value(a, b);
    update_flags(s, result_flags, state);
    if (state == ERRVA_UNAPPROX && s.throw_on_unapprox != 0)
        throw unapprox_message;
    return state;
}

} // namespace

errvaclass::errvaclass()
    : bad_mask(0x4000), suspect_mask(0x100), flag_extrap(0), state_mask{0, 0x4000, 0, 0},
      noise_ratio(9.0f), approx_limit(0.9f), throw_on_unapprox(0) {}

errvaclass::errvaclass(float noise_ratio_, float approx_limit_) : errvaclass() {
    noise_ratio = noise_ratio_;
    approx_limit = approx_limit_;
}

errva_state errvaclass::div(float& result, float& result_sigma, int& result_flags, float a,
                            float a_sigma, int a_flags, float b, float b_sigma, int b_flags) {
    return divide(*this, result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,
                  b_flags);
}

errva_state errvaclass::div(double& result, double& result_sigma, int& result_flags, double a,
                            double a_sigma, int a_flags, double b, double b_sigma, int b_flags) {
    return divide(*this, result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,
                  b_flags);
}

double errvaclass::EquivSigma(double width) {
    return width / fwhm_to_sigma;
}
