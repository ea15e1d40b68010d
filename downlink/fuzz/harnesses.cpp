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
#include <iterator>
#include <set>
#include <sstream>
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
extern "C" uint8_t __start___sancov_cntrs[] __attribute__((weak));
extern "C" uint8_t __stop___sancov_cntrs[] __attribute__((weak));

namespace {

// Reports a broken promise of the routine under test (or a broken environment) and aborts:
// the input is a finding.
[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", FUZZ_HARNESS, what.c_str());
    std::abort();
}

// A promise that must hold: when it does not, the input is a finding.
void check(bool kept, const char* what) {
    if (!kept)
        finding(what);
}

// One input: the leading control bytes the harness asked for, the rest (from which take()
// draws fixed-size values, missing bytes reading as zero), and the scratch file holding the
// rest (when the harness names one).
struct input {
    template <class T> T take() {
        T v{};
        const size_t n = std::min(sizeof v, size);
        std::copy(data, data + n, reinterpret_cast<uint8_t*>(&v));
        data += n;
        size -= n;
        return v;
    }
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
    void (*run)(input& in);
};

// Calls f(argc, argv) with the arguments `args`, each its own allocation of exactly its
// length, so that the address checker sees a read past an argument's end; argv[argc] is null.
template <class F> void with_args(const std::vector<std::string>& args, F f) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(strdup(a.c_str()));
    argv.push_back(nullptr);
    f(static_cast<int>(args.size()), argv.data());
    for (char* a : argv)
        std::free(a);
}

std::string scratch_dir;
const size_t counters = static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);

// Path of the file `name` in this process's scratch folder ($TMPDIR, else /dev/shm, else
// /tmp), made on first use and removed with its files when the process ends normally.
std::string scratch_path(const std::string& name) {
    if (scratch_dir.empty()) { // a memory file system keeps fuzzing fast
        const char* tmp = std::getenv("TMPDIR");
        scratch_dir = tmp && *tmp ? tmp : access("/dev/shm", W_OK | X_OK) ? "/tmp" : "/dev/shm";
        scratch_dir += "/downlink-fuzz-XXXXXX";
        check(mkdtemp(&scratch_dir[0]) != nullptr, "cannot make a scratch folder");
        std::atexit([] { std::filesystem::remove_all(scratch_dir); });
    }
    return scratch_dir + "/" + name;
}

// Runs the harness in a forked child first, as the routines it calls may end the process with
// its refusal status on purpose: that end is a refusal (the child's coverage counters are
// taken over in a build for the fuzzing engine); a normal return runs the harness once more
// here, so that the fuzzer and the sanitizers see it; any other end aborts (a finding).
void run_guarded(const harness& h, input& in) {
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
                std::copy_n(__start___sancov_cntrs, to ? counters : 0, static_cast<uint8_t*>(to));
                _exit(status);
            },
            seen);
        h.run(in);
        _exit(0);
    }
    int ws = 0;
    while (pid > 0 && waitpid(pid, &ws, 0) < 0) {
    }
    const int status = pid > 0 && WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    for (size_t i = 0; status == h.refusal && seen != nullptr && i < counters; ++i)
        __start___sancov_cntrs[i] = std::max(__start___sancov_cntrs[i], seen[i]);
    if (status != 0 && status != h.refusal)
        finding("the routine under test ended with wait status " + std::to_string(ws));
    if (status == 0)
        h.run(in);
}

