// Fuzz harness of the command-line parser of plenor (plenor_parse_args): the input is split
// at newlines and NULs into the arguments that follow the program name (at most 64).  Each
// argument is its own allocation of exactly its length, so that the address checker sees a
// read past an argument's end or past the last argument.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "plenor.h"
#include "plenor_fields.h"

namespace {

constexpr size_t MAX_ARGS = 64;

std::vector<std::string> split_args(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size && args.size() < MAX_ARGS; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\n' || c == '\0') {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty() && args.size() < MAX_ARGS)
        args.push_back(current);
    return args;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::quiet_stdout();
    const std::vector<std::string> args = split_args(data, size);
    std::vector<char*> argv;
    argv.push_back(strdup("plenor"));
    for (const std::string& a : args)
        argv.push_back(strdup(a.c_str()));
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    static file_names fn;
    run_control rc{};
    image_dims dims{};
    plenor_init_constants(&fn, &rc, &dims);
    plenor_parse_args(argc, argv.data(), &fn, &rc);
    fuzz::check_name_fields(fn);
    for (char* a : argv)
        std::free(a);
    return 0;
}
