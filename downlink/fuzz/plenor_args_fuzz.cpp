// Fuzz harness of the command-line parser of plenor (plenor_parse_args): the input is split
// at newlines and NULs into the arguments that follow the program name (at most 64).  Each
// argument is its own allocation of exactly its length, so that the address checker sees a
// read past an argument's end or past the last argument.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "plenor.h"
#include "plenor_fields.h"

namespace {

constexpr size_t MAX_ARGS = 64;

std::vector<std::string> split_args(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"plenor"};
    std::string current;
    for (size_t i = 0; i < size && args.size() <= MAX_ARGS; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\n' || c == '\0') {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty() && args.size() <= MAX_ARGS)
        args.push_back(current);
    return args;
}

void run_args(const fuzz::input& in) {
    fuzz::arg_list args(split_args(in.data, in.size));
    fuzz::plenor_records& r = fuzz::fresh_plenor_records();
    plenor_parse_args(args.argc(), args.argv(), &r.fn, &r.rc);
    fuzz::check_name_fields(r.fn);
}

} // namespace

const fuzz::harness fuzz::this_harness{0, nullptr, 0, run_args};
