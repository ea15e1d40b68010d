// Data input: the DCE, flat fields, uncertainty and masks, each checked against the shape of
// the input DCE, in a fixed order.  Every file opened here is closed again on every path.
#include "plenor.h"

#include "fits_storage.h"

#include <sys/mman.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

bool plenor_pixel_counts(const image_dims* dims, size_t* plane_pixels, size_t* cube_pixels) {
    if (dims->I_NX < 0 || dims->I_NY < 0 || dims->I_NZ < 0) {
        return false;
    }
    size_t plane = 0;
    size_t cube = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(dims->I_NX), static_cast<size_t>(dims->I_NY),
                               &plane) ||
        __builtin_mul_overflow(plane, static_cast<size_t>(dims->I_NZ), &cube)) {
        return false;
    }
    *plane_pixels = plane;
    *cube_pixels = cube;
    return true;
}

namespace {

// Axis lengths of an image: NAXIS and the first three NAXISn (0 where absent).
struct fits_axes {
    int naxis;
    long length[3];
};

// Number of planes of an image with two or three axes.
long plane_count(const fits_axes& ax) {
    return ax.naxis >= 3 ? ax.length[2] : 1;
}

bool same_plane_shape(const fits_axes& ax, const image_dims* dims) {
    return ax.length[0] == dims->I_NY && ax.length[1] == dims->I_NX;
}

bool same_shape(const fits_axes& ax, const image_dims* dims) {
    return same_plane_shape(ax, dims) && plane_count(ax) == dims->I_NZ;
}

// A FITS failure names the file and shows the FITS library's own report on standard error.
void set_fits_failure(run_control* rc, int fits_status, const char* name) {
    std::printf("plenor_read_data: FITS status %d reading %s\n", fits_status, name);
    fits_report_error(stderr, fits_status);
    rc->status = plenor_code(FCN_READ_DATA, MSG_FITS_STATUS) | fits_status;
}

// Closes a file after a failure, keeping the first failure's status.
void close_quietly(fitsfile* fp) {
    int ignored = 0;
    fits_close_file(fp, &ignored);
}

// True when the file holds every data byte its header announces.  Checked before any buffer
// is allocated, so that a header claiming huge axes over a short file is refused as the
// truncated file it is instead of reserving memory for pixels that are not there.  A
// tile-compressed image is stored as a table of compressed tiles, which the library checks
// itself as it reads them.
bool data_unit_complete(fitsfile* fp, const fits_axes& ax, int* st) {
    if (fits_is_compressed_image(fp, st)) {
        return *st == 0;
    }
    int bitpix = 0;
    LONGLONG head = 0;
    LONGLONG data = 0;
    LONGLONG end = 0;
    fits_get_img_type(fp, &bitpix, st);
    fits_get_hduaddrll(fp, &head, &data, &end, st);
    if (*st != 0) {
        return false;
    }
    unsigned long long pixels = 1;
    for (int i = 0; i < ax.naxis; ++i) {
        if (__builtin_mul_overflow(pixels, static_cast<unsigned long long>(ax.length[i]),
                                   &pixels)) {
            return false;
        }
    }
    unsigned long long bytes = 0;
    if (__builtin_mul_overflow(pixels, static_cast<unsigned long long>(std::abs(bitpix) / 8),
                               &bytes)) {
        return false;
    }
    std::string file;
    long long size = 0;
    if (!plain_file_of(fp, &file, &size)) { // held in memory by the library (gzip, a pipe)
        double last = 0.0;
        int anynul = 0;
        int read_st = 0;
        return pixels == 0 || fits_read_img(fp, TDOUBLE, static_cast<LONGLONG>(pixels), 1, nullptr,
                                            &last, &anynul, &read_st) == 0;
    }
    return data <= size && bytes <= static_cast<unsigned long long>(size - data);
}

// Opens a file and reads its axes.  Images must have two or three axes; more are refused
// like a shape mismatch (only three axis lengths are known to the program).  On failure the
// status is set, the file is closed and null is returned.
fitsfile* open_image(const char* name, int mode, fits_axes* ax, run_control* rc) {
    fitsfile* fp = nullptr;
    int st = 0;
    if (open_stored_image(&fp, name, mode, &st) != 0) {
        set_fits_failure(rc, st, name);
        return nullptr;
    }
    ax->naxis = 0;
    ax->length[0] = ax->length[1] = ax->length[2] = 0;
    fits_get_img_dim(fp, &ax->naxis, &st);
    if (st == 0) {
        fits_get_img_size(fp, 3, ax->length, &st);
    }
    if (st != 0) {
        close_quietly(fp);
        set_fits_failure(rc, st, name);
        return nullptr;
    }
    if (ax->naxis < 2 || ax->naxis > 3) {
        std::printf("plenor_read_data: %s has %d axes; images need 2 or 3\n", name, ax->naxis);
        if (ax->naxis == 0) {
            std::printf("plenor_read_data: an image in an extension is named as %s[1]\n", name);
        }
        close_quietly(fp);
        rc->status = plenor_code(FCN_READ_DATA, MSG_DIMS_INCRT);
        return nullptr;
    }
    if (!data_unit_complete(fp, *ax, &st)) {
        std::printf("plenor_read_data: %s is shorter than its header states\n", name);
        close_quietly(fp);
        set_fits_failure(rc, st != 0 ? st : END_OF_FILE, name);
        return nullptr;
    }
    return fp;
}

enum shape_rule { SAME_PLANE_SHAPE, SAME_SHAPE };

// Refuses an image whose shape breaks the rule, closing it; true when it may be read.
bool check_shape(fitsfile* fp, const fits_axes& ax, shape_rule rule, const image_dims* dims,
                 run_control* rc) {
    const bool ok = rule == SAME_SHAPE ? same_shape(ax, dims) : same_plane_shape(ax, dims);
    if (!ok) {
        close_quietly(fp);
        rc->status = plenor_code(FCN_READ_DATA, MSG_DIMS_INCRT);
    }
    return ok;
}

// Reads the first count pixels converted to the buffer's type and closes the file.
bool read_and_close(fitsfile* fp, const char* name, int datatype, size_t count, void* buffer,
                    run_control* rc) {
    int st = 0;
    int anynul = 0;
    // Undefined pixels of a float image are NaN; a mask keeps every stored value, BLANK too.
    const void* undefined = datatype == TFLOAT ? undefined_pixel_value(fp) : nullptr;
    if (count > 0) {
        fits_read_img(fp, datatype, 1, static_cast<LONGLONG>(count), const_cast<void*>(undefined),
                      buffer, &anynul, &st);
    }
    if (st != 0) {
        close_quietly(fp);
        set_fits_failure(rc, st, name);
        return false;
    }
    fits_close_file(fp, &st);
    if (st != 0) {
        set_fits_failure(rc, st, name);
        return false;
    }
    return true;
}

// Buffers of at least this many bytes are aligned to large pages and the kernel is advised to
// map them with large pages: the first touch of the buffer then costs one fault every 2 MiB
// instead of one every 4 KiB, and so does handing the memory back at the end.
const size_t large_page = size_t(2) << 20;

// count elements of size bytes each, zero-filled, at least one byte; null when there is no
// memory for them.
void* zeroed_buffer(size_t count, size_t size) {
    size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes) || bytes > SIZE_MAX - large_page) {
        return nullptr;
    }
    if (bytes < large_page) {
        return std::calloc(bytes > 0 ? bytes : 1, 1);
    }
    const size_t rounded = (bytes / large_page + (bytes % large_page != 0 ? 1 : 0)) * large_page;
    void* buffer = std::aligned_alloc(large_page, rounded);
    if (buffer != nullptr) {
        // Only advice: without large pages the buffer works all the same.
        madvise(buffer, rounded, MADV_HUGEPAGE);
        std::memset(buffer, 0, bytes);
    }
    return buffer;
}

