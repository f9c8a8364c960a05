"""PointRGJ: the vector from the point to each query point."""

import zlib

import numpy as np
import pytest
import shapely

from zelk.field.geometry.point import MultiPointRGJ, PointRGJ


def expected(coordinates, x):
    return np.atleast_2d(x).astype(np.float64) - coordinates


class ArraySub(np.ndarray):
    pass


def query_forms(x):
    """The same (n, 2) queries in layouts the C++ loop reads and ones it leaves to NumPy."""
    x = np.asarray(x, dtype=np.float64)
    wide = np.empty((len(x), 5))
    wide[:, 1:4:2] = x
    return {
        "c": x.copy(),
        "fortran": np.asfortranarray(x),
        "sliced": wide[:, 1:4:2],
        "reversed": x[::-1].copy()[::-1],
        "swapped": x.astype(">f8"),
        "subclass": x.copy().view(ArraySub),
        "float32": x.astype(np.float32),
        "list": x.tolist(),
        "object": x.astype(object),
    }


@pytest.fixture
def rng(request):
    return np.random.default_rng(zlib.crc32(request.node.name.encode()))


def test_pair_gives_one_float_row():
    out = PointRGJ([1, 1]).repulsion_vector([3, 4])
    assert out.dtype == np.float64
    assert out.tolist() == [[2.0, 3.0]]


def test_integer_batch_gives_float64():
    x = np.array([[3, 4], [-1, 0], [7, 7]])
    out = PointRGJ([1, 1]).repulsion_vector(x)
    assert out.dtype == np.float64 and out.shape == (3, 2)
    np.testing.assert_array_equal(out, x - 1.0)


@pytest.mark.parametrize("kwargs", [{"min_dist_select": False}, {"min_dist_select": True}, {"scaled": True}, {"anything": object()}])
def test_extra_keywords_are_ignored(kwargs):
    g = PointRGJ([0.5, -2.0])
    x = [[1, 2], [3, 4]]
    np.testing.assert_array_equal(g.repulsion_vector(x, **kwargs), g.repulsion_vector(x))
    np.testing.assert_array_equal(g.repulsion_vector(x=x, **kwargs), expected(g.coordinates, x))


def test_empty_batch():
    out = PointRGJ([1, 2]).repulsion_vector(np.zeros((0, 2)))
    assert out.shape == (0, 2) and out.dtype == np.float64


@pytest.mark.parametrize("form", list(query_forms(np.zeros((1, 2)))))
def test_random_batches_in_every_layout(rng, form):
    g = PointRGJ(rng.normal(size=2) * 100)
    x = rng.normal(size=(40, 2)) * 100
    xq = query_forms(x)[form]
    out = g.repulsion_vector(xq)
    assert type(out) is np.ndarray or form == "subclass"
    assert out.dtype == np.float64 and out.shape == (40, 2)
    np.testing.assert_array_equal(np.asarray(out), expected(g.coordinates, np.asarray(xq, dtype=np.float64)))


def test_result_is_a_new_array():
    g = PointRGJ([0, 0])
    x = np.array([[1.0, 2.0]])
    out = g.repulsion_vector(x)
    assert out is not x and not np.shares_memory(out, x)
    out[0, 0] = 99.0
    assert x[0, 0] == 1.0 and g.coordinates.tolist() == [[0.0, 0.0]]


@pytest.mark.parametrize(
    "coords",
    [
        [3.0, -1.0],  # a list, assigned by hand
        np.array([3.0, -1.0]),  # the flat (2,) form
        np.array([[3.0, -1.0]], dtype=np.float32),
        np.array([[3.0, -1.0]]).astype(">f8"),
        np.array([[3, -1]]),
    ],
    ids=["list", "flat", "float32", "swapped", "int"],
)
def test_coordinates_assigned_by_hand(rng, coords):
    g = PointRGJ([0, 0])
    g.coordinates = coords
    x = rng.normal(size=(7, 2))
    np.testing.assert_allclose(g.repulsion_vector(x), expected(np.asarray(coords), x), rtol=1e-6)
    np.testing.assert_array_equal(g.repulsion_vector([1, 2]), [[1 - 3, 2 + 1]])


