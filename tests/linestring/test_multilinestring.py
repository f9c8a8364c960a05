"""MultiLineStringRGJ: construction, per-line-string boxes, the joined segment cache."""

import numpy as np
import pytest
import shapely

import zelk.field.geometry.linestring as L

from helpers import assert_like, assert_same_bits, metric_form, random_metric, subclass
from linestring_oracles import assert_cache, joined_bbox, joined_cache, joined_center

KEPT = ("repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties")
Sub = subclass(np.ndarray)


def assert_cache_like_formula(build, strings):
    """build() returns a geometry with the formula's cache (the axis swap's layout too), or fails as it fails."""
    assert_like(build, lambda: joined_cache(strings), lambda g, want: assert_cache(g, want, strides=True))


def strings_of(rng, sizes, values=None):
    if values is None:
        return [rng.uniform(-10, 10, (n, 2)) for n in sizes]
    return [rng.choice(values, size=(n, 2)) for n in sizes]


# --- construction ------------------------------------------------------------------


def test_documented_cases():
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)], [(5, 0), (6, 0)]])
    assert g.lines_n == 2
    np.testing.assert_array_equal(g.points_in_line_pair, [[(0, 0), (1, 0)], [(5, 0), (6, 0)]])
    np.testing.assert_array_equal(g.bbox, [(0, 0), (1, 0), (5, 0), (6, 0)])
    np.testing.assert_array_equal(g.get_center_point(), [3.0, 0.0])
    np.testing.assert_array_equal(g.repulsion_vector((3, 0), min_dist_select=False), [(2, 0), (-2, 0)])
    h = L.MultiLineStringRGJ([[(10.0, -4.0)], [(0, 0), (1, 1), (2, 0)]])  # a single vertex: box and centre only
    assert h.lines_n == 2
    np.testing.assert_array_equal(h.bbox, [(10, -4), (10, -4), (0, 0), (2, 1)])
    np.testing.assert_array_equal(h.get_center_point(), [5.0, -1.5])
    np.testing.assert_array_equal(L.MultiLineStringRGJ([[(0, 0), (2, 0)], [(0, 4)]]).get_center_point(), [1, 2])
    k = L.MultiLineStringRGJ([[(0, 0)], [(3, 3)], [(5, 1)]])
    assert k.lines_n == 0
    for select in (True, False):
        assert_same_bits(k.repulsion_vector([[1, 1], [2, 2]], select), np.zeros((2, 2)))


def test_defaults_properties_and_keywords():
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]], type="MultiLineString", colour="blue")
    for name in ("repulsion", "inv_repulsion", "eye_repulsion"):
        assert_same_bits(getattr(g, name), np.eye(2))
    assert_same_bits(g.grad_matrix, 2 * np.eye(2))
    assert g.properties == {} and g.properties is not L.MultiLineStringRGJ([[(0, 0)]]).properties
    props = {"name": "river"}
    rep = [[2, 1], [0, 4]]
    h = L.MultiLineStringRGJ([[(0, 0), (1, 0)]], rep, props, 3)
    assert h.properties is props
    inv = np.linalg.inv(np.array(rep, dtype=np.float64))
    assert_same_bits(h.inv_repulsion, inv)
    assert_same_bits(h.grad_matrix, inv + inv.T)
    assert_same_bits(L.MultiLineStringRGJ([[(0, 0)]], optional_dim=3).repulsion, np.eye(3))
    assert g.RGJType == "MultiLineString"


@pytest.mark.parametrize(
    "given",
    [lambda s: s, lambda s: tuple(tuple(map(tuple, c)) for c in s), lambda s: (np.asarray(c) for c in s),
     lambda s: [np.asarray(c, dtype=np.float32) for c in s], lambda s: np.array([s[0][:2], s[1]])],
    ids=["lists", "tuples", "generator", "float32", "stacked"],
)
def test_coordinates_become_a_list_of_new_float64_arrays(given):
    strings = [np.array([(0, 0), (1, 2), (3, 3)], dtype=np.float64), np.array([(5, 5), (6, 7)], dtype=np.float64)]
    want = [np.array(c, dtype=np.float64) for c in given(strings)]
    g = L.MultiLineStringRGJ(given(strings))
    strings[0][:] = 99.0  # the caller's data does not reach the object
    assert type(g.coordinates) is list and len(g.coordinates) == len(want)
    for got, expected in zip(g.coordinates, want):
        assert_same_bits(got, expected)
    assert_cache_like_formula(lambda: g, g.coordinates)


