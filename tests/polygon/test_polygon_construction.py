"""PolygonRGJ construction: coordinate layouts, ring closing, segment cache,
matrices, box, the object `coordinates` field, rebuilding and attribute rules."""

import warnings

import numpy as np
import pytest

from helpers import subclass, unaligned
from polygon_oracles import assert_fields, reference_polygon
from zelk.field.geometry.polygon import PolygonRGJ

TRI = [[0, 0], [1, 0], [1, 1]]
SQUARE = [[0, 0], [4, 0], [4, 4], [0, 4]]
HOLE = [[1, 1], [2, 1], [2, 2], [1, 2], [1, 1]]


Sub = subclass(np.ndarray)


def matrix(a):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix(a, float)


LAYOUTS = {
    "nested": TRI,
    "flat": [0, 0, 1, 0, 1, 1],
    "flat_floats_tuple": (0.0, 0.0, 1.0, 0.0, 1.0, 1.0),
    "flat_numpy_floats": [np.float32(0), np.float32(0), np.float32(1), 0, 1, 1],
    "flat_bools": [True, False, False, True, True, True],
    "tuple_points": ((0, 0), (1, 0), (1, 1)),
    "array_points": [np.array([0, 0]), np.array([1, 0]), np.array([1, 1])],
    "rings": [SQUARE, HOLE],
    "rings_as_arrays": [np.array(SQUARE, float), np.array(HOLE, float)],
    "rings_flat": [[0, 0, 4, 0, 4, 4], [1, 1, 2, 1, 2, 2]],
    "two_vertex_rings": [[[0, 0], [1, 0]], [[5, 5], [6, 6]]],
    "single_vertex_rings": [[[1, 2]], [[3, 4], [5, 6], [3, 4]]],
    "empty_ring_among": [SQUARE, []],
    "empty_rings_only": [[], []],
    "empty": [],
    "empty_tuple": (),
    "ndarray_2d": np.array(SQUARE, float),
    "ndarray_2d_int": np.array(SQUARE),
    "ndarray_2d_fortran": np.asfortranarray(np.array(SQUARE, float)),
    "ndarray_2d_reversed": np.array(SQUARE, float)[::-1],
    "ndarray_2d_flat_row": np.array([[0, 0, 3, 0, 3, 3]], float),
    "ndarray_2d_big_endian": np.array(SQUARE, ">f8"),
    "ndarray_2d_unaligned": unaligned(np.array(SQUARE, float)),
    "ndarray_2d_subclass": np.array(SQUARE, float).view(Sub),
    "ndarray_2d_matrix": matrix(SQUARE),
    "ndarray_2d_float32": np.array(SQUARE, np.float32) / 3,
    "ndarray_3d": np.array([SQUARE, [[1, 1], [2, 1], [2, 2], [1, 2]]], float),
    "ndarray_3d_closed": np.array([HOLE, HOLE], float),
    "ndarray_1d_of_rings": np.array([SQUARE, HOLE], dtype=object),
    "ndarray_3d_unaligned": unaligned(np.array([SQUARE, SQUARE], float)),
    "mixed_ring_sizes": [SQUARE, [[1, 1], [2, 1], [2, 2]]],
}


