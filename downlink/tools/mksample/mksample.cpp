// mksample: writes a reproducible synthetic data set for the demonstration and the
// benchmarks of the co-addition program (stackle) and the flat-fielding program (plenor).
//
// Co-addition inputs: N float frames of W x H (sky, Gaussian noise, stars, cosmic-ray hits,
// NaN pixels, keyword FOVID), their uncertainty frames, per-frame BMASKs and PMASKs, one
// FMASK with FOVLIST/BITLIST/USEFOVID, the four list files and a namelist holding the
// settings and the same four lists as sections.
//
// Flat-fielding inputs: a DCE of NZ planes with its uncertainty image, a flat field and a
// transmission-calibrator flat (values and uncertainties as two planes each), a Pmask, a
// Dmask and a Cmask, and a &PLENORIN namelist.
//
// Every random number comes from the program's own generator (splitmix64 with the polar
// Gaussian method), so one seed gives the same bytes on every platform.  Each product draws
// from its own stream, so switching one group of inputs off leaves the other unchanged.
#include <fitsio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr int kExitFailure = 64;
constexpr long kMaxFrames = 9999;
constexpr long kMaxSide = 65536;
constexpr long long kMaxPixels = 1LL << 28; // one plane of at most 1 GiB of floats
constexpr long kMaxPlanes = 64;

// FOV layout of the sample: the frames are taken in FOV 26 (bit 1); FOV 27 (bit 2)
// overlaps its right part.
constexpr int kFovId = 26;
constexpr int kOtherFov = 27;
constexpr short kFovBit = 1;
constexpr short kOtherFovBit = 2;

// Mask bits used by the sample settings.
constexpr short kBmaskCosmic = 128; // fatal in the sample namelist (STK_bf)
constexpr short kBmaskWarm = 4;     // passed through to the AMASK (STK_bp)
constexpr short kPmaskDead = 64;    // fatal (STK_pf)
constexpr short kPmaskNote = 1;     // harmless
constexpr short kPlenorPmaskBad = 128;
constexpr short kPlenorDmaskBad = 0x4000;
constexpr short kPlenorCmaskBad = 256;

struct Options {
    std::string dir;
    long frames = 5;
    long width = 64;
    long height = 48;
    long planes = 1;
    uint64_t seed = 1;
    bool stackle = true;
    bool plenor = true;
    bool help = false;
};

// A failure the program reports and ends with status 64.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------------------
// Pseudo-random numbers

struct Rng {
    uint64_t state = 0;
    bool has_spare = false;
    double spare = 0.0;
};

