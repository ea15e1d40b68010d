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
    const char *line, *specials;
    int bufsize, maxtok;
    std::vector<std::string> tokens; // expected, in order
    long rest;                       // expected scan position
};

const Case cases[] = {
    // Words, and the scan position after the last token taken.
    {"a b\n", "", 16, 5, {"a", "b"}, 4},
    {"\t one  two\tthree  \n", "", 16, 5, {"one", "two", "three"}, 19},
    {"a b c", "", 16, 1, {"a"}, 2}, // rest points at the b
    {"", "", 16, 3, {}, 0},
    {"a b", "", 16, 0, {}, 0}, // no buffers: returns at once
    // Special characters cut and are consumed, except in the first position.
    {"key=value\n", "=", 16, 5, {"key", "value"}, 10},
    {"=x\n", "=", 16, 5, {"=x"}, 3},
    {"a,b;c", ",;", 16, 5, {"a", "b", "c"}, 5},
    // Quoted tokens; in the third line the first '' lies in the second word,
    // after which the token runs on to the next single quote.
    {"'it''s' x\n", "", 16, 5, {"'it''s'", "x"}, 10},
    {"'a b' c 'open end", "", 32, 5, {"'a b'", "c", "'open end"}, 17},
    {"'a' b''c' d", "", 32, 5, {"'a' b''c'", "d"}, 11},
    // Buffer limits: bufsize - 1 characters fit; a word of bufsize or more keeps
    // its remainder for the next tokens; a quoted token is cut; bufsize 1 holds none.
    {"abc de", "", 4, 5, {"abc", "de"}, 6},
    {"abcd e", "", 4, 5, {"abc", "d", "e"}, 6},
    {"abcdefgh", "", 4, 2, {"abc", "def"}, 6},
    {"'abcdef''gh' x", "", 5, 3, {"'abc", "x"}, 14},
    {"a b", "", 1, 2, {}, 0},
};

} // namespace

TEST(Tokenize, TableOfLines) {
    const int guard = 8;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("line [") + c.line + "] bufsize " + std::to_string(c.bufsize));
        std::vector<std::vector<char>> store(c.maxtok, std::vector<char>(c.bufsize + guard, '#'));
        std::vector<char*> bufs;
        for (auto& s : store)
            bufs.push_back(s.data());
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
}
