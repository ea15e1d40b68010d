// Output products: the Dmask written back into its own file, the flat-fielded DCE and its
// uncertainty as new files with the input headers, each with one history line.
#include "plenor.h"

#include "fits_names.h"
#include "fits_storage.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

void plenor_asctime(const struct tm* when, char* out, size_t cap) {
    if (std::strftime(out, cap, "%a %b %e %H:%M:%S %Y\n", when) == 0 && cap > 0) {
        out[0] = '\0';
    }
}

void plenor_history_text(char* out, size_t cap, const char* program, const char* version,
                         const struct tm* when) {
    char time_text[64];
    plenor_asctime(when, time_text, sizeof time_text);
    std::snprintf(out, cap, "%-25.25s %2s %5.12s   %.24s", program, "v.", version, time_text);
}

void writeDLhistoryline(fitsfile* fp, const char* program, const char* version, int* status) {
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char text[128];
    plenor_history_text(text, sizeof text, program, version, &local);
    fits_write_history(fp, text, status);
}

namespace {

const char program_name[] = "PLENOR";

void version_text(char* out, size_t cap) {
    std::snprintf(out, cap, "%.3f", static_cast<double>(PLENOR_VERSION));
}

void set_write_failure(run_control* rc, int fits_status) {
    rc->status = plenor_code(FCN_OUTPUT_DATA, MSG_FITS_STATUS) | fits_status;
}

// A failed history line carries the function and the FITS status like any other failure.
void set_history_failure(run_control* rc, int fits_status) {
    set_write_failure(rc, fits_status);
}

void close_quietly(fitsfile* fp) {
    int ignored = 0;
    if (fp != nullptr) {
        fits_close_file(fp, &ignored);
    }
}

// Which failure a product reports: a FITS call that failed or the history line, both as
// 0x1E1000 OR the FITS status, so that the report names the function.
void fail_with(run_control* rc, int fits_status, bool history) {
    fits_report_error(stderr, fits_status);
    if (history) {
        set_history_failure(rc, fits_status);
    } else {
        set_write_failure(rc, fits_status);
    }
}

// The file name behind a FITS output name (without the leading "!" that asks for replacement).
std::string plain_name(const char* name) {
    return std::string(name[0] == '!' ? name + 1 : name);
}

// Longest part of a file's own name kept in its temporary name, so that the temporary name
// stays within the file system's limit on one name.
const size_t temp_base_max = 200;

// Temporary name of a product in its final folder: ".part-" before the file's own name (or
// its last characters, so that a compression suffix still applies).  A stale one left by an
// interrupted run is replaced.
std::string temp_name_for(const std::string& name) {
    const size_t slash = name.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const size_t length = name.size() - base;
    const size_t keep = length > temp_base_max ? name.size() - temp_base_max : base;
    return name.substr(0, base) + ".part-" + name.substr(keep);
}

// How a product reaches its final name.
enum target_kind {
    TARGET_FILE,   // written under a temporary name and renamed into place once complete
    TARGET_DEVICE, // a device or pipe: built in memory and written in one go at the end
                   // (renaming a file over it would replace the device)
    TARGET_DIRECT, // standard output or a name with FITS library qualifiers: written as named
    TARGET_FOLDER, // refused
};

target_kind kind_of(const std::string& name) {
    if (fits_special_name(name)) {
        return TARGET_DIRECT;
    }
    struct stat info {};
    if (stat(name.c_str(), &info) != 0 || S_ISREG(info.st_mode)) {
        return TARGET_FILE;
    }
    return S_ISDIR(info.st_mode) ? TARGET_FOLDER : TARGET_DEVICE;
}

// A new product being written; it never appears half-written under its final name.
struct product_file {
    target_kind kind;
    std::string name; // final name
    std::string temp; // temporary name (TARGET_FILE)
    fitsfile* fp;
    void* mem; // the product built in memory (TARGET_DEVICE)
    size_t mem_size;
};

// Opens the product's FITS file by its kind; returns the FITS status.
int open_product(const char* output, product_file* p) {
    int st = 0;
    if (p->kind == TARGET_DEVICE) {
        fits_create_memfile(&p->fp, &p->mem, &p->mem_size, 0, std::realloc, &st);
    } else if (p->kind == TARGET_DIRECT) {
        fits_create_file(&p->fp, output, &st);
    } else {
        p->temp = temp_name_for(p->name);
        fits_create_file(&p->fp, ("!" + p->temp).c_str(), &st);
    }
    return st;
}

// Creates the product's FITS file; false (with the FITS status set) when it cannot.
bool create_product(const char* output, product_file* p, int* st) {
    p->name = plain_name(output);
    p->kind = kind_of(p->name);
    p->fp = nullptr;
    p->mem = nullptr;
    p->mem_size = 0;
    if (p->kind == TARGET_FOLDER) {
        std::printf("plenor_output: %s is a folder, not a file\n", p->name.c_str());
        *st = FILE_NOT_CREATED;
        return false;
    }
    *st = open_product(output, p);
    if (*st != 0) {
        std::printf("plenor_output: cannot create %s\n",
                    (p->temp.empty() ? p->name : p->temp).c_str());
        p->fp = nullptr;
        return false;
    }
    return true;
}

// Drops an unfinished product: nothing of it is left under its temporary or final name.
void abandon_product(product_file* p) {
    int ignored = 0;
    if (p->fp != nullptr && p->kind == TARGET_DIRECT) {
        fits_delete_file(p->fp, &ignored);
    } else {
        close_quietly(p->fp);
    }
    p->fp = nullptr;
    if (!p->temp.empty()) {
        std::remove(p->temp.c_str());
    }
    std::free(p->mem);
    p->mem = nullptr;
}

// Copies a product built in memory to its device; false when not every byte arrives.
bool write_to_device(const product_file& p) {
    std::FILE* device = std::fopen(p.name.c_str(), "wb");
    if (device == nullptr) {
        return false;
    }
    bool ok = std::fwrite(p.mem, 1, p.mem_size, device) == p.mem_size;
    ok = std::fclose(device) == 0 && ok;
    return ok;
}

// Closes a complete product and puts it under its final name; false (with the FITS status
// set and the unfinished product removed) when that fails.
bool finish_product(product_file* p, int* st) {
    const int closed = fits_close_file(p->fp, st);
    p->fp = nullptr;
    if (closed != 0) {
        abandon_product(p);
        return false;
    }
    bool placed = true;
    if (p->kind == TARGET_DEVICE) {
        placed = write_to_device(*p);
    } else if (p->kind == TARGET_FILE) {
        placed = std::rename(p->temp.c_str(), p->name.c_str()) == 0;
    }
    if (!placed) {
        std::printf("plenor_output: cannot write %s: %s\n", p->name.c_str(), std::strerror(errno));
        *st = p->kind == TARGET_DEVICE ? WRITE_ERROR : FILE_NOT_CREATED;
        abandon_product(p);
        return false;
    }
    std::free(p->mem);
    p->mem = nullptr;
    return true;
}

// ------------------------------------------------------------------ Dmask

// The Dmask with the marks of the computation, written into its open file in place: the
// history line, then the pixels.
bool update_dmask(fitsfile* fp, size_t count, short* dmask, run_control* rc) {
    int st = 0;
    char version[16];
    version_text(version, sizeof version);
    writeDLhistoryline(fp, program_name, version, &st);
    if (st != 0) {
        close_quietly(fp);
        fail_with(rc, st, true);
        return false;
    }
    if (count > 0) {
        fits_write_img(fp, TSHORT, 1, static_cast<LONGLONG>(count), dmask, &st);
    }
    fits_close_file(fp, &st);
    if (st != 0) {
        fail_with(rc, st, false);
        return false;
    }
    return true;
}

// Opens a Dmask file for its update in place and updates it.
bool update_dmask_file(const char* name, size_t count, short* dmask, run_control* rc) {
    fitsfile* fp = nullptr;
    int st = 0;
    if (fits_open_file(&fp, name, READWRITE, &st) != 0) {
        fail_with(rc, st, true);
        return false;
    }
    return update_dmask(fp, count, dmask, rc);
}

// Copies every HDU after the current one of `in` to the end of `out`.
void copy_following_hdus(fitsfile* in, fitsfile* out, int* st) {
    while (*st == 0 && fits_movrel_hdu(in, 1, nullptr, st) == 0) {
        fits_copy_hdu(in, out, 0, st);
    }
    if (*st == END_OF_FILE) {
        *st = 0;
    }
}

// The new Dmask file, built from the old one's header and extensions and the marked pixels in
// memory: the header with the history line, the pixels (converted to the file's own type and
// scaling, as an update in place would), then the extensions.  The old file is never read
// back through its data unit, so it is read once and written once.
bool rewrite_dmask(fitsfile* in, product_file* p, size_t count, short* dmask, run_control* rc) {
    int st = 0;
    char version[16];
    version_text(version, sizeof version);
    fits_copy_header(in, p->fp, &st);
    writeDLhistoryline(p->fp, program_name, version, &st);
    if (st != 0) {
        fail_with(rc, st, true);
        return false;
    }
    if (count > 0) {
        fits_write_img(p->fp, TSHORT, 1, static_cast<LONGLONG>(count), dmask, &st);
    }
    copy_following_hdus(in, p->fp, &st);
    if (st != 0 || !finish_product(p, &st)) {
        fail_with(rc, st, false);
        return false;
    }
    return true;
}

// The Dmask is written under a temporary name beside it that is renamed over it once
// complete, so that it ends as either the old or the new file, never a mixture; the new file
// keeps the old one's permission bits.  A Dmask that is not a plain file (a device, or a name
// with FITS library qualifiers) is updated in place.  A symbolic link keeps pointing at the
// updated file.
bool write_dmask(const file_names* fn, size_t count, short* dmask, run_control* rc) {
    char* real = realpath(fn->Dmask_File, nullptr);
    struct stat info {};
    if (real == nullptr || stat(real, &info) != 0 || !S_ISREG(info.st_mode)) {
        std::free(real);
        return update_dmask_file(fn->Dmask_File, count, dmask, rc);
    }
    const std::string name(real);
    std::free(real);
    fitsfile* in = nullptr;
    product_file p{};
    int st = 0;
    if (fits_open_file(&in, name.c_str(), READONLY, &st) != 0 ||
        !create_product(name.c_str(), &p, &st)) {
        close_quietly(in);
        fail_with(rc, st, false);
        return false;
    }
    if (chmod(p.temp.c_str(), info.st_mode & 07777) != 0) {
        std::printf("plenor_output: cannot set the mode of %s: %s\n", p.temp.c_str(),
                    std::strerror(errno));
        abandon_product(&p);
        close_quietly(in);
        fail_with(rc, WRITE_ERROR, false);
        return false;
    }
    const bool ok = rewrite_dmask(in, &p, count, dmask, rc);
    if (!ok) {
        abandon_product(&p);
    }
    close_quietly(in);
    return ok;
}

// ------------------------------------------------------------------ DCE and uncertainty

// Starts the product as an image of the input's shape with the input header's keywords that
// describe the image and the observation, and adds the history line.  The product is a
// floating-point image: 64-bit when the input is, else 32-bit (an integer image would truncate
// the flat-fielded values).
bool copy_header(fitsfile* in, fitsfile* out, int* st) {
    char version[16];
    version_text(version, sizeof version);
    int bitpix = 0;
    int naxis = 0;
    long naxes[3] = {0, 0, 0};
    fits_get_img_param(in, 3, &bitpix, &naxis, naxes, st);
    create_image_like(in, out, bitpix == DOUBLE_IMG ? DOUBLE_IMG : FLOAT_IMG, naxis < 3 ? naxis : 3,
                      naxes, st);
    writeDLhistoryline(out, program_name, version, st);
    return *st == 0;
}

// Writes the pixels as floats (after the DATE keyword when asked).  No flush between the
// header and the pixels: a flushed header makes the FITS library read back every data record
// it then writes, which triples the file operations.
bool write_pixels(fitsfile* out, size_t count, float* pixels, bool date, int* st) {
    if (date) {
        fits_write_date(out, st);
    }
    if (count > 0) {
        fits_write_img(out, TFLOAT, 1, static_cast<LONGLONG>(count), pixels, st);
    }
    fits_flush_file(out, st);
    return *st == 0;
}

// The DCE and uncertainty products: a new image with the header of its input.
bool write_product(const char* input, const char* output, size_t count, float* pixels, bool date,
                   run_control* rc) {
    fitsfile* in = nullptr;
    int st = 0;
    product_file p{};
    if (open_stored_image(&in, input, READONLY, &st) != 0 || !create_product(output, &p, &st)) {
        close_quietly(in);
        fail_with(rc, st, false);
        return false;
    }
    if (!copy_header(in, p.fp, &st)) {
        abandon_product(&p);
        close_quietly(in);
        fail_with(rc, st, true);
        return false;
    }
    if (!write_pixels(p.fp, count, pixels, date, &st) || !finish_product(&p, &st)) {
        abandon_product(&p);
        close_quietly(in);
        fail_with(rc, st, false);
        return false;
    }
    if (fits_close_file(in, &st) != 0) {
        fail_with(rc, st, false);
        return false;
    }
    return true;
}

} // namespace

int plenor_output(file_names* fn, image_dims* dims, run_control* rc, const struct tm* start,
                  short* dmask, float* dce, float* unc) {
    char start_text[64];
    plenor_asctime(start, start_text, sizeof start_text);
    std::printf("%s", start_text);
    if (rc->status != 0) {
        return -1;
    }
    size_t plane = 0;
    size_t cube = 0;
    plenor_pixel_counts(dims, &plane, &cube);
    if (fn->Dmask_File[0] != '\0' && !write_dmask(fn, cube, dmask, rc)) {
        return -1;
    }
    if (!write_product(fn->FITS_Input_File, fn->FITS_Output_File, cube, dce, false, rc)) {
        return -1;
    }
    if (fn->Input_Uncertainty_File[0] != '\0' && fn->Output_Uncertainty_File[0] != '\0' &&
        !write_product(fn->Input_Uncertainty_File, fn->Output_Uncertainty_File, cube, unc, true,
                       rc)) {
        return -1;
    }
    if (rc->I_Verbose != 0) {
        std::printf("plenor_output: Results written to file(s).\n");
    }
    return 0;
}
