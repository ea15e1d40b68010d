// Clean-up: releases the image buffers and turns any failure into the exit code 64.
#include "plenor.h"

#include <cstdio>
#include <cstdlib>

namespace {

template <typename T> void release(T** buffer) {
    if (*buffer != nullptr) {
        std::free(*buffer);
        *buffer = nullptr;
    }
}

} // namespace

int plenor_exit(float** dce, float** unc, short** pmask, short** dmask, short** cmask, float** flat,
                float** tcal_flat, short** tcal_cmask, image_dims* /*dims*/, run_control* rc) {
    release(dce);
    release(unc);
    release(pmask);
    release(dmask);
    release(cmask);
    release(flat);
    release(tcal_flat);
    release(tcal_cmask);
    if (rc->status != 0) {
        rc->status = PLENOR_EXIT_FAILURE;
    }
    if (rc->I_Verbose != 0) {
        std::printf("plenor_exit: Memory Deallocated.\n");
    }
    return 0;
}
