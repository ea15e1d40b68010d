// The fixtures every end-to-end test relies on: FITS round trips and program runs.
#include "testkit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace testkit;

TEST(TestkitFits, EveryBitpixRoundTripsWithKeywords) {
    TempDir dir;
    const std::vector<double> px = {1, -2, 3, 40, 5, 6};
    for (int bitpix : {8, 16, 32, 64, -32, -64}) {
        std::string path = dir.file("img" + std::to_string(bitpix + 100) + ".fits");
        std::vector<double> values = px;
        if (bitpix == 8)
            values[1] = 2; // unsigned bytes
        write_image(path, bitpix, {3, 2}, values,
                    {Keyword::integer("FOVID", 7), Keyword::text("FOVLIST", "1,2,3"),
                     Keyword::real("EXPTIME", 1.5), Keyword::comment_card("hand made")});
        Image img = read_image(path);
        EXPECT_EQ(img.bitpix, bitpix);
        ASSERT_EQ(img.naxes, (std::vector<long>{3, 2}));
        EXPECT_EQ(img.pixels, values) << "BITPIX " << bitpix;
        std::string v;
        ASSERT_TRUE(read_keyword(path, "FOVID", v));
        EXPECT_EQ(v, "7");
        ASSERT_TRUE(read_keyword(path, "FOVLIST", v));
        EXPECT_EQ(v, "'1,2,3   '"); // FITS pads strings to 8 characters
        EXPECT_FALSE(read_keyword(path, "NOSUCH", v));
        bool has_comment = false;
        for (const std::string& c : img.cards)
            has_comment |= c.rfind("COMMENT hand made", 0) == 0;
        EXPECT_TRUE(has_comment);
    }
}

TEST(TestkitFits, FloatWriterKeepsNanAndInfinityBits) {
    TempDir dir;
    std::string path = dir.file("f.fits");
    float nan_pattern;
    const uint32_t bits = 0x7FC00001u;
    std::memcpy(&nan_pattern, &bits, 4);
    write_float_image(path, {2, 2, 1}, {1.25f, nan_pattern, INFINITY, -0.0f});
    Image img = read_image(path);
    ASSERT_EQ(img.naxes, (std::vector<long>{2, 2, 1}));
    uint32_t got;
    std::memcpy(&got, &img.fpixels[1], 4);
    EXPECT_EQ(got, bits);
    EXPECT_TRUE(std::isinf(img.fpixels[2]));
    EXPECT_TRUE(std::signbit(img.fpixels[3]));
    write_short_image(path, {2}, {-32768, 32767});
    img = read_image(path);
    EXPECT_EQ(img.bitpix, 16);
    EXPECT_EQ(img.pixels, (std::vector<double>{-32768, 32767}));
}

TEST(TestkitFits, MismatchedPixelCountIsRefused) {
    TempDir dir;
    EXPECT_THROW(write_image(dir.file("x.fits"), -32, {2, 2}, {1, 2, 3}), std::runtime_error);
    EXPECT_THROW(read_image(dir.file("missing.fits")), std::runtime_error);
}

TEST(TestkitRun, CapturesOutputErrorStatusAndInput) {
    RunResult r = run("/bin/sh", {"-c", "cat; echo out; echo err >&2; exit 3"},
                      RunOptions{"", "from stdin\n", 0, 30});
    EXPECT_EQ(r.status, 3);
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.out, "from stdin\nout\n");
    EXPECT_EQ(r.err, "err\n");
}

TEST(TestkitRun, WorkingFolderSignalsAndMissingProgram) {
    TempDir dir;
    write_text(dir.file("here.txt"), "x");
    RunOptions opts;
    opts.cwd = dir.path();
    RunResult r = run("/bin/sh", {"-c", "ls"}, opts);
    EXPECT_EQ(r.out, "here.txt\n");
    r = run("/bin/sh", {"-c", "kill -9 $$"});
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(r.status, 128 + 9);
    r = run(dir.file("no-such-program"), {});
    EXPECT_EQ(r.status, 127);
}

TEST(TestkitRun, LargeOutputOnBothStreamsDoesNotDeadlock) {
    RunResult r = run("/bin/sh", {"-c", "head -c 300000 /dev/zero; head -c 300000 /dev/zero >&2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size(), 300000u);
    EXPECT_EQ(r.err.size(), 300000u);
}

TEST(TestkitText, CountOf) {
    EXPECT_EQ(count_of("abcabcab", "ab"), 3);
    EXPECT_EQ(count_of("aaaa", "aa"), 2);
    EXPECT_EQ(count_of("x", ""), 0);
}
