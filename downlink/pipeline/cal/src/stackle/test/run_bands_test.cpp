// The run of stackle (stackle_run, in a child of the test process) reading its stack in bands
// of rows against the same run loading whole planes (band height 0): the products must be the
// same bit for bit and the standard output the same byte for byte, for band heights that do and
// do not divide the image height, with NaN and infinite pixels, every mask, DOUBLE_IMG,
// three-axis, compressed and archive-stored inputs.
#include "fits_test_support.h"

#include <regex>

#include <sys/wait.h>

namespace {

using Strings = std::vector<std::string>;

const char* const kProducts[] = {"out.fits", "sd.fits", "am.fits", "w.txt"};
const Strings kOutputs = {"-do",     "out.fits", "-so",   "sd.fits", "-am",
                          "am.fits", "-wo",      "w.txt", "-V"};

// A run's output or product without what differs from run to run: the clock, and the name of
// the FMASK in the comment block.
std::string steady(const std::string& text) {
    static const std::regex varying("at: [^\n]*|Processed at .{24}|Used FMASK file [^ ]* *");
    return std::regex_replace(text, varying, "");
}

struct Bands : testing::Test {
    testkit::TempDir dir;
    bool verify = false; // products are checked by fitsverify

    // Writes the list `name` of `files`.
    void list(const std::string& name, const Strings& files) {
        std::string text;
        for (const std::string& f : files)
            text += f + "\n";
        testkit::write_text(dir.file(name), text);
    }

    // stackle_run(args, rows) in a child process working in the test's folder (a refused input
    // ends it with status 64), its output and error kept in a file beside the folder.  What the
    // run left: its status, and its output and error and each product (the bytes of the file),
    // all steady(), the products removed for the next run.
    Strings run(Strings args, int rows) {
        const std::string out = dir.path() + ".out";
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.path().c_str()) != 0 || !std::freopen(out.c_str(), "w", stdout) ||
                dup2(1, 2) != 2)
                _exit(127);
            args.insert(args.begin(), "stackle");
            args.insert(args.end(), kOutputs.begin(), kOutputs.end());
            std::vector<char*> argv;
            for (std::string& w : args)
                argv.push_back(&w[0]);
            argv.push_back(nullptr);
            const int status = stackle_run(static_cast<int>(args.size()), argv.data(), rows);
            std::fflush(nullptr);
            _exit(status);
        }
        int wstatus = 0;
        EXPECT_EQ(waitpid(pid, &wstatus, 0), pid);
        Strings o = {
            std::to_string(WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus)),
            steady(testkit::read_text(out))};
        for (const char* p : kProducts) {
            if (!testkit::file_exists(dir.file(p)))
                continue;
            o.push_back(steady(testkit::read_text(dir.file(p))));
            EXPECT_TRUE(!verify || p == kProducts[3] ||
                        testkit::run("/usr/bin/fitsverify", {"-q", dir.file(p)}).status == 0);
            std::remove(dir.file(p).c_str());
        }
        return o;
    }

    // Expects the runs with each band height to match the whole-plane run exactly.
    void expect_same_as_whole(const Strings& args, const std::vector<int>& heights,
                              int status = 0) {
        const Strings whole = run(args, 0);
        ASSERT_EQ(whole[0], std::to_string(status)) << whole[1];
        ASSERT_EQ(whole.size(), status == 0 ? 6u : 2u); // the four products
        for (int rows : heights)
            EXPECT_EQ(run(args, rows), whole) << rows;
    }
};

// Data frame i of a w x h stack: a smooth level with an outlier, NaN and infinities that
// move from frame to frame, so that trimming, masking and coverage differ across rows; its
// uncertainty, BMASK, PMASK and the FMASK (FOV 26, bit 1, on every third pixel, else FOV 27).
std::vector<std::vector<double>> planes(int i, size_t n) {
    std::vector<std::vector<double>> px(5, std::vector<double>(n));
    for (size_t p = 0; p < n; ++p) {
        px[4][p] = p % 3 == 0 ? 1 : 2;
        px[0][p] = 100.0 + 0.25 * static_cast<double>((p * 7 + i * 13) % 11);
        px[1][p] = 0.5 + 0.125 * static_cast<double>((p + i) % 5);
        px[2][p] = (p + 2 * i) % 9 == 0 ? 4 : 1;
        px[3][p] = (p * 3 + i) % 13 == 0 ? 2 : 0;
    }
    px[0][(3 * i + 1) % n] = 5000.0;
    px[0][(5 * i + 2) % n] = kNaN;
    px[0][(7 * i + 4) % n] = i % 2 ? HUGE_VAL : -HUGE_VAL;
    return px;
}

const std::vector<Keyword> kFovLists = {Keyword::text("FOVLIST", "[26,27]"),
                                        Keyword::text("BITLIST", "[1,2]")};
const Strings kEveryMask = {"-di", "d.list", "-si",    "s.list", "-bm", "b.list", "-bf",
                            "4",   "-pm",    "p.list", "-pf",    "2",   "-fm",    "fmask.fits",
                            "-cf", "0.34",   "-cm",    "1.5",    "-ag", "4",      "-wt"};

