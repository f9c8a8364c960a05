"""RGJGeometry and MultiRGJGeometry: fields, construction, the shared operations."""

import gc
import weakref

import numpy as np
import pytest

from helpers import assert_same_bits
from zelk.field.geometry.base import MultiRGJGeometry, RGJGeometry
from zelk.field.geometry.point import MultiPointRGJ, PointRGJ

FIELDS = ["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox"]
CLASSES = [RGJGeometry, MultiRGJGeometry, PointRGJ, MultiPointRGJ]


def fields(g):
    return [getattr(g, f) for f in FIELDS]


def assert_like_numpy(call, ref):
    """`call()` raises what `ref()` raises, with the same message."""
    with pytest.raises(Exception) as expected:
        ref()
    with pytest.raises(type(expected.value)) as err:
        call()
    assert str(err.value) == str(expected.value)


class Offset(RGJGeometry):
    """A geometry whose repulsion vector is the query minus the first vertex."""

    RGJType = "Offset"

    def repulsion_vector(self, x, **kwargs):
        return np.atleast_2d(x).astype(np.float64) - self.coordinates[0]


# --- construction ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "coords",
    [[1, 2], [[1, 2], [3, 4]], [1, 2, 3, 4, 5, 6], np.array([[[1, 2]], [[3, 4]]], dtype=np.float32), (0.5, -0.5), np.zeros((0, 2)),
     [[3, -1], [0, 4], [np.inf, 2]]],
)
@pytest.mark.parametrize("cls", [RGJGeometry, PointRGJ])
def test_coordinates_and_box(cls, coords):
    src = np.array(coords, dtype=np.float64)
    g = cls(coords)
    rows = src.reshape(-1, 2)
    assert type(g.coordinates) is np.ndarray and g.coordinates.dtype == np.float64
    np.testing.assert_array_equal(g.coordinates, rows)
    if isinstance(coords, np.ndarray):
        assert not np.shares_memory(g.coordinates, coords)
    want = np.zeros((2, 2)) if len(rows) == 0 else np.array([rows.min(0), rows.max(0)])
    assert g.bbox.dtype == np.float64
    np.testing.assert_array_equal(g.bbox, want)


@pytest.mark.parametrize("coords", [[1, 2, 3], "xy", [[1, 2], [3]]])
def test_coordinates_errors_are_numpy_errors(coords):
    assert_like_numpy(lambda: RGJGeometry(coords), lambda: np.array(coords, dtype=np.float64).reshape(-1, 2))


def test_default_repulsion_and_derived_matrices():
    g = RGJGeometry([0, 0])
    for f in ("repulsion", "inv_repulsion", "eye_repulsion"):
        np.testing.assert_array_equal(getattr(g, f), np.eye(2))
    np.testing.assert_array_equal(g.grad_matrix, 2 * np.eye(2))
    assert g.properties == {} and type(g.properties) is dict
    g3 = RGJGeometry([0, 0], optional_dim=3, type="Point", colour="red")
    np.testing.assert_array_equal(g3.repulsion, np.eye(3))
    np.testing.assert_array_equal(g3.eye_repulsion, np.eye(3))


def test_given_repulsion(rng):
    rep = rng.normal(size=(2, 2)) + 3 * np.eye(2)
    g = RGJGeometry([[1, 1], [2, 2]], rep.tolist(), optional_dim=5)
    inv = np.linalg.inv(rep)
    np.testing.assert_array_equal(g.repulsion, rep)
    np.testing.assert_array_equal(g.inv_repulsion, inv)
    np.testing.assert_array_equal(g.grad_matrix, inv + inv.T)
    np.testing.assert_array_equal(g.eye_repulsion, np.eye(2))
    rep3 = np.diag([1, 2, 4]).astype(np.int32)
    g3 = RGJGeometry([0, 0], repulsion=rep3)
    assert g3.repulsion.dtype == np.float64 and g3.repulsion is not rep3
    np.testing.assert_array_equal(g3.eye_repulsion, np.eye(3))


@pytest.mark.parametrize("rep", [0, [], False, [[1, 1], [1, 1]], [[1, 2, 3], [4, 5, 6]]])
def test_repulsion_is_tested_by_identity_with_none(rep):
    assert_like_numpy(lambda: RGJGeometry([0, 0], rep), lambda: np.linalg.inv(np.array(rep, dtype=np.float64)))


