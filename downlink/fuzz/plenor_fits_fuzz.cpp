// Fuzz harness of the data input of plenor (plenor_read_data) on mutated small FITS files.
// The first input byte chooses which of the eight inputs of a run the rest of the input
// stands for; the other inputs are fixed valid companions of a 4 x 3 DCE with uncertainty
// (flat fields with a second plane), written once with cfitsio.  The reader reports failures
// through the status, so it runs in this process; every buffer it hands back is freed by the
// program's own clean-up, plenor_exit.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "plenor.h"
#include "plenor_fields.h"

namespace {

enum role { DCE, FLAT, UNC, PMASK, DMASK, CMASK, TCAL_FLAT, TCAL_CMASK, ROLE_COUNT };

const char* const ROLE_FILES[ROLE_COUNT] = {"dce.fits",   "flat.fits",  "unc.fits",
                                            "pmask.fits", "dmask.fits", "cmask.fits",
                                            "tflat.fits", "tcmask.fits"};

std::string companion_path(int r) {
    return fuzz::scratch_path(ROLE_FILES[r]);
}

// Writes the valid input of role r (4 columns, 3 rows).
void write_companion(int r) {
    const std::vector<float> plane(12, 1.5f);
    std::vector<float> two_planes(24, 1.0f);
    for (size_t i = 12; i < 24; ++i)
        two_planes[i] = 0.01f;
    const std::vector<long> p2{4, 3};
    const std::vector<long> p3{4, 3, 2};
    const std::vector<float> mask(12, 0.0f);
    switch (r) {
    case DCE:
    case UNC:
        fuzz::write_fits(companion_path(r), FLOAT_IMG, p2, plane, {});
        break;
    case FLAT:
    case TCAL_FLAT:
        fuzz::write_fits(companion_path(r), FLOAT_IMG, p3, two_planes, {});
        break;
    default:
        fuzz::write_fits(companion_path(r), SHORT_IMG, p2, mask, {});
        break;
    }
}

void set_names(file_names* fn) {
    std::string names[ROLE_COUNT];
    for (int r = 0; r < ROLE_COUNT; ++r)
        names[r] = companion_path(r);
    plenor_store_name(fn->FITS_Input_File, names[DCE].c_str(), false);
    plenor_store_name(fn->FITS_Flatfield_File, names[FLAT].c_str(), false);
    plenor_store_name(fn->Input_Uncertainty_File, names[UNC].c_str(), false);
    plenor_store_name(fn->Pmask_File, names[PMASK].c_str(), false);
    plenor_store_name(fn->Dmask_File, names[DMASK].c_str(), false);
    plenor_store_name(fn->Cmask_File, names[CMASK].c_str(), false);
    plenor_store_name(fn->Transmission_Cal_Flatfile, names[TCAL_FLAT].c_str(), false);
    plenor_store_name(fn->Transmission_Cal_Mask_File, names[TCAL_CMASK].c_str(), false);
}

void run_read(const fuzz::input& in) {
    const int fuzzed = in.head[0] % ROLE_COUNT;
    // The companions are written once; the one the previous input replaced is restored.
    static int replaced = -1;
    if (replaced < 0) {
        for (int r = 0; r < ROLE_COUNT; ++r)
            write_companion(r);
    } else if (replaced != fuzzed) {
        write_companion(replaced);
    }
    fuzz::write_file(companion_path(fuzzed), in.data, in.size);
    replaced = fuzzed;

    fuzz::plenor_records& r = fuzz::fresh_plenor_records();
    r.rc.I_Verbose = (in.head[0] >> 7) & 1;
    set_names(&r.fn);
    float* dce = nullptr;
    float* unc = nullptr;
    float* flat = nullptr;
    float* tcal_flat = nullptr;
    short* pmask = nullptr;
    short* dmask = nullptr;
    short* cmask = nullptr;
    short* tcal_cmask = nullptr;
    plenor_read_data(&r.fn, &r.dims, &dce, &unc, &r.rc, &pmask, &dmask, &cmask, &flat, &tcal_flat,
                     &tcal_cmask);
    plenor_exit(&dce, &unc, &pmask, &dmask, &cmask, &flat, &tcal_flat, &tcal_cmask, &r.dims, &r.rc);
}

} // namespace

const fuzz::harness fuzz::this_harness{1, nullptr, 0, run_read};
