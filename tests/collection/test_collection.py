"""GeometryCollectionRGJ with point members and with stub members.

A member is anything with the geometry operations, so stubs whose answers are
fixed make the collection's own choices (ties, quadratic forms, row order)
testable in isolation. The oracles are the NumPy formulas written out here.
"""

import copy
import hashlib
import pickle

import numpy as np
import pytest

import zelk.field.geometry as package
from helpers import Flag, assert_same_bits
from zelk.field.geometry.collection import GeometryCollectionRGJ
from zelk.field.geometry.point import MultiPointRGJ, PointRGJ


class Stub:
    """A member with fixed answers: one vector and one squared distance per point."""

    def __init__(self, vector=(0.0, 0.0), dist=0.0, metric=None, grad=None, bbox=None,
                 center=(0.0, 0.0), inside=False, log=None, name="", **kwargs):
        self.vector = np.asarray(vector, dtype=float)
        self.dist = float(dist)
        self.metric = np.eye(2) if metric is None else np.asarray(metric, dtype=float)
        self.grad_matrix = 2 * np.eye(2) if grad is None else np.asarray(grad, dtype=float)
        self.bbox = np.zeros((2, 2)) if bbox is None else np.asarray(bbox, dtype=float)
        self.center = np.asarray(center, dtype=float)
        self.inside = inside
        self.log = log if log is not None else []
        self.name = name
        self.kwargs = kwargs

    def _n(self, x):
        return len(np.atleast_2d(x))

    def get_dist_matrix(self, scaled=True, inverted=True):
        self.log.append((self.name, "get_dist_matrix", scaled, inverted))
        return self.metric

    def repulsion_vector(self, x, min_dist_select=True, **kwargs):
        self.log.append((self.name, "repulsion_vector", min_dist_select, kwargs))
        return np.tile(self.vector, (self._n(x), 1))

    def squared_dist(self, x, scaled=True, inverted=True):
        self.log.append((self.name, "squared_dist", scaled, inverted))
        return np.full(self._n(x), self.dist)

    def in_bbox(self, x):
        self.log.append((self.name, "in_bbox"))
        return self.inside

    def get_center_point(self):
        return self.center

    def set_repulsion(self, new_repulsion):
        self.log.append((self.name, "set_repulsion", new_repulsion))

    def toRGeoJSON(self):
        return {"type": "Feature", "properties": {}, "geometry": {"type": "Stub", "name": self.name}}


@pytest.fixture
def types(monkeypatch):
    """The package's type table with the stub added; restored after the test."""
    table = {"Point": PointRGJ, "MultiPoint": MultiPointRGJ, "Stub": Stub}
    monkeypatch.setitem(vars(package), "_RGJ_TYPES", table)
    return table


def stubs(*members):
    return [dict(type="Stub", **m) for m in members]


def points(*coords, repulsion=None):
    return [{"type": "Point", "coordinates": list(c), "repulsion": repulsion} for c in coords]


# --- construction -------------------------------------------------------------


def test_members_are_built_in_order_and_inputs_left_untouched(types):
    geometries = points((0, 0), (3, 4)) + [{"type": "MultiPoint", "coordinates": [[1, 1], [2, 2]]}]
    before = copy.deepcopy(geometries)
    c = GeometryCollectionRGJ(geometries)
    assert [type(m) for m in c.rgjs] == [PointRGJ, PointRGJ, MultiPointRGJ]
    assert geometries == before
    assert c.inv_repulsions.shape == (3, 2, 2) and c.grad_matrixes.shape == (3, 2, 2)
    np.testing.assert_array_equal(c.bbox, [[0, 0], [3, 4]])


def test_stacks_follow_member_matrices(types):
    rep = np.array([[2.0, 0.5], [0.25, 1.0]])
    c = GeometryCollectionRGJ(points((0, 0)) + points((1, 1), repulsion=rep.tolist()))
    np.testing.assert_array_equal(c.inv_repulsions[1], np.linalg.inv(rep))
    np.testing.assert_array_equal(c.grad_matrixes[1], np.linalg.inv(rep) + np.linalg.inv(rep).T)
    np.testing.assert_array_equal(c.inv_repulsions[0], np.eye(2))