def test_failing_step_leaves_earlier_fields_assigned():
    g = RGJGeometry.__new__(RGJGeometry)
    assert fields(g) == [None] * 7
    with pytest.raises(np.linalg.LinAlgError):
        g.__init__([[1, 2]], [[1, 2], [2, 4]], {"a": 1})
    assert g.coordinates.tolist() == [[1, 2]] and g.repulsion.tolist() == [[1, 2], [2, 4]]
    assert fields(g)[2:] == [None] * 5


def test_properties_by_identity():
    a, b = RGJGeometry([0, 0]), RGJGeometry([0, 0], None, None)
    assert a.properties == {} == b.properties and a.properties is not b.properties
    for props in ({}, {"k": [1]}, ["not", "a", "dict"], 0):
        assert RGJGeometry([0, 0], properties=props).properties is props


# --- setters ----------------------------------------------------------------------------


def test_set_coordinates():
    g = RGJGeometry([0, 0], [[2, 0], [0, 2]])
    kept = fields(g)[1:6]
    assert g.set_coordinates([[5, 1], [-1, 7], [2, 2]]) is None
    np.testing.assert_array_equal(g.coordinates, [[5, 1], [-1, 7], [2, 2]])
    np.testing.assert_array_equal(g.bbox, [[-1, 1], [5, 7]])
    assert all(a is b for a, b in zip(fields(g)[1:6], kept))
    g.set_coordinates(new_coords=[])
    np.testing.assert_array_equal(g.bbox, np.zeros((2, 2)))


def test_set_repulsion():
    g = RGJGeometry([[1, 2], [3, 4]], properties={"p": 1})
    coords, box, props = g.coordinates, g.bbox, g.properties
    rep = np.array([[4.0, 1.0], [-2.0, 3.0]])
    assert g.set_repulsion(rep) is None
    inv = np.linalg.inv(rep)
    np.testing.assert_array_equal(g.repulsion, rep)
    assert g.repulsion is not rep
    np.testing.assert_array_equal(g.inv_repulsion, inv)
    np.testing.assert_array_equal(g.grad_matrix, inv + inv.T)
    assert (g.coordinates, g.bbox, g.properties) == (coords, box, props)
    g.set_repulsion(new_repulsion=np.eye(3) * 2)
    np.testing.assert_array_equal(g.eye_repulsion, np.eye(3))
    old_inv = g.inv_repulsion
    with pytest.raises(np.linalg.LinAlgError):
        g.set_repulsion(np.zeros((2, 2)))
    assert g.repulsion.tolist() == [[0, 0], [0, 0]] and g.inv_repulsion is old_inv


@pytest.mark.parametrize("cls", [RGJGeometry, MultiRGJGeometry])
def test_set_repulsion_converts_none_like_any_value(cls):
    # Only the constructors read None as "the identity"; here it is
    # np.array(None, dtype=float64), which cannot be inverted.
    g = cls([[1, 2]], [[3.0, 0.0], [0.0, 2.0]], optional_dim=3)
    with pytest.raises(np.linalg.LinAlgError):
        g.set_repulsion(None)
    assert np.isnan(g.repulsion) and g.repulsion.shape == ()
    np.testing.assert_array_equal(g.inv_repulsion, np.diag([1 / 3, 0.5]))


# --- queries ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, field",
    [((), {}, "inv_repulsion"), ((True, True), {}, "inv_repulsion"), ((False,), {}, "eye_repulsion"),
     ((), {"scaled": 0}, "eye_repulsion"), ((), {"scaled": None, "inverted": False}, "eye_repulsion"),
     ((False, np.array([1, 0])), {}, "eye_repulsion"), ((), {"inverted": False}, "repulsion"),
     (("yes", None), {}, "repulsion"), ((1,), {"inverted": ""}, "repulsion"), ((np.True_, np.array([1.0])), {}, "inv_repulsion")],
)
def test_get_dist_matrix_returns_the_stored_field(args, kwargs, field):
    g = PointRGJ([0, 0], [[2, 1], [0, 3]])
    g.inv_repulsion = "anything"  # whatever the field holds
    assert g.get_dist_matrix(*args, **kwargs) is getattr(g, field)
    with pytest.raises(ValueError):
        g.get_dist_matrix(np.array([1, 0]))


