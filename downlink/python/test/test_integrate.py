"""resample against overlap areas computed here by clipping each input pixel's
quadrilateral to each output pixel (Sutherland-Hodgman) and taking the shoelace area."""
import math

import numpy as np
import pytest

from downlink import integrate


def clipped_area(poly, x0, y0, x1, y1):
    """Area of the part of a convex polygon (list of points) inside [x0, x1] x [y0, y1]."""
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
    return 0.5 * abs(sum(p[0] * q[1] - q[0] * p[1] for p, q in zip(poly, poly[1:] + poly[:1])))


@pytest.mark.parametrize("shape, shift", [((7, 8), (3.2, -1.4)),    # partly off the grid
                                          ((12, 12), (4.7, 0.3))])  # holds the whole input
def test_resample_matches_clipped_overlaps(shape, shift):
    rng = np.random.default_rng(3)
    data, sigma = rng.normal(10, 3, (5, 6)), rng.uniform(0.5, 2, (5, 6))
    data[1, 2] = np.nan
    # The corners of the input turned by 30 degrees, scaled by 1.3 and shifted.
    v, u = np.mgrid[0:6, 0:7].astype(float)
    c, s = 1.3 * math.cos(math.radians(30.0)), 1.3 * math.sin(math.radians(30.0))
    x, y = c * u - s * v + shift[0], s * u + c * v + shift[1]
    want = np.zeros((3,) + shape)
    for (j, i), value in np.ndenumerate(data):
        quad = [(x[j + b, i + a], y[j + b, i + a]) for b, a in ((0, 0), (0, 1), (1, 1), (1, 0))]
        for r, c in np.ndindex(shape):
            a = 0 if math.isnan(value) else clipped_area(quad, c, r, c + 1, r + 1) / 1.69
            want[:, r, c] += (a * value if a else 0, (a * sigma[j, i]) ** 2, a * 1.69)
    want[1] = np.sqrt(want[1])
    got = integrate.resample(data, x, y, shape, sigma=sigma)
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)
    plain = integrate.resample(data, x, y, shape)
    assert plain[1] is None
    np.testing.assert_array_equal([plain[0], plain[2]], [got[0], got[2]])


def test_one_quadrilateral_distributed_and_integrated():
    x, y = [0.5, 1.5, 1.5, 0.5], [0.5, 0.5, 1.5, 1.5]
    image = np.zeros((3, 3))
    integrate.distribute_quad(x, y, 4.0, image)
    np.testing.assert_array_equal(image, [[1, 1, 0], [1, 1, 0], [0, 0, 0]])
    image[1, 1] = np.nan
    assert integrate.integrate_quad(x, y, image) == (0.75, 0.75)
    with pytest.raises(ValueError):
        integrate.distribute_quad(x, y, 1.0, np.zeros((3, 3), np.float32))