@pytest.mark.parametrize(
    "coordinates, repulsion, error, assigned",
    [([], None, ValueError, ("coordinates", "repulsion", "inv_repulsion", "grad_matrix")),
     ([[(0, 0), (1, 1)], np.zeros((0, 2))], None, ValueError, ("coordinates", "repulsion", "inv_repulsion", "grad_matrix")),
     ([[(0, 0), (1, 1)]], [[1, 2], [2, 4]], np.linalg.LinAlgError, ("coordinates", "repulsion"))],
    ids=["no-strings", "empty-string", "singular"],
)
def test_failures_keep_earlier_fields(coordinates, repulsion, error, assigned):
    g = L.MultiLineStringRGJ.__new__(L.MultiLineStringRGJ)
    with pytest.raises(error):
        g.__init__(coordinates, repulsion)
    for name in ("coordinates", "repulsion", "inv_repulsion", "grad_matrix", "bbox"):
        assert (getattr(g, name) is not None) == (name in assigned)
    assert (g.lines_n, g._p1) == (0, None)  # _build_segments never ran


def test_set_coordinates_and_build_segments_never_reach_the_base():
    calls = []

    class Counting(L.MultiLineStringRGJ):
        def _build_segments(self):
            calls.append(len(self.coordinates))
            return super()._build_segments()

    base = L.LineStringRGJ.__mro__[1]
    saved = base.__init__, base.set_coordinates
    try:
        base.__init__ = base.set_coordinates = lambda *a, **k: calls.append("base")
        g = Counting([[(0, 0), (1, 0)]], [[2, 0], [0, 3]], {"p": 1})
        kept = [getattr(g, n) for n in KEPT]
        assert g.set_coordinates(new_coords=[[(0, 0), (1, 1), (2, 0)], [(4, 4)], [(7, 1), (8, 8)]]) is None
    finally:
        base.__init__, base.set_coordinates = saved
    assert calls == [1, 3]
    assert all(getattr(g, n) is k for n, k in zip(KEPT, kept))
    assert_same_bits(g.bbox, joined_bbox(g.coordinates))
    assert_cache_like_formula(lambda: g, g.coordinates)
    bbox = g.bbox
    g.coordinates = [np.array([(0.0, 0.0), (0.0, 2.0)])]  # assignment rebuilds nothing...
    assert g.lines_n == 3
    g._build_segments()  # ...until asked, and the box only with set_coordinates
    assert g.lines_n == 1 and g.bbox is bbox


@pytest.mark.parametrize(
    "strings",
    [[np.array([(0, 0), (1, 1), (2, 0)]), np.array([(5, 5), (6, 6)])],
     [np.array([(0, 0), (1, 1)], dtype=np.float32), np.array([(5.0, 5.0), (6.0, 6.0)])],
     [np.array([(0.0, 0.0), (1.0, 1.0)]).view(Sub), np.array([(5.0, 5.0), (6.0, 6.0)])],
     (np.array([(0.0, 0.0), (1.0, 1.0)]), np.array([(5.0, 5.0), (6.0, 6.0)])),
     [np.zeros((0, 2)), np.array([(5.0, 5.0), (6.0, 6.0), (7.0, 5.0)])],
     [np.array([(0.0, 0.0), (1.0, 1.0)]).astype(">f8")], [np.arange(6.0).reshape(2, 3), np.arange(9.0).reshape(3, 3)],
     [], None, [None], [np.zeros(4)], [np.zeros((3, 2)), np.zeros((3, 3))], "ab"],
    ids=["int64", "float32", "subclass", "tuple", "empty-string", "big-endian", "three-columns", "none-at-all",
         "None", "[None]", "flat", "mixed-columns", "text"],
)
def test_build_segments_on_assigned_coordinates(strings):
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]])
    g.coordinates = strings

    def build():
        g._build_segments()
        return g

    assert_cache_like_formula(build, strings)


def test_lines_n_held_as_python_would():
    class Huge:
        def __len__(self):
            return 2**62

    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)]])
    g.coordinates = [Huge(), Huge(), Huge()]
    with pytest.raises(OverflowError):
        g._build_segments()
    assert g.lines_n == 1
    # The running sum passes the largest index, the total comes back to it.
    g.coordinates = [Huge(), Huge(), [1, 2, 3], []]
    with pytest.raises(TypeError):  # slicing Huge fails after the count is stored
        g._build_segments()
    assert g.lines_n == 2**63 - 1


