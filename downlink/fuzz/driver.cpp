// The driver every harness shares: the one LLVMFuzzerTestOneInput, which runs an input as the
// harness's description (this_harness) asks, and, in builds without the fuzzing engine, the
// replay of saved inputs: every file named on the command line and every regular file of
// every folder named there (in name order) goes once through LLVMFuzzerTestOneInput.  The
// replay ends with status 0 when all inputs went through, 1 when an argument or file could
// not be read; a finding aborts the process.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::harness& h = fuzz::this_harness;
    if (size < h.head)
        return 0;
    // Standard output goes to /dev/null (the routines print a lot); errors stay visible.
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    fuzz::input in{data, data + h.head, size - h.head, h.file ? fuzz::scratch_path(h.file) : ""};
    const auto body = [&] {
        if (h.file)
            fuzz::write_file(in.path, in.data, in.size);
        h.run(in);
    };
    if (!quiet)
        fuzz::finding("fuzz harness", "cannot send standard output to /dev/null");
    h.refusal != 0 ? fuzz::run_guarded(body, h.refusal) : body();
    return 0;
}

#ifndef DOWNLINK_FUZZ_ENGINE
int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        const size_t from = files.size();
        if (fs::is_regular_file(argv[i], ec))
            files.push_back(argv[i]);
        for (const auto& e :
             fs::directory_iterator(fs::is_directory(argv[i], ec) ? argv[i] : "", ec))
            if (e.is_regular_file())
                files.push_back(e.path());
        std::sort(files.begin() + from, files.end());
        if (files.size() == from && !fs::is_directory(argv[i], ec))
            ok = std::fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]) < 0;
    }
    for (const fs::path& p : files) {
        std::ifstream f(p, std::ios::binary);
        ok = ok && f.is_open();
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu inputs replayed\n", files.size());
    return ok ? 0 : 1;
}
#endif
