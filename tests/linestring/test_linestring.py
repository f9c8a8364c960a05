"""LineStringRGJ: the segment cache and both forms of repulsion_vector, against
the NumPy formulas, shapely and stubbed kernels."""

import types

import numpy as np
import pytest
import shapely

import zelk.field.geometry.linestring as L
from zelk.field import kernels
from zelk.field.geometry.base import MultiRGJGeometry

from helpers import all_offsets, assert_like, assert_same_bits, metric_form, nearest_segment, random_metric, subclass
from linestring_oracles import SANITIZED, assert_cache, cache_of, line_cache

Sub = subclass(np.ndarray)  # values as usual, but never read in place: forces the NumPy route


def line(rng, n):
    return rng.uniform(-10, 10, (n, 2))


# --- the cache -------------------------------------------------------------------


@pytest.mark.parametrize(
    "coords",
    [[(0, 0), (2, 0)], [(1, 1), (1, 1), (2, 2)], [(0.5, -1.5)], np.zeros((0, 2)), [(0, 0), (np.nan, 1), (2, 2)],
     np.arange(40.0).reshape(20, 2) ** 1.5],
    ids=["segment", "zero-length", "single", "empty", "nan", "long"],
)
def test_cache_matches_formula(coords):
    g = L.LineStringRGJ(coords)
    assert_cache(g, line_cache(np.array(coords, dtype=np.float64).reshape(-1, 2)))
    assert g._p1.flags.c_contiguous and g._v.flags.c_contiguous


def test_documented_cache_cases():
    g = L.LineStringRGJ([(0, 0), (3, 4), (3, 4), (0, 4)])
    np.testing.assert_array_equal(g._v_dot_v, [25.0, 1.0, 9.0])
    # A zero-length segment acts as its start point.
    np.testing.assert_array_equal(g.repulsion_vector([[5.0, 7.0]], False)[1], [2.0, 3.0])
    assert L.LineStringRGJ([(1, 2)]).lines_n == 0
    empty = L.LineStringRGJ(np.zeros((0, 2)))
    assert (empty.lines_n, empty.points_in_line_pair.shape, empty._v_dot_v.shape) == (-1, (0, 2, 2), (0,))


@pytest.mark.parametrize(
    "coords",
    [np.array([[0, 0], [3, 1], [3, 3]]), np.array([[0, 0], [3, 1], [3, 3]], dtype=np.float32),
     np.array([[0, 0], [3, 1], [3, 3]], dtype=">f8"), np.asfortranarray([[0.0, 0.0], [3.0, 1.0], [3.0, 3.0]]),
     np.arange(24.0).reshape(3, 8)[::-1, ::4], np.array([[0.0, 0.0], [3.0, 1.0]]).view(Sub),
     [[0.0, 0.0], [3.0, 1.0], [3.0, 3.0]], np.zeros((3, 2, 2)), np.zeros((4, 3))],
    ids=["int64", "float32", "big-endian", "fortran", "strided", "subclass", "list", "3d", "3-columns"],
)
def test_build_segments_on_assigned_coordinates(coords):
    # Loops or NumPy, any layout or dtype gives what the formulas give, types included.
    g = L.LineStringRGJ([(0, 0), (1, 1)])
    g.coordinates = coords
    g._build_segments()
    assert_cache(g, line_cache(coords))


def test_build_segments_assigns_field_by_field():
    g = L.LineStringRGJ([(0, 0), (1, 0)])
    old_vdv = g._v_dot_v
    g.coordinates = np.array([1.0, 2.0, 3.0])  # 1-D: the squared length has no axis 1
    with pytest.raises(np.exceptions.AxisError):
        g._build_segments()
    assert g.lines_n == 2 and g._v_dot_v is old_vdv
    np.testing.assert_array_equal(g._v, [1, 1])
    g.coordinates = None
    with pytest.raises(TypeError, match="has no len"):
        g._build_segments()
    assert g.lines_n == 2


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


