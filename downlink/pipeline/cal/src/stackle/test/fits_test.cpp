// The FITS routines of stackle on tiny hand-made images: bands of rows against the whole planes,
// the FMASK keywords, the debug texts and diagnostics, and the product headers.  What a whole
// run refuses or writes (pixel types, shapes, FOVID rules, truncated files, product pixels and
// the comment block of a plain run) is checked on the installed program by the e2e tests.
#include "coadd_fits.h"
#include "fits_test_support.h"

#include <sys/resource.h>

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
        cs.num_files = 3;
        set_text(cs.data_out_file, cs.data_out_file_f, "out.fits");
        set_text(cs.data_in_lfile, cs.data_in_lfile_f, "data.list");
        set_text(cs.wts_out_file, cs.wts_out_file_f, "w.txt");
    }
    // Puts the written products in place; the "[STACKLE]" comments of f.fits.
    std::vector<std::string> comments() {
        EXPECT_EQ(commit_products(), 0);
        return stackle_comments(testkit::read_image(f));
    }
};

TEST_F(Fits, DebugTextsOfTheReaders) {
    testkit::write_float_image(f, {7}, std::vector<float>(7, 1.0f)); // one axis: 7 x 1
    EXPECT_EQ(printed([&] { read_fits_dims_2d(f.c_str(), &x, &y, 1); }),
              "===> read_fits_dims_2d() from \"" + f +
                  "\" using cfitsio:\n     xdim =    7\n     ydim =    1\n");
    // NaN first: minimum and maximum start from the first number; 3 - 1 + 2 over 3 numbers.
    testkit::write_float_image(f, {2, 2}, {kNaN, 3.0f, -1.0f, 2.0f});
    EXPECT_EQ(printed([&] { std::free(read_fits(f.c_str(), &x, &y, &fov, 1)); }),
              "In read_fits() with fits_filename=\"" + f +
                  "\"\nBITPIX is -32 -- GOOD.\nDimensions read as xdim=2 ydim=2 in read_fits()\n"
                  "Allocated image array.\nReading... COMPLETED.\nIn read_fits(), file \"" +
                  f +
                  "\" has:\n    NaN Count     is 1\n    Minimum value is -1\n"
                  "    Maximum value is 3\n    Average value is 1.33333\n");
    testkit::write_short_image(f, {2, 2}, {1, 2, 3, -4}); // a small plane shows every pixel
    std::string out = printed([&] { std::free(read_fits_s(f.c_str(), &x, &y, 1)); });
    EXPECT_NE(out.find("Read in file " + f +
                       ", with sample values as follows:\n"
                       "s[0,0]=    1  s[1,0]=    2  \ns[0,1]=    3  s[1,1]=   -4  \n"),
              std::string::npos)
        << out;
    // A 10 x 11 plane holding its own index: line 0 shows 10, 15, .., 55, line 1 60, .., 105;
    // line 2 would start at 10 + 2 * 5 * 10 = 110, beyond the 110 pixels.
    std::vector<int16_t> px(110);
    for (int i = 0; i < 110; ++i)
        px[i] = static_cast<int16_t>(i);
    testkit::write_short_image(f, {10, 11}, px);
    out = printed([&] { std::free(read_fits_s(f.c_str(), &x, &y, 1)); });
    EXPECT_NE(out.find("\ns[00010]= 10  s[00015]= 15  s[00020]"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 43), "  s[00095]= 95  s[00100]=100  s[00105]=105\n");
    EXPECT_NE(out.find("  s[00055]= 55\ns[00060]= 60  "), std::string::npos);
    EXPECT_EQ(testkit::count_of(out, "s[0"), 20);
    testkit::write_short_image(f, {2, 1, 2}, {1, 2, 3, 4});
    EXPECT_STACKLE_FAILS(read_fits_s(f.c_str(), &x, &y, 0),
                         "dimensions don't match: file 4, but arrray 2 in read_fits_s\\(\\)\n");
}

