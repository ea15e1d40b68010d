// coadd_fits: FITS input and output of stackle.
//
// Readers load whole primary images (one cfitsio call per plane) or keep the file open to
// read it in bands of rows; they end the run with status 64 on anything they cannot accept.
// Writers build each product under a temporary name in its final folder and rename it into
// place once complete.
#include "coadd_fits.h"

#include "fits_storage.h"
#include "product_files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define STACKLE_AVX2_SWAP 1
#endif

namespace {

constexpr int kMaxAxes = 999;        // a FITS image has at most 999 axes; every one counts
constexpr int kHeaderRoom = 30;      // header records stackle may add to a copied header
constexpr int kFovidSkip = -9;       // expected FOVID meaning "do not read FOVID"
constexpr long kOtherOpenFiles = 16; // files a run opens besides the inputs kept open
// Files the FITS library keeps open at once (its NMAXFILES): 10000 from version 4 on, 300 in
// the oldest versions still met.  The library does not tell it.
#if CFITSIO_MAJOR >= 4
constexpr long kLibraryOpenFiles = 10000;
#else
constexpr long kLibraryOpenFiles = 300;
#endif

// The library's error report on standard error, after what stdout already holds.
void report(int status) {
    std::fflush(stdout);
    fits_report_error(stderr, status);
}

// Ends the run with the failing status; closes the open input first.
[[noreturn]] void fail(fitsfile* fptr) {
    if (fptr != nullptr) {
        int status = 0;
        fits_close_file(fptr, &status);
    }
    std::exit(STACKLE_FAIL);
}

// Closes an input file; a close error is reported on standard error and otherwise ignored.
void close_input(fitsfile* fptr) {
    int status = 0;
    if (fits_close_file(fptr, &status)) {
        report(status);
    }
}

// Opens an existing file in `iomode` or ends the run with the message of `routine`, which
// meant to `verb` the file.
fitsfile* open_or_end(const char* fn, int iomode, const char* verb, const char* routine) {
    fitsfile* fptr = nullptr;
    int status = 0;
    if (open_stored_image(&fptr, fn, iomode, &status)) {
        std::printf("\aERROR: Attempt to %s file %s FAILED in %s().\n", verb, fn, routine);
        report(status);
        fail(nullptr);
    }
    return fptr;
}

// ---------------------------------------------------------------- image size

// Axis lengths of an image as the run sees them.
struct frame_dims {
    int naxis;          // NAXIS of the primary HDU
    long naxes[3];      // the first three axis lengths, absent axes count 1
    long long npix_all; // product of all axis lengths
    int xdim;
    int ydim;
};

// Reads the axis lengths of the current image and settles xdim, ydim and the product of all
// lengths.  Returns the cfitsio status; sets *too_large when an axis does not fit an int or
// the product overflows (an image no plane could hold).  Axes beyond the tenth are read as
// well, so that an image with more axes is never taken for a part of itself.
int read_dims(fitsfile* fptr, frame_dims* d, bool* too_large) {
    std::vector<long> len(kMaxAxes, 1);
    int status = 0;
    fits_get_img_dim(fptr, &d->naxis, &status);
    fits_get_img_size(fptr, kMaxAxes, len.data(), &status);
    if (status != 0) {
        return status;
    }
    long long prod = 1;
    *too_large = false;
    for (long l : len) {
        *too_large = *too_large || l < 0 || __builtin_mul_overflow(prod, l, &prod);
    }
    *too_large = *too_large || len[0] > INT_MAX || len[1] > INT_MAX;
    for (int i = 0; i < 3; ++i) {
        d->naxes[i] = len[i];
    }
    d->npix_all = *too_large || d->naxis == 0 ? 0 : prod;
    d->xdim = *too_large ? 0 : static_cast<int>(len[0]);
    d->ydim = *too_large ? 0 : static_cast<int>(len[1]);
    return 0;
}

// An empty primary HDU (NAXIS 0, as in a file whose image lives in an extension) or an axis
// of length 0 leaves nothing to co-add: refused instead of being read as a 1 x 1 plane.
bool refuse_empty(const frame_dims& d, const char* fn, const char* routine) {
    if (d.naxis > 0 && d.npix_all > 0) {
        return false;
    }
    std::printf("\aERROR: file %s holds no image in its primary HDU [%s()]\n", fn, routine);
    std::printf("       NAXIS=%1d, npixels=%1lld\n", d.naxis, d.npix_all);
    if (d.naxis == 0) {
        std::printf("       an image in an extension is named as %s[1]\n", fn);
    }
    return true;
}

long long plane_pixels(const frame_dims& d) {
    return static_cast<long long>(d.xdim) * d.ydim;
}

// Reads and checks the size of a plane to be loaded by `routine` (read_fits or read_fits_s);
// ends the run when it is unreadable or not two-dimensional.
frame_dims plane_dims(fitsfile* fptr, const char* fn, const char* routine, const char* dbg_fmt,
                      int debug) {
    frame_dims d{};
    bool too_large = false;
    int status = read_dims(fptr, &d, &too_large);
    if (status != 0) {
        std::printf("\aERROR: Attempt to read size and dims from file %s FAILED in %s().\n", fn,
                    routine);
        report(status);
        fail(fptr);
    }
    if (too_large) {
        std::printf("\aERROR: Can't allocate required memory for %s in %s()\n",
                    std::strcmp(routine, "read_fits") == 0 ? "float_image" : "short_image",
                    routine);
        fail(fptr);
    }
    if (debug) {
        std::printf(dbg_fmt, d.xdim, d.ydim);
    }
    if (refuse_empty(d, fn, routine)) {
        fail(fptr);
    }
    if (d.npix_all != plane_pixels(d)) {
        std::printf("\aERROR: dimensions don't match: file %1lld, but arrray %1lld in %s()\n",
                    d.npix_all, plane_pixels(d), routine);
        fail(fptr);
    }
    return d;
}

// The file behind the open image when the image is stored plainly in a regular file (see
// plain_file_of): its name, the offset of the image's data and the file's size.
bool plain_file_of(fitsfile* fptr, std::string* file, long long* data_at, long long* size) {
    LONGLONG head = 0;
    LONGLONG data = 0;
    LONGLONG end = 0;
    int status = 0;
    fits_get_hduaddrll(fptr, &head, &data, &end, &status);
    *data_at = data;
    return status == 0 && plain_file_of(fptr, file, size);
}

// True when the open image is stored plainly in a regular file long enough to hold `bytes`
// bytes of image data: only then are the plane's pages populated ahead of the read, so that a
// header claiming a huge image in a short file never makes the run take memory the file
// cannot fill.
bool file_holds(fitsfile* fptr, size_t bytes) {
    std::string file;
    long long data = 0;
    long long size = 0;
    return plain_file_of(fptr, &file, &data, &size) && data >= 0 && size >= data &&
           static_cast<unsigned long long>(size - data) >= bytes;
}

// Puts the whole pages of a plane in place with one request before the reader fills them: a
// stack of planes is hundreds of megabytes, and faulting each 4 KiB page in on first touch
// costs more than populating them together.  Only a hint: where it is refused the pages
// come on first touch.
void populate_plane(void* plane, size_t bytes) {
#if defined(MADV_POPULATE_WRITE)
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) {
        return;
    }
    const uintptr_t size = static_cast<uintptr_t>(page);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(plane);
    const uintptr_t first = (begin + size - 1) / size * size;
    const uintptr_t last = (begin + bytes) / size * size;
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
    }
