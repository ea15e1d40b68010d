// The overlap loop takes a scanline route for quadrilaterals whose corners turn
// one way and clips crossed and concave ones pixel by pixel.  Whatever the
// route, every per-pixel overlap must agree to 1e-12 with clipping the
// quadrilateral against each pixel with clip_polygon (the plain route, through
// the public functions) and with an independent computation that clips each
// pixel square by the quadrilateral's triangles (overlap_reference.h).
#include "integrate.h"
#include "overlap_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using overlap_reference::Ring;
using overlap_reference::winding_overlap;

constexpr int NX = 12, NY = 10;
constexpr double TOL = 1e-12;

std::vector<double> library_overlaps(const Ring& q, int nx, int ny) {
    std::vector<double> grid(static_cast<size_t>(nx) * ny, 0.0);
    distribute_quad(q[0].x, q[0].y, q[1].x, q[1].y, q[2].x, q[2].y, q[3].x, q[3].y, 1.0,
                    grid.data(), nx, ny);
    return grid;
}

// The plain route: clip_polygon and area_poly on every pixel of the range.
std::vector<double> clipped_overlaps(const Ring& q, int nx, int ny) {
    std::vector<double> grid(static_cast<size_t>(nx) * ny, 0.0);
    const polygon quad = stuff_four(q[0].x, q[0].y, q[1].x, q[1].y, q[2].x, q[2].y, q[3].x, q[3].y);
    int xmin, xmax, ymin, ymax;
    bounding_rect(&quad, &xmin, &xmax, &ymin, &ymax, nx, ny);
    polygon out;
    for (int j = ymin; j <= ymax; ++j)
        for (int i = xmin; i <= xmax; ++i) {
            const int wMin[2] = {i, j}, wMax[2] = {i + 1, j + 1};
            clip_polygon(wMin, wMax, &quad, &out);
            grid[static_cast<size_t>(j) * nx + i] = area_poly(&out);
        }
    return grid;
}

void expect_all_routes_agree(const Ring& q, const std::string& what) {
    const std::vector<double> fast = library_overlaps(q, NX, NY);
    const std::vector<double> plain = clipped_overlaps(q, NX, NY);
    for (int j = 0; j < NY; ++j)
        for (int i = 0; i < NX; ++i) {
            const double a = fast[static_cast<size_t>(j) * NX + i];
            ASSERT_NEAR(a, plain[static_cast<size_t>(j) * NX + i], TOL)
                << what << " pixel (" << i << "," << j << ")";
            ASSERT_NEAR(a, winding_overlap(q, i, j, i + 1, j + 1), TOL)
                << what << " pixel (" << i << "," << j << ")";
        }
}

enum Turning { CONVEX, CONCAVE, CROSSED, FLAT };

// Classifies by the signs of the four corner turns.
Turning turning(const Ring& q) {
    int pos = 0, neg = 0;
    for (int k = 0; k < 4; ++k) {
        const double t = overlap_reference::cross(q[k], q[(k + 1) % 4], q[(k + 2) % 4]);
        pos += t > 0;
        neg += t < 0;
    }
    if (pos == 0 && neg == 0)
        return FLAT;
    if (pos == 0 || neg == 0)
        return CONVEX;
    return pos == 2 ? CROSSED : CONCAVE;
}

// Four corners drawn independently in a box: convex, concave and crossed
// quadrilaterals of every size up to the box, part of them off the grid.
TEST(ScanlineOverlap, RandomQuadrilateralsOfEveryTurningMatchBothReferences) {
    std::mt19937 gen(4242);
    std::uniform_real_distribution<double> u(-1.5, 1.0);
    int seen[4] = {0, 0, 0, 0};
    for (int n = 0; n < 600; ++n) {
        const double cx = 1.0 + (NX - 2.0) * (u(gen) + 1.5) / 2.5;
        const double cy = 1.0 + (NY - 2.0) * (u(gen) + 1.5) / 2.5;
        const double size = n % 3 == 0 ? 0.6 : (n % 3 == 1 ? 2.5 : 7.0);
        Ring q;
        for (int k = 0; k < 4; ++k)
            q.push_back({cx + size * u(gen), cy + size * u(gen)});
        ++seen[turning(q)];
        expect_all_routes_agree(q, "quad " + std::to_string(n));
    }
    EXPECT_GT(seen[CONVEX], 100);
    EXPECT_GT(seen[CONCAVE], 100);
    EXPECT_GT(seen[CROSSED], 100);
}

// Corners on pixel borders and half-pixel points, repeated corners, corners on
// one line and points: the degenerate shapes that make cuts pass through
// corners or give empty and zero-area pieces.
TEST(ScanlineOverlap, DegenerateQuadrilateralsMatchBothReferences) {
    std::mt19937 gen(99);
    std::uniform_int_distribution<int> half(2, 2 * (NY - 1));
    int flat = 0;
    for (int n = 0; n < 400; ++n) {
        Ring q;
        for (int k = 0; k < 4; ++k)
            q.push_back({0.5 * half(gen), 0.5 * half(gen)});
        if (n % 4 == 1)
            q[2] = q[1];  // a triangle
        if (n % 4 == 2) { // all four on one line
            q[2] = {0.5 * (q[0].x + q[1].x), 0.5 * (q[0].y + q[1].y)};
            q[3] = {2 * q[1].x - q[0].x, 2 * q[1].y - q[0].y};
        }
        if (n % 4 == 3)
            q[1] = q[2] = q[3] = q[0]; // a point
        flat += turning(q) == FLAT;
        expect_all_routes_agree(q, "quad " + std::to_string(n));
    }
    EXPECT_GE(flat, 200);
}

