// The fuzz harnesses of the input parsers and readers of both programs and both libraries, and
// the driver they share.  Each harness is a description (name, control bytes, scratch file,
// refusal status) and the routine that runs one input; the build makes one program per
// harness, naming it in FUZZ_HARNESS.  The driver's LLVMFuzzerTestOneInput runs an input as
// that harness asks and, in builds without the fuzzing engine, its main replays saved inputs:
// every file of the folders named on the command line goes once through
// LLVMFuzzerTestOneInput, in name order.  The replay ends with status 0 when it replayed at
// least one input, 1 when there was none; a folder or file that cannot be read, or a finding,
// aborts the process.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <fitsio.h>

#include "coadd_fits.h"
#include "integrate.h"
#include "plenor.h"
#include "stackle.h"
#include "tokenize.h"

// Coverage counters of the instrumented code (only in a build for the fuzzing engine; the
// linker defines the bounds of the section when it exists).
extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak));
}

namespace fuzz {

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

// Arguments of a program run, each its own allocation of exactly its length, so that the
// address checker sees a read past an argument's end; argv()[argc()] is null.
struct arg_list {
    explicit arg_list(const std::vector<std::string>& args) {
        for (const std::string& a : args)
            argv_.push_back(strdup(a.c_str()));
        argv_.push_back(nullptr);
    }
    ~arg_list() {
        for (char* a : argv_)
            std::free(a);
    }
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

// Reports a broken promise of the routine under test (or a broken environment) and aborts:
// the input is a finding.
[[noreturn]] void finding(const char* harness, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", harness, what.c_str());
    std::abort();
}

static std::string scratch_dir;
static const size_t counters = static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);

// Path of the file `name` in this process's scratch folder ($TMPDIR, else /dev/shm, else
// /tmp), made on first use and removed with its files when the process ends normally.
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

// Replaces the file at `path` by the given bytes; aborts when it cannot.
void write_file(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    f.close();
    if (!f)
        finding("fuzz harness", "cannot write " + path);
}

// Runs `body` in a forked child first, as the routines it calls may end the process with
// `accepted_status` on purpose: that end is a refusal (the child's coverage counters are
// taken over in a build for the fuzzing engine); a normal return runs the body once more
// here, so that the fuzzer and the sanitizers see it; any other end aborts (a finding).
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

// Writes a primary image of BITPIX -32 (float) or 16 (values rounded to 16 bits) with the
// given axes and values over any file at `path`; aborts on failure.
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

// Fuzz harnesses of the two libraries.
//   tokenize: random lines, separator sets, buffer sizes and token limits; every buffer has
//     exactly its stated size, so the address checker sees a write past it; the documented
//     limits are checked after each call.
//   clip_polygon: random windows (inverted ones included) and polygons, with lengths in and
//     out of the record's range, on a quarter grid of exact coordinates or raw 64-bit
//     patterns (NaN, infinities, huge values); the result must be status 0 or -1, empty on
//     -1, closed, within the record, and on the exact grid inside the window.
namespace on_libs {

void run_tokenize(const fuzz::input& input) {
    fuzz::byte_reader in{input.data, input.size};
    const int bufsize = in.take<uint8_t>() % 48;
    const int maxtok = in.take<int8_t>() % 24; // a few negative limits too
    std::string specials(in.take<uint8_t>() % 5, '\0');
    for (char& c : specials)
        c = static_cast<char>(in.take<uint8_t>() | 1); // never NUL
    std::vector<char> line(in.data, in.data + in.size);
    line.push_back('\0');
    line.resize(std::strlen(line.data()) + 1); // embedded NULs end the line
    const std::vector<char> before(line);
    std::vector<char*> tokens(maxtok > 0 ? maxtok : 0);
    for (char*& t : tokens)
        t = static_cast<char*>(std::malloc(bufsize > 0 ? bufsize : 1));
    char* rest = nullptr;
    const int found = tokenize(line.data(), specials.c_str(), bufsize, maxtok,
                               tokens.empty() ? nullptr : tokens.data(), &rest);
    if (found < 0 || found > (maxtok > 0 ? maxtok : 0))
        fuzz::finding("tokenize", "token count outside 0..maxtok");
    if (bufsize < 2 && found != 0)
        fuzz::finding("tokenize", "tokens returned although no buffer can hold one");
    for (int i = 0; i < found; ++i)
        if (std::strlen(tokens[i]) > static_cast<size_t>(bufsize - 1))
            fuzz::finding("tokenize", "token longer than its buffer allows");
    if (line != before)
        fuzz::finding("tokenize", "the line was modified");
    if (rest < line.data() || rest > line.data() + line.size() - 1)
        fuzz::finding("tokenize", "rest points outside the line");
    for (char* t : tokens)
        std::free(t);
}

void run_clip(const fuzz::input& input) {
    fuzz::byte_reader in{input.data, input.size};
    const uint8_t mode = in.take<uint8_t>();
    const bool raw = mode & 1, alias = mode & 2; // raw 64-bit values; out is the same record
    int wMin[2], wMax[2];
    for (int k = 0; k < 2; ++k) {
        wMin[k] = in.take<int8_t>();
        wMax[k] = wMin[k] + in.take<int8_t>() % 16; // may be inverted
    }
    static polygon poly, separate;
    std::memset(&poly, 0, sizeof poly);
    std::memset(&separate, 0x5a, sizeof separate);
    poly.len = raw ? in.take<int32_t>() : in.take<uint8_t>() % 110;
    const int fill = poly.len < 0 ? 0 : std::min(poly.len, INTEGRATE_MAX_POLY_PTS);
    for (int i = 0; i < fill; ++i) {
        poly_point& p = poly.pts[i];
        p = raw ? poly_point{in.take<double>(), in.take<double>()}
                : poly_point{in.take<int8_t>() / 4.0, in.take<int8_t>() / 4.0};
    }
    if ((mode & 4) != 0 && fill > 1)
        poly.pts[fill - 1] = poly.pts[0]; // closed as the routine expects
    polygon& out = alias ? poly : separate;
    const int status = clip_polygon(wMin, wMax, &poly, &out);
    if (status != 0 && status != -1)
        fuzz::finding("clip_polygon", "status other than 0 and -1");
    if (status == -1 && out.len != 0)
        fuzz::finding("clip_polygon", "refused polygon left a non-empty result");
    if (out.len < 0 || out.len > INTEGRATE_MAX_POLY_PTS)
        fuzz::finding("clip_polygon", "result length outside the record");
    if (out.len > 0 &&
        (out.len < 2 || std::memcmp(&out.pts[0], &out.pts[out.len - 1], sizeof(poly_point)) != 0))
        fuzz::finding("clip_polygon", "result is not closed");
    for (int i = 0; !raw && wMin[0] <= wMax[0] && wMin[1] <= wMax[1] && i < out.len; ++i) {
        const poly_point& p = out.pts[i];
        if (!(p.x >= wMin[0] - 1e-9 && p.x <= wMax[0] + 1e-9 && p.y >= wMin[1] - 1e-9 &&
              p.y <= wMax[1] + 1e-9))
            fuzz::finding("clip_polygon", "result point outside the window");
    }
}

} // namespace on_libs

// Fuzz harnesses of the input readers of stackle.  Its routines end the process with status
// 64 when they refuse an input, so every input runs guarded.
//   stackle_namelist: a namelist file, read as a namelist-mode run does (process_namelist,
//     find_markers, count_filenames and read_filenames of each list section).
//   stackle_lists: count_filenames and read_filenames; the first byte chooses plain-list or
//     namelist mode, the section and the number of names expected (0..31); the name table
//     has exactly that many rows, so the address checker sees a row written past it.
//   stackle_fmask: read_fmask_lists and read_fmask_params on an FMASK file; the first byte
//     sets debug and verbose; the lists must hold 0..20 entries and USEFOVID must be read.
//   stackle_fits: read_fits (byte 2 chooses the FOVID rule), read_fits_s or
//     read_fits_dims_2d (byte 1, with the debug switch); a returned plane is read whole, so
//     the address checker sees one shorter than its stated size.
namespace on_stackle {

const char* const kSections[] = {"&COADD_DATA", "&COADD_SDEV", "&COADD_BMASK", "&COADD_PMASK"};

// Counts and reads one list section expecting `expected` names (at most 512 are read back:
// a bound on the harness's own allocation); every row read must be terminated.
void read_section(const std::string& path, unsigned char nl_mode, const char* section, int expected,
                  bool exact) {
    char first[STACKLE_STRLEN];
    if (count_filenames(path.c_str(), nl_mode, section, "&END", first) < 0 ||
        std::memchr(first, '\0', sizeof first) == nullptr)
        fuzz::finding("count_filenames", "negative count or unterminated first name");
    const int rows = std::min(expected, 512);
    auto* names =
        static_cast<char(*)[STACKLE_STRLEN]>(exact ? std::malloc(std::max(rows, 1) * STACKLE_STRLEN)
                                                   : std::calloc(rows + 1, STACKLE_STRLEN));
    read_filenames(path.c_str(), nl_mode, names, rows, section, "&END");
    for (int i = 0; exact && i < rows; ++i)
        if (std::memchr(names[i], '\0', STACKLE_STRLEN) == nullptr)
            fuzz::finding("read_filenames", "unterminated name");
    std::free(names);
}

control_settings fresh_settings() {
    control_settings cs;
    clear_cs_flags(&cs);
    std::snprintf(cs.progname, sizeof cs.progname, "%s", "stackle");
    return cs;
}

void run_namelist(const fuzz::input& in) {
    control_settings cs = fresh_settings();
    fuzz::arg_list args({"stackle", "-n", in.path});
    process_namelist(&cs, args.argc(), args.argv());
    unsigned char present[4] = {1, 0, 0, 0};
    find_markers(in.path.c_str(), &present[1], &present[2], &present[3]);
    char first[STACKLE_STRLEN];
    const int n = count_filenames(in.path.c_str(), 1, kSections[0], "&END", first);
    for (int k = 0; k < 4; ++k)
        if (present[k])
            read_section(in.path, 1, kSections[k], n, false);
}

void run_lists(const fuzz::input& in) {
    read_section(in.path, in.head[0] & 1, kSections[(in.head[0] >> 1) & 3], in.head[0] >> 3, true);
}

void run_fmask(const fuzz::input& in) {
    control_settings cs = fresh_settings();
    std::snprintf(cs.fmask_in_file, sizeof cs.fmask_in_file, "%s", in.path.c_str());
    cs.fmask_in_file_f = 1;
    cs.debug = in.head[0] & 1;
    cs.verbose = (in.head[0] >> 1) & 1;
    read_fmask_lists(&cs);
    if (cs.num_fovs < 0 || cs.num_fovs > STACKLE_MAX_FOVS)
        fuzz::finding("read_fmask_lists", "list length outside 0..20");
    read_fmask_params(in.path.c_str(), &cs);
    if (cs.usefovid_f != 1)
        fuzz::finding("read_fmask_params", "returned without USEFOVID");
}

// All values of a plane of xdim x ydim (read once the reader has set them), both positive.
template <typename T> void touch_plane(T* plane, const int& xdim, const int& ydim) {
    if (xdim <= 0 || ydim <= 0)
        fuzz::finding("stackle readers", "plane returned with a non-positive dimension");
    volatile double sum = 0;
    for (size_t i = 0; i < static_cast<size_t>(xdim) * static_cast<size_t>(ydim); ++i)
        sum = sum + static_cast<double>(plane[i]);
    std::free(plane);
}

void run_reader(const fuzz::input& in) {
    const int rules[] = {-9, -1, 0, 1, 2, 7}; // skip FOVID, adopt the file's, require a value
    const int debug = (in.head[0] >> 7) & 1;
    int xdim = 0, ydim = 0, fovid = rules[in.head[1] % 6];
    if (in.head[0] % 3 == 0)
        touch_plane(read_fits(in.path.c_str(), &xdim, &ydim, &fovid, debug), xdim, ydim);
    else if (in.head[0] % 3 == 1)
        touch_plane(read_fits_s(in.path.c_str(), &xdim, &ydim, debug), xdim, ydim);
    else
        read_fits_dims_2d(in.path.c_str(), &xdim, &ydim, debug);
}

} // namespace on_stackle

// Fuzz harnesses of the input readers of plenor, which report failures through a status and
// so run in this process.  After the parsers every name field must still be terminated.
//   plenor_namelist: plenor_parse_namelist on a namelist file named with "-n".
//   plenor_args: plenor_parse_args on the arguments after the program name, split at
//     newlines and NULs (at most 64), each its own allocation of exactly its length.
//   plenor_fits: plenor_read_data; the first byte chooses which of the eight inputs of a run
//     the rest stands for (and, its top bit, verbose output), the others being valid
//     companions of a 4 x 3 DCE with uncertainty; plenor_exit frees what the reader returned.
namespace on_plenor {

struct records {
    file_names fn;
    run_control rc;
    image_dims dims;
};

// The records as plenor_init_constants leaves them (one static copy: the name table is large).
records& fresh_records() {
    static records r;
    r.rc = run_control{};
    r.dims = image_dims{};
    plenor_init_constants(&r.fn, &r.rc, &r.dims);
    return r;
}

// Parses `args` with `parse` and checks every name field of the record (all of its size).
void parse(int (*parse)(int, char**, file_names*, run_control*),
           const std::vector<std::string>& args) {
    fuzz::arg_list list(args);
    records& r = fresh_records();
    parse(list.argc(), list.argv(), &r.fn, &r.rc);
    const char* fields = reinterpret_cast<const char*>(&r.fn);
    for (size_t at = 0; at < sizeof r.fn; at += PLENOR_NAME_MAX + 1)
        if (std::memchr(fields + at, '\0', PLENOR_NAME_MAX + 1) == nullptr)
            fuzz::finding("plenor", "a name field is not terminated within its room");
}

void run_namelist(const fuzz::input& in) {
    parse(plenor_parse_namelist, {"plenor", "-n", in.path});
}

void run_args(const fuzz::input& in) {
    std::vector<std::string> args{"plenor", ""};
    for (size_t i = 0; i < in.size && args.size() <= 65; ++i)
        if (in.data[i] == '\n' || in.data[i] == '\0')
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(in.data[i]));
    if (args.back().empty() || args.size() > 65)
        args.pop_back();
    parse(plenor_parse_args, args);
}

// The inputs of a run in the order of the role byte, by option: DCE, flat, uncertainty, the
// three masks, the transmission flat and mask; each is the scratch file named after its option.
const char* const kOptions[] = {"-i", "-f", "-ui", "-p", "-d", "-c", "-t", "-ct"};

std::string path_of(int role) {
    return fuzz::scratch_path(kOptions[role] + std::string(".fits"));
}

void write_companion(int role) {
    std::vector<float> flat(24, 1.0f);
    std::fill(flat.begin() + 12, flat.end(), 0.01f);
    if (role == 1 || role == 6)
        fuzz::write_fits(path_of(role), FLOAT_IMG, {4, 3, 2}, flat);
    else
        fuzz::write_fits(path_of(role), role < 3 ? FLOAT_IMG : SHORT_IMG, {4, 3},
                         std::vector<float>(12, role < 3 ? 1.5f : 0.0f));
}

void run_read(const fuzz::input& in) {
    const int fuzzed = in.head[0] % 8;
    static int replaced = -1; // companions are written once, then the replaced one restored
    std::vector<std::string> args{"plenor", "-o", "out.fits"};
    for (int role = 0; role < 8; ++role) {
        if (replaced < 0 || (role == replaced && role != fuzzed))
            write_companion(role);
        args.insert(args.end(), {kOptions[role], path_of(role)});
    }
    fuzz::write_file(path_of(fuzzed), in.data, in.size);
    replaced = fuzzed;
    fuzz::arg_list list(args);
    records& r = fresh_records();
    if (plenor_parse_args(list.argc(), list.argv(), &r.fn, &r.rc) != 0 || r.rc.status != 0)
        fuzz::finding("plenor_fits", "the command line of the companions was refused");
    r.rc.I_Verbose = (in.head[0] >> 7) & 1;
    float *dce = nullptr, *unc = nullptr, *flat = nullptr, *tflat = nullptr;
    short *pmask = nullptr, *dmask = nullptr, *cmask = nullptr, *tcmask = nullptr;
    plenor_read_data(&r.fn, &r.dims, &dce, &unc, &r.rc, &pmask, &dmask, &cmask, &flat, &tflat,
                     &tcmask);
    plenor_exit(&dce, &unc, &pmask, &dmask, &cmask, &flat, &tflat, &tcmask, &r.dims, &r.rc);
}

} // namespace on_plenor

// The harness of this program: the one named FUZZ_HARNESS (given by the build).
const fuzz::harness& this_harness() {
    static const fuzz::harness list[] = {
        {"tokenize", 0, nullptr, 0, on_libs::run_tokenize},
        {"clip_polygon", 0, nullptr, 0, on_libs::run_clip},
        {"stackle_namelist", 0, "stackle.nl", STACKLE_FAIL, on_stackle::run_namelist},
        {"stackle_lists", 1, "stackle.lst", STACKLE_FAIL, on_stackle::run_lists},
        {"stackle_fmask", 1, "fmask.fits", STACKLE_FAIL, on_stackle::run_fmask},
        {"stackle_fits", 2, "image.fits", STACKLE_FAIL, on_stackle::run_reader},
        {"plenor_namelist", 0, "plenor.nl", 0, on_plenor::run_namelist},
        {"plenor_args", 0, nullptr, 0, on_plenor::run_args},
        {"plenor_fits", 1, nullptr, 0, on_plenor::run_read},
    };
    for (const fuzz::harness& h : list)
        if (std::strcmp(h.name, FUZZ_HARNESS) == 0)
            return h;
    fuzz::finding("fuzz harness", "no harness named " FUZZ_HARNESS);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::harness& h = this_harness();
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
