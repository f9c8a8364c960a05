"""MultiPointRGJ: offsets to the nearest point of a set, or to every point."""

import warnings
import zlib

import numpy as np
import pytest
import shapely

from zelk.field.geometry.base import MultiRGJGeometry
from zelk.field.geometry.point import MultiPointRGJ, PointRGJ


def all_offsets(coords, x):
    x = np.atleast_2d(x).astype(np.float64)
    diff = np.asarray(coords)[None, :, :] - x[:, None, :]
    return diff.swapaxes(0, 1).reshape(-1, 2)


def nearest_offsets(coords, x, metric):
    """p* - x_i by brute force: the quadratic form of every pair, first minimum (or first NaN)."""
    coords = np.asarray(coords, dtype=np.float64)
    x = np.atleast_2d(x).astype(np.float64)
    metric = np.asarray(metric, dtype=np.float64)
    out = np.empty((len(x), 2))
    for i, q in enumerate(x):
        forms = [float((p - q) @ metric @ (p - q)) for p in coords]
        out[i] = coords[int(np.argmin(forms))] - q
    return out


def assert_same_choice(got, want, coords, x, metric):
    """Rows equal to the oracle's, except where the two choices tie up to rounding."""
    x = np.atleast_2d(np.asarray(x, dtype=np.float64))
    for g, w, q in zip(got, want, x):
        if not np.array_equal(g, w, equal_nan=True):
            fg, fw = g @ metric @ g, w @ metric @ w
            assert np.isclose(fg, fw, rtol=1e-12), (g, w)
            assert any(np.array_equal(g, p - q) for p in coords)


def random_metric(rng):
    """Anisotropic, rotated, and not symmetric."""
    a = rng.uniform(-np.pi, np.pi)
    rot = np.array([[np.cos(a), -np.sin(a)], [np.sin(a), np.cos(a)]])
    m = rot @ np.diag(rng.uniform(0.05, 5.0, size=2)) @ rot.T
    return m + np.array([[0.0, 1.0], [-1.0, 0.0]]) * rng.uniform(-2, 2)


class ArraySub(np.ndarray):
    pass


@pytest.fixture
def rng(request):
    return np.random.default_rng(zlib.crc32(request.node.name.encode()))


@pytest.fixture
def two():
    return MultiPointRGJ([[0, 0], [10, 0]])


# --- documented cases ----------------------------------------------------------------


@pytest.mark.parametrize(
    "x, want",
    [([[1, 1]], [[-1.0, -1.0]]), ([[5, 0]], [[-5.0, 0.0]]), ([1, 1], [[-1.0, -1.0]]), ([[9, 0], [20, 5]], [[1, 0], [-10, -5]])],
)
def test_nearest_point(two, x, want):
    out = two.repulsion_vector(x)
    assert out.dtype == np.float64
    assert out.tolist() == want


@pytest.mark.parametrize("flag", [False, None, 0, 0.0, "", [], np.False_, np.array(0)])
def test_false_selection_gives_every_pair_point_major(two, flag):
    out = two.repulsion_vector([[1, 1], [9, 0], [20, 5]], flag)
    assert out.tolist() == [[-1, -1], [-9, 0], [-20, -5], [9, -1], [1, 0], [-10, -5]]
    assert out.tolist() == two.repulsion_vector([[1, 1], [9, 0], [20, 5]], min_dist_select=flag).tolist()


@pytest.mark.parametrize("flag", [True, 1, "no", [0], np.True_, object()])
def test_true_selection(two, flag):
    assert two.repulsion_vector([[1, 1], [9, 0]], flag).tolist() == [[-1, -1], [1, 0]]


class BadFlag:
    def __bool__(self):
        raise LookupError("flag")


def test_selection_flag_truth_error_propagates(two):
    with pytest.raises(ValueError, match="truth value of an array"):
        two.repulsion_vector([[1, 1]], np.array([1, 0]))
    with pytest.raises(LookupError, match="flag"):
        two.repulsion_vector([[1, 1]], BadFlag())