def test_build_segments_and_set_coordinates_reached_through_the_instance():
    calls = []

    class Counting(L.LineStringRGJ):
        def _build_segments(self):
            calls.append(self.coordinates.shape)
            return super()._build_segments()

    g = Counting([(0, 0), (1, 0), (2, 2)], [[3.0, 1.0], [1.0, 2.0]])
    repulsion = g.repulsion
    assert g.set_coordinates(new_coords=[(5, 5), (6, 6)]) is None
    assert calls == [(3, 2), (2, 2)] and g.repulsion is repulsion
    assert_cache(g, line_cache(np.array([(5.0, 5.0), (6.0, 6.0)])))
    np.testing.assert_array_equal(g.bbox, [[5, 5], [6, 6]])


def test_failing_base_steps_leave_the_cache_alone():
    g = L.LineStringRGJ.__new__(L.LineStringRGJ)
    with pytest.raises(np.linalg.LinAlgError):
        g.__init__([(0, 0), (1, 0)], repulsion=np.zeros((2, 2)))
    assert cache_of(g) == (0, None, None, None, None)
    h = L.LineStringRGJ([(0, 0), (1, 0)])
    before = cache_of(h)
    with pytest.raises(ValueError):
        h.set_coordinates("not numbers")
    h.repulsion_vector(np.ones((4, 2)))
    h.coordinates = np.array([(0.0, 0.0), (0.0, 3.0)])  # direct assignment rebuilds nothing
    assert all(a is b for a, b in zip(cache_of(h), before))


# --- repulsion_vector ------------------------------------------------------------


@pytest.mark.parametrize("query, want", [((1, 1), (0, 1)), ((3, 1), (1, 1)), ((-1, 0), (-1, 0)), ((1, 0), (0, 0))])
def test_unselected_documented_cases(query, want):
    got = L.LineStringRGJ([(0, 0), (2, 0)]).repulsion_vector(query, min_dist_select=False)
    assert_same_bits(got, np.array([want], dtype=np.float64))


def test_unselected_row_order_is_segment_major():
    g = L.LineStringRGJ([(0, 0), (1, 0), (1, 1)])
    got = g.repulsion_vector([[2.0, 0.5], [0.5, -1.0]], False)
    # segment 0 with points 0 and 1, then segment 1 with points 0 and 1
    np.testing.assert_array_equal(got, [[1, 0.5], [0, -1], [1, 0], [-0.5, -1]])


@pytest.mark.parametrize("flag", [False, None, 0, ""])
@pytest.mark.parametrize("n, m", [(2, 1), (7, 5), (300, 40)])
def test_unselected_matches_formula(rng, n, m, flag):
    g = L.LineStringRGJ(line(rng, n))
    x = rng.uniform(-12, 12, (m, 2))
    assert_same_bits(g.repulsion_vector(x, flag, unknown=1), all_offsets(x, g._p1, g._v, g._v_dot_v))


@pytest.mark.parametrize("symmetric", [True, False], ids=["symmetric", "non-symmetric"])
@pytest.mark.parametrize("n, m", [(2, 1), (5, 40), (400, 30)])
def test_selected_is_nearest_candidate(rng, n, m, symmetric):
    g = L.LineStringRGJ(line(rng, n), repulsion=np.linalg.inv(random_metric(rng, symmetric)))
    x = rng.uniform(-12, 12, (m, 2))
    w = g.repulsion_vector(x, min_dist_select=False).reshape(n - 1, m, 2)
    q = metric_form(w, g.inv_repulsion)
    got = g.repulsion_vector(x)
    np.testing.assert_array_equal(got, w[q.argmin(axis=0), np.arange(m)])
    np.testing.assert_allclose(metric_form(got, g.inv_repulsion), q.min(axis=0), rtol=1e-12)


