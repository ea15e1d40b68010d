// Tokenizer: words, cut points, quoted strings, buffer limits and the scan
// position handed back.  The line lives in a heap block of exactly its own
// size and every buffer is followed by guard bytes, so reading past the line
// or writing past a buffer is caught.
#include "tokenize.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Case {
    const char* line;
    const char* specials;
    int bufsize;
    int maxtok;
    std::vector<std::string> tokens; // expected, in order
    long rest;                       // expected scan position
};

const int guard = 8;

void check(const Case& c) {
    SCOPED_TRACE(std::string("line [") + c.line + "] bufsize " + std::to_string(c.bufsize));
    std::vector<std::vector<char>> store(c.maxtok, std::vector<char>(c.bufsize + guard, '#'));
    std::vector<char*> bufs;
    for (auto& s : store) {
        bufs.push_back(s.data());
    }
    char* line = static_cast<char*>(std::malloc(std::strlen(c.line) + 1));
    std::strcpy(line, c.line);
    char* rest = nullptr;
    EXPECT_EQ(tokenize(line, c.specials, c.bufsize, c.maxtok, bufs.data(), &rest),
              (int)c.tokens.size());
    for (int i = 0; i < c.maxtok; i++) {
        EXPECT_EQ(std::string(bufs[i]), i < (int)c.tokens.size() ? c.tokens[i] : "") << i;
        EXPECT_EQ(std::string(store[i].begin() + c.bufsize, store[i].end()),
                  std::string(guard, '#'));
    }
    EXPECT_EQ(rest - line, c.rest);
    std::free(line);
}

} // namespace

TEST(Tokenize, Words) {
    check({"a b\n", "", 16, 5, {"a", "b"}, 4});
    check({"\t one  two\tthree  \n", "", 16, 5, {"one", "two", "three"}, 19});
    check({"a b c", "", 16, 1, {"a"}, 2}); // rest points at the b
    check({"", "", 16, 3, {}, 0});
}

TEST(Tokenize, NoBuffersReturnsAtOnce) {
    char line[] = "a b";
    char* rest = nullptr;
    EXPECT_EQ(tokenize(line, "", 16, 0, nullptr, &rest), 0);
    EXPECT_EQ(rest, line);
}

TEST(Tokenize, SpecialCharactersCutAndAreConsumed) {
    check({"key=value\n", "=", 16, 5, {"key", "value"}, 10});
    check({"=x\n", "=", 16, 5, {"=x"}, 3}); // the first character is never a cut point
    check({"a,b;c", ",;", 16, 5, {"a", "b", "c"}, 5});
}

TEST(Tokenize, QuotedTokens) {
    check({"'it''s' x\n", "", 16, 5, {"'it''s'", "x"}, 10});
    check({"'a b' c 'open end", "", 32, 5, {"'a b'", "c", "'open end"}, 17});
    // The first '' lies in the second word; after it the token runs on to
    // the next single quote.
    check({"'a' b''c' d", "", 32, 5, {"'a' b''c'", "d"}, 11});
}

TEST(Tokenize, BufferLimits) {
    check({"abc de", "", 4, 5, {"abc", "de"}, 6});          // bufsize - 1 characters fit
    check({"abcd e", "", 4, 5, {"abc", "d", "e"}, 6});      // bufsize: the rest is kept
    check({"abcdefgh", "", 4, 2, {"abc", "def"}, 6});       // and may fill several tokens
    check({"'abcdef''gh' x", "", 5, 3, {"'abc", "x"}, 14}); // a quoted token is cut
    check({"a b", "", 1, 2, {}, 0});                        // no room for any character
}
