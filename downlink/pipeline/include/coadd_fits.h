// coadd_fits: FITS input and output of the co-addition program stackle.
//
// Readers.  Each reader opens its file read-only, checks what it needs, reads the primary
// image whole in one cfitsio call, closes the file and hands the plane to the caller.  The
// band readers make the same checks but keep the file open and read it a band of rows at a
// time.  A
// failed check prints its message on standard output (cfitsio's error report, where one is
// named, on standard error) and ends the process with status 64 at once: a reader never
// returns a plane of the wrong size or type.  Planes are allocated with std::malloc and the
// caller releases them with std::free.  Plane sizes are computed in 64-bit arithmetic: an
// image too large for memory ends with the allocation message and status 64.
//
// Writers.  Every product replaces an existing file of the same name, but only at the end of
// a run that made all of them: each writer builds its product in full under a short temporary
// name in the product's folder (or in memory for a device, standard output aside) and keeps
// it; commit_products then puts every product in place together.  A run that ends with 64
// before the commit leaves every product name as it was and no temporary file.
//
// How a writer reports that its product could not be made:
//   - write_flt_fits, write_flt_fits_with_hdrs and write_amask return 0 when the product is
//     complete and kept for the commit.  When the file cannot be created at all they print
//       "\aERROR: Attempt to create FITS file %s FAILED in <routine>().\n"
//     on standard output (cfitsio's report on standard error) and return 1; main ORs the
//     returns of all writers and ends with status 64 without committing anything.
//   - Failures after the file exists (creating the image, writing the pixels) print their
//     message and end the process with status 64 at once.
//   - write_weights_list ends the process with status 64 when the list cannot be written
//     ("\aERROR: Unable to open Weights List File %s for writing\n"); it returns 0 otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include <fitsio.h>

#include "stackle.h"

// Frame size of the primary image of `fits_filename` (up to 10 axes, absent ones count 1).
// Ends the run when the file cannot be opened or the image has more than two axes longer
// than 1.  Debug lines when `debug` is nonzero.
void read_fits_dims_2d(const char* fits_filename, int* xdim, int* ydim, int debug);

// Every reader opens its image as open_stored_image (fits_storage.h) does: any image HDU the
// name selects, tile-compressed or gzip.  The float readers take the type of the values
// (BITPIX, or floating point for scaled integers that hold fractions); undefined pixels
// (BLANK) of an integer image are NaN.  The 16-bit readers take the stored BITPIX and keep
// every stored value, BLANK included: a mask's bits are the mask.
//
// Reads a float plane (BITPIX -32; -64 accepted with a caution and rounded to float).
// `req_fovid` is the FOVID rule, in/out: -9 skips the keyword; any other negative value
// adopts the file's FOVID (written back into *req_fovid); 0 or more requires that FOVID.
// NaN pixels arrive as NaN.  Sets *xdim, *ydim to the plane's size.
float* read_fits(const char* fits_filename, int* xdim, int* ydim, int* req_fovid, int debug);

// Reads a 16-bit plane (BITPIX 16 only).  Sets *xdim, *ydim to the plane's size.
int16_t* read_fits_s(const char* fits_filename, int* xdim, int* ydim, int debug);

// ---- reading a stack in bands of rows

// An input opened for reading in bands of rows.  A plain file holding its whole plane stays
// open and every band is read from it; any other input (a pipe, a tile-compressed or gzip
// file, an image the library filters into memory, a short file)
// is read whole when it is opened, failing there as the whole-plane reader does, and its
// bands are copied from that plane.
struct band_input {
    const char* name; // the file name, for the messages (not owned)
    fitsfile* fptr;   // the open file, or null when `whole` holds the plane
    void* whole;      // the whole plane (std::malloc), or null
    int datatype;     // TFLOAT or TSHORT: the type the pixels are read as
    size_t elem_size; // bytes a pixel in memory
    int xdim;
    int ydim;
    // Byte offset in the file of the stored values when they are the values the read gives
    // (stored as the read's type, unscaled): bands are then read as stored and only put into
    // the host's byte order.  -1 when the library converts them.
    long long stored_at;
    int fd; // a descriptor of its own on the file read as stored (fptr is then null), or -1
};

