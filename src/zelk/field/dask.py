"""Fields of a geometry over Dask arrays, for batches and grids too large for one process.

Every function takes a geometry and returns lazy Dask arrays; nothing is
computed until ``.compute()`` (or ``dask.compute``), on whatever scheduler is
active, a ``distributed`` cluster included. The geometry enters the task graph
once, under one key that every block task refers to, so it is pickled and sent
to each worker once rather than once per chunk. Rows are evaluated
independently, so every result equals the one-shot evaluation on the whole
array exactly.

Needs the ``dask`` extra (``pip install zelk-field[dask]``).
"""

from __future__ import annotations

import math
import sys
import threading
from collections.abc import Sequence
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import tokenize
from dask.delayed import Delayed, delayed

import zelk.field
from zelk.field import _field
from zelk.field.grid import (
    QUANTITY_TABLE,
    Bounds,
    Shape,
    _check_quantities,
    axes,
    default_bounds,
    default_chunk_points,
)

__all__ = ["gradient", "grid", "repulsion_vector", "squared_dist", "task_threads", "value"]

FloatArray = npt.NDArray[np.float64]


def _columns(quantity: str) -> int:
    """Columns the quantity takes in a block's result."""
    return math.prod(QUANTITY_TABLE[quantity].point_shape)


def _evaluate(geometry: Any, x: FloatArray, quantity: str) -> FloatArray:
    """One quantity at the rows of ``x``: ``(n,)`` or ``(n, 2)``. For
    ``"gradient"``, ``geometry`` may already be what answers it (its
    ``Quantity.answerer``), which answers for itself."""
    return np.asarray(QUANTITY_TABLE[quantity].bind(geometry)(x), dtype=np.float64)


def _shipped(geometry: Any) -> Delayed:
    """The geometry as one graph key: every block task refers to that key, so
    the geometry is serialised once per graph, not once per chunk."""
    shipped: Delayed = delayed(geometry, name=f"zelk-geometry-{tokenize(geometry)}", traverse=False)
    return shipped


def _dask_threads_here() -> int | None:
    """How many threads Dask runs tasks on in this process when the calling
    thread is one of them (a ``distributed`` worker's, or a pool thread of
    dask's threaded scheduler), else None. Only modules already imported are
    looked at, so outside Dask this costs nothing."""
    worker_module = sys.modules.get("distributed.worker")
    if worker_module is not None:
        try:
            return max(1, int(worker_module.get_worker().state.nthreads))
        except ValueError:  # not in a worker's task
            pass
    threaded = sys.modules.get("dask.threaded")
    if threaded is not None:
        me = threading.current_thread()
        pools = [threaded.default_pool, *(p for per in list(threaded.pools.values()) for p in list(per.values()))]
        for pool in pools:
            # A pool thread may run its first task before the pool lists it,
            # but it is named after the pool from the start.
            prefix = getattr(pool, "_thread_name_prefix", None)
            if me in getattr(pool, "_threads", ()) or (prefix and me.name.startswith(f"{prefix}_")):
                return max(1, int(pool._max_workers))
    return None


