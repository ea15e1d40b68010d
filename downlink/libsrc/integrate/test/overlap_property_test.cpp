// Per-pixel overlaps of the overlap loop, whatever route it takes (scanlines for
// quadrilaterals whose corners turn one way, whole pixels, clipping pixel by
// pixel for crossed and concave ones), agree to 1e-12 with clipping the
// quadrilateral against each pixel with clip_polygon (the plain route, through
// the public functions) and with an independent clip of each pixel square by
// the quadrilateral's triangles, written here with vectors of points.  And the
// properties over random convex quadrilaterals (fixed seeds; the first a square
// of side 5 turned by 30 degrees): the overlaps sum to the area on the grid,
// pixels wholly inside get exactly 1, and integrating a grid of ones gives the
// area.
#include "integrate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// ---- Independent overlap areas: the library clips the quadrilateral by the
// pixel; these clip the pixel square by the half-planes of the quadrilateral's
// edges (convex quadrilaterals) or of the two triangles of a fan from the first
// corner (any quadrilateral).

struct Pt {
    double x, y;
};
using Ring = std::vector<Pt>;

double cross(Pt o, Pt a, Pt b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Area of a convex ring, as a fan of triangles from the first point.
double fan_area(const Ring& r) {
    double twice = 0;
    for (std::size_t i = 1; i + 1 < r.size(); ++i)
        twice += cross(r[0], r[i], r[i + 1]);
    return 0.5 * std::fabs(twice);
}

// Keeps the part of `subject` on the inner side of the directed line a->b
// (inner = left for orient = +1, right for orient = -1).
Ring keep_inner(const Ring& subject, Pt a, Pt b, double orient) {
    Ring out;
    for (std::size_t i = 0; i < subject.size(); ++i) {
        const Pt p = subject[i], q = subject[(i + 1) % subject.size()];
        const double sp = orient * cross(a, b, p), sq = orient * cross(a, b, q);
        if (sp >= 0)
            out.push_back(p);
        if ((sp < 0 && sq > 0) || (sp > 0 && sq < 0)) {
            const double t = sp / (sp - sq);
            out.push_back({p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)});
        }
    }
    return out;
}

// Area of the rectangle [x0,x1] x [y0,y1] inside the convex polygon `hull`
// (corners in order, either way round).
double overlap_by_half_planes(const Ring& hull, double x0, double y0, double x1, double y1) {
    Ring r = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
    const double orient = cross(hull[0], hull[1], hull[2]) > 0 ? 1.0 : -1.0;
    for (std::size_t k = 0; k < hull.size() && !r.empty(); ++k)
        r = keep_inner(r, hull[k], hull[(k + 1) % hull.size()], orient);
    return r.size() < 3 ? 0.0 : fan_area(r);
}

// Overlap of any quadrilateral with the rectangle: its triangles q0 q1 q2 and
// q0 q2 q3 signed by their turn, the sum unsigned.  The area of simple
// quadrilaterals, concave ones included; a crossed one's lobes count with
// opposite signs.
double winding_overlap(const Ring& q, double x0, double y0, double x1, double y1) {
    double sum = 0;
    for (int k = 1; k <= 2; ++k) {
        const double turn = cross(q[0], q[k], q[k + 1]);
        if (turn != 0)
            sum +=
                std::copysign(overlap_by_half_planes({q[0], q[k], q[k + 1]}, x0, y0, x1, y1), turn);
    }
    return std::fabs(sum);
}

// The four corners of a quadrilateral as the library's eight coordinates.
#define QUAD_CORNERS(q) q[0].x, q[0].y, q[1].x, q[1].y, q[2].x, q[2].y, q[3].x, q[3].y

// ---- The library's overlaps against both references ----

constexpr int NX = 12, NY = 10;
constexpr double TOL = 1e-12;

std::size_t at(int i, int j, int nx = NX) {
    return static_cast<std::size_t>(j) * nx + i;
}

// Checks every pixel of the NX x NY grid; hands the library's overlaps back.
void expect_routes_agree(const Ring& q, const std::string& what,
                         std::vector<double>* grid = nullptr) {
    std::vector<double> fast(NX * NY, 0.0); // value 1 spread onto zeros
    distribute_quad(QUAD_CORNERS(q), 1.0, fast.data(), NX, NY);
    if (grid)
        *grid = fast;
    const polygon quad = stuff_four(QUAD_CORNERS(q));
    polygon out;
    for (int j = 0; j < NY; ++j)
        for (int i = 0; i < NX; ++i) {
            const int wMin[2] = {i, j}, wMax[2] = {i + 1, j + 1};
            clip_polygon(wMin, wMax, &quad, &out);
            const double a = fast[at(i, j)];
            ASSERT_NEAR(a, area_poly(&out), TOL) << what << " pixel (" << i << "," << j << ")";
            ASSERT_NEAR(a, winding_overlap(q, i, j, i + 1, j + 1), TOL)
                << what << " pixel (" << i << "," << j << ")";
        }
}

