// Support of the hostile-input and resource tests of the programs.
//
// Raw FITS bytes: header cards, 2880-byte blocks and big-endian pixels put together by
// hand, so that a test can build files no FITS writer would produce (missing END, empty
// primary HDU, axes of length 0, truncated units).  Also: whether the tests run under
// AddressSanitizer (which cannot run under an address-space limit or inside valgrind),
// and a look for unfinished product files left in a folder.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "testkit.h"

// True in a build with AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAsan = true;
#elif defined(__has_feature)
constexpr bool kUnderAsan = __has_feature(address_sanitizer); // expanded by the preprocessor
#else
constexpr bool kUnderAsan = false;
#endif

// Names under `dir` of unfinished products (files the programs write before renaming them
// into place begin with ".part-").
inline std::vector<std::string> unfinished_products(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
        if (e.path().filename().string().compare(0, 6, ".part-") == 0)
            found.push_back(e.path().lexically_relative(dir).string());
    return found;
}

// Starts `program` with `args` in `cwd`, its output discarded; returns its process id.
inline pid_t spawn_quietly(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd) {
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(cwd.c_str()) == 0)
            execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// Whether `hay` holds `needle`.
inline bool has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

namespace raw_fits {

// One 80-character card "KEY     =                value".
inline std::string card(const std::string& key, const std::string& value) {
    char text[96];
    std::snprintf(text, sizeof text, "%-8s= %20s", key.c_str(), value.c_str());
    std::string c(text);
    c.resize(80, ' ');
    return c;
}

const std::string kEndCard = "END" + std::string(77, ' ');

// Pads to whole 2880-byte blocks with `fill` (blanks for headers, zeros for data).
inline std::string pad(std::string bytes, char fill) {
    bytes.resize((bytes.size() + 2879) / 2880 * 2880, fill);
    return bytes;
}

// NAXIS and one NAXISn card per axis.
inline std::string axis_cards(const std::vector<long>& axes) {
    std::string h = card("NAXIS", std::to_string(axes.size()));
    for (size_t i = 0; i < axes.size(); ++i) {
        h += card("NAXIS" + std::to_string(i + 1), std::to_string(axes[i]));
    }
    return h;
}

// A primary header: SIMPLE, BITPIX, the axes, FOVID `fovid` (none if empty), the extra cards,
// END, padded to whole blocks.
inline std::string primary_header(int bitpix, const std::vector<long>& axes,
                                  const std::vector<std::string>& extra = {},
                                  const std::string& fovid = "27") {
    std::string h = card("SIMPLE", "T") + card("BITPIX", std::to_string(bitpix)) + axis_cards(axes);
    h += fovid.empty() ? "" : card("FOVID", fovid);
    for (const std::string& c : extra) {
        h += c;
    }
    return pad(h + kEndCard, ' ');
}

// An image extension header of BITPIX -32 with the given axes.
inline std::string float_extension_header(const std::vector<long>& axes) {
    return pad(card("XTENSION", "'IMAGE   '") + card("BITPIX", "-32") + axis_cards(axes) +
                   card("PCOUNT", "0") + card("GCOUNT", "1") + kEndCard,
               ' ');
}

// Big-endian bytes of integer pixel values stored in `bytes_per_pixel` bytes each.
inline std::string be_ints(const std::vector<long long>& values, int bytes_per_pixel) {
    std::string out;
    for (long long v : values) {
        for (int b = bytes_per_pixel - 1; b >= 0; --b) {
            out += static_cast<char>((static_cast<uint64_t>(v) >> (8 * b)) & 0xFF);
        }
    }
    return out;
}

// Big-endian IEEE bytes of float (4) or double (8) pixel values.
inline std::string be_floats(const std::vector<double>& values, bool as_double) {
    std::vector<long long> bits;
    for (double v : values) {
        const float f = static_cast<float>(v);
        uint32_t b32 = 0;
        uint64_t b64 = 0;
        std::memcpy(&b32, &f, sizeof b32);
        std::memcpy(&b64, &v, sizeof b64);
        bits.push_back(static_cast<long long>(as_double ? b64 : b32));
    }
    return be_ints(bits, as_double ? 8 : 4);
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
    testkit::write_text(path, bytes); // written as they are, or an exception
}

// Bytes of a primary image of `bitpix` (3 x 2 unless other axes are given) holding `v`, with FOVID
// `fovid` and the extra cards.
inline std::string image(int bitpix, const std::vector<double>& v,
                         const std::vector<std::string>& extra = {},
                         const std::vector<long>& axes = {3, 2}, const std::string& fovid = "27") {
    const std::vector<long long> ints(v.begin(), v.end());
    const std::string data = bitpix < 0 ? be_floats(v, bitpix == -64) : be_ints(ints, bitpix / 8);
    return primary_header(bitpix, axes, extra, fovid) + pad(data, '\0');
}

} // namespace raw_fits
