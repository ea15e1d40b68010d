// Processing log: one block per run, appended to the named file or written to standard
// output, with the file names and levels of the run and its processor time.
#include "plenor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

FILE* fp_Logfile = nullptr; // the open log stream, none between uses
bool done_header = false;   // the header line has been written in this run

// Flushes the log stream and closes it unless it is standard output.  Returns 0 when every
// write to it since it was opened reached the file, else the error number of the failure (a
// full device shows only here, when the buffered text is handed over).
int close_logfile() {
    int error = 0;
    if (std::fflush(fp_Logfile) != 0 || std::ferror(fp_Logfile) != 0) {
        error = errno != 0 ? errno : EIO;
    }
    if (fp_Logfile != stdout && std::fclose(fp_Logfile) != 0 && error == 0) {
        error = errno != 0 ? errno : EIO;
    }
    fp_Logfile = nullptr;
    return error;
}

} // namespace

void open_logfile(file_names* fn) {
    if (fp_Logfile == nullptr) {
        if (std::strcmp(fn->Processing_Log_File, "stdout") == 0) {
            std::printf("plenor_log_writer:");
            std::printf(" Printing Log output to stdout\n");
            fp_Logfile = stdout;
        } else {
            fp_Logfile = fn->Processing_Log_File[0] != '\0'
                             ? std::fopen(fn->Processing_Log_File, "a")
                             : nullptr;
            if (fp_Logfile == nullptr) {
                std::printf("plenor_log_writer: Could ");
                std::printf("not open Log File, using stdout\n");
                fp_Logfile = stdout;
            }
        }
    }
    if (!done_header) {
        std::fprintf(fp_Logfile, "Plenor Version %3.1f\n", PLENOR_VERSION);
        done_header = true;
    }
}

void write_log_line(const char* text, file_names* fn) {
    if (text == nullptr) {
        return;
    }
    open_logfile(fn);
    std::fprintf(fp_Logfile, "plenor log:%s\n", text);
}

int plenor_write_log(file_names* fn, run_control* rc) {
    open_logfile(fn);
    FILE* log = fp_Logfile;
    std::fprintf(log, "Namelist File  = %s\n", fn->Namelist_File);
    std::fprintf(log, "Input DCE = %s\n", fn->FITS_Input_File);
    std::fprintf(log, "Output DCE = %s\n", fn->FITS_Output_File);
    std::fprintf(log, "Flatfield = %s\n", fn->FITS_Flatfield_File);
    std::fprintf(log, "Input Uncertainty = %s\n", fn->Input_Uncertainty_File);
    std::fprintf(log, "Output Uncertainty = %s\n", fn->Output_Uncertainty_File);
    std::fprintf(log, "Pmask File = %s\n", fn->Pmask_File);
    std::fprintf(log, "Pmask Mask = %d\n", rc->PmaskMask);
    std::fprintf(log, "Dmask File = %s\n", fn->Dmask_File);
    std::fprintf(log, "Dmask Mask = %d\n", rc->DmaskMask);
    std::fprintf(log, "Cmask File = %s\n", fn->Cmask_File);
    std::fprintf(log, "Cmask Mask = %d\n", rc->CmaskMask);
    std::fprintf(log, "Trans CAL File = %s\n", fn->Transmission_Cal_Flatfile);
    std::fprintf(log, "Trans CAL CMask File = %s\n", fn->Transmission_Cal_Mask_File);
    std::fprintf(log, "Processing Log File = %s\n", fn->Processing_Log_File);
    std::fprintf(log, "Time = %7.2f seconds\n*********************\n\n", plenor_cpu_seconds());
    const char* shown = log == stdout ? "standard output" : fn->Processing_Log_File;
    const int error = close_logfile();
    if (error != 0) {
        // A log cut short fails the run like a product that cannot be written; an earlier
        // failure keeps its code.
        std::printf("plenor_log_writer: cannot write %s: %s\n", shown, std::strerror(error));
        if (rc->status == 0) {
            rc->status = plenor_code(FCN_OUTPUT_DATA, MSG_FITS_STATUS) | WRITE_ERROR;
        }
    }
    if (rc->I_Verbose != 0) {
        std::printf("plenor_log_writer: Log Writer finished.\n");
    }
    return error == 0 ? 0 : -1;
}