TEST_F(Fits, BandsAreTheRowsOfTheWholePlane) {
    // 37 values a row exercise the wide byte-order reversal and its tail; rows of 3000 values a
    // read that bypasses the record buffers; scaled images are converted by the library, and a
    // gzip image is read whole at open.
    const struct {
        const char* name;
        int bitpix;
        std::vector<long> axes;
        std::vector<Keyword> keys;
        int how; // bands read from the library (0), as stored (1), from the plane read at open (2)
    } rows[] = {
        {"f.fits", -32, {37, 5}, {}, 1},
        {"f1.fits", -32, {37, 5}, {Keyword::real("BSCALE", 1.0), Keyword::real("BZERO", 0.0)}, 1},
        {"fs.fits", -32, {37, 5}, {Keyword::real("BSCALE", 2.0)}, 0},
        {"fz.fits", -32, {37, 5}, {Keyword::real("BZERO", 0.5)}, 0},
        {"s.fits", 16, {37, 5}, {}, 1},
        {"ss.fits", 16, {37, 5}, {Keyword::real("BSCALE", 0.5)}, 0},
        {"wide.fits", -32, {3000, 7}, {}, 1},
        {"wide_s.fits", 16, {3000, 7}, {}, 1},
        {"c.fits", -32, {6, 5}, {}, 2},
    };
    for (const auto& r : rows) {
        std::string name = dir.file(r.name);
        std::vector<float> px(static_cast<size_t>(r.axes[0] * r.axes[1]));
        std::vector<int16_t> mask(px.size());
        for (size_t i = 0; i < px.size(); ++i) {
            px[i] = 0.5f * static_cast<float>(i) - 3.0f;
            mask[i] = static_cast<int16_t>(i * 523 - 16000);
        }
        px[1] = kNaN;
        px[px.size() / 2] = kInf;
        px.back() = -kInf;
        const bool is_float = r.bitpix == -32;
        is_float ? testkit::write_float_image(name, r.axes, px, r.keys)
                 : testkit::write_short_image(name, r.axes, mask, r.keys);
        if (r.how == 2) {
            ASSERT_EQ(testkit::run("/bin/gzip", {"-n", name}).status, 0);
            name += ".gz";
        }
        void* whole = is_float ? static_cast<void*>(read_fits(name.c_str(), &x, &y, &fov, 0))
                               : static_cast<void*>(read_fits_s(name.c_str(), &x, &y, 0));
        band_input in = is_float ? open_fits_bands(name.c_str(), &x, &y, &fov, 0)
                                 : open_fits_s_bands(name.c_str(), &x, &y, 0);
        EXPECT_EQ(std::vector<long>({x, y}), std::vector<long>(r.axes.begin(), r.axes.begin() + 2));
        EXPECT_EQ(in.fd >= 0 && in.stored_at >= 0 ? 1 : (in.whole != nullptr ? 2 : 0), r.how)
            << r.name;
        const size_t bytes = in.elem_size * x * y;
        for (int rows : {1, 2, 3, 7}) { // 7 = 2 x 3 + 1: a last band shorter than the others
            std::vector<char> bands(bytes);
            for (int row = 0; row < y; row += rows)
                read_band(&in, row, std::min(rows, y - row), &bands[in.elem_size * x * row]);
            EXPECT_EQ(std::memcmp(bands.data(), whole, bytes), 0)
                << r.name << ", bands of " << rows;
        }
        if (is_float) { // back to an earlier row after the last band
            read_band(&in, 1, 2, px.data());
            EXPECT_EQ(std::memcmp(px.data(), static_cast<float*>(whole) + x, 8 * x), 0);
        }
        close_band_input(&in);
        std::free(whole);
    }
}

