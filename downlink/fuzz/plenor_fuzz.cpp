// Fuzz harnesses of the input readers of plenor, which report failures through a status and
// so run in this process.  After the parsers every name field must still be terminated.
//   plenor_namelist: plenor_parse_namelist on a namelist file named with "-n".
//   plenor_args: plenor_parse_args on the arguments after the program name, split at
//     newlines and NULs (at most 64), each its own allocation of exactly its length.
//   plenor_fits: plenor_read_data; the first byte chooses which of the eight inputs of a run
//     the rest stands for (and, its top bit, verbose output), the others being valid
//     companions of a 4 x 3 DCE with uncertainty; plenor_exit frees what the reader returned.
#include <cstring>

#include "fuzz_support.h"
#include "plenor.h"

namespace {

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

} // namespace

const fuzz::harness fuzz::this_harness =
    fuzz::pick(FUZZ_HARNESS, {
                                 {"plenor_namelist", 0, "plenor.nl", 0, run_namelist},
                                 {"plenor_args", 0, nullptr, 0, run_args},
                                 {"plenor_fits", 1, nullptr, 0, run_read},
                             });
