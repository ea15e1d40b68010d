// Clipping of closed polygons against closed integer windows, and its limits.
#include "integrate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

polygon closed(const std::vector<poly_point>& pts) {
    polygon p;
    p.len = 0;
    for (const poly_point& q : pts)
        p.pts[p.len++] = q;
    p.pts[p.len++] = pts.front();
    return p;
}

bool has(const poly_point* pts, int n, poly_point p) {
    return std::any_of(pts, pts + n, [p](poly_point q) { return q.x == p.x && q.y == p.y; });
}

const int kOrigin[2] = {0, 0}, kUnit[2] = {1, 1};

// The window (x0, y0, x1, y1), the polygon (closed by the test), the points of its clipped
// result (each at least once, no others), its area.
const struct {
    int w[4];
    std::vector<poly_point> in, result;
    double area;
} kClipCases[] = {
    {{0, 0, 1, 1}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, 1.0},
    {{0, 0, 1, 1},
     {{.5, .5}, {1.5, .5}, {1.5, 1.5}, {.5, 1.5}},
     {{.5, .5}, {1, .5}, {1, 1}, {.5, 1}},
     .25},
    // The edge from (-1, 0) to (1, 2) meets x = 0 at y = 1: a trapezoid of width 1 and sides 1
    // and 2.
    {{0, 0, 2, 2}, {{-1, 0}, {1, 2}, {1, 0}}, {{0, 1}, {1, 2}, {1, 0}, {0, 0}}, 1.5},
    // The slanted edge (0.5, -1)-(1.5, 3) of slope 4 meets y = 0 at x = 0.75 and y = 2 at x =
    // 1.25: a trapezoid of height 2 and sides 0.25 and 0.75.
    {{0, 0, 2, 2}, {{.5, -1}, {1.5, 3}, {.5, 3}}, {{.5, 0}, {.75, 0}, {1.25, 2}, {.5, 2}}, 1.0},
    // Edges of slope 2 and -2 through every side of a window off the origin, of unequal
    // sides: x = 1 and 3 cut them at y = 3, y = 4 at x = 1.5 and 2.5; a rectangle of 2 and a
    // trapezoid of 1.5.
    {{1, 2, 3, 4},
     {{0, 1}, {4, 1}, {2, 5}},
     {{1, 2}, {3, 2}, {3, 3}, {2.5, 4}, {1.5, 4}, {1, 3}},
     3.5},
    {{0, 0, 1, 1}, {{0.3, -1.0}, {0.3, 0.5}}, {{0.3, 0}, {0.3, 0.5}}, 0.0}, // cut at its own x
    {{0, 0, 1, 1}, {{-3, 0}, {-1, 0}, {-1, 1}, {-3, 1}}, {}, 0.0},          // nothing left
};

TEST(PolyClip, TableOfCases) {
    for (const auto& c : kClipCases) {
        const int n = static_cast<int>(c.result.size());
        polygon in = closed(c.in), out;
        out.len = 42;
        SCOPED_TRACE(&c - kClipCases);
        EXPECT_EQ(clip_polygon(c.w, c.w + 2, &in, &out), 0);
        EXPECT_DOUBLE_EQ(area_poly(&out), c.area);
        EXPECT_EQ(out.len, n > 0 ? n + 1 : 0); // the closing point once
        EXPECT_TRUE(out.len == 0 || (out.pts[0].x == out.pts[out.len - 1].x &&
                                     out.pts[0].y == out.pts[out.len - 1].y));
        for (const poly_point& e : c.result)
            EXPECT_TRUE(has(out.pts, out.len, e)) << "missing (" << e.x << ", " << e.y << ")";
        for (int i = 0; i < out.len; ++i)
            EXPECT_TRUE(has(c.result.data(), n, out.pts[i])) << "stray point " << i;
        clip_polygon(c.w, c.w + 2, &in, &in); // one record as input and output
        EXPECT_DOUBLE_EQ(area_poly(&in), c.area);
    }
}

// Lengths outside 0..101 are refused without reading past the record (alone on the heap, for
// the sanitizer build), 0 is empty.  100 points alternating left of and inside the window
// make 150 points, more than the output record holds: refused without writing past it;
// moved inside, the full record comes out whole.  A 100-pointed star about the window
// overflows the 256-point working list: reported, the output kept in bounds.
TEST(PolyClip, LimitsOfTheRecordAndTheWorkingList) {
    struct Guarded {
        polygon out;
        double guard[512];
        polygon in; // last: a read past it leaves the heap block
    };
    Guarded* g = new Guarded;
    std::fill(g->guard, g->guard + 512, -7.0);
    g->in = closed({{0, 0}, {1, 0}, {1, 1}});
    for (int len : {0, -1, INTEGRATE_MAX_POLY_PTS + 1, 100000}) {
        g->in.len = len;
        g->out.len = 42;
        EXPECT_EQ(clip_polygon(kOrigin, kUnit, &g->in, &g->out), len == 0 ? 0 : -1) << len;
        EXPECT_EQ(g->out.len, 0) << len;
    }
    std::vector<poly_point> zigzag, star;
    for (int i = 0; i < 100; ++i) {
        zigzag.push_back({(i % 2) ? 0.5 : -1.0, 0.01 * i});
        star.push_back(
            {0.5 + 3 * std::cos(i * (M_PI + 0.3)), 0.5 + 3 * std::sin(i * (M_PI + 0.3))});
    }
    g->in = closed(zigzag);
    EXPECT_EQ(clip_polygon(kOrigin, kUnit, &g->in, &g->out), -1);
    EXPECT_EQ(g->out.len, 0);
    for (poly_point& p : zigzag)
        p.x = std::fabs(p.x) / 2;
    g->in = closed(zigzag);
    EXPECT_EQ(clip_polygon(kOrigin, kUnit, &g->in, &g->out), 0);
    EXPECT_EQ(g->out.len, INTEGRATE_MAX_POLY_PTS);
    g->in = closed(star);
    testing::internal::CaptureStdout();
    clip_polygon(kOrigin, kUnit, &g->in, &g->out);
    std::fflush(stdout);
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("ERROR in clipPoint: *cnt=256 Exceeded MAX_WORKING_PTS=256\n"
                        "ERROR values: p    = ["),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("]\nERROR values: wMin = [   0,   0]\nERROR values: wMax = [   1,   1]\n"),
              std::string::npos);
    EXPECT_TRUE(g->out.len >= 0 && g->out.len <= INTEGRATE_MAX_POLY_PTS) << g->out.len;
    EXPECT_EQ(std::count(g->guard, g->guard + 512, -7.0), 512);
    delete g;
}

} // namespace
