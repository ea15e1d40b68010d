#include "testkit.h"

#include <fitsio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <numeric>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testkit {

namespace {

void check_fits(int status, const std::string& what, const std::string& path) {
    if (status == 0)
        return;
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    throw std::runtime_error("testkit: " + what + " " + path + ": " + text);
}

long pixel_count(const std::vector<long>& naxes) {
    return naxes.empty() ? 0 : std::accumulate(naxes.begin(), naxes.end(), 1L, std::multiplies<>());
}

void write_keys(fitsfile* f, const std::vector<Keyword>& keys, int& status) {
    for (const Keyword& k : keys) {
        LONGLONG i = k.ival;
        double d = k.dval;
        void* value = k.kind == Keyword::Int    ? static_cast<void*>(&i)
                      : k.kind == Keyword::Real ? static_cast<void*>(&d)
                                                : const_cast<char*>(k.sval.c_str());
        const int type = k.kind == Keyword::Int    ? TLONGLONG
                         : k.kind == Keyword::Real ? TDOUBLE
                                                   : TSTRING;
        fits_update_key(f, type, k.name.c_str(), value,
                        k.comment.empty() ? nullptr : k.comment.c_str(), &status);
    }
}

// Opens `path` (a name the library understands) for reading, or creates it as a new file (an
// earlier one removed first).
fitsfile* open(const std::string& path, bool create = false) {
    int status = 0;
    fitsfile* f = nullptr;
    if (create)
        ::unlink(path.c_str());
    create ? fits_create_file(&f, path.c_str(), &status)
           : fits_open_file(&f, path.c_str(), READONLY, &status);
    check_fits(status, create ? "cannot create" : "cannot open", path);
    return f;
}

// Closes `f`, then throws for the first failure, `status` or that of the closing.
void close(fitsfile* f, int status, const std::string& what, const std::string& path) {
    int close_status = 0;
    fits_close_file(f, &close_status);
    check_fits(status ? status : close_status, what, path);
}

// Creates the file, the primary image, writes `count` pixels of `datatype` and the keys.
void write_typed(const std::string& path, int bitpix, std::vector<long> naxes, int datatype,
                 const void* pixels, long count, const std::vector<Keyword>& keys) {
    if (count != pixel_count(naxes))
        throw std::runtime_error("testkit: pixel count does not match the axes for " + path);
    fitsfile* f = open(path, true);
    int status = 0;
    fits_create_img(f, bitpix, static_cast<int>(naxes.size()), naxes.data(), &status);
    if (count > 0)
        fits_write_img(f, datatype, 1, count, const_cast<void*>(pixels), &status);
    write_keys(f, keys, status);
    close(f, status, "cannot write", path);
}

// Raw values of a scaled 16-bit image: masks as they are, BLANK naming the first pixel's value;
// floating-point values on the scale that spans them, NaN stored as BLANK (-32768).
std::vector<short> scaled(int bitpix, const std::vector<double>& px, double* scale, double* zero,
                          LONGLONG* blank) {
    double lo = 0.0, hi = 0.0;
    for (double v : px)
        if (v == v) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    *scale = bitpix > 0 || hi == lo ? 1.0 : (hi - lo) / 60000.0;
    *zero = bitpix > 0 ? 0.0 : (hi + lo) / 2;
    *blank = bitpix > 0 ? static_cast<LONGLONG>(px.at(0)) : -32768;
    std::vector<short> raw(px.size());
    for (size_t i = 0; i < px.size(); ++i)
        raw[i] =
            static_cast<short>(px[i] == px[i] ? std::lround((px[i] - *zero) / *scale) : *blank);
    return raw;
}

const int kCompression[] = {0, RICE_1, GZIP_1, GZIP_2, HCOMPRESS_1, PLIO_1, 0};
const char* const kSelector[] = {"[1]", "", "[1]", "[SCI]", "", "[1]", ""};

// Everything `f` holds, from its start.
std::string contents(FILE* f) {
    std::string text;
    char buffer[4096];
    std::rewind(f);
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
        text.append(buffer, n);
    return text;
}

} // namespace

