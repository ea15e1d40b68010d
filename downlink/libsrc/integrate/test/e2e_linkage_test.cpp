// The installed libraries: what libintegrate needs, and a C program built against them
// through pkg-config (libintegrate's file brings liberrva along) that sets every member of
// the settings through errva_globptr, divides and interpolates through the plain C interface
// and integrates over a quadrilateral.
#include "testkit.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string kLibDir = DOWNLINK_LIB_DIR;

std::string tool(const std::vector<std::string>& args) {
    const testkit::RunResult r = testkit::run("/usr/bin/env", args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// Every setting changed: masks 0x1 (bad) and 0x2 (suspect), state bits 0x10 to 0x80, noise
// ratio 0.5, divisor limit 0.25, extrapolation suspect, throwing (caught by the C entry).
// One line per quotient: state, value, sigma NaN, flags.  Then a quarter of each of four
// pixels, one of them NaN, then all four.
const char* kProgram = R"(#include <integrate.h>
#include <liberrva.h>
#include <math.h>
#include <stdio.h>
int main(void) {
    errvaclass* g = errva_globptr();
    float q, s, xa[2] = {0, 1}, ya[2] = {0, 2}, r[5][3] = {{0, 0, 0}, {0, 2, 0}, {0, 1, 0},
                                                          {0, 0, 1}, {4, 0, 2}};
    int flags, i, state, masks[4] = {0x10, 0x20, 0x40, 0x80};
    double grid[9] = {1, 1, 1, 1, NAN, 1, 1, 1, 1}, area = -1.0, sum;
    *g = (errvaclass){0x1, 0x2, 1, {0}, 0.5f, 0.25f, 1};
    for (i = 0; i < 4; i++)
        g->state_mask[i] = masks[i];
    for (i = 0, flags = 0x103; i < 5; i++, flags = 0x103) {
        state = errva_div(&q, &s, &flags, 6, r[i][0], (int)r[i][1], 3, r[i][2], 0);
        printf("%d %g %d %#x\n", state, q, iznanf(s), flags);
    }
    state = errva_interp(&q, &s, &flags, 3, 1, 2, xa, ya, xa);
    printf("%d %g %#x %d\n", state, q, flags, g == &errva_global);
    sum = integrate_quad(0.5, 0.5, 1.5, 0.5, 1.5, 1.5, 0.5, 1.5, grid, 3, 3, &area);
    printf("%s %s\n%.4f %.4f\n", integrate_name(), integrate_version(), sum, area);
    grid[0] = grid[1] = grid[3] = NAN;
    sum = integrate_quad(0.5, 0.5, 1.5, 0.5, 1.5, 1.5, 0.5, 1.5, grid, 3, 3, &area);
    printf("all-nan %d %.4f\n", sum != sum, area);
    return 0;
}
)";

TEST(InstalledLibraries, CProgramBuiltThroughPkgConfigSetsDividesAndIntegrates) {
    testkit::TempDir dir;
    testkit::write_text(dir.file("prog.c"), kProgram);
    const std::string flags = tool({"PKG_CONFIG_PATH=" + kLibDir + "/pkgconfig", "pkg-config",
                                    "--cflags", "--libs", "libintegrate"});
    std::vector<std::string> args = {
        "-std=c11",         "-Wall", "-Wextra",        "-Werror",
        dir.file("prog.c"), "-o",    dir.file("prog"), "-Wl,-rpath," + kLibDir};
    std::istringstream words(flags);
    for (std::string w; words >> w;)
        args.push_back(w);
    if (INTEGRATE_SANITIZE)
        args.push_back("-fsanitize=address,undefined");
    const testkit::RunResult cc = testkit::run(INTEGRATE_C_COMPILER, args);
    ASSERT_EQ(cc.status, 0) << cc.err;
    // libintegrate takes liberrva's NaN from the program that loads it and does not need
    // liberrva itself.
    const std::string d =
        tool({"readelf", "-d", "--dyn-syms", "-W", kLibDir + "/libintegrate.so.1.0"});
    EXPECT_TRUE(d.find("errva") == std::string::npos &&
                d.find("Library soname: [libintegrate.so.1]") != std::string::npos &&
                d.find("UND const_nan_float\n") != std::string::npos)
        << d;
    // 6/3 exact: OK.  A suspect (0x2) or bad (0x1, NaN sigma) numerator: BAD.  Divisor sigma
    // 1 above 0.25 x 3 with an exact numerator: UNAPPROX.  Sigmas 4 and 2 above half of 6
    // and 3: EQUIV.  Each writes its state's bits over the masks of 0x103.  Extrapolating to
    // 3 along 0..2 gives 6, kept suspect.
    const testkit::RunResult r = testkit::run(dir.file("prog"), {});
    EXPECT_EQ(r.out, "0 2 0 0x110\n1 2 0 0x120\n1 2 1 0x120\n2 2 0 0x140\n3 2 0 0x180\n"
                     "1 6 0x103 1\nintegrate (library) 1.31\n0.7500 0.7500\nall-nan 1 0.0000\n")
        << r.err;
}

} // namespace
