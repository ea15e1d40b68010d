// Helpers shared by the unit tests of the FITS routines of stackle.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "stackle.h"

// Runs `statement` in a death-test child whose standard output goes to standard error, and
// expects it to end with status 64 printing text that matches `regex`.
#define EXPECT_STACKLE_FAILS(statement, regex)                                                     \
    EXPECT_EXIT(                                                                                   \
        {                                                                                          \
            std::fflush(stdout);                                                                   \
            dup2(2, 1);                                                                            \
            statement;                                                                             \
        },                                                                                         \
        ::testing::ExitedWithCode(64), regex)

// A settings record in its initial state with the given program name and frame size.
inline control_settings test_settings(int xdim, int ydim) {
    control_settings cs;
    clear_cs_flags(&cs);
    std::snprintf(cs.progname, sizeof cs.progname, "%s", "stackle");
    cs.xdim = xdim;
    cs.ydim = ydim;
    return cs;
}

inline void set_text(char (&member)[STACKLE_STRLEN], unsigned char& flag, const std::string& v) {
    std::snprintf(member, sizeof member, "%s", v.c_str());
    flag = 1;
}

// Bit pattern of a float, to compare NaNs and infinities exactly.
inline uint32_t bits_of(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// A header announcing 2e9 x 2e9 float pixels (no data follows): the pixel count does not fit
// an int, and the plane cannot be allocated.
inline std::string huge_header() {
    auto card = [](const std::string& key, const std::string& value) {
        char text[81];
        std::snprintf(text, sizeof text, "%-8s= %20s", key.c_str(), value.c_str());
        return (std::string(text) + std::string(80, ' ')).substr(0, 80);
    };
    std::string h = card("SIMPLE", "T") + card("BITPIX", "-32") + card("NAXIS", "2") +
                    card("NAXIS1", "2000000000") + card("NAXIS2", "2000000000") +
                    card("FOVID", "27") + (std::string("END") + std::string(77, ' '));
    return h + std::string(2880 - h.size(), ' ');
}