def test_several_rows_broadcast_like_numpy():
    g = PointRGJ([0, 0])
    g.coordinates = np.array([[1.0, 2.0], [3.0, 4.0]])
    np.testing.assert_array_equal(g.repulsion_vector([[10, 10], [20, 20]]), [[9, 8], [17, 16]])
    np.testing.assert_array_equal(g.repulsion_vector([0, 0]), [[-1, -2], [-3, -4]])
    with pytest.raises(ValueError) as err:
        g.repulsion_vector(np.zeros((3, 2)))
    with pytest.raises(ValueError) as ref:
        np.zeros((3, 2)) - g.coordinates
    assert str(err.value) == str(ref.value)


@pytest.mark.parametrize("x", [[[1, 2, 3]], "abc", [[1, 2], [3]], [{"a": 1}, 2], np.zeros((2, 2, 3))])
def test_numpy_errors_propagate(x):
    g = PointRGJ([1, 2])
    with pytest.raises(Exception) as ref:
        expected(g.coordinates, x)
    with pytest.raises(type(ref.value)) as err:
        g.repulsion_vector(x)
    assert str(err.value) == str(ref.value)


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("x", [None, True, [[1 + 1j, 2]], np.float16(3), [[np.inf, -np.inf]], np.arange(8.0).reshape(2, 2, 2)])
def test_odd_queries_numpy_accepts(x):
    g = PointRGJ([1, 2])
    np.testing.assert_array_equal(g.repulsion_vector(x), expected(g.coordinates, x))


def test_fields_are_not_written():
    g = PointRGJ([1, 2], repulsion=[[2, 0], [0, 3]])
    before = [g.coordinates, g.repulsion, g.inv_repulsion, g.eye_repulsion, g.grad_matrix, g.properties, g.bbox]
    snapshot = [np.copy(v) for v in before if isinstance(v, np.ndarray)]
    g.repulsion_vector([[5, 5], [6, 6]])
    with pytest.raises(ValueError):
        g.repulsion_vector([[5, 5, 5]])
    after = [g.coordinates, g.repulsion, g.inv_repulsion, g.eye_repulsion, g.grad_matrix, g.properties, g.bbox]
    assert all(a is b for a, b in zip(before, after)) and g.properties == {}
    for a, s in zip([v for v in after if isinstance(v, np.ndarray)], snapshot):
        np.testing.assert_array_equal(a, s)


def test_opposite_of_single_point_set(rng):
    p = rng.normal(size=2)
    x = rng.normal(size=(25, 2))
    np.testing.assert_array_equal(MultiPointRGJ([p]).repulsion_vector(x), -PointRGJ(p).repulsion_vector(x))


def test_base_operations_use_the_point_vector(rng):
    rep = np.array([[2.0, 0.3], [-0.4, 0.5]])
    p = rng.normal(size=2)
    g = PointRGJ(p, repulsion=rep)
    x = rng.normal(size=(30, 2)) * 3
    d = x - p
    a = np.linalg.inv(rep)
    np.testing.assert_allclose(g.squared_dist(x), ((d @ a) * d).sum(-1), rtol=1e-13)
    np.testing.assert_allclose(g.squared_dist(x, scaled=False), (d * d).sum(-1), rtol=1e-13)
    np.testing.assert_allclose(g.eval(x, inverted=False), np.exp(-((d @ rep) * d).sum(-1)), rtol=1e-13)


def test_euclidean_distance_matches_shapely(rng):
    p = rng.normal(size=2) * 10
    x = rng.normal(size=(50, 2)) * 10
    ref = shapely.distance(shapely.points(x), shapely.Point(*p)) ** 2
    np.testing.assert_allclose(PointRGJ(p).squared_dist(x), ref, rtol=1e-12)


def test_python_subclass():
    class Sub(PointRGJ):
        pass

    g = Sub([1, 1])
    assert g.RGJType == "Point"
    np.testing.assert_array_equal(g.repulsion_vector([3, 4]), [[2, 3]])
