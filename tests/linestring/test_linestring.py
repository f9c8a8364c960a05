"""LineStringRGJ: segment cache, both forms of repulsion_vector, the kernel call."""

import types

import numpy as np
import pytest
import shapely

import zelk.field.geometry.linestring as L
from zelk.field import kernels
from zelk.field.geometry.base import MultiRGJGeometry

from linestring_oracles import (
    SANITIZED,
    all_offsets,
    assert_same_bits,
    line_cache,
    metric_forms,
    nearest_offsets,
    random_metric,
)

CACHE = ("lines_n", "points_in_line_pair", "_p1", "_v", "_v_dot_v")


class Sub(np.ndarray):
    """An ndarray subclass: values as usual, but not read in place."""


def cache_of(g):
    return tuple(getattr(g, f) for f in CACHE)


def assert_cache(g, want):
    assert g.lines_n == want[0]
    for got, expected in zip(cache_of(g)[1:], want[1:]):
        assert_same_bits(got, expected)


def random_line(rng, n, scale=10.0):
    return rng.uniform(-scale, scale, (n, 2))


# --- construction and the cache -------------------------------------------------


@pytest.mark.parametrize(
    "coords",
    [
        [(0, 0), (2, 0)],
        [(0, 0), (1, 0), (1, 1), (3, -2)],
        [(1, 1), (1, 1), (2, 2)],  # zero-length segment
        [(0.5, -1.5)],  # single vertex
        np.zeros((0, 2)),  # no vertex
        np.arange(40.0).reshape(20, 2) ** 1.5,
        [(0, 0), (np.nan, 1), (2, 2)],
    ],
)
def test_cache_matches_formula(coords):
    g = L.LineStringRGJ(coords)
    c = np.array(coords, dtype=np.float64).reshape(-1, 2)
    assert_cache(g, line_cache(c))
    assert g._p1.flags.c_contiguous and g._v.flags.c_contiguous


def test_cache_invariants_and_zero_length_segment():
    g = L.LineStringRGJ([(0, 0), (3, 4), (3, 4), (3, 4), (0, 4)])
    assert g.lines_n == 4
    np.testing.assert_array_equal(g._v_dot_v, [25.0, 1.0, 1.0, 9.0])
    np.testing.assert_array_equal(g._v[1:3], 0.0)
    # A zero-length segment acts as its start point.
    got = g.repulsion_vector([[5.0, 7.0]], min_dist_select=False)
    np.testing.assert_array_equal(got[1], [2.0, 3.0])
    np.testing.assert_array_equal(got[2], [2.0, 3.0])


def test_empty_and_single_vertex():
    empty = L.LineStringRGJ(np.zeros((0, 2)))
    assert empty.lines_n == -1
    for f in ("_p1", "_v"):
        assert getattr(empty, f).shape == (0, 2)
    assert empty.points_in_line_pair.shape == (0, 2, 2)
    assert empty._v_dot_v.shape == (0,)
    single = L.LineStringRGJ([(1.0, 2.0)])
    assert single.lines_n == 0
    assert single._p1.shape == (0, 2)
    for g in (empty, single):
        for select in (True, False):
            got = g.repulsion_vector([[1, 2], [3, 4], [5, 6]], select)
            assert_same_bits(got, np.zeros((3, 2)))
        assert_same_bits(g.repulsion_vector((1, 1)), np.zeros((1, 2)))
        assert_same_bits(g.repulsion_vector(np.zeros((0, 2))), np.zeros((0, 2)))


def test_construction_passes_keywords_to_next_class_in_mro():
    seen = []

    class Recorder(MultiRGJGeometry):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            super().__init__(*args, **kwargs)

    class Mixed(L.LineStringRGJ, Recorder):
        pass

    g = Mixed([(0, 0), (1, 1)], None, type="LineString", properties={"a": 1})
    assert seen == [((), {"coordinates": [(0, 0), (1, 1)], "repulsion": None, "type": "LineString", "properties": {"a": 1}})]
    assert g.properties == {"a": 1} and g.lines_n == 1


def test_constructor_defaults_and_extra_keywords():
    rep = np.array([[2.0, 0.5], [0.0, 1.0]])
    g = L.LineStringRGJ(coordinates=[(0, 0), (1, 0)], repulsion=rep, type="LineString", foo=3)
    np.testing.assert_array_equal(g.repulsion, rep)
    np.testing.assert_array_equal(g.inv_repulsion, np.linalg.inv(rep))
    h = L.LineStringRGJ([(0, 0), (1, 0)])
    np.testing.assert_array_equal(h.repulsion, np.eye(2))
    assert h.RGJType == "LineString" and L.LineStringRGJ.RGJType == "LineString"


