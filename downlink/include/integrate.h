/* libintegrate: polygon clipping against pixel windows, polygon areas, and
 * area-weighted integration and distribution of values over pixel grids.
 *
 * Grids are caller-owned arrays of nx columns and ny rows; pixel (i, j) covers
 * the square from (i, j) to (i + 1, j + 1) and is element j * nx + i.  A
 * quadrilateral is given by its four corners x1, y1, ..., x4, y4 in order
 * around it.  Nothing is allocated; only the routines that say so print.
 *
 * The library takes the NaN constant const_nan_float and the test iznand from
 * liberrva without naming it: programs that load it link liberrva as well. */
#ifndef DOWNLINK_INTEGRATE_H
#define DOWNLINK_INTEGRATE_H

#include <stdint.h>

#ifndef INTEGRATE_API
#define INTEGRATE_API __attribute__((visibility("default")))
#endif

/* Room for points in one polygon record, the closing repeat included. */
#define INTEGRATE_MAX_POLY_PTS 101

#ifdef __cplusplus
extern "C" {
#endif

/* One point of a polygon: x then y. */
typedef struct poly_point {
    double x;
    double y;
} poly_point;

/* A closed polygon: its last point repeats the first, so a quadrilateral has
 * len 5.  len counts the stored points, the closing repeat included. */
typedef struct polygon {
    int32_t len;
    poly_point pts[INTEGRATE_MAX_POLY_PTS];
} polygon;

/* ---- Polygon clipping ---- */

/* Clips the closed polygon in against the closed window wMin..wMax (integer
 * corners, boundary counts as inside) and writes the closed result into out
 * (len 0 when nothing remains; in and out may be the same record).  The
 * closing point is stored once, so a polygon inside the window comes out as it
 * went in.  Returns 0; returns -1 with out->len 0 when in->len is not in 0..101
 * or the result would not fit in 101 points.  Prints four ERROR lines on
 * standard output when its 256-point working list overflows. */
INTEGRATE_API int clip_polygon(const int wMin[2], const int wMax[2], const polygon* in,
                               polygon* out);

/* ---- Polygon area and utilities ---- */

/* The closed quadrilateral of the four corners: len 5, corner 1 repeated. */
INTEGRATE_API polygon stuff_four(double x1, double y1, double x2, double y2, double x3, double y3,
                                 double x4, double y4);
/* Area of a closed polygon (either orientation); 0 when len is below 2 or above
 * 101. */
INTEGRATE_API double area_poly(const polygon* poly);
/* Area of the n points taken as a ring (the first need not be repeated); 0 when
 * n is 0 or less. */
INTEGRATE_API double area_poly1(const poly_point* pts, int n);
/* 1 when the corners of the closed polygon turn consistently one way (collinear
 * corners ignored, fewer than 3 points pass), else 0; 0 when len is above 101. */
INTEGRATE_API int verify_cyclical(const polygon* poly);
/* Prints the polygon's points on standard output, or an ERROR line when len is
 * out of range or the polygon is not closed. */
INTEGRATE_API void print_poly(const polygon* poly);
/* 1 for a positive value, 0 for 0.0, -1 otherwise (NaN included). */
INTEGRATE_API int sign(double x);
/* Floor of the smallest / ceiling of the largest of four values, saturated to
 * the int range (a NaN gives the lowest int). */
INTEGRATE_API int rmin4floor(double a, double b, double c, double d);
INTEGRATE_API int rmax4ceil(double a, double b, double c, double d);
/* The pixel columns xmin..xmax and rows ymin..ymax that the quadrilateral of
 * the polygon's first four points can touch on an nx x ny grid; the range is
 * empty (min > max) when it lies off the grid or a corner is not finite. */
INTEGRATE_API void bounding_rect(const polygon* poly, int* xmin, int* xmax, int* ymin, int* ymax,
                                 int nx, int ny);
/* "integrate (library)" and the library's version, that of its pkg-config file. */
INTEGRATE_API const char* integrate_name(void);
INTEGRATE_API const char* integrate_version(void);

/* ---- Integration over a quadrilateral (pixels with overlap a > 0) ---- */

/* Returns the sum of a * image[p] over the pixels whose value is a number and
 * sets *area to the sum of their a; returns 0 when no pixel overlaps, NaN when
 * every overlapped pixel is NaN. */
INTEGRATE_API double integrate_quad(double x1, double y1, double x2, double y2, double x3,
                                    double y3, double x4, double y4, const double* image, int nx,
                                    int ny, double* area);
/* As integrate_quad; also *area2 = sum of a^2 and *sigma_out = sqrt(sum of
 * a^2 sigma[p]^2) over the pixels whose value is a number. */
INTEGRATE_API double integrate_quad_2(double x1, double y1, double x2, double y2, double x3,
                                      double y3, double x4, double y4, const double* value,
                                      const double* sigma, int nx, int ny, double* area,
                                      double* area2, double* sigma_out);
/* As integrate_quad_2; also *mask_out = OR of mask[p] over every overlapped
 * pixel whatever its value (0 when none).  The int argument is not used. */
INTEGRATE_API double integrate_quad_3(double x1, double y1, double x2, double y2, double x3,
                                      double y3, double x4, double y4, const double* value,
                                      const double* sigma, const int16_t* mask, int unused, int nx,
                                      int ny, double* area, double* area2, double* sigma_out,
                                      int16_t* mask_out);
/* Clears the four outputs, then integrates image1 into *sum1, *area1 and,
 * independently, image2 into *sum2, *area2; a sum becomes NaN when every
 * overlapped pixel of its image is NaN. */
INTEGRATE_API void integrate_two_quad(double x1, double y1, double x2, double y2, double x3,
                                      double y3, double x4, double y4, const double* image1,
                                      const double* image2, double* sum1, double* sum2, int nx,
                                      int ny, double* area1, double* area2);

/* ---- Distribution onto grids (pixels with overlap a != 0) ---- */

/* image[p] += a * value. */
INTEGRATE_API void distribute_quad(double x1, double y1, double x2, double y2, double x3, double y3,
                                   double x4, double y4, double value, double* image, int nx,
                                   int ny);
/* image1[p] += a * value1; image2[p] += a * value2. */
INTEGRATE_API void distribute_quad_2(double x1, double y1, double x2, double y2, double x3,
                                     double y3, double x4, double y4, double value1, double value2,
                                     double* image1, double* image2, int nx, int ny);
/* The same as distribute_quad_2, arguments interleaved. */
INTEGRATE_API void distribute_two_quad(double x1, double y1, double x2, double y2, double x3,
                                       double y3, double x4, double y4, double value1,
                                       double* image1, double value2, double* image2, int nx,
                                       int ny);
/* images[k][p] += a * values[k] for k in 0..n-1; nothing when n < 1. */
INTEGRATE_API void distribute_quad_n(double x1, double y1, double x2, double y2, double x3,
                                     double y3, double x4, double y4, const double* values,
                                     double** images, int n, int nx, int ny);
/* cube[k * nx * ny + p] += a * values[k] for k in 0..n-1; nothing when n < 1. */
INTEGRATE_API void distribute_quad_n_1D(double x1, double y1, double x2, double y2, double x3,
                                        double y3, double x4, double y4, const double* values,
                                        double* cube, int n, int nx, int ny);
/* image1[p] += a * value1; image2[p] += a * value2; area_image[p] += a;
 * id_image[p] = id. */
INTEGRATE_API void distribute_quad_BB(double x1, double y1, double x2, double y2, double x3,
                                      double y3, double x4, double y4, double value1, double value2,
                                      double* image1, double* image2, int nx, int ny,
                                      double* area_image, double* id_image, int id);
/* image[p] = value on every touched pixel. */
INTEGRATE_API void unweighted_distribute_quad(double x1, double y1, double x2, double y2, double x3,
                                              double y3, double x4, double y4, double value,
                                              double* image, int nx, int ny);
/* image[p] |= mask on every touched pixel. */
INTEGRATE_API void mask_distribute_quad_short(double x1, double y1, double x2, double y2, double x3,
                                              double y3, double x4, double y4, int16_t mask,
                                              int16_t* image, int nx, int ny);
INTEGRATE_API void mask_distribute_quad_int(double x1, double y1, double x2, double y2, double x3,
                                            double y3, double x4, double y4, int32_t mask,
                                            int32_t* image, int nx, int ny);

#ifdef __cplusplus
}
#endif

#endif