uint64_t next_u64(Rng& r) {
    uint64_t z = (r.state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Independent stream number `tag` of the run's seed.
Rng stream(uint64_t seed, uint64_t tag) {
    Rng mix{seed ^ (tag * 0xD1B54A32D192ED03ULL)};
    return Rng{next_u64(mix)};
}

double uniform(Rng& r) {
    return static_cast<double>(next_u64(r) >> 11) * 0x1.0p-53;
}

long below(Rng& r, long n) {
    return static_cast<long>(next_u64(r) % static_cast<uint64_t>(n));
}

// Standard normal deviate (Marsaglia's polar method: no trigonometric functions).
double gaussian(Rng& r) {
    if (r.has_spare) {
        r.has_spare = false;
        return r.spare;
    }
    double u, v, s;
    do {
        u = 2.0 * uniform(r) - 1.0;
        v = 2.0 * uniform(r) - 1.0;
        s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    r.spare = v * f;
    r.has_spare = true;
    return u * f;
}

// ---------------------------------------------------------------------------------------
// Output files

struct Key {
    std::string name;
    bool is_text = false;
    long ival = 0;
    std::string sval;
    std::string comment;
};

Key int_key(const std::string& n, long v, const std::string& c) {
    return Key{n, false, v, "", c};
}
Key text_key(const std::string& n, const std::string& v, const std::string& c) {
    return Key{n, true, 0, v, c};
}

void fits_check(int status, const std::string& path) {
    if (status == 0)
        return;
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    throw Failure("cannot write " + path + ": " + text + " (FITS status " + std::to_string(status) +
                  ")");
}

void write_keys(fitsfile* f, const std::vector<Key>& keys, int& status) {
    for (const Key& k : keys) {
        char* name = const_cast<char*>(k.name.c_str());
        char* comment = const_cast<char*>(k.comment.c_str());
        if (k.is_text) {
            fits_write_key(f, TSTRING, name, const_cast<char*>(k.sval.c_str()), comment, &status);
        } else {
            long v = k.ival;
            fits_write_key(f, TLONG, name, &v, comment, &status);
        }
    }
}

// Writes one primary image, replacing an existing file.  `datatype` is the cfitsio type
// code of `pixels` (TFLOAT or TSHORT).
void write_image(const std::string& path, int bitpix, int datatype, std::vector<long> naxes,
                 void* pixels, const std::vector<Key>& keys) {
    fitsfile* f = nullptr;
    int status = 0;
    const std::string target = "!" + path;
    fits_create_file(&f, target.c_str(), &status);
    fits_check(status, path);
    long long count = 1;
    for (long a : naxes)
        count *= a;
    fits_create_img(f, bitpix, static_cast<int>(naxes.size()), naxes.data(), &status);
    write_keys(f, keys, status);
    fits_write_img(f, datatype, 1, count, pixels, &status);
    int close_status = 0;
    fits_close_file(f, &close_status);
    fits_check(status != 0 ? status : close_status, path);
}

void write_floats(const std::string& path, const std::vector<long>& naxes, std::vector<float>& px,
                  const std::vector<Key>& keys = {}) {
    write_image(path, FLOAT_IMG, TFLOAT, naxes, px.data(), keys);
}

void write_shorts(const std::string& path, const std::vector<long>& naxes, std::vector<short>& px,
                  const std::vector<Key>& keys = {}) {
    write_image(path, SHORT_IMG, TSHORT, naxes, px.data(), keys);
}

void write_text_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw Failure("cannot write " + path + ": " + std::strerror(errno));
}

void make_folder(const std::string& dir) {
    if (mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) {
        struct stat st {};
        if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return;
        throw Failure("cannot write into " + dir + ": not a folder");
    }
    throw Failure("cannot create folder " + dir + ": " + std::strerror(errno));
}

// ---------------------------------------------------------------------------------------
// Synthetic scene

struct Frame {
    long width = 0;
    long height = 0;
    size_t pixels() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
};

// A field of Gaussian stars on a zero background: the flux every frame sees, before sky,
// transparency and noise.
std::vector<float> make_scene(const Frame& fr, uint64_t seed) {
    Rng r = stream(seed, 1);
    std::vector<float> scene(fr.pixels(), 0.0f);
    const long stars = std::max(3L, std::min(5000L, static_cast<long>(fr.pixels() / 600)));
    const double sigma = 1.3;
    const long reach = 5;
    for (long s = 0; s < stars; ++s) {
        const double cx = uniform(r) * fr.width;
        const double cy = uniform(r) * fr.height;
        const double peak = 100.0 * std::exp(3.0 * uniform(r));
        const long x0 = std::max(0L, static_cast<long>(cx) - reach);
        const long x1 = std::min(fr.width - 1, static_cast<long>(cx) + reach);
        const long y0 = std::max(0L, static_cast<long>(cy) - reach);
        const long y1 = std::min(fr.height - 1, static_cast<long>(cy) + reach);
        for (long y = y0; y <= y1; ++y) {
            for (long x = x0; x <= x1; ++x) {
                const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
                const double v = peak * std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma));
                scene[static_cast<size_t>(y * fr.width + x)] += static_cast<float>(v);
            }
        }
    }
    return scene;
}

// How many special pixels (hits, NaNs, flags) a plane of `pixels` gets: one per `per`
// pixels, at least `least`.
long sprinkle_count(size_t pixels, long per, long least) {
    return std::max(least, static_cast<long>(pixels / static_cast<size_t>(per)));
}

size_t random_pixel(Rng& r, const Frame& fr) {
    return static_cast<size_t>(below(r, static_cast<long>(fr.pixels())));
}

// Sky plus transparency-scaled scene plus noise; `sdev` receives the noise sigma.
void observe(const std::vector<float>& scene, double sky, double transparency, Rng& r,
             std::vector<float>& data, std::vector<float>& sdev) {
    const double read_noise = 4.0, gain = 4.0;
    for (size_t p = 0; p < scene.size(); ++p) {
        const double signal = transparency * scene[p];
        const double sigma = std::sqrt(read_noise * read_noise + (sky + signal) / gain);
        data[p] = static_cast<float>(sky + signal + sigma * gaussian(r));
        sdev[p] = static_cast<float>(sigma);
    }
}