def test_failed_base_initialiser_leaves_cache_unbuilt():
    g = L.LineStringRGJ.__new__(L.LineStringRGJ)
    assert cache_of(g) == (0, None, None, None, None)
    with pytest.raises(np.linalg.LinAlgError):
        g.__init__([(0, 0), (1, 0)], repulsion=np.zeros((2, 2)))
    assert cache_of(g) == (0, None, None, None, None)
    assert g.coordinates.shape == (2, 2)


def test_build_segments_and_set_coordinates_reached_through_the_instance():
    calls = []

    class Counting(L.LineStringRGJ):
        def _build_segments(self):
            calls.append(self.coordinates.shape)
            return super()._build_segments()

    g = Counting([(0, 0), (1, 0), (2, 2)])
    g.set_coordinates([(5, 5), (6, 6)])
    assert calls == [(3, 2), (2, 2)]
    assert_cache(g, line_cache(np.array([(5.0, 5.0), (6.0, 6.0)])))


def test_set_coordinates_rebuilds_cache_and_keeps_repulsion():
    rep = [[3.0, 1.0], [1.0, 2.0]]
    g = L.LineStringRGJ([(0, 0), (1, 0)], rep)
    repulsion, properties = g.repulsion, g.properties
    assert g.set_coordinates(new_coords=[(0, 0), (0, 5), (2, 5)]) is None
    assert g.repulsion is repulsion and g.properties is properties
    assert_cache(g, line_cache(np.array([(0.0, 0.0), (0.0, 5.0), (2.0, 5.0)])))
    np.testing.assert_array_equal(g.bbox, [[0, 0], [2, 5]])


def test_set_coordinates_failure_in_base_keeps_old_cache():
    g = L.LineStringRGJ([(0, 0), (1, 0)])
    before = cache_of(g)
    with pytest.raises(ValueError):
        g.set_coordinates("not numbers")
    assert all(a is b for a, b in zip(cache_of(g), before))


def test_cache_is_derived_data():
    g = L.LineStringRGJ([(0, 0), (1, 0)])
    before = cache_of(g)
    g.repulsion_vector(np.ones((4, 2)))
    g.repulsion_vector(np.ones((4, 2)), False)
    assert all(a is b for a, b in zip(cache_of(g), before))
    g.coordinates = np.array([(0.0, 0.0), (0.0, 3.0), (4.0, 3.0)])
    assert all(a is b for a, b in zip(cache_of(g), before))
    g._build_segments()
    assert_cache(g, line_cache(g.coordinates))


@pytest.mark.parametrize(
    "coords",
    [
        np.array([[0, 0], [3, 1], [3, 3]], dtype=np.int64),
        np.array([[0, 0], [3, 1], [3, 3]], dtype=np.float32),
        np.array([[0, 0], [3, 1], [3, 3]], dtype=">f8"),
        np.asfortranarray([[0.0, 0.0], [3.0, 1.0], [3.0, 3.0]]),
        np.array([[0.0, 9.0, 0.0, 9.0], [3.0, 9.0, 1.0, 9.0], [3.0, 9.0, 3.0, 9.0]])[::-1, ::2],
        np.array([[0.0, 0.0], [3.0, 1.0]]).view(Sub),
        [[0.0, 0.0], [3.0, 1.0], [3.0, 3.0]],
        np.zeros((3, 2, 2)),
    ],
    ids=["int64", "float32", "big-endian", "fortran", "strided", "subclass", "list", "3d"],
)
def test_build_segments_on_assigned_coordinates(coords):
    # Any layout or dtype gives what the formulas give, dtype included.
    g = L.LineStringRGJ([(0, 0), (1, 1)])
    g.coordinates = coords
    g._build_segments()
    want = line_cache(np.asarray(coords) if not isinstance(coords, list) else coords)
    assert g.lines_n == want[0]
    for got, expected in zip(cache_of(g)[1:], want[1:]):
        assert type(got) is type(expected)
        assert_same_bits(got, expected)