# --- loops against the formulas ------------------------------------------------------


@pytest.mark.parametrize("layout", ["c-order", "nan", "fortran"])
@pytest.mark.parametrize("sizes", [[1], [3, 1], [40, 17, 2], [1, 1, 1, 1], [120]])
def test_cache_boxes_and_centre_match_formulas(rng, sizes, layout):
    # Few distinct values, zeros of both signs: ties decide which zero a box keeps.
    g = L.MultiLineStringRGJ([[(0, 0)]])
    for _ in range(10):
        strings = strings_of(rng, sizes, [-1.0, -0.0, 0.0, 2.0, np.inf])
        if layout == "nan":
            strings[0][0, 1] = np.nan
        if layout == "fortran":  # np.array keeps a string's order, and NumPy reduces it differently
            strings = [np.asfortranarray(c) for c in strings]
        g.set_coordinates(strings)
        assert_same_bits(g.bbox, joined_bbox(g.coordinates))
        assert_same_bits(g.get_center_point(), joined_center(g.coordinates))
        assert_cache_like_formula(lambda: g, g.coordinates)
        g.coordinates = [np.repeat(c, 2, axis=0)[::2] for c in strings]  # strided views
        assert_same_bits(g.get_center_point(), joined_center(g.coordinates))


@pytest.mark.parametrize(
    "strings",
    [[np.array([(0, 0), (2, 0)]), np.array([(0.0, 4.0)]).view(Sub)], [np.array([1.0, 2.0, 5.0, 6.0]), np.ones((1, 2))],
     [np.zeros((0, 2)), np.array([(0.0, 4.0), (2.0, 0.0)])], [], [np.zeros((0, 2))], None, [np.zeros(5)], ["ab"]],
    ids=["subclass", "flat", "empty-string", "none-at-all", "only-empty", "None", "odd-flat", "text"],
)
def test_centre_point_acts_as_formula(strings):
    g = L.MultiLineStringRGJ([[(0, 0)]])
    g.coordinates = strings
    assert_like(g.get_center_point, lambda: joined_center(strings))


# --- queries over the joined cache ----------------------------------------------------


@pytest.mark.parametrize("symmetric", [True, False], ids=["symmetric", "non-symmetric"])
@pytest.mark.parametrize("sizes", [[2, 2], [5, 1, 9], [30, 40, 3]])
def test_selected_is_nearest_candidate_over_all_strings(rng, sizes, symmetric):
    g = L.MultiLineStringRGJ(strings_of(rng, sizes), np.linalg.inv(random_metric(rng, symmetric)))
    x = rng.uniform(-12, 12, (150, 2))
    w = g.repulsion_vector(x, False).reshape(g.lines_n, len(x), 2)
    best = metric_form(w, g.inv_repulsion).argmin(axis=0)
    np.testing.assert_array_equal(g.repulsion_vector(x), w[best, np.arange(len(x))])


@pytest.mark.parametrize("sizes", [[2, 2], [1, 6, 3], [50, 2, 80]])
def test_identity_distances_match_shapely(rng, sizes):
    strings = strings_of(rng, sizes)
    g = L.MultiLineStringRGJ(strings)
    x = rng.uniform(-15, 15, (400, 2))
    lines = shapely.MultiLineString([c for c in strings if len(c) > 1])  # no segment joins two strings
    want = shapely.distance(shapely.points(x), lines)
    np.testing.assert_allclose(np.hypot(*g.repulsion_vector(x).T), want, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(g.squared_dist(x), want**2, rtol=1e-9, atol=1e-12)


def test_base_operations_see_the_joined_fields():
    g = L.MultiLineStringRGJ([[(0, 0), (1, 0)], [(5, 5), (6, 7)]], properties={"k": 1})
    assert g.in_bbox([[3.0, 3.0]]) is True and g.in_bbox([[7.0, 3.0]]) is False
    export = g.toRGeoJSON()
    assert export["properties"] is g.properties
    assert export["geometry"]["coordinates"] == [[[0.0, 0.0], [1.0, 0.0]], [[5.0, 5.0], [6.0, 7.0]]]
    back = L.MultiLineStringRGJ(**export["geometry"])
    np.testing.assert_array_equal(back._p1, g._p1)
