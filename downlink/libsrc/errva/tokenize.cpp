// Line tokenizer: whitespace-separated words, cut points at special
// characters, and quoted strings that keep their quotes.
#include "tokenize.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const whitespace = " \n\t";

// Appends len characters at s to the token of `used` characters in buf,
// keeping at most bufsize - 1 in all; the token stays terminated.
void append(char* buf, size_t* used, size_t bufsize, const char* s, size_t len) {
    const size_t room = bufsize - 1 - *used;
    const size_t n = std::min(len, room);
    std::memcpy(buf + *used, s, n);
    *used += n;
    buf[*used] = '\0';
}

// Quoted token opening at q; returns where scanning continues.  A doubled
// quote anywhere in the rest of the line extends the token up to it, and
// the token goes on after it while the line does.
char* read_quoted(char* q, char* buf, size_t bufsize) {
    size_t used = 0;
    buf[0] = '\0';
    char* pos = q;
    for (;;) {
        char* doubled = std::strstr(pos, "''");
        char* end = nullptr;
        if (doubled != nullptr) {
            end = doubled + 2;
        } else {
            char* close = std::strchr(pos + 1, '\'');
            end = (close != nullptr) ? close + 1 : pos + std::strlen(pos);
        }
        append(buf, &used, bufsize, pos, (size_t)(end - pos));
        pos = end;
        if (doubled == nullptr || *pos == '\0') {
            return pos;
        }
    }
}

// Plain word starting at q; returns where scanning continues.  A word
// longer than the buffer is cut and scanning resumes at the first character
// left out, so that it opens the next token instead of being lost.
char* read_word(char* q, const char* specials, char* buf, size_t bufsize) {
    const size_t wordlen = std::strcspn(q, whitespace);
    const size_t len = std::min(wordlen, bufsize - 1);
    std::memcpy(buf, q, len);
    buf[len] = '\0';
    for (size_t s = 1; s < len; s++) {
        if (std::strchr(specials, buf[s]) != nullptr) {
            buf[s] = '\0';
            return q + s + 1;
        }
    }
    if (len < wordlen || q[len] == '\0') {
        return q + len;
    }
    return q + len + 1;
}

} // namespace

int tokenize(char* line, const char* specials, int bufsize, int maxtok, char** tokens,
             char** rest) {
    if (maxtok < 1 || line == nullptr || bufsize < 1) {
        if (rest != nullptr) {
            *rest = line;
        }
        return 0;
    }
    for (int k = 0; k < maxtok; k++) {
        tokens[k][0] = '\0';
    }
    if (specials == nullptr) {
        specials = "";
    }
    int count = 0;
    char* p = line;
    while (bufsize >= 2 && *p != '\0' && count < maxtok) {
        char* q = p + std::strspn(p, whitespace);
        char* buf = tokens[count];
        p = (*q == '\'') ? read_quoted(q, buf, (size_t)bufsize)
                         : read_word(q, specials, buf, (size_t)bufsize);
        if (buf[0] != '\0') {
            count++;
        }
    }
    if (rest != nullptr) {
        *rest = p;
    }
    return count;
}
