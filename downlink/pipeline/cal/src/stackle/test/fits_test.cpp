// The FITS routines of stackle on tiny hand-made images, for what a whole run cannot reach: bands
// of rows against the whole planes, files cut short after they were opened, the FMASK lists, the
// diagnostics, and the comment block of every input on the header of a product whose first file
// cannot be read.  What a whole run refuses or writes (pixel types, shapes, FOVID rules,
// truncated files, product pixels and the comment block of a plain run) is checked on the
// installed program by the e2e table.
#include "coadd_fits.h"
#include "fits_test_support.h"

#include <numeric>

namespace {

struct Fits : ::testing::Test {
    testkit::TempDir dir;
    const std::string f = dir.file("f.fits");
    int x = 0, y = 0, fov = -9; // -9: FOVID is not read
    control_settings cs{};

    Fits() {
        clear_cs_flags(&cs);
        cs.xdim = 3;
        cs.ydim = 2;
        set_text(cs.data_out_file, cs.data_out_file_f, "out.fits");
        set_text(cs.data_in_lfile, cs.data_in_lfile_f, "data.list");
    }
    // Puts the written products in place; the "[STACKLE]" comments of f.fits.
    std::vector<std::string> comments() {
        EXPECT_EQ(commit_products(), 0);
        return stackle_comments(testkit::read_image(f));
    }
};

TEST_F(Fits, BandsAreTheRowsOfTheWholePlane) {
    // 37 values a row exercise the wide byte-order reversal and its tail; rows of 3000 values a
    // read that bypasses the record buffers; scaled images are converted by the library, and a
    // gzip image is read whole at open.
    const struct {
        const char* name;
        int bitpix;
        long w, h;
        std::vector<Keyword> keys;
        int how; // bands read from the library (0), as stored (1), from the plane read at open (2)
    } rows[] = {
        {"f.fits", -32, 37, 5, {}, 1},
        {"f1.fits", -32, 37, 5, {Keyword::real("BSCALE", 1.0), Keyword::real("BZERO", 0.0)}, 1},
        {"fs.fits", -32, 37, 5, {Keyword::real("BSCALE", 2.0)}, 0},
        {"s.fits", 16, 37, 5, {}, 1},
        {"ss.fits", 16, 37, 5, {Keyword::real("BSCALE", 0.5)}, 0},
        {"wide.fits", -32, 3000, 7, {}, 1},
        {"wide_s.fits", 16, 3000, 7, {}, 1},
        {"c.fits.gz", -32, 6, 5, {}, 2},
    };
    for (const auto& r : rows) {
        const std::string name = dir.file(r.name);
        const size_t n = static_cast<size_t>(r.w * r.h);
        std::vector<double> px(n); // masks a spread of values, planes NaN and infinities too
        for (size_t i = 0; i < n; ++i)
            px[i] = r.bitpix == 16 ? static_cast<int16_t>(i * 523 - 16000)
                                   : (i == 1 ? NAN : (i == n / 2 ? HUGE_VAL : 0.5 * i - 3.0));
        px.back() = r.bitpix == 16 ? px.back() : -HUGE_VAL;
        testkit::write_image(name, r.bitpix, {r.w, r.h}, px, r.keys);
        const bool is_float = r.bitpix == -32;
        void* whole = is_float ? static_cast<void*>(read_fits(name.c_str(), &x, &y, &fov, 0))
                               : static_cast<void*>(read_fits_s(name.c_str(), &x, &y, 0));
        band_input in = is_float ? open_fits_bands(name.c_str(), &x, &y, &fov, 0)
                                 : open_fits_s_bands(name.c_str(), &x, &y, 0);
        const long how = in.fd >= 0 && in.stored_at >= 0 ? 1 : (in.whole != nullptr ? 2 : 0);
        EXPECT_EQ(std::vector<long>({x, y, how}), std::vector<long>({r.w, r.h, r.how})) << r.name;
        const size_t bytes = in.elem_size * x * y;
        for (int rows : {1, 2, 3, 7}) { // 7 = 2 x 3 + 1: a last band shorter than the others
            std::vector<char> bands(bytes);
            for (int row = 0; row < y; row += rows)
                read_band(&in, row, std::min(rows, y - row), &bands[in.elem_size * x * row]);
            EXPECT_EQ(std::memcmp(bands.data(), whole, bytes), 0)
                << r.name << ", bands of " << rows;
        }
        close_band_input(&in);
        std::free(whole);
    }
}

TEST_F(Fits, ShortPlaneOfThreeAxesOrCutShortAfterOpenIsRefused) {
    testkit::write_short_image(f, {2, 1, 2}, {1, 2, 3, 4});
    EXPECT_STACKLE_FAILS(read_fits_s(f.c_str(), &x, &y, 0),
                         "dimensions don't match: file 4, but arrray 2 in read_fits_s\\(\\)\n");
    testkit::write_short_image(f, {200, 100}, std::vector<int16_t>(200 * 100, 7));
    band_input in = open_fits_s_bands(f.c_str(), &x, &y, 0);
    ASSERT_EQ(truncate(f.c_str(), 3 * 2880), 0); // the header and 14 rows are left
    std::vector<int16_t> band(200 * 10);
    read_band(&in, 0, 10, band.data());
    EXPECT_EQ(band, std::vector<int16_t>(200 * 10, 7));
    EXPECT_STACKLE_FAILS(read_band(&in, 90, 10, band.data()),
                         "Attempt to read short image from file " + f + " FAILED in read_fits_s");
    close_band_input(&in);
}

// "[v0,v1,..]" of `n` values.
std::string listed(const int* values, int n) {
    std::string text = "[";
    for (int i = 0; i < n; ++i)
        text += std::to_string(values[i]) + (i + 1 < n ? "," : "");
    return text + "]";
}
// The list of first..last, blanks after "[" up to `size` characters in all.
std::string list(int first, int last, size_t size = 0) {
    std::vector<int> v(static_cast<size_t>(last - first + 1));
    std::iota(v.begin(), v.end(), first);
    const std::string text = listed(v.data(), static_cast<int>(v.size()));
    return "[" + std::string(size > text.size() ? size - text.size() : 0, ' ') + text.substr(1);
}

TEST_F(Fits, FmaskListsReadOrRefused) {
    const std::string convert = "ERROR converting ";
    // FOVLIST, BITLIST, and the lists read ("[..][..]") or the message of the refusal
    // clang-format off
    const std::string rows[][3] = {
        {"[26,27,28,29,32,34,33]", "[ 1,2, 4 ,8, 16,64,32]", "[26,27,28,29,32,34,33][1,2,4,8,16,64,32]"},
        {"[,,,]", "[ , ]", "[][]"}, // separators without numbers
        {list(10, 29, 68), list(30, 49, 68), list(10, 29) + list(30, 49)}, // 68: the longest value
        {"[26a,27]", "[1,2b]", "[26,27][1,2]"}, // trailing characters of a token are ignored
        {list(1, 20), list(1, 21), "ERROR: Maximum number of FOVs, 20, exceeded in BITLIST\n"},
        {"[26,x7]", "[1,2]", convert + "FOVLIST string, \"\\[26,x7\\]\"\n"},
        {"[26,27]", "[1,99999999999]", convert + "BITLIST string, \"\\[1,99999999999\\]\"\n"},
        {"[]", "[1,2]", "ERROR: Number of list elements in FOVLIST \\(0\\) and BITLIST \\(2\\) do not match\n"},
        {"[1]", "1", "Insufficient info in BITLIST in FMASK file\n"},
        {"[1]", "", "ERROR: unable to find required keyword BITLIST in FITS file .*f.fits\n"},
    };
    // clang-format on
    set_text(cs.fmask_in_file, cs.fmask_in_file_f, f);
    for (const auto& r : rows) {
        std::vector<Keyword> keys = {Keyword::text("FOVLIST", r[0])};
        if (!r[1].empty())
            keys.push_back(Keyword::text("BITLIST", r[1]));
        testkit::write_short_image(f, {1, 1}, {0}, keys);
        if (r[2][0] != '[') {
            EXPECT_STACKLE_FAILS(read_fmask_lists(&cs), r[2].c_str()) << r[0] << r[1];
            continue;
        }
        read_fmask_lists(&cs);
        EXPECT_EQ(listed(cs.fovlist, cs.num_fovs) + listed(cs.bitlist, cs.num_fovs), r[2]);
    }
    set_text(cs.fmask_in_file, cs.fmask_in_file_f, dir.file("absent.fits"));
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR: Attempt to read file .*absent.fits FAILED in read_fits_s\\(\\)");
}

TEST_F(Fits, PrintAndCompareDiagnostics) {
    // Shared 2 x 2 region of f and m: (0,0) equal, (1,0) NaN in both, (0,1) 1.25 vs 0.5, (1,1) NaN
    // vs 2; s a short plane.
    const std::string m = dir.file("m.fits"), s = dir.file("s.fits");
    testkit::write_float_image(f, {2, 2}, {5.0f, kNaN, 1.25f, kNaN},
                               {Keyword::integer("FOVID", 1)});
    testkit::write_float_image(m, {3, 2}, {5.0f, kNaN, 9.0f, 0.5f, 2.0f, 9.0f});
    testkit::write_short_image(s, {3, 1}, {7, -8, 12});
    EXPECT_EQ(printed([&] {
                  print_fits_data(f.c_str());
                  print_fits_data_s(s.c_str());
                  compare_fits_data(f.c_str(), m.c_str());
              }),
              "\nFITS FILE DATA in " + f +
                  " with xdim=2 and ydim=2\n   5.0    nan \n   1.2    nan \n" +
                  "\nFITS FILE DATA in " + s + " with xdim=3 and ydim=1\n     7     -8     12 \n" +
                  "FITS FILE DATA in " + f + " with xdim=2 and ydim=2\nFITS FILE DATA in " + m +
                  " with xdim=3 and ydim=2\nx=000 y=001  |  A= 1.2500  B= 0.5000  DELTA=0.75\n"
                  "x=001 y=001  |  A=    nan  B= 2.0000  DELTA=nan\n"
                  "There were 1 matching NaN pairs found\n");
}

// Without a readable first file the product gets a header of its own.
TEST_F(Fits, CommentBlockWithEveryInputOnAFreshHeader) {
    set_text(cs.sdev_out_file, cs.sdev_out_file_f, "sd.fits");
    set_text(cs.namelist, cs.namelist_f, "run.nl");
    set_text(cs.sdev_in_lfile, cs.sdev_in_lfile_f, "sdev.list");
    set_text(cs.bmask_in_lfile, cs.bmask_in_lfile_f, "bm.list");
    set_text(cs.pmask_in_lfile, cs.pmask_in_lfile_f, "pm.list");
    set_text(cs.fmask_in_file, cs.fmask_in_file_f, "fm.fits");
    cs.use_weights = 1;
    cs.fov_for_wts = 27;
    const std::vector<float> pixels = {1.0f, -2.5f, kNaN, 4.0f, 1e30f, 0.0f};
    const std::string no = dir.file("no.fits");
    EXPECT_EQ(printed([&] {
                  ASSERT_EQ(write_flt_fits_with_hdrs(no.c_str(), f.c_str(), pixels.data(), &cs), 0);
              }),
              "fits_resize_img() failed.  Trying fits_create_img()...\n");
    std::string c;
    for (const std::string& line : comments())
        c += line + "\n";
    EXPECT_EQ(testkit::count_of(c, "\n"), 19);
    EXPECT_NE(c.find("\n[STACKLE] DCE weighting was TURNED ON\n"
                     "[STACKLE] INPUT FILE:       Namelist = run.nl\n"
                     "[STACKLE] INPUT FILE: Data file list = data.list\n"
                     "[STACKLE] INPUT FILE: Sdev file list = sdev.list\n"
                     "[STACKLE] Used BMASK file list bm.list\n"
                     "[STACKLE] Used PMASK file list pm.list\n"
                     "[STACKLE] Used FMASK file fm.fits\n"
                     "[STACKLE]      with FOV NUMBER = 27 (used to calculate DCE weights)\n"
                     "[STACKLE] NOTE:"),
              std::string::npos)
        << c;
    EXPECT_EQ(testkit::read_image(f).fpixels[3], 4.0f);
    cs.use_weights = 0; // without weighting no FOV line, even with an FOV number
    ASSERT_EQ(write_flt_fits(f.c_str(), pixels.data(), &cs), 0);
    EXPECT_EQ(comments()[15],
              "[STACKLE] NOTE:  The output sdev FITS file is a quick approximation");
}

} // namespace