def test_build_segments_assigns_field_by_field():
    g = L.LineStringRGJ([(0, 0), (1, 0)])
    old_vdv = g._v_dot_v
    g.coordinates = np.array([1.0, 2.0, 3.0])  # 1-D: the squared length has no axis 1
    with pytest.raises(np.exceptions.AxisError):
        g._build_segments()
    assert g.lines_n == 2
    np.testing.assert_array_equal(g.points_in_line_pair, [[1, 2], [2, 3]])
    np.testing.assert_array_equal(g._p1, [1, 2])
    np.testing.assert_array_equal(g._v, [1, 1])
    assert g._v_dot_v is old_vdv


def test_build_segments_without_len():
    g = L.LineStringRGJ([(0, 0), (1, 0)])
    g.coordinates = None
    with pytest.raises(TypeError, match="has no len"):
        g._build_segments()
    assert g.lines_n == 1


# --- repulsion_vector, unselected form ------------------------------------------


@pytest.mark.parametrize(
    "query, want",
    [((1, 1), (0, 1)), ((3, 1), (1, 1)), ((-1, 0), (-1, 0)), ((1, 0), (0, 0))],
)
def test_unselected_single_segment(query, want):
    g = L.LineStringRGJ([(0, 0), (2, 0)])
    got = g.repulsion_vector(query, min_dist_select=False)
    assert_same_bits(got, np.array([want], dtype=np.float64))


def test_unselected_row_order_is_segment_major():
    g = L.LineStringRGJ([(0, 0), (1, 0), (1, 1)])
    x = np.array([[2.0, 0.5], [0.5, -1.0]])
    got = g.repulsion_vector(x, False)
    segments = [((0, 0), (1, 0)), ((1, 0), (1, 1))]
    want = []
    for (a, b) in segments:
        a, b = np.array(a, float), np.array(b, float)
        for p in x:
            t = np.clip(np.dot(p - a, b - a) / np.dot(b - a, b - a), 0, 1)
            want.append(p - (a + t * (b - a)))
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-15)
    np.testing.assert_array_equal(got, [[1, 0.5], [0, -1], [1, 0], [-0.5, -1]])


@pytest.mark.parametrize("flag", [False, None, 0, 0.0, "", []])
def test_false_flags_give_unselected_form(rng, flag):
    g = L.LineStringRGJ(random_line(rng, 6))
    x = rng.normal(size=(4, 2))
    assert_same_bits(g.repulsion_vector(x, flag, unknown=1), all_offsets(x, g._p1, g._v, g._v_dot_v))


@pytest.mark.parametrize("n, m", [(2, 1), (7, 5), (50, 33), (300, 2)])
def test_unselected_matches_formula(rng, n, m):
    g = L.LineStringRGJ(random_line(rng, n))
    x = rng.uniform(-12, 12, (m, 2))
    assert_same_bits(g.repulsion_vector(x, min_dist_select=False), all_offsets(x, g._p1, g._v, g._v_dot_v))


# --- repulsion_vector, selecting form --------------------------------------------


@pytest.mark.parametrize("symmetric", [True, False], ids=["symmetric", "non-symmetric"])
@pytest.mark.parametrize("n, m", [(2, 1), (5, 40), (60, 200), (400, 3)])
def test_selected_is_nearest_candidate(rng, n, m, symmetric):
    metric = random_metric(rng, symmetric)
    g = L.LineStringRGJ(random_line(rng, n), repulsion=np.linalg.inv(metric))
    x = rng.uniform(-12, 12, (m, 2))
    got = g.repulsion_vector(x)
    w = g.repulsion_vector(x, min_dist_select=False).reshape(n - 1, m, 2)
    q = metric_forms(w, g.inv_repulsion)
    chosen = q.argmin(axis=0)
    assert_same_bits(got, w[chosen, np.arange(m)])
    # Independently of tie rules: the result is a candidate with the least form.
    np.testing.assert_allclose(metric_forms(got, g.inv_repulsion), q.min(axis=0), rtol=1e-12, atol=1e-300)


def test_selected_ties_go_to_first_segment():
    # The origin is equally far from both vertical segments.
    g = L.LineStringRGJ([(1, -1), (1, 1), (-1, 1), (-1, -1)])
    np.testing.assert_array_equal(g.repulsion_vector([[0.0, 0.0]]), [[-1.0, 0.0]])
    h = L.LineStringRGJ([(-1, -1), (-1, 1), (1, 1), (1, -1)])
    np.testing.assert_array_equal(h.repulsion_vector([[0.0, 0.0]]), [[1.0, 0.0]])


