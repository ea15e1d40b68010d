// Fuzz harness of the namelist reading of stackle: the input is a namelist file.  Runs what a
// namelist-mode run does with it: the settings section (process_namelist), the search for the
// optional list sections (find_markers), and the counting and reading of each list section.
// These routines end the process with status 64 on a refused value or an over-long file
// name, so each input runs guarded (a forked child first; status 64 is a refusal, not
// a finding).
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

void run_namelist(const fuzz::input& in) {
    control_settings cs;
    clear_cs_flags(&cs);
    std::snprintf(cs.progname, sizeof cs.progname, "%s", "stackle");
    fuzz::arg_list args({"stackle", "-n", in.path});
    process_namelist(&cs, args.argc(), args.argv());
    unsigned char sdev = 0;
    unsigned char bmask = 0;
    unsigned char pmask = 0;
    find_markers(in.path.c_str(), &sdev, &bmask, &pmask);
    char first[STACKLE_STRLEN];
    const int n = count_filenames(in.path.c_str(), 1, "&COADD_DATA", "&END", first);
    read_section(in.path, "&COADD_DATA", n);
    if (sdev)
        read_section(in.path, "&COADD_SDEV", n);
    if (bmask)
        read_section(in.path, "&COADD_BMASK", n);
    if (pmask)
        read_section(in.path, "&COADD_PMASK", n);
}

} // namespace

const fuzz::harness fuzz::this_harness{0, "stackle.nl", STACKLE_FAIL, run_namelist};
