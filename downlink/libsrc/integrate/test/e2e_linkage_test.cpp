// The installed library: what its dynamic section needs, what it exports, and a
// C program built against it through pkg-config.
#include "testkit.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kLibDir = DOWNLINK_LIB_DIR, kLibrary = kLibDir + "/libintegrate.so.1.0";
const auto npos = std::string::npos;

testkit::RunResult tool(const std::vector<std::string>& args) {
    return testkit::run("/usr/bin/env", args);
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

TEST(IntegrateInstalled, NeedsNoErrvaAndExportsItsInterfaceOnlyUnderPlainNames) {
    const testkit::RunResult d = tool({"readelf", "-d", kLibrary});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("(NEEDED)"), npos) << d.out;
    EXPECT_NE(d.out.find("Library soname: [libintegrate.so.1]"), npos) << d.out;
    EXPECT_EQ(d.out.find("errva"), npos) << d.out;
    EXPECT_TRUE(testkit::file_exists(kLibDir + "/libintegrate.so.1"));
    EXPECT_TRUE(testkit::file_exists(kLibDir + "/libintegrate.so"));

    const std::vector<std::string> names = words(
        "clip_polygon stuff_four area_poly area_poly1 verify_cyclical print_poly sign rmin4floor "
        "rmax4ceil bounding_rect integrate_name integrate_version integrate_quad integrate_quad_2 "
        "integrate_quad_3 integrate_two_quad distribute_quad distribute_quad_2 distribute_two_quad "
        "distribute_quad_n distribute_quad_n_1D distribute_quad_BB unweighted_distribute_quad "
        "mask_distribute_quad_short mask_distribute_quad_int");
    const testkit::RunResult r = tool({"nm", "-D", "--defined-only", kLibrary});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> exported;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> w = words(line);
        if (w.size() == 3 && w[1] != "A") // skip absolute version markers
            exported.insert(w[2]);
    }
    EXPECT_EQ(exported, std::set<std::string>(names.begin(), names.end()));
    const testkit::RunResult undef = tool({"nm", "-D", "--undefined-only", kLibrary});
    EXPECT_NE(undef.out.find(" U const_nan_float"), npos) << undef.out;
    EXPECT_NE(undef.out.find(" U iznand"), npos) << undef.out;
}

// A quarter of each of four pixels; one of them NaN, then all four.
const char* kProgram = R"(#include <integrate.h>
#include <math.h>
#include <stdio.h>

int main(void) {
    double grid[9] = {1, 1, 1, 1, NAN, 1, 1, 1, 1};
    double area = -1.0, sum;
    sum = integrate_quad(0.5, 0.5, 1.5, 0.5, 1.5, 1.5, 0.5, 1.5, grid, 3, 3, &area);
    printf("%s %s\n%.4f %.4f\n", integrate_name(), integrate_version(), sum, area);
    grid[0] = grid[1] = grid[3] = NAN;
    sum = integrate_quad(0.5, 0.5, 1.5, 0.5, 1.5, 1.5, 0.5, 1.5, grid, 3, 3, &area);
    printf("all-nan %d %.4f\n", sum != sum, area);
    return 0;
}
)";

TEST(IntegrateInstalled, PkgConfigBuildsAProgramLinkingBothLibraries) {
    testkit::TempDir dir;
    testkit::write_text(dir.file("prog.c"), kProgram);
    const std::string path = "PKG_CONFIG_PATH=" + kLibDir + "/pkgconfig";
    const testkit::RunResult pc = tool({path, "pkg-config", "--cflags", "--libs", "libintegrate"});
    ASSERT_EQ(pc.status, 0) << pc.err;
    EXPECT_NE(pc.out.find("-lintegrate"), npos) << pc.out;
    EXPECT_NE(pc.out.find("-lerrva"), npos) << pc.out; // through Requires

    std::vector<std::string> args = {
        "-std=c11",         "-Wall", "-Wextra",        "-Werror",
        dir.file("prog.c"), "-o",    dir.file("prog"), "-Wl,-rpath," + kLibDir};
    for (const std::string& w : words(pc.out))
        args.push_back(w);
    if (INTEGRATE_SANITIZE)
        args.push_back("-fsanitize=address,undefined");
    const testkit::RunResult cc = testkit::run(INTEGRATE_C_COMPILER, args);
    ASSERT_EQ(cc.status, 0) << cc.err;
    const testkit::RunResult r = testkit::run(dir.file("prog"), {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "integrate (library) 1.31\n0.7500 0.7500\nall-nan 1 0.0000\n");
}

} // namespace
