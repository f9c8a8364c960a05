"""MultiPointRGJ: offsets to the nearest point of a set, or to every point."""

import warnings

import numpy as np
import pytest
import shapely

from helpers import Flag, assert_like, random_metric, subclass
from zelk.field.geometry.base import MultiRGJGeometry
from zelk.field.geometry.point import MultiPointRGJ, PointRGJ


def formula(coords, x, select=True, metric=None):
    """The NumPy formulation: every difference, then the first smallest quadratic form."""
    x = np.atleast_2d(x).astype(np.float64)
    diff = coords[None, :, :] - x[:, None, :]
    if not select:
        return diff.swapaxes(0, 1).reshape(-1, 2)
    dist = ((diff @ metric) * diff).sum(-1)
    return diff[np.arange(len(x)), dist.argmin(1)]


def brute_force(coords, x, metric):
    """p* - x_i with the quadratic form of every pair written out; first minimum or first NaN."""
    coords, x = np.asarray(coords, dtype=np.float64), np.atleast_2d(x).astype(np.float64)
    m = np.asarray(metric, dtype=np.float64)
    rows = []
    for q in x:
        forms = [float(d @ m @ d) for d in coords - q]
        rows.append(coords[int(np.argmin(forms))] - q)
    return np.array(rows).reshape(-1, 2)


def assert_same_choice(got, want, metric):
    """Rows equal to the oracle's, except where two choices tie up to rounding."""
    assert got.shape == want.shape and got.dtype == np.float64
    for g, w in zip(got, want):
        if not np.array_equal(g, w, equal_nan=True):
            assert np.isclose(g @ metric @ g, w @ metric @ w, rtol=1e-12), (g, w)


def fail():
    raise LookupError("flag")


@pytest.fixture
def two():
    return MultiPointRGJ([[0, 0], [10, 0]])


# --- documented cases ----------------------------------------------------------------


@pytest.mark.parametrize(
    "x, want",
    [([[1, 1]], [[-1, -1]]), ([[5, 0]], [[-5, 0]]), ([1, 1], [[-1, -1]]), (np.array([9.0, 0.5, 1.0])[::2], [[1, -1]]),
     ([[9, 0], [20, 5]], [[1, 0], [-10, -5]]), (np.zeros((0, 2)), np.zeros((0, 2)))],
)
@pytest.mark.parametrize("flag", [True, 1, "no", [0], np.True_, object()])
def test_nearest_point(two, x, want, flag):
    out = two.repulsion_vector(x, flag)
    assert out.dtype == np.float64 and out.shape == np.shape(want)
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("flag", [False, None, 0, 0.0, "", [], np.False_, np.array(0)])
def test_false_selection_gives_every_pair_point_major(two, flag):
    out = two.repulsion_vector(x=[[1, 1], [9, 0], [20, 5]], min_dist_select=flag)
    assert out.tolist() == [[-1, -1], [-9, 0], [-20, -5], [9, -1], [1, 0], [-10, -5]]
    assert two.repulsion_vector(np.zeros((0, 2)), flag).shape == (0, 2)


def test_flag_errors_propagate_after_shape_errors(two):
    with pytest.raises(ValueError, match="truth value of an array"):
        two.repulsion_vector([[1, 1]], np.array([1, 0]))
    with pytest.raises(LookupError, match="flag"):
        two.repulsion_vector([[1, 1]], Flag(action=fail))
    assert_like(lambda: two.repulsion_vector([[1, 2, 3]], Flag(action=fail)), lambda: formula(two.coordinates, [[1, 2, 3]], False))


@pytest.mark.parametrize("coords", [np.zeros((0, 2)), np.zeros((0, 2), dtype=np.float32)])
@pytest.mark.parametrize("n", [2, 0])
def test_empty_point_set(coords, n):
    g = MultiPointRGJ(np.zeros((0, 2)))
    g.coordinates = coords
    assert g.repulsion_vector(np.ones((n, 2)), False).shape == (0, 2)
    assert_like(lambda: g.repulsion_vector(np.ones((n, 2))), lambda: formula(coords, np.ones((n, 2)), True, np.eye(2)))


def test_single_point_is_negated_point_result(rng):
    p, x = rng.normal(size=2), rng.normal(size=(9, 2))
    for flag in (True, False):
        np.testing.assert_array_equal(MultiPointRGJ([p]).repulsion_vector(x, flag), -PointRGJ(p).repulsion_vector(x))


# --- random data against the oracles ----------------------------------------------------


def layouts(x):
    wide = np.empty((len(x), 6))
    wide[:, ::3] = x
    return {
        "c": x.copy(), "fortran": np.asfortranarray(x), "sliced": wide[:, ::3], "negative": x[::-1].copy()[::-1],
        "swapped": x.astype(">f8"), "subclass": x.copy().view(subclass(np.ndarray)), "list": x.tolist(),
        "int": np.round(x).astype(np.int64), "float32": x.astype(np.float32),
    }