#else
    (void)plane;
    (void)bytes;
#endif
}

// How a reader takes the pixels of its plane, and the words of its messages.
struct pixel_kind {
    int datatype;        // cfitsio type the pixels are converted to
    size_t elem_size;    // bytes a pixel in memory
    const char* what;    // the buffer, in the allocation message
    const char* kind;    // the image, in the read message
    const char* routine; // the reader named in the messages
};

const pixel_kind kFloatPixels{TFLOAT, sizeof(float), "float_image", "float", "read_fits"};
const pixel_kind kShortPixels{TSHORT, sizeof(int16_t), "short_image", "short", "read_fits_s"};

const pixel_kind& kind_of(int datatype) {
    return datatype == TFLOAT ? kFloatPixels : kShortPixels;
}

// Allocates a plane of the frame's size or ends the run with the allocation message.
void* alloc_plane(const frame_dims& d, const pixel_kind& k, fitsfile* fptr) {
    size_t npix = 0;
    void* plane = nullptr;
    if (stackle_plane_pixels(d.xdim, d.ydim, k.elem_size, &npix)) {
        plane = std::malloc(npix * k.elem_size);
    }
    if (plane != nullptr && file_holds(fptr, npix * k.elem_size)) {
        populate_plane(plane, npix * k.elem_size);
    }
    if (plane == nullptr) {
        std::printf("\aERROR: Can't allocate required memory for %s in %s()\n", k.what, k.routine);
        fail(fptr);
    }
    return plane;
}

// The read message of the reader, with the library's report.
void print_read_failed(const char* fn, const pixel_kind& k, int status) {
    std::printf("\aERROR: Attempt to read %s image from file %s FAILED in %s().\n", k.kind, fn,
                k.routine);
    report(status);
}

// Reads `count` pixels from pixel `first` (1 = the first) into `buf`; false, with the read
// message of the reader printed, when they cannot be read.
bool read_pixels(fitsfile* fptr, const char* fn, const pixel_kind& k, long long first,
                 long long count, void* buf) {
    int anynul = 0;
    int status = 0;
    // Undefined pixels of a float plane are NaN; a mask keeps every stored value, BLANK too.
    const void* undefined = k.datatype == TFLOAT ? undefined_pixel_value(fptr) : nullptr;
    if (fits_read_img(fptr, k.datatype, first, count, const_cast<void*>(undefined), buf, &anynul,
                      &status)) {
        print_read_failed(fn, k, status);
        return false;
    }
    return true;
}

// Loads the whole plane of the frame into a new buffer, or ends the run: a plane that could
// not be read whole would carry undefined values into the result.
void* read_plane(fitsfile* fptr, const char* fn, const frame_dims& d, const pixel_kind& k,
                 int debug) {
    void* plane = alloc_plane(d, k, fptr);
    if (debug) {
        std::printf("Allocated image array.\n");
    }
    if (!read_pixels(fptr, fn, k, 1, plane_pixels(d), plane)) {
        std::free(plane);
        fail(fptr);
    }
    return plane;
}

// BITPIX of the open image, or the end of the run with the message of `routine`.  With
// `of_values`, the type of the values it holds: scaled integers holding fractions are
// floating point.
int read_bitpix(fitsfile* fptr, const char* fn, const char* routine, bool of_values) {
    int bitpix = 0;
    int status = 0;
    if (of_values ? fits_get_img_equivtype(fptr, &bitpix, &status)
                  : fits_get_img_type(fptr, &bitpix, &status)) {
        std::printf("\aERROR: Attempt to read bitpix from file %s FAILED in %s().\n", fn, routine);
        report(status);
        fail(fptr);
    }
    return bitpix;
}

// ---------------------------------------------------------------- float reader

// Applies the FOVID rule of read_fits (see coadd_fits.h).
void check_fovid(fitsfile* fptr, const char* fn, int* req_fovid) {
    if (*req_fovid == kFovidSkip) {
        return;
    }
    int found = 0;
    int status = 0;
    if (fits_read_key(fptr, TINT, "FOVID", &found, nullptr, &status)) {
        std::printf("\aERROR: Required keyword FOVID not found in FITS file %s [in read_fits()]\n",
                    fn);
        std::printf("returned status=%d\n", status);
        fail(fptr);
    }
    if (*req_fovid < 0) {
        *req_fovid = found;
    } else if (found != *req_fovid) {
        std::printf("\aERROR: FOVID=%1d in first data file, but FOVID=%1d in FITS file %s [in "
                    "read_fits()]\n",
                    *req_fovid, found, fn);
        std::printf("       All input data files MUST have identical FOVID numbers\n");
        std::printf("returned status=%d\n", status);
        fail(fptr);
    }
}