def test_shape_errors_come_before_the_flag(two):
    with pytest.raises(ValueError) as ref:
        two.coordinates[None, :, :] - np.array([[1.0, 2.0, 3.0]])[:, None, :]
    with pytest.raises(ValueError) as err:
        two.repulsion_vector([[1, 2, 3]], BadFlag())
    assert str(err.value) == str(ref.value)


@pytest.mark.parametrize("flag", [True, False])
def test_empty_batch(two, flag):
    out = two.repulsion_vector(np.zeros((0, 2)), flag)
    assert out.shape == (0, 2) and out.dtype == np.float64


@pytest.mark.parametrize("coords_form", ["built", "float32"])
def test_empty_point_set(coords_form):
    g = MultiPointRGJ(np.zeros((0, 2)))
    if coords_form == "float32":
        g.coordinates = np.zeros((0, 2), dtype=np.float32)
    out = g.repulsion_vector([[1, 2], [3, 4]], False)
    assert out.shape == (0, 2) and out.dtype == np.float64
    for n in (2, 0):
        with pytest.raises(ValueError) as ref:
            np.zeros((n, 0)).argmin(1)
        with pytest.raises(ValueError) as err:
            g.repulsion_vector(np.ones((n, 2)))
        assert str(err.value) == str(ref.value)


def test_single_point_is_negated_point_result(rng):
    p = rng.normal(size=2)
    x = rng.normal(size=(9, 2))
    want = -PointRGJ(p).repulsion_vector(x)
    for flag in (True, False):
        np.testing.assert_array_equal(MultiPointRGJ([p]).repulsion_vector(x, flag), want)


# --- random data against the formulas -------------------------------------------------


@pytest.mark.parametrize("trial", range(6))
def test_random_nearest_under_anisotropic_metric(rng, trial):
    rep = random_metric(rng)
    coords = rng.normal(size=(int(rng.integers(1, 40)), 2)) * 10
    x = rng.normal(size=(int(rng.integers(1, 60)), 2)) * 12
    g = MultiPointRGJ(coords, rep)
    metric = np.linalg.inv(rep)
    got = g.repulsion_vector(x)
    assert got.shape == (len(x), 2)
    assert_same_choice(got, nearest_offsets(coords, x, metric), coords, x, metric)
    np.testing.assert_array_equal(g.repulsion_vector(x, False), all_offsets(coords, x))


def test_euclidean_choice_matches_shapely(rng):
    coords = rng.normal(size=(30, 2)) * 5
    x = rng.normal(size=(80, 2)) * 6
    got = MultiPointRGJ(coords).repulsion_vector(x)
    ref = shapely.distance(shapely.points(x), shapely.MultiPoint(coords))
    np.testing.assert_allclose(np.hypot(got[:, 0], got[:, 1]), ref, rtol=1e-12)


def test_metric_is_the_inverse_repulsion():
    # (3, 0) is nearer in plain distance, (0, 4) under the inverse of diag(0.1, 1).
    g = MultiPointRGJ([[3, 0], [0, 4]])
    assert g.repulsion_vector([0, 0]).tolist() == [[3, 0]]
    g.set_repulsion([[0.1, 0], [0, 1]])
    assert g.repulsion_vector([0, 0]).tolist() == [[0, 4]]
    assert MultiPointRGJ([[3, 0], [0, 4]], [[0.1, 0], [0, 1]]).repulsion_vector([0, 0]).tolist() == [[0, 4]]


def test_nan_form_is_chosen_first_as_numpy_does():
    coords = np.array([[1.0, 1.0], [np.nan, 0.0], [0.5, 0.0], [np.nan, 1.0]])
    x = np.array([[0.0, 0.0], [1.0, 1.0]])
    want = nearest_offsets(coords, x, np.eye(2))
    plain = MultiPointRGJ(coords)
    by_hand = MultiPointRGJ(coords)
    by_hand.coordinates = coords.astype(">f8")
    for g in (plain, by_hand):
        np.testing.assert_array_equal(g.repulsion_vector(x), want)
    assert np.isnan(want[:, 0]).all()


# --- the C++ loops and the NumPy formulation agree ------------------------------------