@pytest.mark.parametrize(
    "box",
    [[[0, 1], [4, 3], [2, -7]], [0, 1, 4, 3], np.array([[0.0, 1.0], [4.0, 3.0]], dtype=np.float32),
     np.array([[1.0, 2.0], [-1.0, 6.0], [0.0, 0.0]])[::-1], np.array([[1.0, np.nan], [3.0, 0.0]]), np.zeros((0, 2)), None,
     [[0.0, 0.0], [-0.0, -0.0]], [[-0.0, 0.0], [0.0, -0.0], [0.0, 0.0]], np.array([[0.0, -0.0], [-0.0, 0.0]], order="F")],
)
def test_get_center_point(box):
    g = RGJGeometry([0, 0])
    g.bbox = box

    def formula():
        b = np.asarray(box, dtype=np.float64).reshape(-1, 2)
        return (b.min(0) + b.max(0)) / 2.0

    try:
        want = formula()
    except Exception:
        assert_like_numpy(g.get_center_point, formula)
    else:
        got = g.get_center_point()
        assert got.dtype == np.float64 and got.shape == (2,)
        assert_same_bits(got, want)  # ties between +0 and -0 too


@pytest.mark.parametrize("x", [[1, 1], [0, 0], [4, 3], [4.0001, 3], [[1, 1], [2, 2]], [[1, 1], [5, 2]], np.zeros((0, 2)), [np.nan, 1]])
def test_in_bbox(rng, x):
    g = RGJGeometry([[0, 0], [4, 3]])
    x = np.asarray(x)
    assert g.in_bbox(x) is bool(np.all(x >= [0, 0]) and np.all(x <= [4, 3]))
    g.bbox = rng.normal(size=(5, 2))  # any rows, min and max taken over them
    b = g.bbox
    assert g.in_bbox(x * 0.1) is bool(np.all(x * 0.1 >= b.min(0)) and np.all(x * 0.1 <= b.max(0)))


@pytest.mark.parametrize("scaled, inverted", [(True, True), (True, False), (False, True), (0, None)])
def test_squared_dist_and_eval(rng, scaled, inverted):
    rep = np.array([[1.5, 0.4], [-0.3, 0.7]])
    g = Offset(rng.normal(size=(3, 2)), rep)
    x = rng.normal(size=(25, 2)) * 2
    d = x - g.coordinates[0]
    m = (np.linalg.inv(rep) if inverted else rep) if scaled else np.eye(2)
    want = ((d @ m) * d).sum(-1)
    got = g.squared_dist(x, scaled=scaled, inverted=inverted, ignored=1)
    assert got.dtype == np.float64 and got.shape == (25,)
    np.testing.assert_allclose(got, want, rtol=1e-13)
    np.testing.assert_allclose(g.eval(x, scaled, inverted, ignored=1), np.exp(-want), rtol=1e-13)


@pytest.mark.parametrize(
    "vector, metric",
    [(lambda d: d.tolist(), None), (lambda d: d.astype(np.float32), None), (np.asfortranarray, lambda m: m.tolist()),
     (lambda d: d, lambda m: m.astype(np.float32)), (lambda d: d[:, None, :], None), (lambda d: d, lambda m: np.eye(3))],
)
def test_squared_dist_with_other_array_forms(rng, vector, metric):
    class Forms(RGJGeometry):
        def repulsion_vector(self, x, **kwargs):
            return vector(np.atleast_2d(x).astype(np.float64) - self.coordinates[0])

        def get_dist_matrix(self, scaled=True, inverted=True):
            m = super().get_dist_matrix(scaled=scaled, inverted=inverted)
            return metric(m) if metric else m

    g = Forms([0.5, 0.25], [[2.0, 0.5], [0.1, 1.0]])
    x = rng.normal(size=(10, 2))
    d = vector(x - g.coordinates[0])
    m = g.get_dist_matrix()

    def formula():
        return ((np.asarray(d) @ np.asarray(m)) * np.asarray(d)).sum(-1)

    try:
        want = formula()
    except Exception:
        assert_like_numpy(lambda: g.squared_dist(x), formula)
    else:
        np.testing.assert_allclose(g.squared_dist(x), want, rtol=1e-6)


