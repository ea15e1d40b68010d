// Per-pixel overlaps of the overlap loop, whatever route it takes (scanlines for
// quadrilaterals whose corners turn one way, whole pixels, clipping pixel by pixel for crossed
// and concave ones), agree to 1e-12 with an independent clip of each pixel square by the
// quadrilateral's triangles, written here with vectors of points.  Every member that integrates or
// distributes gives, from those overlaps, the weighted sums over grids of random values (with
// NaN pixels); pixels wholly inside a convex quadrilateral get exactly 1.
#include "integrate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using Pt = poly_point;
using Ring = std::vector<Pt>;

double cross(Pt o, Pt a, Pt b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Area of the rectangle [x0,x1] x [y0,y1] inside the convex polygon `hull` (corners in order,
// either way round): the rectangle cut by the inner side of each edge, then its fan area.
double overlap_by_half_planes(const Ring& hull, double x0, double y0, double x1, double y1) {
    Ring r = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
    const double orient = cross(hull[0], hull[1], hull[2]) > 0 ? 1.0 : -1.0;
    for (std::size_t k = 0; k < hull.size() && !r.empty(); ++k) {
        const Pt a = hull[k], b = hull[(k + 1) % hull.size()];
        Ring out;
        for (std::size_t i = 0; i < r.size(); ++i) {
            const Pt p = r[i], q = r[(i + 1) % r.size()];
            const double sp = orient * cross(a, b, p), sq = orient * cross(a, b, q);
            if (sp >= 0)
                out.push_back(p);
            if ((sp < 0 && sq > 0) || (sp > 0 && sq < 0))
                out.push_back(
                    {p.x + sp / (sp - sq) * (q.x - p.x), p.y + sp / (sp - sq) * (q.y - p.y)});
        }
        r = out;
    }
    double twice = 0;
    for (std::size_t i = 1; i + 1 < r.size(); ++i)
        twice += cross(r[0], r[i], r[i + 1]);
    return 0.5 * std::fabs(twice);
}

// Overlap of any quadrilateral with the rectangle: its triangles q0 q1 q2 and q0 q2 q3 signed
// by their turn, the sum unsigned: the area of simple quadrilaterals, concave ones included;
// a crossed one's lobes count with opposite signs.
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

#define QUAD(q) q[0].x, q[0].y, q[1].x, q[1].y, q[2].x, q[2].y, q[3].x, q[3].y
constexpr int NX = 12, NY = 10, N = NX * NY;
constexpr double TOL = 1e-12;

// Checks every pixel of the NX x NY grid and every member against those overlaps.
void expect_routes_agree(const Ring& q, const std::string& what, std::mt19937& gen) {
    std::vector<double> a(N, 0.0), v(N), s(N), w(N), b(N), c(2 * N), d(N, 5), e(N, 5), id(N, 3);
    std::vector<int16_t> m(N), m16(N, 1);
    std::vector<int32_t> m32(N, 1 << 20);
    distribute_quad(QUAD(q), 1.0, a.data(), NX, NY);
    // Of v and w: the weighted sum, area, sum of squared areas and variance over the
    // overlapped pixels that are numbers (a NaN sum when there are none), their mask bits.
    double sums[2][4] = {};
    bool overlapped = false, number[2] = {false, false};
    int16_t mask = 0;
    for (int p = 0; p < N; ++p) {
        const int i = p % NX, j = p / NX;
        const double want = winding_overlap(q, i, j, i + 1, j + 1); // 1: a whole pixel, exactly
        ASSERT_TRUE(std::fabs(a[p] - want) < TOL && (want != 1.0 || a[p] == 1.0))
            << what << " pixel " << p << ": " << a[p] << " instead of " << want;
        v[p] = gen() % 7 == 0 ? NAN : double(gen() % 100) / 8 - 5;
        w[p] = gen() % 3 == 0 ? NAN : double(gen() % 10);
        s[p] = double(gen() % 16) / 4;
        m[p] = int16_t(1 << (gen() % 15));
        if (!(a[p] > 0))
            continue;
        overlapped = true;
        mask |= m[p];
        for (int k = 0; k < 2; ++k) {
            const double x = k == 0 ? v[p] : w[p], aa = a[p] * a[p];
            if (!std::isnan(x))
                sums[k][0] += a[p] * x, sums[k][1] += a[p], sums[k][2] += aa,
                    sums[k][3] += aa * s[p] * s[p], number[k] = true;
        }
    }
    for (int k = 0; k < 2; ++k)
        sums[k][0] = overlapped && !number[k] ? NAN : sums[k][0];
    const double* x = sums[0];
    const double sigma = std::sqrt(x[3]),
                 want[14] = {x[0],  x[1], x[2], sigma, x[0],       x[1], x[2],
                             sigma, x[0], x[1], x[0],  sums[1][0], x[1], sums[1][1]};
    double r[14];
    int16_t got_mask = 0;
    r[0] = integrate_quad_3(QUAD(q), v.data(), s.data(), m.data(), 0, NX, NY, &r[1], &r[2], &r[3],
                            &got_mask);
    r[4] = integrate_quad_2(QUAD(q), v.data(), s.data(), NX, NY, &r[5], &r[6], &r[7]);
    r[8] = integrate_quad(QUAD(q), v.data(), NX, NY, &r[9]);
    integrate_two_quad(QUAD(q), v.data(), w.data(), &r[10], &r[11], NX, NY, &r[12], &r[13]);
    for (int k = 0; k < 14; ++k)
        EXPECT_TRUE(std::isnan(want[k]) ? std::isnan(r[k]) : std::fabs(r[k] - want[k]) < 1e-10)
            << what << " result " << k << ": " << r[k] << " instead of " << want[k];
    EXPECT_EQ(got_mask, mask) << what;
    // Distribution: values 2 and -3 onto images, a cube, an area and an identity image.
    const double values[2] = {2, -3};
    double* pair[2] = {b.data(), b.data()};
    distribute_quad_n(QUAD(q), values, pair, 2, NX, NY);
    distribute_two_quad(QUAD(q), 2, b.data(), -3, b.data(), NX, NY);
    distribute_quad_n_1D(QUAD(q), values, c.data(), 2, NX, NY);
    distribute_quad_BB(QUAD(q), 2, -3, d.data(), d.data(), NX, NY, e.data(), id.data(), 7);
    unweighted_distribute_quad(QUAD(q), 9, s.data(), NX, NY);
    mask_distribute_quad_short(QUAD(q), 4, m16.data(), NX, NY);
    mask_distribute_quad_int(QUAD(q), 4, m32.data(), NX, NY);
    for (int p = 0; p < N; ++p) {
        const bool on = a[p] != 0;
        EXPECT_TRUE(std::fabs(b[p] + 2 * a[p]) < TOL && std::fabs(c[p] - 2 * a[p]) < TOL &&
                    std::fabs(c[N + p] + 3 * a[p]) < TOL && std::fabs(d[p] - 5 + a[p]) < TOL &&
                    std::fabs(e[p] - 5 - a[p]) < TOL && id[p] == (on ? 7 : 3) &&
                    (s[p] == 9) == on && m16[p] == (on ? 5 : 1) &&
                    m32[p] == (1 << 20 | (on ? 4 : 0)))
            << what << " pixel " << p;
    }
}

// Quadrilaterals of every turning: four corners drawn independently in a box (convex, concave
// and crossed ones of every size, part of them off the grid); corners on pixel borders and
// half-pixel points made degenerate (repeated corners, four corners on one line, a point);
// hairline slivers at small angles to the grid.
TEST(OverlapProperty, QuadrilateralsOfEveryTurningDegenerateOnesAndSlivers) {
    std::mt19937 gen(4242);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int n = 0; n < 1600; ++n) {
        Ring q(4);
        if (n < 900) {
            const double cx = 1 + (NX - 2) * u(gen), cy = 1 + (NY - 2) * u(gen);
            const double size = n % 3 == 0 ? 0.6 : (n % 3 == 1 ? 2.5 : 7.0);
            for (Pt& p : q)
                p = {cx + size * (2.5 * u(gen) - 1.5), cy + size * (2.5 * u(gen) - 1.5)};
        } else if (n < 1300) {
            for (Pt& p : q)
                p = {0.5 * (2 + gen() % 17), 0.5 * (2 + gen() % 17)};
            if (n % 4 == 1)
                q[2] = q[1];
            if (n % 4 == 2)
                q[2] = {0.5 * (q[0].x + q[1].x), 0.5 * (q[0].y + q[1].y)},
                q[3] = {2 * q[1].x - q[0].x, 2 * q[1].y - q[0].y};
            if (n % 4 == 3)
                q[1] = q[2] = q[3] = q[0];
        } else {
            const double x0 = 1 + 3 * u(gen), y0 = 1 + 3 * u(gen), dx = 6 * u(gen);
            const double dy = (n % 2 ? 1e-9 : 0.05) * u(gen), w = n % 3 ? 1e-3 * u(gen) : 1e-12;
            q = {{x0, y0}, {x0 + dx, y0 + dy}, {x0 + dx - w, y0 + dy + w}, {x0 - w, y0 + w}};
        }
        expect_routes_agree(q, "quad " + std::to_string(n), gen);
    }
}

} // namespace