// Four corners on a rotated ellipse at increasing angles, listed either way
// round: always convex.  Centres keep `margin` from the grid's edges.
Ring random_convex_quad(std::mt19937& gen, double margin) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double cx = margin + (NX - 2 * margin) * u(gen), cy = margin + (NY - 2 * margin) * u(gen);
    const double ra = 0.2 + 1.8 * u(gen), rb = 0.2 + 1.8 * u(gen), rot = 2 * M_PI * u(gen);
    double ang[4];
    for (double& a : ang)
        a = 2 * M_PI * u(gen);
    std::sort(ang, ang + 4);
    if (u(gen) < 0.5)
        std::reverse(ang, ang + 4);
    Ring q;
    for (double a : ang) {
        const double ex = ra * std::cos(a), ey = rb * std::sin(a);
        q.push_back({cx + ex * std::cos(rot) - ey * std::sin(rot),
                     cy + ex * std::sin(rot) + ey * std::cos(rot)});
    }
    return q;
}

TEST(OverlapProperty, RandomConvexQuadrilaterals) {
    std::mt19937 gen(20260806);
    const std::vector<double> ones(NX * NY, 1.0);
    int multi_pixel = 0, whole = 0;
    const double c = std::cos(M_PI / 6), s = std::sin(M_PI / 6);
    const Ring square = {{6 - 2.5 * (c - s), 5 - 2.5 * (s + c)},
                         {6 + 2.5 * (c + s), 5 + 2.5 * (s - c)},
                         {6 + 2.5 * (c - s), 5 + 2.5 * (s + c)},
                         {6 - 2.5 * (c + s), 5 - 2.5 * (s - c)}};
    for (int n = 0; n < 500; ++n) {
        const bool on_grid = n < 300; // the rest may reach past the grid's edges
        const Ring q = n == 0 ? square : random_convex_quad(gen, on_grid ? 2.0 : -1.5);
        const polygon poly = stuff_four(QUAD_CORNERS(q));
        ASSERT_EQ(verify_cyclical(&poly), 1) << n;
        // The area on the grid: all of it, or the part inside the grid's outline.
        const double area = on_grid ? fan_area(q) : overlap_by_half_planes(q, 0, 0, NX, NY);
        ASSERT_NEAR(area_poly(&poly), fan_area(q), TOL) << n;
        std::vector<double> grid;
        expect_routes_agree(q, "convex " + std::to_string(n), &grid);
        double sum = 0;
        int pixels = 0;
        for (int p = 0; p < NX * NY; ++p) {
            sum += grid[p];
            pixels += grid[p] > 0;
            // Pixels wholly inside (the reference keeps them uncut) get exactly 1.
            if (overlap_by_half_planes(q, p % NX, p / NX, p % NX + 1, p / NX + 1) == 1.0) {
                EXPECT_EQ(grid[p], 1.0) << n << " pixel " << p;
                ++whole;
            }
        }
        multi_pixel += pixels > 1;
        EXPECT_NEAR(sum, area, TOL) << n;
        double covered = -1;
        EXPECT_NEAR(integrate_quad(QUAD_CORNERS(q), ones.data(), NX, NY, &covered), area, TOL) << n;
        EXPECT_NEAR(covered, area, TOL) << n;
    }
    EXPECT_GT(multi_pixel, 400); // most quadrilaterals straddle pixel borders
    EXPECT_GE(whole, 20);
}

// Three families: four corners drawn independently in a box (convex, concave
// and crossed quadrilaterals of every size up to the box, part of them off the
// grid); corners on pixel borders and half-pixel points, made degenerate so
// that cuts pass through corners or give empty and zero-area pieces (repeated
// corners, four corners on one line, a point); hairline slivers, nearly flat
// at small angles to the grid.
TEST(OverlapRoutes, QuadrilateralsOfEveryTurningDegenerateOnesAndSlivers) {
    std::mt19937 gen(4242);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::uniform_int_distribution<int> half(2, 2 * (NY - 1));
    int not_convex = 0;
    for (int n = 0; n < 1300; ++n) {
        Ring q(4);
        if (n < 600) {
            const double cx = 1 + (NX - 2) * u(gen), cy = 1 + (NY - 2) * u(gen);
            const double size = n % 3 == 0 ? 0.6 : (n % 3 == 1 ? 2.5 : 7.0);
            for (Pt& p : q)
                p = {cx + size * (2.5 * u(gen) - 1.5), cy + size * (2.5 * u(gen) - 1.5)};
            const polygon poly = stuff_four(QUAD_CORNERS(q));
            not_convex += !verify_cyclical(&poly);
        } else if (n < 1000) {
            for (Pt& p : q)
                p = {0.5 * half(gen), 0.5 * half(gen)};
            if (n % 4 == 1)
                q[2] = q[1];
            if (n % 4 == 2) {
                q[2] = {0.5 * (q[0].x + q[1].x), 0.5 * (q[0].y + q[1].y)};
                q[3] = {2 * q[1].x - q[0].x, 2 * q[1].y - q[0].y};
            }
            if (n % 4 == 3)
                q[1] = q[2] = q[3] = q[0];
        } else {
            const double x0 = 1 + 3 * u(gen), y0 = 1 + 3 * u(gen);
            const double dx = 6 * u(gen), dy = (n % 2 ? 1e-9 : 0.05) * u(gen);
            const double w = n % 3 == 0 ? 1e-12 : 1e-3 * u(gen);
            q = {{x0, y0}, {x0 + dx, y0 + dy}, {x0 + dx - w, y0 + dy + w}, {x0 - w, y0 + w}};
        }
        expect_routes_agree(q, "quad " + std::to_string(n));
    }
    EXPECT_GT(not_convex, 200); // concave and crossed ones
}

