#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fitsio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

// Coverage counters of the instrumented code (only in a build for the fuzzing engine; the
// linker defines the bounds of the section when it exists).
extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak));
}

namespace fuzz {

namespace {

std::string scratch_dir;
std::vector<std::string> scratch_files;
const size_t counters = static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);

[[noreturn]] void environment_failure(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz harness: %s %s\n", what, detail.c_str());
    std::abort();
}

} // namespace

std::string scratch_path(const char* name) {
    if (scratch_dir.empty()) { // a memory file system keeps fuzzing fast
        const char* tmp = std::getenv("TMPDIR");
        scratch_dir = tmp != nullptr && *tmp != '\0'         ? tmp
                      : access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm"
                                                             : "/tmp";
        scratch_dir += "/downlink-fuzz-XXXXXX";
        if (mkdtemp(&scratch_dir[0]) == nullptr)
            environment_failure("cannot make a scratch folder from", scratch_dir);
        std::atexit([] {
            for (const std::string& f : scratch_files)
                std::remove(f.c_str());
            rmdir(scratch_dir.c_str());
        });
    }
    const std::string path = scratch_dir + "/" + name;
    if (std::find(scratch_files.begin(), scratch_files.end(), path) == scratch_files.end())
        scratch_files.push_back(path);
    return path;
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f != nullptr && (size == 0 || std::fwrite(data, 1, size, f) == size);
    if (f == nullptr || std::fclose(f) != 0 || !ok)
        environment_failure("cannot write", path);
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
    if (pid > 0 && WIFEXITED(ws) && WEXITSTATUS(ws) == accepted_status) {
        for (size_t i = 0; seen != nullptr && i < counters; ++i)
            __start___sancov_cntrs[i] = std::max(__start___sancov_cntrs[i], seen[i]);
        return;
    }
    if (pid > 0 && WIFEXITED(ws) && WEXITSTATUS(ws) == 0)
        return body();
    std::fprintf(stderr, "fuzz harness: the routine under test ended with status %d, signal %d\n",
                 WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, WIFSIGNALED(ws) ? WTERMSIG(ws) : 0);
    std::abort();
}

void finding(const char* harness, const char* what) {
    std::fprintf(stderr, "%s: %s\n", harness, what);
    std::abort();
}

harness pick(const char* name, std::initializer_list<harness> list) {
    for (const harness& h : list)
        if (std::strcmp(h.name, name) == 0)
            return h;
    environment_failure("no harness named", name);
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
        environment_failure("cannot write the FITS file", path);
}

} // namespace fuzz
