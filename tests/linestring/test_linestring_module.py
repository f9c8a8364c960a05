"""The linestring module: namespace, classes, fields, argument errors, pickling."""

import copy
import gc
import hashlib
import inspect
import pickle
import sys
import traceback
import weakref

import numpy as np
import pytest

import zelk.field
import zelk.field.geometry.linestring as L
from zelk.field.geometry.base import MultiRGJGeometry

MODULE = "zelk.field.geometry.linestring"
FIELDS = sorted(
    ["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox"]
    + ["points_in_line_pair", "_p1", "_v", "_v_dot_v", "lines_n"]
)
CHECKSUMS = [int(hashlib.new(h, " ".join(FIELDS).encode("utf-8")).hexdigest()[:7], 16) for h in ("sha256", "sha1", "md5")]
CLASSES = [L.LineStringRGJ, L.MultiLineStringRGJ]


def sample(cls):
    if issubclass(cls, L.MultiLineStringRGJ):
        return cls([[(0, 0), (1, 0), (1, 2)], [(5, 5), (6, 6)]], [[2.0, 0.5], [0.0, 1.0]], {"k": 1})
    return cls([(0, 0), (1, 0), (1, 2)], [[2.0, 0.5], [0.0, 1.0]], properties={"k": 1})


def assert_same_fields(a, b):
    for f in FIELDS:
        x, y = getattr(a, f), getattr(b, f)
        if f == "coordinates" and isinstance(x, list):
            assert type(y) is list and len(x) == len(y)
            for p, q in zip(x, y):
                np.testing.assert_array_equal(p, q)
        elif f in ("properties", "lines_n"):
            assert x == y
        else:
            np.testing.assert_array_equal(x, y)


# --- module and classes ---------------------------------------------------------


def test_namespace():
    assert L.__doc__ == "LineStringRGJ / MultiLineStringRGJ."
    assert L.np is np
    assert L.kernels is zelk.field.kernels
    assert L.__test__ == {}
    assert L.__builtins__ is sys.modules["builtins"] or L.__builtins__ is vars(sys.modules["builtins"])
    for name in ("LineStringRGJ", "MultiLineStringRGJ"):
        assert callable(getattr(L, "__pyx_unpickle_" + name))
    assert not hasattr(L, "MultiRGJGeometry") and not hasattr(L, "RGJGeometry")


def test_class_tree_and_names():
    assert L.LineStringRGJ.__bases__ == (MultiRGJGeometry,)
    assert L.MultiLineStringRGJ.__bases__ == (L.LineStringRGJ,)
    for cls in CLASSES:
        assert cls.__module__ == MODULE
        assert cls.__qualname__ == cls.__name__
        assert cls.__doc__ is None
    assert [L.LineStringRGJ.RGJType, L.MultiLineStringRGJ.RGJType] == ["LineString", "MultiLineString"]


@pytest.mark.parametrize(
    "cls, members",
    [
        (L.LineStringRGJ, ["RGJType", "_build_segments", "set_coordinates", "repulsion_vector"]),
        (L.MultiLineStringRGJ, ["RGJType", "_build_segments", "set_coordinates", "get_center_point"]),
    ],
)
def test_members_in_registration_order(cls, members):
    names = list(vars(cls))
    assert names[names.index("RGJType") :] == members
    assert "__init__" in names
    for name in ("__reduce__", "__setstate__"):
        assert name in vars(cls)
    assert "repulsion_vector" not in vars(L.MultiLineStringRGJ)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_signature_shows_the_initialiser(cls):
    assert str(inspect.signature(cls)) == str(inspect.signature(REFERENCE[cls]))


@pytest.mark.parametrize("cls", CLASSES)
def test_instances_have_no_dict_or_weakref_and_are_tracked(cls):
    g = sample(cls)
    with pytest.raises(AttributeError):
        g.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(g)
    assert gc.is_tracked(g)


@pytest.mark.parametrize("cls", CLASSES)
def test_reference_cycle_through_properties_is_collected(cls):
    class Holder:
        pass

    g = sample(cls)
    g.properties = Holder()
    g.properties.owner = g
    probe = weakref.ref(g.properties)
    del g
    gc.collect()
    assert probe() is None


def test_allocation_state():
    for cls in CLASSES:
        g = cls.__new__(cls)
        assert g.lines_n == 0
        for f in FIELDS:
            if f != "lines_n":
                assert getattr(g, f) is None
    with pytest.raises(TypeError):
        L.LineStringRGJ.__new__(MultiRGJGeometry)


# --- fields ---------------------------------------------------------------------


@pytest.mark.parametrize("name", ["points_in_line_pair", "_p1", "_v", "_v_dot_v"])
def test_object_fields_take_anything_and_delete_to_none(name):
    g = sample(L.LineStringRGJ)
    for value in ("text", 3, [1], None, object()):
        setattr(g, name, value)
        assert getattr(g, name) is value
    delattr(g, name)
    assert getattr(g, name) is None


