// Polygon areas and small geometric utilities, and the integration and
// distribution of values over pixel grids by the overlap area of a
// quadrilateral with each pixel.  Every member shares one overlap loop.
#include "integrate.h"
#include "integrate_version.h"
#include "nanvalue.h"

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Floor or ceiling already taken; converts without leaving the int range.
int saturate_to_int(double v) {
    if (!(v > static_cast<double>(INT_MIN)))
        return INT_MIN; // also a NaN
    if (v >= static_cast<double>(INT_MAX))
        return INT_MAX;
    return static_cast<int>(v);
}

int sign_of(double x) {
    if (x == 0.0)
        return 0;
    return x > 0.0 ? 1 : -1;
}

// 1 when the corners of the closed polygon turn consistently one way
// (collinear corners ignored).
int turns_one_way(const polygon* poly) {
    const int len = poly->len;
    if (len < 3)
        return 1;
    if (len > INTEGRATE_MAX_POLY_PTS)
        return 0;
    const poly_point* P = poly->pts;
    double prev_x = P[len - 1].x - P[len - 2].x;
    double prev_y = P[len - 1].y - P[len - 2].y;
    int turn = 0;
    for (int i = 0; i <= len - 2; ++i) {
        const double dx = P[i + 1].x - P[i].x;
        const double dy = P[i + 1].y - P[i].y;
        const int s = sign_of(prev_x * dy - prev_y * dx);
        if (s != 0) {
            if (turn == 0)
                turn = s;
            else if (s != turn)
                return 0;
        }
        prev_x = dx;
        prev_y = dy;
    }
    return 1;
}

int min4_floor(double a, double b, double c, double d) {
    double m = a;
    if (!(m < b))
        m = b;
    if (!(m < c))
        m = c;
    if (!(m < d))
        m = d;
    return saturate_to_int(std::floor(m));
}

int max4_ceil(double a, double b, double c, double d) {
    double m = a;
    if (!(m > b))
        m = b;
    if (!(m > c))
        m = c;
    if (!(m > d))
        m = d;
    return saturate_to_int(std::ceil(m));
}

struct Range {
    int xmin, xmax, ymin, ymax;
};

// The pixels that the quadrilateral of the first four points can touch,
// clamped to the grid; empty (min > max) off the grid or for a corner that is
// not finite.
Range pixel_range(const poly_point* P, int nx, int ny) {
    for (int k = 0; k < 4; ++k) {
        if (!std::isfinite(P[k].x) || !std::isfinite(P[k].y))
            return {0, -1, 0, -1}; // no meaningful pixel range
    }
    const long long x_lo = min4_floor(P[0].x, P[1].x, P[2].x, P[3].x);
    const long long y_lo = min4_floor(P[0].y, P[1].y, P[2].y, P[3].y);
    // A corner exactly on a pixel border does not add the pixel beyond it.
    long long x_hi = static_cast<long long>(max4_ceil(P[0].x, P[1].x, P[2].x, P[3].x)) - 1;
    long long y_hi = static_cast<long long>(max4_ceil(P[0].y, P[1].y, P[2].y, P[3].y)) - 1;
    if (x_hi >= nx)
        x_hi = static_cast<long long>(nx) - 1;
    if (y_hi >= ny)
        y_hi = static_cast<long long>(ny) - 1;
    Range g;
    g.xmin = x_lo < 0 ? 0 : static_cast<int>(x_lo);
    g.ymin = y_lo < 0 ? 0 : static_cast<int>(y_lo);
    g.xmax = x_hi < INT_MIN ? INT_MIN : static_cast<int>(x_hi);
    g.ymax = y_hi < INT_MIN ? INT_MIN : static_cast<int>(y_hi);
    return g;
}

// Shoelace area of the ring pts[0..m-1], from coordinates taken relative to
// (cx, cy).  Near the ring, the relative coordinates are small and the
// products lose nothing to the size of the absolute ones.
double ring_area(const poly_point* pts, int m, double cx = 0.0, double cy = 0.0) {
    if (m <= 0)
        return 0.0;
    // Each point is taken with the one before it, the first with the last.
    double sum = 0.0;
    double ax = pts[m - 1].x - cx, ay = pts[m - 1].y - cy;
    for (int k = 0; k < m; ++k) {
        const double bx = pts[k].x - cx, by = pts[k].y - cy;
        sum += ax * by - ay * bx;
        ax = bx;
        ay = by;
    }
    return 0.5 * std::fabs(sum);
}

double nan_from_library() {
    float f;
    std::memcpy(&f, &const_nan_float, sizeof f);
    return static_cast<double>(f);
}

