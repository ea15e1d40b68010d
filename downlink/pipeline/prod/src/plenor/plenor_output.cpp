// Output products: the Dmask written back into its own file, the flat-fielded DCE and its
// uncertainty as new files with the input headers, each with one history line.
#include "plenor.h"

#include <cstdio>
#include <cstring>

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
// Bits a failed history line adds to the FITS status (no function code).
const int32_t history_failure_bits = 0x1C;

void version_text(char* out, size_t cap) {
    std::snprintf(out, cap, "%.3f", static_cast<double>(PLENOR_VERSION));
}

void set_write_failure(run_control* rc, int fits_status) {
    rc->status = plenor_code(FCN_OUTPUT_DATA, MSG_FITS_STATUS) | fits_status;
}

// A failed history line carries the FITS status without a function code.
void set_history_failure(run_control* rc, int fits_status) {
    rc->status = fits_status | history_failure_bits;
}

void close_quietly(fitsfile* fp) {
    int ignored = 0;
    if (fp != nullptr) {
        fits_close_file(fp, &ignored);
    }
}

// The Dmask with the marks of the computation, back into its own file.
bool write_dmask(const file_names* fn, size_t count, short* dmask, run_control* rc) {
    fitsfile* fp = nullptr;
    int st = 0;
    char version[16];
    version_text(version, sizeof version);
    if (fits_open_file(&fp, fn->Dmask_File, READWRITE, &st) == 0) {
        writeDLhistoryline(fp, program_name, version, &st);
    }
    if (st != 0) {
        close_quietly(fp);
        set_history_failure(rc, st);
        return false;
    }
    if (count > 0) {
        fits_write_img(fp, TSHORT, 1, static_cast<LONGLONG>(count), dmask, &st);
    }
    fits_flush_file(fp, &st);
    if (st != 0) {
        close_quietly(fp);
        set_write_failure(rc, st);
        return false;
    }
    fits_close_file(fp, &st);
    if (st != 0) {
        set_write_failure(rc, st);
        return false;
    }
    return true;
}

// Opens the input read-only and creates the output ("!" replaces an existing file).
bool open_pair(const char* input, const char* output, fitsfile** in, fitsfile** out,
               run_control* rc) {
    int st = 0;
    *in = nullptr;
    *out = nullptr;
    if (fits_open_file(in, input, READONLY, &st) == 0) {
        fits_create_file(out, output, &st);
    }
    if (st != 0) {
        close_quietly(*in);
        *in = nullptr;
        *out = nullptr;
        set_write_failure(rc, st);
        return false;
    }
    return true;
}

// Deletes a keyword when it is there.
void delete_if_present(fitsfile* out, const char* key, int* st) {
    if (*st == 0 && fits_delete_key(out, key, st) == KEY_NO_EXIST) {
        *st = 0;
    }
}

// A product copied from an integer image would truncate the flat-fielded values: the output
// is made a 32-bit float image of the same shape, without integer scaling or blank value.
void make_float_image(fitsfile* out, int* st) {
    int bitpix = 0;
    int naxis = 0;
    long naxes[3] = {0, 0, 0};
    fits_get_img_param(out, 3, &bitpix, &naxis, naxes, st);
    if (*st != 0 || bitpix < 0) {
        return;
    }
    fits_resize_img(out, FLOAT_IMG, naxis < 3 ? naxis : 3, naxes, st);
    delete_if_present(out, "BSCALE", st);
    delete_if_present(out, "BZERO", st);
    delete_if_present(out, "BLANK", st);
    fits_set_bscale(out, 1.0, 0.0, st);
}

// Copies the input's header into the output and adds the history line.
bool copy_header(fitsfile* in, fitsfile* out, run_control* rc) {
    int st = 0;
    char version[16];
    version_text(version, sizeof version);
    fits_copy_header(in, out, &st);
    make_float_image(out, &st);
    writeDLhistoryline(out, program_name, version, &st);
    if (st != 0) {
        close_quietly(out);
        close_quietly(in);
        set_history_failure(rc, st);
        return false;
    }
    return true;
}

// Writes the pixels as floats, flushes and closes both files.
bool write_and_close(fitsfile* in, fitsfile* out, size_t count, float* pixels, bool date,
                     run_control* rc) {
    int st = 0;
    // No flush between the header and the pixels: a flushed header makes the FITS library
    // read back every data record it then writes, which triples the file operations.
    if (date) {
        fits_write_date(out, &st);
    }
    if (count > 0) {
        fits_write_img(out, TFLOAT, 1, static_cast<LONGLONG>(count), pixels, &st);
    }
    fits_flush_file(out, &st);
    fits_close_file(out, &st);
    if (st != 0) {
        close_quietly(in);
        set_write_failure(rc, st);
        return false;
    }
    fits_close_file(in, &st);
    if (st != 0) {
        set_write_failure(rc, st);
        return false;
    }
    return true;
}

// The DCE and uncertainty products: a new image with the header of its input.
bool write_product(const char* input, const char* output, size_t count, float* pixels, bool date,
                   run_control* rc) {
    fitsfile* in = nullptr;
    fitsfile* out = nullptr;
    return open_pair(input, output, &in, &out, rc) && copy_header(in, out, rc) &&
           write_and_close(in, out, count, pixels, date, rc);
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