@pytest.mark.parametrize("value, want", [(5, 5), (-3, -3), (True, 1), (np.int64(7), 7), (np.uint8(2), 2)])
def test_lines_n_takes_integer_values(value, want):
    g = sample(L.MultiLineStringRGJ)
    g.lines_n = value
    assert g.lines_n == want and type(g.lines_n) is int


@pytest.mark.parametrize(
    "value, error",
    [(2.5, TypeError), ("3", TypeError), (None, TypeError), (np.float64(1.0), TypeError), (2**63, OverflowError),
     (-(2**63) - 1, OverflowError)],
)
def test_lines_n_refuses_other_values(value, error):
    g = sample(L.LineStringRGJ)
    with pytest.raises(error):
        g.lines_n = value
    assert g.lines_n == 2


def test_lines_n_cannot_be_deleted():
    g = sample(L.LineStringRGJ)
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del g.lines_n
    assert g.lines_n == 2


def test_fields_are_properties_of_the_class():
    names = ["points_in_line_pair", "_p1", "_v", "_v_dot_v", "lines_n"]
    assert [n for n in vars(L.LineStringRGJ) if n in names] == names
    assert not any(n in vars(L.MultiLineStringRGJ) for n in names)


# --- argument errors: the wording of a plain def ---------------------------------


class LineStringRGJ:
    def __init__(self, coordinates, repulsion=None, **kwargs):
        pass

    def _build_segments(self):
        pass

    def set_coordinates(self, new_coords):
        pass

    def repulsion_vector(self, x, min_dist_select=True, **kwargs):
        pass


class MultiLineStringRGJ(LineStringRGJ):
    def __init__(self, coordinates, repulsion=None, properties=None, optional_dim=2, **kwargs):
        pass

    def _build_segments(self):
        pass

    def set_coordinates(self, new_coords):
        pass

    def get_center_point(self):
        pass


REFERENCE = {L.LineStringRGJ: LineStringRGJ, L.MultiLineStringRGJ: MultiLineStringRGJ}

CALLS = [
    ("__init__", (), {}),
    ("__init__", (1, 2, 3), {}),
    ("__init__", (1, 2, 3, 4, 5), {}),
    ("__init__", (1,), {"coordinates": 1}),
    ("__init__", (), {"repulsion": 1}),
    ("_build_segments", (1,), {}),
    ("_build_segments", (), {"x": 1}),
    ("set_coordinates", (), {}),
    ("set_coordinates", (1, 2), {}),
    ("set_coordinates", (), {"coords": 1}),
    ("set_coordinates", (1,), {"new_coords": 1}),
    ("repulsion_vector", (), {}),
    ("repulsion_vector", (1, 2, 3), {}),
    ("repulsion_vector", (1,), {"x": 2}),
    ("repulsion_vector", (), {"min_dist_select": 2}),
    ("get_center_point", (1,), {}),
    ("get_center_point", (), {"scaled": 1}),
]


