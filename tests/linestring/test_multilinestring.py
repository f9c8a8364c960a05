"""MultiLineStringRGJ: construction, per-line-string boxes, the joined segment cache."""

import numpy as np
import pytest
import shapely

import zelk.field.geometry.linestring as L

from linestring_oracles import (
    all_offsets,
    assert_same_bits,
    joined_bbox,
    joined_cache,
    joined_center,
    metric_forms,
    random_metric,
)

CACHE = ("lines_n", "points_in_line_pair", "_p1", "_v", "_v_dot_v")
REPULSION = ("repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix")


class Sub(np.ndarray):
    pass


def assert_joined_cache(g, strings):
    want = joined_cache(strings)
    assert g.lines_n == want[0]
    for name, expected in zip(CACHE[1:], want[1:]):
        got = getattr(g, name)
        assert_same_bits(got, expected)
        assert got.strides == expected.strides, name  # the layout of the axis swap too


def random_strings(rng, sizes, scale=10.0):
    return [rng.uniform(-scale, scale, (n, 2)) for n in sizes]


# --- construction --------------------------------------------------------------


def test_two_separate_segments():
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)], [(5, 0), (6, 0)]])
    assert g.lines_n == 2
    np.testing.assert_array_equal(g.points_in_line_pair, [[(0, 0), (1, 0)], [(5, 0), (6, 0)]])
    np.testing.assert_array_equal(g.bbox, [(0, 0), (1, 0), (5, 0), (6, 0)])
    np.testing.assert_array_equal(g.get_center_point(), [3.0, 0.0])
    np.testing.assert_array_equal(g.repulsion_vector((3, 0), min_dist_select=False), [(2, 0), (-2, 0)])
    # No segment joins (1, 0) to (5, 0): the point above the gap is 2 away in both directions.
    np.testing.assert_allclose(np.hypot(*g.repulsion_vector([(3.0, 0.5)]).T), [np.hypot(2.0, 0.5)])


def test_single_vertex_string_counts_for_box_and_centre_only():
    g = L.MultiLineStringRGJ([[(10.0, -4.0)], [(0, 0), (1, 1), (2, 0)]])
    assert g.lines_n == 2
    np.testing.assert_array_equal(g.bbox, [(10, -4), (10, -4), (0, 0), (2, 1)])
    np.testing.assert_array_equal(g.get_center_point(), [5.0, -1.5])
    np.testing.assert_array_equal(g.points_in_line_pair, [[(0, 0), (1, 1)], [(1, 1), (2, 0)]])


def test_all_single_vertices_give_zeros():
    g = L.MultiLineStringRGJ([[(0, 0)], [(3, 3)], [(5, 1)]])
    assert g.lines_n == 0
    assert g.points_in_line_pair.shape == (0, 2, 2)
    for select in (True, False):
        assert_same_bits(g.repulsion_vector([[1, 1], [2, 2], [0, 0]], select), np.zeros((3, 2)))


def test_defaults():
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]])
    for name in ("repulsion", "inv_repulsion", "eye_repulsion"):
        assert_same_bits(getattr(g, name), np.eye(2))
    assert_same_bits(g.grad_matrix, 2 * np.eye(2))
    h = L.MultiLineStringRGJ([[(0, 0), (1, 0)]])
    assert g.properties == {} and h.properties == {} and g.properties is not h.properties
    props = {"name": "river"}
    k = L.MultiLineStringRGJ([[(0, 0), (1, 0)]], None, props)
    assert k.properties is props
    assert g.RGJType == "MultiLineString" and L.MultiLineStringRGJ.RGJType == "MultiLineString"


@pytest.mark.parametrize("dim", [1, 2, 3])
def test_optional_dim_and_given_repulsion(dim):
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]], optional_dim=dim)
    assert_same_bits(g.repulsion, np.eye(dim))
    rep = [[2, 1], [0, 4]]
    h = L.MultiLineStringRGJ([[(0, 0), (1, 0)]], rep, None, dim)
    assert_same_bits(h.repulsion, np.array(rep, dtype=np.float64))
    assert_same_bits(h.inv_repulsion, np.linalg.inv(np.array(rep, dtype=np.float64)))
    assert_same_bits(h.eye_repulsion, np.eye(2))
    assert_same_bits(h.grad_matrix, h.inv_repulsion + h.inv_repulsion.T)