@pytest.mark.parametrize("coords", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_layouts_build_every_field(coords):
    assert_fields(PolygonRGJ(coords), reference_polygon(coords))


def test_triangle_fields():
    p = PolygonRGJ(TRI)
    np.testing.assert_array_equal(p.rings[0], [[0, 0], [1, 0], [1, 1], [0, 0]])
    np.testing.assert_array_equal(p.points_in_line_pair, [[[0, 0], [1, 0]], [[1, 0], [1, 1]], [[1, 1], [0, 0]]])
    assert p._S == 3 and p.bbox.tolist() == [[0, 0], [1, 1]]
    np.testing.assert_array_equal(p._v_dot_v, [1, 1, 2])
    assert p.repulsion.tolist() == [[1, 0], [0, 1]] and p.properties == {}
    assert p.metric is p.inv_repulsion


@pytest.mark.parametrize(
    "first, last, closes",
    [
        ([1000.0, 0.0], [1000.0, 0.0], False),
        ([1000.0, 0.0], [1000.01, 0.0], False),  # within rtol * |last|
        ([1000.0, 0.0], [1000.0101, 0.0], True),
        ([1000.0, 0.0], [999.9899, 0.0], True),
        ([0.0, 0.0], [0.0, 1e-8], False),  # within atol
        ([0.0, 0.0], [0.0, 2e-8], True),
        ([np.nan, 0.0], [np.nan, 0.0], True),  # NaN is never close
        ([np.inf, 0.0], [np.inf, 0.0], False),  # equal infinities are
        ([0.0, 0.0], [np.inf, 0.0], True),
        ([-np.inf, 0.0], [np.inf, 0.0], True),
    ],
)
def test_ring_closing_follows_allclose(first, last, closes):
    ring = [first, [1001.0, 0.5], [1001.0, 1.0], last]
    got = PolygonRGJ(ring).rings[0]
    assert len(got) == (5 if closes else 4)
    np.testing.assert_array_equal(got[-1], first if closes else last)


def test_a_numpy_integer_first_item_reads_items_as_rings():
    with pytest.raises(ValueError):
        PolygonRGJ([np.int64(0), np.int64(0), np.int64(1), np.int64(0), np.int64(1), np.int64(1)])


def test_a_first_item_of_two_entries_means_one_ring_of_points():
    assert [len(r) for r in PolygonRGJ([[[0, 0], [1, 0]], [[5, 5], [6, 6]]]).rings] == [5]


def test_two_and_one_vertex_rings():
    p = PolygonRGJ([TRI, [[0, 0], [3, 0]], [[7, 7]], [[2, 2], [2, 2]]])
    assert [len(r) for r in p.rings] == [4, 3, 1, 2]
    np.testing.assert_array_equal(p.points_in_line_pair[3:], [[[0, 0], [3, 0]], [[3, 0], [0, 0]], [[2, 2], [2, 2]]])
    np.testing.assert_array_equal(p._v_dot_v[3:], [9.0, 9.0, 1.0])  # the zero-length segment guarded
    np.testing.assert_array_equal(p.bbox, [[0, 0], [7, 7]])


@pytest.mark.parametrize("coords", [[], [[]], [[[5, 5]]]])
def test_polygons_without_segments(coords):
    p = PolygonRGJ(coords)
    assert p._S == 0 and p.points_in_line_pair.shape == (0, 2, 2)
    assert p._p1.shape == (0, 2) and p._v_dot_v.shape == (0,)


def test_holes_keep_ring_order_and_segments_follow_it():
    p = PolygonRGJ([SQUARE, HOLE])
    assert len(p.rings) == 2 and p._S == 8
    np.testing.assert_array_equal(p.points_in_line_pair[4:, 0], np.array(HOLE[:4], float))


def test_rings_own_their_data():
    coords = np.array([SQUARE, SQUARE], float)
    arrays = [np.array(SQUARE + SQUARE[:1], float)]
    p, q = PolygonRGJ(coords), PolygonRGJ(arrays)
    coords[...] = 9.0
    arrays[0][...] = 9.0
    assert p.rings[0][:4].tolist() == q.rings[0][:4].tolist() == np.array(SQUARE, float).tolist()


def test_repulsion_and_keywords():
    rep = [[2.0, 0.5], [0.0, 1.0]]
    props = {"id": 1}
    p = PolygonRGJ(coordinates=TRI, repulsion=rep, properties=props, type="Polygon", other=3)
    assert_fields(p, reference_polygon(TRI, rep))
    assert p.properties is props
    assert PolygonRGJ(TRI, None, None, 3).repulsion.shape == (3, 3)
    with pytest.raises(np.linalg.LinAlgError):
        PolygonRGJ(TRI, [[1, 1], [1, 1]])


def test_set_coordinates_rebuilds_in_place():
    rep, props = [[2.0, 0.0], [0.0, 3.0]], {}
    p = PolygonRGJ(TRI, rep, props)
    old_rep = p.repulsion
    assert p.set_coordinates([SQUARE, HOLE]) is None
    assert_fields(p, reference_polygon([SQUARE, HOLE], rep))
    assert p.properties is props and p.repulsion is not old_rep


def test_set_coordinates_goes_through_the_subclass_init():
    calls = []

    class Logged(PolygonRGJ):
        def __init__(self, *args, **kwargs):
            calls.append(sorted(kwargs))
            super().__init__(*args, **kwargs)

    Logged(TRI).set_coordinates(SQUARE)
    assert calls == [[], ["coordinates", "properties", "repulsion"]]


def test_set_repulsion_updates_metric_only():
    p = PolygonRGJ(TRI)
    cache = p._p1
    assert p.set_repulsion([[4.0, 0.0], [0.0, 2.0]]) is None
    np.testing.assert_array_equal(p.metric, [[0.25, 0], [0, 0.5]])
    assert p.metric is p.inv_repulsion and p._p1 is cache


def test_build_segment_cache_reads_points_in_line_pair():
    p = PolygonRGJ(TRI)
    p.points_in_line_pair = np.array([[[0, 0], [3, 4]], [[1, 1], [1, 1]]], float)
    assert p._build_segment_cache() is None
    assert p._S == 2 and p._v.tolist() == [[3, 4], [0, 0]] and p._v_dot_v.tolist() == [25, 1]
    # Other dtypes and shapes take the NumPy route and give what NumPy gives.
    for pilp in (np.array([[[0, 0], [3, 4]]], np.float32), np.arange(12.0).reshape(2, 2, 3) ** 2):
        p.points_in_line_pair = pilp
        p._build_segment_cache()
        v = (pilp[:, 1] - pilp[:, 0]).astype(np.float64)
        np.testing.assert_array_equal(p._v, v)
        np.testing.assert_array_equal(p._v_dot_v, (v * v).sum(1))
        assert p._p1.dtype == np.float64 and p._p1.flags.c_contiguous and p._S == len(pilp)
    p.points_in_line_pair = np.zeros((0, 2, 2))
    p._build_segment_cache()
    assert p._S == 0 and p._v.shape == (0, 2)


@pytest.mark.parametrize(
    "coords, error",
    [
        (5, TypeError),
        ("abc", TypeError),
        ({1: 2}, TypeError),
        ([0, 0, 1], ValueError),
        ([["a", "b"], [1, 2]], ValueError),
    ],
)
def test_bad_coordinates_change_nothing(coords, error):
    p = PolygonRGJ(TRI)
    before = {k: getattr(p, k) for k in ("rings", "points_in_line_pair", "coordinates", "bbox")}
    with pytest.raises(error) as info:
        p.set_coordinates(coords)
    if error is TypeError and not isinstance(coords, list):
        assert str(info.value) == "Coordinates must be ndarray or list/tuple."
    assert all(getattr(p, k) is v for k, v in before.items())


def test_failure_after_rings_keeps_earlier_fields():
    p = PolygonRGJ(TRI)
    old_box = p.bbox
    with pytest.raises(ValueError):  # an odd ring is found after `rings` was reset
        p.set_coordinates(np.zeros((2, 3, 1)))
    assert p.rings == [] and p._S == 3 and p.bbox is old_box
    with pytest.raises(np.linalg.LinAlgError):
        PolygonRGJ.__init__(p, SQUARE, [[0, 0], [0, 0]])
    assert p._S == 4 and p.rings[0].shape == (5, 2) and p.repulsion.tolist() == [[0, 0], [0, 0]]
    assert p.bbox is old_box


def test_attribute_rules():
    p = PolygonRGJ(TRI)
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        p.rings = (1,)
    p.rings = None
    del p.metric
    assert p.rings is None and p.metric is None
    with pytest.raises(NotImplementedError, match="__del__"):
        del p._S
    p._S = np.int8(7)
    assert p._S == 7
    with pytest.raises(OverflowError):
        p._S = 2**63
    fresh = PolygonRGJ.__new__(PolygonRGJ)
    assert fresh._S == 0 and fresh.rings is None and fresh.points_in_line_pair is None


def test_object_coordinates_for_large_polygons_match_numpy():
    ring = np.random.default_rng(5).normal(size=(100_000, 2))
    p = PolygonRGJ(ring)
    want = np.array([r.tolist() for r in p.rings], dtype=object)
    assert p.coordinates.shape == want.shape == (1, 100_001, 2)
    assert p.coordinates.tolist() == want.tolist()
