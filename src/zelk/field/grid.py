"""Fields sampled on regular grids.

A grid is given by its bounds ``(xmin, ymin, xmax, ymax)`` and its shape
``(height, width)``; arrays of grid values are indexed ``[row, column]`` with
rows along y (ascending) and columns along x, as ``np.meshgrid(xs, ys)`` lays
them out, so ``values[i, j]`` belongs to the point ``(xs[j], ys[i])``.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
Bounds = tuple[float, float, float, float]
Shape = tuple[int, int]

__all__ = ["Bounds", "Shape", "axes", "default_bounds"]


def _check_bounds(bounds: Any) -> Bounds:
    try:
        values = tuple(float(v) for v in bounds)
    except (TypeError, ValueError):
        raise ValueError(f"bounds must be four numbers (xmin, ymin, xmax, ymax), got {bounds!r}") from None
    if len(values) != 4 or not all(math.isfinite(v) for v in values):
        raise ValueError(f"bounds must be four finite numbers (xmin, ymin, xmax, ymax), got {bounds!r}")
    xmin, ymin, xmax, ymax = values
    if not (xmin < xmax and ymin < ymax):
        raise ValueError(f"bounds must have xmin < xmax and ymin < ymax, got {bounds!r}")
    return xmin, ymin, xmax, ymax


def _check_shape(shape: Any) -> Shape:
    try:
        height, width = (int(v) for v in shape)
    except (TypeError, ValueError):
        raise ValueError(f"shape must be two positive integers (height, width), got {shape!r}") from None
    if height < 1 or width < 1:
        raise ValueError(f"shape must be two positive integers (height, width), got {shape!r}")
    return height, width


def axes(bounds: Bounds, shape: Shape) -> tuple[FloatArray, FloatArray]:
    """The grid's coordinates along x (``width`` values) and along y (``height`` values).

    Both axes include their end points: ``xs = np.linspace(xmin, xmax, width)``,
    ``ys = np.linspace(ymin, ymax, height)``.
    """
    xmin, ymin, xmax, ymax = _check_bounds(bounds)
    height, width = _check_shape(shape)
    return np.linspace(xmin, xmax, width), np.linspace(ymin, ymax, height)


def default_bounds(geometry: Any, margin: float = 0.1) -> Bounds:
    """The geometry's bounding box, widened on every side by ``margin`` times its larger side.

    A box without extent (a single point, or a horizontal or vertical segment) is
    widened by ``margin`` times 10 units instead, so that the result always has an area.
    """
    corners = np.asarray(geometry.bbox, dtype=np.float64).reshape(-1, 2)
    if corners.shape[0] == 0 or not np.isfinite(corners).all():
        raise ValueError("the geometry has no finite bounding box")
    lo, hi = corners.min(axis=0), corners.max(axis=0)
    side = float((hi - lo).max())
    pad = margin * (side if side > 0 else 10.0)
    if pad <= 0 or not math.isfinite(pad):
        raise ValueError(f"margin must be a positive number, got {margin!r}")
    # A box flat in one direction gets the pad of the other so the grid keeps an area.
    return (float(lo[0]) - pad, float(lo[1]) - pad, float(hi[0]) + pad, float(hi[1]) + pad)
