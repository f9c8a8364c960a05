"""RGJGeometry and MultiRGJGeometry: fields, construction, the shared operations."""

import gc
import weakref
import zlib

import numpy as np
import pytest

from zelk.field.geometry.base import MultiRGJGeometry, RGJGeometry
from zelk.field.geometry.point import MultiPointRGJ, PointRGJ

FIELDS = ["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox"]


@pytest.fixture
def rng(request):
    return np.random.default_rng(zlib.crc32(request.node.name.encode()))


def fields(g):
    return [getattr(g, f) for f in FIELDS]


class Offset(RGJGeometry):
    """A geometry whose repulsion vector is the query minus the first vertex."""

    RGJType = "Offset"

    def repulsion_vector(self, x, **kwargs):
        return np.atleast_2d(x).astype(np.float64) - self.coordinates[0]


# --- construction ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "coords, rows",
    [
        ([1, 2], [[1.0, 2.0]]),
        ([[1, 2], [3, 4]], [[1.0, 2.0], [3.0, 4.0]]),
        ([1, 2, 3, 4, 5, 6], [[1, 2], [3, 4], [5, 6]]),
        (np.array([[[1, 2]], [[3, 4]]], dtype=np.float32), [[1, 2], [3, 4]]),
        ((0.5, -0.5), [[0.5, -0.5]]),
        (np.zeros((0, 2)), np.zeros((0, 2))),
    ],
)
@pytest.mark.parametrize("cls", [RGJGeometry, MultiRGJGeometry, PointRGJ])
def test_coordinates_become_float64_rows(cls, coords, rows):
    g = cls(coords)
    assert type(g.coordinates) is np.ndarray and g.coordinates.dtype == np.float64
    np.testing.assert_array_equal(g.coordinates, np.asarray(rows, dtype=np.float64).reshape(-1, 2))


def test_coordinates_are_a_new_array():
    src = np.array([[1.0, 2.0], [3.0, 4.0]])
    g = RGJGeometry(src)
    assert g.coordinates is not src and not np.shares_memory(g.coordinates, src)


@pytest.mark.parametrize("coords", [[1, 2, 3], "xy", [[1, 2], [3]]])
def test_coordinates_errors_are_numpy_errors(coords):
    with pytest.raises(Exception) as ref:
        np.array(coords, dtype=np.float64).reshape(-1, 2)
    with pytest.raises(type(ref.value)) as err:
        RGJGeometry(coords)
    assert str(err.value) == str(ref.value)


def test_default_repulsion_and_derived_matrices():
    g = RGJGeometry([0, 0])
    for f in ("repulsion", "inv_repulsion", "eye_repulsion"):
        np.testing.assert_array_equal(getattr(g, f), np.eye(2))
        assert getattr(g, f).dtype == np.float64
    np.testing.assert_array_equal(g.grad_matrix, 2 * np.eye(2))
    assert g.properties == {} and type(g.properties) is dict
    g3 = RGJGeometry([0, 0], optional_dim=3)
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
    rep3 = np.diag([1.0, 2.0, 4.0]).astype(np.int32)
    g3 = RGJGeometry([0, 0], repulsion=rep3)
    assert g3.repulsion.dtype == np.float64 and g3.repulsion is not rep3
    np.testing.assert_array_equal(g3.eye_repulsion, np.eye(3))


@pytest.mark.parametrize("rep", [0, [], False, [[1, 1], [1, 1]], [[1, 2, 3], [4, 5, 6]]])
def test_repulsion_is_tested_by_identity_with_none(rep):
    with pytest.raises(Exception) as ref:
        np.linalg.inv(np.array(rep, dtype=np.float64))
    with pytest.raises(type(ref.value)) as err:
        RGJGeometry([0, 0], rep)
    assert str(err.value) == str(ref.value)


def test_singular_repulsion_leaves_fields_assigned_before_it():
    g = RGJGeometry.__new__(RGJGeometry)
    assert fields(g) == [None] * 7
    with pytest.raises(np.linalg.LinAlgError):
        g.__init__([[1, 2]], [[1, 2], [2, 4]], {"a": 1})
    assert g.coordinates.tolist() == [[1, 2]] and g.repulsion.tolist() == [[1, 2], [2, 4]]
    assert fields(g)[2:] == [None] * 5


def test_properties():
    a, b = RGJGeometry([0, 0]), RGJGeometry([0, 0])
    assert a.properties == {} and a.properties is not b.properties
    for props in ({}, {"k": [1]}, ["not", "a", "dict"], 0):
        assert RGJGeometry([0, 0], properties=props).properties is props
    assert RGJGeometry([0, 0], None, None).properties == {}


def test_extra_keywords_are_ignored():
    g = RGJGeometry(coordinates=[1, 2], type="Point", colour="red", repulsion=None)
    assert g.coordinates.tolist() == [[1, 2]]


