// The installed library: what its dynamic section needs, what it exports, and a C program
// built against it through pkg-config, which brings liberrva along.
#include "testkit.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace {

const std::string kLibDir = DOWNLINK_LIB_DIR, kLibrary = kLibDir + "/libintegrate.so.1.0";

std::string tool(const std::vector<std::string>& args) {
    const testkit::RunResult r = testkit::run("/usr/bin/env", args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST(IntegrateInstalled, NeedsNoErrvaAndExportsItsInterfaceOnlyUnderPlainNames) {
    const std::string d = tool({"readelf", "-d", kLibrary});
    EXPECT_TRUE(d.find("(NEEDED)") != std::string::npos && d.find("errva") == std::string::npos &&
                d.find("Library soname: [libintegrate.so.1]") != std::string::npos)
        << d;
    EXPECT_TRUE(testkit::file_exists(kLibDir + "/libintegrate.so.1") &&
                testkit::file_exists(kLibDir + "/libintegrate.so"));
    std::istringstream names(
        "clip_polygon stuff_four area_poly area_poly1 verify_cyclical print_poly sign rmin4floor "
        "rmax4ceil bounding_rect integrate_name integrate_version integrate_quad integrate_quad_2 "
        "integrate_quad_3 integrate_two_quad distribute_quad distribute_quad_2 distribute_two_quad "
        "distribute_quad_n distribute_quad_n_1D distribute_quad_BB unweighted_distribute_quad "
        "mask_distribute_quad_short mask_distribute_quad_int"),
        lines(tool({"nm", "-D", "--defined-only", kLibrary}));
    std::set<std::string> want, exported;
    for (std::string n; names >> n;)
        want.insert(n);
    for (std::string address, type, name; lines >> address >> type >> name;)
        if (type != "A") // absolute version markers
            exported.insert(name);
    EXPECT_EQ(exported, want);
    const std::string undefined = tool({"nm", "-D", "--undefined-only", kLibrary});
    EXPECT_TRUE(undefined.find(" U const_nan_float") != std::string::npos &&
                undefined.find(" U iznand") != std::string::npos)
        << undefined;
}

// A quarter of each of four pixels; one of them NaN, then all four.
const char* kProgram = R"(#include <integrate.h>
#include <math.h>
#include <stdio.h>
int main(void) {
    double grid[9] = {1, 1, 1, 1, NAN, 1, 1, 1, 1}, area = -1.0, sum;
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
    const std::string flags = tool({"PKG_CONFIG_PATH=" + kLibDir + "/pkgconfig", "pkg-config",
                                    "--cflags", "--libs", "libintegrate"});
    EXPECT_NE(flags.find("-lerrva"), std::string::npos) << flags; // through Requires
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
    const testkit::RunResult r = testkit::run(dir.file("prog"), {});
    EXPECT_EQ(r.out, "integrate (library) 1.31\n0.7500 0.7500\nall-nan 1 0.0000\n") << r.err;
}

} // namespace
