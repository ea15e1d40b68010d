// Clipping of closed polygons against closed integer windows and its limits; the polygon
// utilities, with results derived by hand.
#include "integrate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>
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

const int kOrigin[2] = {0, 0}, kUnit[2] = {1, 1};

bool has(const poly_point* pts, int n, poly_point p) {
    return std::any_of(pts, pts + n, [p](poly_point q) { return q.x == p.x && q.y == p.y; });
}

// The window (x0, y0, x1, y1), the polygon (closed by the test), the points of its clipped
// result (each at least once, no others; the closing point once more), its area.
const struct {
    int w[4];
    std::vector<poly_point> in, result;
    double area;
} kClipCases[] = {
    // Inside the window: comes out as it went in.
    {{0, 0, 1, 1}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, 1.0},
    // The slanted edge (0.5, -1)-(1.5, 3) of slope 4 meets y = 0 at x = 0.75 and y = 2 at x =
    // 1.25: a trapezoid of height 2 and sides 0.25 and 0.75.
    {{0, 0, 2, 2}, {{.5, -1}, {1.5, 3}, {.5, 3}}, {{.5, 0}, {.75, 0}, {1.25, 2}, {.5, 2}}, 1.0},
    // Edges of slope 2 and -2 through every side of a window off the origin, of unequal
    // sides: x = 1 and 3 cut them at y = 3, y = 4 at x = 1.5 and 2.5; a rectangle of 2 and a
    // trapezoid of 1.5.
    // clang-format off
    {{1, 2, 3, 4}, {{0, 1}, {4, 1}, {2, 5}}, {{1, 2}, {3, 2}, {3, 3}, {2.5, 4}, {1.5, 4}, {1, 3}}, 3.5},
    // clang-format on
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
        EXPECT_EQ(out.len, n > 0 ? n + 1 : 0);
        EXPECT_TRUE(out.len == 0 || (out.pts[0].x == out.pts[out.len - 1].x &&
                                     out.pts[0].y == out.pts[out.len - 1].y));
        for (int i = 0; i < std::max(n, out.len); ++i)
            EXPECT_TRUE((i >= n || has(out.pts, out.len, c.result[i])) &&
                        (i >= out.len || has(c.result.data(), n, out.pts[i])))
                << "point " << i << " missing or stray";
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
    std::vector<poly_point> pts[3]; // the zigzag, it moved inside, the star
    for (int i = 0; i < 100; ++i) {
        pts[0].push_back({(i % 2) ? 0.5 : -1.0, 0.01 * i});
        pts[1].push_back({(i % 2) ? 0.25 : 0.5, 0.01 * i});
        pts[2].push_back(
            {0.5 + 3 * std::cos(i * (M_PI + 0.3)), 0.5 + 3 * std::sin(i * (M_PI + 0.3))});
    }
    testing::internal::CaptureStdout();
    for (int k = 0; k < 3; ++k) {
        g->in = closed(pts[k]);
        const int status = clip_polygon(kOrigin, kUnit, &g->in, &g->out), len = g->out.len;
        EXPECT_TRUE(k == 0   ? status == -1 && len == 0
                    : k == 1 ? status == 0 && len == INTEGRATE_MAX_POLY_PTS
                             : len >= 0 && len <= INTEGRATE_MAX_POLY_PTS)
            << k << ": " << status << " " << len;
    }
    std::fflush(stdout);
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(
        std::regex_search(text, std::regex(R"(ERROR in clipPoint: \*cnt=256 Exceeded )"
                                           R"(MAX_WORKING_PTS=256\nERROR values: p    = )"
                                           R"(\[\S+,\S+\]\nERROR values: wMin = \[   0,)"
                                           R"(   0\]\nERROR values: wMax = \[   1,   1\]\n)")))
        << text;
    EXPECT_EQ(std::count(g->guard, g->guard + 512, -7.0), 512);
    delete g;
}

// Quadrilaterals closed by stuff_four with their turning, area (either way round) and pixel
// range on a 4 x 3 grid: the range is clamped to the grid, a corner on a pixel border does
// not add the pixel beyond it, and off the grid or with a corner not finite it is empty.
// Quadrilaterals closed by stuff_four with their turning and area (either way round); the
// pixel range on a 4 x 3 grid is clamped to it, a corner on a pixel border does not add the
// pixel beyond it, and with a corner not finite the range is empty.
TEST(PolyUtilities, ClosedQuadrilateralTurningAreaPixelRangeAndPrinting) {
    const double rows[][10] = {
        // clang-format off
        {0, 0, 1, 1, 1, 0, 0, 1, 0, 0.0}, // crossed: the lobes cancel
        {0, 0, 1, 0, 1, 1, 0, 1, 1, 1.0}, // anticlockwise
        {0, 0, 0, 1, 1, 1, 1, 0, 1, 1.0}, // clockwise
        {0, 0, 2, 1, 2, 3, 1, 2, 1, 2.5}, // turns at the closing corner too
        {0, 0, 2, 1, 0, 2, 1, 1, 0, 1.0}, // concave arrow
        {0, 0, 1, 0, 2, 0, 1, 1, 1, 1.0}, // collinear corners ignored
        // clang-format on
    };
    for (const double* w : rows) {
        const polygon p = stuff_four(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
        EXPECT_EQ(
            std::vector<double>({double(verify_cyclical(&p)), area_poly(&p), area_poly1(p.pts, 4)}),
            std::vector<double>({w[8], w[9], w[9]}));
    }
    int r[8];
    const polygon border = stuff_four(0.5, 0.5, 2, 0.5, 2, 3.5, -5, 2);
    const polygon inf = stuff_four(0, 0, INFINITY, 0, 1, 1, 0, 1);
    bounding_rect(&border, &r[0], &r[1], &r[2], &r[3], 4, 3);
    bounding_rect(&inf, &r[4], &r[5], &r[6], &r[7], 4, 3);
    EXPECT_EQ(std::vector<int>(r, r + 4), std::vector<int>({0, 1, 0, 2}));
    EXPECT_GT(r[4], r[5]);
    // Areas and printing of the square closed, not closed, of one point, empty, too long and of
    // a negative length.
    polygon odd = stuff_four(0, 0, 1, 0, 1, 1, 0, 1);
    testing::internal::CaptureStdout();
    for (int len : {5, 4, 1, 0, INTEGRATE_MAX_POLY_PTS + 1, -2}) {
        odd.len = len;
        print_poly(&odd);
        EXPECT_EQ(area_poly(&odd), len == 5 ? 1.0 : len == 4 ? 0.5 : 0.0) << len;
    }
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Closed Poly of 5 pts: [0.000 0.000] [1.000 0.000] [1.000 1.000] [0.000 1.000] "
              "[0.000 0.000] \nClosed Poly of 4 pts: [0.000 0.000] [1.000 0.000] [1.000 1.000] "
              "[0.000 1.000] \nERROR in print_poly: poly->len=4   \n\nERROR: POLY NOT CLOSED! "
              "Exiting routine.\n\nClosed Poly of 1 pts: [0.000 0.000] \nClosed Poly of 0 pts: \n"
              "Closed Poly of 102 pts: ERROR in print_poly: poly->len=102   Exiting routine.\n\n"
              "Closed Poly of -2 pts: ERROR in print_poly: poly->len=-2   Exiting routine.\n\n");
}

} // namespace
