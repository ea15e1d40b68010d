// fits_storage: images however a FITS file stores them, for both pipeline programs.
//
// An input names its image the FITS library's way: "f.fits" (the primary HDU), "f.fits[1]",
// "f.fits[SCI]", a tile-compressed "f.fits.fz", a gzip file.  The library reads every one of
// them, scaling applied; undefined integer pixels (BLANK) become NaN when read as floating
// point.  A product copies the input header's keywords that describe the image and the
// observation, never those that describe how the input was stored.
#pragma once

#include <fitsio.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>

#include <sys/stat.h>

// Opens `name` as the library does, at the HDU the name selects.  When the name selects none
// and the primary HDU is empty, a tile-compressed image in the first extension is the file's
// image (the library cannot store a compressed image in the primary HDU: a ".fz" file holds
// it there).  Returns the FITS status.
inline int open_stored_image(fitsfile** fp, const char* name, int mode, int* status) {
    if (fits_open_file(fp, name, mode, status) != 0) {
        return *status;
    }
    char type[FLEN_FILENAME], in[FLEN_FILENAME], out[FLEN_FILENAME], ext[FLEN_FILENAME],
        filter[FLEN_FILENAME], bin[FLEN_FILENAME], col[FLEN_FILENAME];
    int st = 0;
    int hdu = 0;
    int naxis = 0;
    fits_parse_input_url(const_cast<char*>(name), type, in, out, ext, filter, bin, col, &st);
    fits_get_hdu_num(*fp, &hdu);
    fits_get_img_dim(*fp, &naxis, &st);
    if (st != 0 || hdu != 1 || naxis != 0 || ext[0] != '\0' || filter[0] != '\0') {
        return *status;
    }
    if (fits_movabs_hdu(*fp, 2, nullptr, &st) != 0 || !fits_is_compressed_image(*fp, &st)) {
        st = 0;
        fits_movabs_hdu(*fp, 1, nullptr, &st);
        fits_clear_errmsg();
    }
    return *status;
}

// The regular file that holds the open image stored plainly (not tile-compressed, not
// decompressed or filtered into memory by the library): its name and size.  False otherwise.
inline bool plain_file_of(fitsfile* fp, std::string* file, long long* size) {
    char url[FLEN_FILENAME];
    char name[FLEN_FILENAME];
    char root[FLEN_FILENAME];
    int st = 0;
    fits_url_type(fp, url, &st);
    fits_file_name(fp, name, &st);
    fits_parse_rootname(name, root, &st);
    const bool compressed = fits_is_compressed_image(fp, &st) != 0;
    struct stat info {};
    if (st != 0 || compressed || std::strcmp(url, "file://") != 0 || stat(root, &info) != 0 ||
        !S_ISREG(info.st_mode)) {
        return false;
    }
    *file = root;
    *size = info.st_size;
    return true;
}

// The null value to ask for when reading floating-point pixels: NaN for an image of integers
// (its BLANK pixels are undefined), null for a floating-point image, whose values (NaN
// payloads and infinities included) are read as stored; a tile-compressed floating-point image
// gives its undefined pixels as NaN by itself.
inline const float* undefined_pixel_value(fitsfile* fp) {
    static const float nan_value = std::numeric_limits<float>::quiet_NaN();
    int bitpix = 0;
    int st = 0;
    fits_get_img_type(fp, &bitpix, &st);
    return st == 0 && bitpix < 0 ? nullptr : &nan_value;
}

// True for a header card that says how the input HDU was stored: its structure (SIMPLE,
// XTENSION, BITPIX, NAXISn, EXTEND, PCOUNT, the columns of a table), tile compression, scaling,
// BLANK, its name among the HDUs, checksums (the library counts the standard comments of a new
// header among the structure).  A product writes its own.
inline bool is_storage_card(const char* card) {
    char copy[FLEN_CARD];
    std::snprintf(copy, sizeof copy, "%s", card);
    // Kept by tile compression but not classed by the library.
    for (const char* key : {"ZHECKSUM", "ZDATASUM", "ZMASKCMP", "THEAP"}) {
        const size_t n = std::strlen(key);
        if (std::strncmp(copy, key, n) == 0 && (copy[n] == ' ' || copy[n] == '=')) {
            return true;
        }
    }
    switch (fits_get_keyclass(copy)) {
    case TYP_STRUC_KEY:
    case TYP_CMPRS_KEY:
    case TYP_SCAL_KEY:
    case TYP_NULL_KEY:
    case TYP_DIM_KEY:
    case TYP_DISP_KEY:
    case TYP_HDUID_KEY:
    case TYP_CKSUM_KEY:
        return true;
    case TYP_RANG_KEY:
    case TYP_UNIT_KEY:
        return copy[0] == 'T'; // TUNITn, TLMINn, TDMAXn: of a table column; BUNIT stays
    default:
        return false;
    }
}

// Starts the product's header: a new image of `bitpix` and the given axes (with the library's
// own comments of a new header) followed by the cards of the input's current header that
// describe the image and the observation, in their order.
inline int create_image_like(fitsfile* in, fitsfile* out, int bitpix, int naxis, const long* naxes,
                             int* status) {
    fits_create_img(out, bitpix, naxis, const_cast<long*>(naxes), status);
    int count = 0;
    fits_get_hdrspace(in, &count, nullptr, status);
    char card[FLEN_CARD];
    for (int i = 1; i <= count && *status == 0; ++i) {
        if (fits_read_record(in, i, card, status) == 0 && !is_storage_card(card)) {
            fits_write_record(out, card, status);
        }
    }
    return *status;
}
