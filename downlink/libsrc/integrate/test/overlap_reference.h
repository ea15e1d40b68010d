// Independent overlap areas for the libintegrate tests.  The library clips the
// quadrilateral by the pixel; these clip the pixel square by the half-planes of
// the quadrilateral's edges (convex quadrilaterals) or of the two triangles of
// a fan from the first corner (any quadrilateral), with vectors of points.
// Also the library's own per-pixel overlaps of a quadrilateral, for comparison.
#ifndef INTEGRATE_TEST_OVERLAP_REFERENCE_H
#define INTEGRATE_TEST_OVERLAP_REFERENCE_H

#include "integrate.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace overlap_reference {

struct Pt {
    double x, y;
};
using Ring = std::vector<Pt>;

inline double cross(Pt o, Pt a, Pt b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Area of a convex ring, as a fan of triangles from the first point.
inline double fan_area(const Ring& r) {
    double twice = 0;
    for (std::size_t i = 1; i + 1 < r.size(); ++i)
        twice += cross(r[0], r[i], r[i + 1]);
    return 0.5 * std::fabs(twice);
}

// Keeps the part of `subject` on the inner side of the directed line a->b
// (inner = left for orient = +1, right for orient = -1).
inline Ring keep_inner(const Ring& subject, Pt a, Pt b, double orient) {
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
inline double overlap_by_half_planes(const Ring& hull, double x0, double y0, double x1, double y1) {
    Ring r = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
    const double orient = cross(hull[0], hull[1], hull[2]) > 0 ? 1.0 : -1.0;
    for (std::size_t k = 0; k < hull.size() && !r.empty(); ++k)
        r = keep_inner(r, hull[k], hull[(k + 1) % hull.size()], orient);
    return r.size() < 3 ? 0.0 : fan_area(r);
}

// Area of the rectangle inside triangle abc, signed by the triangle's turn
// (0 for a flat triangle).
inline double signed_triangle_overlap(Pt a, Pt b, Pt c, double x0, double y0, double x1,
                                      double y1) {
    const double turn = cross(a, b, c), area = overlap_by_half_planes({a, b, c}, x0, y0, x1, y1);
    return turn == 0 ? 0.0 : (turn > 0 ? area : -area);
}

// Overlap of any quadrilateral with the rectangle, each point counted as often
// as the outline winds round it, and the total taken unsigned: the area of
// simple quadrilaterals, concave ones included; the two lobes of a crossed one
// count with opposite signs.
inline double winding_overlap(const Ring& q, double x0, double y0, double x1, double y1) {
    return std::fabs(signed_triangle_overlap(q[0], q[1], q[2], x0, y0, x1, y1) +
                     signed_triangle_overlap(q[0], q[2], q[3], x0, y0, x1, y1));
}

// The four corners of a quadrilateral as the library's eight coordinates.
#define QUAD_CORNERS(q) q[0].x, q[0].y, q[1].x, q[1].y, q[2].x, q[2].y, q[3].x, q[3].y

// Per-pixel overlaps as the library finds them: value 1 spread onto zeros.
inline std::vector<double> library_overlaps(const Ring& q, int nx, int ny) {
    std::vector<double> grid(static_cast<std::size_t>(nx) * ny, 0.0);
    distribute_quad(QUAD_CORNERS(q), 1.0, grid.data(), nx, ny);
    return grid;
}

} // namespace overlap_reference

#endif
