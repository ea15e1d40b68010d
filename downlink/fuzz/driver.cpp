// The driver every harness shares: the one LLVMFuzzerTestOneInput, which runs an input as
// the harness's description (this_harness) asks, and, in builds without the fuzzing engine,
// the replay of saved inputs.  The replay sends every file named on the command line, and
// every regular file in every folder named there (in name order), once through
// LLVMFuzzerTestOneInput; it ends with status 0 when all inputs went through, 1 when an
// argument or file could not be read; a finding aborts the process.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::harness& h = fuzz::this_harness;
    if (size < h.head)
        return 0;
    fuzz::quiet_stdout();
    fuzz::input in{data, data + h.head, size - h.head, h.file ? fuzz::scratch_path(h.file) : ""};
    const auto body = [&] {
        if (h.file)
            fuzz::write_file(in.path, in.data, in.size);
        h.run(in);
    };
    if (h.refusal != 0)
        fuzz::run_guarded(body, h.refusal);
    else
        body();
    return 0;
}

#ifndef DOWNLINK_FUZZ_ENGINE
namespace {

bool replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

// Files of the argument: the file itself, or the regular files of the folder in name order.
bool inputs_of(const char* arg, std::vector<std::filesystem::path>* out) {
    std::error_code ec;
    const std::filesystem::path p(arg);
    if (std::filesystem::is_regular_file(p, ec)) {
        out->push_back(p);
        return true;
    }
    if (!std::filesystem::is_directory(p, ec)) {
        std::fprintf(stderr, "replay: no such file or folder: %s\n", arg);
        return false;
    }
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(p, ec))
        if (entry.is_regular_file())
            found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    out->insert(out->end(), found.begin(), found.end());
    return !ec;
}

} // namespace

int main(int argc, char** argv) {
    bool ok = true;
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> inputs;
        ok = inputs_of(argv[i], &inputs) && ok;
        for (const auto& path : inputs) {
            ok = replay_file(path) && ok;
            ++count;
        }
    }
    std::fprintf(stderr, "replay: %zu inputs replayed\n", count);
    return ok ? 0 : 1;
}
#endif
