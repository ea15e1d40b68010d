// The error report: the status code in words and the processor time of the run.
#include "plenor.h"

#include <cstdio>

namespace {

// Zero of every processor time the run prints.
std::clock_t clock_zero = 0;

} // namespace

void plenor_clock_start() {
    clock_zero = std::clock();
}

float plenor_cpu_seconds() {
    const float microseconds =
        static_cast<float>(std::clock() - clock_zero) * (1.0e6f / CLOCKS_PER_SEC);
    return microseconds / 1.0e6f;
}

int plenor_error_handler(run_control* rc) {
    const int32_t status = rc->status;
    const int fcn = (status >> 16) & 0xFFFF;
    int msg = status & 0xFFFF;
    if (status & MSG_FITS_STATUS) {
        msg -= MSG_FITS_STATUS;
    }
    char fcn_text[64];
    char msg_text[64];
    plenor_decode_fcnname(fcn, fcn_text);
    plenor_decode_message(msg, msg_text);
    if (status != 0) {
        std::printf("plenor Error Message      0x%04x: %s.\n", msg, msg_text);
        std::printf("plenor Error in Function  0x%04x: %s.\n", fcn, fcn_text);
    }
    std::printf("Time = %5.3f seconds\n", plenor_cpu_seconds());
    if (rc->I_Verbose != 0) {
        std::printf("plenor_error_handler: Error Handler finished.\n");
    }
    return 0;
}