@pytest.mark.parametrize(
    "coords", [[[3, -1], [0, 4], [2, 2]], [[1, 1]], [[np.inf, 0], [-1, 5]], np.zeros((0, 2))]
)
def test_bbox(coords):
    g = RGJGeometry(coords)
    c = np.asarray(coords, dtype=np.float64)
    want = np.zeros((2, 2)) if len(c) == 0 else np.array([c.min(0), c.max(0)])
    assert g.bbox.dtype == np.float64 and g.bbox.shape == (2, 2)
    np.testing.assert_array_equal(g.bbox, want)


# --- setters ----------------------------------------------------------------------------


def test_set_coordinates():
    g = RGJGeometry([0, 0], [[2, 0], [0, 2]])
    kept = [g.repulsion, g.inv_repulsion, g.eye_repulsion, g.grad_matrix, g.properties]
    assert g.set_coordinates([[5, 1], [-1, 7], [2, 2]]) is None
    np.testing.assert_array_equal(g.coordinates, [[5, 1], [-1, 7], [2, 2]])
    np.testing.assert_array_equal(g.bbox, [[-1, 1], [5, 7]])
    assert [g.repulsion, g.inv_repulsion, g.eye_repulsion, g.grad_matrix, g.properties] == kept
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


# --- queries ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, field",
    [
        ((), {}, "inv_repulsion"),
        ((True, True), {}, "inv_repulsion"),
        ((False,), {}, "eye_repulsion"),
        ((), {"scaled": 0}, "eye_repulsion"),
        ((), {"scaled": None, "inverted": False}, "eye_repulsion"),
        ((), {"scaled": [], "inverted": True}, "eye_repulsion"),
        ((), {"inverted": False}, "repulsion"),
        (("yes", None), {}, "repulsion"),
        ((1,), {"inverted": ""}, "repulsion"),
        ((np.True_, np.array([1.0])), {}, "inv_repulsion"),
    ],
)
def test_get_dist_matrix_returns_the_stored_field(args, kwargs, field):
    g = PointRGJ([0, 0], [[2, 1], [0, 3]])
    assert g.get_dist_matrix(*args, **kwargs) is getattr(g, field)


def test_get_dist_matrix_returns_whatever_the_field_holds():
    g = RGJGeometry([0, 0])
    g.inv_repulsion = "anything"
    del g.eye_repulsion
    assert g.get_dist_matrix() == "anything" and g.get_dist_matrix(False) is None
    with pytest.raises(ValueError):
        g.get_dist_matrix(np.array([1, 0]))


@pytest.mark.parametrize(
    "box",
    [
        np.array([[0.0, 1.0], [4.0, 3.0]]),
        [[0, 1], [4, 3], [2, -7]],
        [0, 1, 4, 3],
        np.array([[0.0, 1.0], [4.0, 3.0]], dtype=np.float32),
        np.array([[1.0, 2.0], [-1.0, 6.0], [0.0, 0.0]])[::-1],
        np.array([[1.0, np.nan], [3.0, 0.0]]),
    ],
)
def test_get_center_point(box):
    g = RGJGeometry([0, 0])
    g.bbox = box
    b = np.asarray(box, dtype=np.float64).reshape(-1, 2)
    got = g.get_center_point()
    assert got.dtype == np.float64 and got.shape == (2,)
    np.testing.assert_array_equal(got, (b.min(0) + b.max(0)) / 2.0)


def test_get_center_point_of_an_empty_box_fails_like_numpy():
    g = RGJGeometry([0, 0])
    g.bbox = np.zeros((0, 2))
    with pytest.raises(ValueError) as ref:
        np.zeros((0, 2)).min(0)
    with pytest.raises(ValueError) as err:
        g.get_center_point()
    assert str(err.value) == str(ref.value)


def box_oracle(box, x):
    x = np.asarray(x)
    b = np.asarray(box, dtype=np.float64).reshape(-1, 2)
    return bool(np.all(x >= b.min(0)) and np.all(x <= b.max(0)))


@pytest.mark.parametrize(
    "x", [[1, 1], [0, 0], [4, 3], [4.0001, 3], [[1, 1], [2, 2]], [[1, 1], [5, 2]], np.zeros((0, 2)), [np.nan, 1]]
)
def test_in_bbox(x):
    g = RGJGeometry([[0, 0], [4, 3]])
    got = g.in_bbox(x)
    assert type(got) is bool and got is box_oracle(g.bbox, x)