TEST_F(Fits, BandBeyondAFileCutShortAfterOpenFailsWithTheReadMessage) {
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

TEST(BandInputsFit, HalfTheProcessLimitAndRoomWithinTheLibraryLimit) {
    // The library opens at most 10000 files; 16 are kept for the FMASK, products and its own.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlim_t rows[][3] = {{64, 32, 33}, {20000, 9984, 9985}}; // limit, fit, too many
    for (const auto& r : rows) {
        struct rlimit lim = saved;
        lim.rlim_cur = r[0];
        if (r[0] > saved.rlim_max)
            continue; // a hard limit below 20000
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
        EXPECT_TRUE(band_inputs_fit(r[1]) && !band_inputs_fit(r[2])) << r[0];
    }
    EXPECT_FALSE(band_inputs_fit(-1));
    setrlimit(RLIMIT_NOFILE, &saved);
}

// "[", blanks up to `size` characters in all, the numbers first..last, "]".
std::string list(int first, int last, size_t size = 0) {
    std::string entries;
    for (int v = first; v <= last; ++v)
        entries += (v == first ? "" : ",") + std::to_string(v);
    return "[" + std::string(size > entries.size() + 2 ? size - entries.size() - 2 : 0, ' ') +
           entries + "]";
}
std::string listed(const int* values, int n) {
    std::string text;
    for (int i = 0; i < n; ++i)
        text += (i == 0 ? "" : ",") + std::to_string(values[i]);
    return "[" + text + "]";
}

TEST_F(Fits, FmaskListsReadOrRefused) {
    const std::string fov_over = "ERROR: Maximum number of FOVs, 20, exceeded in FOVLIST\n";
    const std::string convert = "ERROR converting ";
    // FOVLIST, BITLIST, and the lists read ("[..][..]") or the message of the refusal
    const std::string rows[][3] = {
        {"[26,27,28,29,32,34,33]", "[ 1,2, 4 ,8, 16,64,32]",
         "[26,27,28,29,32,34,33][1,2,4,8,16,64,32]"},
        {"[,,,]", "[ , ]", "[][]"}, // separators without numbers
        {list(10, 29, 68), list(30, 49, 68), list(10, 29) + list(30, 49)}, // 68: the longest value
        {"[26a,27]", "[1,2b]", "[26,27][1,2]"}, // trailing characters of a token are ignored
        {list(1, 20), list(1, 21), "ERROR: Maximum number of FOVs, 20, exceeded in BITLIST\n"},
        {list(1, 21, 68), list(10, 29, 68), fov_over},
        {"[26,-]", "[1,2]", convert + "FOVLIST string, \"\\[26,-\\]\"\n"},
        {"[26,x7]", "[1,2]", convert + "FOVLIST string, \"\\[26,x7\\]\"\n"},
        {"[26,27]", "[1,99999999999]", convert + "BITLIST string, \"\\[1,99999999999\\]\"\n"},
        {"[]", "[1,2]",
         "ERROR: Number of list elements in FOVLIST \\(0\\) and BITLIST \\(2\\) do not match\n"},
        {"[", "[1]", "Insufficient info in FOVLIST in FMASK file\n"},
        {"[1]", "1", "Insufficient info in BITLIST in FMASK file\n"},
        {"[1]", "", "ERROR: unable to find required keyword BITLIST in FITS file .*f.fits\n"},
    };
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
    testkit::write_short_image(f, {1, 1}, {0},
                               {Keyword::text("FOVLIST", "[5,6]"),
                                Keyword::text("BITLIST", "[1,2]"),
                                Keyword::integer("USEFOVID", 33)});
    cs.debug = 1;
    EXPECT_EQ(printed([&] { read_fmask_lists(&cs); }),
              "Completed reading in 2 elements in FOVLIST and BITLIST as follows: \n"
              "   For i=0, FOVLIST =  5  BITLIST =  1\n   For i=1, FOVLIST =  6  BITLIST =  2\n");
    cs.debug = 0;
    cs.verbose = 1;
    EXPECT_EQ(printed([&] { read_fmask_params(f.c_str(), &cs); }),
              "In fmask file " + f + ", read keyword:     USEFOVID = 33\n");
    EXPECT_EQ(cs.usefovid * 10 + cs.usefovid_f, 331);
    testkit::write_short_image(f, {1, 1}, {0});
    EXPECT_STACKLE_FAILS(read_fmask_params(f.c_str(), &cs),
                         "ERROR: Required keyword USEFOVID not found in FITS file .*f.fits in "
                         "read_fmask_params\\(\\)\nreturned status=202\n");
    set_text(cs.fmask_in_file, cs.fmask_in_file_f, dir.file("absent.fits"));
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs),
                         "ERROR: Attempt to read file .*absent.fits FAILED in read_fits_s\\(\\)");
    cs.fmask_in_file_f = 0;
    EXPECT_STACKLE_FAILS(read_fmask_lists(&cs), "ERROR:  Weird programming error in "
                                                "read_fmask_lists\\(\\) -- FMASK file not "
                                                "defined\\.\n");
}

