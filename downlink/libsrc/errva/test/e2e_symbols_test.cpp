// The installed library exports its interface under plain names and nothing
// else: every routine is a function symbol and every constant or state word a
// data symbol, and every other dynamic symbol is either a name declared in the
// public headers or a member of the exported class.
#include "testkit.h"

#include <gtest/gtest.h>

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Defined dynamic symbols of the installed library: name -> nm type letter.
std::map<std::string, char> exported_symbols() {
    const std::string lib = std::string(DOWNLINK_LIB_DIR) + "/liberrva.so";
    const testkit::RunResult r = testkit::run("/usr/bin/nm", {"-D", "--defined-only", lib});
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, char> symbols;
    std::istringstream in(r.out);
    for (std::string address, type, name; in >> address >> type >> name;)
        symbols[name] = type[0];
    return symbols;
}

// Every plain-named routine of the library (code, nm type T) ...
const char* const routines =
    "iznanf iznand izinff izinfd errva_add errva_sub errva_mul errva_div errva_dadd errva_dsub "
    "errva_dmul errva_ddiv errva_mask_setup errva_globptr errva_globpubptr dfetch ffetch "
    "errva_interp errva_dinterp tridiagsolve dtridiagsolve trimulvec dtrimulvec trigetrow "
    "dtrigetrow triputrow dtriputrow triadiaginvert bandalloc matalloc bandfree matfree "
    "bandlufact bandluforsubst bandlubaksubst bandshow bandunit splinetab_alloc splinetab "
    "splinetab_float splinetab_calc splineinterp splinefree nrspline nrsplint splitest_showit "
    "spline_test tokenize heapsort heapsortd uniform_pure uniformseed gasdev_pure";
// ... and every constant and state word (data: nm type B, D or R).
const char* const data = "const_exp_float const_nan_float const_mant_float const_exp_double "
                         "const_nan_double const_mant_double errva_global fwhm_to_sigma "
                         "portrand_s1 portrand_s2";

// Identifiers declared in the umbrella header and the headers it includes.
std::set<std::string> header_identifiers() {
    const std::string dir = std::string(DOWNLINK_SOURCE_DIR) + "/downlink/include/";
    std::string text = testkit::read_text(dir + "liberrva.h");
    const std::regex include_re("#include \"([a-z_]+\\.h)\"");
    std::string all = text;
    for (std::sregex_iterator it(text.begin(), text.end(), include_re), end; it != end; ++it)
        all += testkit::read_text(dir + (*it)[1].str());
    std::set<std::string> ids;
    const std::regex id_re("[A-Za-z_][A-Za-z0-9_]*");
    for (std::sregex_iterator it(all.begin(), all.end(), id_re), end; it != end; ++it)
        ids.insert(it->str());
    return ids;
}

std::string demangle(const std::string& name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> d(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
    return status == 0 ? std::string(d.get()) : name;
}

} // namespace

TEST(ErrvaExports, EveryRoutineConstantAndMemberIsExported) {
    const std::map<std::string, char> symbols = exported_symbols();
    const auto kind_of = [&symbols](const std::string& name) {
        const auto it = symbols.find(name);
        return it == symbols.end() ? '-' : it->second;
    };
    std::istringstream code(routines), words(data);
    for (std::string r; code >> r;)
        EXPECT_EQ(kind_of(r), 'T') << r << " is not exported as a function";
    for (std::string d; words >> d;)
        EXPECT_NE(std::strchr("BDR", kind_of(d)), nullptr) << d << " is not exported as data";
    std::set<std::string> members;
    for (const auto& s : symbols)
        members.insert(demangle(s.first));
    std::vector<std::string> required = {"errvaclass::errvaclass()",
                                         "errvaclass::errvaclass(float, float)",
                                         "errvaclass::EquivSigma(double)"};
    // Both precisions of each member; R is a reference, P a pointer to the type.
    const std::string typed[] = {
        "div(R, R, int&, T, T, int, T, T, int)", "interp(R, R, int&, T, int, int, P, P, P)",
        "linear_interp(R, R, int&, T, int, P, P, P)", "spline_interp(R, R, int&, T, int, P, P, P)"};
    for (const std::string t : {"float", "double"})
        for (std::string m : typed) {
            m = std::regex_replace(m, std::regex("R"), t + "&");
            m = std::regex_replace(m, std::regex("P"), t + "*");
            required.push_back("errvaclass::" + std::regex_replace(m, std::regex("T"), t));
        }
    for (const std::string& r : required)
        EXPECT_EQ(members.count(r), 1u) << r << " is not exported";
}

TEST(ErrvaExports, NothingButTheInterfaceLeaks) {
    const std::set<std::string> declared = header_identifiers();
    // AddressSanitizer builds add one ODR marker per exported variable.
    const std::string odr_marker = "__odr_asan.";
    for (const auto& symbol : exported_symbols()) {
        std::string n = symbol.first;
        if (n.rfind(odr_marker, 0) == 0)
            n.erase(0, odr_marker.size());
        if (n.rfind("_Z", 0) == 0) {
            // Mangled names: only the members of the one exported class.
            EXPECT_EQ(demangle(n).rfind("errvaclass::", 0), 0u) << "leaked: " << demangle(n);
        } else {
            EXPECT_EQ(declared.count(n), 1u) << "leaked: " << n;
        }
    }
}