// Fuzz harnesses of the two libraries.
//   tokenize: random lines, separator sets, buffer sizes and token limits; every buffer has
//     exactly its stated size, so the address checker sees a write past it; the documented
//     limits are checked after each call.
//   clip_polygon: random windows (inverted ones included) and polygons, with lengths in and
//     out of the record's range, on a quarter grid of exact coordinates or raw 64-bit
//     patterns (NaN, infinities, huge values); the result must be status 0 or -1, empty on
//     -1, closed, within the record, and on the exact grid inside the window.
void run_tokenize(input& in) {
    const int bufsize = in.take<uint8_t>() % 48;
    const int maxtok = in.take<int8_t>() % 24; // a few negative limits too
    std::string specials(in.take<uint8_t>() % 5, '\0');
    for (char& c : specials)
        c = static_cast<char>(in.take<uint8_t>() | 1); // never NUL
    std::vector<char> line(in.data, in.data + in.size);
    line.push_back('\0');
    line.resize(std::strlen(line.data()) + 1); // embedded NULs end the line
    const std::vector<char> before(line);
    std::vector<char*> tokens(std::max(maxtok, 0));
    for (char*& t : tokens)
        t = static_cast<char*>(std::malloc(bufsize > 0 ? bufsize : 1));
    char* rest = nullptr;
    const int found = tokenize(line.data(), specials.c_str(), bufsize, maxtok,
                               tokens.empty() ? nullptr : tokens.data(), &rest);
    check(found >= 0 && found <= std::max(maxtok, 0), "token count outside 0..maxtok");
    check(bufsize >= 2 || found == 0, "tokens returned although no buffer can hold one");
    for (int i = 0; i < found; ++i)
        check(std::strlen(tokens[i]) < static_cast<size_t>(bufsize), "token overflows its buffer");
    check(line == before, "the line was modified");
    check(rest >= line.data() && rest < line.data() + line.size(), "rest points outside the line");
    for (char* t : tokens)
        std::free(t);
}

void run_clip(input& in) {
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
    for (int i = 0; i < fill; ++i) // braced lists take their values in order
        poly.pts[i] = raw ? poly_point{in.take<double>(), in.take<double>()}
                          : poly_point{in.take<int8_t>() / 4.0, in.take<int8_t>() / 4.0};
    if ((mode & 4) != 0 && fill > 1)
        poly.pts[fill - 1] = poly.pts[0]; // closed as the routine expects
    polygon& out = alias ? poly : separate;
    const int status = clip_polygon(wMin, wMax, &poly, &out);
    check(status == 0 || status == -1, "status other than 0 and -1");
    check(status != -1 || out.len == 0, "refused polygon left a non-empty result");
    check(out.len >= 0 && out.len <= INTEGRATE_MAX_POLY_PTS, "result length outside the record");
    const poly_point& last = out.pts[std::max(out.len, 1) - 1];
    check(out.len <= 0 || (out.len > 1 && !std::memcmp(out.pts, &last, sizeof last)), "unclosed");
    const auto within = [](double v, int lo, int hi) { return v >= lo - 1e-9 && v <= hi + 1e-9; };
    for (int i = 0; !raw && wMin[0] <= wMax[0] && wMin[1] <= wMax[1] && i < out.len; ++i)
        check(within(out.pts[i].x, wMin[0], wMax[0]) && within(out.pts[i].y, wMin[1], wMax[1]),
              "result point outside the window");
}

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
const char* const kSections[] = {"&COADD_DATA", "&COADD_SDEV", "&COADD_BMASK", "&COADD_PMASK"};

// Counts and reads one list section expecting `expected` names (at most 512 are read back:
// a bound on the harness's own allocation); every row read must be terminated.
void read_section(const std::string& path, int mode, const char* section, int expected,
                  bool exact) {
    char first[STACKLE_STRLEN];
    const int count = count_filenames(path.c_str(), mode, section, "&END", first);
    check(count >= 0 && std::memchr(first, '\0', sizeof first), "bad count or first name");
    const int rows = std::min(expected, 512);
    auto* names =
        static_cast<char(*)[STACKLE_STRLEN]>(exact ? std::malloc(std::max(rows, 1) * STACKLE_STRLEN)
                                                   : std::calloc(rows + 1, STACKLE_STRLEN));
    read_filenames(path.c_str(), mode, names, rows, section, "&END");
    for (int i = 0; exact && i < rows; ++i)
        check(std::memchr(names[i], '\0', STACKLE_STRLEN) != nullptr, "unterminated name");
    std::free(names);
}

void stackle_namelist(input& in) {
    control_settings cs;
    clear_cs_flags(&cs);
    with_args({"stackle", "-n", in.path}, [&](int c, char** v) { process_namelist(&cs, c, v); });
    unsigned char present[4] = {1, 0, 0, 0};
    find_markers(in.path.c_str(), &present[1], &present[2], &present[3]);
    char first[STACKLE_STRLEN];
    const int n = count_filenames(in.path.c_str(), 1, kSections[0], "&END", first);
    for (int k = 0; k < 4; ++k)
        if (present[k])
            read_section(in.path, 1, kSections[k], n, false);
}

