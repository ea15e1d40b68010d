// Tokenizer: words, cut points, quoted strings, buffer limits and the scan
// position handed back.
#include "tokenize.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int guard = 8;

// maxtok buffers of bufsize bytes, each followed by guard bytes that must
// stay untouched, and the line in a heap block of exactly its own size.
struct Tok {
    int bufsize;
    std::vector<std::vector<char>> store;
    std::vector<char*> ptrs;
    char* line;
    char* rest = nullptr;
    int count = -1;

    Tok(const char* text, int bufsize_, int maxtok, const char* specials = "")
        : bufsize(bufsize_), store(maxtok, std::vector<char>(bufsize_ + guard, '#')),
          line(static_cast<char*>(std::malloc(std::strlen(text) + 1))) {
        std::strcpy(line, text);
        for (auto& s : store) {
            ptrs.push_back(s.data());
        }
        count = tokenize(line, specials, bufsize, maxtok, ptrs.data(), &rest);
    }
    ~Tok() { std::free(line); }
    std::string tok(int i) const { return std::string(ptrs[i]); }
    long rest_at() const { return rest - line; }
    bool guards_intact() const {
        for (const auto& s : store) {
            for (int k = bufsize; k < bufsize + guard; k++) {
                if (s[k] != '#') {
                    return false;
                }
            }
        }
        return true;
    }
};

} // namespace

TEST(TokenizeWords, SplitsAtWhitespaceAndStopsAtTheEnd) {
    Tok t("a b\n", 16, 5);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.tok(0), "a");
    EXPECT_EQ(t.tok(1), "b");
    EXPECT_EQ(t.tok(2), "");
    EXPECT_EQ(t.rest_at(), 4);
}

TEST(TokenizeWords, MixedWhitespaceAndTrailingBlanks) {
    Tok t("\t one  two\tthree  \n", 16, 5);
    EXPECT_EQ(t.count, 3);
    EXPECT_EQ(t.tok(0), "one");
    EXPECT_EQ(t.tok(1), "two");
    EXPECT_EQ(t.tok(2), "three");
    EXPECT_EQ(t.tok(3), "");
    EXPECT_EQ(t.rest_at(), 19);
}

TEST(TokenizeWords, MaxtokStopsAndRestPointsAtTheNextWord) {
    Tok t("a b c", 16, 1);
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(t.tok(0), "a");
    EXPECT_EQ(t.rest_at(), 2);
}

TEST(TokenizeWords, EmptyLineAndNoBuffers) {
    Tok t("", 16, 3);
    EXPECT_EQ(t.count, 0);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(t.tok(i), "");
    }
    EXPECT_EQ(t.rest_at(), 0);
    char line[] = "a b";
    char* rest = nullptr;
    EXPECT_EQ(tokenize(line, "", 16, 0, nullptr, &rest), 0);
    EXPECT_EQ(rest, line);
}

TEST(TokenizeSpecials, SpecialCharacterCutsAndIsConsumed) {
    Tok t("key=value\n", 16, 5, "=");
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.tok(0), "key");
    EXPECT_EQ(t.tok(1), "value");
}

TEST(TokenizeSpecials, FirstCharacterIsNeverACutPoint) {
    Tok t("=x\n", 16, 5, "=");
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(t.tok(0), "=x");
}

TEST(TokenizeSpecials, SeveralSpecialsInOneWord) {
    Tok t("a,b;c", 16, 5, ",;");
    EXPECT_EQ(t.count, 3);
    EXPECT_EQ(t.tok(0), "a");
    EXPECT_EQ(t.tok(1), "b");
    EXPECT_EQ(t.tok(2), "c");
    EXPECT_EQ(t.rest_at(), 5);
}

TEST(TokenizeQuotes, DoubledQuoteStaysInTheToken) {
    Tok t("'it''s' x\n", 16, 5);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.tok(0), "'it''s'");
    EXPECT_EQ(t.tok(1), "x");
}

TEST(TokenizeQuotes, QuotedBlanksAndUnclosedQuote) {
    Tok t("'a b' c 'open end", 32, 5);
    EXPECT_EQ(t.count, 3);
    EXPECT_EQ(t.tok(0), "'a b'");
    EXPECT_EQ(t.tok(1), "c");
    EXPECT_EQ(t.tok(2), "'open end");
    EXPECT_EQ(t.rest_at(), 17);
}

TEST(TokenizeQuotes, DoubledQuoteLaterInTheLineJoinsTheToken) {
    // The first '' is in the second word; after it the token runs on to the
    // next single quote.
    Tok t("'a' b''c' d", 32, 5);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.tok(0), "'a' b''c'");
    EXPECT_EQ(t.tok(1), "d");
}

TEST(TokenizeLimits, WordOfBufsizeMinusOneFitsWhole) {
    Tok t("abc de", 4, 5);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.tok(0), "abc");
    EXPECT_EQ(t.tok(1), "de");
    EXPECT_TRUE(t.guards_intact());
}

TEST(TokenizeLimits, WordOfBufsizeIsCutAndItsRestKept) {
    Tok t("abcd e", 4, 5);
    EXPECT_EQ(t.count, 3);
    EXPECT_EQ(t.tok(0), "abc");
    EXPECT_EQ(t.tok(1), "d");
    EXPECT_EQ(t.tok(2), "e");
    EXPECT_TRUE(t.guards_intact());
}

TEST(TokenizeLimits, LongWordFillsSeveralTokens) {
    Tok t("abcdefgh", 4, 2);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.tok(0), "abc");
    EXPECT_EQ(t.tok(1), "def");
    EXPECT_EQ(t.rest_at(), 6);
    EXPECT_TRUE(t.guards_intact());
}

TEST(TokenizeLimits, LongQuotedTokenIsCut) {
    Tok t("'abcdef''gh' x", 5, 3);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.tok(0), "'abc");
    EXPECT_EQ(t.tok(1), "x");
    EXPECT_TRUE(t.guards_intact());
}

TEST(TokenizeLimits, BufferTooSmallForAnyCharacter) {
    Tok t("a b", 1, 2);
    EXPECT_EQ(t.count, 0);
    EXPECT_EQ(t.tok(0), "");
    EXPECT_EQ(t.rest_at(), 0);
    EXPECT_TRUE(t.guards_intact());
}
