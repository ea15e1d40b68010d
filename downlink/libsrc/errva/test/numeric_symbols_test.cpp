// The numeric routines and the random generator state are exported from the
// shared library under their plain, unmangled names.
#include "banded.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <map>
#include <sstream>
#include <string>

namespace {

// Defined dynamic symbols of the library: name -> nm type letter.
std::map<std::string, char> dynamic_symbols(const std::string& path) {
    const testkit::RunResult r = testkit::run("/usr/bin/nm", {"-D", "--defined-only", path});
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, char> symbols;
    std::istringstream in(r.out);
    for (std::string address, type, name; in >> address >> type >> name;)
        symbols[name] = type[0];
    return symbols;
}

// Exported functions (nm type T), then the generator state (initialised data, D).
const char* const exported[] = {
    "tridiagsolve",    "dtridiagsolve",   "trimulvec",    "dtrimulvec",      "trigetrow",
    "dtrigetrow",      "triputrow",       "dtriputrow",   "triadiaginvert",  "bandalloc",
    "matalloc",        "bandfree",        "matfree",      "bandlufact",      "bandluforsubst",
    "bandlubaksubst",  "bandshow",        "bandunit",     "splinetab_alloc", "splinetab",
    "splinetab_float", "splinetab_calc",  "splineinterp", "splinefree",      "nrspline",
    "nrsplint",        "splitest_showit", "spline_test",  "tokenize",        "heapsort",
    "heapsortd",       "uniform_pure",    "uniformseed",  "gasdev_pure",     "portrand_s1",
    "portrand_s2"};

} // namespace

TEST(NumericSymbols, EveryRoutineAndTheGeneratorStateAreExportedUnmangled) {
    ASSERT_EQ(bandunit(nullptr, 2), 0); // the library is loaded and working
    Dl_info info{};                     // the shared object that holds bandunit
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&bandunit), &info), 0);
    const std::string path = info.dli_fname;
    ASSERT_NE(path.find("liberrva.so"), std::string::npos) << path;
    const std::map<std::string, char> symbols = dynamic_symbols(path);
    ASSERT_FALSE(symbols.empty()) << "nm listed nothing for " << path;
    for (const std::string f : exported) {
        const auto it = symbols.find(f);
        ASSERT_NE(it, symbols.end()) << f;
        EXPECT_EQ(it->second, f.rfind("portrand_", 0) == 0 ? 'D' : 'T') << f;
        const std::string mangled = "_Z" + std::to_string(f.size()) + f;
        for (const auto& s : symbols)
            EXPECT_NE(s.first.rfind(mangled, 0), 0u) << s.first;
    }
}
