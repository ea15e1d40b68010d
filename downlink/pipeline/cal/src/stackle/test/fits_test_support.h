// Helpers shared by the tests of the FITS routines and the runs of stackle.
#pragma once

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <fitsio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "stackle.h"
#include "testkit.h"

using testkit::Keyword;

const float kInf = INFINITY;
const float kNaN = NAN;

// Runs `call` with its standard output sent to standard error, where a death test reads it.
inline void to_stderr(const std::function<void()>& call) {
    std::fflush(stdout);
    dup2(2, 1);
    call();
}
// Expects `statement`, run in a death-test child, to end with status 64 printing text that
// matches `regex`.
#define EXPECT_STACKLE_FAILS(statement, regex)                                                     \
    EXPECT_EXIT(to_stderr([&] { statement; }), ::testing::ExitedWithCode(64), regex)

// Sets a text member of the settings and its flag.
inline void set_text(char (&member)[STACKLE_STRLEN], unsigned char& flag, const std::string& v) {
    std::snprintf(member, sizeof member, "%s", v.c_str());
    flag = 1;
}

// The "[STACKLE]" comment lines of a product, without the COMMENT keyword.
inline std::vector<std::string> stackle_comments(const testkit::Image& img) {
    std::vector<std::string> out;
    for (const std::string& card : img.cards)
        if (card.compare(0, 17, "COMMENT [STACKLE]") == 0)
            out.push_back(card.substr(8, card.find_last_not_of(' ') - 7));
    return out;
}

// What `call` prints on standard output.
inline std::string printed(const std::function<void()>& call) {
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}