def task_threads() -> int:
    """How many threads a large query should use in the task running on this thread.

    In a Dask task (on a ``distributed`` worker, or dask's threaded
    scheduler) it is the task's share of the cores, ``max(1, cores //
    dask_threads)``, at most ``zelk.field.get_num_threads()``, so that Dask's
    threads and ours together do not oversubscribe the machine: with as many
    Dask threads as cores, one each. Outside Dask, or within a
    ``zelk.field.num_threads`` block (also one around a threaded ``compute``,
    whose tasks inherit it), it is ``get_num_threads()``. The block functions
    of this module use it; code of one's own in a task does the same with::

        with zelk.field.num_threads(zelk.field.dask.task_threads()):
            ...
    """
    if zelk.field._thread_context.get() is not None:
        return zelk.field.get_num_threads()
    process = zelk.field.get_num_threads()
    dask_threads = _dask_threads_here()
    if dask_threads is None:
        return process
    return max(1, min(process, zelk.field._cores() // dask_threads))


def _points_block(x: FloatArray, geometry: Any, quantity: str) -> FloatArray:
    with zelk.field.num_threads(task_threads()):
        return _evaluate(geometry, x, quantity)


def _rows(points: Any) -> da.Array:
    """``points`` as a Dask array of rows ``(n, 2)``, chunked along rows only."""
    arr = points if isinstance(points, da.Array) else da.asarray(points)
    if arr.ndim != 2 or arr.shape[1] != 2:
        raise ValueError(f"points must have shape (n, 2), got {arr.shape}")
    if arr.dtype != np.float64:
        arr = arr.astype(np.float64)
    if arr.numblocks[1] != 1:
        arr = arr.rechunk({1: -1})
    return arr


def _map_points(geometry: Any, points: Any, quantity: str) -> da.Array:
    rows = _rows(points)
    g = _shipped(QUANTITY_TABLE[quantity].answerer(geometry))
    name = f"zelk-{quantity.replace('_', '-')}-{tokenize(g.key, rows.name)}"
    if _columns(quantity) == 1:
        shape: dict[str, Any] = {"drop_axis": 1, "chunks": (rows.chunks[0],), "meta": np.empty((0,))}
    else:
        shape = {"chunks": (rows.chunks[0], (2,)), "meta": np.empty((0, 0))}
    result: da.Array = da.map_blocks(_points_block, rows, g, quantity, name=name, dtype=np.float64, **shape)
    return result


def value(geometry: Any, points: Any) -> da.Array:
    """The field value ``geometry.eval`` at each row of ``points``.

    Parameters
    ----------
    geometry
        Any geometry.
    points
        A Dask array ``(n, 2)`` chunked by rows (an array-like is wrapped).

    Returns
    -------
    dask.array.Array
        float64 ``(n,)``, chunked as the rows of ``points``.
    """
    return _map_points(geometry, points, "value")


def gradient(geometry: Any, points: Any) -> da.Array:
    """The field gradient at each row of ``points``, as :func:`zelk.field.grid.evaluate`
    computes it: a collection's own ``gradient`` (the matrix of the nearest
    member), and for a single geometry that of a collection holding it alone,
    ``-eval(x) * grad_matrix @ repulsion_vector(x)`` row by row. Vectors keep
    their class's orientation, so for a point set (nearest point minus query)
    the rows are the negation of the derivative of the field value.

    Parameters
    ----------
    geometry
        Any geometry.
    points
        A Dask array ``(n, 2)`` chunked by rows.

    Returns
    -------
    dask.array.Array
        float64 ``(n, 2)``.
    """
    return _map_points(geometry, points, "gradient")


def squared_dist(geometry: Any, points: Any) -> da.Array:
    """The squared distance ``geometry.squared_dist`` of each row of ``points``.

    Parameters
    ----------
    geometry
        Any geometry.
    points
        A Dask array ``(n, 2)`` chunked by rows.

    Returns
    -------
    dask.array.Array
        float64 ``(n,)``.
    """
    return _map_points(geometry, points, "squared_dist")


def repulsion_vector(geometry: Any, points: Any) -> da.Array:
    """The repulsion vector ``geometry.repulsion_vector`` of each row of ``points``.

    Parameters
    ----------
    geometry
        Any geometry; the vectors keep its class's
        orientation (a point set's point from the query to the nearest point).
    points
        A Dask array ``(n, 2)`` chunked by rows.

    Returns
    -------
    dask.array.Array
        float64 ``(n, 2)``.
    """
    return _map_points(geometry, points, "repulsion_vector")


def _grid_block(
    ys: FloatArray, xs: FloatArray, geometry: Any, gradient_field: Any, quantities: tuple[str, ...]
) -> FloatArray:
    """All quantities on the block ``ys x xs``, stacked along a last axis."""
    gx, gy = np.meshgrid(xs, ys)
    x = np.stack([gx.ravel(), gy.ravel()], axis=1)
    with zelk.field.num_threads(task_threads()):
        # Every quantity in one search per point where the geometry allows it.
        together = _field.evaluate(geometry, x, quantities)
        columns = [
            (
                together[q]
                if together
                else _evaluate(gradient_field if QUANTITY_TABLE[q].needs_gradient_field else geometry, x, q)
            ).reshape(len(x), -1)
            for q in quantities
        ]
    return np.concatenate(columns, axis=1).reshape(len(ys), len(xs), -1)


def grid(
    geometry: Any,
    bounds: Bounds | None = None,
    shape: Shape = (500, 500),
    chunks: int | str | Sequence[Any] = "auto",
    *,
    quantities: Sequence[str] = ("value", "gradient"),
) -> dict[str, da.Array]:
    """Fields of ``geometry`` on a regular grid, built lazily block by block.

    The grid is that of :func:`zelk.field.grid.axes`: ``values[i, j]`` belongs
    to the point ``(xs[j], ys[i])`` with ``xs = linspace(xmin, xmax, width)``
    and ``ys = linspace(ymin, ymax, height)``. No block holds more than its own
    points, and each block computes all requested quantities at once.

    Parameters
    ----------
    geometry
        Any geometry.
    bounds
        ``(xmin, ymin, xmax, ymax)``; None takes the geometry's box plus a
        margin (:func:`zelk.field.grid.default_bounds`).
    shape
        ``(height, width)``: the number of grid rows (along y) and columns.
    chunks
        Block shape over ``(height, width)`` as Dask understands it, such as
        ``(250, 1000)``; ``"auto"`` gives blocks of as many points as
        :func:`zelk.field.grid.evaluate` computes at once.
    quantities
        Any of ``"value"``, ``"gradient"``, ``"squared_dist"``,
        ``"repulsion_vector"``.

    Returns
    -------
    dict
        One Dask array per quantity: ``(height, width)`` for the scalar ones,
        ``(height, width, 2)`` for the vector ones.
    """
    quantities = _check_quantities(quantities)
    if bounds is None:
        bounds = default_bounds(geometry)
    xs, ys = axes(bounds, shape)
    height, width = len(ys), len(xs)
    # "auto" blocks hold as many points as one chunk of zelk.field.grid.evaluate.
    limit = default_chunk_points(geometry) * np.dtype(np.float64).itemsize
    row_chunks, col_chunks = da.core.normalize_chunks(chunks, (height, width), limit=limit, dtype=np.float64)
    ys_arr = da.from_array(ys, chunks=(row_chunks,))
    xs_arr = da.from_array(xs, chunks=(col_chunks,))
    g = _shipped(geometry)
    # Shipped only when asked for and different: a collection is its own.
    field = QUANTITY_TABLE["gradient"].answerer(geometry) if "gradient" in quantities else geometry
    gf = g if field is geometry else _shipped(field)
    width_all = sum(_columns(q) for q in quantities)
    stacked: da.Array = da.blockwise(
        _grid_block,
        "ijk",
        ys_arr,
        "i",
        xs_arr,
        "j",
        g,
        None,
        gf,
        None,
        quantities,
        None,
        new_axes={"k": width_all},
        dtype=np.float64,
        meta=np.empty((0, 0, 0), dtype=np.float64),
        name=f"zelk-grid-{tokenize(g.key, gf.key, bounds, (height, width), row_chunks, col_chunks, quantities)}",
    )
    out: dict[str, da.Array] = {}
    start = 0
    for q in quantities:
        k = _columns(q)
        out[q] = stacked[..., start] if k == 1 else stacked[..., start : start + k]
        start += k
    return out
