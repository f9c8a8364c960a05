"""Every quantity of a field in one search per point gives the bits of the
geometries' own methods, whatever the order or layout of the points."""

import numpy as np
import pytest

from zelk.field import _field, grid
from zelk.field.geometry import (
    GeometryCollectionRGJ,
    LineStringRGJ,
    MultiLineStringRGJ,
    MultiPointRGJ,
    MultiPolygonRGJ,
    PointRGJ,
    PolygonRGJ,
)

QUANTITIES = ("value", "gradient", "squared_dist", "repulsion_vector")
ANISO = [[3.0, 0.8], [0.8, 0.5]]


def ring(k, radius=1.0, centre=(0.0, 0.0)):
    ang = np.linspace(0.0, 2.0 * np.pi, k, endpoint=False)
    return np.c_[np.cos(ang), np.sin(ang)] * radius * (1 + 0.2 * np.sin(5 * ang))[:, None] + centre


def shapes():
    return [
        PointRGJ([0.5, 0.2], repulsion=ANISO),
        MultiPointRGJ(ring(700, 0.8), repulsion=ANISO),
        LineStringRGJ(ring(300, 1.2)),
        MultiLineStringRGJ([ring(80, 0.4, (2, 0)), ring(90, 0.6, (-2, 1))], repulsion=ANISO),
        PolygonRGJ([ring(400), ring(60, 0.3)], repulsion=ANISO),
        MultiPolygonRGJ([[ring(100, 0.5, (3, 3))], [ring(50, 0.5, (-3, -3))]]),
    ]


def queries(rng, n=6000):
    x = rng.uniform(-4, 4, (n, 2))
    x[::50] = np.round(x[::50], 1)  # points on edges, vertices and between equal members
    x[7] = np.nan
    x[8] = [1e300, -1e300]
    return x


def methods(g, x):
    gradient = grid._gradient_field(g).gradient
    return {"value": g.eval(x), "gradient": gradient(x), "squared_dist": g.squared_dist(x),
            "repulsion_vector": g.repulsion_vector(x)}


def assert_bits(got, want):
    for q in want:
        assert got[q].dtype == want[q].dtype and got[q].shape == want[q].shape, q
        assert got[q].tobytes() == want[q].tobytes(), q


@pytest.mark.parametrize("index", range(6))
def test_single_geometry_one_pass_equals_its_methods(rng, index):
    g = shapes()[index]
    x = queries(rng)
    assert_bits(_field.evaluate(g, x, QUANTITIES), methods(g, x))


def test_collection_one_pass_equals_its_methods_with_ties(rng):
    members = [s.toRGeoJSON()["geometry"] for s in shapes()]
    c = GeometryCollectionRGJ(members + members[2:5])  # equal members tie everywhere
    x = queries(rng, 20000)
    assert_bits(_field.evaluate(c, x, QUANTITIES), methods(c, x))
    part = _field.evaluate(c, x, ("squared_dist",))
    assert list(part) == ["squared_dist"] and part["squared_dist"].tobytes() == c.squared_dist(x).tobytes()


def test_stand_ins_are_declined(rng):
    class Sub(PolygonRGJ):
        pass

    x = queries(rng, 100)
    assert _field.evaluate(Sub([ring(10)]), x, QUANTITIES) is None
    with pytest.raises(ValueError, match="unknown quantity"):
        _field.evaluate(shapes()[0], x, ("speed",))


def test_grid_answers_as_the_methods_on_shuffled_points(rng):
    members = [s.toRGeoJSON()["geometry"] for s in shapes()]
    c = GeometryCollectionRGJ(members)
    field = grid.evaluate(c, (-4, -4, 4, 4), (90, 130), quantities=QUANTITIES, chunk_points=5000)
    xx, yy = np.meshgrid(field.xs, field.ys)
    points = np.c_[xx.ravel(), yy.ravel()]
    order = rng.permutation(len(points))
    want = methods(c, points[order])
    for q in QUANTITIES:
        got = field[q].reshape(len(points), -1)[order].reshape(want[q].shape)
        assert got.tobytes() == want[q].tobytes(), q


@pytest.mark.parametrize("metric", [None, ANISO])
def test_value_alone_where_the_exponential_runs_out(rng, metric):
    # Points whose forms straddle the point where exp(-form) reaches 0:
    # subnormal values, zeros, and rows nowhere near a member.
    members = [PolygonRGJ([ring(300), ring(40, 0.3)], repulsion=metric).toRGeoJSON()["geometry"],
               LineStringRGJ(ring(200, 2.0, (1, 0)), repulsion=metric).toRGeoJSON()["geometry"]]
    c = GeometryCollectionRGJ(members)
    ang = rng.uniform(0, 2 * np.pi, 20000)
    r = np.concatenate([rng.uniform(18, 35, 19000), rng.uniform(0, 3, 1000)])
    x = np.c_[np.cos(ang), np.sin(ang)] * r[:, None]
    got = _field.evaluate(c, x, ("value",))["value"]
    want = c.eval(x)
    assert got.tobytes() == want.tobytes()
    assert (want == 0).any() and ((want > 0) & (want < 1e-300)).any()
