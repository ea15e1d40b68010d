// Fuzz harness of clip_polygon: random windows (inverted ones included) and random polygons,
// with lengths in and out of the record's range, on a small grid of exact coordinates or
// with raw 64-bit patterns (NaN, infinities, huge values).  Checks the documented result:
// status 0 or -1, an empty result on -1, a closed result that fits the record, and on the
// exact grid every result point inside the window.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "integrate.h"

namespace {

bool same_point(const poly_point& a, const poly_point& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct clip_case {
    int wMin[2];
    int wMax[2];
    bool raw;   // raw 64-bit coordinates and lengths
    bool alias; // out is the same record as in
    polygon poly;
};

void read_case(fuzz::byte_reader& in, clip_case* c) {
    const uint8_t mode = in.u8();
    c->raw = (mode & 1) != 0;
    c->alias = (mode & 2) != 0;
    for (int k = 0; k < 2; ++k) {
        c->wMin[k] = static_cast<int8_t>(in.u8());
        c->wMax[k] = c->wMin[k] + static_cast<int8_t>(in.u8()) % 16; // may be inverted
    }
    std::memset(&c->poly, 0, sizeof c->poly);
    c->poly.len = c->raw ? in.i32() : in.u8() % 110;
    const int32_t fill = c->poly.len < 0                        ? 0
                         : c->poly.len > INTEGRATE_MAX_POLY_PTS ? INTEGRATE_MAX_POLY_PTS
                                                                : c->poly.len;
    for (int32_t i = 0; i < fill; ++i) {
        poly_point& p = c->poly.pts[i];
        if (c->raw) {
            p.x = in.f64();
            p.y = in.f64();
        } else { // quarter steps around the window
            p.x = static_cast<int8_t>(in.u8()) / 4.0;
            p.y = static_cast<int8_t>(in.u8()) / 4.0;
        }
    }
    if ((mode & 4) != 0 && fill > 1)
        c->poly.pts[fill - 1] = c->poly.pts[0]; // closed as the routine expects
}

void check_result(const clip_case& c, int status, const polygon& out) {
    if (status != 0 && status != -1)
        fuzz::finding("clip_polygon", "status other than 0 and -1");
    if (status == -1) {
        if (out.len != 0)
            fuzz::finding("clip_polygon", "refused polygon left a non-empty result");
        return;
    }
    if (out.len < 0 || out.len > INTEGRATE_MAX_POLY_PTS)
        fuzz::finding("clip_polygon", "result length outside the record");
    if (out.len == 0)
        return;
    if (out.len < 2 || !same_point(out.pts[0], out.pts[out.len - 1]))
        fuzz::finding("clip_polygon", "result is not closed");
    const bool window_ok = c.wMin[0] <= c.wMax[0] && c.wMin[1] <= c.wMax[1];
    if (c.raw || !window_ok)
        return;
    const double eps = 1e-9;
    for (int32_t i = 0; i < out.len; ++i) {
        const poly_point& p = out.pts[i];
        if (!(p.x >= c.wMin[0] - eps && p.x <= c.wMax[0] + eps && p.y >= c.wMin[1] - eps &&
              p.y <= c.wMax[1] + eps))
            fuzz::finding("clip_polygon", "result point outside the window");
    }
}

void run_clip(const fuzz::input& input) {
    fuzz::byte_reader in(input.data, input.size);
    static clip_case c;
    read_case(in, &c);
    static polygon separate;
    polygon* out = c.alias ? &c.poly : &separate;
    std::memset(&separate, 0x5a, sizeof separate);
    const int status = clip_polygon(c.wMin, c.wMax, &c.poly, out);
    check_result(c, status, *out);
}

} // namespace

// Standard output is quieted by the driver: the working-list overflow report goes there.
const fuzz::harness fuzz::this_harness{0, nullptr, 0, run_clip};
