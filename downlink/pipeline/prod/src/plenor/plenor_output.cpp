// Output products: the Dmask written back into its own file, the flat-fielded DCE and its
// uncertainty as new files with the input headers, each with one history line.
#include "plenor.h"

#include "fits_storage.h"
#include "product_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
void fail_with(run_control* rc, int fits_status, bool history, const staged_product* p = nullptr) {
    if (p != nullptr) {
        report_product_error(stderr, fits_status, *p);
    } else {
        fits_report_error(stderr, fits_status);
    }
    if (history) {
        set_history_failure(rc, fits_status);
    } else {
        set_write_failure(rc, fits_status);
    }
}

// Creates the product's FITS file; false (with the FITS status set) when it cannot.
bool create_product(const char* output, staged_product* p, int* st) {
    std::string why;
    if (!resolve_product(output, true, &p->target, &why)) {
        std::printf("plenor_output: %s\n", why.c_str());
        *st = FILE_NOT_CREATED;
        return false;
    }
    *st = stage_fits(p);
    if (*st != 0) {
        std::printf("plenor_output: cannot create %s\n", p->target.shown.c_str());
        return false;
    }
    return true;
}

// Closes a complete product, kept for the commit; false (with the FITS status set and the
// product dropped) when the last of it cannot be written.
bool finish_product(staged_product* p, int* st) {
    *st = close_staged(p);
    return *st == 0;
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
bool rewrite_dmask(fitsfile* in, staged_product* p, size_t count, short* dmask, run_control* rc) {
    int st = 0;
    char version[16];
    version_text(version, sizeof version);
    fits_copy_header(in, p->fptr, &st);
    writeDLhistoryline(p->fptr, program_name, version, &st);
    if (st != 0) {
        fail_with(rc, st, true, p);
        return false;
    }
    if (count > 0) {
        fits_write_img(p->fptr, TSHORT, 1, static_cast<LONGLONG>(count), dmask, &st);
    }
    copy_following_hdus(in, p->fptr, &st);
    if (st != 0 || !finish_product(p, &st)) {
        fail_with(rc, st, false, p);
        return false;
    }
    return true;
}

// A Dmask that is a plain file is rebuilt as a product of the run and committed with the
// others (last).  One that is not (a device, or a name with FITS library qualifiers) is
// updated in place after the commit: *later is set.
bool stage_dmask(const file_names* fn, size_t count, short* dmask, run_control* rc,
                 staged_product* p, bool* later) {
    struct stat info {};
    *later = fits_input_file(fn->Dmask_File) != fn->Dmask_File ||
             stat(fn->Dmask_File, &info) != 0 || !S_ISREG(info.st_mode);
    if (*later) {
        return true;
    }
    fitsfile* in = nullptr;
    int st = 0;
    if (fits_open_file(&in, fn->Dmask_File, READONLY, &st) != 0 ||
        !create_product(fn->Dmask_File, p, &st)) {
        close_quietly(in);
        fail_with(rc, st, false, p);
        return false;
    }
    const bool ok = rewrite_dmask(in, p, count, dmask, rc);
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

// The DCE and uncertainty products: a new image with the header of its input, kept for the
// commit.
bool write_product(const char* input, const char* output, size_t count, float* pixels, bool date,
                   run_control* rc, staged_product* p) {
    fitsfile* in = nullptr;
    int st = 0;
    if (open_stored_image(&in, input, READONLY, &st) != 0 || !create_product(output, p, &st)) {
        close_quietly(in);
        fail_with(rc, st, false, p);
        return false;
    }
    if (!copy_header(in, p->fptr, &st)) {
        close_quietly(in);
        fail_with(rc, st, true, p);
        return false;
    }
    if (!write_pixels(p->fptr, count, pixels, date, &st) || !finish_product(p, &st)) {
        close_quietly(in);
        fail_with(rc, st, false, p);
        return false;
    }
    if (fits_close_file(in, &st) != 0) {
        fail_with(rc, st, false);
        return false;
    }
    return true;
}

// Puts the products in place together, the Dmask last; false (status set) when one fails.
bool commit_products(const std::vector<staged_product*>& products, run_control* rc) {
    const int failed = commit_staged(products);
    if (failed < 0) {
        return true;
    }
    std::printf("plenor_output: cannot write %s: %s\n", products[failed]->target.shown.c_str(),
                std::strerror(errno));
    set_write_failure(rc, products[failed]->target.route == product_route::in_place
                              ? WRITE_ERROR
                              : FILE_NOT_CREATED);
    return false;
}

// The products of the run, all written before any is put in place.
bool write_all_products(file_names* fn, size_t cube, short* dmask, float* dce, float* unc,
                        run_control* rc) {
    staged_product out;
    staged_product out_unc;
    staged_product out_dmask;
    bool dmask_later = false;
    std::vector<staged_product*> commit = {&out};
    const bool with_unc =
        fn->Input_Uncertainty_File[0] != '\0' && fn->Output_Uncertainty_File[0] != '\0';
    const bool with_dmask = fn->Dmask_File[0] != '\0';
    bool ok = !with_dmask || stage_dmask(fn, cube, dmask, rc, &out_dmask, &dmask_later);
    ok = ok && write_product(fn->FITS_Input_File, fn->FITS_Output_File, cube, dce, false, rc, &out);
    if (with_unc) {
        commit.push_back(&out_unc);
        ok = ok && write_product(fn->Input_Uncertainty_File, fn->Output_Uncertainty_File, cube, unc,
                                 true, rc, &out_unc);
    }
    if (with_dmask && !dmask_later) {
        commit.push_back(&out_dmask);
    }
    ok = ok && commit_products(commit, rc);
    ok = ok && (!with_dmask || !dmask_later || update_dmask_file(fn->Dmask_File, cube, dmask, rc));
    for (staged_product* p : {&out, &out_unc, &out_dmask}) {
        drop_staged(p);
    }
    return ok;
}

// FITS inputs of the run as the files they read.
std::vector<std::string> run_inputs(const file_names* fn) {
    std::vector<std::string> in;
    for (const char* name :
         {fn->FITS_Input_File, fn->Input_Uncertainty_File, fn->FITS_Flatfield_File, fn->Cmask_File,
          fn->Pmask_File, fn->Transmission_Cal_Flatfile, fn->Transmission_Cal_Mask_File}) {
        if (name[0] != '\0') {
            in.push_back(fits_input_file(name));
        }
    }
    return in;
}

// Refuses the run: nothing is read or written.
void refuse_run(const std::string& why, run_control* rc) {
    std::printf("plenor_output: %s; nothing written\n", why.c_str());
    set_write_failure(rc, FILE_NOT_CREATED);
}

// Resolves one output into `outs`; false (the run refused) when it cannot be written.
bool add_output(const char* name, bool fits, std::vector<product_target>* outs,
                std::vector<std::string>* inputs, run_control* rc) {
    std::string why;
    outs->emplace_back();
    if (!resolve_product(name, fits, &outs->back(), &why)) {
        refuse_run(why, rc);
        return false;
    }
    if (!outs->back().tmpl.empty()) {
        inputs->push_back(outs->back().tmpl);
    }
    return true;
}

} // namespace

int plenor_check_files(file_names* fn, run_control* rc) {
    if (rc->status != 0) {
        return -1;
    }
    std::vector<std::string> inputs = run_inputs(fn);
    std::vector<product_target> outs;
    const bool with_unc =
        fn->Input_Uncertainty_File[0] != '\0' && fn->Output_Uncertainty_File[0] != '\0';
    bool ok = add_output(fn->FITS_Output_File, true, &outs, &inputs, rc) &&
              (!with_unc || add_output(fn->Output_Uncertainty_File, true, &outs, &inputs, rc)) &&
              (fn->Dmask_File[0] == '\0' ||
               add_output(fits_input_file(fn->Dmask_File).c_str(), false, &outs, &inputs, rc));
    for (size_t i = 0; ok && i < inputs.size(); ++i) {
        if (is_stream_file(inputs[i].c_str())) {
            refuse_run("input " + inputs[i] + " is a pipe or device, not a regular file", rc);
            ok = false;
        }
    }
    if (fn->Namelist_File[0] != '\0') {
        inputs.emplace_back(fn->Namelist_File); // read once, whole: a pipe is fine
    }
    std::string why = ok ? find_file_clash(outs, inputs) : "";
    if (!why.empty()) {
        refuse_run(why, rc);
        ok = false;
    }
    const std::string log = fn->Processing_Log_File;
    if (!log.empty() && log != "stdout") {
        std::vector<std::string> others = inputs;
        for (const product_target& t : outs) {
            others.push_back(t.file);
        }
        std::vector<product_target> log_target(1);
        std::string log_why;
        resolve_product(log.c_str(), false, &log_target[0], &log_why);
        why = find_file_clash(log_target, others);
        if (!why.empty()) {
            fn->Processing_Log_File[0] = '\0'; // never appended to: the block goes to stdout
            refuse_run(why, rc);
            ok = false;
        }
    }
    return ok ? 0 : -1;
}

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
    if (!write_all_products(fn, cube, dmask, dce, unc, rc)) {
        return -1;
    }
    if (rc->I_Verbose != 0) {
        std::printf("plenor_output: Results written to file(s).\n");
    }
    return 0;
}