// Accepts FLOAT_IMG, and DOUBLE_IMG with a caution; anything else ends the run.
void check_float_bitpix(fitsfile* fptr, const char* fn, int debug) {
    const int bitpix = read_bitpix(fptr, fn, "read_fits", true);
    if (bitpix == FLOAT_IMG) {
        if (debug) {
            std::printf("BITPIX is %1d -- GOOD.\n", bitpix);
        }
    } else if (bitpix == DOUBLE_IMG) {
        std::printf("\nCAUTION: in file %s BITPIX is %0d, not %0d (FLOAT_IMG) -- will continue "
                    "anyway.\n\n",
                    fn, DOUBLE_IMG, FLOAT_IMG);
    } else {
        std::printf("\aERROR: In read_fits() the file %s has incorrect BITPIX:\n", fn);
        std::printf("\aERROR: BITPIX is %1d ", bitpix);
        std::printf("but it should be %1d (FLOAT_IMG) ", FLOAT_IMG);
        std::printf("[%1d (DOUBLE_IMG) is also permitted]\n", DOUBLE_IMG);
        fail(fptr);
    }
}

// Debug statistics of a float plane: NaN count, minimum, maximum and average of the rest.
void print_float_stats(const char* fn, const float* plane, long long npix) {
    long long nan_count = 0;
    long long num_count = 0;
    float vmin = plane[0];
    float vmax = plane[0];
    float sum = 0.0f;
    for (long long i = 0; i < npix; ++i) {
        const float v = plane[i];
        if (stackle_isnan(v)) {
            ++nan_count;
            continue;
        }
        if (stackle_isnan(vmin) || v <= vmin) {
            vmin = v;
        }
        if (stackle_isnan(vmax) || v >= vmax) {
            vmax = v;
        }
        sum += v;
        ++num_count;
    }
    std::printf("In read_fits(), file \"%s\" has:\n", fn);
    std::printf("    NaN Count     is %1lld\n", nan_count);
    std::printf("    Minimum value is %g\n", vmin);
    std::printf("    Maximum value is %g\n", vmax);
    std::printf("    Average value is %g\n", sum / static_cast<float>(num_count));
}

// ---------------------------------------------------------------- 16-bit reader

void print_short_samples(const char* fn, const int16_t* plane, const frame_dims& d) {
    std::printf("Read in file %s, with sample values as follows:\n", fn);
    const long long npix = plane_pixels(d);
    if (npix <= 35) {
        for (int y = 0; y < d.ydim; ++y) {
            for (int x = 0; x < d.xdim; ++x) {
                std::printf("s[%1d,%1d]=%5d  ", x, y,
                            plane[static_cast<long long>(y) * d.xdim + x]);
            }
            std::printf("\n");
        }
        return;
    }
    for (long long k = 0; k < 20; ++k) {
        const long long i = 10 + 5LL * d.xdim * k;
        if (i + 45 >= npix) {
            break;
        }
        for (int j = 0; j < 10; ++j) {
            std::printf(j < 9 ? "s[%05lld]=%3d  " : "s[%05lld]=%3d\n", i + 5LL * j,
                        plane[i + 5LL * j]);
        }
    }
}

void check_short_bitpix(fitsfile* fptr, const char* fn, int debug) {
    const int bitpix = read_bitpix(fptr, fn, "read_fits_s", false);
    if (bitpix != SHORT_IMG) {
        std::printf("\aERROR: In read_fits_s() the file %s has incorrect BITPIX:\n", fn);
        std::printf("\aERROR: BITPIX should be %1d but it is %1d\n\n", SHORT_IMG, bitpix);
        fail(fptr);
    }
    if (debug) {
        std::printf("BITPIX is %1d -- GOOD.\n", bitpix);
    }
}

// ---------------------------------------------------------------- opening an input

// Opens a float input and makes the checks of read_fits before its pixels (FOVID rule,
// BITPIX, size), ending the run on the first that fails.
fitsfile* open_float_input(const char* fn, int* req_fovid, int debug, frame_dims* d) {
    if (debug) {
        std::printf("In read_fits() with fits_filename=\"%s\"\n", fn);
    }
    fitsfile* fptr = open_or_end(fn, READONLY, "read", "read_fits");
    check_fovid(fptr, fn, req_fovid);
    check_float_bitpix(fptr, fn, debug);
    *d = plane_dims(fptr, fn, "read_fits", "Dimensions read as xdim=%1d ydim=%1d in read_fits()\n",
                    debug);
    return fptr;
}

// Opens a 16-bit input and makes the checks of read_fits_s before its pixels.
fitsfile* open_short_input(const char* fn, int debug, frame_dims* d) {
    if (debug) {
        std::printf("In read_fits_s() with fits_filename=\"%s\"\n", fn);
    }
    fitsfile* fptr = open_or_end(fn, READONLY, "read", "read_fits_s");
    check_short_bitpix(fptr, fn, debug);
    *d = plane_dims(fptr, fn, "read_fits_s", "Dimensions read as xdim=%1d ydim=%1d\n", debug);
    return fptr;
}

// Where the stored values of the open image start, when they are the values a read as
// `datatype` gives, only in FITS (big-endian) byte order: stored as that type (BITPIX -32
// for TFLOAT, 16 for TSHORT) with no scaling, so the library's conversion would copy every
// value unchanged.  -1 otherwise.
LONGLONG stored_as_read(fitsfile* fptr, int datatype) {
    int bitpix = 0;
    int status = 0;
    double scale = 1.0;
    double zero = 0.0;
    LONGLONG head = 0;
    LONGLONG data = -1;
    LONGLONG end = 0;
    fits_get_img_type(fptr, &bitpix, &status);
    fits_get_hduaddrll(fptr, &head, &data, &end, &status);
    if (status != 0 || bitpix != (datatype == TFLOAT ? FLOAT_IMG : SHORT_IMG)) {
        return -1;
    }
    for (const char* key : {"BSCALE", "BZERO"}) {
        double* value = key[1] == 'S' ? &scale : &zero;
        if (fits_read_key(fptr, TDOUBLE, key, value, nullptr, &status) == KEY_NO_EXIST) {
            status = 0; // absent: the default
        }
    }
    return status == 0 && scale == 1.0 && zero == 0.0 ? data : -1;
}

// Byte order of `count` values of `size` bytes (4 or 2) reversed in place: FITS stores
// values big-endian.
void reverse_bytes(unsigned char* buf, size_t count, size_t size) {
    for (size_t i = 0; i < count; ++i, buf += size) {
        for (size_t a = 0, b = size - 1; a < b; ++a, --b) {
            unsigned char t = buf[a];
            buf[a] = buf[b];
            buf[b] = t;
        }
    }
}

