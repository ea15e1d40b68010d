// testkit: small helpers shared by the downlink test suites.
//
// - write tiny FITS images of any BITPIX with chosen header keywords, and read them back;
// - run an installed program, capturing its standard output, standard error and exit status;
// - temporary folders and text files for test inputs.
//
// Every helper throws std::runtime_error on failure, so a broken fixture fails the test
// that uses it instead of going unnoticed.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

// One header keyword to write.  The kind decides which value member is used.
struct Keyword {
    enum Kind { Int, Real, Text };
    std::string name;
    Kind kind = Int;
    long long ival = 0;
    double dval = 0.0;
    std::string sval;
    std::string comment;

    static Keyword integer(const std::string& n, long long v, const std::string& c = "");
    static Keyword real(const std::string& n, double v, const std::string& c = "");
    static Keyword text(const std::string& n, const std::string& v, const std::string& c = "");
};

// Writes a primary image of the given BITPIX and axis lengths (first axis fastest).  The
// pixels are converted by cfitsio from double to the image type.  Replaces an existing file.
void write_image(const std::string& path, int bitpix, const std::vector<long>& naxes,
                 const std::vector<double>& pixels, const std::vector<Keyword>& keys = {});

// Typed writers that store the given values bit for bit (NaN patterns included).
void write_float_image(const std::string& path, const std::vector<long>& naxes,
                       const std::vector<float>& pixels, const std::vector<Keyword>& keys = {});
void write_short_image(const std::string& path, const std::vector<long>& naxes,
                       const std::vector<int16_t>& pixels, const std::vector<Keyword>& keys = {});

// Ways archives store images, each written through the FITS library itself: a plain image in
// an extension named SCI, with checksums, after an empty primary HDU; tile-compressed (in the
// first extension) with Rice, gzip 1 and 2 (named SCI), HCOMPRESS or PLIO (non-negative
// integers only); 16-bit integers with BSCALE, BZERO, BLANK and checksums in the primary HDU.
enum class Storage { Extension, Rice, Gzip1, Gzip2, Hcompress, Plio, Scaled };

// An image written in one of those ways: the name that selects it ("f.fits[1]", "f.fits[SCI]",
// "f.fits" for Rice and HCOMPRESS, whose image is the file's only one) and its values as the
// library reads them back (lossy compression and scaling applied; BLANK pixels of scaled
// floating-point values are NaN, those of a mask keep their value).
struct Stored {
    std::string name;
    std::vector<double> values;
};

// Writes `pixels` (NaN = undefined) with `keys` into `path` stored `how`, as an image whose
// values are of type `bitpix` (FLOAT_IMG, or SHORT_IMG for masks and counts; BLANK then names
// the value of the first pixel).
Stored write_stored(const std::string& path, Storage how, int bitpix,
                    const std::vector<long>& naxes, const std::vector<double>& pixels,
                    const std::vector<Keyword>& keys = {});

// An image read back from a FITS file (one HDU).
struct Image {
    int bitpix = 0;                 // BITPIX as stored
    std::vector<long> naxes;        // axis lengths, first axis first
    std::vector<double> pixels;     // all pixels, converted to double
    std::vector<float> fpixels;     // all pixels read as float (bit patterns kept for -32)
    std::vector<std::string> cards; // every header card, 80 characters each, END excluded
};

// Reads HDU number `hdu` (1 = primary) whole.
Image read_image(const std::string& path, int hdu = 1);

// The value text of a keyword in the primary header ("" and false when absent).
bool read_keyword(const std::string& path, const std::string& name, std::string& value);

// Result of one program run.
struct RunResult {
    int status = -1; // exit status, or 128 + signal number when killed by a signal
    bool signaled = false;
    std::string out; // standard output
    std::string err; // standard error
};

struct RunOptions {
    std::string cwd;           // working folder ("" = current)
    std::string stdin_text;    // written to standard input, then closed
    long address_space_mb = 0; // when > 0: RLIMIT_AS for the child, in MiB
};

// Runs `program` with `args` (argv[0] is the program path) and waits for it; a run that takes
// more than 120 seconds is stopped by SIGALRM.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const RunOptions& opts = {});

// Path of an installed program in the tree under test (downlink/bin/<name>).
inline std::string installed_program(const std::string& name) {
    return DOWNLINK_BIN_DIR "/" + name; // defined by the build
}

// A fresh folder under the system's temporary folder, removed with everything in it at
// destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);
inline bool file_exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// Number of occurrences of `needle` in `hay`.
int count_of(const std::string& hay, const std::string& needle);

} // namespace testkit