def reference_error(cls, name, args, kwargs):
    """The message of the same call on the Python class, or None when it succeeds there."""
    ref = REFERENCE[cls].__new__(REFERENCE[cls])
    try:
        getattr(ref, name)(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


ERROR_CASES = [
    pytest.param(cls, name, args, kwargs, id=f"{cls.__name__}.{name}{args}{kwargs}")
    for cls in CLASSES
    for name, args, kwargs in CALLS
    if hasattr(REFERENCE[cls], name) and reference_error(cls, name, args, kwargs) is not None
]


@pytest.mark.parametrize("cls, name, args, kwargs", ERROR_CASES)
def test_argument_errors_match_python(cls, name, args, kwargs):
    want = reference_error(cls, name, args, kwargs)
    g = sample(cls)
    with pytest.raises(TypeError) as info:
        getattr(g, name)(*args, **kwargs)
    assert str(info.value) == want
    if name == "__init__":  # the same through the class call
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == want


@pytest.mark.parametrize(
    "cls, name",
    [(cls, name) for cls in CLASSES for name in ("_build_segments", "set_coordinates", "repulsion_vector",
                                                 "get_center_point") if hasattr(REFERENCE[cls], name)],
)
def test_signatures_match_python(cls, name):
    ref = REFERENCE[cls]
    want = str(inspect.signature(getattr(ref.__new__(ref), name)))
    assert str(inspect.signature(getattr(sample(cls), name))) == want


@pytest.mark.parametrize(
    "cls, call, qualname",
    [
        (L.LineStringRGJ, lambda g: g.repulsion_vector(np.zeros((2, 3)), False), "LineStringRGJ.repulsion_vector"),
        (L.LineStringRGJ, lambda g: g.set_coordinates("x"), "LineStringRGJ.set_coordinates"),
        (L.MultiLineStringRGJ, lambda g: g.set_coordinates([]), "MultiLineStringRGJ.set_coordinates"),
        (L.MultiLineStringRGJ, lambda g: g.__init__([], optional_dim=2), "MultiLineStringRGJ.__init__"),
        (L.LineStringRGJ, lambda g: g.__init__([(0, 0)], np.zeros((2, 2))), "LineStringRGJ.__init__"),
    ],
)
def test_failing_call_adds_traceback_entry(cls, call, qualname):
    g = sample(cls)
    with pytest.raises(Exception) as info:
        call(g)
    frames = traceback.extract_tb(info.value.__traceback__)
    entries = [(f.name, f.filename) for f in frames]
    assert (f"{MODULE}.{qualname}", "zelk/field/geometry/linestring") in entries


# --- pickling -------------------------------------------------------------------


class SubLine(L.LineStringRGJ):
    pass


class SubMulti(L.MultiLineStringRGJ):
    pass


def test_checksums_follow_field_list():
    assert CHECKSUMS == [0x6C1788E, 0xEA76C65, 0x175D8FD]


@pytest.mark.parametrize("cls", CLASSES + [SubLine, SubMulti], ids=lambda c: c.__name__)
@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_pickle_round_trip(cls, protocol):
    g = sample(cls)
    h = pickle.loads(pickle.dumps(g, protocol))
    assert type(h) is cls
    assert_same_fields(g, h)
    x = np.random.default_rng(1).uniform(-3, 8, (25, 2))
    for select in (True, False):
        np.testing.assert_array_equal(h.repulsion_vector(x, select), g.repulsion_vector(x, select))
    if isinstance(g, L.MultiLineStringRGJ):
        np.testing.assert_array_equal(h.get_center_point(), g.get_center_point())


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_reduce_forms(cls):
    g = sample(cls)
    f, args, state = g.__reduce__()
    assert f is getattr(L, "__pyx_unpickle_" + cls.__name__)
    assert args == (cls, CHECKSUMS[0], None)
    assert len(state) == 12
    assert all(a is getattr(g, n) for a, n in zip(state, FIELDS) if n != "lines_n")  # no copies
    assert state[FIELDS.index("lines_n")] == g.lines_n and type(state[FIELDS.index("lines_n")]) is int
    empty = cls.__new__(cls)
    f, args = empty.__reduce__()
    assert args == (cls, CHECKSUMS[0], tuple(0 if n == "lines_n" else None for n in FIELDS))
    empty.lines_n = 9  # integer fields do not count
    assert len(empty.__reduce__()) == 2


def test_subclass_dictionary_travels():
    g = SubLine([(0, 0), (1, 1)])
    assert len(g.__reduce__()[2]) == 12
    g.tag = "river"
    f, args, state = g.__reduce__()
    assert len(state) == 13 and state[12] == {"tag": "river"}
    h = pickle.loads(pickle.dumps(g))
    assert h.tag == "river" and type(h) is SubLine


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("checksum", CHECKSUMS)
def test_reconstructor_accepts_all_checksums(cls, checksum):
    f = getattr(L, "__pyx_unpickle_" + cls.__name__)
    g = f(cls, checksum, None)
    assert type(g) is cls and g.lines_n == 0 and g._p1 is None
    h = f(__pyx_type=cls, __pyx_checksum=checksum, __pyx_state=sample(cls).__reduce__()[2])
    assert_same_fields(h, sample(cls))


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_reconstructor_refuses_other_checksums(cls):
    f = getattr(L, "__pyx_unpickle_" + cls.__name__)
    with pytest.raises(pickle.PickleError) as info:
        f(cls, 1, None)
    text = ", ".join(FIELDS)
    want = "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))" % (1, *CHECKSUMS, text)
    assert str(info.value) == want
    with pytest.raises(TypeError):
        f(cls, CHECKSUMS[0], [])
    with pytest.raises(TypeError):
        f(int, CHECKSUMS[0], None)
    with pytest.raises(OverflowError):
        f(cls, 2**70, None)


def test_setstate_assigns_in_order_and_stops_at_a_failure():
    g = sample(L.LineStringRGJ)
    state = list(g.__reduce__()[2])
    marks = [object() for _ in FIELDS]
    for k, name in enumerate(FIELDS):
        if name != "lines_n":
            state[k] = marks[k]
    k_lines = FIELDS.index("lines_n")
    h = L.LineStringRGJ.__new__(L.LineStringRGJ)
    with pytest.raises(TypeError):
        h.__setstate__(tuple(state[:k_lines]) + (2.5,) + tuple(state[k_lines + 1 :]))
    for k, name in enumerate(FIELDS):
        want = marks[k] if k < k_lines else (0 if name == "lines_n" else None)
        assert getattr(h, name) is want or getattr(h, name) == want
    with pytest.raises(IndexError):
        h.__setstate__(tuple(state[:3]))
    with pytest.raises(TypeError):
        h.__setstate__(None)
    with pytest.raises(TypeError):
        h.__setstate__(list(state))
    h.__setstate__(__pyx_state=tuple(state))
    assert h.lines_n == 2 and h._p1 is marks[0]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_copies(cls):
    g = sample(cls)
    shallow = copy.copy(g)
    assert type(shallow) is cls and shallow is not g
    for f in FIELDS:
        if f != "lines_n":
            assert getattr(shallow, f) is getattr(g, f)
    deep = copy.deepcopy(g)
    assert_same_fields(deep, g)
    assert deep._p1 is not g._p1 and deep.properties is not g.properties
