// Resampling of an image onto an output grid with libintegrate's distribution members, and
// thin wrappers of one quadrilateral.
#include "ext.h"

#include "integrate.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <vector>

namespace downlink_ext {
namespace {

using Grid = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct Quad {
    double x[4], y[4];
};

// Corners of input pixel (i, j) in order around it, from the corner grids of row length w.
Quad pixel_quad(const double* x, const double* y, std::size_t w, std::size_t i, std::size_t j) {
    const std::size_t k[4] = {j * w + i, j * w + i + 1, (j + 1) * w + i + 1, (j + 1) * w + i};
    Quad q;
    for (int c = 0; c < 4; ++c) {
        q.x[c] = x[k[c]];
        q.y[c] = y[k[c]];
    }
    return q;
}

// The overlaps of one quadrilateral, found by distributing 1 onto a zeroed scratch grid
// that covers its pixel range.  The scratch grid's origin is the range's integer corner,
// the origin of the library's own local frame, so the areas are those the library finds
// on the whole grid.
class Overlaps {
  public:
    Overlaps(int nx, int ny) : nx_(nx), ny_(ny) {}

    // Calls visit(p, a) for every output pixel p with overlap a != 0.
    template <class Visit> void each(const polygon& quad, Visit visit) {
        int xmin, xmax, ymin, ymax;
        bounding_rect(&quad, &xmin, &xmax, &ymin, &ymax, nx_, ny_);
        if (xmin > xmax || ymin > ymax)
            return;
        const int w = xmax - xmin + 1, h = ymax - ymin + 1;
        scratch_.resize(std::max(scratch_.size(), static_cast<std::size_t>(w) * h));
        double dx[4], dy[4];
        for (int c = 0; c < 4; ++c) {
            dx[c] = quad.pts[c].x - xmin;
            dy[c] = quad.pts[c].y - ymin;
        }
        distribute_quad(dx[0], dy[0], dx[1], dy[1], dx[2], dy[2], dx[3], dy[3], 1.0,
                        scratch_.data(), w, h);
        for (int r = 0; r < h; ++r) {
            double* row = scratch_.data() + static_cast<std::size_t>(r) * w;
            const std::size_t p0 = static_cast<std::size_t>(ymin + r) * nx_ + xmin;
            for (int c = 0; c < w; ++c) {
                if (row[c] != 0.0) {
                    visit(p0 + c, row[c]);
                    row[c] = 0.0;
                }
            }
        }
    }

