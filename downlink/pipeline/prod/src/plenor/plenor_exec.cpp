// plenor: flat-fields one DCE.  Runs the stages once, in order; the first failure recorded in
// the status stops the image stages, while the log, the report and the clean-up always run.
#include "plenor.h"
#include "product_files.h"

#include <cstdio>
#include <ctime>

int main(int argc, char** argv) {
    product_files_init();
    plenor_clock_start();
    std::printf("Pipeline Module PLENOR Version %3.1f\n", PLENOR_VERSION);

    const std::time_t now = std::time(nullptr);
    struct tm start {};
    localtime_r(&now, &start);
    char start_text[32];
    plenor_asctime(&start, start_text, sizeof start_text);
    std::printf("Processing time %s\n", start_text);

    static file_names names;
    run_control control;
    image_dims dims;
    float* dce = nullptr;
    float* unc = nullptr;
    short* pmask = nullptr;
    short* dmask = nullptr;
    short* cmask = nullptr;
    float* flat = nullptr;
    float* tcal_flat = nullptr;
    short* tcal_cmask = nullptr;

    plenor_init_constants(&names, &control, &dims);
    plenor_parse_namelist(argc, argv, &names, &control);
    plenor_parse_args(argc, argv, &names, &control);
    plenor_check_files(&names, &control);
    plenor_read_data(&names, &dims, &dce, &unc, &control, &pmask, &dmask, &cmask, &flat, &tcal_flat,
                     &tcal_cmask);
    plenor_compute_results(&dims, dce, unc, &control, pmask, dmask, cmask, flat, tcal_flat,
                           tcal_cmask);
    plenor_output(&names, &dims, &control, &start, dmask, dce, unc);
    plenor_write_log(&names, &control);
    plenor_error_handler(&control);
    plenor_exit(&dce, &unc, &pmask, &dmask, &cmask, &flat, &tcal_flat, &tcal_cmask, &dims,
                &control);

    std::printf("exit code %d\n", control.status);
    return control.status;
}