// A diamond centred on pixel (1, 1) that stays clear of the four corner pixels
// of its pixel range (its edges lie on x + y = 2.1 and the like, the corner
// pixel (0, 0) reaches x + y = 2): the corner pixels are not touched.
TEST(OverlapRoutes, PixelsOfTheRangeWithoutOverlapAreNotTouched) {
    std::vector<int16_t> mask(9, 0);
    mask_distribute_quad_short(1.5, 0.6, 2.4, 1.5, 1.5, 2.4, 0.6, 1.5, 0x0004, mask.data(), 3, 3);
    EXPECT_EQ(mask, std::vector<int16_t>({0, 4, 0, 4, 4, 4, 0, 4, 0}));
}

// The benchmark's frame geometry: input pixels of a 1024 x 1024 frame rotated
// by 2 degrees about its centre and shifted by (3.3, -1.7) onto a 1084 x 1084
// grid, where coordinates reach 1084.  Each overlap is compared with the
// triangle clip done in coordinates relative to the pixel's corner.  Every
// other input pixel is made a concave dart, its third corner pulled in to 0.2
// of the way from the middle of the diagonal towards the first corner: the
// triangle of the other three corners (area 0.5) less a notch of 0.2 x 0.5,
// area 0.4.  Darts take the clip route.
TEST(OverlapRoutes, RotatedFrameOverlapsAreExact) {
    constexpr int W = 1024, WO = 1084;
    const double th = M_PI / 90, c = std::cos(th), s = std::sin(th);
    const double cin = (W - 1) / 2.0, coutx = (WO - 1) / 2.0 + 3.3, couty = (WO - 1) / 2.0 - 1.7;
    std::vector<double> grid(static_cast<std::size_t>(WO) * WO, 0.0);
    std::mt19937 gen(1);
    std::uniform_int_distribution<int> pick(0, W - 1);
    for (int n = 0; n < 400; ++n) {
        const int x = n < 4 ? (n % 2) * (W - 1) : pick(gen),
                  y = n < 4 ? (n / 2) * (W - 1) : pick(gen);
        Ring q;
        for (const Pt o : {Pt{-0.5, -0.5}, Pt{0.5, -0.5}, Pt{0.5, 0.5}, Pt{-0.5, 0.5}}) {
            const double dx = x + o.x - cin, dy = y + o.y - cin;
            q.push_back({c * dx - s * dy + coutx + 0.5, s * dx + c * dy + couty + 0.5});
        }
        const bool dart = n % 2 == 1;
        if (dart)
            q[2] = {0.4 * (q[1].x + q[3].x) + 0.2 * q[0].x, 0.4 * (q[1].y + q[3].y) + 0.2 * q[0].y};
        distribute_quad(QUAD_CORNERS(q), 1.0, grid.data(), WO, WO);
        const int i0 = static_cast<int>(std::floor(q[0].x)) - 2;
        const int j0 = static_cast<int>(std::floor(q[0].y)) - 2;
        double sum = 0;
        for (int j = j0; j < j0 + 5; ++j)
            for (int i = i0; i < i0 + 5; ++i) {
                double& a = grid[at(i, j, WO)];
                Ring local;
                for (const Pt p : q)
                    local.push_back({p.x - i, p.y - j});
                ASSERT_NEAR(a, winding_overlap(local, 0, 0, 1, 1), TOL)
                    << "input (" << x << "," << y << ") pixel (" << i << "," << j << ")";
                sum += a;
                a = 0.0;
            }
        EXPECT_NEAR(sum, dart ? 0.4 : 1.0, TOL) << "input (" << x << "," << y << ")";
    }
}

} // namespace