struct Quad {
    double x1, y1, x2, y2, x3, y3, x4, y4;
};

// The closed quadrilateral: len 5, corner 1 repeated.
polygon closed_quad(const Quad& q) {
    polygon poly;
    poly.len = 5;
    poly.pts[0] = {q.x1, q.y1};
    poly.pts[1] = {q.x2, q.y2};
    poly.pts[2] = {q.x3, q.y3};
    poly.pts[3] = {q.x4, q.y4};
    poly.pts[4] = {q.x1, q.y1};
    return poly;
}

std::size_t pixel_index(int i, int j, int nx) {
    return static_cast<std::size_t>(j) * static_cast<std::size_t>(nx) + static_cast<std::size_t>(i);
}

// The straightforward overlap loop: clips the quadrilateral against every pixel
// of its pixel range with clip_polygon and calls visit(p, a) with the area a of
// each result, p = j * nx + i.
template <typename Visit>
void overlaps_by_clipping(const polygon& quad, int xmin, int xmax, int ymin, int ymax, int nx,
                          Visit visit) {
    polygon clipped;
    for (int j = ymin; j <= ymax; ++j) {
        for (int i = xmin; i <= xmax; ++i) {
            const int wMin[2] = {i, j};
            const int wMax[2] = {i + 1, j + 1};
            clip_polygon(wMin, wMax, &quad, &clipped);
            // The area_poly rule, taken about the pixel's corner.
            const double a = clipped.len <= 1 ? 0.0 : ring_area(clipped.pts, clipped.len - 1, i, j);
            visit(pixel_index(i, j, nx), a);
        }
    }
}

// ---- Scanline overlaps of a convex quadrilateral ----
//
// The quadrilateral, moved to a local frame whose origin is the integer corner
// of its pixel range, is cut once per pixel row to the row's strip, and the
// strip once per pixel column to the pixel; each cut is one pass over the
// points against one line.  Every cut keeps the part on one side of a line
// (the line itself included) and at most doubles the number of points, so a
// quadrilateral needs 8 after one cut, 16 after two (the strip) and 64 after
// four (the pixel).  Pixels that lie wholly inside the quadrilateral are found
// per row and get the area 1 without a cut.

constexpr int RING_CAPACITY = 64;

struct Ring {
    int n;
    poly_point p[RING_CAPACITY];
};

template <bool ALONG_X> double coord(const poly_point& q) {
    return ALONG_X ? q.x : q.y;
}

// The point of segment a-b whose coordinate along the axis is c; only called
// for a segment with a and b strictly on opposite sides of c.
template <bool ALONG_X> poly_point cut_point(const poly_point& a, const poly_point& b, double c) {
    if (ALONG_X)
        return {c, a.y + (c - a.x) * (b.y - a.y) / (b.x - a.x)};
    return {a.x + (c - a.y) * (b.x - a.x) / (b.y - a.y), c};
}

// Keeps the part of ring in with coordinate >= c (KEEP_HIGH) or <= c.
template <bool ALONG_X, bool KEEP_HIGH> void cut(const Ring& in, double c, Ring& out) {
    out.n = 0;
    if (in.n == 0)
        return;
    poly_point a = in.p[in.n - 1];
    double da = KEEP_HIGH ? coord<ALONG_X>(a) - c : c - coord<ALONG_X>(a);
    for (int k = 0; k < in.n; ++k) {
        const poly_point b = in.p[k];
        const double db = KEEP_HIGH ? coord<ALONG_X>(b) - c : c - coord<ALONG_X>(b);
        if ((da < 0.0 && db > 0.0) || (da > 0.0 && db < 0.0))
            out.p[out.n++] = cut_point<ALONG_X>(a, b, c);
        if (db >= 0.0)
            out.p[out.n++] = b;
        a = b;
        da = db;
    }
}

struct Extent {
    double lo, hi;
};

template <bool ALONG_X> Extent extent_of(const Ring& r) {
    Extent e{coord<ALONG_X>(r.p[0]), coord<ALONG_X>(r.p[0])};
    for (int k = 1; k < r.n; ++k) {
        const double v = coord<ALONG_X>(r.p[k]);
        e.lo = v < e.lo ? v : e.lo;
        e.hi = v > e.hi ? v : e.hi;
    }
    return e;
}

