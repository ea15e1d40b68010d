// Shared by the plenor tests: the report lines of a status and the case folder of the
// end-to-end tests with the checks every failed run shares.
#pragma once
#include <sys/stat.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostile_support.h"
#include "testkit.h"

namespace plenor_test {

inline bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The two report lines of a status: message code and text, function code and text.
inline std::string report(const std::string& message, const std::string& function) {
    return "plenor Error Message      " + message + ".\nplenor Error in Function  " + function +
           ".\n";
}

inline const std::string read_data = "0x0014: READ_DATA";
inline const std::string output_data = "0x001e: OUTPUT_DATA";

// The standard case: dce.fits of 3 x 2 pixels 2, 4, .., 12, unc.fits 0.5 everywhere and
// flat.fits of two planes, 2 +- 0.  Flat-fielded: 1 .. 6 with uncertainty 0.25.
inline const std::vector<float> dce_values = {2, 4, 6, 8, 10, 12};
inline const std::vector<float> flat_result = {1, 2, 3, 4, 5, 6};
inline const std::string base = "-i dce.fits -o out.fits -f flat.fits";
inline const std::string with_unc = base + " -ui unc.fits -uo unc_out.fits";

// What stat (or lstat, for the link itself) says of a path; all zero when it does not exist.
inline struct stat stat_of(const std::string& path, bool link = false) {
    struct stat info {};
    if ((link ? lstat(path.c_str(), &info) : stat(path.c_str(), &info)) != 0) {
        info = {};
    }
    return info;
}

class Case : public testing::Test {
  public:
    testkit::TempDir dir;
    std::map<std::string, std::string> inputs; // the bytes of the inputs every run leaves alone

    std::string f(const std::string& name) const { return dir.file(name); }
    std::vector<float> pixels(const std::string& name) const {
        return testkit::read_image(f(name)).fpixels;
    }

    void SetUp() override {
        testkit::write_float_image(f("dce.fits"), {3, 2}, dce_values);
        testkit::write_float_image(f("unc.fits"), {3, 2}, std::vector<float>(6, 0.5f));
        testkit::write_float_image(f("flat.fits"), {3, 2, 2}, {2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0});
        for (const char* name : {"dce.fits", "unc.fits", "flat.fits"}) {
            inputs[name] = testkit::read_text(f(name));
        }
    }

    // Runs the installed plenor in the case folder on the blank-separated words of `line`,
    // under an address-space limit if given, with `in` as its standard input.
    testkit::RunResult plenor(const std::string& line, long memory_mb = 0,
                              const std::string& in = "") const {
        std::istringstream words(line);
        std::vector<std::string> args;
        for (std::string w; words >> w;) {
            args.push_back(w);
        }
        testkit::RunOptions opts;
        opts.cwd = dir.path();
        opts.address_space_mb = memory_mb;
        opts.stdin_text = in;
        return testkit::run(testkit::installed_program("plenor"), args, opts);
    }

    // No temporary product (".part-" names) is left.
    void expect_no_leftovers() const {
        EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
    }

    // A failed run: no crash, the banner first, the report lines and the given parts printed,
    // the start time again in the closing lines, exit status 64, the inputs byte for byte as they
    // were, no new product file and no temporary product left.
    void expect_failure(const testkit::RunResult& r, const std::string& report_lines,
                        const std::vector<std::string>& parts = {}) const {
        ASSERT_FALSE(r.signaled) << r.out << r.err;
        const std::string banner = "Pipeline Module PLENOR Version 1.5\nProcessing time ";
        ASSERT_EQ(r.out.rfind(banner, 0), 0u) << r.out.substr(0, 3000);
        EXPECT_EQ(r.status, 64) << r.out.substr(0, 3000);
        EXPECT_TRUE(has(r.out, report_lines + "Time = ")) << r.out.substr(0, 3000);
        EXPECT_NE(r.out.find(r.out.substr(banner.size(), 24), banner.size() + 24),
                  std::string::npos);
        for (const std::string& part : parts) {
            EXPECT_TRUE(has(r.out, part)) << part;
        }
        EXPECT_TRUE(has(r.out, "exit code 64\n"));
        EXPECT_FALSE(has(r.out + r.err, ".part-")) << "a temporary name shown";
        for (const auto& input : inputs) {
            EXPECT_EQ(testkit::read_text(f(input.first)), input.second) << input.first;
        }
        for (const char* product : {"out.fits", "unc_out.fits"}) {
            EXPECT_TRUE(inputs.count(product) || !S_ISREG(stat_of(f(product)).st_mode));
        }
        expect_no_leftovers();
    }
};

} // namespace plenor_test
