// Fuzz harnesses of the input readers of stackle.  Its routines end the process with status
// 64 when they refuse an input, so every input runs guarded.
//   stackle_namelist: a namelist file, read as a namelist-mode run does (process_namelist,
//     find_markers, count_filenames and read_filenames of each list section).
//   stackle_lists: count_filenames and read_filenames; the first byte chooses plain-list or
//     namelist mode, the section and the number of names expected (0..31); the name table
//     has exactly that many rows, so the address checker sees a row written past it.
//   stackle_fmask: read_fmask_lists and read_fmask_params on an FMASK file; the first byte
//     sets debug and verbose; the lists must hold 0..20 entries and USEFOVID must be read.
//   stackle_fits: read_fits (byte 2 chooses the FOVID rule), read_fits_s or
//     read_fits_dims_2d (byte 1, with the debug switch); a returned plane is read whole, so
//     the address checker sees one shorter than its stated size.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coadd_fits.h"
#include "fuzz_support.h"
#include "stackle.h"

namespace {

const char* const kSections[] = {"&COADD_DATA", "&COADD_SDEV", "&COADD_BMASK", "&COADD_PMASK"};

// Counts and reads one list section expecting `expected` names (at most 512 are read back:
// a bound on the harness's own allocation); every row read must be terminated.
void read_section(const std::string& path, unsigned char nl_mode, const char* section, int expected,
                  bool exact) {
    char first[STACKLE_STRLEN];
    if (count_filenames(path.c_str(), nl_mode, section, "&END", first) < 0 ||
        std::memchr(first, '\0', sizeof first) == nullptr)
        fuzz::finding("count_filenames", "negative count or unterminated first name");
    const int rows = std::min(expected, 512);
    auto* names =
        static_cast<char(*)[STACKLE_STRLEN]>(exact ? std::malloc(std::max(rows, 1) * STACKLE_STRLEN)
                                                   : std::calloc(rows + 1, STACKLE_STRLEN));
    read_filenames(path.c_str(), nl_mode, names, rows, section, "&END");
    for (int i = 0; exact && i < rows; ++i)
        if (std::memchr(names[i], '\0', STACKLE_STRLEN) == nullptr)
            fuzz::finding("read_filenames", "unterminated name");
    std::free(names);
}

control_settings fresh_settings() {
    control_settings cs;
    clear_cs_flags(&cs);
    std::snprintf(cs.progname, sizeof cs.progname, "%s", "stackle");
    return cs;
}

void run_namelist(const fuzz::input& in) {
    control_settings cs = fresh_settings();
    fuzz::arg_list args({"stackle", "-n", in.path});
    process_namelist(&cs, args.argc(), args.argv());
    unsigned char present[4] = {1, 0, 0, 0};
    find_markers(in.path.c_str(), &present[1], &present[2], &present[3]);
    char first[STACKLE_STRLEN];
    const int n = count_filenames(in.path.c_str(), 1, kSections[0], "&END", first);
    for (int k = 0; k < 4; ++k)
        if (present[k])
            read_section(in.path, 1, kSections[k], n, false);
}

void run_lists(const fuzz::input& in) {
    read_section(in.path, in.head[0] & 1, kSections[(in.head[0] >> 1) & 3], in.head[0] >> 3, true);
}

void run_fmask(const fuzz::input& in) {
    control_settings cs = fresh_settings();
    std::snprintf(cs.fmask_in_file, sizeof cs.fmask_in_file, "%s", in.path.c_str());
    cs.fmask_in_file_f = 1;
    cs.debug = in.head[0] & 1;
    cs.verbose = (in.head[0] >> 1) & 1;
    read_fmask_lists(&cs);
    if (cs.num_fovs < 0 || cs.num_fovs > STACKLE_MAX_FOVS)
        fuzz::finding("read_fmask_lists", "list length outside 0..20");
    read_fmask_params(in.path.c_str(), &cs);
    if (cs.usefovid_f != 1)
        fuzz::finding("read_fmask_params", "returned without USEFOVID");
}

// All values of a plane of xdim x ydim (read once the reader has set them), both positive.
template <typename T> void touch_plane(T* plane, const int& xdim, const int& ydim) {
    if (xdim <= 0 || ydim <= 0)
        fuzz::finding("stackle readers", "plane returned with a non-positive dimension");
    volatile double sum = 0;
    for (size_t i = 0; i < static_cast<size_t>(xdim) * static_cast<size_t>(ydim); ++i)
        sum = sum + static_cast<double>(plane[i]);
    std::free(plane);
}

void run_reader(const fuzz::input& in) {
    const int rules[] = {-9, -1, 0, 1, 2, 7}; // skip FOVID, adopt the file's, require a value
    const int debug = (in.head[0] >> 7) & 1;
    int xdim = 0, ydim = 0, fovid = rules[in.head[1] % 6];
    if (in.head[0] % 3 == 0)
        touch_plane(read_fits(in.path.c_str(), &xdim, &ydim, &fovid, debug), xdim, ydim);
    else if (in.head[0] % 3 == 1)
        touch_plane(read_fits_s(in.path.c_str(), &xdim, &ydim, debug), xdim, ydim);
    else
        read_fits_dims_2d(in.path.c_str(), &xdim, &ydim, debug);
}

} // namespace

const fuzz::harness fuzz::this_harness =
    fuzz::pick(FUZZ_HARNESS, {
                                 {"stackle_namelist", 0, "stackle.nl", STACKLE_FAIL, run_namelist},
                                 {"stackle_lists", 1, "stackle.lst", STACKLE_FAIL, run_lists},
                                 {"stackle_fmask", 1, "fmask.fits", STACKLE_FAIL, run_fmask},
                                 {"stackle_fits", 2, "image.fits", STACKLE_FAIL, run_reader},
                             });