// Hairline slivers: nearly flat quadrilaterals at small angles to the grid.
TEST(ScanlineOverlap, SliversMatchBothReferences) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int n = 0; n < 300; ++n) {
        const double x0 = 1 + 3 * u(gen), y0 = 1 + 3 * u(gen);
        const double dx = 6 * u(gen), dy = (n % 2 ? 1e-9 : 0.05) * u(gen);
        const double w = n % 3 == 0 ? 1e-12 : 1e-3 * u(gen);
        const Ring q = {{x0, y0}, {x0 + dx, y0 + dy}, {x0 + dx - w, y0 + dy + w}, {x0 - w, y0 + w}};
        expect_all_routes_agree(q, "sliver " + std::to_string(n));
    }
}

// A square of side 5 rotated by 30 degrees about (6, 5): pixels whose four
// corners lie inside it are whole and get exactly 1.
TEST(ScanlineOverlap, WholePixelsInsideGetExactlyOne) {
    const double c = std::cos(0.5235987755982988), s = std::sin(0.5235987755982988);
    Ring q;
    const double corner[4][2] = {{-2.5, -2.5}, {2.5, -2.5}, {2.5, 2.5}, {-2.5, 2.5}};
    for (const auto& k : corner)
        q.push_back({6 + k[0] * c - k[1] * s, 5 + k[0] * s + k[1] * c});
    const std::vector<double> grid = library_overlaps(q, NX, NY);
    int whole = 0;
    for (int j = 0; j < NY; ++j)
        for (int i = 0; i < NX; ++i) {
            const Ring px = {{double(i), double(j)},
                             {i + 1.0, double(j)},
                             {i + 1.0, j + 1.0},
                             {double(i), j + 1.0}};
            bool inside = true;
            for (const auto& p : px)
                inside = inside && overlap_reference::cross(q[0], q[1], p) >= 0 &&
                         overlap_reference::cross(q[1], q[2], p) >= 0 &&
                         overlap_reference::cross(q[2], q[3], p) >= 0 &&
                         overlap_reference::cross(q[3], q[0], p) >= 0;
            if (inside) {
                EXPECT_EQ(grid[static_cast<size_t>(j) * NX + i], 1.0) << i << "," << j;
                ++whole;
            }
        }
    EXPECT_GE(whole, 9);
    expect_all_routes_agree(q, "rotated square");
}

// A diamond centred on pixel (1, 1) that stays clear of the four corner pixels
// of its pixel range (its edges lie on x + y = 2.1 and the like, the corner
// pixel (0, 0) reaches x + y = 2): the corner pixels are not touched.
TEST(ScanlineOverlap, PixelsOfTheRangeWithoutOverlapAreNotTouched) {
    const double d[8] = {1.5, 0.6, 2.4, 1.5, 1.5, 2.4, 0.6, 1.5};
    std::vector<int16_t> mask(9, 0);
    mask_distribute_quad_short(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], 0x0004, mask.data(),
                               3, 3);
    const std::vector<int16_t> expected = {0, 4, 0, 4, 4, 4, 0, 4, 0};
    EXPECT_EQ(mask, expected);
}

// The benchmark's frame geometry: input pixels of a 1024 x 1024 frame rotated
// by 2 degrees about its centre and shifted by (3.3, -1.7) onto a 1084 x 1084
// grid, where coordinates reach 1084.  Each overlap is compared with the
// triangle clip done in coordinates relative to the pixel's corner.  Every
// other input pixel is made a concave dart, its third corner pulled in to 0.2
// of the way from the middle of the diagonal towards the first corner: the
// triangle of the other three corners (area 0.5) less a notch of 0.2 x 0.5,
// area 0.4.  Darts take the clip route.
TEST(ScanlineOverlap, RotatedFrameOverlapsAreExact) {
    constexpr int W = 1024, WO = 1084;
    const double th = 2.0 * std::acos(-1.0) / 180.0, c = std::cos(th), s = std::sin(th);
    const double cin = (W - 1) / 2.0, coutx = (WO - 1) / 2.0 + 3.3, couty = (WO - 1) / 2.0 - 1.7;
    std::vector<double> grid(static_cast<size_t>(WO) * WO, 0.0);
    std::mt19937 gen(1);
    std::uniform_int_distribution<int> pick(0, W - 1);
    for (int n = 0; n < 400; ++n) {
        const int x = n < 4 ? (n % 2) * (W - 1) : pick(gen),
                  y = n < 4 ? (n / 2) * (W - 1) : pick(gen);
        Ring q;
        const double off[4][2] = {{-0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}, {-0.5, 0.5}};
        for (const auto& o : off) {
            const double dx = x + o[0] - cin, dy = y + o[1] - cin;
            q.push_back({c * dx - s * dy + coutx + 0.5, s * dx + c * dy + couty + 0.5});
        }
        const bool dart = n % 2 == 1;
        if (dart)
            q[2] = {0.4 * (q[1].x + q[3].x) + 0.2 * q[0].x, 0.4 * (q[1].y + q[3].y) + 0.2 * q[0].y};
        distribute_quad(q[0].x, q[0].y, q[1].x, q[1].y, q[2].x, q[2].y, q[3].x, q[3].y, 1.0,
                        grid.data(), WO, WO);
        const int i0 = static_cast<int>(std::floor(q[0].x)) - 2,
                  j0 = static_cast<int>(std::floor(q[0].y)) - 2;
        double sum = 0;
        for (int j = j0; j < j0 + 5; ++j)
            for (int i = i0; i < i0 + 5; ++i) {
                double& a = grid[static_cast<size_t>(j) * WO + i];
                Ring local;
                for (const auto& p : q)
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
