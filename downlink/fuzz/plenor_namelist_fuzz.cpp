// Fuzz harness of the namelist reader of plenor (plenor_parse_namelist): the input is the
// namelist file, named with "-n".  The reader reports failures through the status, so it
// runs in this process; afterwards every name field must still be terminated.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "plenor.h"
#include "plenor_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::quiet_stdout();
    const std::string path = fuzz::scratch_path("plenor.nl");
    fuzz::write_file(path, data, size);
    static file_names fn;
    run_control rc{};
    image_dims dims{};
    plenor_init_constants(&fn, &rc, &dims);
    char arg0[] = "plenor";
    char arg1[] = "-n";
    std::string arg2 = path;
    char* argv[] = {arg0, arg1, &arg2[0], nullptr};
    plenor_parse_namelist(3, argv, &fn, &rc);
    fuzz::check_name_fields(fn);
    return 0;
}
