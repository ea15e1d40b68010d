// Fuzz harness of the FMASK keyword readers of stackle (read_fmask_lists, read_fmask_params):
// the first input byte sets the debug and verbose switches, the rest is the FMASK file.  A
// refused file ends the process with status 64 by design, so each input runs under
// fuzz::run_guarded.  After a successful read the lists must hold 0..20 entries.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "coadd_fits.h"
#include "fuzz_support.h"
#include "stackle.h"

namespace {

void run_fmask(const std::string& path, uint8_t mode) {
    control_settings cs;
    clear_cs_flags(&cs);
    std::snprintf(cs.progname, sizeof cs.progname, "%s", "stackle");
    std::snprintf(cs.fmask_in_file, sizeof cs.fmask_in_file, "%s", path.c_str());
    cs.fmask_in_file_f = 1;
    cs.debug = mode & 1;
    cs.verbose = (mode >> 1) & 1;
    read_fmask_lists(&cs);
    if (cs.num_fovs < 0 || cs.num_fovs > STACKLE_MAX_FOVS) {
        std::fprintf(stderr, "read_fmask_lists: %d entries\n", cs.num_fovs);
        std::abort();
    }
    read_fmask_params(path.c_str(), &cs);
    if (cs.usefovid_f != 1)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    fuzz::run_guarded_file(
        "fmask.fits", data, size, 1, [&](const std::string& path) { run_fmask(path, data[0]); },
        STACKLE_FAIL);
    return 0;
}
