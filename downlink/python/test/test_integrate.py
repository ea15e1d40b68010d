"""resample against overlap areas computed here by clipping each input pixel's
quadrilateral to each output pixel (Sutherland-Hodgman) and taking the shoelace area."""
import math

import numpy as np
import pytest

from downlink import integrate


def clip(poly, x0, y0, x1, y1):
    """The part of a convex polygon (list of points) inside the box [x0, x1] x [y0, y1]."""
    for axis, edge, side in ((0, x0, 1), (0, x1, -1), (1, y0, 1), (1, y1, -1)):
        out = []
        for p, q in zip(poly[-1:] + poly[:-1], poly):
            dp, dq = side * (p[axis] - edge), side * (q[axis] - edge)
            if dp * dq < 0:
                t = dp / (dp - dq)
                out.append((p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1])))
            if dq >= 0:
                out.append(q)
        poly = out
    return poly


def shoelace(poly):
    return 0.5 * abs(sum(p[0] * q[1] - q[0] * p[1] for p, q in zip(poly, poly[1:] + poly[:1])))


def reference(data, sigma, x, y, shape):
    out, var, cover = np.zeros(shape), np.zeros(shape), np.zeros(shape)
    for (j, i), v in np.ndenumerate(data):
        if math.isnan(v):
            continue
        quad = [(x[j, i], y[j, i]), (x[j, i + 1], y[j, i + 1]),
                (x[j + 1, i + 1], y[j + 1, i + 1]), (x[j + 1, i], y[j + 1, i])]
        area = shoelace(quad)
        for r in range(max(0, math.floor(min(p[1] for p in quad))), shape[0]):
            for c in range(max(0, math.floor(min(p[0] for p in quad))), shape[1]):
                a = shoelace(clip(quad, c, r, c + 1, r + 1))
                out[r, c] += a * v / area
                var[r, c] += (a * sigma[j, i] / area) ** 2
                cover[r, c] += a
    return out, np.sqrt(var), cover


def rotated_grid(h, w, degrees, scale, shift):
    """Corners of an h x w input under a rotation, a scale and a shift."""
    t = math.radians(degrees)
    v, u = np.mgrid[0:h + 1, 0:w + 1].astype(float)
    x = scale * (math.cos(t) * u - math.sin(t) * v) + shift[0]
    y = scale * (math.sin(t) * u + math.cos(t) * v) + shift[1]
    return x, y


def sample(h, w):
    rng = np.random.default_rng(3)
    data, sigma = rng.normal(10, 3, (h, w)), rng.uniform(0.5, 2, (h, w))
    data[1, 2] = np.nan
    return data, sigma


@pytest.mark.parametrize("shape, shift", [((7, 8), (3.2, -1.4)),    # partly off the grid
                                          ((12, 12), (4.7, 0.3))])  # holds the whole input
def test_resample_matches_clipped_overlaps(shape, shift):
    data, sigma = sample(5, 6)
    x, y = rotated_grid(5, 6, 30.0, 1.3, shift)
    want = reference(data, sigma, x, y, shape)
    got = integrate.resample(data, x, y, shape, sigma=sigma)
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, rtol=0, atol=1e-12)
    plain = integrate.resample(data, x, y, shape)
    assert plain[1] is None
    np.testing.assert_array_equal(plain[0], got[0])
    np.testing.assert_array_equal(plain[2], got[2])


def test_resample_conserves_flux_on_a_grid_that_holds_the_input():
    data, sigma = sample(60, 50)
    x, y = rotated_grid(60, 50, 17.0, 0.7, (22.5, 3.1))
    image, _, cover = integrate.resample(data, x, y, (60, 60))
    assert image.sum() == pytest.approx(np.nansum(data), rel=1e-12)
    assert cover.sum() == pytest.approx(0.49 * (data.size - 1), rel=1e-12)


def test_one_quadrilateral_distributed_and_integrated():
    x, y = [0.5, 1.5, 1.5, 0.5], [0.5, 0.5, 1.5, 1.5]
    image = np.zeros((3, 3))
    integrate.distribute_quad(x, y, 4.0, image)
    np.testing.assert_array_equal(image, [[1, 1, 0], [1, 1, 0], [0, 0, 0]])
    image[1, 1] = np.nan
    assert integrate.integrate_quad(x, y, image) == (0.75, 0.75)
    with pytest.raises(ValueError):
        integrate.distribute_quad(x, y, 1.0, np.zeros((3, 3), np.float32))
