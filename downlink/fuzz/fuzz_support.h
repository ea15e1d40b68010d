// Shared pieces of the fuzz harnesses: the description a harness gives the shared driver,
// scratch files, quiet standard output, a guard for routines that end the process by design,
// a reader of structured input bytes, program arguments, and a small FITS image writer for
// companion files and seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fuzz {

// Path of the file `name` in this process's scratch folder, which is made on first use and
// removed, with the files named through here, when the process ends normally.
std::string scratch_path(const char* name);

// Replaces the file at `path` by the given bytes.  Aborts when it cannot (the environment is
// broken, the input is not at fault).
void write_file(const std::string& path, const uint8_t* data, size_t size);

// Sends standard output to /dev/null (once): the routines under test print a lot of it.
// Standard error stays, so sanitizer reports and the fuzzer's own lines are seen.
void quiet_stdout();

// Runs `body` for one input when the routines it calls may end the process with
// `accepted_status` on purpose.  The body first runs in a forked child:
//   - the child ends with `accepted_status`: a documented refusal; nothing more is done
//     than taking over the child's coverage counters (in a build for the fuzzing engine);
//   - the child returns normally: the body runs once more in this process, so that the
//     fuzzer records its coverage and the sanitizers check it here as well;
//   - any other end (a signal, a sanitizer report, another status): the child's end is
//     described on standard error and this process aborts, which makes the input a finding.
void run_guarded(const std::function<void()>& body, int accepted_status);

// Reports a broken promise of the routine under test on standard error and aborts, which
// makes the input a finding.
[[noreturn]] void finding(const char* harness, const char* what);

// One input as the shared driver (driver.cpp) hands it to a harness: the leading control
// bytes the harness asked for, the rest, and the scratch file holding the rest (when the
// harness names one).
struct input {
    const uint8_t* head;
    const uint8_t* data;
    size_t size;
    std::string path;
};

// What differs between the harnesses; each defines `this_harness` and nothing else runs an
// input.  Inputs shorter than `head` bytes are skipped.  With a `file`, the rest of the input
// is written to that scratch file before `run`.  With a `refusal` status other than 0, the
// routines may end the process with it on purpose and every input runs under run_guarded.
// Standard output is always quieted.
struct harness {
    size_t head;
    const char* file;
    int refusal;
    void (*run)(const input& in);
};
extern const harness this_harness;

// The arguments of a program run, each its own allocation of exactly its length, so that
// the address checker sees a read past an argument's end; argv()[argc()] is null.
class arg_list {
  public:
    explicit arg_list(const std::vector<std::string>& args);
    ~arg_list();
    arg_list(const arg_list&) = delete;
    arg_list& operator=(const arg_list&) = delete;
    int argc() const { return static_cast<int>(argv_.size()) - 1; }
    char** argv() { return argv_.data(); }

  private:
    std::vector<char*> argv_;
};

// Takes fixed-size values from the front of an input; missing bytes read as zero.
class byte_reader {
  public:
    byte_reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8();
    int32_t i32();
    double f64();
    // Whatever is left, as text (embedded NULs end it where the reader meets them).
    std::string rest_text();
    size_t left() const { return size_; }

  private:
    void take(void* out, size_t n);
    const uint8_t* data_;
    size_t size_;
};

// One keyword of a written image.
struct fits_key {
    std::string name;
    std::string text; // written as a string keyword when `is_text`
    long number;
    bool is_text;
};

// Writes a primary image of BITPIX -32 (float `values`) or 16 (the values rounded to 16 bits)
// with the given axes and keywords, replacing any file at `path`.  Aborts on failure.
void write_fits(const std::string& path, int bitpix, const std::vector<long>& axes,
                const std::vector<float>& values, const std::vector<fits_key>& keys);

} // namespace fuzz