def test_unknown_keywords_change_nothing():
    a = L.MultiLineStringRGJ([[(0, 0), (1, 0)], [(2, 2), (3, 5)]], type="MultiLineString", colour="blue")
    b = L.MultiLineStringRGJ([[(0, 0), (1, 0)], [(2, 2), (3, 5)]])
    for name in CACHE + REPULSION + ("bbox",):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name))


@pytest.mark.parametrize(
    "given",
    [
        lambda s: s,
        lambda s: tuple(map(tuple, (map(tuple, c) for c in s))),
        lambda s: (np.asarray(c) for c in s),
        lambda s: [np.asarray(c, dtype=np.float32) for c in s],
        lambda s: [np.asfortranarray(c) for c in s],
    ],
    ids=["lists", "tuples", "generator", "float32", "fortran"],
)
def test_coordinates_become_a_list_of_new_float64_arrays(given):
    strings = [[(0, 0), (1, 2), (3, 3)], [(5, 5), (6, 7)]]
    source = given([np.array(c, dtype=np.float64) for c in strings])
    g = L.MultiLineStringRGJ(source)
    assert type(g.coordinates) is list and len(g.coordinates) == 2
    for got, want in zip(g.coordinates, strings):
        assert_same_bits(got, np.array(want, dtype=np.float64))
    assert_joined_cache(g, g.coordinates)


def test_coordinates_are_copies():
    a = np.array([(0.0, 0.0), (1.0, 0.0)])
    g = L.MultiLineStringRGJ([a])
    a[:] = 7.0
    np.testing.assert_array_equal(g.coordinates[0], [(0, 0), (1, 0)])
    np.testing.assert_array_equal(g._p1, [(0, 0)])


def test_stacked_array_input():
    stacked = np.arange(24.0).reshape(3, 4, 2)
    g = L.MultiLineStringRGJ(stacked)
    assert g.lines_n == 9
    assert_joined_cache(g, list(stacked))


# --- failures and partial assignment --------------------------------------------


def test_no_line_strings_fails_in_box_step():
    g = L.MultiLineStringRGJ.__new__(L.MultiLineStringRGJ)
    with pytest.raises(ValueError, match="need at least one array to concatenate"):
        g.__init__([])
    assert g.coordinates == [] and g.repulsion is not None and g.grad_matrix is not None
    assert g.bbox is None
    assert (g.lines_n, g.points_in_line_pair, g._p1) == (0, None, None)


def test_line_string_without_vertices_fails_in_box_step():
    with pytest.raises(ValueError, match="zero-size array"):
        L.MultiLineStringRGJ([[(0, 0), (1, 1)], np.zeros((0, 2))])


def test_singular_repulsion_stops_after_repulsion():
    g = L.MultiLineStringRGJ.__new__(L.MultiLineStringRGJ)
    with pytest.raises(np.linalg.LinAlgError):
        g.__init__([[(0, 0), (1, 1)]], [[1, 2], [2, 4]])
    assert len(g.coordinates) == 1
    np.testing.assert_array_equal(g.repulsion, [[1, 2], [2, 4]])
    assert (g.inv_repulsion, g.eye_repulsion, g.properties, g.grad_matrix, g.bbox) == (None,) * 5
    assert g.lines_n == 0 and g._p1 is None


def test_never_calls_base_initialiser_or_base_set_coordinates():
    class Watch(L.MultiLineStringRGJ):
        pass

    calls = []
    base = L.LineStringRGJ.__mro__[1]
    original_init, original_set = base.__init__, base.set_coordinates
    try:
        base.__init__ = lambda *a, **k: calls.append("init")
        base.set_coordinates = lambda *a, **k: calls.append("set")
        g = Watch([[(0, 0), (1, 1)]])
        g.set_coordinates([[(2, 2), (3, 3)]])
    finally:
        base.__init__, base.set_coordinates = original_init, original_set
    assert calls == []
    assert g.lines_n == 1


# --- set_coordinates and _build_segments ----------------------------------------


def test_set_coordinates_changes_count_keeps_repulsion():
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]], [[2, 0], [0, 3]], {"p": 1})
    kept = [getattr(g, n) for n in REPULSION + ("properties",)]
    strings = [[(0, 0), (1, 1), (2, 0)], [(4, 4)], [(7, 1), (8, 8)]]
    assert g.set_coordinates(new_coords=strings) is None
    assert all(getattr(g, n) is k for n, k in zip(REPULSION + ("properties",), kept))
    assert g.bbox.shape == (6, 2)
    assert_same_bits(g.bbox, joined_bbox([np.array(c, dtype=np.float64) for c in strings]))
    assert_joined_cache(g, g.coordinates)
    assert g.lines_n == 3


