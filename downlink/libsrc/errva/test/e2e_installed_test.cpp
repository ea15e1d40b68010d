// The installed library: a C program builds against it through its pkg-config file, sets
// every member of the settings through errva_globptr and divides and interpolates through
// the plain C interface; the library exports its interface and nothing else.
#include "testkit.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

// Every setting changed: masks 0x1 (bad) and 0x2 (suspect), state bits 0x10 to 0x80, noise
// ratio 0.5, divisor limit 0.25, extrapolation suspect, throwing (caught by the C entry).
// One line per quotient: state, value, sigma NaN, flags.
const char* const c_program = R"(#include <liberrva.h>
#include <stdio.h>
int main(void) {
    errvaclass* g = errva_globptr();
    float q, s, xa[2] = {0, 1}, ya[2] = {0, 2}, r[5][3] = {{0, 0, 0}, {0, 2, 0}, {0, 1, 0},
                                                          {0, 0, 1}, {4, 0, 2}};
    int flags, i, state, masks[4] = {0x10, 0x20, 0x40, 0x80};
    *g = (errvaclass){0x1, 0x2, 1, {0}, 0.5f, 0.25f, 1};
    for (i = 0; i < 4; i++)
        g->state_mask[i] = masks[i];
    for (i = 0, flags = 0x103; i < 5; i++, flags = 0x103) {
        state = errva_div(&q, &s, &flags, 6, r[i][0], (int)r[i][1], 3, r[i][2], 0);
        printf("%d %g %d %#x\n", state, q, iznanf(s), flags);
    }
    state = errva_interp(&q, &s, &flags, 3, 1, 2, xa, ya, xa);
    printf("%d %g %#x %d\n", state, q, flags, g == &errva_global);
    return 0;
}
)";

TEST(ErrvaInstalled, CProgramSetsEverySettingAndDividesThroughPkgConfig) {
    testkit::TempDir dir;
    testkit::write_text(dir.file("divide.c"), c_program);
    const std::string libdir = DOWNLINK_LIB_DIR;
    const std::string cmd = std::string(ERRVA_C_COMPILER) + " -std=c11 -Wall -Wextra -Werror " +
                            ERRVA_C_FLAGS + " divide.c -o divide" +
                            " $(pkg-config --cflags --libs liberrva) -Wl,-rpath," + libdir;
    testkit::RunOptions opts;
    opts.cwd = dir.path();
    const testkit::RunResult built = testkit::run(
        "/usr/bin/env",
        {"PKG_CONFIG_PATH=" + libdir + "/pkgconfig", "/bin/sh", "-c", "set -e; " + cmd}, opts);
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    const testkit::RunResult r = testkit::run(dir.file("divide"), {}, opts);
    // 6/3 exact: OK.  A suspect (0x2) or bad (0x1, NaN sigma) numerator: BAD.  Divisor sigma
    // 1 above 0.25 x 3 with an exact numerator: UNAPPROX.  Sigmas 4 and 2 above half of 6
    // and 3: EQUIV.  Each writes its state's bits over the masks of 0x103.  Extrapolating to
    // 3 along 0..2 gives 6, kept suspect.
    EXPECT_EQ(r.out, "0 2 0 0x110\n1 2 0 0x120\n1 2 1 0x120\n2 2 0 0x140\n3 2 0 0x180\n"
                     "1 6 0x103 1\n");
}

// Every defined dynamic name is declared in the public headers, or is a member of the one
// class; the routines that no unit test calls (the others are linked by them) are exported.
TEST(ErrvaInstalled, ExportsTheInterfaceAndNothingElse) {
    const std::string lib = std::string(DOWNLINK_LIB_DIR) + "/liberrva.so";
    const testkit::RunResult nm = testkit::run("/usr/bin/nm", {"-D", "--defined-only", "-C", lib});
    ASSERT_EQ(nm.status, 0) << nm.err;
    std::string headers, type, name;
    for (const char* h : {"errva.h", "banded.h", "heapsort.h", "nanvalue.h", "splinefunc.h",
                          "tokenize.h", "tridiagonal.h", "ugran.h"})
        headers += testkit::read_text(std::string(DOWNLINK_SOURCE_DIR) + "/downlink/include/" + h);
    std::set<std::string> exported;
    std::istringstream in(nm.out);
    for (std::string address; in >> address >> type && std::getline(in >> std::ws, name);) {
        name = std::regex_replace(name, std::regex("^__odr_asan\\."), ""); // sanitizer markers
        exported.insert(name);
        EXPECT_TRUE(name.rfind("errvaclass::", 0) == 0 ||
                    std::regex_search(headers, std::regex("\\b" + name + "\\b")))
            << "leaked: " << name;
    }
    for (const char* r :
         {"bandshow", "bandunit", "splitest_showit", "spline_test", "errva_globpubptr"})
        EXPECT_EQ(exported.count(r), 1u) << r;
}