#if defined(STACKLE_AVX2_SWAP)
// reverse_bytes 32 bytes at a time, on processors with AVX2 (chosen at run time).
__attribute__((target("avx2"))) size_t reverse_bytes_avx2(unsigned char* buf, size_t count,
                                                          size_t size) {
    const __m128i order4 = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    const __m128i order2 = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    const __m256i order = _mm256_broadcastsi128_si256(size == 4 ? order4 : order2);
    const size_t bytes = count * size;
    size_t done = 0;
    for (; done + 32 <= bytes; done += 32) {
        __m256i* at = reinterpret_cast<__m256i*>(buf + done);
        _mm256_storeu_si256(at, _mm256_shuffle_epi8(_mm256_loadu_si256(at), order));
    }
    return done / size;
}
#endif

// Puts `count` values of `size` bytes read as stored into the host's byte order.
void to_host_order(void* band, size_t count, size_t size) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    auto* buf = static_cast<unsigned char*>(band);
    size_t done = 0;
#if defined(STACKLE_AVX2_SWAP)
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    if (has_avx2) {
        done = reverse_bytes_avx2(buf, count, size);
    }
#endif
    reverse_bytes(buf + done * size, count - done, size);
#else
    (void)band;
    (void)count;
    (void)size;
#endif
}

// Reads `count` values from value `first` (0 = the first) of an input whose stored values
// are those of the read (see stored_as_read) as they are stored, straight from its file into
// `band`; false, with a FITS status, when they cannot all be read.
bool read_stored(const band_input* in, long long first, long long count, void* band, int* status) {
    const size_t bytes = static_cast<size_t>(count) * in->elem_size;
    off_t at = static_cast<off_t>(in->stored_at + first * static_cast<long long>(in->elem_size));
    size_t done = 0;
    while (done < bytes) {
        const ssize_t got = pread(in->fd, static_cast<char*>(band) + done, bytes - done, at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            *status = got == 0 ? END_OF_FILE : READ_ERROR;
            return false;
        }
        done += static_cast<size_t>(got);
        at += got;
    }
    to_host_order(band, static_cast<size_t>(count), in->elem_size);
    return true;
}