std::string frame_name(const std::string& kind, long i, long frames) {
    const size_t width = std::max<size_t>(3, std::to_string(frames).size());
    std::string num = std::to_string(i + 1);
    num.insert(0, width - std::min(width, num.size()), '0');
    return kind + "_" + num + ".fits";
}

// ---------------------------------------------------------------------------------------
// Co-addition inputs

// Permanent pixel defects shared by every frame's PMASK.
std::vector<short> make_pmask(const Frame& fr, uint64_t seed) {
    Rng r = stream(seed, 2);
    std::vector<short> pm(fr.pixels(), 0);
    for (long k = sprinkle_count(fr.pixels(), 1000, 2); k > 0; --k)
        pm[random_pixel(r, fr)] |= kPmaskDead;
    for (long k = sprinkle_count(fr.pixels(), 1000, 2); k > 0; --k)
        pm[random_pixel(r, fr)] |= kPmaskNote;
    return pm;
}

// FOV 26 covers the left 60 % of the frame, FOV 27 the right 60 %; a two-pixel border
// belongs to neither.
std::vector<short> make_fmask(const Frame& fr) {
    std::vector<short> fm(fr.pixels(), 0);
    for (long y = 0; y < fr.height; ++y) {
        for (long x = 0; x < fr.width; ++x) {
            if (x < 2 || y < 2 || x >= fr.width - 2 || y >= fr.height - 2)
                continue;
            short v = 0;
            if (x * 10 < fr.width * 6)
                v |= kFovBit;
            if (x * 10 >= fr.width * 4)
                v |= kOtherFovBit;
            fm[static_cast<size_t>(y * fr.width + x)] = v;
        }
    }
    return fm;
}

// One frame of the stack with its uncertainty and BMASK.  Half of the cosmic-ray hits are
// flagged in the BMASK; the rest are left for the outlier trimming.
void write_stack_frame(const Options& o, const Frame& fr, const std::vector<float>& scene,
                       std::vector<short>& pmask, long i) {
    Rng r = stream(o.seed, 100 + static_cast<uint64_t>(i));
    const double sky = 100.0 + 10.0 * uniform(r);
    const double transparency = 0.7 + 0.6 * uniform(r);
    std::vector<float> data(fr.pixels()), sdev(fr.pixels());
    std::vector<short> bmask(fr.pixels(), 0);
    observe(scene, sky, transparency, r, data, sdev);
    const long hits = sprinkle_count(fr.pixels(), 800, 2);
    for (long k = 0; k < hits; ++k) {
        const size_t p = random_pixel(r, fr);
        data[p] += static_cast<float>(500.0 + 4000.0 * uniform(r));
        if (k % 2 == 0)
            bmask[p] |= kBmaskCosmic;
    }
    for (long k = sprinkle_count(fr.pixels(), 1500, 2); k > 0; --k)
        bmask[random_pixel(r, fr)] |= kBmaskWarm;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (long k = sprinkle_count(fr.pixels(), 2000, 1); k > 0; --k) {
        const size_t p = random_pixel(r, fr);
        data[p] = nan;
        sdev[p] = nan;
    }
    const std::vector<long> ax{fr.width, fr.height};
    const std::vector<Key> fov{int_key("FOVID", kFovId, "field of view of this frame")};
    write_floats(o.dir + "/" + frame_name("data", i, o.frames), ax, data, fov);
    write_floats(o.dir + "/" + frame_name("sdev", i, o.frames), ax, sdev, fov);
    write_shorts(o.dir + "/" + frame_name("bmask", i, o.frames), ax, bmask);
    write_shorts(o.dir + "/" + frame_name("pmask", i, o.frames), ax, pmask);
}

std::string list_lines(const std::string& kind, long frames, const std::string& indent) {
    std::string text;
    for (long i = 0; i < frames; ++i)
        text += indent + frame_name(kind, i, frames) + "\n";
    return text;
}

