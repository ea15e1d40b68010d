// One complete run of the installed stackle under valgrind: every input kind and every
// product, with the verbose and debug listings, without an invalid access or a leak.
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostile_support.h"
#include "testkit.h"

namespace {

using testkit::Keyword;

const char kValgrind[] = "/usr/bin/valgrind";

TEST(StackleUnderValgrind, CompleteRunHasNoInvalidAccessAndNoLeak) {
    if (kUnderAsan || access(kValgrind, X_OK) != 0) {
        GTEST_SKIP() << "valgrind is not installed, or this is a sanitizer build";
    }
    testkit::TempDir dir;
    // Three 3 x 2 frames; their columns 1, 2, 3 + k average to 2 + k.  One sdev and one mask
    // file serve all three.
    for (int i = 0; i < 3; ++i) {
        std::vector<float> px;
        for (int k = 0; k < 6; ++k) {
            px.push_back(static_cast<float>(1 + i + k));
        }
        testkit::write_float_image(dir.file("d" + std::to_string(i) + ".fits"), {3, 2}, px,
                                   {Keyword::integer("FOVID", 27)});
    }
    testkit::write_float_image(dir.file("s.fits"), {3, 2}, std::vector<float>(6, 0.5f));
    testkit::write_short_image(dir.file("m.fits"), {3, 2}, {0, 0, 0, 0, 0, 0});
    testkit::write_text(dir.file("d.list"), "d0.fits\nd1.fits\nd2.fits\n");
    testkit::write_text(dir.file("s.list"), "s.fits\ns.fits\ns.fits\n");
    testkit::write_text(dir.file("m.list"), "m.fits\nm.fits\nm.fits\n");

    testkit::RunOptions opts;
    opts.cwd = dir.path();
    opts.timeout_s = 300;
    std::vector<std::string> args = {"--error-exitcode=1", "--leak-check=full", "--quiet",
                                     testkit::installed_program("stackle")};
    std::istringstream words("-di d.list -si s.list -bm m.list -bf 1 -pm m.list -pf 2 "
                             "-do out.fits -so sdev.fits -am amask.fits -wo w.txt -h1 -V -D");
    for (std::string w; words >> w;) {
        args.push_back(w);
    }
    const testkit::RunResult r = testkit::run(kValgrind, args, opts);
    ASSERT_FALSE(r.signaled) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    // --quiet leaves only what valgrind found on standard error, besides the program's own
    // end line.
    EXPECT_EQ(r.err.find("=="), std::string::npos) << r.err;
    EXPECT_EQ(testkit::read_image(dir.file("out.fits")).fpixels,
              (std::vector<float>{2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(testkit::file_exists(dir.file("sdev.fits")));
    EXPECT_TRUE(testkit::file_exists(dir.file("amask.fits")));
    EXPECT_EQ(testkit::count_of(testkit::read_text(dir.file("w.txt")), "\n"), 3);
}

} // namespace