// A descriptor of its own on the plain regular file behind the open image, or -1.  The file is
// opened again only once it is known to be a regular file (never a pipe, whose data would be
// taken from the library), and only kept when it is still one.
int open_plain_file(fitsfile* fptr) {
    std::string file;
    long long data = 0;
    long long size = 0;
    if (!plain_file_of(fptr, &file, &data, &size)) {
        return -1;
    }
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

// The band record of an opened input.  A plain file holding the whole plane stays open: when
// its values are stored as the read gives them, on a descriptor of its own read directly (the
// library's file is closed), else through the library.  Anything else is read whole now, by
// the whole-plane read with its messages, and closed.
band_input keep_for_bands(fitsfile* fptr, const char* fn, const frame_dims& d, const pixel_kind& k,
                          int debug) {
    band_input in{fn, fptr, nullptr, k.datatype, k.elem_size, d.xdim, d.ydim, -1, -1};
    size_t npix = 0;
    if (stackle_plane_pixels(d.xdim, d.ydim, k.elem_size, &npix) &&
        file_holds(fptr, npix * k.elem_size)) {
        const LONGLONG stored_at = stored_as_read(fptr, k.datatype);
        in.fd = stored_at >= 0 ? open_plain_file(fptr) : -1;
        if (in.fd >= 0) {
            in.stored_at = stored_at;
            close_input(fptr);
            in.fptr = nullptr;
        }
        return in;
    }
    in.whole = read_plane(fptr, fn, d, k, debug);
    close_input(fptr);
    in.fptr = nullptr;
    return in;
}

// ---------------------------------------------------------------- FMASK lists

// Reads a string keyword of the FMASK header or ends the run.
void read_list_key(fitsfile* fptr, const char* fn, const char* key, char value[FLEN_VALUE]) {
    int status = 0;
    if (fits_read_key(fptr, TSTRING, key, value, nullptr, &status)) {
        std::printf("\aERROR: unable to find required keyword %s in FITS file %s\n", key, fn);
        report(status);
        fail(fptr);
    }
}

// Parses a bracketed list of integers such as "[ 1,2, 4 ]" into out (at most
// STACKLE_MAX_FOVS entries); ends the run on malformed text.  Returns the count.
int parse_int_list(const char* text, const char* key, int* out) {
    char work[FLEN_VALUE];
    std::snprintf(work, sizeof work, "%s", text);
    int count = 0;
    for (char* tok = std::strtok(work, " [],"); tok != nullptr;
         tok = std::strtok(nullptr, " [],")) {
        if (count == STACKLE_MAX_FOVS) {
            std::printf("ERROR: Maximum number of FOVs, %d, exceeded in %s\n", STACKLE_MAX_FOVS,
                        key);
            std::exit(STACKLE_FAIL);
        }
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(tok, &end, 10);
        if (end == tok || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
            std::printf("ERROR converting %s string, \"%s\"\n", key, text);
            std::exit(STACKLE_FAIL);
        }
        out[count++] = static_cast<int>(v);
    }
    return count;
}

void require_list_text(const char* text, const char* key) {
    if (std::strlen(text) < 2) {
        std::printf("Insufficient info in %s in FMASK file\n", key);
        std::exit(STACKLE_FAIL);
    }
}

// ---------------------------------------------------------------- products

// A product written by the run, kept complete under its temporary name (or in memory) until
// every product is done; `write_fail` is printed when it cannot be put in place.
struct pending_product {
    staged_product staged;
    std::string write_fail;
};

std::vector<std::unique_ptr<pending_product>>& pending_products() {
    static std::vector<std::unique_ptr<pending_product>> pending;
    return pending;
}

// A FITS product being written.
struct product {
    const char* name; // as given, shown in messages
    const char* routine;
    staged_product staged;
};

void print_create_failed(const product& p) {
    std::printf("\aERROR: Attempt to create FITS file %s FAILED in %s().\n", p.name, p.routine);
}

// Creates the product's file; false, with the creation message, when it cannot.
bool create_product(product* p) {
    std::string why;
    int status = FILE_NOT_CREATED;
    if (resolve_product(p->name, true, &p->staged.target, &why)) {
        status = stage_fits(&p->staged);
    }
    if (status != 0) {
        report_product_error(stderr, status, p->staged);
        print_create_failed(*p);
        return false;
    }
    return true;
}

// Ends the run after a fatal writer error (message already printed); nothing of the run's
// products is left.
[[noreturn]] void abandon_product(product* p, int status) {
    report_product_error(stdout, status, p->staged);
    drop_staged(&p->staged);
    std::exit(STACKLE_FAIL);
}

// Keeps a staged product for the commit of the run.
void keep_pending(staged_product* staged, const char* write_fail_fmt, const char* name) {
    auto kept = std::make_unique<pending_product>();
    kept->staged = *staged;
    char text[2 * STACKLE_STRLEN + 160];
    std::snprintf(text, sizeof text, write_fail_fmt, name);
    kept->write_fail = text;
    pending_products().push_back(std::move(kept));
    *staged = staged_product{};
}

// Creates the primary image of a new product or ends the run with `fail_fmt`.
void create_primary(product* p, int bitpix, const control_settings* cs, const char* fail_fmt) {
    long naxes[2] = {cs->xdim, cs->ydim};
    int status = 0;
    if (fits_create_img(p->staged.fptr, bitpix, 2, naxes, &status)) {
        std::printf(fail_fmt, p->name);
        abandon_product(p, status);
    }
}

// Closes a finished product and keeps it for the commit.  A close that cannot write the last
// of the product (a full disk, a file size limit) ends the run like a failed pixel write.
int finish_product(product* p, const char* write_fail_fmt) {
    const int status = close_staged(&p->staged);
    if (status != 0) {
        std::printf(write_fail_fmt, p->name);
        report_product_error(stdout, status, p->staged);
        std::exit(STACKLE_FAIL);
    }
    keep_pending(&p->staged, write_fail_fmt, p->name);
    return 0;
}

// Writes a text product whole for the commit.  Returns 0, or nonzero when it cannot.
int put_text_product(const char* name, const std::string& text, const char* fail_fmt) {
    staged_product staged;
    std::string why;
    if (!resolve_product(name, false, &staged.target, &why) || !stage_text(&staged, text)) {
        return 1;
    }
    keep_pending(&staged, fail_fmt, name);
    return 0;
}

// Comment block, pixels, close and rename: the common end of every image product.
int complete_product(product* p, int datatype, const void* pixels, const control_settings* cs,
                     const char* write_fail_fmt) {
    write_fits_headers(p->staged.fptr, cs);
    const LONGLONG npix = static_cast<LONGLONG>(cs->xdim) * cs->ydim;
    int status = 0;
    if (fits_write_img(p->staged.fptr, datatype, 1, npix, const_cast<void*>(pixels), &status)) {
        std::printf(write_fail_fmt, p->name);
        abandon_product(p, status);
    }
    return finish_product(p, write_fail_fmt);
}

// Starts the product as a float image of the frame's size whose header carries the keywords
// of the first data file's image that describe the image and the observation (see
// fits_storage.h); true when they were copied.
bool copy_first_header(product* p, const char* first_file, const control_settings* cs) {
    fitsfile* in = nullptr;
    int status = 0;
    if (open_stored_image(&in, first_file, READONLY, &status)) {
        fits_clear_errmsg();
        return false;
    }
    if (cs->debug) {
        std::printf("Copy the HDU from %s to %s in write_flt_fits_with_hdrs()\n", first_file,
                    p->name);
    }
    const long naxes[2] = {cs->xdim, cs->ydim};
    bool copied = create_image_like(in, p->staged.fptr, FLOAT_IMG, 2, naxes, &status) == 0;
    if (!copied) {
        std::printf("Problem in fits_copy_hdu() from %s to %s in write_flt_fits_with_hdrs()\n",
                    first_file, p->name);
        fits_clear_errmsg();
    } else if (cs->debug) {
        std::printf("HDU Copy SUCCESSFUL.\n");
    }
    status = 0;
    fits_close_file(in, &status);
    return copied;
}

// Keeps the image started with the first file's header, or, when there is none, starts the
// file afresh with a new float image.  False when the file cannot be recreated.
bool shape_copied_image(product* p, bool copied, const control_settings* cs) {
    if (copied) {
        return true;
    }
    long naxes[2] = {cs->xdim, cs->ydim};
    std::printf("fits_resize_img() failed.  Trying fits_create_img()...\n");
    fits_clear_errmsg();
    // Start from an empty file so that the new image is the primary one.
    drop_staged(&p->staged);
    if (!create_product(p)) {
        return false;
    }
    int status = 0;
    if (fits_create_img(p->staged.fptr, FLOAT_IMG, 2, naxes, &status)) {
        std::printf("fits_create_img() failed too.\n");
        std::printf("\aERROR: Attempt to create one-plane image in FITS file %s FAILED in "
                    "write_flt_fits_with_hdrs().\n",
                    p->name);
        abandon_product(p, status);
    }
    return true;
}

// The current local time in the 24-character form "Sat Dec  5 18:05:54 2026".
std::string local_time_text() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &parts);
    return text;
}

// Appends one "[STACKLE]" comment record built from a format.
template <typename... Args>
void comment(fitsfile* fptr, int* status, const char* fmt, Args... args) {
    char text[2 * STACKLE_STRLEN + 128];
    std::snprintf(text, sizeof text, fmt, args...);
    fits_write_comment(fptr, text, status);
}

void comment(fitsfile* fptr, int* status, const char* text) {
    fits_write_comment(fptr, text, status);
}