// The part of ring r between the lines c and c + 1 of the axis; cuts only where
// the ring reaches past a line.  Returns r itself or one of the two buffers.
template <bool ALONG_X>
const Ring& band(const Ring& r, Extent e, double c, Ring& buf1, Ring& buf2) {
    const Ring* cur = &r;
    if (e.lo < c) {
        cut<ALONG_X, true>(*cur, c, buf1);
        cur = &buf1;
    }
    if (e.hi > c + 1.0) {
        cut<ALONG_X, false>(*cur, c + 1.0, buf2);
        cur = &buf2;
    }
    return *cur;
}

// Columns [lo, hi] (local) whose whole pixel in the strip from y = r to r + 1
// lies inside the convex strip ring: a pixel is inside when its lower and
// upper edges lie on the ring's own cuts along y = r and y = r + 1.  Empty
// (lo > hi) when the ring does not reach both lines.
struct Span {
    double lo, hi;
};

Span full_columns(const Ring& strip, double r) {
    Span bottom{HUGE_VAL, -HUGE_VAL}, top{HUGE_VAL, -HUGE_VAL};
    for (int k = 0; k < strip.n; ++k) {
        const poly_point& q = strip.p[k];
        Span* s = q.y == r ? &bottom : (q.y == r + 1.0 ? &top : nullptr);
        if (s != nullptr) {
            s->lo = q.x < s->lo ? q.x : s->lo;
            s->hi = q.x > s->hi ? q.x : s->hi;
        }
    }
    const double left = bottom.lo > top.lo ? bottom.lo : top.lo;
    const double right = bottom.hi < top.hi ? bottom.hi : top.hi;
    return {std::ceil(left), std::floor(right) - 1.0};
}

// Visits the pixels of one row strip: columns of the clamped range that the
// strip reaches, area 1 for whole pixels, a cut to the pixel for the others.
template <typename Visit>
void row_overlaps(const Ring& strip, int j, const Range& g, bool find_full, int nx, Visit& visit) {
    const double r = j - g.ymin;
    const Extent ex = extent_of<true>(strip);
    const double first = std::floor(ex.lo), last = std::ceil(ex.hi) - 1.0;
    const double lo = first > 0.0 ? first : 0.0;
    const double hi = last < g.xmax - g.xmin ? last : g.xmax - g.xmin;
    const Span full = find_full ? full_columns(strip, r) : Span{1.0, 0.0};
    Ring buf1, buf2;
    for (double c = lo; c <= hi; c += 1.0) {
        const int i = g.xmin + static_cast<int>(c);
        if (c >= full.lo && c <= full.hi) {
            visit(pixel_index(i, j, nx), 1.0);
            continue;
        }
        const Ring& piece = band<true>(strip, ex, c, buf1, buf2);
        if (piece.n < 3)
            continue;
        const double a = ring_area(piece.p, piece.n, c, r);
        if (a != 0.0)
            visit(pixel_index(i, j, nx), a);
    }
}

// Overlaps of a quadrilateral whose corners turn one way, on the clamped
// pixel range g (not empty); calls visit(p, a) for the pixels with a != 0.
template <typename Visit>
void overlaps_by_scanlines(const polygon& quad, const Range& g, int nx, Visit visit) {
    Ring local;
    local.n = 4;
    for (int k = 0; k < 4; ++k)
        local.p[k] = {quad.pts[k].x - g.xmin, quad.pts[k].y - g.ymin};
    const Extent ey = extent_of<false>(local);
    // A quadrilateral that holds a whole pixel is larger than it, or is that
    // pixel and is measured exactly without the search.
    const bool find_full = ring_area(local.p, 4) > 1.0 + 1e-9;
    Ring buf1, buf2;
    for (int j = g.ymin; j <= g.ymax; ++j) {
        const Ring& strip = band<false>(local, ey, j - g.ymin, buf1, buf2);
        if (strip.n >= 3)
            row_overlaps(strip, j, g, find_full, nx, visit);
    }
}

// The scanline route multiplies coordinate differences: it holds corners up
// to 2^500 in magnitude, whose products stay far from overflow.
bool scanline_range(const Quad& q) {
    constexpr double limit = 0x1p500;
    const double c[8] = {q.x1, q.y1, q.x2, q.y2, q.x3, q.y3, q.x4, q.y4};
    bool held = true;
    for (double v : c)
        held = held && std::fabs(v) <= limit;
    return held;
}

double cross(double ax, double ay, double bx, double by) {
    return ax * by - ay * bx;
}