@pytest.mark.parametrize("form", list(layouts(np.zeros((1, 2)))))
def test_random_queries_in_every_layout(rng, form):
    rep = random_metric(rng)
    coords = rng.normal(size=(int(rng.integers(1, 40)), 2)) * 10
    xq = layouts(rng.normal(size=(int(rng.integers(1, 60)), 2)) * 12)[form]
    x = np.asarray(xq, dtype=np.float64)
    g = MultiPointRGJ(coords, rep)
    assert_same_choice(np.asarray(g.repulsion_vector(xq)), brute_force(coords, x, np.linalg.inv(rep)), np.linalg.inv(rep))
    np.testing.assert_array_equal(g.repulsion_vector(xq, False), formula(coords, x, False))


@pytest.mark.parametrize(
    "make",
    [lambda c: c.astype(np.float32), np.asfortranarray, lambda c: np.repeat(c, 2, axis=1)[:, ::2], lambda c: c.astype(">f8"), lambda c: c.tolist()],
    ids=["float32", "fortran", "sliced", "swapped", "list"],
)
@pytest.mark.parametrize("flag", [True, False])
def test_coordinates_assigned_by_hand(rng, make, flag):
    coords, x = np.round(rng.normal(size=(10, 2)) * 8, 1), rng.normal(size=(15, 2)) * 8
    g = MultiPointRGJ(coords, [[2.0, 0.5], [0.0, 1.0]])
    g.coordinates = make(coords)
    assert_like(lambda: g.repulsion_vector(x, flag), lambda: formula(g.coordinates, x, flag, g.inv_repulsion))


def test_euclidean_choice_matches_shapely(rng):
    coords, x = rng.normal(size=(30, 2)) * 5, rng.normal(size=(80, 2)) * 6
    got = MultiPointRGJ(coords).repulsion_vector(x)
    ref = shapely.distance(shapely.points(x), shapely.MultiPoint(coords))
    np.testing.assert_allclose(np.hypot(got[:, 0], got[:, 1]), ref, rtol=1e-12)


def test_nan_form_is_chosen_first_as_numpy_does():
    coords = np.array([[1.0, 1.0], [np.nan, 0.0], [0.5, 0.0], [np.nan, 1.0]])
    x = np.array([[0.0, 0.0], [1.0, 1.0]])
    for c in (coords, coords.astype(">f8")):
        g = MultiPointRGJ([[0, 0]])
        g.coordinates = c
        np.testing.assert_array_equal(g.repulsion_vector(x), brute_force(coords, x, np.eye(2)))
    assert np.isnan(brute_force(coords, x, np.eye(2))[:, 0]).all()


# --- the metric --------------------------------------------------------------------------


def test_metric_is_the_inverse_repulsion():
    # (3, 0) is nearer in plain distance, (0, 4) under the inverse of diag(0.1, 1).
    g = MultiPointRGJ([[3, 0], [0, 4]])
    assert g.repulsion_vector([0, 0]).tolist() == [[3, 0]]
    g.set_repulsion([[0.1, 0], [0, 1]])
    assert g.repulsion_vector([0, 0]).tolist() == [[0, 4]]
    assert MultiPointRGJ([[3, 0], [0, 4]], [[0.1, 0], [0, 1]]).repulsion_vector([0, 0]).tolist() == [[0, 4]]


class Recording(MultiPointRGJ):
    """get_dist_matrix returns `metric` (unless unset) and records each call."""

    metric = NotImplemented

    def get_dist_matrix(self, *args, **kwargs):
        type(self).calls.append((args, kwargs))
        return super().get_dist_matrix(*args, **kwargs) if self.metric is NotImplemented else self.metric


with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)
    MATRIX = np.matrix(np.eye(2))


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize(
    "form",
    [lambda m: m, lambda m: m.tolist(), lambda m: m.astype(np.float32), np.asfortranarray, lambda m: m.T.copy().T,
     lambda m: np.eye(3), lambda m: None, lambda m: "ab", lambda m: [[1, 0]], lambda m: m[None], lambda m: MATRIX,
     lambda m: 2.0, lambda m: m.astype(complex)],
    ids=["plain", "list", "float32", "fortran", "transposed", "3x3", "None", "str", "1x2", "stacked", "matrix", "scalar", "complex"],
)
def test_metric_from_an_overridden_get_dist_matrix(rng, form):
    Recording.calls = []
    coords, x = rng.normal(size=(25, 2)) * 3, rng.normal(size=(30, 2)) * 3
    g = Recording(coords)
    g.metric = form(random_metric(rng))
    assert_like(lambda: g.repulsion_vector(x), lambda: formula(coords, x, True, g.metric))
    assert Recording.calls == [((), {"scaled": True, "inverted": True})]
    g.repulsion_vector(x, False)
    assert len(Recording.calls) == 1  # every pair needs no metric