void stackle_lists(input& in) {
    read_section(in.path, in.head[0] & 1, kSections[(in.head[0] >> 1) & 3], in.head[0] >> 3, true);
}

void stackle_fmask(input& in) {
    control_settings cs;
    clear_cs_flags(&cs);
    std::snprintf(cs.fmask_in_file, sizeof cs.fmask_in_file, "%s", in.path.c_str());
    cs.fmask_in_file_f = 1;
    cs.debug = in.head[0] & 1;
    cs.verbose = (in.head[0] >> 1) & 1;
    read_fmask_lists(&cs);
    check(cs.num_fovs >= 0 && cs.num_fovs <= STACKLE_MAX_FOVS, "list length outside 0..20");
    read_fmask_params(in.path.c_str(), &cs);
    check(cs.usefovid_f == 1, "returned without USEFOVID");
}

// All values of a plane of xdim x ydim (read once the reader has set them), both positive.
template <typename T> void touch_plane(T* plane, const int& xdim, const int& ydim) {
    check(xdim > 0 && ydim > 0, "plane returned with a non-positive dimension");
    volatile double sum = 0;
    for (size_t i = 0; i < static_cast<size_t>(xdim) * static_cast<size_t>(ydim); ++i)
        sum = sum + static_cast<double>(plane[i]);
    std::free(plane);
}