std::string stackle_namelist(long frames) {
    std::ostringstream s;
    s << "Sample co-addition settings: lists in this file, all masks, FOV weighting.\n"
      << "&STACKLE - - - - - - - - - - - - - - - - - - - - - - - - - - -\n"
      << "   #================= INPUT & OUTPUT FILES ===============\n"
      << "    STK_ls = 1\n"
      << "    STK_do = coadd.fits\n"
      << "    STK_so = coadd_sdev.fits\n"
      << "    STK_fm = fmask.fits\n"
      << "    STK_am = coadd_amask.fits\n"
      << "    STK_wo = coadd_weights.txt\n"
      << "   #================ GENERAL PARAMETERS ==================\n"
      << "    STK_bp = " << kBmaskWarm << "\n"
      << "    STK_bf = " << kBmaskCosmic << "\n"
      << "    STK_pf = " << kPmaskDead << "\n"
      << "    STK_ag = 3\n"
      << "    STK_h1 = 1\n"
      << "    STK_wt = 1\n"
      << "    STK_cf = 0.2\n"
      << "    STK_cm = 5.0\n"
      << "   #================= HELP AND DEBUGGING =================\n"
      << "    STK_V  = 1\n"
      << "&END\n\n";
    const char* sections[][2] = {
        {"DATA", "data"}, {"SDEV", "sdev"}, {"BMASK", "bmask"}, {"PMASK", "pmask"}};
    for (const auto& sec : sections)
        s << "&COADD_" << sec[0] << "\n" << list_lines(sec[1], frames, "  ") << "&END\n\n";
    return s.str();
}

void write_stackle_inputs(const Options& o, const Frame& fr, const std::vector<float>& scene) {
    std::vector<short> pmask = make_pmask(fr, o.seed);
    for (long i = 0; i < o.frames; ++i)
        write_stack_frame(o, fr, scene, pmask, i);
    std::vector<short> fmask = make_fmask(fr);
    const std::string fovlist =
        "[" + std::to_string(kFovId) + ", " + std::to_string(kOtherFov) + "]";
    const std::string bitlist =
        "[" + std::to_string(kFovBit) + ", " + std::to_string(kOtherFovBit) + "]";
    write_shorts(o.dir + "/fmask.fits", {fr.width, fr.height}, fmask,
                 {text_key("FOVLIST", fovlist, "FOV numbers"),
                  text_key("BITLIST", bitlist, "FMASK bit value of each FOV"),
                  int_key("USEFOVID", kFovId, "FOV used for weighting")});
    for (const char* kind : {"data", "sdev", "bmask", "pmask"})
        write_text_file(o.dir + "/" + kind + ".list", list_lines(kind, o.frames, ""));
    write_text_file(o.dir + "/stackle.nml", stackle_namelist(o.frames));
    std::printf("mksample: %ld frames of %ld x %ld with uncertainties, BMASKs, PMASKs, FMASK, "
                "lists and stackle.nml written to %s\n",
                o.frames, fr.width, fr.height, o.dir.c_str());
}

// ---------------------------------------------------------------------------------------
// Flat-fielding inputs

// A flat with a gentle gradient and pixel-to-pixel noise (plane 1) and its uncertainty
// (plane 2).  `tilt` scales the gradient.
std::vector<float> make_flat(const Frame& fr, Rng& r, double tilt, double grain) {
    const size_t n = fr.pixels();
    std::vector<float> flat(2 * n);
    for (long y = 0; y < fr.height; ++y) {
        for (long x = 0; x < fr.width; ++x) {
            const size_t p = static_cast<size_t>(y * fr.width + x);
            const double gx = (x + 0.5) / fr.width - 0.5, gy = (y + 0.5) / fr.height - 0.5;
            flat[p] = static_cast<float>(1.0 + tilt * (gx + 0.5 * gy) + grain * gaussian(r));
            flat[n + p] = static_cast<float>(grain * (0.5 + uniform(r)));
        }
    }
    return flat;
}

// The Cmask flags about half of the flat's NaN pixels and a few finite ones.
std::vector<short> make_cmask(const Frame& fr, Rng& r, std::vector<float>& flat) {
    std::vector<short> cm(fr.pixels(), 0);
    const long bad = sprinkle_count(fr.pixels(), 2000, 2);
    for (long k = 0; k < bad; ++k) {
        const size_t p = random_pixel(r, fr);
        flat[p] = std::numeric_limits<float>::quiet_NaN();
        if (k % 2 == 0)
            cm[p] |= kPlenorCmaskBad;
    }
    for (long k = sprinkle_count(fr.pixels(), 2000, 1); k > 0; --k)
        cm[random_pixel(r, fr)] |= kPlenorCmaskBad;
    return cm;
}