def test_build_segments_reached_through_the_instance():
    calls = []

    class Counting(L.MultiLineStringRGJ):
        def _build_segments(self):
            calls.append(len(self.coordinates))

    g = Counting([[(0, 0), (1, 0)], [(3, 3), (4, 4)]])
    g.set_coordinates([[(0, 0), (1, 0)]])
    assert calls == [2, 1]
    assert g.lines_n == 0 and g._p1 is None


def test_direct_assignment_rebuilds_nothing_until_build_segments():
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]])
    bbox, p1 = g.bbox, g._p1
    g.coordinates = [np.array([(0.0, 0.0), (0.0, 2.0), (3.0, 3.0)])]
    assert g._p1 is p1 and g.lines_n == 1
    g._build_segments()
    assert_joined_cache(g, g.coordinates)
    assert g.bbox is bbox


@pytest.mark.parametrize(
    "strings",
    [
        [np.array([(0, 0), (1, 1), (2, 0)]), np.array([(5, 5), (6, 6)])],  # int64
        [np.array([(0, 0), (1, 1)], dtype=np.float32), np.array([(5.0, 5.0), (6.0, 6.0)])],
        [np.array([(0.0, 0.0), (1.0, 1.0)]).view(Sub), np.array([(5.0, 5.0), (6.0, 6.0)])],
        (np.array([(0.0, 0.0), (1.0, 1.0)]), np.array([(5.0, 5.0), (6.0, 6.0)])),  # a tuple
        [np.zeros((0, 2)), np.array([(5.0, 5.0), (6.0, 6.0), (7.0, 5.0)])],  # counts -1
        [np.array([(0.0, 0.0), (1.0, 1.0)]).astype(">f8")],
        [np.arange(6.0).reshape(2, 3), np.arange(9.0).reshape(3, 3)],
    ],
    ids=["int64", "float32", "subclass", "tuple", "empty-string", "big-endian", "three-columns"],
)
def test_build_segments_on_assigned_coordinates(strings):
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]])
    g.coordinates = strings
    g._build_segments()
    want = joined_cache(strings)
    assert g.lines_n == want[0]
    for name, expected in zip(CACHE[1:], want[1:]):
        got = getattr(g, name)
        assert type(got) is type(expected)
        assert_same_bits(got, expected)


@pytest.mark.parametrize("coordinates", [[], None, [None], [np.zeros(4)], [np.zeros((3, 2)), np.zeros((3, 3))], "ab"])
def test_build_segments_failures_match_numpy(coordinates):
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]])
    g.coordinates = coordinates
    try:
        joined_cache(coordinates)
    except Exception as e:
        with pytest.raises(type(e)) as info:
            g._build_segments()
        assert str(info.value) == str(e)
    else:
        raise AssertionError("the formula accepted it")


def test_lines_n_overflow_is_reported():
    class Huge:
        def __len__(self):
            return 2**62

    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]])
    g.coordinates = [Huge(), Huge(), Huge()]
    with pytest.raises(OverflowError):
        g._build_segments()
    assert g.lines_n == 1
    # The running sum passes the largest index but the total comes back to it.
    g.coordinates = [Huge(), Huge(), [1, 2, 3], []]
    with pytest.raises(TypeError):  # slicing Huge fails after the count is stored
        g._build_segments()
    assert g.lines_n == 2**63 - 1


# --- joined cache, boxes and centre: loops against the formulas -------------------


@pytest.mark.parametrize("sizes", [[2], [1, 1], [3, 1, 4], [1, 50, 2, 7], [200, 300]])
def test_joined_cache_matches_formula(rng, sizes):
    g = L.MultiLineStringRGJ(random_strings(rng, sizes))
    assert_joined_cache(g, g.coordinates)
    assert g._p1.flags.c_contiguous and g._v.flags.c_contiguous


def signed_zero_strings(rng, sizes, layout):
    strings = [rng.choice([-1.0, -0.0, 0.0, 2.0, np.inf], size=(n, 2)) for n in sizes]
    if layout == "nan":
        strings[0][0, 1] = np.nan
    if layout == "strided":
        strings = [np.repeat(c, 2, axis=0)[::2] for c in strings]
    if layout == "fortran":
        strings = [np.asfortranarray(c) for c in strings]
    return strings


