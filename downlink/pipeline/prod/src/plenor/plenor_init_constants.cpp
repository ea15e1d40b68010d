// Initial values of the three records shared by every stage.
#include "plenor.h"

#include <cstring>

int plenor_init_constants(file_names* fn, run_control* rc, image_dims* dims) {
    std::memset(fn, 0, sizeof *fn);
    rc->PmaskMask = 128;
    rc->DmaskMask = 16384;
    rc->CmaskMask = 256;
    rc->status = 0;
    rc->I_Verbose = 0;
    rc->do_uncertainty = 1;
    dims->I_NX = 0;
    dims->I_NY = 0;
    dims->I_NZ = 0;
    return 0;
}