@pytest.mark.parametrize("given", [None, {}, {"a": 1}])
def test_properties_identity(types, given):
    a = GeometryCollectionRGJ(points((0, 0)), properties=given)
    b = GeometryCollectionRGJ(points((0, 0)), given)
    if given is None:
        assert a.properties == {} and a.properties is not b.properties
    else:
        assert a.properties is given and b.properties is given


def test_box_joins_member_boxes(types):
    c = GeometryCollectionRGJ(stubs({"bbox": [[0, 0], [1, 1]]}, {"bbox": [[2, -1], [3, 0.5]]}))
    np.testing.assert_array_equal(c.bbox, [[0, -1], [3, 1]])
    one = GeometryCollectionRGJ(stubs({"bbox": [[2, -1], [3, 0.5]]}))
    np.testing.assert_array_equal(one.bbox, [[2, -1], [3, 0.5]])


def test_box_of_non_canonical_member_boxes_goes_through_numpy(types):
    c = GeometryCollectionRGJ(stubs({"bbox": [[0, 0], [1, 1]]}, {"bbox": [[2, -1], [3, 0.5]]}))
    c.rgjs[1].bbox = [[2, -1], [3, 0.5]]  # a list: NumPy concatenates it the same way
    fast = c.bbox
    c.__init__(stubs({"bbox": [[0, 0], [1, 1]]}, {"bbox": np.array([[2, -1], [3, 0.5]], dtype=np.float32)}))
    np.testing.assert_array_equal(c.bbox, fast)


def test_unknown_keywords_are_ignored(types):
    c = GeometryCollectionRGJ(geometries=points((1, 2)), type="GeometryCollection", extra=3)
    assert len(c.rgjs) == 1


def test_empty_collection_cannot_be_built(types):
    c = GeometryCollectionRGJ.__new__(GeometryCollectionRGJ)
    with pytest.raises(ValueError):
        c.__init__([])
    assert c.rgjs == [] and c.bbox is None


def test_failing_member_keeps_earlier_state(types):
    c = GeometryCollectionRGJ(points((0, 0)))
    old = c.rgjs
    props = {"new": True}
    with pytest.raises(KeyError):
        c.__init__(points((1, 1)) + [{"type": "Nope"}], properties=props)
    assert c.properties is props and c.rgjs is old


@pytest.mark.parametrize("geometry, error", [
    ({"coordinates": [0, 0]}, KeyError),
    (5, TypeError),
    ({"type": "Point", "coordinates": [0, 0], "bogus": 1}, None),
])
def test_member_lookup_errors(types, geometry, error):
    if error is None:
        GeometryCollectionRGJ([geometry])
    else:
        with pytest.raises(error):
            GeometryCollectionRGJ([geometry])


def test_geometries_may_be_any_iterable(types):
    c = GeometryCollectionRGJ(iter(points((0, 0), (1, 0))))
    assert len(c.rgjs) == 2
    with pytest.raises(TypeError):
        GeometryCollectionRGJ(5)


def test_type_table_is_read_at_each_construction(types, monkeypatch):
    made = []

    def factory(**kwargs):
        made.append(kwargs)
        return Stub(**{k: v for k, v in kwargs.items() if k != "type"})

    monkeypatch.setitem(vars(package), "_RGJ_TYPES", {"Custom": factory})
    GeometryCollectionRGJ([{"type": "Custom", "dist": 2.0}])
    assert made == [{"type": "Custom", "dist": 2.0}]


# --- simple operations --------------------------------------------------------


def test_in_bbox_stops_at_first_true_member(types):
    log = []
    c = GeometryCollectionRGJ(stubs({"name": "a"}, {"name": "b", "inside": 1}, {"name": "c"}))
    for m in c.rgjs:
        m.log = log
    assert c.in_bbox([0, 0]) is True
    assert log == [("a", "in_bbox"), ("b", "in_bbox")]
    c.rgjs[1].inside = np.False_
    assert c.in_bbox([0, 0]) is False
    c.rgjs = []
    assert c.in_bbox([0, 0]) is False