def test_metric_is_fetched_on_every_call():
    Recording.calls = []
    g = Recording([[3, 0], [0, 4]])
    assert g.repulsion_vector([0, 0]).tolist() == [[3, 0]]
    g.metric = np.diag([10.0, 1.0])
    assert g.repulsion_vector([0, 0]).tolist() == [[0, 4]]
    g.get_dist_matrix = lambda **kw: np.eye(2)  # on the instance itself
    assert g.repulsion_vector([0, 0]).tolist() == [[3, 0]]
    assert len(Recording.calls) == 2


def test_get_dist_matrix_error_propagates():
    class Failing(MultiPointRGJ):
        def get_dist_matrix(self, **kwargs):
            raise KeyError("metric")

    with pytest.raises(KeyError, match="metric"):
        Failing([[0, 0]]).repulsion_vector([1, 1])


# --- construction ----------------------------------------------------------------------


def test_box_is_an_independent_copy_of_the_points():
    g = MultiPointRGJ([[1, 2], [3, -4], [0, 0]])
    np.testing.assert_array_equal(g.bbox, [[1, 2], [3, -4], [0, 0]])
    assert not np.shares_memory(g.bbox, g.coordinates)
    g.coordinates[0, 0] = 100.0
    assert g.bbox[0, 0] == 1.0


def test_arguments_reach_the_base_initialiser():
    props = {"name": "pts"}
    g = MultiPointRGJ([1, 2, 3, 4], [[2, 0], [0, 4]], properties=props, type="MultiPoint", other=1)
    assert g.properties is props and g.coordinates.tolist() == [[1, 2], [3, 4]]
    np.testing.assert_array_equal(g.inv_repulsion, [[0.5, 0], [0, 0.25]])
    np.testing.assert_array_equal(MultiPointRGJ(coordinates=[[0, 0]], optional_dim=3).repulsion, np.eye(3))


def test_initialiser_after_it_in_the_mro_gets_keywords_only():
    seen = []

    class Mixin(MultiRGJGeometry):
        def __init__(self, *args, **kwargs):
            seen.append((args, dict(kwargs)))
            super().__init__(*args, **kwargs)
            if kwargs.get("extra") == "tuple":
                self.coordinates = (1.0, 2.0)

    class Sub(MultiPointRGJ, Mixin):
        pass

    g = Sub([[1, 1]], None, properties=None, extra=5)
    assert seen[0][0] == () and set(seen[0][1]) == {"coordinates", "repulsion", "properties", "extra"}
    assert seen[0][1]["coordinates"] == [[1, 1]] and seen[0][1]["repulsion"] is None
    assert g.bbox.tolist() == [[1.0, 1.0]]
    Sub([[1, 1]])
    assert set(seen[1][1]) == {"coordinates", "repulsion"} and seen[1][1]["repulsion"] is None
    with pytest.raises(AttributeError):  # coordinates without copy()
        g.__init__([[2, 2]], extra="tuple")
    assert g.bbox.tolist() == [[2, 2], [2, 2]]  # the base initialiser's own box


def test_failing_base_initialiser_keeps_the_box():
    g = MultiPointRGJ([[1, 1], [2, 2]])
    box = g.bbox
    with pytest.raises(np.linalg.LinAlgError):
        g.__init__([[5, 5]], [[1, 1], [1, 1]])
    assert g.bbox is box and g.coordinates.tolist() == [[5, 5]]


# --- in_bbox -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, want",
    [([5, 0], True), ([0, -2], True), ([10, 5], True), ([10.000001, 0], False), ([[1, 1], [9, 4], [0, 5]], True),
     ([[1, 1], [11, 4]], False), ([[1, 1], [1, -3]], False), (np.zeros((0, 2)), True), ([np.nan, 0], False)],
)
def test_in_bbox(x, want):
    g = MultiPointRGJ([[0, 0], [10, 5], [3, -2]])
    assert g.in_bbox(x) is want and g.in_bbox(x=x) is want
    assert MultiPointRGJ(np.zeros((0, 2))).in_bbox(x) is False


def test_in_bbox_random(rng):
    pts = rng.normal(size=(20, 2))
    g = MultiPointRGJ(pts)
    for _ in range(50):
        x = rng.normal(size=(int(rng.integers(1, 4)), 2)) * 0.8
        assert g.in_bbox(x) is bool(np.all(x >= pts.min(0)) and np.all(x <= pts.max(0)))


def test_in_bbox_reads_the_box_not_the_points():
    g = MultiPointRGJ([[0, 0], [1, 1]])
    g.bbox = np.array([[5.0, 5.0], [6.0, 7.0]])
    assert g.in_bbox([5.5, 6]) is True and g.in_bbox([0.5, 0.5]) is False
    g.bbox = [[0, 0], [2, 2]]  # a list has no min(0)
    with pytest.raises(AttributeError):
        g.in_bbox([1, 1])