// Opens a float input with the checks and messages of read_fits (FOVID rule, BITPIX with the
// DOUBLE_IMG caution, size), in the same order, and sets *xdim, *ydim.  Ends the run where
// read_fits would.  The debug statistics of the whole plane are not printed.
band_input open_fits_bands(const char* fits_filename, int* xdim, int* ydim, int* req_fovid,
                           int debug);

// Opens a 16-bit input as read_fits_s does.
band_input open_fits_s_bands(const char* fits_filename, int* xdim, int* ydim, int debug);

// Reads `nrows` rows from row `first_row` (0 = the first) into `band`, nrows x xdim pixels of
// the input's type, converted as the whole-plane read converts them.  Ends the run with the
// reader's read message (read_fits or read_fits_s) when they cannot be read.
void read_band(const band_input* in, int first_row, int nrows, void* band);

// Closes the file or releases the plane of an input.
void close_band_input(band_input* in);

// Whether `count` inputs may be kept open at once: no more than half the process's limit of
// open files, and room left within the FITS library's limit of open files.
bool band_inputs_fit(long count);

// Fills cs->fovlist, cs->bitlist (at most 20 entries) and cs->num_fovs from the keywords
// FOVLIST and BITLIST of cs->fmask_in_file (requires cs->fmask_in_file_f).
void read_fmask_lists(control_settings* cs);

// Reads the keyword USEFOVID of `fmask_filename` into cs->usefovid and sets cs->usefovid_f.
void read_fmask_params(const char* fmask_filename, control_settings* cs);

// Diagnostics outside the run: print the top-left 10 x 10 corner of a float image (which
// must carry FOVID), every pixel of a 16-bit image, or the pixels where two float images
// differ (over the pixels they share; FOVID is not checked).
void print_fits_data(const char* fits_filename);
void print_fits_data_s(const char* fits_filename);
void compare_fits_data(const char* file_a, const char* file_b);

// Writes `image` (cs->xdim x cs->ydim floats) as a new BITPIX -32 image with the comment block.
int write_flt_fits(const char* out_filename, const float* image, const control_settings* cs);

// As write_flt_fits, but the header carries the keywords of the image of `first_data_file`
// that describe the image and the observation (FOVID included; not those of its storage, see
// fits_storage.h), with BITPIX -32 and cs->xdim x cs->ydim.  When the copy cannot be made,
// the image gets a fresh header.
int write_flt_fits_with_hdrs(const char* first_data_file, const char* out_filename,
                             const float* image, const control_settings* cs);

// Writes `amask` (cs->xdim x cs->ydim 16-bit values) to cs->amask_out_file as BITPIX 16.
int write_amask(const int16_t* amask, const control_settings* cs);

// Writes cs->num_files lines "%15.4f  %s\n" (weight, data file name) to cs->wts_out_file.
// `data_files` is the table of data file names, rows of STACKLE_STRLEN characters.
int write_weights_list(const float* dce_weight, const char (*data_files)[STACKLE_STRLEN],
                       const control_settings* cs);

// Puts every product kept by the writers in place (see above).  Returns 0, or 1 after printing
// the product's write-failure message when one could not be put in place.
int commit_products();

// Appends the "[STACKLE]" COMMENT block to the current HDU of an open file.  Errors are
// reported once on standard error; never fatal.
void write_fits_headers(fitsfile* fptr, const control_settings* cs);

// Replaces every copy of `keyword` in the primary header of `fits_filename` by one integer
// keyword with `value`.  Ends the run with status 64 on failure.
void insert_int_keyword(const char* fits_filename, const char* keyword, int value);