void stackle_reader(input& in) {
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

// Fuzz harnesses of the input readers of plenor, which report failures through a status and
// so run in this process.  After the parsers every name field must still be terminated.
//   plenor_namelist: plenor_parse_namelist on a namelist file named with "-n".
//   plenor_args: plenor_parse_args on the arguments after the program name, split at
//     newlines and NULs (at most 64), each its own allocation of exactly its length.
//   plenor_fits: plenor_read_data; the first byte chooses which of the eight inputs of a run
//     the rest stands for (and, its top bit, verbose output), the others being valid
//     companions of a 4 x 3 DCE with uncertainty; plenor_exit frees what the reader returned.
struct records {
    file_names fn;
    run_control rc;
    image_dims dims;
    int parsed; // what the parser returned
};

// The records as plenor_init_constants leaves them, then as `parse` leaves them after reading
// `args`, with every name field checked (all of its room).  One static copy: the name table
// is large.
records& parse(decltype(plenor_parse_args)* parser, const std::vector<std::string>& args) {
    static records r;
    r = records{};
    plenor_init_constants(&r.fn, &r.rc, &r.dims);
    with_args(args, [&](int argc, char** argv) { r.parsed = parser(argc, argv, &r.fn, &r.rc); });
    const char* fields = reinterpret_cast<const char*>(&r.fn);
    for (size_t at = 0; at < sizeof r.fn; at += PLENOR_NAME_MAX + 1)
        check(std::memchr(fields + at, '\0', PLENOR_NAME_MAX + 1), "a name field is unterminated");
    return r;
}

void plenor_namelist(input& in) {
    parse(plenor_parse_namelist, {"plenor", "-n", in.path});
}

void plenor_args(input& in) {
    std::string text(in.data, in.data + in.size);
    std::replace(text.begin(), text.end(), '\0', '\n');
    std::istringstream lines(text); // a last empty line is no argument
    std::vector<std::string> args{"plenor"};
    for (std::string a; args.size() <= 64 && std::getline(lines, a);)
        args.push_back(a);
    parse(plenor_parse_args, args);
}

// The inputs of a run in the order of the role byte, by option: DCE, flat, uncertainty, the
// three masks, the transmission flat and mask; each is the scratch file named after its option.
const char* const kOptions[] = {"-i", "-f", "-ui", "-p", "-d", "-c", "-t", "-ct"};

// Writes the valid input of `role`: a 4 x 3 image (the flats with a second plane, their
// uncertainty), of floats (BITPIX -32) but for the masks (16-bit integers).
void write_companion(int role) {
    const bool flat = role == 1 || role == 6;
    std::vector<float> values(flat ? 24 : 12, flat ? 1.0f : role < 3 ? 1.5f : 0.0f);
    std::fill(values.begin() + 12, values.end(), 0.01f);
    long axes[] = {4, 3, 2};
    fitsfile* fp = nullptr;
    int st = 0;
    fits_create_file(&fp, ("!" + scratch_path(kOptions[role])).c_str(), &st); // "!": replace
    fits_create_img(fp, flat || role < 3 ? FLOAT_IMG : SHORT_IMG, flat ? 3 : 2, axes, &st);
    fits_write_img(fp, TFLOAT, 1, static_cast<LONGLONG>(values.size()), values.data(), &st);
    fits_close_file(fp, &st);
    check(st == 0, "cannot write a companion FITS file");
}

void plenor_fits(input& in) {
    const int fuzzed = in.head[0] % 8;
    for (static int role = 0; role < 8; ++role) // the companions, written on the first call
        write_companion(role);
    std::vector<std::string> args{"plenor", "-o", "out.fits"};
    for (int role = 0; role < 8; ++role)
        args.insert(args.end(),
                    {kOptions[role], role == fuzzed ? in.path : scratch_path(kOptions[role])});
    records& r = parse(plenor_parse_args, args);
    check(r.parsed == 0 && r.rc.status == 0, "the command line of the companions was refused");
    r.rc.I_Verbose = (in.head[0] >> 7) & 1;
    float *dce = nullptr, *unc = nullptr, *flat = nullptr, *tflat = nullptr;
    short *pmask = nullptr, *dmask = nullptr, *cmask = nullptr, *tcmask = nullptr;
    plenor_read_data(&r.fn, &r.dims, &dce, &unc, &r.rc, &pmask, &dmask, &cmask, &flat, &tflat,
                     &tcmask);
    plenor_exit(&dce, &unc, &pmask, &dmask, &cmask, &flat, &tflat, &tcmask, &r.dims, &r.rc);
}

// The harness of this program: the one named FUZZ_HARNESS (given by the build).
const harness& this_harness() {
    static const harness list[] = {
        {"tokenize", 0, nullptr, 0, run_tokenize},
        {"clip_polygon", 0, nullptr, 0, run_clip},
        {"stackle_namelist", 0, "stackle.nl", STACKLE_FAIL, stackle_namelist},
        {"stackle_lists", 1, "stackle.lst", STACKLE_FAIL, stackle_lists},
        {"stackle_fmask", 1, "fmask.fits", STACKLE_FAIL, stackle_fmask},
        {"stackle_fits", 2, "image.fits", STACKLE_FAIL, stackle_reader},
        {"plenor_namelist", 0, "plenor.nl", 0, plenor_namelist},
        {"plenor_args", 0, nullptr, 0, plenor_args},
        {"plenor_fits", 1, "plenor.fits", 0, plenor_fits},
    };
    for (const harness& h : list)
        if (std::strcmp(h.name, FUZZ_HARNESS) == 0)
            return h;
    finding("no harness of this name");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const harness& h = this_harness();
    if (size < h.head)
        return 0;
    // Standard output goes to /dev/null (the routines print a lot); errors stay visible.
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    check(quiet, "cannot send standard output to /dev/null");
    input in{data, data + h.head, size - h.head, h.file ? scratch_path(h.file) : ""};
    if (h.file) {
        std::ofstream(in.path, std::ios::binary)
            .write(reinterpret_cast<const char*>(in.data), in.size);
        check(std::filesystem::file_size(in.path) == in.size, "cannot write the scratch file");
    }
    h.refusal != 0 ? run_guarded(h, in) : h.run(in);
    return 0;
}

#ifndef DOWNLINK_FUZZ_ENGINE
int main(int argc, char** argv) {
    std::set<std::filesystem::path> files; // in name order
    for (int i = 1; i < argc; ++i)
        for (const auto& e : std::filesystem::directory_iterator(argv[i]))
            files.insert(e.path());
    for (const std::filesystem::path& p : files) {
        std::ifstream f(p, std::ios::binary);
        check(f.good(), "cannot read a saved input");
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
#endif