TEST_F(Bands, EveryInputAndMaskMatchesTheWholePlaneRunAndFailsAsIt) {
    // Six frames of 5 x 7 with sdev, BMASK and PMASK lists and an FMASK: frame 1 is DOUBLE_IMG,
    // frame 2 has a third axis of 1 and the sdev plane of frame 3 is gzipped.
    Strings names[4];
    for (int i = 0; i < 6; ++i) {
        for (int k = 0; k < 4; ++k) {
            names[k].push_back(std::string(1, "dsbp"[k]) + std::to_string(i) +
                               (k == 1 && i == 3 ? ".fits.gz" : ".fits"));
            testkit::write_image(dir.file(names[k][i]), k > 1 ? 16 : (i == 1 ? -64 : -32),
                                 k == 0 && i == 2 ? std::vector<long>{5, 7, 1}
                                                  : std::vector<long>{5, 7},
                                 planes(i, 35)[k], {Keyword::integer("FOVID", 27)});
        }
    }
    testkit::write_image(dir.file("fmask.fits"), 16, {5, 7}, planes(0, 35)[4], kFovLists);
    for (int k = 0; k < 4; ++k)
        list(std::string(1, "dsbp"[k]) + ".list", names[k]);
    // 7 rows: bands of 2 and 3 leave a shorter last band.
    const std::vector<int> heights = {1, 2, 3, 7, 100, stackle_band_rows_auto};
    // Weights from the data (FOV 27 is bit 2 of the FMASK) take two passes over the bands.
    for (const char* weighting : {"0", "1"}) {
        Strings args = kEveryMask;
        args.push_back(weighting);
        expect_same_as_whole(args, heights);
    }
    // Without trimming or masks; with the PMASK alone and the first file's header copied.
    expect_same_as_whole({"-di", "d.list", "-si", "s.list", "-cf", "0"}, heights);
    expect_same_as_whole({"-di", "d.list", "-pm", "p.list", "-pf", "2", "-h1"}, heights);
    // Refused: a third axis of 2 in the second sdev file; a BMASK file cut short, which is read
    // whole when opened and fails there.
    testkit::write_float_image(dir.file("s1.fits"), {5, 7, 2}, std::vector<float>(70, 1.0f));
    expect_same_as_whole({"-di", "d.list", "-si", "s.list"}, {1, stackle_band_rows_auto}, 64);
    testkit::write_short_image(dir.file("b1.fits"), {100, 100}, std::vector<int16_t>(100 * 100, 0));
    ASSERT_EQ(truncate(dir.file("b1.fits").c_str(), 2880 * 3), 0);
    expect_same_as_whole({"-di", "d.list", "-bm", "b.list", "-bf", "4"},
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
    const std::vector<Keyword> fov = {Keyword::integer("FOVID", 27), Keyword::real("EXPTIME", 8)};
    Strings args = kEveryMask;
    args.insert(args.end(), {"1", "-h1"});
    verify = testkit::file_exists("/usr/bin/fitsverify");
    for (const auto& row : rows) {
        SCOPED_TRACE("storage " + std::to_string(static_cast<int>(row.data)));
        Strings names[2][5]; // stored, plain; data, sdev, bmask, pmask, FMASK
        auto put = [&](int k, const std::string& base, Storage how, int bitpix,
                       const std::vector<double>& px, const std::vector<Keyword>& keys = {}) {
            const testkit::Stored st =
                testkit::write_stored(dir.file(base), how, bitpix, {5, 7}, px, keys);
            testkit::write_image(dir.file("plain_" + base), bitpix, {5, 7}, st.values, keys);
            names[0][k].push_back(st.name.substr(dir.path().size() + 1));
            names[1][k].push_back("plain_" + base);
        };
        for (int i = 0; i < 4; ++i) {
            auto px = planes(i, 35); // quantizing takes no infinity; one sdev NaN a frame
            std::replace_if(
                px[0].begin(), px[0].end(), [](double v) { return std::isinf(v); }, kNaN);
            px[1][3 * i] = kNaN;
            for (int k = 0; k < 4; ++k)
                put(k, std::string(1, "dsbp"[k]) + std::to_string(i) + ".fits",
                    k < 2 ? row.data : row.masks, k < 2 ? FLOAT_IMG : SHORT_IMG, px[k],
                    k == 0 ? fov : std::vector<Keyword>{});
        }
        put(4, "fm.fits", row.masks, SHORT_IMG, planes(0, 35)[4], kFovLists);
        Strings o[2];
        for (int k : {0, 1}) {
            for (int l = 0; l < 4; ++l)
                list(std::string(1, "dsbp"[l]) + ".list", names[k][l]);
            Strings a = args;
            a[13] = names[k][4][0];
            o[k] = run(a, stackle_band_rows_auto);
        }
        ASSERT_EQ(o[0][0], "0") << o[0][1];
        ASSERT_EQ(o[0].size(), 6u); // the weights list names the files as listed
        EXPECT_EQ(Strings(o[0].begin() + 2, o[0].end() - 1),
                  Strings(o[1].begin() + 2, o[1].end() - 1));
    }
    // An image in an extension named without it: refused with the name that selects it.
    testkit::write_stored(dir.file("x.fits"), Storage::Extension, FLOAT_IMG, {5, 7},
                          std::vector<double>(35, 1.0), fov);
    list("d.list", {"x.fits"});
    const Strings refused = run({"-di", "d.list"}, stackle_band_rows_auto);
    EXPECT_TRUE(refused[0] == "64" &&
                testkit::count_of(refused[1], "an image in an extension is named as x.fits[1]\n"))
        << refused[1];
}

} // namespace