// Records 12 to 17 of the comment block: the inputs.
void input_comments(fitsfile* fptr, const control_settings* cs, int* st) {
    if (cs->namelist_f) {
        comment(fptr, st, "[STACKLE] INPUT FILE:       Namelist = %s", cs->namelist);
    }
    if (cs->data_in_lfile_f) {
        comment(fptr, st, "[STACKLE] INPUT FILE: Data file list = %s", cs->data_in_lfile);
    }
    if (cs->sdev_in_lfile_f) {
        comment(fptr, st, "[STACKLE] INPUT FILE: Sdev file list = %s", cs->sdev_in_lfile);
    }
    if (cs->bmask_in_lfile_f) {
        comment(fptr, st, "[STACKLE] Used BMASK file list %s", cs->bmask_in_lfile);
    }
    if (cs->pmask_in_lfile_f) {
        comment(fptr, st, "[STACKLE] Used PMASK file list %s", cs->pmask_in_lfile);
    }
    if (cs->fmask_in_file_f) {
        comment(fptr, st, "[STACKLE] Used FMASK file %s", cs->fmask_in_file);
        if (cs->fov_for_wts >= 1 && cs->use_weights) {
            comment(fptr, st,
                    "[STACKLE]      with FOV NUMBER = %1d (used to calculate DCE weights)",
                    static_cast<int>(cs->fov_for_wts));
        }
    } else {
        comment(fptr, st, "[STACKLE] Used NO FMASK file.");
    }
}

// Records 5 to 8: the outputs.
void output_comments(fitsfile* fptr, const control_settings* cs, int* st) {
    comment(fptr, st, "[STACKLE] OUTPUT FILE:    Data = %s", cs->data_out_file);
    comment(fptr, st, "[STACKLE] OUTPUT FILE:    Sdev = %s",
            cs->sdev_out_file_f ? cs->sdev_out_file : "(NONE)");
    if (cs->wts_out_file_f) {
        comment(fptr, st, "[STACKLE] OUTPUT FILE: Weights = %s", cs->wts_out_file);
    }
    if (cs->amask_out_file_f) {
        comment(fptr, st, "[STACKLE] OUTPUT FILE:   AMASK = %s", cs->amask_out_file);
    }
}

const char kRule[] = "[STACKLE]===============================================================";

} // namespace

// ================================================================ readers

void read_fits_dims_2d(const char* fits_filename, int* xdim, int* ydim, int debug) {
    if (debug) {
        std::printf("===> read_fits_dims_2d() from \"%s\" using cfitsio:\n", fits_filename);
    }
    fitsfile* fptr = nullptr;
    int status = 0;
    if (open_stored_image(&fptr, fits_filename, READONLY, &status)) {
        std::printf("\aERROR opening FITS file %s in read_fits_dims_2d()\n", fits_filename);
        std::printf("returned status=%d\n", status);
        fail(nullptr);
    }
    frame_dims d{};
    bool too_large = false;
    status = read_dims(fptr, &d, &too_large);
    if (status != 0) {
        std::printf("\aERROR: unable to read the dimensions of file %s [read_fits_dims_2d()]\n",
                    fits_filename);
        std::printf("returned status=%d\n", status);
        fail(fptr);
    }
    if (too_large) {
        std::printf("\aERROR: image in file %s is too large [read_fits_dims_2d()]\n",
                    fits_filename);
        fail(fptr);
    }
    *xdim = d.xdim;
    *ydim = d.ydim;
    if (debug) {
        std::printf("     xdim =%5d\n", d.xdim);
        std::printf("     ydim =%5d\n", d.ydim);
    }
    if (refuse_empty(d, fits_filename, "read_fits_dims_2d")) {
        fail(fptr);
    }
    if (d.npix_all != plane_pixels(d)) {
        std::printf("\aERROR: more than two dimensions in file %s [read_fits_dims_2d()]\n",
                    fits_filename);
        std::printf("       xdim=%1d, ydim=%1d, anaxes[2]=%1ld, npixels=%1lld\n", d.xdim, d.ydim,
                    d.naxes[2], d.npix_all);
        fail(fptr);
    }
    close_input(fptr);
}

float* read_fits(const char* fits_filename, int* xdim, int* ydim, int* req_fovid, int debug) {
    frame_dims d{};
    fitsfile* fptr = open_float_input(fits_filename, req_fovid, debug, &d);
    float* plane = static_cast<float*>(read_plane(fptr, fits_filename, d, kFloatPixels, debug));
    close_input(fptr);
    *xdim = d.xdim;
    *ydim = d.ydim;
    if (debug) {
        std::printf("Reading... COMPLETED.\n");
        print_float_stats(fits_filename, plane, plane_pixels(d));
    }
    return plane;
}

int16_t* read_fits_s(const char* fits_filename, int* xdim, int* ydim, int debug) {
    frame_dims d{};
    fitsfile* fptr = open_short_input(fits_filename, debug, &d);
    int16_t* plane = static_cast<int16_t*>(read_plane(fptr, fits_filename, d, kShortPixels, debug));
    if (debug) {
        std::printf("Reading... COMPLETED.\n");
        print_short_samples(fits_filename, plane, d);
    }
    close_input(fptr);
    *xdim = d.xdim;
    *ydim = d.ydim;
    return plane;
}

// ================================================================ band reading

band_input open_fits_bands(const char* fits_filename, int* xdim, int* ydim, int* req_fovid,
                           int debug) {
    frame_dims d{};
    fitsfile* fptr = open_float_input(fits_filename, req_fovid, debug, &d);
    *xdim = d.xdim;
    *ydim = d.ydim;
    return keep_for_bands(fptr, fits_filename, d, kFloatPixels, debug);
}

band_input open_fits_s_bands(const char* fits_filename, int* xdim, int* ydim, int debug) {
    frame_dims d{};
    fitsfile* fptr = open_short_input(fits_filename, debug, &d);
    *xdim = d.xdim;
    *ydim = d.ydim;
    return keep_for_bands(fptr, fits_filename, d, kShortPixels, debug);
}

void read_band(const band_input* in, int first_row, int nrows, void* band) {
    const long long first = static_cast<long long>(first_row) * in->xdim;
    const long long count = static_cast<long long>(nrows) * in->xdim;
    if (in->whole != nullptr) {
        std::memcpy(band, static_cast<const char*>(in->whole) + first * in->elem_size,
                    count * in->elem_size);
    } else if (in->stored_at >= 0) {
        int status = 0;
        if (!read_stored(in, first, count, band, &status)) {
            print_read_failed(in->name, kind_of(in->datatype), status);
            fail(nullptr);
        }
    } else if (!read_pixels(in->fptr, in->name, kind_of(in->datatype), first + 1, count, band)) {
        fail(in->fptr);
    }
}