  private:
    int nx_, ny_;
    std::vector<double> scratch_;
};

struct Images {
    double* out;
    double* var; // null without uncertainties
    double* cover;
};

// Each input pixel's value is split among the output pixels in proportion to their overlap
// with it: the library spreads value / area as a density.  Pixels whose value is NaN and
// quadrilaterals without area are skipped.
void resample_loop(const double* data, const double* sigma, const double* x, const double* y,
                   std::size_t h, std::size_t w, int nx, int ny, Images img) {
    Overlaps overlaps(nx, ny);
    for (std::size_t j = 0; j < h; ++j) {
        for (std::size_t i = 0; i < w; ++i) {
            const double v = data[j * w + i];
            if (std::isnan(v))
                continue;
            const Quad q = pixel_quad(x, y, w + 1, i, j);
            const polygon quad =
                stuff_four(q.x[0], q.y[0], q.x[1], q.y[1], q.x[2], q.y[2], q.x[3], q.y[3]);
            const double area = area_poly(&quad);
            if (!(area > 0.0))
                continue;
            const double density = v / area;
            if (sigma == nullptr) {
                distribute_quad_2(q.x[0], q.y[0], q.x[1], q.y[1], q.x[2], q.y[2], q.x[3], q.y[3],
                                  density, 1.0, img.out, img.cover, nx, ny);
                continue;
            }
            const double s = sigma[j * w + i] / area;
            overlaps.each(quad, [&](std::size_t p, double a) {
                img.out[p] += a * density;
                img.var[p] += (a * s) * (a * s);
                img.cover[p] += a;
            });
        }
    }
}

void require_shape(const Grid& g, py::ssize_t rows, py::ssize_t cols, const char* what) {
    if (g.ndim() != 2 || g.shape(0) != rows || g.shape(1) != cols)
        throw std::invalid_argument(std::string(what) + " has the wrong shape");
}

int grid_side(py::ssize_t n) {
    if (n < 0 || n > 1 << 30)
        throw std::invalid_argument("output shape out of range");
    return static_cast<int>(n);
}

py::tuple resample(const Grid& data, const Grid& x, const Grid& y, py::ssize_t ny_out,
                   py::ssize_t nx_out, std::optional<Grid> sigma) {
    if (data.ndim() != 2)
        throw std::invalid_argument("data must be two-dimensional");
    const py::ssize_t h = data.shape(0), w = data.shape(1);
    require_shape(x, h + 1, w + 1, "x");
    require_shape(y, h + 1, w + 1, "y");
    if (sigma)
        require_shape(*sigma, h, w, "sigma");
    const int nx = grid_side(nx_out), ny = grid_side(ny_out);
    const std::vector<py::ssize_t> shape{ny_out, nx_out};
    Grid out(shape), cover(shape);
    std::optional<Grid> var;
    if (sigma)
        var.emplace(shape);
    Images img{out.mutable_data(), var ? var->mutable_data() : nullptr, cover.mutable_data()};
    std::fill_n(img.out, out.size(), 0.0);
    std::fill_n(img.cover, cover.size(), 0.0);
    if (img.var != nullptr)
        std::fill_n(img.var, var->size(), 0.0);
    {
        py::gil_scoped_release free_interpreter;
        resample_loop(data.data(), sigma ? sigma->data() : nullptr, x.data(), y.data(),
                      static_cast<std::size_t>(h), static_cast<std::size_t>(w), nx, ny, img);
        if (img.var != nullptr)
            for (py::ssize_t k = 0; k < var->size(); ++k)
                img.var[k] = std::sqrt(img.var[k]);
    }
    return py::make_tuple(out, var ? py::object(*var) : py::object(py::none()), cover);
}

Quad quad_of(const std::vector<double>& x, const std::vector<double>& y) {
    if (x.size() != 4 || y.size() != 4)
        throw std::invalid_argument("a quadrilateral has four corners");
    Quad q;
    for (int c = 0; c < 4; ++c) {
        q.x[c] = x[c];
        q.y[c] = y[c];
    }
    return q;
}

// A grid the library may read or write in place: two-dimensional, float64, C order.
using InPlace = py::array_t<double, py::array::c_style>;

void check_in_place(const py::array& image) {
    if (image.ndim() != 2 || !image.dtype().is(py::dtype::of<double>()) ||
        !(image.flags() & py::array::c_style))
        throw std::invalid_argument("image must be a two-dimensional C-ordered float64 array");
}

void distribute_one(const std::vector<double>& x, const std::vector<double>& y, double value,
                    py::array image) {
    check_in_place(image);
    const Quad q = quad_of(x, y);
    auto grid = py::cast<InPlace>(image);
    distribute_quad(q.x[0], q.y[0], q.x[1], q.y[1], q.x[2], q.y[2], q.x[3], q.y[3], value,
                    grid.mutable_data(), grid_side(grid.shape(1)), grid_side(grid.shape(0)));
}

py::tuple integrate_one(const std::vector<double>& x, const std::vector<double>& y,
                        const Grid& image) {
    if (image.ndim() != 2)
        throw std::invalid_argument("image must be two-dimensional");
    const Quad q = quad_of(x, y);
    double area = 0.0;
    const double sum =
        integrate_quad(q.x[0], q.y[0], q.x[1], q.y[1], q.x[2], q.y[2], q.x[3], q.y[3], image.data(),
                       grid_side(image.shape(1)), grid_side(image.shape(0)), &area);
    return py::make_tuple(sum, area);
}

} // namespace

void bind_integrate(py::module_& m) {
    m.def("resample", &resample, py::arg("data"), py::arg("x"), py::arg("y"), py::arg("ny"),
          py::arg("nx"), py::arg("sigma") = py::none());
    m.def("distribute_quad", &distribute_one, py::arg("x"), py::arg("y"), py::arg("value"),
          py::arg("image"));
    m.def("integrate_quad", &integrate_one, py::arg("x"), py::arg("y"), py::arg("image"));
}

} // namespace downlink_ext
