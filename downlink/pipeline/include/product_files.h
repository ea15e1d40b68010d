// product_files: how the pipeline programs write their products safely.
//
// A run first resolves every output name to the file the FITS library (or the text writer)
// will write and checks that no output is an input of the run or another output.  Each
// product is then written in full under a short temporary name in its own folder and all of
// them are renamed into place together once every one is complete, so that a failed or
// interrupted run leaves every final name as it was.  Temporary files are removed on every
// failure path, at exit and on SIGTERM, SIGINT and SIGHUP.
#pragma once

#include <fitsio.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// How a product reaches its final name.
enum class product_route {
    renamed,  // built under a temporary name beside it, renamed over it at the commit
    in_place, // built in memory and written into the existing file at the commit: a device or
              // pipe, or a writable file in a folder that cannot take a temporary file
    direct,   // standard output or a memory file: written as named
};

// An output name resolved the way its writer will write it.
struct product_target {
    std::string shown;      // the name as given, for messages
    std::string file;       // the file written (through symbolic links); empty for `direct`
    std::string qualifiers; // FITS library template and compression parts, "(..)[..]"
    std::string tmpl;       // template file named in the qualifiers (read as an input)
    bool compressed = false;
    bool unknown_qualifier = false; // a bracket part that is no compression request
    product_route route = product_route::renamed;
};

// Resolves an output name; `fits` selects the FITS library's name syntax.  False, with the
// reason in *why, when the name cannot be written as asked (a folder, a missing template).
bool resolve_product(const char* name, bool fits, product_target* t, std::string* why);

// The file a FITS input name reads (without extension or filter qualifiers).
std::string fits_input_file(const char* name);

// The first output that is the same file as an input or as another output, in words
// ("output file A is the same file as input file B"); empty when there is none.  Existing
// files compare by device and inode, others by their resolved path; devices never clash.
std::string find_file_clash(const std::vector<product_target>& outputs,
                            const std::vector<std::string>& inputs);

// True when the existing file `name` is not a regular file, folder aside (a pipe or device
// would be consumed by a first reading).
bool is_stream_file(const char* name);

// A product being written.
struct staged_product {
    product_target target;
    std::string temp; // temporary file (route `renamed`)
    fitsfile* fptr = nullptr;
    void* mem = nullptr; // FITS product built in memory (route `in_place`)
    size_t mem_size = 0;
    std::string text; // text product kept for an in-place write
    bool is_text = false;
    int slot = -1;         // entry in the table of temporary files
    std::string made_temp; // the temporary name it was given, for messages
};

// Installs the clean-up of temporary files (exit, SIGTERM, SIGINT, SIGHUP) and makes a file
// size limit a write error instead of a signal.  Called once at the start of a run.
void product_files_init();

// Creates the FITS file of a product (applying the name's qualifiers); returns the FITS
// status.  On failure nothing of the product remains.
int stage_fits(staged_product* p);
// Writes a text product whole; false (errno set) when it cannot.
bool stage_text(staged_product* p, const std::string& text);
// Closes the FITS file of a product; returns the FITS status (the product is dropped then).
int close_staged(staged_product* p);
// Drops a product: its temporary file is removed, its memory released.
void drop_staged(staged_product* p);

// The FITS library's report of `status` on `stream`, as fits_report_error prints it, with the
// product's temporary name replaced by the name the user gave.
void report_product_error(std::FILE* stream, int status, const staged_product& p);

// Puts the products in place in order: in-place writes first, then the renames (keeping the
// mode, owner and group of the files they replace), with the termination signals held off.
// Returns -1 when all are in place, else the index of the product that failed (errno set);
// products before it may already be in place only when in-place writes are involved.
int commit_staged(const std::vector<staged_product*>& products);
