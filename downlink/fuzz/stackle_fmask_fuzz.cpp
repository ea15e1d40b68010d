// Fuzz harness of the FMASK keyword readers of stackle (read_fmask_lists, read_fmask_params):
// the first input byte sets the debug and verbose switches, the rest is the FMASK file.  A
// refused file ends the process with status 64 by design, so each input runs
// guarded.  After a successful read the lists must hold 0..20 entries.
#include <cstdint>
#include <cstdio>
#include <string>

#include "coadd_fits.h"
#include "fuzz_support.h"
#include "stackle.h"

namespace {

void run_fmask(const fuzz::input& in) {
    const uint8_t mode = in.head[0];
    control_settings cs;
    clear_cs_flags(&cs);
    std::snprintf(cs.progname, sizeof cs.progname, "%s", "stackle");
    std::snprintf(cs.fmask_in_file, sizeof cs.fmask_in_file, "%s", in.path.c_str());
    cs.fmask_in_file_f = 1;
    cs.debug = mode & 1;
    cs.verbose = (mode >> 1) & 1;
    read_fmask_lists(&cs);
    if (cs.num_fovs < 0 || cs.num_fovs > STACKLE_MAX_FOVS)
        fuzz::finding("read_fmask_lists", "list length outside 0..20");
    read_fmask_params(in.path.c_str(), &cs);
    if (cs.usefovid_f != 1)
        fuzz::finding("read_fmask_params", "returned without USEFOVID");
}

} // namespace

const fuzz::harness fuzz::this_harness{1, "fmask.fits", STACKLE_FAIL, run_fmask};