@pytest.mark.parametrize("n", [2, 3, 200])
def test_identity_distances_match_shapely(rng, n):
    coords = line(rng, n)
    coords[n // 2] = coords[n // 2 - 1]  # a zero-length segment
    g = L.LineStringRGJ(coords)
    x = np.vstack([rng.uniform(-15, 15, (300, 2)), coords])
    want = shapely.distance(shapely.points(x), shapely.LineString(coords))
    np.testing.assert_allclose(np.hypot(*g.repulsion_vector(x).T), want, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(g.squared_dist(x), want**2, rtol=1e-9, atol=1e-12)


BATCHES = {
    "fortran": np.asfortranarray,
    "reversed": lambda x: x[::-1].copy()[::-1],
    "strided": lambda x: np.repeat(x, 3, axis=1)[:, ::3],
    "list": lambda x: x.tolist(),
    "int": lambda x: np.round(x).astype(np.int64),
    "big-endian": lambda x: x.astype(">f8"),
    "subclass": lambda x: x.view(Sub),
    "pair": lambda x: x[0],
    "strided-pair": lambda x: np.repeat(x[0], 2)[::2],
    "empty": lambda x: x[:0],
}


@pytest.mark.parametrize("layout", list(BATCHES))
@pytest.mark.parametrize("select", [True, False])
def test_any_batch_gives_the_converted_batch_result(rng, layout, select):
    g = L.LineStringRGJ(line(rng, 12), [[2.0, 0.4], [0.1, 0.7]])
    given = BATCHES[layout](rng.uniform(-12, 12, (9, 2)))
    x = np.atleast_2d(given).astype(np.float64)
    cache = (g._p1, g._v, g._v_dot_v)
    want = nearest_segment(x, *cache, g.inv_repulsion) if select else all_offsets(x, *cache)
    assert_same_bits(g.repulsion_vector(given, select), want)


@pytest.mark.parametrize(
    "x",
    [np.zeros((3, 3)), [[1, 2], [3]], "ab", {"a": 1}, np.zeros((4, 1)), np.arange(12.0).reshape(2, 3, 2),
     np.arange(6.0).reshape(3, 1, 2), np.zeros((3, 3, 3))],
    ids=["3-columns", "ragged", "text", "dict", "1-column", "3d", "3d-broadcast", "3d-3"],
)
@pytest.mark.parametrize("select", [True, False])
def test_odd_batches_act_as_numpy_does(monkeypatch, x, select):
    g = L.LineStringRGJ([(0, 0), (2, 0), (3, 3)])
    cache = (g._p1, g._v, g._v_dot_v)
    if not select:
        assert_like(lambda: g.repulsion_vector(x, False), lambda: all_offsets(x, *cache))
        return
    try:
        c = np.atleast_2d(x).astype(np.float64)
    except Exception:  # the conversion fails as NumPy's
        assert_like(lambda: g.repulsion_vector(x), lambda: np.atleast_2d(x).astype(np.float64))
    else:  # none of these batches has the two columns the kernel takes
        assert_left_to_the_kernel(monkeypatch, g, x, (c, *cache, g.inv_repulsion), "points")


def assert_left_to_the_kernel(monkeypatch, g, x, args, name):
    """Selecting, g hands `args` to the kernel unchecked and passes on the error it raises (naming `name`)."""
    with pytest.raises((TypeError, ValueError), match=rf"^{name}\b"):
        g.repulsion_vector(x)
    calls = []

    def kernel(*given):
        calls.append(given)
        raise LookupError("from the kernel")

    monkeypatch.setattr(L, "kernels", types.SimpleNamespace(segment_repulsion_vectors=kernel))
    with pytest.raises(LookupError, match="from the kernel"):
        g.repulsion_vector(x)
    [given] = calls
    assert_same_bits(given[0], args[0])
    assert all(a is b for a, b in zip(given[1:], args[1:], strict=True))


@pytest.mark.parametrize("special", ["none", "nan", "inf", "zeros", "duplicates"])
def test_loops_and_numpy_route_agree_bit_for_bit(rng, special):
    # Few distinct values and zeros of both signs: the signs of zero results count.
    coords = rng.choice([-2.0, -1.0, -0.0, 0.0, 0.5, 1.0, 3.0], size=(30, 2))
    x = rng.choice([-2.0, -0.5, -0.0, 0.0, 1.0, 2.5], size=(40, 2))
    if special in ("nan", "inf"):
        coords[5, 1] = x[3, 0] = np.nan if special == "nan" else np.inf
    elif special == "zeros":
        coords[:] = -0.0
    elif special == "duplicates":
        coords[10:20] = coords[10]
    g = L.LineStringRGJ(coords, [[1.5, 0.3], [-0.2, 0.8]])
    h = L.LineStringRGJ(coords, [[1.5, 0.3], [-0.2, 0.8]])
    h._p1, h._v, h._v_dot_v = (a.view(Sub) for a in (g._p1, g._v, g._v_dot_v))
    with np.errstate(all="ignore"):
        slow = h.repulsion_vector(x, False)
        assert type(slow) is Sub
        assert_same_bits(g.repulsion_vector(x, False), np.asarray(slow))
    h.coordinates = coords.view(Sub)
    h._build_segments()
    for a, b in zip(cache_of(g)[1:], cache_of(h)[1:]):
        assert_same_bits(a, np.asarray(b))


def test_native_kernel_shortcut_equals_kernel_call(rng, monkeypatch):
    g = L.LineStringRGJ(line(rng, 80), [[1.0, 0.6], [0.2, 0.5]])
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


# --- the kernel call ---------------------------------------------------------------


class Stub:
    def __init__(self):
        self.calls = []
        self.result = object()

    def segment_repulsion_vectors(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


@pytest.mark.parametrize(
    "x", [np.array([[1.0, 2.0], [3.0, 4.0]]), np.asfortranarray([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]), [[1, 2]], (7, 8),
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
    assert args[0].flags.f_contiguous == converted.flags.f_contiguous  # column-major stays so
    assert all(a is b for a, b in zip(args[1:], (g._p1, g._v, g._v_dot_v, g.inv_repulsion)))


def test_kernel_and_metric_looked_up_at_every_call(monkeypatch):
    seen = []

    class Metric(L.LineStringRGJ):
        def get_dist_matrix(self, *args, **kwargs):
            seen.append((args, kwargs))
            return "metric"

    g = Metric([(0, 0), (2, 0)])
    first, second = Stub(), Stub()
    monkeypatch.setattr(L, "kernels", first)
    g.repulsion_vector([[1, 1]], True, extra=1)
    monkeypatch.setattr(L, "kernels", second)
    g.repulsion_vector([[1, 1]])
    assert (len(first.calls), len(second.calls)) == (1, 1)
    assert seen == [((), {"scaled": True, "inverted": True})] * 2 and second.calls[0][0][4] == "metric"
    g.lines_n = 0  # no segment: neither the metric nor the kernel is asked
    assert_same_bits(g.repulsion_vector([[1, 1], [2, 2]]), np.zeros((2, 2)))
    assert len(seen) == 2 and len(second.calls) == 1
    g.lines_n = 1
    monkeypatch.delattr(L, "kernels")
    with pytest.raises(NameError, match="kernels"):
        g.repulsion_vector([[1, 1]])


@pytest.mark.parametrize(
    "field, value",
    [("_p1", np.zeros((0, 2))), ("_p1", np.zeros((2, 2), dtype=np.float32)), ("_v", np.ones((1, 2))),
     ("_v", np.ones((2, 2))), ("_v_dot_v", np.ones(1)), ("_v_dot_v", np.ones(2)), ("_v_dot_v", np.ones((3, 1))),
     ("_p1", [[0.0, 0.0]] * 3), ("_v", None)],
)
@pytest.mark.parametrize("select", [True, False])
def test_odd_cache_fields_act_as_kernel_or_numpy(monkeypatch, field, value, select):
    g = L.LineStringRGJ([(0, 0), (2, 0), (3, 3), (5, 1)])
    setattr(g, field, value)
    x = np.array([[1.0, 1.0], [4.0, 0.0]])
    cache = (g._p1, g._v, g._v_dot_v)
    if select:  # every field here is one the kernel turns down
        assert_left_to_the_kernel(monkeypatch, g, x, (x, *cache, g.inv_repulsion), field.lstrip("_"))
    else:
        assert_like(lambda: g.repulsion_vector(x, False), lambda: all_offsets(x, *cache))


def test_empty_batch_against_huge_claimed_cache_returns_at_once():
    # Zero-stride views claim 2**40 segments; no work is owed for no query point.
    g = L.LineStringRGJ([(0, 0), (2, 0), (3, 3)])
    g._p1 = g._v = np.broadcast_to(np.ones(2), (2**40, 2))
    g._v_dot_v = np.broadcast_to(np.ones(1), (2**40,))
    for select in (True, False):
        assert_same_bits(g.repulsion_vector(np.zeros((0, 2)), select), np.zeros((0, 2)))
    if not SANITIZED:  # the sanitizer aborts on the refused allocation
        with pytest.raises(MemoryError):
            g.repulsion_vector(np.zeros((1, 2)), False)