def test_set_repulsion_reaches_every_member(types):
    log = []
    c = GeometryCollectionRGJ(stubs({"name": "a", "log": log}, {"name": "b", "log": log}))
    log.clear()
    marker = object()
    assert c.set_repulsion(marker) is None
    # Every member first, then the members' matrices are stacked again.
    assert log == [("a", "set_repulsion", marker), ("b", "set_repulsion", marker),
                   ("a", "get_dist_matrix", True, True), ("b", "get_dist_matrix", True, True)]
    c.rgjs = []
    stacked = c.inv_repulsions
    assert c.set_repulsion(marker) is None and c.inv_repulsions is stacked


def test_set_repulsion_answers_as_a_collection_built_with_it(types):
    rep = [[3.0, 0.4], [0.2, 0.5]]
    geoms = points((0, 0), (5, 1), (-2, 4))
    changed = GeometryCollectionRGJ(geoms)
    changed.set_repulsion(rep)
    built = GeometryCollectionRGJ([dict(g, repulsion=rep) for g in geoms])
    x = np.random.default_rng(5).normal(size=(30, 2)) * 4
    for name in ("inv_repulsions", "grad_matrixes"):
        np.testing.assert_array_equal(getattr(changed, name), getattr(built, name))
    for query in ("repulsion_vector", "squared_dist", "gradient"):
        np.testing.assert_array_equal(getattr(changed, query)(x), getattr(built, query)(x))


@pytest.mark.parametrize("arg", [None, [[0, 0]], 5])
def test_set_coordinates_always_refuses(types, arg):
    c = GeometryCollectionRGJ(points((0, 0)))
    with pytest.raises(NotImplementedError) as info:
        c.set_coordinates(arg)
    assert str(info.value) == ""


@pytest.mark.parametrize("method, args", [
    ("in_bbox", ([0, 0],)), ("set_repulsion", (np.eye(2),)), ("squared_dist", ([0, 0],)),
    ("repulsion_vector", ([0, 0],)), ("get_center_point", ()), ("get_dist_matrix", ()),
    ("toRGeoJSON", ()),
])
def test_members_set_to_none_raise_type_error(types, method, args):
    c = GeometryCollectionRGJ(points((0, 0)))
    c.rgjs = None
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        getattr(c, method)(*args)


def test_rgjs_accepts_only_lists(types):
    c = GeometryCollectionRGJ(points((0, 0)))
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        c.rgjs = tuple(c.rgjs)
    del c.rgjs
    assert c.rgjs is None


def test_get_dist_matrix_passes_flags(types):
    log = []
    c = GeometryCollectionRGJ(stubs({"name": "a", "log": log, "metric": 3 * np.eye(2)}))
    log.clear()
    out = c.get_dist_matrix(scaled=0, inverted="")
    assert log == [("a", "get_dist_matrix", 0, "")]
    np.testing.assert_array_equal(out, [3 * np.eye(2)])
    with pytest.raises(TypeError):
        c.get_dist_matrix(flag=1)


def test_centre_is_middle_of_member_centres(types):
    c = GeometryCollectionRGJ(stubs({"center": (0, 0)}, {"center": (1, 0)}, {"center": (10, 10)}))
    np.testing.assert_array_equal(c.get_center_point(), [5.0, 5.0])
    c.rgjs[2].center = [10.0, 10.0]  # lists take the NumPy path
    np.testing.assert_array_equal(c.get_center_point(), [5.0, 5.0])


# --- distances, repulsion, gradient -------------------------------------------


def test_squared_dist_ties_go_to_the_earlier_member(types):
    c = GeometryCollectionRGJ(stubs({"dist": 2.0}, {"dist": 1.0}, {"dist": 1.0}))
    values, index = c.squared_dist(np.zeros((3, 2)), return_reference=True)
    np.testing.assert_array_equal(values, [1.0, 1.0, 1.0])
    np.testing.assert_array_equal(index, [1, 1, 1])
    assert index.dtype == np.intp
    np.testing.assert_array_equal(c.squared_dist(np.zeros((3, 2)), unknown=5), [1.0] * 3)