Keyword Keyword::integer(const std::string& n, long long v, const std::string& c) {
    return {n, Int, v, 0.0, "", c};
}

Keyword Keyword::real(const std::string& n, double v, const std::string& c) {
    return {n, Real, 0, v, "", c};
}

Keyword Keyword::text(const std::string& n, const std::string& v, const std::string& c) {
    return {n, Text, 0, 0.0, v, c};
}

void write_image(const std::string& path, int bitpix, const std::vector<long>& naxes,
                 const std::vector<double>& pixels, const std::vector<Keyword>& keys) {
    write_typed(path, bitpix, naxes, TDOUBLE, pixels.data(), long(pixels.size()), keys);
}

void write_float_image(const std::string& path, const std::vector<long>& naxes,
                       const std::vector<float>& pixels, const std::vector<Keyword>& keys) {
    write_typed(path, FLOAT_IMG, naxes, TFLOAT, pixels.data(), long(pixels.size()), keys);
}

void write_short_image(const std::string& path, const std::vector<long>& naxes,
                       const std::vector<int16_t>& pixels, const std::vector<Keyword>& keys) {
    write_typed(path, SHORT_IMG, naxes, TSHORT, pixels.data(), long(pixels.size()), keys);
}

Stored write_stored(const std::string& path, Storage how, int bitpix,
                    const std::vector<long>& naxes, const std::vector<double>& px,
                    const std::vector<Keyword>& keys) {
    const int kind = static_cast<int>(how);
    fitsfile* f = open(path, true);
    int status = 0;
    std::vector<long> ax(naxes);
    if (how == Storage::Extension)
        fits_create_img(f, SHORT_IMG, 0, nullptr, &status);
    if (kCompression[kind] != 0)
        fits_set_compression_type(f, kCompression[kind], &status);
    // One tile a plane: HCOMPRESS needs tiles of 4 x 4 at least, and the library reads past the
    // end of the pixels when it writes PLIO tiles of one short row.
    if (how == Storage::Hcompress || how == Storage::Plio)
        fits_set_tile_dim(f, 2, ax.data(), &status);
    if (how == Storage::Gzip1 || how == Storage::Gzip2)
        fits_set_quantize_level(f, 0.0, &status); // floating point stored losslessly
    if (how == Storage::Scaled) {
        double scale = 1, zero = 0;
        LONGLONG blank = 0;
        std::vector<short> raw = scaled(bitpix, px, &scale, &zero, &blank);
        fits_create_img(f, SHORT_IMG, static_cast<int>(ax.size()), ax.data(), &status);
        fits_write_key(f, TDOUBLE, "BSCALE", &scale, nullptr, &status);
        fits_write_key(f, TDOUBLE, "BZERO", &zero, nullptr, &status);
        fits_write_key(f, TLONGLONG, "BLANK", &blank, nullptr, &status);
        fits_set_bscale(f, 1.0, 0.0, &status);
        fits_write_img(f, TSHORT, 1, static_cast<LONGLONG>(raw.size()), raw.data(), &status);
        fits_set_bscale(f, scale, zero, &status);
    } else {
        // Written as the image's own type: the library compresses no other.
        std::vector<float> fpx(px.begin(), px.end());
        std::vector<short> spx(px.begin(), px.end());
        fits_create_img(f, bitpix, static_cast<int>(ax.size()), ax.data(), &status);
        fits_write_img(f, bitpix < 0 ? TFLOAT : TSHORT, 1, static_cast<LONGLONG>(px.size()),
                       bitpix < 0 ? static_cast<void*>(fpx.data()) : spx.data(), &status);
    }
    write_keys(f, keys, status);
    if (how == Storage::Gzip2 || how == Storage::Extension)
        fits_update_key(f, TSTRING, "EXTNAME", const_cast<char*>("SCI"), nullptr, &status);
    if (how == Storage::Scaled || how == Storage::Extension)
        fits_write_chksum(f, &status);
    close(f, status, "cannot write", path);

    Stored out{path + kSelector[kind], std::vector<double>(px.size())};
    f = open(path + (how == Storage::Scaled ? "" : "[1]"));
    double nan = std::numeric_limits<double>::quiet_NaN();
    int anynul = 0;
    const bool blank = how == Storage::Scaled && bitpix < 0; // BLANK marks undefined values
    fits_read_img(f, TDOUBLE, 1, static_cast<LONGLONG>(px.size()), blank ? &nan : nullptr,
                  out.values.data(), &anynul, &status);
    close(f, status, "cannot read back", path);
    return out;
}

