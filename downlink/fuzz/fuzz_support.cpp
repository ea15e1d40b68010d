#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fitsio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

// Coverage counters of the instrumented code in this program (present only in a build for
// the fuzzing engine; the linker defines the bounds of the section when it exists).
extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak));
}

namespace fuzz {

namespace {

struct scratch_folder {
    std::string dir;
    std::vector<std::string> files;
};

scratch_folder& scratch() {
    static scratch_folder folder;
    return folder;
}

void remove_scratch() {
    scratch_folder& s = scratch();
    for (const std::string& f : s.files)
        std::remove(f.c_str());
    if (!s.dir.empty())
        rmdir(s.dir.c_str());
}

// Folder for the scratch folder: $TMPDIR when set, else the memory file system when there
// is one (every input is written to a file: a disk-backed folder slows fuzzing tenfold),
// else /tmp.
std::string scratch_parent() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && *tmp != '\0')
        return tmp;
    if (access("/dev/shm", W_OK | X_OK) == 0)
        return "/dev/shm";
    return "/tmp";
}

[[noreturn]] void environment_failure(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz harness: %s %s\n", what, detail.c_str());
    std::abort();
}

// Memory shared with the forked children, as large as the coverage counters: a child that
// ends through exit() leaves its counters there, so that the fuzzer sees the paths of the
// refusal too.  Null without counters.
uint8_t* shared_counters() {
    static uint8_t* shared = nullptr;
    static bool made = false;
    const size_t n = static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
    if (!made && __start___sancov_cntrs != nullptr && n > 0) {
        void* m = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        shared = m == MAP_FAILED ? nullptr : static_cast<uint8_t*>(m);
    }
    made = true;
    return shared;
}

size_t counter_count() {
    return static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
}

// In the child: hand the coverage counters over and end at once with the status given to
// exit(), before the handlers of the fuzzer and the leak checker (registered earlier) could
// turn a refusal into a failure.
void end_child_quietly(int status, void* shared) {
    if (shared != nullptr)
        std::memcpy(shared, __start___sancov_cntrs, counter_count());
    _exit(status);
}

// In this process: take over the counters the child left.
void adopt_child_counters(const uint8_t* shared) {
    if (shared == nullptr)
        return;
    const size_t n = counter_count();
    for (size_t i = 0; i < n; ++i)
        if (shared[i] > __start___sancov_cntrs[i])
            __start___sancov_cntrs[i] = shared[i];
}

void describe_child_end(int wstatus, int accepted_status) {
    if (WIFSIGNALED(wstatus))
        std::fprintf(stderr, "fuzz harness: the routine under test died of signal %d\n",
                     WTERMSIG(wstatus));
    else
        std::fprintf(stderr,
                     "fuzz harness: the routine under test ended with status %d "
                     "(only 0 and %d are expected)\n",
                     WEXITSTATUS(wstatus), accepted_status);
}

} // namespace

std::string scratch_path(const char* name) {
    scratch_folder& s = scratch();
    if (s.dir.empty()) {
        std::string pattern = scratch_parent() + "/downlink-fuzz-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr)
            environment_failure("cannot make a scratch folder from", pattern);
        s.dir = buf.data();
        std::atexit(remove_scratch);
    }
    std::string path = s.dir + "/" + name;
    for (const std::string& f : s.files)
        if (f == path)
            return path;
    s.files.push_back(path);
    return path;
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        environment_failure("cannot write", path);
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !ok)
        environment_failure("cannot write", path);
}

void quiet_stdout() {
    static bool done = false;
    if (done)
        return;
    done = true;
    std::fflush(stdout);
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        environment_failure("cannot send standard output to", "/dev/null");
}

void run_guarded(const std::function<void()>& body, int accepted_status) {
    uint8_t* shared = shared_counters();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        environment_failure("cannot fork", "");
    if (pid == 0) {
        on_exit(end_child_quietly, shared);
        body();
        std::fflush(nullptr);
        _exit(0);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == accepted_status) {
        adopt_child_counters(shared);
        return;
    }
    if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) {
        body();
        return;
    }
    describe_child_end(wstatus, accepted_status);
    std::abort();
}

void finding(const char* harness, const char* what) {
    std::fprintf(stderr, "%s: %s\n", harness, what);
    std::abort();
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

void byte_reader::take(void* out, size_t n) {
    std::memset(out, 0, n);
    const size_t got = n < size_ ? n : size_;
    std::memcpy(out, data_, got);
    data_ += got;
    size_ -= got;
}

uint8_t byte_reader::u8() {
    uint8_t v;
    take(&v, sizeof v);
    return v;
}

int32_t byte_reader::i32() {
    int32_t v;
    take(&v, sizeof v);
    return v;
}

double byte_reader::f64() {
    double v;
    take(&v, sizeof v);
    return v;
}

std::string byte_reader::rest_text() {
    std::string text(reinterpret_cast<const char*>(data_), size_);
    data_ += size_;
    size_ = 0;
    const size_t nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
}

void write_fits(const std::string& path, int bitpix, const std::vector<long>& axes,
                const std::vector<float>& values, const std::vector<fits_key>& keys) {
    std::remove(path.c_str());
    fitsfile* fp = nullptr;
    int st = 0;
    std::vector<long> naxes(axes);
    fits_create_file(&fp, path.c_str(), &st);
    fits_create_img(fp, bitpix, static_cast<int>(naxes.size()), naxes.data(), &st);
    for (const fits_key& k : keys) {
        if (k.is_text) {
            fits_update_key(fp, TSTRING, k.name.c_str(), const_cast<char*>(k.text.c_str()), nullptr,
                            &st);
        } else {
            long v = k.number;
            fits_update_key(fp, TLONG, k.name.c_str(), &v, nullptr, &st);
        }
    }
    if (!values.empty()) {
        std::vector<float> copy(values);
        fits_write_img(fp, TFLOAT, 1, static_cast<LONGLONG>(copy.size()), copy.data(), &st);
    }
    fits_close_file(fp, &st);
    if (st != 0)
        environment_failure("cannot write the FITS file", path);
}

} // namespace fuzz