void close_band_input(band_input* in) {
    if (in->fptr != nullptr) {
        close_input(in->fptr);
    }
    if (in->fd >= 0) {
        close(in->fd);
    }
    std::free(in->whole);
    in->fd = -1;
    in->fptr = nullptr;
    in->whole = nullptr;
}

bool band_inputs_fit(long count) {
    struct rlimit lim {};
    if (count < 0 || getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        return false;
    }
    // Half the process's limit: the products, the FMASK and anything the library opens for
    // itself need the rest.
    const bool process_ok =
        lim.rlim_cur == RLIM_INFINITY || static_cast<rlim_t>(count) <= lim.rlim_cur / 2;
    return process_ok && count + kOtherOpenFiles <= kLibraryOpenFiles;
}

void read_fmask_lists(control_settings* cs) {
    if (!cs->fmask_in_file_f) {
        std::printf("ERROR:  Weird programming error in read_fmask_lists() -- FMASK file not "
                    "defined.\n");
        std::exit(STACKLE_FAIL);
    }
    const char* fn = cs->fmask_in_file;
    // The list reader reports an open failure in the words of the 16-bit reader.
    fitsfile* fptr = open_or_end(fn, READONLY, "read", "read_fits_s");
    char fovtext[FLEN_VALUE];
    char bittext[FLEN_VALUE];
    read_list_key(fptr, fn, "FOVLIST", fovtext);
    read_list_key(fptr, fn, "BITLIST", bittext);
    close_input(fptr);
    require_list_text(fovtext, "FOVLIST");
    require_list_text(bittext, "BITLIST");
    const int nfov = parse_int_list(fovtext, "FOVLIST", cs->fovlist);
    const int nbit = parse_int_list(bittext, "BITLIST", cs->bitlist);
    if (nfov != nbit) {
        std::printf("ERROR: Number of list elements in FOVLIST (%1d) and BITLIST (%1d) do not "
                    "match\n",
                    nfov, nbit);
        std::exit(STACKLE_FAIL);
    }
    cs->num_fovs = static_cast<signed char>(nfov);
    if (cs->debug) {
        std::printf("Completed reading in %1d elements in FOVLIST and BITLIST as follows: \n",
                    nfov);
        for (int i = 0; i < nfov; ++i) {
            std::printf("   For i=%1d, FOVLIST = %2d  BITLIST = %2d\n", i, cs->fovlist[i],
                        cs->bitlist[i]);
        }
    }
}

void read_fmask_params(const char* fmask_filename, control_settings* cs) {
    if (cs->debug) {
        std::printf("===> read_fmask_params() from \"%s\" using cfitsio:\n", fmask_filename);
    }
    fitsfile* fptr = nullptr;
    int status = 0;
    if (open_stored_image(&fptr, fmask_filename, READONLY, &status)) {
        std::printf("\aERROR opening FMASK FITS file %s in read_fmask_params()\n", fmask_filename);
        std::printf("returned status=%d\n", status);
        fail(nullptr);
    }
    int16_t usefovid = 0;
    if (fits_read_key(fptr, TSHORT, "USEFOVID", &usefovid, nullptr, &status)) {
        std::printf("\aERROR: Required keyword USEFOVID not found in FITS file %s in "
                    "read_fmask_params()\n",
                    fmask_filename);
        std::printf("returned status=%d\n", status);
        fail(fptr);
    }
    close_input(fptr);
    cs->usefovid = usefovid;
    cs->usefovid_f = 1;
    if (cs->verbose) {
        std::printf("In fmask file %s, read keyword:  ", fmask_filename);
        std::printf("   USEFOVID = %2d\n", static_cast<int>(cs->usefovid));
    }
    if (cs->debug) {
        std::printf(" USEFOVID_f = %2d\n", static_cast<int>(cs->usefovid_f));
    }
}

// ================================================================ diagnostics

void print_fits_data(const char* fits_filename) {
    int xdim = 0;
    int ydim = 0;
    int fovid = -1;
    float* plane = read_fits(fits_filename, &xdim, &ydim, &fovid, 0);
    std::printf("\nFITS FILE DATA in %s with xdim=%0d and ydim=%0d\n", fits_filename, xdim, ydim);
    for (int y = 0; y < ydim && y < 10; ++y) {
        for (int x = 0; x < xdim && x < 10; ++x) {
            std::printf("%6.1f ", plane[static_cast<long long>(y) * xdim + x]);
        }
        std::printf("\n");
    }
    std::free(plane);
}

void print_fits_data_s(const char* fits_filename) {
    int xdim = 0;
    int ydim = 0;
    int16_t* plane = read_fits_s(fits_filename, &xdim, &ydim, 0);
    std::printf("\nFITS FILE DATA in %s with xdim=%0d and ydim=%0d\n", fits_filename, xdim, ydim);
    for (int y = 0; y < ydim; ++y) {
        for (int x = 0; x < xdim; ++x) {
            std::printf("%6d ", plane[static_cast<long long>(y) * xdim + x]);
        }
        std::printf("\n");
    }
    std::free(plane);
}

void compare_fits_data(const char* file_a, const char* file_b) {
    int xa = 0, ya = 0, xb = 0, yb = 0;
    int fovid = kFovidSkip;
    float* a = read_fits(file_a, &xa, &ya, &fovid, 0);
    std::printf("FITS FILE DATA in %s with xdim=%0d and ydim=%0d\n", file_a, xa, ya);
    float* b = read_fits(file_b, &xb, &yb, &fovid, 0);
    std::printf("FITS FILE DATA in %s with xdim=%0d and ydim=%0d\n", file_b, xb, yb);
    int nan_pairs = 0;
    for (int y = 0; y < ya && y < yb; ++y) {
        for (int x = 0; x < xa && x < xb; ++x) {
            const float va = a[static_cast<long long>(y) * xa + x];
            const float vb = b[static_cast<long long>(y) * xb + x];
            if (va == vb) {
                continue;
            }
            if (stackle_isnan(va) && stackle_isnan(vb)) {
                ++nan_pairs;
                continue;
            }
            std::printf("x=%03d y=%03d  |  A=%7.4f  B=%7.4f  DELTA=%g\n", x, y, va, vb, va - vb);
        }
    }
    std::printf("There were %1d matching NaN pairs found\n", nan_pairs);
    std::free(a);
    std::free(b);
}