@pytest.mark.parametrize("layout", ["c-order", "nan", "strided", "fortran"])
@pytest.mark.parametrize("sizes", [[1], [3, 1], [40, 17, 2], [1, 1, 1, 1], [120]])
def test_boxes_and_centre_match_formula(rng, sizes, layout):
    # Few distinct values, zeros of both signs: ties decide which zero wins.
    g = L.MultiLineStringRGJ([[(0, 0)]])
    for _ in range(20):
        strings = signed_zero_strings(rng, sizes, layout)
        g.set_coordinates(strings)  # np.array keeps a Fortran-ordered string so
        assert_same_bits(g.bbox, joined_bbox(g.coordinates))
        assert_same_bits(g.get_center_point(), joined_center(g.coordinates))
        g.coordinates = strings
        assert_same_bits(g.get_center_point(), joined_center(strings))


@pytest.mark.parametrize(
    "strings, want",
    [
        ([[(0, 0), (2, 0)], [(0, 4)]], (1.0, 2.0)),
        ([np.array([(0, 0), (2, 0)]), np.array([(0.0, 4.0)]).view(Sub)], (1.0, 2.0)),
        ([np.array([1.0, 2.0, 5.0, 6.0]), np.array([(0.0, 4.0)])], (2.5, 4.0)),
        ([np.zeros((0, 2)), np.array([(0.0, 4.0), (2.0, 0.0)])], (1.0, 2.0)),
    ],
    ids=["lists", "subclass", "flat", "empty-string"],
)
def test_centre_point(strings, want):
    g = L.MultiLineStringRGJ([[(0, 0)]])
    g.coordinates = [np.asarray(c) for c in strings]
    assert_same_bits(g.get_center_point(), joined_center(g.coordinates))
    np.testing.assert_array_equal(g.get_center_point(), want)


@pytest.mark.parametrize("coordinates", [[], [np.zeros((0, 2))], None, [np.zeros((5,))], ["ab"], [None]])
def test_centre_point_failures_match_numpy(coordinates):
    g = L.MultiLineStringRGJ([[(0, 0)]])
    g.coordinates = coordinates
    try:
        joined_center(coordinates)
    except Exception as e:
        with pytest.raises(type(e)) as info:
            g.get_center_point()
        assert str(info.value) == str(e)
    else:
        raise AssertionError("the formula accepted it")


# --- queries over the joined cache ----------------------------------------------


@pytest.mark.parametrize("symmetric", [True, False], ids=["symmetric", "non-symmetric"])
@pytest.mark.parametrize("sizes", [[2, 2], [5, 1, 9], [30, 40, 3]])
def test_selected_is_nearest_candidate_over_all_strings(rng, sizes, symmetric):
    metric = random_metric(rng, symmetric)
    g = L.MultiLineStringRGJ(random_strings(rng, sizes), np.linalg.inv(metric))
    x = rng.uniform(-12, 12, (150, 2))
    w = g.repulsion_vector(x, False).reshape(g.lines_n, len(x), 2)
    assert_same_bits(w.reshape(-1, 2), all_offsets(x, g._p1, g._v, g._v_dot_v))
    best = metric_forms(w, g.inv_repulsion).argmin(axis=0)
    np.testing.assert_array_equal(g.repulsion_vector(x), w[best, np.arange(len(x))])


@pytest.mark.parametrize("sizes", [[2, 2], [1, 6, 3], [50, 2, 80]])
def test_identity_distances_match_shapely(rng, sizes):
    strings = random_strings(rng, sizes)
    g = L.MultiLineStringRGJ(strings)
    x = rng.uniform(-15, 15, (400, 2))
    parts = [shapely.LineString(c) if len(c) > 1 else shapely.Point(c[0]) for c in strings]
    lines = [p for p in parts if isinstance(p, shapely.LineString)]
    want = shapely.distance(shapely.points(x), shapely.MultiLineString(lines))
    np.testing.assert_allclose(np.hypot(*g.repulsion_vector(x).T), want, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(g.squared_dist(x), want**2, rtol=1e-9, atol=1e-12)


def test_base_operations_see_the_joined_fields():
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)], [(5, 5), (6, 7)]], properties={"k": 1})
    assert g.in_bbox([[3.0, 3.0]]) is True
    assert g.in_bbox([[7.0, 3.0]]) is False
    export = g.toRGeoJSON()
    assert export["geometry"] == {
        "type": "MultiLineString",
        "coordinates": [[[0.0, 0.0], [1.0, 0.0]], [[5.0, 5.0], [6.0, 7.0]]],
        "repulsion": [[1.0, 0.0], [0.0, 1.0]],
    }
    assert export["properties"] is g.properties
    back = L.MultiLineStringRGJ(**export["geometry"])
    np.testing.assert_array_equal(back._p1, g._p1)