TEST_F(Fits, PrintAndCompareDiagnostics) {
    testkit::write_float_image(f, {12, 11}, std::vector<float>(132, 0.0f),
                               {Keyword::integer("FOVID", 1)});
    std::string out = printed([&] { print_fits_data(f.c_str()); }); // the 10 x 10 corner
    EXPECT_EQ(testkit::count_of(out, "   0.0 ") * 100 + testkit::count_of(out, "\n"), 10012);
    testkit::write_float_image(f, {2, 2}, {1.0f, 2.5f, -3.0f, 40.25f},
                               {Keyword::integer("FOVID", 1)});
    EXPECT_EQ(printed([&] { print_fits_data(f.c_str()); }),
              "\nFITS FILE DATA in " + f +
                  " with xdim=2 and ydim=2\n   1.0    2.5 \n  -3.0   40.2 \n");
    const std::string m = dir.file("m.fits");
    testkit::write_short_image(m, {3, 1}, {7, -8, 12});
    EXPECT_EQ(printed([&] { print_fits_data_s(m.c_str()); }),
              "\nFITS FILE DATA in " + m + " with xdim=3 and ydim=1\n     7     -8     12 \n");
    // Shared 2 x 2 region: (0,0) equal, (1,0) NaN in both, (0,1) 1 vs 0.5, (1,1) NaN vs 2.
    testkit::write_float_image(f, {2, 2}, {5.0f, kNaN, 1.0f, kNaN});
    testkit::write_float_image(m, {3, 2}, {5.0f, kNaN, 9.0f, 0.5f, 2.0f, 9.0f});
    EXPECT_EQ(printed([&] { compare_fits_data(f.c_str(), m.c_str()); }),
              "FITS FILE DATA in " + f + " with xdim=2 and ydim=2\nFITS FILE DATA in " + m +
                  " with xdim=3 and ydim=2\n"
                  "x=000 y=001  |  A= 1.0000  B= 0.5000  DELTA=0.5\n"
                  "x=001 y=001  |  A=    nan  B= 2.0000  DELTA=nan\n"
                  "There were 1 matching NaN pairs found\n");
}

TEST_F(Fits, CommentBlockWithEveryInputAndWeighting) {
    set_text(cs.sdev_out_file, cs.sdev_out_file_f, "sd.fits");
    set_text(cs.namelist, cs.namelist_f, "run.nl");
    set_text(cs.sdev_in_lfile, cs.sdev_in_lfile_f, "sdev.list");
    set_text(cs.bmask_in_lfile, cs.bmask_in_lfile_f, "bm.list");
    set_text(cs.pmask_in_lfile, cs.pmask_in_lfile_f, "pm.list");
    set_text(cs.fmask_in_file, cs.fmask_in_file_f, "fm.fits");
    cs.wts_out_file_f = 0;
    cs.use_weights = 1;
    cs.fov_for_wts = 27;
    cs.debug = 1;
    const std::vector<float> pixels(6, 1.0f);
    EXPECT_EQ(printed([&] { ASSERT_EQ(write_flt_fits(f.c_str(), pixels.data(), &cs), 0); }),
              "REMINDER: Maximum number of headers that may be *added* by stackle is: 30\n"
              "Completed writing FLOAT DATA file " +
                  f + "\n");
    const std::vector<std::string> c = comments();
    const std::vector<std::string> want = {
        "[STACKLE] OUTPUT FILE:    Data = out.fits",
        "[STACKLE] OUTPUT FILE:    Sdev = sd.fits",
        "[STACKLE] Output Data file is the result of coadding 3 FITS files",
        "[STACKLE] These FITS files had dimensions:  xdim=3 & ydim=2",
        "[STACKLE] DCE weighting was TURNED ON",
        "[STACKLE] INPUT FILE:       Namelist = run.nl",
        "[STACKLE] INPUT FILE: Data file list = data.list",
        "[STACKLE] INPUT FILE: Sdev file list = sdev.list",
        "[STACKLE] Used BMASK file list bm.list",
        "[STACKLE] Used PMASK file list pm.list",
        "[STACKLE] Used FMASK file fm.fits",
        "[STACKLE]      with FOV NUMBER = 27 (used to calculate DCE weights)"};
    ASSERT_EQ(c.size(), 19u);
    EXPECT_EQ(std::vector<std::string>(c.begin() + 4, c.begin() + 16), want);
    cs.use_weights = 0; // without weighting no FOV line, even with an FOV number
    cs.debug = 0;
    ASSERT_EQ(write_flt_fits(f.c_str(), pixels.data(), &cs), 0);
    EXPECT_EQ(comments()[15],
              "[STACKLE] NOTE:  The output sdev FITS file is a quick approximation");
}

