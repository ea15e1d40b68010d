// What the fuzz harnesses share with their driver (driver.cpp): the description a harness
// gives the driver, scratch files, a guard for routines that end the process by design, a
// reader of structured input bytes, program arguments and a small FITS image writer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace fuzz {

// Path of the file `name` in this process's scratch folder ($TMPDIR, else /dev/shm, else
// /tmp), made on first use and removed with its files when the process ends normally.
std::string scratch_path(const std::string& name);

// Replaces the file at `path` by the given bytes; aborts when it cannot.
void write_file(const std::string& path, const uint8_t* data, size_t size);

// Runs `body` in a forked child first, as the routines it calls may end the process with
// `accepted_status` on purpose: that end is a refusal (the child's coverage counters are
// taken over in a build for the fuzzing engine); a normal return runs the body once more
// here, so that the fuzzer and the sanitizers see it; any other end aborts (a finding).
void run_guarded(const std::function<void()>& body, int accepted_status);

// Reports a broken promise of the routine under test and aborts: the input is a finding.
[[noreturn]] void finding(const char* harness, const std::string& what);

// One input: the leading control bytes the harness asked for, the rest, and the scratch file
// holding the rest (when the harness names one).
struct input {
    const uint8_t* head;
    const uint8_t* data;
    size_t size;
    std::string path;
};

// What differs between the harnesses.  Inputs shorter than `head` bytes are skipped; with a
// `file`, the rest of the input is written to that scratch file first; with a `refusal`
// status other than 0 every input runs under run_guarded.  Standard output is quieted.
struct harness {
    const char* name;
    size_t head;
    const char* file;
    int refusal;
    void (*run)(const input& in);
};
// The harness of this program: the one of the list named FUZZ_HARNESS (given by the build).
extern const harness this_harness;
harness pick(const char* name, std::initializer_list<harness> list);

// Arguments of a program run, each its own allocation of exactly its length, so that the
// address checker sees a read past an argument's end; argv()[argc()] is null.
struct arg_list {
    explicit arg_list(const std::vector<std::string>& args);
    ~arg_list();
    int argc() const { return static_cast<int>(argv_.size()) - 1; }
    char** argv() { return argv_.data(); }
    std::vector<char*> argv_;
};

// Takes fixed-size values from the front of an input; missing bytes read as zero.
struct byte_reader {
    template <class T> T take() {
        T v{};
        const size_t n = sizeof v < size ? sizeof v : size;
        std::copy(data, data + n, reinterpret_cast<uint8_t*>(&v));
        data += n;
        size -= n;
        return v;
    }
    const uint8_t* data;
    size_t size;
};

// Writes a primary image of BITPIX -32 (float) or 16 (values rounded to 16 bits) with the
// given axes and values over any file at `path`; aborts on failure.
void write_fits(const std::string& path, int bitpix, std::vector<long> axes,
                std::vector<float> values);

} // namespace fuzz