def test_in_bbox_random(rng):
    g = RGJGeometry(rng.normal(size=(10, 2)))
    for _ in range(60):
        x = rng.normal(size=(int(rng.integers(1, 4)), 2)) * 0.7
        assert g.in_bbox(x) is box_oracle(g.bbox, x)


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
    [
        (lambda d: d.tolist(), None),
        (lambda d: d.astype(np.float32), None),
        (lambda d: np.asfortranarray(d), lambda m: m.tolist()),
        (lambda d: d, lambda m: m.astype(np.float32)),
        (lambda d: d[:, None, :], None),
    ],
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
    d = np.asarray(vector(x - g.coordinates[0]), dtype=np.float64)
    m = np.asarray(metric(g.inv_repulsion) if metric else g.inv_repulsion, dtype=np.float64)
    np.testing.assert_allclose(g.squared_dist(x), ((d @ m) * d).sum(-1), rtol=1e-6)


def test_eval_goes_through_squared_dist_on_the_instance():
    class Fixed(Offset):
        def squared_dist(self, x, scaled=True, inverted=True, **kwargs):
            return np.array([0.0, 1.0, 2.0])

    np.testing.assert_array_equal(Fixed([0, 0]).eval([[9, 9]]), np.exp(-np.array([0.0, 1.0, 2.0])))


def test_squared_dist_needs_a_repulsion_vector():
    with pytest.raises(AttributeError):
        RGJGeometry([0, 0]).squared_dist([[1, 1]])


# --- export -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, coords, exported",
    [
        (PointRGJ, [1.5, 2], [1.5, 2.0]),
        (MultiPointRGJ, [[1, 2], [3, 4]], [[1.0, 2.0], [3.0, 4.0]]),
        (Offset, [[1, 2]], [[1.0, 2.0]]),
    ],
)
def test_to_rgeojson(cls, coords, exported):
    props = {"name": "x"}
    g = cls(coords, [[2, 0], [1, 3]], properties=props)
    out = g.toRGeoJSON()
    assert list(out) == ["type", "properties", "geometry"]
    assert out["type"] == "Feature" and out["properties"] is props
    assert list(out["geometry"]) == ["type", "coordinates", "repulsion"]
    assert out["geometry"] == {"type": cls.RGJType, "coordinates": exported, "repulsion": [[2.0, 0.0], [1.0, 3.0]]}
    assert type(out["geometry"]["repulsion"]) is list


def test_to_rgeojson_with_a_list_of_arrays():
    g = Offset([0, 0])
    parts = [np.array([[0.0, 0.0], [1.0, 1.0]]), np.array([[2.0, 2.0]])]
    g.coordinates = parts
    coords = g.toRGeoJSON()["geometry"]["coordinates"]
    assert coords == [[[0.0, 0.0], [1.0, 1.0]], [[2.0, 2.0]]] and coords is not parts


def test_exports_round_trip_through_the_constructor():
    g = MultiPointRGJ([[1, 2], [3, 4]], [[2, 0], [0, 5]], properties={"a": 1})
    h = MultiPointRGJ(**g.toRGeoJSON()["geometry"], properties=g.properties)
    for f in FIELDS:
        if f != "properties":
            np.testing.assert_array_equal(getattr(h, f), getattr(g, f))
    assert PointRGJ(**PointRGJ([4, 5]).toRGeoJSON()["geometry"]).coordinates.tolist() == [[4, 5]]


# --- fields and object behaviour ----------------------------------------------------------


@pytest.mark.parametrize("cls", [RGJGeometry, MultiRGJGeometry, PointRGJ, MultiPointRGJ])
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


@pytest.mark.parametrize("cls", [RGJGeometry, MultiRGJGeometry, PointRGJ, MultiPointRGJ])
def test_no_instance_dict_and_no_weakref(cls):
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
        for name in ("__getstate__", "__reduce__", "__reduce_ex__"):
            assert name not in vars(cls)
    for cls, other in [(PointRGJ, MultiPointRGJ), (MultiPointRGJ, PointRGJ), (PointRGJ, RGJGeometry), (MultiRGJGeometry, int)]:
        with pytest.raises(TypeError, match="is not a subtype"):
            cls.__new__(other)


class Cyclic(PointRGJ):
    pass


class Sentinel:
    pass


@pytest.mark.parametrize("cls", [RGJGeometry, MultiRGJGeometry, PointRGJ, MultiPointRGJ, Cyclic])
@pytest.mark.parametrize("field", ["properties", "bbox", "repulsion"])
def test_reference_cycles_are_collected(cls, field):
    g = cls([[0, 0]])
    sentinel = Sentinel()
    setattr(g, field, {"self": g, "sentinel": sentinel})
    ref = weakref.ref(sentinel)
    assert gc.is_tracked(g)
    assert any(r is getattr(g, field) for r in gc.get_referents(g))
    del g, sentinel
    gc.collect()
    assert ref() is None


def test_python_subclass_has_dict_and_weakref():
    g = Cyclic([1, 2])
    g.extra = 3
    r = weakref.ref(g)
    g.properties = {"g": g}
    del g
    gc.collect()
    assert r() is None
