"""Dask evaluation on a two-process cluster equals the one-shot local evaluation."""

import io
import pickle

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

from zelk.field import dask as zdask  # noqa: E402
from zelk.field.geometry.collection import GeometryCollectionRGJ  # noqa: E402
from zelk.field.grid import axes, default_bounds, evaluate  # noqa: E402

ANISO = [[2.0, 0.5], [0.5, 1.0]]
SQUARE = [[0, 0], [4, 0], [4, 3], [0, 3]]
HOLE = [[1, 1], [2, 1], [2, 2], [1, 2]]
GEOMETRIES = {
    "point": {"type": "Point", "coordinates": [1.0, 2.0], "repulsion": ANISO},
    "multipoint": {"type": "MultiPoint", "coordinates": [[0, 0], [3, 1], [5, 5]], "repulsion": ANISO},
    "linestring": {"type": "LineString", "coordinates": [[0, 0], [2, 3], [5, 1]]},
    "multilinestring": {"type": "MultiLineString", "coordinates": [[[0, 0], [1, 4]], [[3, 3], [6, 0], [6, 2]]]},
    "polygon": {"type": "Polygon", "coordinates": [SQUARE, HOLE], "repulsion": ANISO},
    "multipolygon": {"type": "MultiPolygon", "coordinates": [[SQUARE], [[[6, 0], [8, 0], [7, 2]]]]},
}
QUANTITIES = ["value", "gradient", "squared_dist", "repulsion_vector"]


def build(name):
    from zelk.field.geometry import _RGJ_TYPES

    if name == "collection":
        return GeometryCollectionRGJ(list(GEOMETRIES.values()))
    return _RGJ_TYPES[GEOMETRIES[name]["type"]](**GEOMETRIES[name])


def local(geometry, x, quantity):
    """The same quantity straight from the geometry, on the whole batch; a
    single geometry's gradient is that of a collection holding it alone."""
    if quantity == "gradient":
        if not isinstance(geometry, GeometryCollectionRGJ):
            geometry = GeometryCollectionRGJ([geometry.toRGeoJSON()["geometry"]])
        return geometry.gradient(x)
    return {"value": geometry.eval, "squared_dist": geometry.squared_dist}.get(
        quantity, geometry.repulsion_vector
    )(x)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.slow
@pytest.mark.parametrize("name", [*GEOMETRIES, "collection"])
def test_points_on_cluster_equal_local(client, name):
    geometry = build(name)
    x = np.random.default_rng(7).uniform(-3, 10, (1201, 2))
    points = da.from_array(x, chunks=(200, 2))
    lazy = [getattr(zdask, q)(geometry, points) for q in QUANTITIES]
    results = client.compute(lazy, sync=True)
    for quantity, result in zip(QUANTITIES, results):
        expected = local(geometry, x, quantity)
        np.testing.assert_array_equal(result, expected, err_msg=quantity)
        assert result.shape == expected.shape
    if name != "collection":  # the gradient formula with the geometry's one matrix
        d = geometry.repulsion_vector(x)
        formula = -geometry.eval(x)[:, None] * (d @ geometry.grad_matrix.T)
        np.testing.assert_allclose(results[1], formula, rtol=1e-12, atol=1e-300)


@pytest.mark.slow
@pytest.mark.parametrize(("name", "bounds", "shape", "chunks"), [
    ("collection", None, (37, 53), (10, 20)),
    ("polygon", (-1.0, -2.0, 6.0, 4.5), (40, 25), (40, 7)),
])
def test_grid_on_cluster_equals_local(client, name, bounds, shape, chunks):
    geometry = build(name)
    fields = zdask.grid(geometry, bounds, shape, chunks, quantities=QUANTITIES)
    xs, ys = axes(bounds if bounds else default_bounds(geometry), shape)
    gx, gy = np.meshgrid(xs, ys)
    x = np.stack([gx.ravel(), gy.ravel()], axis=1)
    results = client.compute(fields, sync=True)
    reference = evaluate(geometry, bounds, shape, quantities=QUANTITIES)  # the in-process grid
    for quantity in QUANTITIES:
        expected = local(geometry, x, quantity)
        want = shape if expected.ndim == 1 else (*shape, 2)
        np.testing.assert_array_equal(results[quantity], expected.reshape(want), err_msg=quantity)
        np.testing.assert_array_equal(results[quantity], reference[quantity], err_msg=quantity)


def tasks_holding(array, obj):
    """How many graph entries serialise `obj` themselves (rather than naming its key)."""
    count = 0
    for task in dict(array.__dask_graph__()).values():
        found = []

        class Spy(pickle.Pickler):
            def persistent_id(self, o):
                found.append(o is obj)

        Spy(io.BytesIO()).dump(task)
        count += any(found)
    return count


def evaluate_blocks(block, geometry):
    return geometry.eval(block)


@pytest.mark.parametrize("make", [
    lambda g, p: zdask.value(g, p),
    lambda g, p: zdask.repulsion_vector(g, p),
    lambda g, p: zdask.gradient(g, p),
    lambda g, p: zdask.grid(g, None, (30, 30), (10, 10))["gradient"],
])
def test_geometry_enters_graph_once(make):
    geometry = build("collection")
    points = da.from_array(np.zeros((100, 2)), chunks=(10, 2))
    # The spy sees a geometry passed as a plain argument in every block task.
    assert tasks_holding(points.map_blocks(evaluate_blocks, geometry, drop_axis=1, dtype=float), geometry) == 10
    assert tasks_holding(make(geometry, points), geometry) == 1


@pytest.mark.parametrize(("call", "error"), [
    (lambda g: zdask.value(g, np.zeros((4, 3))), ValueError),
    (lambda g: zdask.value(g, np.zeros(4)), ValueError),
    (lambda g: zdask.grid(g, None, (5, 5), quantities=("speed",)), ValueError),
])
def test_bad_arguments(call, error):
    with pytest.raises(error):
        call(build("polygon"))