def query_forms(x):
    wide = np.empty((len(x), 6))
    wide[:, ::3] = x
    return {
        "c": x.copy(),
        "fortran": np.asfortranarray(x),
        "sliced": wide[:, ::3],
        "negative": x[::-1].copy()[::-1],
        "swapped": x.astype(">f8"),
        "subclass": x.copy().view(ArraySub),
        "list": x.tolist(),
        "int": np.round(x).astype(np.int64),
        "float32": x.astype(np.float32),
    }


@pytest.mark.parametrize("form", list(query_forms(np.zeros((1, 2)))))
@pytest.mark.parametrize("flag", [True, False])
def test_query_layouts(rng, form, flag):
    rep = random_metric(rng)
    coords = rng.normal(size=(12, 2)) * 4
    x = rng.normal(size=(20, 2)) * 5
    xq = query_forms(x)[form]
    xf = np.asarray(xq, dtype=np.float64)
    g = MultiPointRGJ(coords, rep)
    got = np.asarray(g.repulsion_vector(xq, flag))
    if flag:
        assert_same_choice(got, nearest_offsets(coords, xf, np.linalg.inv(rep)), coords, xf, np.linalg.inv(rep))
    else:
        np.testing.assert_array_equal(got, all_offsets(coords, xf))


def test_single_flat_pair_of_float64(two):
    assert two.repulsion_vector(np.array([9.0, 1.0])).tolist() == [[1.0, -1.0]]
    assert two.repulsion_vector(np.array([9.0, 0.5, 1.0])[::2]).tolist() == [[1.0, -1.0]]


@pytest.mark.parametrize(
    "make",
    [
        lambda c: c.astype(np.float32).astype(np.float64).astype(np.float32),
        lambda c: np.asfortranarray(c),
        lambda c: np.repeat(c, 2, axis=1)[:, ::2],
        lambda c: c.astype(">f8"),
    ],
    ids=["float32", "fortran", "sliced", "swapped"],
)
def test_coordinates_assigned_by_hand(rng, make):
    coords = np.round(rng.normal(size=(10, 2)) * 8, 1)
    x = rng.normal(size=(15, 2)) * 8
    g = MultiPointRGJ(coords, [[2.0, 0.5], [0.0, 1.0]])
    g.coordinates = make(coords)
    c = np.asarray(g.coordinates, dtype=np.float64)
    metric = np.linalg.inv([[2.0, 0.5], [0.0, 1.0]])
    assert_same_choice(g.repulsion_vector(x), nearest_offsets(c, x, metric), c, x, metric)
    np.testing.assert_allclose(g.repulsion_vector(x, False), all_offsets(c, x))


class RecordingMetric(MultiPointRGJ):
    """Returns `metric` (in whatever form it is given) and records each call."""

    metric = NotImplemented

    def get_dist_matrix(self, *args, **kwargs):
        type(self).calls.append((args, kwargs))
        if self.metric is NotImplemented:
            return super().get_dist_matrix(*args, **kwargs)
        return self.metric


@pytest.mark.parametrize(
    "form",
    [
        lambda m: m,
        lambda m: m.tolist(),
        lambda m: m.astype(np.float32),
        lambda m: np.asfortranarray(m),
        lambda m: m.T.copy().T,
    ],
    ids=["plain", "list", "float32", "fortran", "transposed-view"],
)
def test_metric_from_an_overridden_get_dist_matrix(rng, form):
    RecordingMetric.calls = []
    coords = rng.normal(size=(25, 2)) * 3
    x = rng.normal(size=(30, 2)) * 3
    m = random_metric(rng)
    g = RecordingMetric(coords)
    g.metric = form(m)
    got = np.asarray(g.repulsion_vector(x))
    mf = np.asarray(form(m), dtype=np.float64)
    assert_same_choice(got.reshape(-1, 2), nearest_offsets(coords, x, mf), coords, x, mf)
    assert RecordingMetric.calls == [((), {"scaled": True, "inverted": True})]
    g.repulsion_vector(x, False)
    assert len(RecordingMetric.calls) == 1  # every pair needs no metric


