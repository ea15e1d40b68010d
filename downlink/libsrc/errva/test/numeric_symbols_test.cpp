// The numeric routines and the random generator state are exported from the
// shared library under their plain, unmangled names.
#include "banded.h"

#include <gtest/gtest.h>

#include <link.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

// Path of the loaded liberrva shared object, found among the objects of
// this process.
std::string library_path() {
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            const std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.find("liberrva.so") != std::string::npos) {
                *static_cast<std::string*>(data) = name;
                return 1;
            }
            return 0;
        },
        &found);
    return found;
}

// Defined dynamic symbols of the library: name -> nm type letter.
std::map<std::string, char> dynamic_symbols(const std::string& path) {
    std::map<std::string, char> symbols;
    const std::string cmd = "nm -D --defined-only '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return symbols;
    }
    char line[1024];
    while (fgets(line, sizeof line, p) != nullptr) {
        char type = 0;
        char name[900];
        if (sscanf(line, "%*s %c %899s", &type, name) == 2) {
            symbols[name] = type;
        }
    }
    pclose(p);
    return symbols;
}

const char* const functions[] = {
    // tridiagonal systems
    "tridiagsolve", "dtridiagsolve", "trimulvec", "dtrimulvec", "trigetrow", "dtrigetrow",
    "triputrow", "dtriputrow", "triadiaginvert",
    // band matrices
    "bandalloc", "matalloc", "bandfree", "matfree", "bandlufact", "bandluforsubst",
    "bandlubaksubst", "bandshow", "bandunit",
    // spline tables
    "splinetab_alloc", "splinetab", "splinetab_float", "splinetab_calc", "splineinterp",
    "splinefree", "nrspline", "nrsplint", "splitest_showit", "spline_test",
    // support routines
    "tokenize", "heapsort", "heapsortd", "uniform_pure", "uniformseed", "gasdev_pure"};

} // namespace

TEST(NumericSymbols, EveryRoutineIsExportedUnmangled) {
    ASSERT_EQ(bandunit(nullptr, 2), 0); // the library is loaded and working
    const std::string path = library_path();
    ASSERT_FALSE(path.empty());
    const std::map<std::string, char> symbols = dynamic_symbols(path);
    ASSERT_FALSE(symbols.empty()) << "nm listed nothing for " << path;
    for (const char* f : functions) {
        const auto it = symbols.find(f);
        ASSERT_NE(it, symbols.end()) << f;
        EXPECT_EQ(it->second, 'T') << f;
        const std::string mangled = "_Z" + std::to_string(std::string(f).size()) + f;
        for (const auto& s : symbols) {
            EXPECT_NE(s.first.rfind(mangled, 0), 0u) << s.first;
        }
    }
}

TEST(NumericSymbols, GeneratorStateIsExportedData) {
    const std::map<std::string, char> symbols = dynamic_symbols(library_path());
    for (const char* v : {"portrand_s1", "portrand_s2"}) {
        const auto it = symbols.find(v);
        ASSERT_NE(it, symbols.end()) << v;
        EXPECT_EQ(it->second, 'D') << v;
    }
}
