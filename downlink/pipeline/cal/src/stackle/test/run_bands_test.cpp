// The run of stackle (stackle_run, in a child of the test process) reading its stack in bands
// of rows against the same run loading whole planes (band height 0): the products must be the
// same bit for bit and the standard output the same byte for byte, for band heights that do and
// do not divide the image height, with NaN and infinite pixels, every mask, DOUBLE_IMG,
// three-axis and compressed inputs.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include <fitsio.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fits_test_support.h"
#include "stackle.h"
#include "testkit.h"

namespace {

using testkit::Keyword;
using Strings = std::vector<std::string>;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

const char* const kProducts[] = {"out.fits", "sd.fits", "am.fits"};

// What one run left behind.
struct Outcome {
    testkit::RunResult run;
    std::vector<testkit::Image> images; // out, sd, am (empty after a failure)
    std::string weights;
    std::string unverified; // what fitsverify said of the products it did not accept
};

// Standard output without the banners' clock readings.
std::string without_clock(const std::string& out) {
    static const std::regex clock("(Processed at|COMPLETED at): [^\n]*");
    return std::regex_replace(out, clock, "$1: <time>");
}

// Header cards without the comment recording when the product was made.
Strings cards_without_clock(const testkit::Image& img) {
    Strings out;
    for (const std::string& c : img.cards)
        if (c.find("[STACKLE] Processed at") == std::string::npos)
            out.push_back(c);
    return out;
}

// stackle_run(args, rows) in a child process (a refused input ends it with status 64) working
// in `cwd`, its standard output and error kept in files beside `cwd`.
testkit::RunResult run_stackle(const std::string& cwd, const Strings& args, int rows) {
    const std::string out = cwd + ".out", err = cwd + ".err";
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0 || !std::freopen(out.c_str(), "w", stdout) ||
            !std::freopen(err.c_str(), "w", stderr))
            _exit(127);
        Strings words = args;
        words.insert(words.begin(), "stackle");
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        const int status = stackle_run(static_cast<int>(words.size()), argv.data(), rows);
        std::fflush(nullptr);
        _exit(status);
    }
    testkit::RunResult r;
    int wstatus = 0;
    if (pid < 0 || waitpid(pid, &wstatus, 0) != pid)
        ADD_FAILURE() << "no child process for the run";
    r.signaled = WIFSIGNALED(wstatus);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = testkit::read_text(out);
    r.err = testkit::read_text(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

struct Bands : testing::Test {
    testkit::TempDir dir;
    bool verify = false; // products are checked by fitsverify

    std::string file(const std::string& name) const { return dir.file(name); }
    void list(const std::string& name, const Strings& files) {
        std::string text;
        for (const std::string& f : files)
            text += f + "\n";
        testkit::write_text(file(name), text);
    }

    // Runs stackle with `args` and bands of `rows` rows (0: whole planes), then collects its
    // products and removes them for the next run.
    Outcome run(const Strings& args, int rows) {
        Outcome o;
        o.run = run_stackle(dir.path(), args, rows);
        EXPECT_FALSE(o.run.signaled) << o.run.out;
        for (const char* p : kProducts)
            if (testkit::file_exists(file(p))) {
                const testkit::RunResult v =
                    verify ? testkit::run("/usr/bin/fitsverify", {"-q", file(p)}) : o.run;
                o.unverified += v.status == 0 ? "" : v.out;
                o.images.push_back(testkit::read_image(file(p)));
                std::remove(file(p).c_str());
            }
        if (testkit::file_exists(file("w.txt"))) {
            o.weights = testkit::read_text(file("w.txt"));
            std::remove(file("w.txt").c_str());
        }
        return o;
    }

    // Expects the runs with each band height to match the whole-plane run exactly.
    void expect_same_as_whole(const Strings& args, const std::vector<int>& heights,
                              int status = 0) {
        const Outcome whole = run(args, 0);
        ASSERT_EQ(whole.run.status, status) << whole.run.out;
        ASSERT_EQ(whole.images.size(), status == 0 ? 3u : 0u);
        for (int rows : heights) {
            SCOPED_TRACE("band rows " + std::to_string(rows));
            const Outcome banded = run(args, rows);
            EXPECT_EQ(banded.run.status, status);
            EXPECT_EQ(without_clock(banded.run.out), without_clock(whole.run.out));
            EXPECT_EQ(banded.run.err, whole.run.err);
            EXPECT_EQ(banded.weights, whole.weights);
            ASSERT_EQ(banded.images.size(), whole.images.size());
            for (size_t k = 0; k < whole.images.size(); ++k)
                expect_same_image(banded.images[k], whole.images[k], kProducts[k]);
        }
    }

    static void expect_same_image(const testkit::Image& a, const testkit::Image& b,
                                  const char* name) {
        EXPECT_EQ(a.naxes, b.naxes) << name;
        EXPECT_EQ(cards_without_clock(a), cards_without_clock(b)) << name;
        ASSERT_EQ(a.fpixels.size(), b.fpixels.size()) << name;
        for (size_t p = 0; p < a.fpixels.size(); ++p)
            EXPECT_EQ(bits_of(a.fpixels[p]), bits_of(b.fpixels[p])) << name << " pixel " << p;
    }
};

// Data frame i of a w x h stack: a smooth level with an outlier, NaN and infinities that
// move from frame to frame, so that trimming, masking and coverage differ across rows.
std::vector<float> frame(int i, int w, int h) {
    std::vector<float> px(static_cast<size_t>(w) * h);
    for (size_t p = 0; p < px.size(); ++p)
        px[p] = 100.0f + 0.25f * static_cast<float>((p * 7 + i * 13) % 11);
    px[(3 * i + 1) % px.size()] = 5000.0f;
    px[(5 * i + 2) % px.size()] = kNaN;
    px[(7 * i + 4) % px.size()] = i % 2 ? kInf : -kInf;
    return px;
}

// Writes a stack of n frames (w x h) with sdev, BMASK and PMASK lists and an FMASK.  Frame 1
// is DOUBLE_IMG, frame 2 has a third axis of 1 and the sdev plane of frame 3 is compressed.
void write_stack(Bands* t, int n, int w, int h) {
    Strings data, sdev, bmask, pmask;
    const long W = w, H = h;
    for (int i = 0; i < n; ++i) {
        const std::string d = "d" + std::to_string(i) + ".fits";
        const std::vector<float> px = frame(i, w, h);
        const std::vector<Keyword> fov = {Keyword::integer("FOVID", 27)};
        if (i == 1)
            testkit::write_image(t->file(d), -64, {W, H}, std::vector<double>(px.begin(), px.end()),
                                 fov);
        else
            testkit::write_float_image(
                t->file(d), i == 2 ? std::vector<long>{W, H, 1} : std::vector<long>{W, H}, px, fov);
        std::vector<float> unc(px.size());
        std::vector<int16_t> bm(px.size()), pm(px.size());
        for (size_t p = 0; p < px.size(); ++p) {
            unc[p] = 0.5f + 0.125f * static_cast<float>((p + i) % 5);
            bm[p] = static_cast<int16_t>((p + 2 * i) % 9 == 0 ? 4 : 1);
            pm[p] = static_cast<int16_t>((p * 3 + i) % 13 == 0 ? 2 : 0);
        }
        data.push_back(d);
        sdev.push_back("s" + std::to_string(i) + ".fits");
        bmask.push_back("b" + std::to_string(i) + ".fits");
        pmask.push_back("p" + std::to_string(i) + ".fits");
        testkit::write_float_image(t->file(sdev.back()), {W, H}, unc);
        testkit::write_short_image(t->file(bmask.back()), {W, H}, bm);
        testkit::write_short_image(t->file(pmask.back()), {W, H}, pm);
    }
    ASSERT_EQ(testkit::run("/bin/gzip", {"-n", t->file("s3.fits")}).status, 0);
    sdev[3] = "s3.fits.gz";
    std::vector<int16_t> fm(static_cast<size_t>(w) * h);
    for (size_t p = 0; p < fm.size(); ++p)
        fm[p] = static_cast<int16_t>(p % 3 == 0 ? 1 : 2);
    testkit::write_short_image(
        t->file("fmask.fits"), {W, H}, fm,
        {Keyword::text("FOVLIST", "[26,27]"), Keyword::text("BITLIST", "[1,2]")});
    t->list("d.list", data);
    t->list("s.list", sdev);
    t->list("b.list", bmask);
    t->list("p.list", pmask);
}

const Strings kOutputs = {"-do",     "out.fits", "-so",   "sd.fits", "-am",
                          "am.fits", "-wo",      "w.txt", "-V"};

Strings with_outputs(Strings args) {
    args.insert(args.end(), kOutputs.begin(), kOutputs.end());
    return args;
}

TEST_F(Bands, EveryInputAndMaskMatchesTheWholePlaneRun) {
    write_stack(this, 6, 5, 7); // 7 rows: bands of 2 and 3 leave a shorter last band
    const std::vector<int> heights = {1, 2, 3, 7, 100, stackle_band_rows_auto};
    expect_same_as_whole(
        with_outputs({"-di", "d.list", "-si", "s.list", "-bm", "b.list",     "-bf", "4",
                      "-pm", "p.list", "-pf", "2",      "-fm", "fmask.fits", "-wt", "0",
                      "-cf", "0.34",   "-cm", "1.5",    "-ag", "4"}),
        heights);
    // Weights from the data (FOV 27 is bit 2 of the FMASK): two passes over the bands.
    expect_same_as_whole(
        with_outputs({"-di", "d.list", "-si", "s.list", "-bm", "b.list",     "-bf", "4",
                      "-pm", "p.list", "-pf", "2",      "-fm", "fmask.fits", "-wt", "1",
                      "-cf", "0.34",   "-cm", "1.5",    "-ag", "4"}),
        heights);
    // Without trimming or masks; with the PMASK alone and the first file's header copied.
    expect_same_as_whole(with_outputs({"-di", "d.list", "-si", "s.list", "-cf", "0"}), heights);
    expect_same_as_whole(with_outputs({"-di", "d.list", "-pm", "p.list", "-pf", "2", "-h1"}),
                         heights);
}

TEST_F(Bands, WeightsFromTheDataAreThoseOfAllBands) {
    // Frame i of 6 x 5 holds i + 1 in its first row and 4 - i below, all in FOV 27 (bit 2):
    // FOV sums 6 + 96, 12 + 72, 18 + 48, 24 + 24 = 102, 84, 66, 48, weights their ratios to
    // 102.  Weights taken from the first row alone (one band) would rise with i instead.
    Strings names;
    for (int i = 0; i < 4; ++i) {
        std::vector<float> px(30, static_cast<float>(4 - i));
        std::fill(px.begin(), px.begin() + 6, static_cast<float>(i + 1));
        names.push_back("d" + std::to_string(i) + ".fits");
        testkit::write_float_image(file(names.back()), {6, 5}, px, {Keyword::integer("FOVID", 27)});
    }
    list("d.list", names);
    testkit::write_short_image(
        file("fmask.fits"), {6, 5}, std::vector<int16_t>(30, 2),
        {Keyword::text("FOVLIST", "[26,27]"), Keyword::text("BITLIST", "[1,2]")});
    const Strings args = with_outputs({"-di", "d.list", "-fm", "fmask.fits", "-wt", "1"});
    EXPECT_EQ(run(args, 1).weights, "         1.0000  d0.fits\n         0.8235  d1.fits\n"
                                    "         0.6471  d2.fits\n         0.4706  d3.fits\n");
    expect_same_as_whole(args, {1, 2});
}

TEST_F(Bands, MeansAreThoseOfTheFiniteValuesOfEachPixel) {
    // Three frames of 3 x 4 without trimming: frame i holds i + 4p at pixel p, except NaN at
    // pixel 5 in frame 0 and at pixel 9 in every frame.  Means: 1 + 4p, or 1.5 + 4p at
    // pixel 5 (only frames 1 and 2), and no value (AMASK 0x3000) at pixel 9.
    Strings names;
    for (int i = 0; i < 3; ++i) {
        std::vector<float> px(12);
        for (int p = 0; p < 12; ++p)
            px[p] = static_cast<float>(i + 4 * p);
        if (i == 0)
            px[5] = kNaN;
        px[9] = kNaN;
        names.push_back("m" + std::to_string(i) + ".fits");
        testkit::write_float_image(file(names.back()), {3, 4}, px, {Keyword::integer("FOVID", 27)});
    }
    list("m.list", names);
    const Outcome o =
        run({"-di", "m.list", "-do", "out.fits", "-am", "am.fits", "-cf", "0", "-ag", "1"}, 3);
    ASSERT_EQ(o.run.status, 0) << o.run.out;
    ASSERT_EQ(o.images.size(), 2u); // out and am
    for (int p = 0; p < 12; ++p) {
        SCOPED_TRACE("pixel " + std::to_string(p));
        const float mean = o.images[0].fpixels[p];
        if (p == 9) {
            EXPECT_TRUE(stackle_isnan(mean));
            EXPECT_EQ(o.images[1].pixels[p], 0x3000);
        } else {
            EXPECT_EQ(mean, (p == 5 ? 1.5f : 1.0f) + 4.0f * static_cast<float>(p));
            EXPECT_EQ(o.images[1].pixels[p], 0);
        }
    }
}

TEST_F(Bands, RefusedInputsFailAsInTheWholePlaneRun) {
    write_stack(this, 4, 4, 4);
    const Strings args = with_outputs({"-di", "d.list", "-si", "s.list"});
    // A third axis of 2 in the second sdev file.
    testkit::write_float_image(file("s1.fits"), {4, 4, 2}, std::vector<float>(32, 1.0f));
    expect_same_as_whole(args, {1, stackle_band_rows_auto}, 64);
    // A BMASK file cut short: it is read whole when opened and fails there.
    testkit::write_float_image(file("s1.fits"), {4, 4}, std::vector<float>(16, 1.0f));
    std::vector<int16_t> big(100 * 100, 0);
    testkit::write_short_image(file("b1.fits"), {100, 100}, big);
    ASSERT_EQ(truncate(file("b1.fits").c_str(), 2880 * 3), 0);
    expect_same_as_whole(with_outputs({"-di", "d.list", "-bm", "b.list", "-bf", "4"}),
                         {1, stackle_band_rows_auto}, 64);
}

// Every input stored the ways archives store images, named the library's way: the products
// (headers included, with -h1) are those of the same values stored plain, and fitsverify
// accepts them.  A mask's BLANK names a value it holds, which stays a mask value.
TEST_F(Bands, InputsStoredAsArchivesStoreThemGiveTheProductsOfPlainFiles) {
    using testkit::Storage;
    const struct {
        Storage data, masks;
    } rows[] = {{Storage::Extension, Storage::Extension},
                {Storage::Rice, Storage::Plio},
                {Storage::Gzip1, Storage::Hcompress},
                {Storage::Gzip2, Storage::Gzip2},
                {Storage::Scaled, Storage::Scaled}}; // HCOMPRESS takes no float with NaN
    const std::vector<Keyword> fov = {Keyword::integer("FOVID", 27), Keyword::real("EXPTIME", 8)},
                               lists = {Keyword::text("FOVLIST", "[26,27]"),
                                        Keyword::text("BITLIST", "[1,2]")};
    const Strings args =
        with_outputs({"-di", "d.list", "-si",    "s.list", "-bm",  "b.list", "-bf",
                      "4",   "-pm",    "p.list", "-pf",    "2",    "-fm",    "fm.fits",
                      "-wt", "1",      "-h1",    "-cf",    "0.34", "-ag",    "3"});
    verify = testkit::file_exists("/usr/bin/fitsverify");
    for (const auto& row : rows) {
        SCOPED_TRACE("storage " + std::to_string(static_cast<int>(row.data)));
        Strings names[2][5]; // stored, plain; data, sdev, bmask, pmask, FMASK
        auto put = [&](int k, const std::string& base, Storage how, int bitpix,
                       const std::vector<double>& px, const std::vector<Keyword>& keys = {}) {
            const testkit::Stored st =
                testkit::write_stored(file(base), how, bitpix, {5, 7}, px, keys);
            testkit::write_image(file("plain_" + base), bitpix, {5, 7}, st.values, keys);
            names[0][k].push_back(st.name.substr(dir.path().size() + 1));
            names[1][k].push_back("plain_" + base);
        };
        for (int i = 0; i < 4; ++i) {
            const std::vector<float> f = frame(i, 5, 7);
            std::vector<double> px(f.begin(), f.end()), unc(35), bm(35), pm(35);
            std::replace_if(
                px.begin(), px.end(), [](double v) { return std::isinf(v); }, kNaN);
            for (size_t p = 0; p < 35; ++p) {
                unc[p] = p == 3u * i ? kNaN : 0.5 + 0.125 * ((p + i) % 5);
                bm[p] = (p + 2 * i) % 9 == 0 ? 4 : 1;
                pm[p] = (p * 3 + i) % 13 == 0 ? 2 : 0;
            }
            const std::string n = std::to_string(i) + ".fits";
            put(0, "d" + n, row.data, FLOAT_IMG, px, fov); // quantizing takes no infinity
            put(1, "s" + n, row.data, FLOAT_IMG, unc);
            put(2, "b" + n, row.masks, SHORT_IMG, bm);
            put(3, "p" + n, row.masks, SHORT_IMG, pm);
        }
        std::vector<double> fm(35);
        for (size_t p = 0; p < fm.size(); ++p)
            fm[p] = p % 3 == 0 ? 1 : 2;
        put(4, "fm.fits", row.masks, SHORT_IMG, fm, lists);
        Outcome o[2];
        for (int k : {0, 1}) {
            for (int l = 0; l < 4; ++l)
                list(std::string(1, "dsbp"[l]) + ".list", names[k][l]);
            Strings a = args;
            a[13] = names[k][4][0];
            o[k] = run(a, stackle_band_rows_auto);
            for (testkit::Image& img : o[k].images) // the FMASK's name as given differs
                img.cards.erase(std::remove_if(img.cards.begin(), img.cards.end(),
                                               [](const std::string& c) {
                                                   return c.find("Used FMASK") != c.npos;
                                               }),
                                img.cards.end());
        }
        ASSERT_EQ(o[0].run.status, 0) << o[0].run.out;
        ASSERT_EQ(o[0].images.size(), 3u);
        EXPECT_EQ(o[0].unverified, "");
        for (size_t k = 0; k < 3; ++k)
            expect_same_image(o[0].images[k], o[1].images[k], kProducts[k]);
    }
    // An image in an extension named without it: refused with the name that selects it.
    testkit::write_stored(file("x.fits"), Storage::Extension, FLOAT_IMG, {5, 7},
                          std::vector<double>(35, 1.0), fov);
    list("d.list", {"x.fits"});
    const Outcome refused = run({"-di", "d.list", "-do", "out.fits"}, stackle_band_rows_auto);
    EXPECT_EQ(refused.run.status, 64);
    EXPECT_NE(refused.run.out.find("an image in an extension is named as x.fits[1]\n"),
              std::string::npos)
        << refused.run.out;
}

} // namespace
