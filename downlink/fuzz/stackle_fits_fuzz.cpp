// Fuzz harness of the image readers of stackle on mutated small FITS files.  The first input
// byte chooses the reader (read_fits, read_fits_s, read_fits_dims_2d) and the debug switch,
// the second the FOVID rule of read_fits; the rest is the file.  A refused file ends the
// process with status 64 by design, so each input runs guarded.  A returned
// plane must hold xdim x ydim values: all of them are read, so that the address checker sees
// a plane shorter than its stated size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "coadd_fits.h"
#include "fuzz_support.h"
#include "stackle.h"

namespace {

// FOVID rules: skip the keyword, adopt the file's, or require a value.
const int FOVID_RULES[] = {-9, -1, 0, 1, 2, 7};

size_t checked_pixels(int xdim, int ydim) {
    if (xdim <= 0 || ydim <= 0)
        fuzz::finding("stackle readers", "plane returned with a non-positive dimension");
    return static_cast<size_t>(xdim) * static_cast<size_t>(ydim);
}

template <typename T> void touch_plane(const T* plane, size_t n) {
    volatile double sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum = sum + static_cast<double>(plane[i]);
    (void)sum;
}

void run_reader(const fuzz::input& in) {
    const uint8_t mode = in.head[0];
    const uint8_t rule = in.head[1];
    const int debug = (mode >> 7) & 1;
    int xdim = 0;
    int ydim = 0;
    switch (mode % 3) {
    case 0: {
        int fovid = FOVID_RULES[rule % (sizeof FOVID_RULES / sizeof FOVID_RULES[0])];
        float* plane = read_fits(in.path.c_str(), &xdim, &ydim, &fovid, debug);
        touch_plane(plane, checked_pixels(xdim, ydim));
        std::free(plane);
        break;
    }
    case 1: {
        int16_t* plane = read_fits_s(in.path.c_str(), &xdim, &ydim, debug);
        touch_plane(plane, checked_pixels(xdim, ydim));
        std::free(plane);
        break;
    }
    default:
        read_fits_dims_2d(in.path.c_str(), &xdim, &ydim, debug);
        break;
    }
}

} // namespace

const fuzz::harness fuzz::this_harness{2, "image.fits", STACKLE_FAIL, run_reader};