// A zero-filled buffer of count elements (at least one, so that an empty image still owns a
// buffer); sets the status on failure.
template <typename T> T* allocate(size_t count, run_control* rc) {
    T* buffer = static_cast<T*>(zeroed_buffer(count, sizeof(T)));
    if (buffer == nullptr) {
        rc->status = plenor_code(FCN_READ_DATA, MSG_MALLOC_FAILED);
    }
    return buffer;
}

// Opens, checks and reads one named image of the given element type; count pixels.
bool read_checked(const char* name, int mode, shape_rule rule, int datatype, size_t count,
                  void* buffer, const image_dims* dims, run_control* rc) {
    fits_axes ax{};
    fitsfile* fp = open_image(name, mode, &ax, rc);
    return fp != nullptr && check_shape(fp, ax, rule, dims, rc) &&
           read_and_close(fp, name, datatype, count, buffer, rc);
}

// A zero-filled mask buffer of count values, read from the named file when there is one.
bool read_mask(const char* name, int mode, shape_rule rule, size_t count, short** mask,
               const image_dims* dims, run_control* rc) {
    *mask = allocate<short>(count, rc);
    if (*mask == nullptr) {
        return false;
    }
    return name[0] == '\0' || read_checked(name, mode, rule, TSHORT, count, *mask, dims, rc);
}

void warn_no_uncertainty(const char* what) {
    std::printf("plenor_read_data: WARNING - %s\n", what);
    std::printf("plenor_read_data: No uncertainty calculations will be made.\n");
}

// A flat without a second plane turns uncertainty propagation off.
void check_flat_planes(const fits_axes& ax, const char* what, file_names* fn, run_control* rc) {
    if (ax.naxis < 3 || ax.length[2] < 2) {
        warn_no_uncertainty(what);
        rc->do_uncertainty = 0;
        fn->Input_Uncertainty_File[0] = '\0';
        fn->Output_Uncertainty_File[0] = '\0';
    }
}

