// iofloor: the I/O floor of a whole run.  It reads the input images of a run whole, one
// cfitsio call per image, and writes planes of the output size, one call each, and does
// nothing else; the benchmark scripts set a program's run time against this one.
//
//   iofloor [-l LIST]... [-r FILE]... [-u FILE]... [-w OUT]...
//
//   -l LIST  read every image named in LIST (first word of each line; blank lines and
//            lines starting with '#' skipped; a line "&END" ends the list)
//   -r FILE  read FILE whole
//   -u FILE  read FILE whole and write its pixels back into it (an image updated in place)
//   -w OUT   write the first image read, as 32-bit floats of its shape, to OUT (replaced)
//
// Images with an integer BITPIX are read as 16-bit integers, the others as 32-bit floats.
// Exit status 0, or 64 with a message on standard error.
#include <fitsio.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kExitFailure = 64;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One image held in memory: float pixels or 16-bit pixels, never both.
struct Plane {
    std::vector<long> naxes;
    std::vector<float> floats;
    std::vector<short> shorts;
};

struct Totals {
    long read = 0;
    long written = 0;
    double read_bytes = 0;
    double written_bytes = 0;
};

void check(int status, const std::string& what, const std::string& path) {
    if (status == 0)
        return;
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    throw Failure(what + " " + path + ": " + text + " (FITS status " + std::to_string(status) +
                  ")");
}

long long count_of(const std::vector<long>& naxes) {
    long long n = naxes.empty() ? 0 : 1;
    for (long a : naxes)
        n *= a;
    return n;
}

void close_quietly(fitsfile* f) {
    int ignored = 0;
    fits_close_file(f, &ignored);
}

// Reads the primary image of an open file whole.
Plane read_open(fitsfile* f, const std::string& path) {
    int status = 0, bitpix = 0, naxis = 0;
    long naxes[10] = {0};
    fits_get_img_param(f, 10, &bitpix, &naxis, naxes, &status);
    fits_get_img_equivtype(f, &bitpix, &status); // scaled integers count as floats
    check(status, "cannot read the image size of", path);
    Plane p;
    p.naxes.assign(naxes, naxes + naxis);
    const long long n = count_of(p.naxes);
    if (bitpix > 0) {
        p.shorts.resize(static_cast<size_t>(n));
        fits_read_img(f, TSHORT, 1, n, nullptr, p.shorts.data(), nullptr, &status);
    } else {
        p.floats.resize(static_cast<size_t>(n));
        fits_read_img(f, TFLOAT, 1, n, nullptr, p.floats.data(), nullptr, &status);
    }
    check(status, "cannot read", path);
    return p;
}

double bytes_of(const Plane& p) {
    return 4.0 * static_cast<double>(p.floats.size()) + 2.0 * static_cast<double>(p.shorts.size());
}

Plane read_file(const std::string& path, bool update, Totals& t) {
    fitsfile* f = nullptr;
    int status = 0;
    fits_open_file(&f, path.c_str(), update ? READWRITE : READONLY, &status);
    check(status, "cannot open", path);
    Plane p;
    try {
        p = read_open(f, path);
        if (update) {
            const long long n = count_of(p.naxes);
            if (p.floats.empty())
                fits_write_img(f, TSHORT, 1, n, p.shorts.data(), &status);
            else
                fits_write_img(f, TFLOAT, 1, n, p.floats.data(), &status);
            check(status, "cannot write back", path);
        }
    } catch (...) {
        close_quietly(f);
        throw;
    }
    fits_close_file(f, &status);
    check(status, "cannot close", path);
    ++t.read;
    t.read_bytes += bytes_of(p);
    if (update) {
        ++t.written;
        t.written_bytes += bytes_of(p);
    }
    return p;
}

std::vector<std::string> list_names(const std::string& list) {
    std::ifstream in(list);
    if (!in)
        throw Failure("cannot open list " + list);
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || first[0] == '#')
            continue;
        std::string upper = first;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (upper == "&END")
            break;
        names.push_back(first);
    }
    return names;
}

void write_plane(const std::string& path, const Plane& model, Totals& t) {
    std::vector<float> px = model.floats;
    if (px.empty())
        px.assign(model.shorts.begin(), model.shorts.end());
    std::vector<long> naxes = model.naxes;
    fitsfile* f = nullptr;
    int status = 0;
    const std::string target = "!" + path;
    fits_create_file(&f, target.c_str(), &status);
    check(status, "cannot create", path);
    fits_create_img(f, FLOAT_IMG, static_cast<int>(naxes.size()), naxes.data(), &status);
    fits_write_img(f, TFLOAT, 1, count_of(naxes), px.data(), &status);
    int close_status = 0;
    fits_close_file(f, &close_status);
    check(status != 0 ? status : close_status, "cannot write", path);
    ++t.written;
    t.written_bytes += 4.0 * static_cast<double>(px.size());
}

const char* const kUsage = "usage: iofloor [-l LIST]... [-r FILE]... [-u FILE]... [-w OUT]...\n";

int run(int argc, char** argv) {
    Totals t;
    Plane first;
    bool have_first = false;
    std::vector<std::string> outputs;
    auto keep = [&](Plane p) {
        if (!have_first) {
            first = std::move(p);
            have_first = true;
        }
    };
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if ((opt != "-l" && opt != "-r" && opt != "-u" && opt != "-w") || i + 1 >= argc)
            throw Failure("bad argument \"" + opt + "\"\n" + kUsage);
        const std::string value = argv[++i];
        if (opt == "-l") {
            for (const std::string& name : list_names(value))
                keep(read_file(name, false, t));
        } else if (opt == "-w") {
            outputs.push_back(value);
        } else {
            keep(read_file(value, opt == "-u", t));
        }
    }
    if (!outputs.empty() && !have_first)
        throw Failure("nothing read, so no plane to write");
    for (const std::string& out : outputs)
        write_plane(out, first, t);
    std::printf("iofloor: read %ld image(s), %.1f MiB; wrote %ld image(s), %.1f MiB\n", t.read,
                t.read_bytes / 1048576.0, t.written, t.written_bytes / 1048576.0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Failure& e) {
        std::fprintf(stderr, "iofloor: %s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "iofloor: not enough memory\n");
    }
    return kExitFailure;
}