std::vector<short> make_flags(const Frame& fr, long planes, Rng& r, short bad, short other) {
    std::vector<short> m(fr.pixels() * static_cast<size_t>(planes), 0);
    for (long k = 0; k < planes; ++k) {
        short* plane = m.data() + fr.pixels() * static_cast<size_t>(k);
        for (long j = sprinkle_count(fr.pixels(), 1500, 1); j > 0; --j)
            plane[random_pixel(r, fr)] |= bad;
        for (long j = sprinkle_count(fr.pixels(), 1500, 1); j > 0; --j)
            plane[random_pixel(r, fr)] |= other;
    }
    return m;
}

// The raw DCE: each plane is the scene seen through the flat and the calibrator flat.
void make_dce(const Options& o, const Frame& fr, const std::vector<float>& scene,
              const std::vector<float>& flat, const std::vector<float>& cal, Rng& r,
              std::vector<float>& dce, std::vector<float>& unc) {
    const size_t n = fr.pixels();
    std::vector<float> data(n), sdev(n);
    for (long k = 0; k < o.planes; ++k) {
        observe(scene, 120.0 + 5.0 * k, 1.0, r, data, sdev);
        for (size_t p = 0; p < n; ++p) {
            const double response = std::isnan(flat[p]) ? 1.0 : flat[p] * cal[p];
            dce[k * n + p] = static_cast<float>(data[p] * response);
            unc[k * n + p] = static_cast<float>(sdev[p] * response);
        }
        for (long j = sprinkle_count(n, 2000, 1); j > 0; --j)
            dce[k * n + random_pixel(r, fr)] = std::numeric_limits<float>::quiet_NaN();
    }
}

std::string plenor_namelist() {
    return "Sample flat-fielding settings.\n"
           "&PLENORIN\n"
           "  Comment = 'synthetic_sample',\n"
           "  FITS_Input_File = 'dce.fits',\n"
           "  Input_Uncertainty_File = 'dce_unc.fits',\n"
           "  FITS_Output_File = 'dce_flat.fits',\n"
           "  Output_Uncertainty_File = 'dce_flat_unc.fits',\n"
           "  FITS_Flatfield_File = 'flat.fits',\n"
           "  Transmission_Cal_Flatfile = 'calflat.fits',\n"
           "  Pmask_File = 'dce_pmask.fits',\n"
           "  Dmask_File = 'dce_dmask.fits',\n"
           "  Cmask_File = 'flat_cmask.fits',\n"
           "  PmaskMask = 128,\n"
           "  DmaskMask = 16384,\n"
           "  CmaskMask = 256,\n"
           "  Processing_Log_File = 'plenor.log',\n"
           "  Verbose = 1\n"
           "&END\n";
}

void write_plenor_inputs(const Options& o, const Frame& fr, const std::vector<float>& scene) {
    Rng r = stream(o.seed, 3);
    std::vector<float> flat = make_flat(fr, r, 0.08, 0.01);
    std::vector<float> cal = make_flat(fr, r, 0.02, 0.004);
    std::vector<short> cmask = make_cmask(fr, r, flat);
    std::vector<short> pmask = make_flags(fr, 1, r, kPlenorPmaskBad, 1);
    std::vector<short> dmask = make_flags(fr, o.planes, r, kPlenorDmaskBad, 2);
    const size_t total = fr.pixels() * static_cast<size_t>(o.planes);
    std::vector<float> dce(total), unc(total);
    make_dce(o, fr, scene, flat, cal, r, dce, unc);
    std::vector<long> cube{fr.width, fr.height};
    if (o.planes > 1)
        cube.push_back(o.planes);
    const std::vector<long> plane{fr.width, fr.height}, pair{fr.width, fr.height, 2};
    write_floats(o.dir + "/dce.fits", cube, dce);
    write_floats(o.dir + "/dce_unc.fits", cube, unc);
    write_floats(o.dir + "/flat.fits", pair, flat);
    write_floats(o.dir + "/calflat.fits", pair, cal);
    write_shorts(o.dir + "/dce_pmask.fits", plane, pmask);
    write_shorts(o.dir + "/dce_dmask.fits", cube, dmask);
    write_shorts(o.dir + "/flat_cmask.fits", plane, cmask);
    write_text_file(o.dir + "/plenor.nml", plenor_namelist());
    std::printf("mksample: DCE of %ld plane(s) of %ld x %ld with uncertainty, flat, calibrator "
                "flat, Pmask, Dmask, Cmask and plenor.nml written to %s\n",
                o.planes, fr.width, fr.height, o.dir.c_str());
}

