// Fuzz harness of tokenize: random lines, separator sets, buffer sizes and token limits.
// Every buffer is allocated at exactly its stated size so that the address checker sees any
// write past it; the documented limits are checked after each call.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tokenize.h"

namespace {

void run_tokenize(const fuzz::input& input) {
    fuzz::byte_reader in(input.data, input.size);
    const int bufsize = in.u8() % 48;
    const int maxtok = static_cast<int8_t>(in.u8()) % 24; // a few negative limits too
    const size_t nspecials = in.u8() % 5;
    std::string specials;
    for (size_t i = 0; i < nspecials; ++i)
        specials.push_back(static_cast<char>(in.u8() | 1)); // never NUL
    const std::string text = in.rest_text();

    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    const std::vector<char> before(line);
    const size_t ntok = maxtok > 0 ? static_cast<size_t>(maxtok) : 0;
    std::vector<char*> tokens(ntok);
    for (char*& t : tokens)
        t = static_cast<char*>(std::malloc(bufsize > 0 ? bufsize : 1));
    char* rest = nullptr;

    const int found = tokenize(line.data(), specials.c_str(), bufsize, maxtok,
                               tokens.empty() ? nullptr : tokens.data(), &rest);

    if (found < 0 || found > (maxtok > 0 ? maxtok : 0))
        fuzz::finding("tokenize", "token count outside 0..maxtok");
    if (bufsize < 2 && found != 0)
        fuzz::finding("tokenize", "tokens returned although no buffer can hold one");
    for (int i = 0; i < found; ++i)
        if (std::strlen(tokens[i]) > static_cast<size_t>(bufsize - 1))
            fuzz::finding("tokenize", "token longer than its buffer allows");
    if (line != before)
        fuzz::finding("tokenize", "the line was modified");
    if (rest < line.data() || rest > line.data() + text.size())
        fuzz::finding("tokenize", "rest points outside the line");
    for (char* t : tokens)
        std::free(t);
}

} // namespace

const fuzz::harness fuzz::this_harness{0, nullptr, 0, run_tokenize};
