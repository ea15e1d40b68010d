// Writes the FITS seeds of the fuzz corpora: small valid (and a few refused) images made
// with cfitsio, each prefixed by the harness's control bytes.
//   fuzz_make_seeds <corpus folder>
// writes into <corpus folder>/stackle_fits, stackle_fmask and plenor_fits (which must exist).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fitsio.h>

#include "fuzz_support.h"

namespace {

std::string g_root;

std::vector<uint8_t> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

// Writes an image with cfitsio and stores it, behind `prefix`, as corpus file harness/name.
void seed(const char* harness, const char* name, const std::vector<uint8_t>& prefix, int bitpix,
          const std::vector<long>& axes, const std::vector<float>& values,
          const std::vector<fuzz::fits_key>& keys) {
    const std::string tmp = fuzz::scratch_path("seed.fits");
    fuzz::write_fits(tmp, bitpix, axes, values, keys);
    std::vector<uint8_t> bytes(prefix);
    const std::vector<uint8_t> image = slurp(tmp);
    bytes.insert(bytes.end(), image.begin(), image.end());
    fuzz::write_file(g_root + "/" + harness + "/" + name, bytes.data(), bytes.size());
}

fuzz::fits_key text_key(const char* name, const char* text) {
    return fuzz::fits_key{name, text, 0, true};
}

fuzz::fits_key int_key(const char* name, long v) {
    return fuzz::fits_key{name, "", v, false};
}

std::vector<float> ramp(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<float>(i) * 0.5f;
    return v;
}

void stackle_fits_seeds() {
    const std::vector<fuzz::fits_key> fov{int_key("FOVID", 2)};
    std::vector<float> with_nan = ramp(12);
    with_nan[5] = NAN;
    // reader 0 (read_fits) with FOVID rules -9, -1, 2 and a mismatch, debug on for one
    seed("stackle_fits", "float_skip_fovid", {0, 0}, FLOAT_IMG, {4, 3}, ramp(12), fov);
    seed("stackle_fits", "float_adopt_fovid", {0, 1}, FLOAT_IMG, {4, 3}, with_nan, fov);
    seed("stackle_fits", "float_require_fovid", {0, 4}, FLOAT_IMG, {4, 3}, ramp(12), fov);
    seed("stackle_fits", "float_fovid_mismatch_debug", {0x80, 2}, FLOAT_IMG, {4, 3}, ramp(12), fov);
    seed("stackle_fits", "float_no_fovid", {0, 1}, FLOAT_IMG, {4, 3}, ramp(12), {});
    seed("stackle_fits", "double_image", {0, 0}, DOUBLE_IMG, {3, 2}, ramp(6), fov);
    seed("stackle_fits", "float_cube", {0, 0}, FLOAT_IMG, {3, 2, 2}, ramp(12), fov);
    // reader 1 (read_fits_s)
    seed("stackle_fits", "short_image", {1, 0}, SHORT_IMG, {4, 3}, ramp(12), {});
    seed("stackle_fits", "short_reader_on_float", {0x81, 0}, FLOAT_IMG, {4, 3}, ramp(12), fov);
    seed("stackle_fits", "short_scaled", {1, 0}, SHORT_IMG, {2, 2}, ramp(4),
         {int_key("BZERO", 32768), int_key("BSCALE", 1)});
    // reader 2 (read_fits_dims_2d)
    seed("stackle_fits", "dims_plane", {2, 0}, FLOAT_IMG, {5, 1}, ramp(5), {});
    seed("stackle_fits", "dims_degenerate_axes", {0x82, 0}, FLOAT_IMG, {1, 4, 1, 3}, ramp(12), {});
}

void stackle_fmask_seeds() {
    const std::vector<float> mask(12, 1.0f);
    seed("stackle_fmask", "three_fovs", {0}, SHORT_IMG, {4, 3}, mask,
         {text_key("FOVLIST", "1,2,3"), text_key("BITLIST", "0,1,2"), int_key("USEFOVID", 1)});
    seed("stackle_fmask", "bracketed_debug_verbose", {3}, SHORT_IMG, {4, 3}, mask,
         {text_key("FOVLIST", "[4, 5]"), text_key("BITLIST", "[3, 7]"), int_key("USEFOVID", 0)});
    seed("stackle_fmask", "twenty_fovs", {0}, SHORT_IMG, {4, 3}, mask,
         {text_key("FOVLIST", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20"),
          text_key("BITLIST", "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,0,1,2,3"),
          int_key("USEFOVID", 1)});
    seed("stackle_fmask", "count_mismatch", {0}, SHORT_IMG, {4, 3}, mask,
         {text_key("FOVLIST", "1,2"), text_key("BITLIST", "0"), int_key("USEFOVID", 1)});
    seed("stackle_fmask", "no_usefovid", {1}, SHORT_IMG, {4, 3}, mask,
         {text_key("FOVLIST", "1"), text_key("BITLIST", "9")});
    seed("stackle_fmask", "not_a_number", {0}, SHORT_IMG, {4, 3}, mask,
         {text_key("FOVLIST", "1,x"), text_key("BITLIST", "0,1"), int_key("USEFOVID", 1)});
}

void plenor_fits_seeds() {
    const std::vector<long> p2{4, 3};
    const std::vector<long> p3{4, 3, 2};
    std::vector<float> flat(24, 1.0f);
    const std::vector<float> mask(12, 0.0f);
    seed("plenor_fits", "dce", {0}, FLOAT_IMG, p2, ramp(12), {});
    seed("plenor_fits", "dce_verbose", {0x80}, FLOAT_IMG, p2, ramp(12), {});
    seed("plenor_fits", "dce_cube", {0}, FLOAT_IMG, p3, ramp(24), {});
    seed("plenor_fits", "dce_short", {0}, SHORT_IMG, p2, ramp(12), {});
    seed("plenor_fits", "flat", {1}, FLOAT_IMG, p3, flat, {});
    seed("plenor_fits", "flat_one_plane", {1}, FLOAT_IMG, p2, ramp(12), {});
    seed("plenor_fits", "uncertainty", {2}, FLOAT_IMG, p2, ramp(12), {});
    seed("plenor_fits", "pmask", {3}, SHORT_IMG, p2, mask, {});
    seed("plenor_fits", "dmask", {4}, SHORT_IMG, p2, mask, {});
    seed("plenor_fits", "cmask_wrong_shape", {5}, SHORT_IMG, {3, 4}, mask, {});
    seed("plenor_fits", "tcal_flat", {6}, FLOAT_IMG, p3, flat, {});
    seed("plenor_fits", "tcal_cmask", {7}, SHORT_IMG, p2, mask, {});
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds <corpus folder>\n");
        return 1;
    }
    g_root = argv[1];
    stackle_fits_seeds();
    stackle_fmask_seeds();
    plenor_fits_seeds();
    return 0;
}
