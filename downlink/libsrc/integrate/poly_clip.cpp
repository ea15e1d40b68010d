// Clipping of a closed polygon against an axis-parallel window with integer
// corners, by the re-entrant method in its recursive point-at-a-time form: each
// point is pushed through the left, right, bottom and top edges in turn, and a
// closing pass joins the last point seen at each edge to the first one.
#include "integrate.h"

#include <cstdio>

namespace {

constexpr int MAX_WORKING_PTS = 256;
constexpr int NUM_EDGES = 4;
enum Edge { LEFT = 0, RIGHT = 1, BOTTOM = 2, TOP = 3 };

// Everything one clip needs, on the stack of clip_polygon.
struct ClipState {
    const int* wMin;
    const int* wMax;
    poly_point list[MAX_WORKING_PTS];
    int cnt;
    int first_seen[NUM_EDGES];
    poly_point first[NUM_EDGES];
    poly_point last[NUM_EDGES]; // the last point seen at each edge ("s")
};

// The window is closed: a point on its boundary is inside.
int inside(poly_point p, int edge, const int* wMin, const int* wMax) {
    switch (edge) {
    case LEFT:
        return !(p.x < static_cast<double>(wMin[0]));
    case RIGHT:
        return !(p.x > static_cast<double>(wMax[0]));
    case BOTTOM:
        return !(p.y < static_cast<double>(wMin[1]));
    case TOP:
        return !(p.y > static_cast<double>(wMax[1]));
    default:
        return 1;
    }
}

int cross(poly_point p1, poly_point p2, int edge, const int* wMin, const int* wMax) {
    return inside(p1, edge, wMin, wMax) != inside(p2, edge, wMin, wMax);
}

// Where the segment p1-p2 meets the line of the edge.  Only called for a
// segment that crosses the edge, so a vertical segment never meets a vertical
// edge and a horizontal one never meets a horizontal edge.
poly_point intersect(poly_point p1, poly_point p2, int edge, const int* wMin, const int* wMax) {
    const bool vertical = p1.x == p2.x;
    const double m = vertical ? 0.0 : (p1.y - p2.y) / (p1.x - p2.x);
    poly_point r;
    if (edge == LEFT || edge == RIGHT) {
        r.x = static_cast<double>(edge == LEFT ? wMin[0] : wMax[0]);
        r.y = p2.y + (r.x - p2.x) * m;
    } else {
        r.y = static_cast<double>(edge == BOTTOM ? wMin[1] : wMax[1]);
        r.x = vertical ? p2.x : p2.x + (r.y - p2.y) / m;
    }
    return r;
}

void print_window(const ClipState& st) {
    std::printf("ERROR values: wMin = [%4d,%4d]\n", st.wMin[0], st.wMin[1]);
    std::printf("ERROR values: wMax = [%4d,%4d]\n", st.wMax[0], st.wMax[1]);
}

// Appends q to the working list; on overflow reports it (naming the routine and
// the point it was called with), empties the list and returns false.
bool append_point(ClipState& st, poly_point q, const char* routine, const char* what,
                  poly_point reported) {
    if (st.cnt < MAX_WORKING_PTS) {
        st.list[st.cnt++] = q;
        return true;
    }
    std::printf("ERROR in %s: *cnt=%1d Exceeded MAX_WORKING_PTS=%1d\n", routine, st.cnt,
                MAX_WORKING_PTS);
    std::printf("ERROR values: %s = [%g,%g]\n", what, reported.x, reported.y);
    print_window(st);
    st.cnt = 0;
    return false;
}

void clipPoint(poly_point p, int edge, ClipState& st);

// Hands q on to the next edge, or to the working list after the top edge.
// Returns false when the list overflowed.
bool pass_on(poly_point q, int edge, poly_point called_with, ClipState& st) {
    if (edge < TOP) {
        clipPoint(q, edge + 1, st);
        return true;
    }
    return append_point(st, q, "clipPoint", "p   ", called_with);
}

void clipPoint(poly_point p, int edge, ClipState& st) {
    if (!st.first_seen[edge]) {
        st.first_seen[edge] = 1;
        st.first[edge] = p;
    } else if (cross(p, st.last[edge], edge, st.wMin, st.wMax)) {
        const poly_point iPt = intersect(p, st.last[edge], edge, st.wMin, st.wMax);
        if (!pass_on(iPt, edge, p, st))
            return;
    }
    st.last[edge] = p;
    if (inside(p, edge, st.wMin, st.wMax))
        pass_on(p, edge, p, st);
}

void closeClip(ClipState& st) {
    for (int edge = LEFT; edge <= TOP; ++edge) {
        if (!st.first_seen[edge] || !cross(st.last[edge], st.first[edge], edge, st.wMin, st.wMax))
            continue;
        const poly_point iPt = intersect(st.last[edge], st.first[edge], edge, st.wMin, st.wMax);
        if (edge < TOP)
            clipPoint(iPt, edge + 1, st);
        else if (!append_point(st, iPt, "closeClip", "iPt ", iPt))
            return;
    }
}

// True when the working list already ends where it starts.
bool closed(const ClipState& st) {
    return st.cnt > 1 && st.list[st.cnt - 1].x == st.list[0].x &&
           st.list[st.cnt - 1].y == st.list[0].y;
}

} // namespace

extern "C" int clip_polygon(const int wMin[2], const int wMax[2], const polygon* in, polygon* out) {
    // A length outside the record is refused rather than read past its end.
    if (in->len < 0 || in->len > INTEGRATE_MAX_POLY_PTS) {
        out->len = 0;
        return -1;
    }
    ClipState st;
    st.wMin = wMin;
    st.wMax = wMax;
    st.cnt = 0;
    for (int e = 0; e < NUM_EDGES; ++e)
        st.first_seen[e] = 0;
    for (int i = 0; i < in->len; ++i)
        clipPoint(in->pts[i], LEFT, st);
    closeClip(st);

    // The input's own closing point, when it lies inside, already closes the
    // result; otherwise the first point is repeated.  Either must fit.
    const int len = closed(st) ? st.cnt : st.cnt + 1;
    if (len > INTEGRATE_MAX_POLY_PTS) {
        out->len = 0;
        return -1;
    }
    if (st.cnt == 0) {
        out->len = 0;
        return 0;
    }
    for (int i = 0; i < st.cnt; ++i)
        out->pts[i] = st.list[i];
    out->pts[len - 1] = st.list[0];
    out->len = len;
    return 0;
}
