// Fuzz harnesses of the input readers of plenor, which report failures through a status and
// so run in this process.  After the parsers every name field must still be terminated.
//   plenor_namelist: plenor_parse_namelist on a namelist file named with "-n".
//   plenor_args: plenor_parse_args on the arguments after the program name, split at
//     newlines and NULs (at most 64), each its own allocation of exactly its length.
//   plenor_fits: plenor_read_data; the first byte chooses which of the eight inputs of a run
//     the rest stands for (and, its top bit, verbose output), the others being valid
//     companions of a 4 x 3 DCE with uncertainty; plenor_exit frees what the reader returned.
#include <cstring>

#include "fuzz_support.h"
#include "plenor.h"

namespace {

struct records {
    file_names fn;
    run_control rc;
    image_dims dims;
};

// The records as plenor_init_constants leaves them (one static copy: the name table is large).
records& fresh_records() {
    static records r;
    r.rc = run_control{};
    r.dims = image_dims{};
    plenor_init_constants(&r.fn, &r.rc, &r.dims);
    return r;
}

void check_name_fields(const file_names& fn) {
    for (const char* f :
         {fn.Namelist_File, fn.FITS_Input_File, fn.Input_Uncertainty_File,
          fn.Output_Uncertainty_File, fn.FITS_Output_File, fn.Pmask_File, fn.Dmask_File,
          fn.Cmask_File, fn.Transmission_Cal_Mask_File, fn.FITS_Flatfield_File,
          fn.Transmission_Cal_Flatfile, fn.Processing_Log_File})
        if (std::memchr(f, '\0', PLENOR_NAME_MAX + 1) == nullptr)
            fuzz::finding("plenor", "a name field is not terminated within its room");
}

void run_namelist(const fuzz::input& in) {
    records& r = fresh_records();
    fuzz::arg_list args({"plenor", "-n", in.path});
    plenor_parse_namelist(args.argc(), args.argv(), &r.fn, &r.rc);
    check_name_fields(r.fn);
}

void run_args(const fuzz::input& in) {
    std::vector<std::string> args{"plenor", ""};
    for (size_t i = 0; i < in.size && args.size() <= 65; ++i)
        if (in.data[i] == '\n' || in.data[i] == '\0')
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(in.data[i]));
    if (args.back().empty() || args.size() > 65)
        args.pop_back();
    fuzz::arg_list list(args);
    records& r = fresh_records();
    plenor_parse_args(list.argc(), list.argv(), &r.fn, &r.rc);
    check_name_fields(r.fn);
}

// The inputs of a run in the order of the role byte: DCE, flat, uncertainty, the three
// masks, the transmission flat and mask; flats have a second plane.
const char* const kRoles[] = {"dce.fits",   "flat.fits",  "unc.fits",   "pmask.fits",
                              "dmask.fits", "cmask.fits", "tflat.fits", "tcmask.fits"};

void write_companion(int role) {
    std::vector<float> flat(24, 1.0f);
    std::fill(flat.begin() + 12, flat.end(), 0.01f);
    if (role == 1 || role == 6)
        fuzz::write_fits(fuzz::scratch_path(kRoles[role]), FLOAT_IMG, {4, 3, 2}, flat);
    else
        fuzz::write_fits(fuzz::scratch_path(kRoles[role]), role < 3 ? FLOAT_IMG : SHORT_IMG, {4, 3},
                         std::vector<float>(12, role < 3 ? 1.5f : 0.0f));
}

void run_read(const fuzz::input& in) {
    const int fuzzed = in.head[0] % 8;
    static int replaced = -1; // companions are written once, then the replaced one restored
    for (int role = 0; role < 8; ++role)
        if (replaced < 0 || (role == replaced && role != fuzzed))
            write_companion(role);
    fuzz::write_file(fuzz::scratch_path(kRoles[fuzzed]), in.data, in.size);
    replaced = fuzzed;
    records& r = fresh_records();
    r.rc.I_Verbose = (in.head[0] >> 7) & 1;
    char* fields[] = {r.fn.FITS_Input_File,
                      r.fn.FITS_Flatfield_File,
                      r.fn.Input_Uncertainty_File,
                      r.fn.Pmask_File,
                      r.fn.Dmask_File,
                      r.fn.Cmask_File,
                      r.fn.Transmission_Cal_Flatfile,
                      r.fn.Transmission_Cal_Mask_File};
    for (int role = 0; role < 8; ++role)
        plenor_store_name(fields[role], fuzz::scratch_path(kRoles[role]).c_str(), false);
    float *dce = nullptr, *unc = nullptr, *flat = nullptr, *tflat = nullptr;
    short *pmask = nullptr, *dmask = nullptr, *cmask = nullptr, *tcmask = nullptr;
    plenor_read_data(&r.fn, &r.dims, &dce, &unc, &r.rc, &pmask, &dmask, &cmask, &flat, &tflat,
                     &tcmask);
    plenor_exit(&dce, &unc, &pmask, &dmask, &cmask, &flat, &tflat, &tcmask, &r.dims, &r.rc);
}

} // namespace

const fuzz::harness fuzz::this_harness =
    fuzz::pick(FUZZ_HARNESS, {
                                 {"plenor_namelist", 0, "plenor.nl", 0, run_namelist},
                                 {"plenor_args", 0, nullptr, 0, run_args},
                                 {"plenor_fits", 1, nullptr, 0, run_read},
                             });
