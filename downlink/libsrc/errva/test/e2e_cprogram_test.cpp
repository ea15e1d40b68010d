// A C program builds against the installed library through its pkg-config
// file, sets every member of the settings through errva_globptr and divides
// and interpolates through the plain C interface.
#include "errva.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace {

// Prints the layout of the settings as C sees it, then one line per quotient
// (state, value, sigma NaN, flags) with every setting changed: masks 0x1
// (bad) and 0x2 (suspect), state bits 0x10 to 0x80, noise ratio 0.5, divisor
// limit 0.25, extrapolation suspect.
const char* const c_program = R"(#include <liberrva.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

static void divide(float a, float as, int af, float b, float bs) {
    float q = 0.0f, s = 0.0f;
    int flags = 0x103;
    int state = errva_div(&q, &s, &flags, a, as, af, b, bs, 0);
    printf("%d %g %d %#x\n", state, q, iznanf(s), flags);
}

int main(void) {
    errvaclass* g = errva_globptr();
    float y = 0.0f, ys = 0.0f, nan, xa[2] = {0, 1}, ya[2] = {0, 2}, sa[2] = {1, 1};
    int flags = 0, ret;
    printf("%d %zu %zu %zu %zu %zu %zu %zu %zu\n", g == &errva_global, sizeof *g,
           offsetof(errvaclass, bad_mask), offsetof(errvaclass, suspect_mask),
           offsetof(errvaclass, flag_extrap), offsetof(errvaclass, state_mask),
           offsetof(errvaclass, noise_ratio), offsetof(errvaclass, approx_limit),
           offsetof(errvaclass, throw_on_unapprox));
    g->bad_mask = 0x1;
    g->suspect_mask = 0x2;
    g->flag_extrap = 1;
    g->state_mask[0] = 0x10;
    g->state_mask[1] = 0x20;
    g->state_mask[2] = 0x40;
    g->state_mask[3] = 0x80;
    g->noise_ratio = 0.5f;
    g->approx_limit = 0.25f;
    g->throw_on_unapprox = 1;
    divide(6, 0, 0, 3, 0);
    divide(6, 0, 0x2, 3, 0);
    divide(6, 0, 0x1, 3, 0);
    divide(6, 0, 0, 3, 1);
    divide(6, 4, 0, 3, 2);
    ret = errva_interp(&y, &ys, &flags, 3, 1, 2, xa, ya, sa);
    memcpy(&nan, &const_nan_float, sizeof nan);
    printf("%d %g %#x %d\n", ret, y, flags, iznanf(nan));
    return 0;
}
)";

} // namespace

TEST(ErrvaCProgram, SetsEverySettingAndDividesThroughPkgConfig) {
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
    ASSERT_EQ(r.status, 0) << r.err;
    // The layout C sees is the class's.
    const std::string layout = "1 " + std::to_string(sizeof(errvaclass)) + " " +
                               std::to_string(offsetof(errvaclass, bad_mask)) + " " +
                               std::to_string(offsetof(errvaclass, suspect_mask)) + " " +
                               std::to_string(offsetof(errvaclass, flag_extrap)) + " " +
                               std::to_string(offsetof(errvaclass, state_mask)) + " " +
                               std::to_string(offsetof(errvaclass, noise_ratio)) + " " +
                               std::to_string(offsetof(errvaclass, approx_limit)) + " " +
                               std::to_string(offsetof(errvaclass, throw_on_unapprox)) + "\n";
    // 6/3 exact: OK.  A suspect (0x2) or bad (0x1, NaN sigma) numerator: BAD.
    // Divisor sigma 1 above 0.25 x 3 with an exact numerator: UNAPPROX (the
    // throw it asks for is caught by the C entry point).  Sigmas 4 and 2 above
    // half of 6 and 3: EQUIV.  Each writes its state's bits over the masks of
    // 0x103.  Extrapolating to 3 along 0..2 gives 6, marked suspect.
    EXPECT_EQ(r.out, layout + "0 2 0 0x110\n1 2 0 0x120\n1 2 1 0x120\n2 2 0 0x140\n"
                              "3 2 0 0x180\n1 6 0x2 1\n");
}
