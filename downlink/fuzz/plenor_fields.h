// Checks shared by the plenor harnesses: every name field of the records stays terminated
// within its room.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plenor.h"

namespace fuzz {

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
        if (std::memchr(f, '\0', PLENOR_NAME_MAX + 1) == nullptr) {
            std::fprintf(stderr, "plenor: a name field is not terminated within its room\n");
            std::abort();
        }
    }
}

} // namespace fuzz
