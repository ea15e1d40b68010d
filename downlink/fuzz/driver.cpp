// The driver every harness shares: the one LLVMFuzzerTestOneInput, which runs an input as the
// harness's description (this_harness) asks, the support routines of fuzz_support.h and, in
// builds without the fuzzing engine, the replay of saved inputs: every file of the folders
// named on the command line goes once through LLVMFuzzerTestOneInput, in name order.  The
// replay ends with status 0 when it replayed at least one input, 1 when there was none; a
// folder or file that cannot be read, or a finding, aborts the process.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <fitsio.h>

#include "fuzz_support.h"

// Coverage counters of the instrumented code (only in a build for the fuzzing engine; the
// linker defines the bounds of the section when it exists).
extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak));
}

namespace fuzz {

namespace {
std::string scratch_dir;
const size_t counters = static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
} // namespace

std::string scratch_path(const std::string& name) {
    if (scratch_dir.empty()) { // a memory file system keeps fuzzing fast
        const char* tmp = std::getenv("TMPDIR");
        scratch_dir = tmp != nullptr && *tmp != '\0'         ? tmp
                      : access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm"
                                                             : "/tmp";
        scratch_dir += "/downlink-fuzz-XXXXXX";
        if (mkdtemp(&scratch_dir[0]) == nullptr)
            finding("fuzz harness", "cannot make a scratch folder from " + scratch_dir);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratch_dir, ec);
        });
    }
    return scratch_dir + "/" + name;
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    f.close();
    if (!f)
        finding("fuzz harness", "cannot write " + path);
}

void run_guarded(const std::function<void()>& body, int accepted_status) {
    // Memory shared with the child, which leaves its coverage counters there when it ends
    // through exit(), at once and before the handlers of the fuzzer and the leak checker
    // (registered earlier) could turn a refusal into a failure.
    static void* shared = counters == 0 ? MAP_FAILED
                                        : mmap(nullptr, counters, PROT_READ | PROT_WRITE,
                                               MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    uint8_t* seen = shared == MAP_FAILED ? nullptr : static_cast<uint8_t*>(shared);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        on_exit(
            [](int status, void* to) {
                if (to != nullptr)
                    std::memcpy(to, __start___sancov_cntrs, counters);
                _exit(status);
            },
            seen);
        body();
        std::fflush(nullptr);
        _exit(0);
    }
    int ws = 0;
    while (pid > 0 && waitpid(pid, &ws, 0) < 0) {
    }
    const int status = pid > 0 && WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    for (size_t i = 0; status == accepted_status && seen != nullptr && i < counters; ++i)
        __start___sancov_cntrs[i] = std::max(__start___sancov_cntrs[i], seen[i]);
    if (status == 0)
        return body();
    if (status != accepted_status)
        finding("fuzz harness", "the routine under test ended with status " +
                                    std::to_string(status) + ", signal " +
                                    std::to_string(WIFSIGNALED(ws) ? WTERMSIG(ws) : 0));
}

void finding(const char* harness, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", harness, what.c_str());
    std::abort();
}

harness pick(const char* name, std::initializer_list<harness> list) {
    for (const harness& h : list)
        if (std::strcmp(h.name, name) == 0)
            return h;
    finding("fuzz harness", std::string("no harness named ") + name);
}

arg_list::arg_list(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        argv_.push_back(strdup(a.c_str()));
    argv_.push_back(nullptr);
}

arg_list::~arg_list() {
    for (char* a : argv_)
        std::free(a);
}

void write_fits(const std::string& path, int bitpix, std::vector<long> axes,
                std::vector<float> values) {
    std::remove(path.c_str());
    fitsfile* fp = nullptr;
    int st = 0;
    fits_create_file(&fp, path.c_str(), &st);
    fits_create_img(fp, bitpix, static_cast<int>(axes.size()), axes.data(), &st);
    fits_write_img(fp, TFLOAT, 1, static_cast<LONGLONG>(values.size()), values.data(), &st);
    fits_close_file(fp, &st);
    if (st != 0)
        finding("fuzz harness", "cannot write the FITS file " + path);
}

} // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::harness& h = fuzz::this_harness;
    if (size < h.head)
        return 0;
    // Standard output goes to /dev/null (the routines print a lot); errors stay visible.
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    if (!quiet)
        fuzz::finding("fuzz harness", "cannot send standard output to /dev/null");
    fuzz::input in{data, data + h.head, size - h.head, h.file ? fuzz::scratch_path(h.file) : ""};
    const auto body = [&] {
        if (h.file)
            fuzz::write_file(in.path, in.data, in.size);
        h.run(in);
    };
    h.refusal != 0 ? fuzz::run_guarded(body, h.refusal) : body();
    return 0;
}

#ifndef DOWNLINK_FUZZ_ENGINE
int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i)
        for (const auto& e : std::filesystem::directory_iterator(argv[i]))
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const std::filesystem::path& p : files) {
        std::ifstream f(p, std::ios::binary);
        if (!f)
            fuzz::finding("replay", "cannot read " + p.string());
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
#endif