def test_squared_dist_with_nan_follows_numpy(types):
    c = GeometryCollectionRGJ(stubs({"dist": 2.0}, {"dist": np.nan}, {"dist": 0.5}))
    values, index = c.squared_dist([[0, 0]], return_reference=True)
    assert np.isnan(values[0]) and index[0] == 1
    assert np.isnan(c.squared_dist([[0, 0]])[0])


def test_squared_dist_matches_numpy_on_point_members(types):
    rng = np.random.default_rng(1)
    reps = [np.array([[2.0, 0.3], [0.1, 0.5]]), np.eye(2), np.diag([0.2, 3.0])]
    coords = rng.normal(size=(3, 2)) * 5
    geoms = [{"type": "Point", "coordinates": c.tolist(), "repulsion": r.tolist()}
             for c, r in zip(coords, reps)]
    c = GeometryCollectionRGJ(geoms)
    x = rng.normal(size=(50, 2)) * 5
    stacked = np.stack([m.squared_dist(x) for m in c.rgjs], axis=1)
    values, index = c.squared_dist(x, return_reference=True)
    np.testing.assert_array_equal(index, stacked.argmin(1))
    np.testing.assert_array_equal(values, stacked.min(1))


class Answers(Stub):
    """A member whose answers are given arrays, returned as they are."""

    def __init__(self, dists=None, vectors=None, **kwargs):
        super().__init__(**kwargs)
        self.dists, self.vectors = dists, vectors

    def squared_dist(self, x, scaled=True, inverted=True):
        self.log.append((self.name, "squared_dist"))
        return self.dists

    def repulsion_vector(self, x, min_dist_select=True, **kwargs):
        self.log.append((self.name, "repulsion_vector"))
        return self.vectors


def answers(types, *members):
    types["Answers"] = Answers
    return GeometryCollectionRGJ([dict(type="Answers", **m) for m in members])


def test_squared_dist_min_follows_numpy_for_signed_zeros(types):
    dists = [np.array([-0.0, 0.0, 1.0, np.nan]), np.array([0.0, -0.0, np.nan, 1.0])]
    c = answers(types, {"dists": dists[0]}, {"dists": dists[1]})
    want = np.stack(dists, axis=1).min(1)
    assert_same_bits(c.squared_dist(np.zeros((4, 2))), want)


@pytest.mark.parametrize("query, values", [("squared_dist", "dists"), ("repulsion_vector", "vectors")])
def test_flags_are_tested_after_the_members_answered(types, query, values):
    log = []
    good = np.zeros(3) if values == "dists" else np.zeros((3, 2))
    c = answers(types, {values: good, "log": log, "name": "a"}, {values: good, "log": log, "name": "b"})
    flag_position = 3 if query == "squared_dist" else 1
    args = [np.zeros((3, 2))] + [True] * (flag_position - 1) + [Flag(True, lambda: log.append(("flag",)))]
    log.clear()
    getattr(c, query)(*args)
    assert [entry[0] for entry in log] == ["a", "b", "flag"]

    # Answers that cannot be stacked fail as NumPy's stack does, before the flag is asked.
    c.rgjs[1].vectors = c.rgjs[1].dists = good[:2]
    log.clear()
    with pytest.raises(ValueError, match="same shape"):
        getattr(c, query)(*args)
    assert ("flag",) not in log


@pytest.mark.parametrize("select", [True, False])
def test_flag_resizing_an_answer_raises_instead_of_reading_freed_memory(types, select):
    vectors = np.ones((1000, 2))
    c = answers(types, {"vectors": vectors}, {"vectors": np.ones((1000, 2))})
    flag = Flag(select, lambda: vectors.resize((3, 2), refcheck=False))
    with pytest.raises(RuntimeError, match="resized during the call"):
        c.repulsion_vector(np.zeros((1000, 2)), flag)


def test_repulsion_pick_uses_each_members_quadratic_form(types):
    c = GeometryCollectionRGJ(stubs({"vector": (1.0, 0.0), "metric": np.diag([4.0, 4.0])},
                                    {"vector": (1.5, 0.0)}))
    np.testing.assert_array_equal(c.repulsion_vector([[0, 0], [1, 1]]), [[1.5, 0.0]] * 2)