// ================================================================ writers

int write_flt_fits(const char* out_filename, const float* image, const control_settings* cs) {
    product p{out_filename, "write_flt_fits", {}};
    if (!create_product(&p)) {
        return 1;
    }
    create_primary(&p, FLOAT_IMG, cs,
                   "\aERROR: Attempt to create one-plane image in FITS file %s FAILED in "
                   "write_flt_fits().\n");
    const int result = complete_product(
        &p, TFLOAT, image, cs,
        "\aERROR: Attempt to write float image to file %s FAILED in write_flt_fits().\n");
    if (result == 0 && cs->debug) {
        std::printf("Completed writing FLOAT DATA file %s\n", out_filename);
    }
    return result;
}

int write_flt_fits_with_hdrs(const char* first_data_file, const char* out_filename,
                             const float* image, const control_settings* cs) {
    if (cs->debug) {
        std::printf("Beginning to write file %s using write_flt_fits_from_dbl()\n", out_filename);
    }
    product p{out_filename, "write_flt_fits_with_hdrs", {}};
    if (!create_product(&p)) {
        return 1;
    }
    const bool copied = copy_first_header(&p, first_data_file, cs);
    if (!shape_copied_image(&p, copied, cs)) {
        return 1;
    }
    const int result = complete_product(
        &p, TFLOAT, image, cs,
        "\aERROR: Attempt to write float image to file %s FAILED in write_flt_fits_from_dbl().\n");
    if (result == 0 && cs->debug) {
        std::printf("Completed writing FLOAT DATA file %s using write_flt_fits_with_hdrs()\n",
                    out_filename);
    }
    return result;
}

int write_amask(const int16_t* amask, const control_settings* cs) {
    product p{cs->amask_out_file, "write_amask", {}};
    if (!create_product(&p)) {
        return 1;
    }
    create_primary(&p, SHORT_IMG, cs,
                   "\aERROR: Attempt to create short image in FITS file %s FAILED in "
                   "write_amask().\n");
    return complete_product(
        &p, TSHORT, amask, cs,
        "\aERROR: Attempt to write short image to file %s FAILED in write_flt_fits_from_dbl().\n");
}

int write_weights_list(const float* dce_weight, const char (*data_files)[STACKLE_STRLEN],
                       const control_settings* cs) {
    const char* name = cs->wts_out_file;
    if (cs->debug) {
        std::printf("Beginning writing %1d Weights to the Weights List file %s\n", cs->num_files,
                    name);
    }
    std::string text;
    char line[STACKLE_STRLEN + 64]; // the weight takes at most 46 characters
    for (int i = 0; i < cs->num_files; ++i) {
        std::snprintf(line, sizeof line, "%15.4f  %s\n", dce_weight[i], data_files[i]);
        text += line;
    }
    if (put_text_product(name, text,
                         "\aERROR: Unable to open Weights List File %s for writing\n") != 0) {
        std::printf("\aERROR: Unable to open Weights List File %s for writing\n", name);
        std::exit(STACKLE_FAIL);
    }
    return 0;
}

void write_fits_headers(fitsfile* fptr, const control_settings* cs) {
    if (cs->debug) {
        std::printf("REMINDER: Maximum number of headers that may be ");
        std::printf("*added* by stackle is: %d\n", kHeaderRoom);
    }
    int st = 0;
    comment(fptr, &st, kRule);
    comment(fptr, &st, "[STACKLE] MODULE %s", cs->progname);
    comment(fptr, &st, "[STACKLE] VERSION = %4.2f", STACKLE_VERSION);
    comment(fptr, &st, "[STACKLE] Processed at %s", local_time_text().c_str());
    output_comments(fptr, cs, &st);
    comment(fptr, &st, "[STACKLE] Output Data file is the result of coadding %1d FITS files",
            static_cast<int>(cs->num_files));
    comment(fptr, &st, "[STACKLE] These FITS files had dimensions:  xdim=%1d & ydim=%1d",
            static_cast<int>(cs->xdim), static_cast<int>(cs->ydim));
    comment(fptr, &st, "[STACKLE] DCE weighting was TURNED %s", cs->use_weights ? "ON" : "OFF");
    input_comments(fptr, cs, &st);
    comment(fptr, &st, "[STACKLE] NOTE:  The output sdev FITS file is a quick approximation ");
    comment(fptr, &st, "[STACKLE]        that is intended to be upgraded in a later release. ");
    comment(fptr, &st, kRule);
    if (st != 0) {
        report(st);
    }
}

void insert_int_keyword(const char* fits_filename, const char* keyword, int value) {
    fitsfile* fptr = open_or_end(fits_filename, READWRITE, "open", "insert_int_keyword");
    int status = 0;
    int old = 0;
    while (fits_read_key(fptr, TINT, keyword, &old, nullptr, &status) == 0) {
        if (fits_delete_key(fptr, keyword, &status)) {
            std::printf("\aERROR: failure while trying to delete keyword %s in FITS file %s [in "
                        "insert_int_keyword()]\n",
                        keyword, fits_filename);
            report(status);
            fail(fptr);
        }
    }
    status = 0;
    fits_clear_errmsg();
    if (fits_write_key(fptr, TINT, keyword, &value, "VJ: added keyword", &status)) {
        std::printf("\aERROR: Unable to insert keyword %s=%1d into FITS file %s [in "
                    "insert_int_keyword()]\n",
                    keyword, value, fits_filename);
        std::printf("returned status=%d\n", status);
        fail(fptr);
    }
    close_input(fptr);
}

int commit_products() {
    std::vector<staged_product*> staged;
    for (auto& p : pending_products()) {
        staged.push_back(&p->staged);
    }
    const int failed = commit_staged(staged);
    if (failed >= 0) {
        const int err = errno;
        std::printf("%s", pending_products()[failed]->write_fail.c_str());
        std::printf("       %s\n", std::strerror(err));
    }
    for (staged_product* p : staged) {
        drop_staged(p);
    }
    pending_products().clear();
    return failed >= 0 ? 1 : 0;
}
