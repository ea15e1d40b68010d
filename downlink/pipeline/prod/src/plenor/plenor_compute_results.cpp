// Flat-field computation: every DCE pixel that the masks allow is divided by the flat field
// (times the transmission-calibrator flat); the others keep their input and are marked in the
// Dmask.  With uncertainties the product and quotient come from the uncertainty library.
#include "plenor.h"

#include <errva.h>

#include <cmath>
#include <cstdio>

namespace {

const short mark_skipped = 0x100;  // not flat-fielded: value and uncertainty are the input's
const short mark_doubtful = 0x080; // flat-fielded with a flat that its Cmask flags

// The inputs of one run, for the pixel decision.
struct flat_frame {
    const run_control* rc;
    size_t plane;            // pixels in a plane
    const short* pmask;      // one plane
    short* dmask;            // one plane per DCE plane
    const short* cmask;      // one plane
    const float* flat;       // values, then uncertainties
    const float* tcal_flat;  // values, then uncertainties; null when there is none
    const short* tcal_cmask; // one plane
};

// A mask value shares a bit with a level after sign extension to 32 bits.
bool shares_bit(short value, int32_t level) {
    return (static_cast<int32_t>(value) & level) != 0;
}

// The library's test for a value that is not a number (exponent all ones, mantissa not
// zero), inline in the pixel loop.
bool not_a_number(float value) {
    return std::isnan(value);
}

// The pixel decision for DCE pixel i (pixel p of its plane): true when the pixel is to be
// flat-fielded.  Marks the Dmask as it goes.
bool pixel_usable(const flat_frame& f, float value, size_t i, size_t p) {
    short& dmask = f.dmask[i];
    const run_control& rc = *f.rc;
    if (not_a_number(value) || shares_bit(f.pmask[p], rc.PmaskMask) ||
        shares_bit(dmask, rc.DmaskMask)) {
        dmask |= mark_skipped;
        return false;
    }
    if (shares_bit(f.cmask[p], rc.CmaskMask)) {
        if (not_a_number(f.flat[p])) {
            dmask |= mark_skipped;
            return false;
        }
        dmask |= mark_doubtful;
    }
    if (f.tcal_flat != nullptr && shares_bit(f.tcal_cmask[p], rc.CmaskMask)) {
        // A flagged calibrator flat that is not a number cannot divide either.
        if (not_a_number(f.flat[p]) || not_a_number(f.tcal_flat[p])) {
            dmask |= mark_skipped;
            return false;
        }
        dmask |= mark_doubtful;
    }
    return true;
}

// Pixels per block of the divisor: the block's divisor, and the DCE, uncertainty and masks
// it meets in every plane, stay in the processor cache between the product and the quotients.
const size_t divisor_block = 4096;

// The divisor of one block of plane pixels with its uncertainty and flag word.
struct divisor_block_values {
    float value[divisor_block];
    float sigma[divisor_block];
    int flags[divisor_block];
};

// Flat times calibrator flat for plane pixels first .. first + count - 1, whatever the masks
// say.
void compute_divisor(const flat_frame& f, size_t first, size_t count, divisor_block_values* d) {
    const size_t n = f.plane;
    for (size_t j = 0; j < count; ++j) {
        const size_t p = first + j;
        d->flags[j] = 0;
        if (f.tcal_flat == nullptr) {
            d->value[j] = f.flat[p];
            d->sigma[j] = f.flat[n + p];
            continue;
        }
        errva_mul(&d->value[j], &d->sigma[j], &d->flags[j], f.flat[p], f.flat[n + p],
                  static_cast<int>(f.cmask[p]), f.tcal_flat[p], f.tcal_flat[n + p],
                  static_cast<int>(f.tcal_cmask[p]));
    }
}

// The quotients of one block of plane pixels in plane k.  The product's flag word is passed
// as the flags of both operands; the quotient's own flags go to a scratch word so that the
// divisor's flags stay the same for every plane.
void divide_block(const flat_frame& f, size_t k, size_t first, size_t count,
                  const divisor_block_values& d, float* dce, float* unc) {
    for (size_t j = 0; j < count; ++j) {
        const size_t p = first + j;
        const size_t i = k * f.plane + p;
        if (!pixel_usable(f, dce[i], i, p)) {
            continue;
        }
        float quotient = 0.0f;
        float sigma = 0.0f;
        int quotient_flags = d.flags[j];
        errva_div(&quotient, &sigma, &quotient_flags, dce[i], unc[i], d.flags[j], d.value[j],
                  d.sigma[j], d.flags[j]);
        dce[i] = quotient;
        unc[i] = sigma;
    }
}

// Uncertainty path: the quotient and its sigma from the library, block by block of plane
// pixels; every pixel gets the same operands as in a plane-by-plane pass.
void divide_with_uncertainty(const flat_frame& f, size_t planes, float* dce, float* unc) {
    divisor_block_values d;
    for (size_t first = 0; first < f.plane; first += divisor_block) {
        const size_t count = f.plane - first < divisor_block ? f.plane - first : divisor_block;
        compute_divisor(f, first, count, &d);
        for (size_t k = 0; k < planes; ++k) {
            divide_block(f, k, first, count, d, dce, unc);
        }
    }
}

// Path without uncertainties: single-precision product, then quotient.
void divide_plain(const flat_frame& f, size_t planes, float* dce) {
    for (size_t k = 0; k < planes; ++k) {
        for (size_t p = 0; p < f.plane; ++p) {
            const size_t i = k * f.plane + p;
            if (!pixel_usable(f, dce[i], i, p)) {
                continue;
            }
            const float calibrator = f.tcal_flat != nullptr ? f.tcal_flat[p] : 1.0f;
            const float divisor = f.flat[p] * calibrator;
            dce[i] = dce[i] / divisor;
        }
    }
}

} // namespace

int plenor_compute_results(image_dims* dims, float* dce, float* unc, run_control* rc, short* pmask,
                           short* dmask, short* cmask, float* flat, float* tcal_flat,
                           short* tcal_cmask) {
    if (rc->status != 0) {
        return -1;
    }
    size_t plane = 0;
    size_t cube = 0;
    plenor_pixel_counts(dims, &plane, &cube);
    const size_t planes = dims->I_NZ > 0 ? static_cast<size_t>(dims->I_NZ) : 0;
    const flat_frame f{rc, plane, pmask, dmask, cmask, flat, tcal_flat, tcal_cmask};
    if (rc->do_uncertainty == 1) {
        divide_with_uncertainty(f, planes, dce, unc);
    } else {
        divide_plain(f, planes, dce);
    }
    if (rc->I_Verbose != 0) {
        std::printf("plenor_compute_results: ");
        std::printf("Numerical computations finished.\n");
    }
    return 0;
}
