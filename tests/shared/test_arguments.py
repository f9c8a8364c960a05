"""Argument binding, signatures, member order and traceback entries, checked
against plain Python functions of the same signatures."""

import inspect
import traceback

import numpy as np
import pytest

import zelk.field.geometry.base as base_module
import zelk.field.geometry.point as P

REAL = {
    "RGJGeometry": base_module.RGJGeometry,
    "PointRGJ": P.PointRGJ,
    "MultiPointRGJ": P.MultiPointRGJ,
}


# Python classes with the same names and signatures: the reference wording.
class RGJGeometry:
    def __init__(self, coordinates, repulsion=None, properties=None, optional_dim=2, **kwargs):
        pass

    def set_coordinates(self, new_coords):
        pass

    def set_repulsion(self, new_repulsion):
        pass

    def get_dist_matrix(self, scaled=True, inverted=True):
        pass

    def get_center_point(self):
        pass

    def in_bbox(self, x):
        pass

    def squared_dist(self, x, scaled=True, inverted=True, **kwargs):
        pass

    def eval(self, x, scaled=True, inverted=True, **kwargs):
        pass

    def toRGeoJSON(self):
        pass


class PointRGJ(RGJGeometry):
    def repulsion_vector(self, x, **kwargs):
        pass

    def __reduce__(self):
        pass


class MultiPointRGJ(RGJGeometry):
    def __init__(self, coordinates, repulsion=None, **kwargs):
        pass

    def in_bbox(self, x):
        pass

    def repulsion_vector(self, x, min_dist_select=True, **kwargs):
        pass

    def __reduce__(self):
        pass


# Outside a class body, so that the double-underscore names are not mangled.
def _setstate(self, __pyx_state):
    pass


def __pyx_unpickle_PointRGJ(__pyx_type, __pyx_checksum, __pyx_state):
    pass


def __pyx_unpickle_MultiPointRGJ(__pyx_type, __pyx_checksum, __pyx_state):
    pass


for _cls in (PointRGJ, MultiPointRGJ):
    _f = type(_setstate)(_setstate.__code__, globals(), "__setstate__")
    _f.__qualname__ = _cls.__name__ + ".__setstate__"
    _cls.__setstate__ = _f

CASES = [
    # (class name, method, args, kwargs)
    ("PointRGJ", "repulsion_vector", (), {}),
    ("PointRGJ", "repulsion_vector", (1, 2), {}),
    ("PointRGJ", "repulsion_vector", (1, 2, 3), {"min_dist_select": 1}),
    ("PointRGJ", "repulsion_vector", (1,), {"x": 1}),
    ("PointRGJ", "repulsion_vector", (), {"min_dist_select": True}),
    ("MultiPointRGJ", "repulsion_vector", (), {}),
    ("MultiPointRGJ", "repulsion_vector", (), {"min_dist_select": True}),
    ("MultiPointRGJ", "repulsion_vector", (1, 2, 3), {}),
    ("MultiPointRGJ", "repulsion_vector", (1, 2, 3, 4), {"other": 1}),
    ("MultiPointRGJ", "repulsion_vector", (1,), {"x": 1}),
    ("MultiPointRGJ", "repulsion_vector", (1, 2), {"min_dist_select": 1}),
    ("MultiPointRGJ", "repulsion_vector", (1, 2, 3), {"x": 1}),
    ("MultiPointRGJ", "in_bbox", (), {}),
    ("MultiPointRGJ", "in_bbox", (1, 2), {}),
    ("MultiPointRGJ", "in_bbox", (1,), {"y": 2}),
    ("MultiPointRGJ", "in_bbox", (), {"y": 2}),
    ("MultiPointRGJ", "in_bbox", (), {"x": 1, "y": 2}),
    ("MultiPointRGJ", "in_bbox", (1,), {"x": 1}),
    ("PointRGJ", "in_bbox", (), {"X": 1}),
    ("PointRGJ", "set_coordinates", (), {}),
    ("PointRGJ", "set_coordinates", (1, 2), {}),
    ("PointRGJ", "set_repulsion", (), {"repulsion": 1}),
    ("PointRGJ", "get_dist_matrix", (1, 2, 3), {}),
    ("PointRGJ", "get_dist_matrix", (1,), {"scaled": 1}),
    ("PointRGJ", "get_dist_matrix", (), {"inverted": 1, "extra": 2}),
    ("PointRGJ", "get_center_point", (1,), {}),
    ("PointRGJ", "get_center_point", (), {"x": 1}),
    ("MultiPointRGJ", "squared_dist", (), {"scaled": True}),
    ("MultiPointRGJ", "squared_dist", (1, 2, 3, 4), {}),
    ("MultiPointRGJ", "eval", (1, 2), {"scaled": 3}),
    ("MultiPointRGJ", "toRGeoJSON", (1,), {}),
    ("PointRGJ", "__reduce__", (1,), {}),
    ("MultiPointRGJ", "__reduce__", (), {"protocol": 2}),
    ("PointRGJ", "__setstate__", (), {}),
    ("MultiPointRGJ", "__setstate__", ((), ()), {}),
    ("MultiPointRGJ", "__setstate__", ((),), {"__pyx_state": ()}),
    ("PointRGJ", "__setstate__", (), {"state": ()}),
    ("PointRGJ", "repulsion_vector", (1,), {"self": 1}),
    ("MultiPointRGJ", "in_bbox", (1,), {"self": 1}),
]