// A quadrilateral without area: opposite corners equal (two segments traced
// out and back) or all four corners on one line.
bool zero_area(const Quad& q) {
    if ((q.x1 == q.x3 && q.y1 == q.y3) || (q.x2 == q.x4 && q.y2 == q.y4))
        return true;
    const double ux = q.x2 - q.x1, uy = q.y2 - q.y1;
    const double vx = q.x3 - q.x1, vy = q.y3 - q.y1;
    const double wx = q.x4 - q.x1, wy = q.y4 - q.y1;
    return cross(ux, uy, vx, vy) == 0.0 && cross(ux, uy, wx, wy) == 0.0 &&
           cross(vx, vy, wx, wy) == 0.0;
}

// The overlap loop shared by every member: visits the pixels of the
// quadrilateral's pixel range with their overlap areas (pixels left out have
// no overlap; a quadrilateral without area overlaps nothing).  Quadrilaterals
// whose corners turn one way take the scanline route when their coordinates
// are in its range; crossed and concave ones, and the others, are clipped
// pixel by pixel.  Nothing is allocated.
template <typename Visit> void for_each_overlap(const Quad& q, int nx, int ny, Visit visit) {
    const polygon quad = closed_quad(q);
    const Range g = pixel_range(quad.pts, nx, ny);
    if (g.xmin > g.xmax || g.ymin > g.ymax || zero_area(q))
        return;
    if (scanline_range(q) && turns_one_way(&quad))
        overlaps_by_scanlines(quad, g, nx, visit);
    else
        overlaps_by_clipping(quad, g.xmin, g.xmax, g.ymin, g.ymax, nx, visit);
}

// Area-weighted sum of one image with NaN pixels left out.
struct WeightedSum {
    double sum = 0.0;
    double area = 0.0;
    double area2 = 0.0;
    double var = 0.0;
    long overlapped = 0; // pixels with a > 0
    long nan_count = 0;  // of those, pixels whose value is NaN

    // Returns true when the value was a number and was added.
    bool add(double a, double v) {
        ++overlapped;
        if (iznand(v)) {
            ++nan_count;
            return false;
        }
        sum += a * v;
        area += a;
        area2 += a * a;
        return true;
    }
    bool all_nan() const { return overlapped > 0 && nan_count == overlapped; }
    double result(double nan_value) const { return all_nan() ? nan_value : sum; }
};

} // namespace

extern "C" {

polygon stuff_four(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                   double y4) {
    return closed_quad({x1, y1, x2, y2, x3, y3, x4, y4});
}

double area_poly(const polygon* poly) {
    if (poly->len <= 1 || poly->len > INTEGRATE_MAX_POLY_PTS)
        return 0.0;
    return ring_area(poly->pts, poly->len - 1);
}

double area_poly1(const poly_point* pts, int n) {
    if (n <= 0)
        return 0.0;
    return ring_area(pts, n);
}

void print_poly(const polygon* poly) {
    const int len = poly->len;
    std::printf("Closed Poly of %1d pts: ", len);
    if (len > 100 || len < 0) {
        std::printf("ERROR in print_poly: poly->len=%1d   Exiting routine.\n\n", len);
        return;
    }
    for (int i = 0; i < len; ++i)
        std::printf("[%5.3f %5.3f] ", poly->pts[i].x, poly->pts[i].y);
    std::printf("\n");
    if (len != 0 &&
        (poly->pts[len - 1].x != poly->pts[0].x || poly->pts[len - 1].y != poly->pts[0].y)) {
        std::printf("ERROR in print_poly: poly->len=%1d   \n\n", len);
        std::printf("ERROR: POLY NOT CLOSED! Exiting routine.\n\n");
    }
}

int sign(double x) {
    return sign_of(x);
}

int verify_cyclical(const polygon* poly) {
    return turns_one_way(poly);
}

int rmin4floor(double a, double b, double c, double d) {
    return min4_floor(a, b, c, d);
}

int rmax4ceil(double a, double b, double c, double d) {
    return max4_ceil(a, b, c, d);
}

void bounding_rect(const polygon* poly, int* xmin, int* xmax, int* ymin, int* ymax, int nx,
                   int ny) {
    const Range g = pixel_range(poly->pts, nx, ny);
    *xmin = g.xmin;
    *xmax = g.xmax;
    *ymin = g.ymin;
    *ymax = g.ymax;
}

const char* integrate_name(void) {
    return "integrate (library)";
}

const char* integrate_version(void) {
    return INTEGRATE_VERSION_TEXT;
}

double integrate_quad(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                      double y4, const double* image, int nx, int ny, double* area) {
    WeightedSum w;
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a > 0.0)
            w.add(a, image[p]);
    });
    *area = w.area;
    return w.result(nan_from_library());
}