TEST_F(Fits, FirstFileHeadersOrAFreshOneAndUncreatableAmask) {
    const std::string first = dir.file("d0.fits");
    const std::vector<float> pixels = {1.0f, -2.5f, kNaN, 4.0f, 1e30f, 0.0f};
    testkit::write_float_image(first, {3, 2}, std::vector<float>(6, 9.0f),
                               {Keyword::integer("FOVID", 27)});
    cs.debug = 1;
    EXPECT_EQ(
        printed([&] {
            ASSERT_EQ(write_flt_fits_with_hdrs(first.c_str(), f.c_str(), pixels.data(), &cs), 0);
        }),
        "Beginning to write file " + f + " using write_flt_fits_from_dbl()\nCopy the HDU from " +
            first + " to " + f +
            " in write_flt_fits_with_hdrs()\nHDU Copy SUCCESSFUL.\nREMINDER: Maximum number of "
            "headers that may be *added* by stackle is: 30\nCompleted writing FLOAT DATA file " +
            f + " using write_flt_fits_with_hdrs()\n");
    EXPECT_EQ(comments().size(), 15u);
    std::string v;
    EXPECT_TRUE(testkit::read_keyword(f, "FOVID", v) && v == "27") << v;
    cs.debug = 0; // without a readable first file the product gets a header of its own
    EXPECT_EQ(printed([&] {
                  ASSERT_EQ(write_flt_fits_with_hdrs(dir.file("no.fits").c_str(), f.c_str(),
                                                     pixels.data(), &cs),
                            0);
              }),
              "fits_resize_img() failed.  Trying fits_create_img()...\n");
    EXPECT_EQ(comments().size(), 15u);
    EXPECT_EQ(testkit::read_image(f).fpixels[3], 4.0f);
    EXPECT_FALSE(testkit::read_keyword(f, "FOVID", v));
    const std::string am = dir.file("no/am.fits");
    set_text(cs.amask_out_file, cs.amask_out_file_f, am);
    int rc = 0;
    EXPECT_EQ(printed([&] { rc = write_amask(std::vector<int16_t>(6, 0).data(), &cs); }),
              "\aERROR: Attempt to create FITS file " + am + " FAILED in write_amask().\n");
    EXPECT_NE(rc, 0);
}

TEST_F(Fits, InsertIntKeywordLeavesOneCopy) {
    testkit::write_float_image(f, {1, 1}, {1.0f}, {Keyword::integer("FOVID", 3)});
    fitsfile* fptr = nullptr;
    int status = 0, dup = 4;
    fits_open_file(&fptr, f.c_str(), READWRITE, &status);
    fits_write_key(fptr, TINT, "FOVID", &dup, "second copy", &status);
    fits_close_file(fptr, &status);
    ASSERT_EQ(status, 0);
    insert_int_keyword(f.c_str(), "FOVID", 29);
    const std::string text = testkit::read_text(f);
    EXPECT_EQ(testkit::count_of(text, "FOVID   ="), 1);
    EXPECT_NE(text.find(" 29 / VJ: added keyword"), std::string::npos);
    EXPECT_STACKLE_FAILS(insert_int_keyword(dir.file("none.fits").c_str(), "FOVID", 1),
                         "ERROR: Attempt to open file .*none.fits FAILED in "
                         "insert_int_keyword\\(\\)\\.\n");
}

} // namespace