// ---------------------------------------------------------------------------------------
// Command line

const char* const kUsage =
    "usage: mksample -o DIR [-n N] [-W W] [-H H] [-z NZ] [-s SEED] [--no-plenor|--no-stackle]\n"
    "Writes a reproducible synthetic data set into DIR (created when missing).\n"
    "  -o DIR        output folder\n"
    "  -n N          frames in the co-addition stack (1 to 9999, default 5)\n"
    "  -W W          frame width in pixels (default 64)\n"
    "  -H H          frame height in pixels (default 48)\n"
    "  -z NZ         planes of the flat-fielding DCE (1 to 64, default 1)\n"
    "  -s SEED       seed of the pseudo-random numbers (default 1)\n"
    "  --no-plenor   write only the co-addition inputs\n"
    "  --no-stackle  write only the flat-fielding inputs\n"
    "  -h            show this text\n";

long parse_count(const std::string& opt, const char* text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi)
        throw Failure("bad value \"" + std::string(text) + "\" for " + opt + " (expected " +
                      std::to_string(lo) + " to " + std::to_string(hi) + ")");
    return static_cast<long>(v);
}

uint64_t parse_seed(const char* text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || std::strchr(text, '-') != nullptr)
        throw Failure("bad value \"" + std::string(text) +
                      "\" for -s (expected an unsigned "
                      "integer)");
    return static_cast<uint64_t>(v);
}

void apply_value(Options& o, const std::string& opt, const char* v) {
    if (opt == "-o")
        o.dir = v;
    else if (opt == "-n")
        o.frames = parse_count(opt, v, 1, kMaxFrames);
    else if (opt == "-W")
        o.width = parse_count(opt, v, 1, kMaxSide);
    else if (opt == "-H")
        o.height = parse_count(opt, v, 1, kMaxSide);
    else if (opt == "-z")
        o.planes = parse_count(opt, v, 1, kMaxPlanes);
    else
        o.seed = parse_seed(v);
}

Options parse_args(int argc, char** argv) {
    Options o;
    bool no_plenor = false, no_stackle = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--no-plenor") {
            no_plenor = true;
        } else if (a == "--no-stackle") {
            no_stackle = true;
        } else if (a == "-o" || a == "-n" || a == "-W" || a == "-H" || a == "-z" || a == "-s") {
            if (i + 1 >= argc)
                throw Failure("option " + a + " needs a value");
            apply_value(o, a, argv[++i]);
        } else {
            throw Failure("unknown argument \"" + a + "\"");
        }
    }
    if (o.help)
        return o;
    if (no_plenor && no_stackle)
        throw Failure("--no-plenor and --no-stackle exclude each other");
    if (o.dir.empty())
        throw Failure("no output folder given (-o DIR)");
    if (static_cast<long long>(o.width) * o.height > kMaxPixels)
        throw Failure("frame of " + std::to_string(o.width) + " x " + std::to_string(o.height) +
                      " pixels is too large");
    o.plenor = !no_plenor;
    o.stackle = !no_stackle;
    return o;
}

void generate(const Options& o) {
    make_folder(o.dir);
    const Frame fr{o.width, o.height};
    const std::vector<float> scene = make_scene(fr, o.seed);
    if (o.stackle)
        write_stackle_inputs(o, fr, scene);
    if (o.plenor)
        write_plenor_inputs(o, fr, scene);
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    try {
        o = parse_args(argc, argv);
    } catch (const Failure& e) {
        std::fprintf(stderr, "mksample: %s\nTry 'mksample -h' for the options.\n", e.what());
        return kExitFailure;
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        generate(o);
    } catch (const Failure& e) {
        std::fprintf(stderr, "mksample: %s\n", e.what());
        return kExitFailure;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "mksample: not enough memory for frames of %ld x %ld\n", o.width,
                     o.height);
        return kExitFailure;
    }
    return 0;
}