@pytest.mark.parametrize("n", [2, 3, 17, 200])
def test_identity_distances_match_shapely(rng, n):
    coords = random_line(rng, n)
    if n > 3:
        coords[3] = coords[2]  # a zero-length segment
    g = L.LineStringRGJ(coords)
    x = rng.uniform(-15, 15, (300, 2))
    dist = np.hypot(*g.repulsion_vector(x).T)
    want = shapely.distance(shapely.points(x), shapely.LineString(coords))
    np.testing.assert_allclose(dist, want, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(g.squared_dist(x), want**2, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(g.eval(x), np.exp(-(want**2)), rtol=1e-9, atol=1e-300)


def test_points_on_the_line_give_zero(rng):
    coords = random_line(rng, 10)
    g = L.LineStringRGJ(coords)
    np.testing.assert_array_equal(g.repulsion_vector(coords), 0.0)


# --- query batches -------------------------------------------------------------


BATCHES = {
    "c-order": lambda x: x,
    "fortran": np.asfortranarray,
    "reversed": lambda x: x[::-1].copy()[::-1],
    "strided": lambda x: np.repeat(x, 3, axis=1)[:, ::3],
    "list": lambda x: x.tolist(),
    "float32": lambda x: x.astype(np.float32),
    "int": lambda x: np.round(x).astype(np.int64),
    "big-endian": lambda x: x.astype(">f8"),
    "subclass": lambda x: x.view(Sub),
}


@pytest.mark.parametrize("layout", list(BATCHES))
@pytest.mark.parametrize("select", [True, False])
def test_any_batch_layout_gives_the_converted_batch_result(rng, layout, select):
    g = L.LineStringRGJ(random_line(rng, 12), [[2.0, 0.4], [0.1, 0.7]])
    x = rng.uniform(-12, 12, (9, 2))
    given = BATCHES[layout](x)
    converted = np.atleast_2d(given).astype(np.float64)
    want = (
        nearest_offsets(converted, g._p1, g._v, g._v_dot_v, g.inv_repulsion)
        if select
        else all_offsets(converted, g._p1, g._v, g._v_dot_v)
    )
    assert_same_bits(g.repulsion_vector(given, select), want)


@pytest.mark.parametrize("select", [True, False])
def test_flat_pair_and_one_dimensional_batch(select):
    g = L.LineStringRGJ([(0, 0), (2, 0)])
    for x in ((3, 1), [3.0, 1.0], np.array([3.0, 1.0]), np.array([3.0, 9.0, 1.0])[::2]):
        assert_same_bits(g.repulsion_vector(x, select), np.array([[1.0, 1.0]]))


@pytest.mark.parametrize("select", [True, False])
def test_empty_batch(select):
    g = L.LineStringRGJ([(0, 0), (2, 0), (3, 3)])
    assert_same_bits(g.repulsion_vector(np.zeros((0, 2)), select), np.zeros((0, 2)))


@pytest.mark.parametrize(
    "x",
    [np.zeros((3, 3)), [[1, 2], [3]], "ab", np.ones((2, 2, 2)), None, {"a": 1}, np.array([1 + 2j]), np.zeros((4, 1))],
    ids=["3-columns", "ragged", "text", "3d", "none", "dict", "complex", "1-column"],
)
@pytest.mark.parametrize("select", [True, False])
def test_bad_batches_fail_as_numpy_does(x, select):
    g = L.LineStringRGJ([(0, 0), (2, 0), (3, 3)])
    try:
        converted = np.atleast_2d(x).astype(np.float64)
        want = all_offsets(converted, g._p1, g._v, g._v_dot_v) if not select else kernels.segment_repulsion_vectors(
            converted, g._p1, g._v, g._v_dot_v, g.inv_repulsion
        )
    except Exception as e:  # the error NumPy or the kernel gives
        with pytest.raises(type(e)) as info:
            g.repulsion_vector(x, select)
        assert str(info.value) == str(e)
    else:
        assert_same_bits(g.repulsion_vector(x, select), want)


@pytest.mark.parametrize("shape", [(2, 3, 2), (3, 1, 2), (1, 4, 2), (3, 3, 3)])
def test_unselected_many_dimensional_batch_acts_as_numpy(shape):
    g = L.LineStringRGJ([(0, 0), (2, 0), (3, 3)])
    x = np.arange(float(np.prod(shape))).reshape(shape)
    try:
        want = all_offsets(x, g._p1, g._v, g._v_dot_v)
    except ValueError as e:
        with pytest.raises(ValueError) as info:
            g.repulsion_vector(x, False)
        assert str(info.value) == str(e)
    else:
        assert_same_bits(g.repulsion_vector(x, False), want)


# --- fast and NumPy paths agree ------------------------------------------------


def slow_copy(g):
    """The same geometry with its cache held as subclass arrays, which are not read in place."""
    h = L.LineStringRGJ.__new__(L.LineStringRGJ)
    h.__setstate__(g.__reduce__()[2])
    for f in ("_p1", "_v", "_v_dot_v"):
        setattr(h, f, getattr(g, f).view(Sub))
    return h


@pytest.mark.parametrize("special", ["none", "nan", "inf", "zeros", "duplicates"])
def test_fast_and_numpy_paths_agree(rng, special):
    coords = rng.choice([-2.0, -1.0, -0.0, 0.0, 0.5, 1.0, 3.0], size=(30, 2))
    x = rng.choice([-2.0, -0.5, -0.0, 0.0, 1.0, 2.5], size=(40, 2))
    if special == "nan":
        coords[5, 1] = np.nan
        x[3, 0] = np.nan
    elif special == "inf":
        coords[7] = (np.inf, 1.0)
        x[4] = (-np.inf, 0.0)
    elif special == "zeros":
        coords[:] = -0.0
    elif special == "duplicates":
        coords[10:20] = coords[10]
    g = L.LineStringRGJ(coords, [[1.5, 0.3], [-0.2, 0.8]])
    h = slow_copy(g)
    with np.errstate(all="ignore"):
        got = g.repulsion_vector(x, False)
        want = np.asarray(h.repulsion_vector(x, False))
        assert type(h.repulsion_vector(x, False)) is Sub  # really the NumPy path
        assert_same_bits(got, want)
        assert_same_bits(got, all_offsets(x, g._p1, g._v, g._v_dot_v))

    # Cache built by the loops and by the NumPy formulas.
    k = L.LineStringRGJ(coords)
    k.coordinates = coords.view(Sub)
    k._build_segments()
    for a, b in zip(cache_of(g)[1:], cache_of(k)[1:]):
        assert_same_bits(a, np.asarray(b))


def test_native_kernel_shortcut_equals_kernel_call(rng, monkeypatch):
    g = L.LineStringRGJ(random_line(rng, 80), [[1.0, 0.6], [0.2, 0.5]])
    x = np.asfortranarray(rng.uniform(-12, 12, (500, 2)))
    x[::7] = np.round(x[::7])
    direct = g.repulsion_vector(x)
    calls = []

    def wrapper(*args):
        calls.append(args)
        return kernels.segment_repulsion_vectors(*args)

    monkeypatch.setattr(L, "kernels", types.SimpleNamespace(segment_repulsion_vectors=wrapper))
    assert_same_bits(g.repulsion_vector(x), direct)
    assert len(calls) == 1


# --- the kernel call ----------------------------------------------------------


class Stub:
    def __init__(self, result=None):
        self.calls = []
        self.result = object() if result is None else result

    def segment_repulsion_vectors(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


@pytest.mark.parametrize(
    "x",
    [np.array([[1.0, 2.0], [3.0, 4.0]]), np.asfortranarray([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]), [[1, 2]], (7, 8),
     np.zeros((0, 2))],
    ids=["c-order", "fortran", "int-list", "pair", "empty"],
)
def test_kernel_receives_five_arguments_in_order(monkeypatch, x):
    g = L.LineStringRGJ([(0, 0), (2, 0), (2, 2)], [[2.0, 0.0], [0.0, 4.0]])
    stub = Stub()
    monkeypatch.setattr(L, "kernels", stub)
    assert g.repulsion_vector(x) is stub.result
    [(args, kwargs)] = stub.calls
    assert kwargs == {} and len(args) == 5
    converted = np.atleast_2d(x).astype(np.float64)
    assert type(args[0]) is np.ndarray and args[0] is not x
    assert_same_bits(args[0], converted)
    assert args[0].flags.f_contiguous == converted.flags.f_contiguous
    assert args[1] is g._p1 and args[2] is g._v and args[3] is g._v_dot_v
    assert args[4] is g.inv_repulsion


def test_kernel_is_looked_up_at_every_call(monkeypatch):
    g = L.LineStringRGJ([(0, 0), (2, 0)])
    first, second = Stub(), Stub()
    monkeypatch.setattr(L, "kernels", first)
    g.repulsion_vector([[1, 1]])
    monkeypatch.setattr(L, "kernels", second)
    g.repulsion_vector([[1, 1]])
    g.repulsion_vector([[1, 1]])
    assert (len(first.calls), len(second.calls)) == (1, 2)
    monkeypatch.setattr(first, "segment_repulsion_vectors", lambda *a: "replaced", raising=False)
    monkeypatch.setattr(L, "kernels", first)
    assert g.repulsion_vector([[1, 1]]) == "replaced"
    monkeypatch.delattr(L, "kernels")
    with pytest.raises(NameError, match="kernels"):
        g.repulsion_vector([[1, 1]])
    assert_same_bits(g.repulsion_vector([[1, 1]], False), np.array([[0.0, 1.0]]))


def test_metric_comes_from_get_dist_matrix_on_the_instance(monkeypatch):
    seen = []

    class Metric(L.LineStringRGJ):
        def get_dist_matrix(self, *args, **kwargs):
            seen.append((args, kwargs))
            return "metric"

    g = Metric([(0, 0), (2, 0)])
    stub = Stub()
    monkeypatch.setattr(L, "kernels", stub)
    g.repulsion_vector([[1, 1]], True, extra=1)
    assert seen == [((), {"scaled": True, "inverted": True})]
    assert stub.calls[0][0][4] == "metric"


@pytest.mark.parametrize("lines_n", [0, -1, -5])
def test_no_segments_call_nothing(monkeypatch, lines_n):
    class Counting(L.LineStringRGJ):
        def get_dist_matrix(self, **kwargs):
            raise AssertionError("not reached")

    g = Counting([(0, 0), (2, 0), (3, 3)])
    g.lines_n = lines_n
    stub = Stub()
    monkeypatch.setattr(L, "kernels", stub)
    for select in (True, False):
        assert_same_bits(g.repulsion_vector([[1, 1], [2, 2]], select), np.zeros((2, 2)))
    assert stub.calls == []


def test_kernel_errors_propagate():
    g = L.LineStringRGJ([(0, 0), (2, 0), (3, 3)])
    g._p1 = np.zeros((0, 2))  # lines_n still says two segments
    with pytest.raises(ValueError, match="p1"):
        g.repulsion_vector([[1, 1]])
    g._p1 = g._p1.astype(np.float32)
    with pytest.raises(TypeError, match="p1"):
        g.repulsion_vector([[1, 1]])


@pytest.mark.parametrize("select", [True, False])
def test_mismatched_cache_fields_fail_or_broadcast_as_numpy(select):
    x = np.array([[1.0, 1.0], [4.0, 0.0]])
    for field, value in (("_v", np.ones((1, 2))), ("_v", np.ones((2, 2))), ("_v_dot_v", np.ones(2)),
                         ("_v_dot_v", np.ones(1)), ("_v_dot_v", np.ones((3, 1)))):
        k = L.LineStringRGJ([(0, 0), (2, 0), (3, 3), (5, 1)])
        setattr(k, field, value)
        try:
            if select:
                want = kernels.segment_repulsion_vectors(x, k._p1, k._v, k._v_dot_v, k.inv_repulsion)
            else:
                want = all_offsets(x, k._p1, k._v, k._v_dot_v)
        except Exception as e:
            with pytest.raises(type(e)):
                k.repulsion_vector(x, select)
        else:
            assert_same_bits(k.repulsion_vector(x, select), want)


def test_empty_batch_against_huge_claimed_cache_returns_at_once():
    # Zero-stride views claim 2**40 segments; no work is owed for no query point.
    g = L.LineStringRGJ([(0, 0), (2, 0), (3, 3)])
    g._p1 = g._v = np.broadcast_to(np.ones(2), (2**40, 2))
    g._v_dot_v = np.broadcast_to(np.ones(1), (2**40,))
    assert_same_bits(g.repulsion_vector(np.zeros((0, 2)), False), np.zeros((0, 2)))
    assert_same_bits(g.repulsion_vector(np.zeros((0, 2))), np.zeros((0, 2)))
    if not SANITIZED:  # the sanitizer aborts on the refused allocation
        with pytest.raises(MemoryError):
            g.repulsion_vector(np.zeros((1, 2)), False)