def test_repulsion_tie_goes_to_the_earlier_member(types):
    c = GeometryCollectionRGJ(stubs({"vector": (0.0, 2.0)}, {"vector": (2.0, 0.0)}))
    np.testing.assert_array_equal(c.repulsion_vector([[0, 0]]), [[0.0, 2.0]])


def test_unselected_rows_are_member_major_and_keywords_pass_on(types):
    log = []
    c = GeometryCollectionRGJ(stubs({"vector": (1, 2), "log": log, "name": "a"},
                                    {"vector": (3, 4), "log": log, "name": "b"}))
    log.clear()
    out = c.repulsion_vector(np.zeros((3, 2)), min_dist_select=False, extra=7)
    np.testing.assert_array_equal(out, [[1, 2]] * 3 + [[3, 4]] * 3)
    assert log == [("a", "repulsion_vector", False, {"extra": 7}),
                   ("b", "repulsion_vector", False, {"extra": 7})]


def numpy_pick(vectors, inv):
    v = np.stack(vectors, axis=0).swapaxes(0, 1)
    nv = np.einsum("ijk,lik->lij", inv, v)
    select = (v * nv).sum(-1).argmin(1)
    return v[np.arange(len(select)), select]


def test_repulsion_matches_numpy_on_random_members(types):
    rng = np.random.default_rng(2)
    geoms = [{"type": "MultiPoint", "coordinates": (rng.normal(size=(4, 2)) * 3).tolist(),
              "repulsion": (np.eye(2) + 0.3 * rng.normal(size=(2, 2))).tolist()} for _ in range(5)]
    c = GeometryCollectionRGJ(geoms)
    x = rng.normal(size=(200, 2)) * 4
    expected = numpy_pick([m.repulsion_vector(x) for m in c.rgjs], c.inv_repulsions)
    np.testing.assert_array_equal(c.repulsion_vector(x), expected)
    # A hand-assigned stack of another dtype takes the NumPy path and agrees.
    c.inv_repulsions = c.inv_repulsions.astype(np.longdouble)
    np.testing.assert_allclose(c.repulsion_vector(x), expected)


def test_gradient_matches_finite_differences(types):
    rng = np.random.default_rng(3)
    reps = [np.array([[2.0, 0.4], [0.4, 1.0]]), np.diag([0.5, 1.5]), np.eye(2)]
    geoms = [{"type": "Point", "coordinates": (rng.normal(size=2) * 2).tolist(),
              "repulsion": r.tolist()} for r in reps]
    c = GeometryCollectionRGJ(geoms)
    x = rng.normal(size=(40, 2)) * 2
    h = 1e-6
    numeric = np.stack([(c.eval(x + h * e) - c.eval(x - h * e)) / (2 * h) for e in np.eye(2)], axis=1)
    np.testing.assert_allclose(c.gradient(x), numeric, atol=1e-6)


def test_gradient_formula_and_independent_choices(types):
    c = GeometryCollectionRGJ(stubs({"vector": (1.0, 0.0), "dist": 0.0, "grad": [[1, 2], [3, 4]]},
                                    {"vector": (0.5, 0.5), "dist": 1.0, "grad": [[5, 0], [0, 5]]}))
    x = np.zeros((2, 2))
    e = c.eval(x=x)
    # squared_dist picks member 0, the quadratic form member 1: the two choices stay independent.
    expected = -e.reshape(-1, 1) * np.einsum("ij,kj->ki", np.array([[1, 2], [3, 4]]), [[0.5, 0.5]] * 2)
    np.testing.assert_allclose(c.gradient(x), expected)


def test_gradient_is_zero_where_the_field_vanishes(types):
    c = GeometryCollectionRGJ(points((0, 0)))
    g = c.gradient([[1e4, 1e4]])
    assert c.eval([[1e4, 1e4]])[0] == 0.0 and not np.any(g)


@pytest.mark.parametrize("keyword", ["return_reference", "min_dist_select"])
def test_gradient_refuses_its_own_keywords(types, keyword):
    c = GeometryCollectionRGJ(points((0, 0)))
    with pytest.raises(TypeError, match=f"got multiple values for keyword argument '{keyword}'"):
        c.gradient([[1, 1]], **{keyword: True})


