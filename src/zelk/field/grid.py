"""Fields sampled on regular grids.

A grid is given by its bounds ``(xmin, ymin, xmax, ymax)`` and its shape
``(height, width)``; arrays of grid values are indexed ``[row, column]`` with
rows along y (ascending) and columns along x, as ``np.meshgrid(xs, ys)`` lays
them out, so ``values[i, j]`` belongs to the point ``(xs[j], ys[i])``.
"""

from __future__ import annotations

import importlib
import math
import sys
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from zelk.field import _field

FloatArray = npt.NDArray[np.float64]
Bounds = tuple[float, float, float, float]
Shape = tuple[int, int]

__all__ = [
    "QUANTITIES",
    "Bounds",
    "GridField",
    "Shape",
    "axes",
    "default_bounds",
    "default_chunk_points",
    "evaluate",
    "evaluate_points",
]


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


QUANTITIES = ("value", "gradient", "squared_dist", "repulsion_vector")
"""What ``evaluate`` can compute: the field value (``eval``), its gradient, the
squared distance under the repulsion metric and the repulsion vector."""

# Points per chunk: large enough that the geometries' spatial indexes pay off
# and per-call costs vanish, small enough that a chunk's intermediate arrays
# (tens of MiB) are nothing beside the outputs of a large grid.
_CHUNK_POINTS = 1 << 16
# Grids of at least this many points show a progress bar on a terminal by default.
_PROGRESS_POINTS = 250_000


@dataclass(frozen=True)
class GridField:
    """Quantities of a field on a grid, each ``None`` unless asked for.

    ``value`` and ``squared_dist`` have the grid's shape ``(height, width)``;
    ``gradient`` and ``repulsion_vector`` have ``(height, width, 2)``. Entry
    ``[i, j]`` belongs to the point ``(xs[j], ys[i])``.
    """

    xs: FloatArray
    ys: FloatArray
    value: FloatArray | None = None
    gradient: FloatArray | None = None
    squared_dist: FloatArray | None = None
    repulsion_vector: FloatArray | None = None

    @property
    def shape(self) -> Shape:
        return len(self.ys), len(self.xs)

    @property
    def bounds(self) -> Bounds:
        return float(self.xs[0]), float(self.ys[0]), float(self.xs[-1]), float(self.ys[-1])

    def __getitem__(self, quantity: str) -> FloatArray:
        result = getattr(self, quantity) if quantity in QUANTITIES else None
        if result is None:
            raise KeyError(quantity)
        return cast(FloatArray, result)


def _check_quantities(quantities: Iterable[str]) -> tuple[str, ...]:
    if isinstance(quantities, str):
        quantities = (quantities,)
    chosen = tuple(dict.fromkeys(quantities))
    unknown = [q for q in chosen if q not in QUANTITIES]
    if unknown or not chosen:
        raise ValueError(f"quantities must be some of {', '.join(QUANTITIES)}; got {list(quantities)!r}")
    return chosen


def default_chunk_points(geometry: Any) -> int:
    """How many query points ``evaluate`` gives the geometry's methods at a time by default."""
    del geometry  # the same for every geometry since they answer through spatial indexes
    return _CHUNK_POINTS


def _gradient_field(geometry: Any) -> Any:
    """Something that answers ``gradient``: the geometry, or a collection holding it alone.

    Only collections define a gradient. A single geometry is answered as the one
    member of a collection, which is exactly ``-eval(x) * (grad_matrix @ r)`` with
    ``r`` its repulsion vector, the collection's own formula.
    """
    if callable(getattr(geometry, "gradient", None)):
        return geometry
    from zelk.field.geometry.collection import GeometryCollectionRGJ

    return GeometryCollectionRGJ([geometry.toRGeoJSON()["geometry"]])


def _progress_bar(progress: bool | None, total: int, description: str) -> Any:
    show = progress if progress is not None else total >= _PROGRESS_POINTS and sys.stderr.isatty()
    if not show:
        return None
    try:
        # Imported by name: tqdm ships no type information.
        tqdm = importlib.import_module("tqdm.auto").tqdm
    except ImportError:
        if progress:
            raise ImportError("a progress bar needs tqdm: pip install 'zelk-field[cli]'") from None
        return None
    return tqdm(total=total, unit="pt", unit_scale=True, desc=description, leave=False)