def test_list_coordinates_cannot_be_indexed_as_an_array(two):
    two.coordinates = [[0.0, 0.0], [10.0, 0.0]]
    with pytest.raises(TypeError) as ref:
        two.coordinates[None, :, :]
    for flag in (True, False):
        with pytest.raises(TypeError) as err:
            two.repulsion_vector([[1.0, 1.0]], flag)
        assert str(err.value) == str(ref.value)


def test_metric_is_fetched_on_every_call():
    RecordingMetric.calls = []
    g = RecordingMetric([[3, 0], [0, 4]])
    assert g.repulsion_vector([0, 0]).tolist() == [[3, 0]]
    g.metric = np.diag([10.0, 1.0])
    assert g.repulsion_vector([0, 0]).tolist() == [[0, 4]]
    g.get_dist_matrix = lambda **kw: np.eye(2)  # on the instance itself
    assert g.repulsion_vector([0, 0]).tolist() == [[3, 0]]
    assert len(RecordingMetric.calls) == 2


with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)
    _MATRIX = np.matrix(np.eye(2))


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize(
    "metric",
    [np.eye(3), None, "ab", [[1, 0]], np.eye(2)[None], _MATRIX, 2.0, np.eye(2, dtype=complex)],
    ids=["3x3", "None", "str", "1x2", "stacked", "matrix", "scalar", "complex"],
)
def test_unusable_metric_behaves_as_numpy(metric):
    coords = np.array([[0.0, 0.0], [10.0, 0.0]])
    x = np.array([[1.0, 1.0]])
    g = RecordingMetric(coords)
    g.metric = metric
    diff = coords[None, :, :] - x[:, None, :]
    try:
        want = diff[np.arange(1), ((diff @ metric) * diff).sum(-1).argmin(1)]
    except Exception as ref:
        with pytest.raises(type(ref)) as err:
            g.repulsion_vector(x)
        assert str(err.value) == str(ref)
    else:
        np.testing.assert_array_equal(g.repulsion_vector(x), want)


def test_get_dist_matrix_error_propagates():
    class Failing(MultiPointRGJ):
        def get_dist_matrix(self, **kwargs):
            raise KeyError("metric")

    with pytest.raises(KeyError, match="metric"):
        Failing([[0, 0]]).repulsion_vector([1, 1])
    assert Failing([[0, 0]]).repulsion_vector([1, 1], False).tolist() == [[-1, -1]]


def test_three_dimensional_repulsion_fails_like_numpy():
    g = MultiPointRGJ([[0, 0], [1, 1]], optional_dim=3)
    with pytest.raises(ValueError) as ref:
        np.zeros((1, 2, 2)) @ np.eye(3)
    with pytest.raises(ValueError) as err:
        g.repulsion_vector([[0.5, 0.5]])
    assert str(err.value) == str(ref.value)


@pytest.mark.parametrize("x", [[[1, 2, 3]], [[1, 2], [3]], "ab"])
@pytest.mark.parametrize("flag", [True, False])
def test_query_errors_propagate(two, x, flag):
    with pytest.raises(Exception) as ref:
        all_offsets(two.coordinates, x)
    with pytest.raises(type(ref.value)) as err:
        two.repulsion_vector(x, flag)
    assert str(err.value) == str(ref.value)


# --- construction ----------------------------------------------------------------------


def test_box_is_an_independent_copy_of_the_points():
    g = MultiPointRGJ([[1, 2], [3, -4], [0, 0]])
    assert g.bbox is not g.coordinates and not np.shares_memory(g.bbox, g.coordinates)
    np.testing.assert_array_equal(g.bbox, [[1, 2], [3, -4], [0, 0]])
    g.coordinates[0, 0] = 100.0
    assert g.bbox[0, 0] == 1.0


def test_arguments_reach_the_base_initialiser():
    props = {"name": "pts"}
    g = MultiPointRGJ([1, 2, 3, 4], [[2, 0], [0, 4]], properties=props, type="MultiPoint", other=1)
    assert g.properties is props
    assert g.coordinates.tolist() == [[1, 2], [3, 4]]
    np.testing.assert_array_equal(g.inv_repulsion, [[0.5, 0], [0, 0.25]])
    h = MultiPointRGJ(coordinates=[[0, 0]], optional_dim=2, repulsion=None)
    np.testing.assert_array_equal(h.repulsion, np.eye(2))