def _ids(case):
    cls, name, args, kwargs = case
    return f"{cls}.{name}-{len(args)}-{'-'.join(kwargs)}"


def assert_same_type_error(call, ref_call):
    with pytest.raises(TypeError) as ref:
        ref_call()
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == str(ref.value)


@pytest.mark.parametrize("case", CASES, ids=[_ids(c) for c in CASES])
def test_method_argument_errors(case):
    cls_name, method, args, kwargs = case
    real = REAL[cls_name]([[0, 0]])
    ref = globals()[cls_name].__new__(globals()[cls_name])
    assert_same_type_error(lambda: getattr(real, method)(*args, **kwargs), lambda: getattr(ref, method)(*args, **kwargs))


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((), {"repulsion": None}), ((1, 2, 3, 4, 5, 6), {}), ((1, 2, 3, 4, 5), {"properties": 1}), ((1,), {"coordinates": 1}), ((1, 2), {"repulsion": 2})],
)
@pytest.mark.parametrize("cls_name", ["PointRGJ", "MultiPointRGJ"])
def test_initialiser_argument_errors(cls_name, args, kwargs):
    assert_same_type_error(lambda: REAL[cls_name](*args, **kwargs), lambda: globals()[cls_name](*args, **kwargs))


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((REAL["PointRGJ"],), {}), ((REAL["PointRGJ"], 1), {}), ((1, 2, 3, 4), {}), ((1,), {"__pyx_type": 1}), ((1, 2, 3), {"other": 1})],
)
@pytest.mark.parametrize("name", ["__pyx_unpickle_PointRGJ", "__pyx_unpickle_MultiPointRGJ"])
def test_reconstructor_argument_errors(name, args, kwargs):
    assert_same_type_error(lambda: getattr(P, name)(*args, **kwargs), lambda: globals()[name](*args, **kwargs))


def test_keywords_bind_by_name():
    g = REAL["MultiPointRGJ"](repulsion=None, coordinates=[[0, 0], [10, 0]])
    assert g.repulsion_vector(min_dist_select=False, x=[[1, 1]]).tolist() == [[-1, -1], [9, -1]]
    assert g.in_bbox(x=[5, 0]) is True
    assert REAL["PointRGJ"](coordinates=[1, 1]).repulsion_vector(x=[3, 4], unknown=1).tolist() == [[2, 3]]


SIGNATURES = [
    ("PointRGJ", "repulsion_vector"),
    ("PointRGJ", "__reduce__"),
    ("PointRGJ", "__setstate__"),
    ("MultiPointRGJ", "in_bbox"),
    ("MultiPointRGJ", "repulsion_vector"),
    ("MultiPointRGJ", "__reduce__"),
    ("MultiPointRGJ", "__setstate__"),
] + [("RGJGeometry", n) for n in vars(RGJGeometry) if not n.startswith("__")]


@pytest.mark.parametrize("cls, name", SIGNATURES, ids=[f"{c}.{n}" for c, n in SIGNATURES])
def test_signatures(cls, name):
    real = getattr(REAL[cls].__new__(REAL[cls]), name)
    ref = getattr(globals()[cls].__new__(globals()[cls]), name)
    assert str(inspect.signature(real)) == str(inspect.signature(ref))
    for (a, p), q in zip(inspect.signature(real).parameters.items(), inspect.signature(ref).parameters.values()):
        assert p.kind == q.kind and p.default == q.default


@pytest.mark.parametrize("cls", ["RGJGeometry", "PointRGJ", "MultiPointRGJ"])
def test_class_signatures_show_the_initialiser(cls):
    assert str(inspect.signature(REAL[cls])) == str(inspect.signature(globals()[cls]))
    assert REAL[cls].__doc__ is None


@pytest.mark.parametrize("name", ["__pyx_unpickle_PointRGJ", "__pyx_unpickle_MultiPointRGJ"])
def test_reconstructor_signature(name):
    assert str(inspect.signature(getattr(P, name))) == str(inspect.signature(globals()[name]))