// The DCE, read first, fixes the dimensions of the run.
bool read_dce(file_names* fn, image_dims* dims, float** dce, run_control* rc) {
    fits_axes ax{};
    fitsfile* fp = open_image(fn->FITS_Input_File, READONLY, &ax, rc);
    if (fp == nullptr) {
        return false;
    }
    const long nz = plane_count(ax);
    if (ax.length[0] > INT_MAX || ax.length[1] > INT_MAX || nz > INT_MAX) {
        close_quietly(fp);
        rc->status = plenor_code(FCN_READ_DATA, MSG_DIMS_INCRT);
        return false;
    }
    dims->I_NY = static_cast<int32_t>(ax.length[0]);
    dims->I_NX = static_cast<int32_t>(ax.length[1]);
    dims->I_NZ = static_cast<int32_t>(nz);
    size_t plane = 0;
    size_t cube = 0;
    if (!plenor_pixel_counts(dims, &plane, &cube) ||
        (*dce = allocate<float>(cube, rc)) == nullptr) {
        close_quietly(fp);
        rc->status = plenor_code(FCN_READ_DATA, MSG_MALLOC_FAILED);
        return false;
    }
    return read_and_close(fp, fn->FITS_Input_File, TFLOAT, cube, *dce, rc);
}

// A flat field (or calibrator flat) of a value plane and an uncertainty plane.
bool read_flat(const char* name, const char* what, size_t plane, float** flat, file_names* fn,
               const image_dims* dims, run_control* rc) {
    if ((*flat = allocate<float>(2 * plane, rc)) == nullptr) {
        return false;
    }
    fits_axes ax{};
    fitsfile* fp = open_image(name, READONLY, &ax, rc);
    if (fp == nullptr || !check_shape(fp, ax, SAME_PLANE_SHAPE, dims, rc)) {
        return false;
    }
    check_flat_planes(ax, what, fn, rc);
    const size_t count = rc->do_uncertainty == 1 ? 2 * plane : plane;
    return read_and_close(fp, name, TFLOAT, count, *flat, rc);
}

// The DCE uncertainty, or no uncertainty propagation without one.
bool read_uncertainty(file_names* fn, size_t cube, float** unc, const image_dims* dims,
                      run_control* rc) {
    if ((*unc = allocate<float>(cube, rc)) == nullptr) {
        return false;
    }
    if (fn->Input_Uncertainty_File[0] == '\0') {
        warn_no_uncertainty("no input DCE uncertainty image!");
        rc->do_uncertainty = 0;
        return true;
    }
    return read_checked(fn->Input_Uncertainty_File, READONLY, SAME_SHAPE, TFLOAT, cube, *unc, dims,
                        rc);
}

// The transmission-calibrator flat; without one, a flat of 1.0 when uncertainties
// are off, and none at all when they are on.
bool read_tcal_flat(file_names* fn, size_t plane, float** tcal_flat, const image_dims* dims,
                    run_control* rc) {
    if (fn->Transmission_Cal_Flatfile[0] != '\0') {
        return read_flat(fn->Transmission_Cal_Flatfile,
                         "Trans Cal Flat does not contain 2nd plane for uncertainty!", plane,
                         tcal_flat, fn, dims, rc);
    }
    if (rc->do_uncertainty != 0) {
        return true;
    }
    if ((*tcal_flat = allocate<float>(2 * plane, rc)) == nullptr) {
        return false;
    }
    for (size_t p = 0; p < plane; ++p) {
        (*tcal_flat)[p] = 1.0f;
    }
    return true;
}

void print_dims(const file_names* fn, const image_dims* dims) {
    std::printf("plenor_read_data: Data read from file:\n%s\n", fn->FITS_Input_File);
    std::printf("plenor_read_data: I_NX = %d\n", dims->I_NX);
    std::printf("plenor_read_data: I_NY = %d\n", dims->I_NY);
    std::printf("plenor_read_data: I_NZ = %d\n", dims->I_NZ);
}

} // namespace

int plenor_read_data(file_names* fn, image_dims* dims, float** dce, float** unc, run_control* rc,
                     short** pmask, short** dmask, short** cmask, float** flat, float** tcal_flat,
                     short** tcal_cmask) {
    if (rc->status != 0) {
        return -1;
    }
    if (!read_dce(fn, dims, dce, rc)) {
        return -1;
    }
    size_t plane = 0;
    size_t cube = 0;
    plenor_pixel_counts(dims, &plane, &cube);
    const bool ok =
        read_flat(fn->FITS_Flatfield_File, "Flatfield does not contain 2nd plane for uncertainty!",
                  plane, flat, fn, dims, rc) &&
        read_uncertainty(fn, cube, unc, dims, rc) &&
        read_mask(fn->Pmask_File, READONLY, SAME_PLANE_SHAPE, plane, pmask, dims, rc) &&
        read_mask(fn->Dmask_File, READWRITE, SAME_SHAPE, cube, dmask, dims, rc) &&
        read_mask(fn->Cmask_File, READONLY, SAME_PLANE_SHAPE, plane, cmask, dims, rc) &&
        read_tcal_flat(fn, plane, tcal_flat, dims, rc) &&
        read_mask(fn->Transmission_Cal_Mask_File, READONLY, SAME_PLANE_SHAPE, plane, tcal_cmask,
                  dims, rc);
    if (!ok) {
        return -1;
    }
    if (rc->I_Verbose != 0) {
        print_dims(fn, dims);
    }
    return 0;
}
