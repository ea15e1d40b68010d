"""Exact, flux-conserving resampling by overlap area, with libintegrate.

Grid convention (the library's): output pixel ``[j, i]`` covers the square from ``(i, j)``
to ``(i + 1, j + 1)`` in output-pixel coordinates, x along columns and y along rows.  So
the centre of output pixel ``[j, i]`` is at ``(i + 0.5, j + 0.5)``.
"""
import numpy as np

from . import _downlink

__all__ = ["resample", "distribute_quad", "integrate_quad"]


def resample(data, x, y, shape, sigma=None):
    """Resample an image onto an output grid by exact overlap areas.

    Input pixel ``[j, i]`` is the quadrilateral with corners ``(x[j, i], y[j, i])``,
    ``(x[j, i+1], y[j, i+1])``, ``(x[j+1, i+1], y[j+1, i+1])`` and ``(x[j+1, i], y[j+1, i])``
    in output-pixel coordinates.  Its value is split among the output pixels it overlaps in
    proportion to the overlap areas: libintegrate's ``distribute_quad`` members spread value
    divided by the quadrilateral's area as a density.  The output therefore conserves flux:
    a grid that holds the whole input sums to the input's sum.  NaN input pixels are skipped.

    Parameters
    ----------
    data : array_like, shape (H, W)
        The input image.
    x, y : array_like, shape (H + 1, W + 1)
        Output-pixel coordinates of the input pixels' corners.
    shape : tuple of 2 int
        Shape (rows, columns) of the output grid.
    sigma : array_like, shape (H, W), optional
        One-sigma uncertainties of the input pixels, taken as independent.

    Returns
    -------
    image : ndarray of float64, shape `shape`
        Sum over the input pixels of value times overlap area / pixel area.
    sigma : ndarray of float64 or None
        ``sqrt`` of the sum of (sigma times overlap area / pixel area) squared; None
        without `sigma`.
    coverage : ndarray of float64
        Summed overlap area of the non-NaN input pixels.

    Examples
    --------
    >>> yy, xx = np.mgrid[0:65, 0:65] * 0.5          # 2 x 2 input pixels per output pixel
    >>> image, _, coverage = resample(np.ones((64, 64)), xx, yy, (32, 32))
    >>> float(image.sum()), float(image.max()), float(coverage.max())
    (4096.0, 4.0, 1.0)
    """
    rows, cols = (int(n) for n in shape)
    return _downlink.resample(data, x, y, rows, cols, sigma)


def distribute_quad(x, y, value, image):
    """Add value times overlap area to every pixel of image that a quadrilateral touches.

    Parameters
    ----------
    x, y : sequence of 4 float
        The corners in order around the quadrilateral.
    value : float
        The value to spread (a density: it is multiplied by each overlap area).
    image : ndarray of float64, 2-D, C order
        The grid, updated in place.

    Examples
    --------
    >>> image = np.zeros((3, 3))
    >>> distribute_quad([0.5, 1.5, 1.5, 0.5], [0.5, 0.5, 1.5, 1.5], 4.0, image)
    >>> float(image[1, 1])
    1.0
    """
    _downlink.distribute_quad(x, y, value, image)


def integrate_quad(x, y, image):
    """Area-weighted sum of an image over a quadrilateral, NaN pixels left out.

    Parameters
    ----------
    x, y : sequence of 4 float
        The corners in order around the quadrilateral.
    image : array_like, 2-D
        The grid.

    Returns
    -------
    sum : float
        Sum of overlap area times value over the non-NaN pixels; 0 when nothing overlaps,
        NaN when every overlapped pixel is NaN.
    area : float
        Sum of the overlap areas of the non-NaN pixels.
    """
    return _downlink.integrate_quad(x, y, np.asarray(image, dtype=np.float64))