def test_gradient_uses_overridden_queries(types):
    class Custom(GeometryCollectionRGJ):
        def squared_dist(self, x, **kwargs):
            return np.zeros(1), np.array([1])

        def repulsion_vector(self, x, **kwargs):
            return np.array([[1.0, 0.0]])

        def eval(self, x=None, **kwargs):
            return np.array([2.0])

    c = Custom(points((0, 0)) + points((1, 1), repulsion=[[2, 0], [0, 1]]))
    np.testing.assert_allclose(c.gradient([[0, 0]]), [-2.0 * c.grad_matrixes[1] @ [1.0, 0.0]])


@pytest.mark.parametrize("result, error", [
    ((1, 2, 3), "too many values to unpack"),
    ((1,), "not enough values to unpack"),
])
def test_gradient_unpacking(types, result, error):
    class Odd(GeometryCollectionRGJ):
        def squared_dist(self, x, **kwargs):
            return result

    with pytest.raises(ValueError, match=error):
        Odd(points((0, 0))).gradient([[0, 0]])


def test_no_members_queries_fail_like_numpy(types):
    c = GeometryCollectionRGJ(points((0, 0)))
    c.rgjs = []
    for call in (lambda: c.squared_dist([[0, 0]]), lambda: c.repulsion_vector([[0, 0]]),
                 c.get_center_point):
        with pytest.raises(ValueError):
            call()
    assert c.get_dist_matrix().shape == (0,)


# --- export and pickling ------------------------------------------------------


def test_export_collects_member_geometries(types):
    props = {"k": 1}
    c = GeometryCollectionRGJ(points((0, 0)) + stubs({"name": "s"}), properties=props)
    f = c.toRGeoJSON()
    assert list(f) == ["type", "properties", "geometry"]
    assert f["properties"] is props
    assert list(f["geometry"]) == ["type", "geometries"]
    assert f["geometry"]["type"] == "GeometryCollection"
    assert f["geometry"]["geometries"][0] == {"type": "Point", "coordinates": [0.0, 0.0],
                                              "repulsion": [[1.0, 0.0], [0.0, 1.0]]}
    assert f["geometry"]["geometries"][1] == {"type": "Stub", "name": "s"}
    with pytest.raises(TypeError):
        c.toRGeoJSON(1)


def test_export_round_trip_answers_alike(types):
    rng = np.random.default_rng(4)
    geoms = points((0, 0), (2, 1), repulsion=[[1.5, 0.2], [0.2, 0.7]]) + [
        {"type": "MultiPoint", "coordinates": [[3, 3], [-1, 2]]}]
    c = GeometryCollectionRGJ(geoms)
    back = GeometryCollectionRGJ(c.toRGeoJSON()["geometry"]["geometries"])
    x = rng.normal(size=(30, 2)) * 3
    for name in ("squared_dist", "repulsion_vector", "gradient", "eval"):
        np.testing.assert_array_equal(getattr(back, name)(x), getattr(c, name)(x))


FIELDS = ["bbox", "coordinates", "eye_repulsion", "grad_matrix", "grad_matrixes",
          "inv_repulsion", "inv_repulsions", "properties", "repulsion", "rgjs"]


def test_pickle_round_trip_and_checksums(types):
    text = " ".join(FIELDS).encode()
    sums = [int(h(text).hexdigest()[:7], 16) for h in (hashlib.sha256, hashlib.sha1, hashlib.md5)]
    c = GeometryCollectionRGJ(points((0, 0), (1, 3)), properties={"a": 1})
    reducer, args, state = c.__reduce__()
    assert reducer.__name__ == "__pyx_unpickle_GeometryCollectionRGJ"
    assert args == (GeometryCollectionRGJ, sums[0], None)
    assert state[FIELDS.index("rgjs")] is c.rgjs
    for checksum in sums:
        reducer(GeometryCollectionRGJ, checksum, None)
    back = pickle.loads(pickle.dumps(c))
    x = np.array([[0.5, 0.5], [2, 2]])
    np.testing.assert_array_equal(back.gradient(x), c.gradient(x))
    assert back.properties == {"a": 1}
    with pytest.raises(pickle.PickleError, match="Incompatible checksums"):
        reducer(GeometryCollectionRGJ, 1, None)
