// Fuzz harness of the file-list readers of stackle (count_filenames, read_filenames): the
// first input byte chooses plain-list or namelist mode, the section and the number of names
// the reader is told to expect; the rest is the list file.  The name table is allocated at
// exactly the expected number of rows so that the address checker sees any row written past
// it.  A refused name (over-long, or holding a NUL) ends the process with status 64 by
// design, so each input runs guarded.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "stackle.h"

namespace {

const char* const MARKERS[] = {"&COADD_DATA", "&COADD_SDEV", "&COADD_BMASK", "&COADD_PMASK"};

void run_lists(const fuzz::input& in) {
    const unsigned char nl_mode = in.head[0] & 1;
    const char* marker = MARKERS[(in.head[0] >> 1) & 3];
    const int expected = in.head[0] >> 3; // 0..31
    char first[STACKLE_STRLEN];
    const int n = count_filenames(in.path.c_str(), nl_mode, marker, "&END", first);
    if (n < 0 || std::memchr(first, '\0', sizeof first) == nullptr)
        std::abort();
    const size_t rows = expected > 0 ? static_cast<size_t>(expected) : 1;
    auto* names = static_cast<char(*)[STACKLE_STRLEN]>(std::malloc(rows * STACKLE_STRLEN));
    read_filenames(in.path.c_str(), nl_mode, names, expected, marker, "&END");
    for (int i = 0; i < expected; ++i)
        if (std::memchr(names[i], '\0', STACKLE_STRLEN) == nullptr)
            std::abort();
    std::free(names);
}

} // namespace

const fuzz::harness fuzz::this_harness{1, "stackle.lst", STACKLE_FAIL, run_lists};