def test_eval_goes_through_the_instance():
    class Fixed(Offset):
        def squared_dist(self, x, scaled=True, inverted=True, **kwargs):
            return np.array([0.0, 1.0, 2.0])

    np.testing.assert_array_equal(Fixed([0, 0]).eval([[9, 9]]), np.exp(-np.array([0.0, 1.0, 2.0])))
    with pytest.raises(AttributeError):
        RGJGeometry([0, 0]).squared_dist([[1, 1]])  # no repulsion_vector


# --- export -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, coords, exported",
    [(PointRGJ, [1.5, 2], [1.5, 2.0]), (MultiPointRGJ, [[1, 2], [3, 4]], [[1.0, 2.0], [3.0, 4.0]]), (Offset, [[1, 2]], [[1.0, 2.0]])],
)
def test_to_rgeojson(cls, coords, exported):
    props = {"name": "x"}
    out = cls(coords, [[2, 0], [1, 3]], properties=props).toRGeoJSON()
    assert list(out) == ["type", "properties", "geometry"] and list(out["geometry"]) == ["type", "coordinates", "repulsion"]
    assert out["type"] == "Feature" and out["properties"] is props
    assert out["geometry"] == {"type": cls.RGJType, "coordinates": exported, "repulsion": [[2.0, 0.0], [1.0, 3.0]]}
    assert type(out["geometry"]["repulsion"]) is list
    assert cls(**out["geometry"]).coordinates.tolist() == np.reshape(exported, (-1, 2)).tolist()


def test_to_rgeojson_with_a_list_of_arrays():
    g = Offset([0, 0])
    g.coordinates = parts = [np.array([[0.0, 0.0], [1.0, 1.0]]), np.array([[2.0, 2.0]])]
    coords = g.toRGeoJSON()["geometry"]["coordinates"]
    assert coords == [[[0.0, 0.0], [1.0, 1.0]], [[2.0, 2.0]]] and coords is not parts


# --- fields and object behaviour ----------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSES)
def test_fields_take_any_object_and_delete_to_none(cls):
    g = cls.__new__(cls)
    assert fields(g) == [None] * 7
    marker = object()
    for f in FIELDS:
        setattr(g, f, marker)
        assert getattr(g, f) is marker
        delattr(g, f)
        assert getattr(g, f) is None
        setattr(g, f, f)
    assert fields(g) == FIELDS
    g = cls([0, 0])
    assert not hasattr(g, "__dict__")
    with pytest.raises(AttributeError):
        g.other = 1
    with pytest.raises(TypeError):
        weakref.ref(g)


def test_class_tree():
    assert MultiRGJGeometry.__bases__ == (RGJGeometry,)
    assert PointRGJ.__bases__ == (RGJGeometry,) and MultiPointRGJ.__bases__ == (MultiRGJGeometry,)
    for cls in (RGJGeometry, MultiRGJGeometry):
        assert cls.__module__ == "zelk.field.geometry.base"
        assert not {"__getstate__", "__reduce__", "__reduce_ex__"} & set(vars(cls))
    for cls, other in [(PointRGJ, MultiPointRGJ), (MultiPointRGJ, PointRGJ), (PointRGJ, RGJGeometry), (MultiRGJGeometry, int)]:
        with pytest.raises(TypeError, match="is not a subtype"):
            cls.__new__(other)


class Cyclic(PointRGJ):
    pass


class Sentinel:
    pass


@pytest.mark.parametrize("cls", CLASSES + [Cyclic])
@pytest.mark.parametrize("field", ["properties", "bbox", "repulsion"])
def test_reference_cycles_are_collected(cls, field):
    g = cls([[0, 0]])
    sentinel = Sentinel()
    setattr(g, field, {"self": g, "sentinel": sentinel})
    ref = weakref.ref(sentinel)
    assert gc.is_tracked(g) and any(r is getattr(g, field) for r in gc.get_referents(g))
    if cls is Cyclic:
        g.extra = g
        ref = weakref.ref(g)  # a Python subclass gets a dictionary and weak references
    del g, sentinel
    gc.collect()
    assert ref() is None
