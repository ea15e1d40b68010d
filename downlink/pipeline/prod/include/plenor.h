// plenor: flat-fielding of one DCE (one or more planes) with uncertainty propagation.
//
// The main routine owns three records and eight image buffers and hands them by address to
// the stages, which run once in this order: namelist, command line, data input, computation,
// output, log, error report, clean-up.  A stage that fails records a 32-bit status code
// (function code in the high 16 bits, message code in the low 16 bits, FITS library statuses
// marked by bit 0x1000); the image stages do nothing once the status is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include <fitsio.h>

// Longest file name a record field holds (the terminator comes on top).
constexpr int PLENOR_NAME_MAX = 1024;
// Longest word read from a namelist entry.
constexpr int PLENOR_WORD_MAX = 255;
constexpr float PLENOR_VERSION = 1.5f;

// Function codes: which stage failed.
enum plenor_function : int32_t {
    FCN_NONE = 0x00,
    FCN_READ_DATA = 0x14,
    FCN_NAMELIST = 0x1C,
    FCN_OUTPUT_DATA = 0x1E,
    FCN_PARSE_ARGS = 0x20,
    FCN_COMPUTE = 0x21,
};

// Message codes: what went wrong.
enum plenor_message : int32_t {
    MSG_FOPEN_FAILED = 0x11,
    MSG_COULDNOTREAD = 0x12,
    MSG_CL_ARGS_INCRT = 0x18,
    MSG_NL_INCRT = 0x1A,
    MSG_DIMS_INCRT = 0x1B,
    MSG_MALLOC_FAILED = 0x71,
    MSG_FITS_STATUS = 0x1000, // FITS library status follows in the low bits
};

// Status code of a function and a message.
constexpr int32_t plenor_code(int32_t fcn, int32_t msg) {
    return fcn * 65536 + msg;
}

constexpr int32_t PLENOR_EXIT_FAILURE = 64;

struct run_control {
    int32_t PmaskMask;      // Pmask fatality level
    int32_t DmaskMask;      // Dmask fatality level
    int32_t CmaskMask;      // Cmask fatality level (flat and calibrator Cmask)
    int32_t status;         // first failure, 0 when none
    int32_t I_Verbose;      // non-zero: progress lines
    int32_t do_uncertainty; // 1: uncertainties are propagated
};

struct image_dims {
    int32_t I_NX; // NAXIS2 of the input DCE
    int32_t I_NY; // NAXIS1 of the input DCE
    int32_t I_NZ; // NAXIS3, or 1 for an image with two axes
};

// Output names are stored with a leading "!" (replace an existing file).
struct file_names {
    char Namelist_File[PLENOR_NAME_MAX + 1];
    char FITS_Input_File[PLENOR_NAME_MAX + 1];
    char Input_Uncertainty_File[PLENOR_NAME_MAX + 1];
    char Output_Uncertainty_File[PLENOR_NAME_MAX + 1];
    char FITS_Output_File[PLENOR_NAME_MAX + 1];
    char Pmask_File[PLENOR_NAME_MAX + 1];
    char Dmask_File[PLENOR_NAME_MAX + 1];
    char Cmask_File[PLENOR_NAME_MAX + 1];
    char Transmission_Cal_Mask_File[PLENOR_NAME_MAX + 1];
    char FITS_Flatfield_File[PLENOR_NAME_MAX + 1];
    char Transmission_Cal_Flatfile[PLENOR_NAME_MAX + 1];
    char Processing_Log_File[PLENOR_NAME_MAX + 1];
};

// Run control: initial values, codes in words, report and clean-up.
int plenor_init_constants(file_names* fn, run_control* rc, image_dims* dims);
int plenor_decode_fcnname(int code, char* text);
int plenor_decode_message(int code, char* text);
int plenor_error_handler(run_control* rc);
int plenor_exit(float** dce, float** unc, short** pmask, short** dmask, short** cmask, float** flat,
                float** tcal_flat, short** tcal_cmask, image_dims* dims, run_control* rc);

// Processor clock: plenor_clock_start takes the zero reading; plenor_cpu_seconds gives the
// processor time since then, in seconds.
void plenor_clock_start();
float plenor_cpu_seconds();

// Command line and namelist.
int plenor_parse_namelist(int argc, char** argv, file_names* fn, run_control* rc);
int plenor_parse_args(int argc, char** argv, file_names* fn, run_control* rc);
void plenor_print_usage();

// Word reading shared by the namelist and command-line parsers.
enum plenor_word_result { WORD_OK = 0, WORD_NONE = 1, WORD_TOO_LONG = 2 };
// Copies the first blank-delimited word of *src into out (room for cap characters plus the
// terminator) and moves *src behind it.  A longer word is not copied.
plenor_word_result plenor_read_word(const char** src, char* out, size_t cap);
// Stores text into a name field, with a leading "!" when bang is set.  Returns false, leaving
// the field alone, when the result would not fit in PLENOR_NAME_MAX characters.
bool plenor_store_name(char* field, const char* text, bool bang);
// Decimal conversion into *value: leading blanks and a sign allowed, stops at the first
// non-digit, no digits gives 0, values beyond the int range are clamped.  Returns true when
// at least one digit was found and the value is within the int range.
bool plenor_to_int(const char* text, int32_t* value);

// Data input.
int plenor_read_data(file_names* fn, image_dims* dims, float** dce, float** unc, run_control* rc,
                     short** pmask, short** dmask, short** cmask, float** flat, float** tcal_flat,
                     short** tcal_cmask);

// Flat-field computation.
int plenor_compute_results(image_dims* dims, float* dce, float* unc, run_control* rc, short* pmask,
                           short* dmask, short* cmask, float* flat, float* tcal_flat,
                           short* tcal_cmask);

// Output products and processing log.
// Before any image is read: every output name resolved the way it will be written; a run whose
// output is an input or another output (or whose log is one of them), or that names a pipe or
// device as an input, is refused with a message and a status (the log then goes to standard
// output).  Returns 0 or -1.
int plenor_check_files(file_names* fn, run_control* rc);
int plenor_output(file_names* fn, image_dims* dims, run_control* rc, const struct tm* start,
                  short* dmask, float* dce, float* unc);
void writeDLhistoryline(fitsfile* fp, const char* program, const char* version, int* status);
// Builds the 61-character history line text for the given time.
void plenor_history_text(char* out, size_t cap, const char* program, const char* version,
                         const struct tm* when);
// The time in the 24-character asctime form plus its line end, into out (at least 26 bytes).
void plenor_asctime(const struct tm* when, char* out, size_t cap);
int plenor_write_log(file_names* fn, run_control* rc);
void open_logfile(file_names* fn);
void write_log_line(const char* text, file_names* fn);

// Pixel counts of the DCE: plane_pixels = I_NX * I_NY, cube_pixels = that * I_NZ.  Returns
// false when a dimension is negative or the product does not fit in size_t.
bool plenor_pixel_counts(const image_dims* dims, size_t* plane_pixels, size_t* cube_pixels);