@pytest.mark.parametrize("cls, members", [("PointRGJ", ["repulsion_vector"]), ("MultiPointRGJ", ["in_bbox", "repulsion_vector"])])
def test_class_members_in_order(cls, members):
    names = list(vars(REAL[cls]))
    assert names[names.index("RGJType") + 1 :] == members
    assert {"__reduce__", "__setstate__"} <= set(names)
    assert ("__init__" in names) == (cls == "MultiPointRGJ")


@pytest.mark.parametrize("cls, rgj_type", [(REAL["PointRGJ"], "Point"), (REAL["MultiPointRGJ"], "MultiPoint")])
def test_class_attributes(cls, rgj_type):
    assert type(vars(cls)["RGJType"]) is str and cls.RGJType == rgj_type
    assert cls([[0, 0]]).RGJType == rgj_type
    assert cls.__module__ == "zelk.field.geometry.point" and cls.__qualname__ == cls.__name__
    assert cls.__doc__ is None
    assert getattr(P, cls.__name__) is cls


# --- traceback entries --------------------------------------------------------------


def entries(excinfo):
    return [(f.name, f.filename) for f in traceback.extract_tb(excinfo.value.__traceback__)]


@pytest.mark.parametrize(
    "call, name, exc",
    [
        (lambda: P.PointRGJ([0, 0]).repulsion_vector(), "zelk.field.geometry.point.PointRGJ.repulsion_vector", TypeError),
        (lambda: P.PointRGJ([0, 0]).repulsion_vector([[1, 2, 3]]), "zelk.field.geometry.point.PointRGJ.repulsion_vector", ValueError),
        (lambda: P.MultiPointRGJ([[0, 0]]).repulsion_vector("ab"), "zelk.field.geometry.point.MultiPointRGJ.repulsion_vector", ValueError),
        (lambda: P.MultiPointRGJ([[0, 0]]).in_bbox(1, 2), "zelk.field.geometry.point.MultiPointRGJ.in_bbox", TypeError),
        (lambda: P.MultiPointRGJ(), "zelk.field.geometry.point.MultiPointRGJ.__init__", TypeError),
        (lambda: P.PointRGJ([0, 0]).__reduce__(1), "zelk.field.geometry.point.PointRGJ.__reduce__", TypeError),
        (lambda: P.PointRGJ([0, 0]).__setstate__(None), "zelk.field.geometry.point.PointRGJ.__setstate__", TypeError),
        (lambda: P.__pyx_unpickle_PointRGJ(P.PointRGJ, 1, None), "zelk.field.geometry.point.__pyx_unpickle_PointRGJ", Exception),
        (lambda: P.PointRGJ([0, 0]).set_repulsion(np.zeros((2, 2))), "zelk.field.geometry.base.RGJGeometry.set_repulsion", np.linalg.LinAlgError),
        (lambda: P.PointRGJ([1, 2, 3]), "zelk.field.geometry.base.RGJGeometry.__init__", ValueError),
    ],
)
def test_failing_calls_add_a_traceback_entry(call, name, exc):
    with pytest.raises(exc) as excinfo:
        call()
    path = "zelk/field/geometry/" + name.split(".")[3]
    assert (name, path) in entries(excinfo)


def test_nested_failures_keep_every_entry_outermost_first():
    with pytest.raises(np.linalg.LinAlgError) as excinfo:
        P.MultiPointRGJ([[0, 0]], [[1, 1], [1, 1]])
    names = [n for n, _ in entries(excinfo)]
    outer = names.index("zelk.field.geometry.point.MultiPointRGJ.__init__")
    inner = names.index("zelk.field.geometry.base.RGJGeometry.__init__")
    assert outer < inner
    assert ("zelk.field.geometry.point.MultiPointRGJ.__init__", "zelk/field/geometry/point") in entries(excinfo)


def test_python_errors_raised_inside_keep_their_own_frames():
    class Failing(P.MultiPointRGJ):
        def get_dist_matrix(self, **kwargs):
            raise LookupError("deep")

    with pytest.raises(LookupError) as excinfo:
        Failing([[0, 0]]).repulsion_vector([1, 1])
    names = [n for n, _ in entries(excinfo)]
    assert names.index("zelk.field.geometry.point.MultiPointRGJ.repulsion_vector") < names.index("get_dist_matrix")


def test_successful_calls_leave_no_pending_error():
    g = P.MultiPointRGJ([[0, 0], [1, 1]])
    for _ in range(3):
        g.repulsion_vector([[0.2, 0.2]])
        with pytest.raises(TypeError):
            g.in_bbox()
    assert g.in_bbox([0.5, 0.5]) is True
