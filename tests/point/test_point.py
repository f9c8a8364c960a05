"""PointRGJ: the vector from the point to each query point."""


import numpy as np
import pytest
import shapely

from helpers import assert_like, subclass
from zelk.field.geometry.point import PointRGJ


def formula(coordinates, x):
    return np.atleast_2d(x).astype(np.float64) - coordinates


@pytest.mark.parametrize(
    "point, x, want",
    [
        ([1, 1], [3, 4], [[2.0, 3.0]]),
        ([1, 1], np.array([[3, 4], [-1, 0]]), [[2.0, 3.0], [-2.0, -1.0]]),
        ([0.5, -2], np.zeros((0, 2)), np.zeros((0, 2))),
    ],
)
def test_documented_cases(point, x, want):
    g = PointRGJ(point)
    for kwargs in ({}, {"min_dist_select": False}, {"scaled": True}, {"anything": object()}):
        out = g.repulsion_vector(x, **kwargs)
        assert out.dtype == np.float64 and out.shape == np.shape(want)
        np.testing.assert_array_equal(out, want)
    np.testing.assert_array_equal(g.repulsion_vector(x=x), want)


def layouts(x):
    """The same (n, 2) queries in layouts the C++ loop reads and ones it leaves to NumPy."""
    wide = np.empty((len(x), 5))
    wide[:, 1:4:2] = x
    return {
        "c": x.copy(),
        "fortran": np.asfortranarray(x),
        "sliced": wide[:, 1:4:2],
        "reversed": x[::-1].copy()[::-1],
        "swapped": x.astype(">f8"),
        "subclass": x.copy().view(subclass(np.ndarray)),
        "float32": x.astype(np.float32),
        "list": x.tolist(),
        "int": np.round(x).astype(np.int32),
    }


@pytest.mark.parametrize("form", list(layouts(np.zeros((1, 2)))))
def test_random_batches_in_every_layout(rng, form):
    g = PointRGJ(rng.normal(size=2) * 100)
    xq = layouts(rng.normal(size=(40, 2)) * 100)[form]
    out = g.repulsion_vector(xq)
    np.testing.assert_array_equal(out, formula(g.coordinates, np.asarray(xq, dtype=np.float64)))
    assert out.dtype == np.float64 and not np.shares_memory(out, xq)


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize(
    "x",
    [None, True, [[1 + 1j, 2]], [[np.inf, -np.inf]], np.arange(8.0).reshape(2, 2, 2),
     [[1, 2, 3]], "abc", [[1, 2], [3]], [{"a": 1}, 2], np.zeros((2, 2, 3)), np.array([1.0, 2.0, 3.0])[::2]],
)
def test_any_query_behaves_as_the_formula(x):
    g = PointRGJ([1, 2])
    assert_like(lambda: g.repulsion_vector(x), lambda: formula(g.coordinates, x))


@pytest.mark.parametrize(
    "coords",
    [[3.0, -1.0], np.array([3.0, -1.0]), np.array([[3.0, -1.0]], dtype=np.float32), np.array([[3.0, -1.0]]).astype(">f8"),
     np.array([[1.0, 2.0], [3.0, 4.0]]), np.zeros((0, 2)), None, "x"],
    ids=["list", "flat", "float32", "swapped", "two-rows", "empty", "None", "str"],
)
@pytest.mark.parametrize("x", [[1, 2], [[10, 10], [20, 20]], np.zeros((3, 2))])
def test_coordinates_assigned_by_hand(coords, x):
    g = PointRGJ([0, 0])
    g.coordinates = coords
    assert_like(lambda: g.repulsion_vector(x), lambda: formula(coords, x))


def test_fields_are_not_written():
    g = PointRGJ([1, 2], repulsion=[[2, 0], [0, 3]])
    names = ["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox"]
    before = [getattr(g, f) for f in names]
    copies = [np.copy(v) for v in before[:5]] + [dict(before[5]), np.copy(before[6])]
    g.repulsion_vector([[5, 5], [6, 6]])
    with pytest.raises(ValueError):
        g.repulsion_vector([[5, 5, 5]])
    assert all(getattr(g, f) is v for f, v in zip(names, before))
    for f, c in zip(names, copies):
        assert getattr(g, f) == c if f == "properties" else np.array_equal(getattr(g, f), c)


def test_euclidean_distance_matches_shapely(rng):
    p, x = rng.normal(size=2) * 10, rng.normal(size=(50, 2)) * 10
    ref = shapely.distance(shapely.points(x), shapely.Point(*p)) ** 2
    np.testing.assert_allclose(PointRGJ(p).squared_dist(x), ref, rtol=1e-12)