def _evaluate_chunks(
    geometry: Any,
    total: int,
    points_of: Callable[[int, int], FloatArray],
    quantities: tuple[str, ...],
    chunk_points: int | None,
    progress: bool | None,
) -> dict[str, FloatArray]:
    chunk = default_chunk_points(geometry) if chunk_points is None else int(chunk_points)
    if chunk < 1:
        raise ValueError(f"chunk_points must be positive, got {chunk_points!r}")
    width = {"value": 0, "squared_dist": 0, "gradient": 2, "repulsion_vector": 2}
    outputs = {q: np.empty((total, width[q]) if width[q] else total) for q in quantities}
    methods: dict[str, Callable[[FloatArray], Any]] = {
        "value": geometry.eval,
        "squared_dist": geometry.squared_dist,
        "repulsion_vector": geometry.repulsion_vector,
    }
    if "gradient" in quantities:
        methods["gradient"] = _gradient_field(geometry).gradient
    bar = _progress_bar(progress, total, "field")
    try:
        for start in range(0, total, chunk):
            stop = min(start + chunk, total)
            points = points_of(start, stop)
            # Every quantity in one search per point where the geometry allows
            # it (the package's own classes), with the methods' own bits.
            together = _field.evaluate(geometry, points, quantities)
            for quantity in quantities:
                outputs[quantity][start:stop] = together[quantity] if together else methods[quantity](points)
            if bar is not None:
                bar.update(stop - start)
    finally:
        if bar is not None:
            bar.close()
    return outputs


def evaluate_points(
    geometry: Any,
    points: npt.ArrayLike,
    *,
    quantities: Iterable[str] = ("value", "gradient"),
    chunk_points: int | None = None,
    progress: bool | None = None,
) -> dict[str, FloatArray]:
    """The chosen quantities at an ``(n, 2)`` array of points, computed in chunks.

    Returns a dict from quantity name to an array: ``(n,)`` for ``value`` and
    ``squared_dist``, ``(n, 2)`` for ``gradient`` and ``repulsion_vector``.
    """
    xy = np.asarray(points, dtype=np.float64)
    if xy.ndim != 2 or xy.shape[1] != 2:
        raise ValueError(f"points must be an (n, 2) array, got shape {xy.shape}")
    return _evaluate_chunks(
        geometry, len(xy), lambda start, stop: xy[start:stop], _check_quantities(quantities), chunk_points, progress
    )


def evaluate(
    geometry: Any,
    bounds: Bounds | None = None,
    shape: Shape = (600, 800),
    *,
    quantities: Iterable[str] = ("value", "gradient"),
    chunk_points: int | None = None,
    progress: bool | None = None,
) -> GridField:
    """The chosen quantities of the geometry's field on a regular grid.

    ``bounds`` is ``(xmin, ymin, xmax, ymax)``, by default the geometry's box
    widened by ``default_bounds``; ``shape`` is ``(height, width)``. The grid is
    computed ``chunk_points`` query points at a time (65,536 by default), so
    memory beyond the outputs stays bounded however large the grid. Each quantity equals what the
    geometry's own method gives for all grid points at once: ``eval``,
    ``squared_dist``, ``repulsion_vector``, and ``gradient`` (a single geometry,
    which has no ``gradient`` method, is answered as the one member of a
    ``GeometryCollectionRGJ``). ``progress=True`` shows a tqdm progress bar;
    ``None`` shows one on a terminal for grids of 250,000 points or more.
    """
    chosen = _check_quantities(quantities)
    xs, ys = axes(default_bounds(geometry) if bounds is None else bounds, shape)
    width = len(xs)

    def points_of(start: int, stop: int) -> FloatArray:
        index = np.arange(start, stop)
        return np.column_stack([xs[index % width], ys[index // width]])

    outputs = _evaluate_chunks(geometry, len(xs) * len(ys), points_of, chosen, chunk_points, progress)
    grid_shape = (len(ys), width)
    return GridField(xs, ys, **{q: a.reshape(grid_shape + a.shape[1:]) for q, a in outputs.items()})