def test_initialiser_after_it_in_the_mro_gets_keywords_only():
    seen = []

    class Mixin(MultiRGJGeometry):
        def __init__(self, *args, **kwargs):
            seen.append((args, dict(kwargs)))
            super().__init__(*args, **kwargs)

    class Sub(MultiPointRGJ, Mixin):
        pass

    g = Sub([[1, 1]], None, properties=None, extra=5)
    assert seen[0][0] == ()
    assert set(seen[0][1]) == {"coordinates", "repulsion", "properties", "extra"}
    assert seen[0][1]["coordinates"] == [[1, 1]] and seen[0][1]["repulsion"] is None
    Sub([[1, 1]])
    assert seen[1][1]["repulsion"] is None and set(seen[1][1]) == {"coordinates", "repulsion"}
    assert g.bbox.tolist() == [[1.0, 1.0]]


def test_coordinates_without_copy():
    class Mixin(MultiRGJGeometry):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            self.coordinates = (1.0, 2.0)

    class Sub(MultiPointRGJ, Mixin):
        pass

    g = Sub.__new__(Sub)
    with pytest.raises(AttributeError):
        g.__init__([[1, 1]])
    # the base initialiser ran to its end: its own box is in place
    assert g.bbox.tolist() == [[1, 1], [1, 1]] and g.coordinates == (1.0, 2.0)


def test_failing_base_initialiser_keeps_the_box():
    g = MultiPointRGJ([[1, 1], [2, 2]])
    box = g.bbox
    with pytest.raises(np.linalg.LinAlgError):
        g.__init__([[5, 5]], [[1, 1], [1, 1]])
    assert g.bbox is box and g.coordinates.tolist() == [[5, 5]]
    fresh = MultiPointRGJ.__new__(MultiPointRGJ)
    with pytest.raises(np.linalg.LinAlgError):
        fresh.__init__([[5, 5]], [[1, 1], [1, 1]])
    assert fresh.bbox is None


# --- in_bbox -----------------------------------------------------------------------------


def box_oracle(points, x):
    x = np.asarray(x)
    p = np.asarray(points)
    if len(p) == 0:
        return False
    return bool(np.all(x >= p.min(0)) and np.all(x <= p.max(0)))


@pytest.mark.parametrize(
    "x, want",
    [
        ([5, 0], True),
        ([0, -2], True),  # corner
        ([10, 5], True),  # corner
        ([10.000001, 0], False),
        ([[1, 1], [9, 4], [0, 5]], True),
        ([[1, 1], [11, 4]], False),
        ([[1, 1], [1, -3]], False),
        (np.zeros((0, 2)), True),
        ([np.nan, 0], False),
    ],
)
def test_in_bbox(x, want):
    g = MultiPointRGJ([[0, 0], [10, 5], [3, -2]])
    got = g.in_bbox(x)
    assert type(got) is bool and got is want
    assert g.in_bbox(x=x) is want


def test_in_bbox_random(rng):
    pts = rng.normal(size=(20, 2))
    g = MultiPointRGJ(pts)
    for _ in range(50):
        x = rng.normal(size=(int(rng.integers(1, 4)), 2)) * 0.8
        assert g.in_bbox(x) is box_oracle(pts, x)


@pytest.mark.parametrize("x", [[0, 0], [[1, 2], [3, 4]], np.zeros((0, 2))])
def test_in_bbox_empty_set_is_false(x):
    assert MultiPointRGJ(np.zeros((0, 2))).in_bbox(x) is False


def test_in_bbox_reads_the_box_not_the_points():
    g = MultiPointRGJ([[0, 0], [1, 1]])
    g.bbox = np.array([[5.0, 5.0], [6.0, 7.0]])
    assert g.in_bbox([5.5, 6]) is True and g.in_bbox([0.5, 0.5]) is False
    g.bbox = [[0, 0], [2, 2]]  # anything with min/max along axis 0 and a length
    with pytest.raises(AttributeError):
        g.in_bbox([1, 1])
