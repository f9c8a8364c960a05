"""Fields sampled on regular grids.

A grid is given by its bounds ``(xmin, ymin, xmax, ymax)`` and its shape
``(height, width)``; arrays of grid values are indexed ``[row, column]`` with
rows along y (ascending) and columns along x, as ``np.meshgrid(xs, ys)`` lays
them out, so ``values[i, j]`` belongs to the point ``(xs[j], ys[i])``.

``QUANTITY_TABLE`` says what can be computed, how, and in what shape; a
``GridField`` converts itself for GIS tools (``to_xarray``, ``to_geotiff``,
``to_netcdf``) with the optional ``raster`` extra.
"""

from __future__ import annotations

import importlib
import math
import os
import sys
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from zelk.field import _field
from zelk.field.io import crs_of

FloatArray = npt.NDArray[np.float64]
Bounds = tuple[float, float, float, float]
Shape = tuple[int, int]

__all__ = [
    "QUANTITIES",
    "QUANTITY_TABLE",
    "Quantity",
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


@dataclass(frozen=True)
class Quantity:
    """One quantity a geometry's field answers at query points."""

    name: str
    point_shape: tuple[int, ...]
    """The shape of the answer at one point: ``()`` or ``(2,)``."""
    columns: tuple[str, ...]
    """A name for each component, for tables and raster bands."""
    method: str
    """The geometry method that computes it for an ``(n, 2)`` batch."""
    label: str
    """What it is, in the notation of the docs (A the metric, d the repulsion vector)."""
    needs_gradient_field: bool = False
    """Answered by a collection: a single geometry is wrapped as its one member."""

    def answerer(self, geometry: Any) -> Any:
        """The object whose ``method`` answers for ``geometry``."""
        return _gradient_field(geometry) if self.needs_gradient_field else geometry

    def bind(self, geometry: Any) -> Callable[[FloatArray], Any]:
        """The function from an ``(n, 2)`` batch of points to the answers."""
        function: Callable[[FloatArray], Any] = getattr(self.answerer(geometry), self.method)
        return function


QUANTITY_TABLE: Mapping[str, Quantity] = {
    q.name: q
    for q in (
        Quantity("value", (), ("value",), "eval", "field value exp(-d·(A d))"),
        Quantity("gradient", (2,), ("gradient_x", "gradient_y"), "gradient", "field gradient", True),
        Quantity("squared_dist", (), ("squared_dist",), "squared_dist", "squared distance d·(A d)"),
        Quantity("repulsion_vector", (2,), ("repulsion_x", "repulsion_y"), "repulsion_vector", "repulsion vector d"),
    )
}
"""Every quantity ``evaluate`` computes, in their usual order."""

QUANTITIES = tuple(QUANTITY_TABLE)
"""What ``evaluate`` can compute: the field value (``eval``), its gradient, the
squared distance under the repulsion metric and the repulsion vector."""

# Points per chunk: large enough that the geometries' spatial indexes pay off
# and per-call costs vanish, small enough that a chunk's intermediate arrays
# (tens of MiB) are nothing beside the outputs of a large grid; a quarter of
# a million points lets each thread take whole patches of the grid.
_CHUNK_POINTS = 1 << 18
# Grids of at least this many points show a progress bar on a terminal by default.
_PROGRESS_POINTS = 250_000


@dataclass(frozen=True)
class GridField:
    """Quantities of a field on a grid, each ``None`` unless asked for.

    ``value`` and ``squared_dist`` have the grid's shape ``(height, width)``;
    ``gradient`` and ``repulsion_vector`` have ``(height, width, 2)``. Entry
    ``[i, j]`` belongs to the point ``(xs[j], ys[i])``. ``crs`` is the CRS of
    the scene the grid was computed from (``zelk.field.io.crs_of``), if any.
    """

    xs: FloatArray
    ys: FloatArray
    value: FloatArray | None = None
    gradient: FloatArray | None = None
    squared_dist: FloatArray | None = None
    repulsion_vector: FloatArray | None = None
    crs: str | None = None

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

    @property
    def quantities(self) -> tuple[str, ...]:
        """The quantities computed, in the table's order."""
        return tuple(q for q in QUANTITIES if getattr(self, q) is not None)

    def _bands(self) -> list[tuple[str, FloatArray]]:
        """Every component of every quantity as a ``(height, width)`` array, with its name."""
        bands: list[tuple[str, FloatArray]] = []
        for q in self.quantities:
            values, columns = self[q], QUANTITY_TABLE[q].columns
            bands.extend((c, values[..., k]) if values.ndim == 3 else (c, values) for k, c in enumerate(columns))
        return bands

    def to_xarray(self) -> Any:
        """The grid as an ``xarray.Dataset`` with coordinates ``x`` and ``y``.

        One variable per quantity: ``value`` and ``squared_dist`` over
        ``(y, x)``, ``gradient`` and ``repulsion_vector`` over ``(y, x,
        component)`` with ``component`` ``["x", "y"]``. With rioxarray
        installed the CRS is written its way (a ``spatial_ref`` coordinate,
        ``ds.rio.crs``); without it the CRS text is the attribute ``crs``.
        """
        xr = _optional("xarray", "to_xarray")
        variables: dict[str, Any] = {}
        for q in self.quantities:
            dims = ("y", "x", "component") if QUANTITY_TABLE[q].point_shape else ("y", "x")
            variables[q] = xr.Variable(dims, self[q], attrs={"long_name": QUANTITY_TABLE[q].label})
        coords: dict[str, Any] = {"x": ("x", self.xs), "y": ("y", self.ys)}
        if any(QUANTITY_TABLE[q].point_shape for q in self.quantities):
            coords["component"] = ("component", ["x", "y"])
        dataset = xr.Dataset(variables, coords=coords)
        if self.crs is not None:
            try:
                importlib.import_module("rioxarray")  # registers the .rio accessor
            except ImportError:
                dataset.attrs["crs"] = self.crs
            else:
                dataset = dataset.rio.write_crs(self.crs)
        return dataset

    def to_netcdf(self, path: str | os.PathLike[str]) -> None:
        """Writes ``to_xarray()`` as a NetCDF file."""
        _optional("netCDF4", "to_netcdf")
        self.to_xarray().to_netcdf(path, engine="netcdf4")

    def to_geotiff(self, path: str | os.PathLike[str]) -> None:
        """Writes a GeoTIFF: one float64 band per component, north up.

        Band names are the components' (``value``, ``gradient_x``, ...), pixel
        centres sit at the grid's points, and the CRS is the grid's. Needs at
        least two points along each axis, to know the pixel size.
        """
        rasterio = _optional("rasterio", "to_geotiff")
        affine = _optional("rasterio.transform", "to_geotiff").Affine

        height, width = self.shape
        if height < 2 or width < 2:
            raise ValueError(f"a GeoTIFF needs at least 2 grid points along x and y, got shape {self.shape}")
        dx, dy = (self.xs[-1] - self.xs[0]) / (width - 1), (self.ys[-1] - self.ys[0]) / (height - 1)
        # North up: row 0 is the northernmost, and pixel centres sit on the grid's points.
        transform = affine(dx, 0.0, self.xs[0] - dx / 2, 0.0, -dy, self.ys[-1] + dy / 2)
        bands = self._bands()
        profile = {
            "driver": "GTiff", "height": height, "width": width, "count": len(bands), "dtype": "float64",
            "transform": transform, "crs": self.crs, "compress": "deflate", "predictor": 3,
        }  # fmt: skip
        with rasterio.open(path, "w", **profile) as raster:
            for index, (name, values) in enumerate(bands, start=1):
                raster.write(values[::-1], index)  # rows from north to south
                raster.set_band_description(index, name)

    def to_npz(self, path: str | os.PathLike[str]) -> None:
        """Writes the arrays ``x``, ``y``, one per quantity, and ``crs`` (empty without one) with NumPy."""
        arrays: dict[str, Any] = {"x": self.xs, "y": self.ys, "crs": np.array(self.crs or "")}
        arrays.update((q, self[q]) for q in self.quantities)
        np.savez(path, **arrays)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the grid in the format its name ends with: ``.tif``/``.tiff``, ``.nc`` or ``.npz``."""
        extension = os.path.splitext(os.fspath(path))[1].lower()
        writers = {".tif": self.to_geotiff, ".tiff": self.to_geotiff, ".nc": self.to_netcdf, ".npz": self.to_npz}
        if extension not in writers:
            raise ValueError(f"{os.fspath(path)}: a grid is written to .tif, .nc or .npz")
        writers[extension](path)


def _optional(module: str, purpose: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"{purpose} needs {module.split('.')[0]}: pip install 'zelk-field[raster]'") from None


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
    outputs = {q: np.empty((total, *QUANTITY_TABLE[q].point_shape)) for q in quantities}
    methods = {q: QUANTITY_TABLE[q].bind(geometry) for q in quantities}
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
    computed ``chunk_points`` query points at a time (262,144 by default), so
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
        # The whole rows the chunk touches, filled by broadcasting (an index
        # array with its divisions costs several times more), then cut.
        first, last = start // width, (stop - 1) // width
        rows = np.empty((last - first + 1, width, 2))
        rows[:, :, 0] = xs
        rows[:, :, 1] = ys[first : last + 1, None]
        offset = start - first * width
        return rows.reshape(-1, 2)[offset : offset + stop - start]

    outputs = _evaluate_chunks(geometry, len(xs) * len(ys), points_of, chosen, chunk_points, progress)
    grid_shape = (len(ys), width)
    arrays = {q: a.reshape(grid_shape + a.shape[1:]) for q, a in outputs.items()}
    return GridField(xs, ys, **arrays, crs=crs_of(geometry))