Image read_image(const std::string& path, int hdu) {
    Image img;
    fitsfile* f = open(path);
    int status = 0, type = 0, naxis = 0;
    fits_movabs_hdu(f, hdu, &type, &status);
    fits_get_img_type(f, &img.bitpix, &status);
    fits_get_img_dim(f, &naxis, &status);
    img.naxes.assign(status == 0 ? naxis : 0, 0);
    fits_get_img_size(f, naxis, img.naxes.data(), &status);
    long n = pixel_count(img.naxes);
    if (status == 0 && n > 0) {
        int anynul = 0;
        img.pixels.assign(n, 0.0);
        fits_read_img(f, TDOUBLE, 1, n, nullptr, img.pixels.data(), &anynul, &status);
        img.fpixels.assign(n, 0.0f);
        fits_read_img(f, TFLOAT, 1, n, nullptr, img.fpixels.data(), &anynul, &status);
    }
    int nkeys = 0;
    fits_get_hdrspace(f, &nkeys, nullptr, &status);
    for (int i = 1; status == 0 && i <= nkeys; ++i) {
        char card[FLEN_CARD];
        fits_read_record(f, i, card, &status);
        img.cards.emplace_back(card);
    }
    close(f, status, "cannot read", path);
    return img;
}

bool read_keyword(const std::string& path, const std::string& name, std::string& value) {
    fitsfile* f = open(path);
    int status = 0;
    char val[FLEN_VALUE] = "";
    fits_read_keyword(f, name.c_str(), val, nullptr, &status);
    close(f, 0, "cannot read", path);
    value = status == 0 ? val : "";
    return status == 0;
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const RunOptions& opts) {
    // Unnamed temporary files for standard input, output and error.
    FILE* io[3] = {std::tmpfile(), std::tmpfile(), std::tmpfile()};
    if (!io[0] || !io[1] || !io[2])
        throw std::runtime_error("testkit: tmpfile failed");
    std::fwrite(opts.stdin_text.data(), 1, opts.stdin_text.size(), io[0]);
    std::rewind(io[0]);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("testkit: fork failed");
    if (pid == 0) {
        for (int i = 0; i < 3; ++i)
            ::dup2(fileno(io[i]), i);
        if (!opts.cwd.empty() && ::chdir(opts.cwd.c_str()) != 0)
            ::_exit(126);
        if (opts.address_space_mb > 0) {
            struct rlimit lim;
            lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(opts.address_space_mb) << 20;
            ::setrlimit(RLIMIT_AS, &lim);
        }
        ::alarm(120); // kept across exec: a run that hangs ends by SIGALRM
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    RunResult r;
    r.signaled = WIFSIGNALED(wstatus);
    r.status = r.signaled ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
    r.out = contents(io[1]);
    r.err = contents(io[2]);
    for (FILE* f : io)
        std::fclose(f);
    return r;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base && *base ? base : "/tmp") + "/downlink-test-XXXXXX";
    if (!::mkdtemp(&path_[0]))
        throw std::runtime_error("testkit: mkdtemp failed");
}

TempDir::~TempDir() {
    auto remove_one = [](const char* p, const struct stat*, int, struct FTW*) {
        // Make read-only folders made by tests removable again.
        ::chmod(p, 0700);
        return ::remove(p);
    };
    ::chmod(path_.c_str(), 0700);
    ::nftw(path_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("testkit: cannot write " + path);
    f << text;
}

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("testkit: cannot read " + path);
    return {std::istreambuf_iterator<char>(f), {}};
}

int count_of(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t pos = needle.empty() ? std::string::npos : hay.find(needle);
         pos != std::string::npos; pos = hay.find(needle, pos + needle.size()))
        ++n;
    return n;
}

} // namespace testkit
