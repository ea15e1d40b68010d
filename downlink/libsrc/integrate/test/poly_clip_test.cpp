// Clipping of closed polygons against closed integer windows.
#include "integrate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

const int kUnitMin[2] = {0, 0};
const int kUnitMax[2] = {1, 1};

polygon closed(std::initializer_list<poly_point> pts) {
    polygon p;
    p.len = 0;
    for (const poly_point& q : pts)
        p.pts[p.len++] = q;
    p.pts[p.len++] = *pts.begin();
    return p;
}

bool has_point(const polygon& p, double x, double y) {
    for (int i = 0; i < p.len; ++i)
        if (p.pts[i].x == x && p.pts[i].y == y)
            return true;
    return false;
}

bool is_closed(const polygon& p) {
    return p.len > 0 && p.pts[0].x == p.pts[p.len - 1].x && p.pts[0].y == p.pts[p.len - 1].y;
}

TEST(PolyClip, BoundaryPointsCountAsInside) {
    const polygon sq = closed({{0, 0}, {1, 0}, {1, 1}, {0, 1}});
    polygon out;
    EXPECT_EQ(clip_polygon(kUnitMin, kUnitMax, &sq, &out), 0);
    ASSERT_TRUE(is_closed(out));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(has_point(out, sq.pts[i].x, sq.pts[i].y)) << "corner " << i;
    EXPECT_DOUBLE_EQ(area_poly(&out), 1.0);
}

TEST(PolyClip, SquareOverlappingCornerKeepsQuarter) {
    const polygon sq = closed({{0.5, 0.5}, {1.5, 0.5}, {1.5, 1.5}, {0.5, 1.5}});
    polygon out;
    clip_polygon(kUnitMin, kUnitMax, &sq, &out);
    ASSERT_TRUE(is_closed(out));
    EXPECT_TRUE(has_point(out, 0.5, 0.5));
    EXPECT_TRUE(has_point(out, 1.0, 0.5));
    EXPECT_TRUE(has_point(out, 1.0, 1.0));
    EXPECT_TRUE(has_point(out, 0.5, 1.0));
    for (int i = 0; i < out.len; ++i) {
        EXPECT_GE(out.pts[i].x, 0.5);
        EXPECT_LE(out.pts[i].x, 1.0);
        EXPECT_GE(out.pts[i].y, 0.5);
        EXPECT_LE(out.pts[i].y, 1.0);
    }
    EXPECT_DOUBLE_EQ(area_poly(&out), 0.25);
}

TEST(PolyClip, NothingLeftGivesEmptyResult) {
    const polygon left = closed({{-3, 0}, {-1, 0}, {-1, 1}, {-3, 1}});
    polygon out;
    out.len = 42;
    clip_polygon(kUnitMin, kUnitMax, &left, &out);
    EXPECT_EQ(out.len, 0);

    polygon empty;
    empty.len = 0;
    out.len = 42;
    EXPECT_EQ(clip_polygon(kUnitMin, kUnitMax, &empty, &out), 0);
    EXPECT_EQ(out.len, 0);
}

TEST(PolyClip, VerticalSegmentIsCutAtItsOwnX) {
    const polygon seg = closed({{0.3, -1.0}, {0.3, 0.5}});
    polygon out;
    clip_polygon(kUnitMin, kUnitMax, &seg, &out);
    ASSERT_GT(out.len, 0);
    EXPECT_TRUE(has_point(out, 0.3, 0.0));
    EXPECT_TRUE(has_point(out, 0.3, 0.5));
    for (int i = 0; i < out.len; ++i)
        EXPECT_EQ(out.pts[i].x, 0.3);
}

TEST(PolyClip, SlantedEdgeMeetsWindowOnItsLine) {
    // The edge from (-1, 0) to (1, 2) meets x = 0 at y = 1 and y = 0 at x = -1.
    const polygon tri = closed({{-1, 0}, {1, 2}, {1, 0}});
    polygon out;
    const int wMin[2] = {0, 0}, wMax[2] = {2, 2};
    clip_polygon(wMin, wMax, &tri, &out);
    EXPECT_TRUE(has_point(out, 0.0, 1.0));
    EXPECT_TRUE(has_point(out, 0.0, 0.0));
    EXPECT_DOUBLE_EQ(area_poly(&out), 1.5); // (1 + 2) / 2 trapezoid of width 1
}

TEST(PolyClip, InputAndOutputMayBeTheSameRecord) {
    polygon sq = closed({{0.5, 0.5}, {1.5, 0.5}, {1.5, 1.5}, {0.5, 1.5}});
    clip_polygon(kUnitMin, kUnitMax, &sq, &sq);
    EXPECT_DOUBLE_EQ(area_poly(&sq), 0.25);
}

// A length outside 0..101 is refused without reading past the record (the
// record sits alone on the heap so that the sanitizer build would catch it).
TEST(PolyClipLimits, LengthOutsideRecordIsRefused) {
    polygon* in = new polygon(closed({{0, 0}, {1, 0}, {1, 1}}));
    polygon out;
    for (int len : {-1, -1000, INTEGRATE_MAX_POLY_PTS + 1, 100000}) {
        in->len = len;
        out.len = 42;
        EXPECT_EQ(clip_polygon(kUnitMin, kUnitMax, in, &out), -1) << len;
        EXPECT_EQ(out.len, 0) << len;
    }
    delete in;
}

// 100 points alternating left of and inside the window: 50 inside points and
// 100 edge crossings make 150 points, more than the output record holds.
TEST(PolyClipLimits, ResultTooLargeForRecordIsNotWritten) {
    struct Guarded {
        polygon out;
        double guard[512];
    };
    Guarded* g = new Guarded;
    for (double& v : g->guard)
        v = -7.0;
    polygon in;
    in.len = INTEGRATE_MAX_POLY_PTS;
    for (int i = 0; i < 100; ++i)
        in.pts[i] = {(i % 2) ? 0.5 : -1.0, 0.01 * i};
    in.pts[100] = in.pts[0];
    EXPECT_EQ(clip_polygon(kUnitMin, kUnitMax, &in, &g->out), -1);
    EXPECT_EQ(g->out.len, 0);
    for (double v : g->guard)
        ASSERT_EQ(v, -7.0);
    delete g;
}

// A 100-pointed star about the window overflows the 256-point working list.
TEST(PolyClipLimits, WorkingListOverflowIsReportedAndOutputStaysInRecord) {
    polygon in;
    in.len = INTEGRATE_MAX_POLY_PTS;
    for (int i = 0; i < 100; ++i) {
        const double th = i * (M_PI + 0.3);
        in.pts[i] = {0.5 + 3.0 * std::cos(th), 0.5 + 3.0 * std::sin(th)};
    }
    in.pts[100] = in.pts[0];
    polygon out;
    testing::internal::CaptureStdout();
    clip_polygon(kUnitMin, kUnitMax, &in, &out);
    std::fflush(stdout);
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("ERROR in clipPoint: *cnt=256 Exceeded MAX_WORKING_PTS=256\n"
                        "ERROR values: p    = ["),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("]\nERROR values: wMin = [   0,   0]\n"
                        "ERROR values: wMax = [   1,   1]\n"),
              std::string::npos);
    EXPECT_GE(out.len, 0);
    EXPECT_LE(out.len, INTEGRATE_MAX_POLY_PTS);
}

} // namespace