double integrate_quad_2(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                        double y4, const double* value, const double* sigma, int nx, int ny,
                        double* area, double* area2, double* sigma_out) {
    WeightedSum w;
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a > 0.0 && w.add(a, value[p]))
            w.var += a * a * sigma[p] * sigma[p];
    });
    *area = w.area;
    *area2 = w.area2;
    *sigma_out = std::sqrt(w.var);
    return w.result(nan_from_library());
}

double integrate_quad_3(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                        double y4, const double* value, const double* sigma, const int16_t* mask,
                        int /*unused*/, int nx, int ny, double* area, double* area2,
                        double* sigma_out, int16_t* mask_out) {
    WeightedSum w;
    int16_t m = 0;
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (!(a > 0.0))
            return;
        m = static_cast<int16_t>(m | mask[p]);
        if (w.add(a, value[p]))
            w.var += a * a * sigma[p] * sigma[p];
    });
    *area = w.area;
    *area2 = w.area2;
    *sigma_out = std::sqrt(w.var);
    *mask_out = m;
    return w.result(nan_from_library());
}

void integrate_two_quad(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                        double y4, const double* image1, const double* image2, double* sum1,
                        double* sum2, int nx, int ny, double* area1, double* area2) {
    *sum1 = *sum2 = *area1 = *area2 = 0.0;
    WeightedSum w1, w2;
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (!(a > 0.0))
            return;
        if (w1.add(a, image1[p])) {
            *sum1 += a * image1[p];
            *area1 += a;
        }
        if (w2.add(a, image2[p])) {
            *sum2 += a * image2[p];
            *area2 += a;
        }
    });
    const double nan_value = std::strtod("NaN", nullptr);
    if (w1.all_nan())
        *sum1 = nan_value;
    if (w2.all_nan())
        *sum2 = nan_value;
}

void distribute_quad(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                     double y4, double value, double* image, int nx, int ny) {
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a != 0.0)
            image[p] += a * value;
    });
}

void distribute_quad_2(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                       double y4, double value1, double value2, double* image1, double* image2,
                       int nx, int ny) {
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a == 0.0)
            return;
        image1[p] += a * value1;
        image2[p] += a * value2;
    });
}

void distribute_two_quad(double x1, double y1, double x2, double y2, double x3, double y3,
                         double x4, double y4, double value1, double* image1, double value2,
                         double* image2, int nx, int ny) {
    distribute_quad_2(x1, y1, x2, y2, x3, y3, x4, y4, value1, value2, image1, image2, nx, ny);
}

// Each pixel's overlap is applied to all n images in turn; the per-element
// result equals that of a loop over the images outside the pixel loop, without
// clipping every pixel n times.
void distribute_quad_n(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                       double y4, const double* values, double** images, int n, int nx, int ny) {
    if (n < 1)
        return;
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a == 0.0)
            return;
        for (int k = 0; k < n; ++k)
            images[k][p] += a * values[k];
    });
}

void distribute_quad_n_1D(double x1, double y1, double x2, double y2, double x3, double y3,
                          double x4, double y4, const double* values, double* cube, int n, int nx,
                          int ny) {
    if (n < 1)
        return;
    const std::size_t plane = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a == 0.0)
            return;
        for (int k = 0; k < n; ++k)
            cube[static_cast<std::size_t>(k) * plane + p] += a * values[k];
    });
}

void distribute_quad_BB(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                        double y4, double value1, double value2, double* image1, double* image2,
                        int nx, int ny, double* area_image, double* id_image, int id) {
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a == 0.0)
            return;
        image1[p] += a * value1;
        image2[p] += a * value2;
        area_image[p] += a;
        id_image[p] = static_cast<double>(id);
    });
}

void unweighted_distribute_quad(double x1, double y1, double x2, double y2, double x3, double y3,
                                double x4, double y4, double value, double* image, int nx, int ny) {
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a != 0.0)
            image[p] = value;
    });
}

void mask_distribute_quad_short(double x1, double y1, double x2, double y2, double x3, double y3,
                                double x4, double y4, int16_t mask, int16_t* image, int nx,
                                int ny) {
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a != 0.0)
            image[p] = static_cast<int16_t>(image[p] | mask);
    });
}

void mask_distribute_quad_int(double x1, double y1, double x2, double y2, double x3, double y3,
                              double x4, double y4, int32_t mask, int32_t* image, int nx, int ny) {
    for_each_overlap({x1, y1, x2, y2, x3, y3, x4, y4}, nx, ny, [&](std::size_t p, double a) {
        if (a != 0.0)
            image[p] |= mask;
    });
}

} // extern "C"
