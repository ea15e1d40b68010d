// Shared by the plenor tests: command lines written as one string, the report lines of a
// status, and the case folder of the end-to-end tests with the checks every failed run shares.
#pragma once
#include <sys/stat.h>

#include <sstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostile_support.h"
#include "testkit.h"

namespace plenor_test {

inline bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The words of a command line separated by blanks.
inline std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) {
        w.push_back(s);
    }
    return w;
}

// The two report lines of a status: message code and text, function code and text.
inline std::string report(const std::string& message, const std::string& function) {
    return "plenor Error Message      " + message + ".\nplenor Error in Function  " + function +
           ".\n";
}

inline const std::string read_data = "0x0014: READ_DATA";
inline const std::string output_data = "0x001e: OUTPUT_DATA";
inline const std::string syntax_report = report("0x0018: CL_ARGS_INCRT", "0x0020: PARSE_ARGS");
inline const std::string dims_report = report("0x001b: DIMS_INCRT", read_data);

// The standard case: dce.fits of 3 x 2 pixels 2, 4, .., 12, unc.fits 0.5 everywhere and
// flat.fits of two planes, 2 +- 0.  Flat-fielded: 1 .. 6 with uncertainty 0.25.
inline const std::vector<float> dce_values = {2, 4, 6, 8, 10, 12};
inline const std::vector<float> flat_result = {1, 2, 3, 4, 5, 6};
inline const std::string base = "-i dce.fits -o out.fits -f flat.fits";
inline const std::string with_unc = "-i dce.fits -ui unc.fits -o out.fits -uo unc_out.fits "
                                    "-f flat.fits";

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

    std::string f(const std::string& name) const { return dir.file(name); }
    std::vector<float> pixels(const std::string& name) const {
        return testkit::read_image(f(name)).fpixels;
    }
    void bytes(const std::string& name, const std::string& content) const {
        raw_fits::write_bytes(f(name), content);
    }

    void SetUp() override {
        testkit::write_float_image(f("dce.fits"), {3, 2}, dce_values);
        testkit::write_float_image(f("unc.fits"), {3, 2}, std::vector<float>(6, 0.5f));
        testkit::write_float_image(f("flat.fits"), {3, 2, 2}, {2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0});
        for (const char* name : {"dce.fits", "unc.fits", "flat.fits"}) {
            inputs[name] = testkit::read_text(f(name));
        }
    }
    std::map<std::string, std::string> inputs; // the bytes of the inputs every run leaves alone

    // Runs the installed plenor in the case folder (under an address-space limit if given).
    testkit::RunResult plenor(const std::vector<std::string>& args, long memory_mb = 0) const {
        testkit::RunOptions opts;
        opts.cwd = dir.path();
        opts.address_space_mb = memory_mb;
        return testkit::run(testkit::installed_program("plenor"), args, opts);
    }
    testkit::RunResult plenor(const std::string& line, long memory_mb = 0) const {
        return plenor(words(line), memory_mb);
    }

    // No temporary product (".part-" names) is left.
    void expect_no_leftovers() const {
        EXPECT_EQ(unfinished_products(dir.path()), std::vector<std::string>{});
    }

    // A failed run: no crash, the banner first, the report lines and the given lines printed, exit
    // status 64, the inputs byte for byte as they were, no product file and no temporary product
    // left.
    void expect_failure(const testkit::RunResult& r, const std::string& report_lines,
                        const std::vector<std::string>& parts = {}) const {
        ASSERT_FALSE(r.signaled) << r.out << r.err;
        EXPECT_EQ(r.out.rfind("Pipeline Module PLENOR Version 1.5\nProcessing time ", 0), 0u);
        EXPECT_EQ(r.status, 64) << r.out.substr(0, 3000);
        EXPECT_TRUE(has(r.out, report_lines + "Time = ")) << r.out.substr(0, 3000);
        for (const std::string& part : parts) {
            EXPECT_TRUE(has(r.out, part)) << part;
        }
        EXPECT_TRUE(has(r.out, "exit code 64\n"));
        EXPECT_FALSE(has(r.out + r.err, ".part-")) << "a temporary name shown";
        for (const auto& input : inputs) {
            EXPECT_EQ(testkit::read_text(f(input.first)), input.second) << input.first;
        }
        EXPECT_FALSE(S_ISREG(stat_of(f("out.fits")).st_mode));
        EXPECT_FALSE(S_ISREG(stat_of(f("unc_out.fits")).st_mode));
        expect_no_leftovers();
    }
};

} // namespace plenor_test
