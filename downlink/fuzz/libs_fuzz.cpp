// Fuzz harnesses of the two libraries.
//   tokenize: random lines, separator sets, buffer sizes and token limits; every buffer has
//     exactly its stated size, so the address checker sees a write past it; the documented
//     limits are checked after each call.
//   clip_polygon: random windows (inverted ones included) and polygons, with lengths in and
//     out of the record's range, on a quarter grid of exact coordinates or raw 64-bit
//     patterns (NaN, infinities, huge values); the result must be status 0 or -1, empty on
//     -1, closed, within the record, and on the exact grid inside the window.
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "integrate.h"
#include "tokenize.h"

namespace {

void run_tokenize(const fuzz::input& input) {
    fuzz::byte_reader in{input.data, input.size};
    const int bufsize = in.take<uint8_t>() % 48;
    const int maxtok = in.take<int8_t>() % 24; // a few negative limits too
    std::string specials(in.take<uint8_t>() % 5, '\0');
    for (char& c : specials)
        c = static_cast<char>(in.take<uint8_t>() | 1); // never NUL
    std::vector<char> line(in.data, in.data + in.size);
    line.push_back('\0');
    line.resize(std::strlen(line.data()) + 1); // embedded NULs end the line
    const std::vector<char> before(line);
    std::vector<char*> tokens(maxtok > 0 ? maxtok : 0);
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
    if (rest < line.data() || rest > line.data() + line.size() - 1)
        fuzz::finding("tokenize", "rest points outside the line");
    for (char* t : tokens)
        std::free(t);
}

void run_clip(const fuzz::input& input) {
    fuzz::byte_reader in{input.data, input.size};
    const uint8_t mode = in.take<uint8_t>();
    const bool raw = mode & 1, alias = mode & 2; // raw 64-bit values; out is the same record
    int wMin[2], wMax[2];
    for (int k = 0; k < 2; ++k) {
        wMin[k] = in.take<int8_t>();
        wMax[k] = wMin[k] + in.take<int8_t>() % 16; // may be inverted
    }
    static polygon poly, separate;
    std::memset(&poly, 0, sizeof poly);
    std::memset(&separate, 0x5a, sizeof separate);
    poly.len = raw ? in.take<int32_t>() : in.take<uint8_t>() % 110;
    const int fill = poly.len < 0 ? 0 : std::min(poly.len, INTEGRATE_MAX_POLY_PTS);
    for (int i = 0; i < fill; ++i) {
        poly_point& p = poly.pts[i];
        p = raw ? poly_point{in.take<double>(), in.take<double>()}
                : poly_point{in.take<int8_t>() / 4.0, in.take<int8_t>() / 4.0};
    }
    if ((mode & 4) != 0 && fill > 1)
        poly.pts[fill - 1] = poly.pts[0]; // closed as the routine expects
    polygon& out = alias ? poly : separate;
    const int status = clip_polygon(wMin, wMax, &poly, &out);
    if (status != 0 && status != -1)
        fuzz::finding("clip_polygon", "status other than 0 and -1");
    if (status == -1 && out.len != 0)
        fuzz::finding("clip_polygon", "refused polygon left a non-empty result");
    if (out.len < 0 || out.len > INTEGRATE_MAX_POLY_PTS)
        fuzz::finding("clip_polygon", "result length outside the record");
    if (out.len > 0 &&
        (out.len < 2 || std::memcmp(&out.pts[0], &out.pts[out.len - 1], sizeof(poly_point)) != 0))
        fuzz::finding("clip_polygon", "result is not closed");
    for (int i = 0; !raw && wMin[0] <= wMax[0] && wMin[1] <= wMax[1] && i < out.len; ++i) {
        const poly_point& p = out.pts[i];
        if (!(p.x >= wMin[0] - 1e-9 && p.x <= wMax[0] + 1e-9 && p.y >= wMin[1] - 1e-9 &&
              p.y <= wMax[1] + 1e-9))
            fuzz::finding("clip_polygon", "result point outside the window");
    }
}

} // namespace

const fuzz::harness fuzz::this_harness =
    fuzz::pick(FUZZ_HARNESS, {
                                 {"tokenize", 0, nullptr, 0, run_tokenize},
                                 {"clip_polygon", 0, nullptr, 0, run_clip},
                             });
