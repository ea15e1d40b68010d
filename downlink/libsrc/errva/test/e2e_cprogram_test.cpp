// A C program builds against the installed library through its pkg-config
// file and divides through the plain C interface.
#include "testkit.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char* const c_program = R"(#include <liberrva.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    float q = 0.0f, s = 0.0f, nan;
    int flags = 0x4107;
    int state = errva_div(&q, &s, &flags, 6.0f, 0.0f, 0, 3.0f, 0.0f, 0);
    printf("%d %g %g %#x\n", state, q, s, flags);
    flags = 0;
    state = errva_div(&q, &s, &flags, 6.0f, 0.5f, 0x4000, 3.0f, 0.0f, 0);
    memcpy(&nan, &const_nan_float, sizeof nan);
    printf("%d %g %d %#x %d\n", state, q, iznanf(s), flags, iznanf(nan));
    return 0;
}
)";

} // namespace

TEST(ErrvaCProgram, CompilesWithPkgConfigAndDivides) {
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
    // 6/3 with exact operands: sigma 0, mask bits of the caller's word cleared.
    // A bad numerator: plain quotient, NaN sigma, 0x4000 set.
    EXPECT_EQ(r.out, "0 2 0 0x7\n1 2 1 0x4000 1\n");
}
