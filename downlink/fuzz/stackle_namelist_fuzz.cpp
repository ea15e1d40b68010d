// Fuzz harness of the namelist reading of stackle: the input is a namelist file.  Runs what a
// namelist-mode run does with it: the settings section (process_namelist), the search for the
// optional list sections (find_markers), and the counting and reading of each list section.
// These routines end the process with status 64 on a refused value or an over-long file
// name, so each input runs under fuzz::run_guarded (a forked child first; status 64 is a
// refusal, not a finding).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "stackle.h"

namespace {

// Largest list section read back (a bound on the harness's own allocation only).
constexpr int MAX_READ = 512;

void read_section(const std::string& path, const char* marker, int expected) {
    char first[STACKLE_STRLEN];
    const int n = count_filenames(path.c_str(), 1, marker, "&END", first);
    if (n < 0)
        std::abort();
    const int rows = expected < MAX_READ ? expected : MAX_READ;
    auto* names = static_cast<char(*)[STACKLE_STRLEN]>(std::calloc(rows + 1, STACKLE_STRLEN));
    read_filenames(path.c_str(), 1, names, rows, marker, "&END");
    std::free(names);
}

void run_namelist(const std::string& path) {
    control_settings cs;
    clear_cs_flags(&cs);
    std::snprintf(cs.progname, sizeof cs.progname, "%s", "stackle");
    char arg0[] = "stackle";
    char arg1[] = "-n";
    std::string arg2 = path;
    char* argv[] = {arg0, arg1, &arg2[0], nullptr};
    process_namelist(&cs, 3, argv);
    unsigned char sdev = 0;
    unsigned char bmask = 0;
    unsigned char pmask = 0;
    find_markers(path.c_str(), &sdev, &bmask, &pmask);
    char first[STACKLE_STRLEN];
    const int n = count_filenames(path.c_str(), 1, "&COADD_DATA", "&END", first);
    read_section(path, "&COADD_DATA", n);
    if (sdev)
        read_section(path, "&COADD_SDEV", n);
    if (bmask)
        read_section(path, "&COADD_BMASK", n);
    if (pmask)
        read_section(path, "&COADD_PMASK", n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::run_guarded_file("stackle.nl", data, size, 0, run_namelist, STACKLE_FAIL);
    return 0;
}
