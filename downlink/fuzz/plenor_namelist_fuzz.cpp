// Fuzz harness of the namelist reader of plenor (plenor_parse_namelist): the input is the
// namelist file, named with "-n".  The reader reports failures through the status, so it
// runs in this process; afterwards every name field must still be terminated.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "plenor.h"
#include "plenor_fields.h"

namespace {

void run_namelist(const fuzz::input& in) {
    fuzz::plenor_records& r = fuzz::fresh_plenor_records();
    fuzz::arg_list args({"plenor", "-n", in.path});
    plenor_parse_namelist(args.argc(), args.argv(), &r.fn, &r.rc);
    fuzz::check_name_fields(r.fn);
}

} // namespace

const fuzz::harness fuzz::this_harness{0, "plenor.nl", 0, run_namelist};
