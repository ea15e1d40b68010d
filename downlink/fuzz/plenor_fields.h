// Pieces shared by the plenor harnesses: the records as a run starts them, and the check
// that every name field stays terminated within its room.
#pragma once

#include <cstring>

#include "fuzz_support.h"
#include "plenor.h"

namespace fuzz {

struct plenor_records {
    file_names fn;
    run_control rc;
    image_dims dims;
};

// The records as plenor_init_constants leaves them (one static copy: the name table is large).
inline plenor_records& fresh_plenor_records() {
    static plenor_records r;
    r.rc = run_control{};
    r.dims = image_dims{};
    plenor_init_constants(&r.fn, &r.rc, &r.dims);
    return r;
}

inline void check_name_fields(const file_names& fn) {
    const char* const fields[] = {fn.Namelist_File,
                                  fn.FITS_Input_File,
                                  fn.Input_Uncertainty_File,
                                  fn.Output_Uncertainty_File,
                                  fn.FITS_Output_File,
                                  fn.Pmask_File,
                                  fn.Dmask_File,
                                  fn.Cmask_File,
                                  fn.Transmission_Cal_Mask_File,
                                  fn.FITS_Flatfield_File,
                                  fn.Transmission_Cal_Flatfile,
                                  fn.Processing_Log_File};
    for (const char* f : fields) {
        if (std::memchr(f, '\0', PLENOR_NAME_MAX + 1) == nullptr)
            finding("plenor", "a name field is not terminated within its room");
    }
}

} // namespace fuzz
