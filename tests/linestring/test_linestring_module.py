"""The linestring module: namespace, classes, field rules, argument errors, pickling."""

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
from helpers import subclass
from zelk.field.geometry.base import MultiRGJGeometry

MODULE = "zelk.field.geometry.linestring"
FIELDS = sorted(
    ["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox"]
    + ["points_in_line_pair", "_p1", "_v", "_v_dot_v", "lines_n"]
)
CHECKSUMS = [int(hashlib.new(h, " ".join(FIELDS).encode("utf-8")).hexdigest()[:7], 16) for h in ("sha256", "sha1", "md5")]
CLASSES = [L.LineStringRGJ, L.MultiLineStringRGJ]
SubLine, SubMulti = subclass(L.LineStringRGJ), subclass(L.MultiLineStringRGJ)


def sample(cls):
    if issubclass(cls, L.MultiLineStringRGJ):
        return cls([[(0, 0), (1, 0), (1, 2)], [(5, 5), (6, 6)]], [[2.0, 0.5], [0.0, 1.0]], {"k": 1})
    return cls([(0, 0), (1, 0), (1, 2)], [[2.0, 0.5], [0.0, 1.0]], properties={"k": 1})


def assert_same_fields(a, b):
    for f in FIELDS:
        x, y = getattr(a, f), getattr(b, f)
        if isinstance(x, (dict, int)):
            assert x == y
        elif isinstance(x, list):
            assert [p.tolist() for p in x] == [q.tolist() for q in y]
        else:
            np.testing.assert_array_equal(x, y)


# Python classes with the same names and signatures: the reference wording.
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


# --- module and classes ----------------------------------------------------------


def test_namespace_and_classes():
    assert L.__doc__ == "LineStringRGJ / MultiLineStringRGJ."
    assert L.np is np and L.kernels is zelk.field.kernels and L.__test__ == {}
    assert L.__builtins__ in (sys.modules["builtins"], vars(sys.modules["builtins"]))
    assert not hasattr(L, "MultiRGJGeometry") and not hasattr(L, "RGJGeometry")
    assert L.LineStringRGJ.__bases__ == (MultiRGJGeometry,)
    assert L.MultiLineStringRGJ.__bases__ == (L.LineStringRGJ,)
    for cls in CLASSES:
        assert (cls.__module__, cls.__qualname__, cls.__doc__) == (MODULE, cls.__name__, None)
        assert callable(getattr(L, "__pyx_unpickle_" + cls.__name__))
        assert str(inspect.signature(cls)) == str(inspect.signature(REFERENCE[cls]))


@pytest.mark.parametrize(
    "cls, members",
    [(L.LineStringRGJ, ["RGJType", "_build_segments", "set_coordinates", "repulsion_vector"]),
     (L.MultiLineStringRGJ, ["RGJType", "_build_segments", "set_coordinates", "get_center_point"])],
)
def test_members_in_registration_order(cls, members):
    names = list(vars(cls))
    assert names[names.index("RGJType") :] == members
    assert {"__init__", "__reduce__", "__setstate__"} <= set(names)
    fields = ["points_in_line_pair", "_p1", "_v", "_v_dot_v", "lines_n"]
    assert [n for n in names if n in fields] == (fields if cls is L.LineStringRGJ else [])


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_instances(cls):
    g = sample(cls)
    with pytest.raises(AttributeError):
        g.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(g)
    empty = cls.__new__(cls)
    assert [getattr(empty, f) for f in FIELDS] == [0 if f == "lines_n" else None for f in FIELDS]

    class Holder:  # a cycle through a field is collected
        pass

    g.properties = Holder()
    g.properties.owner = g
    probe = weakref.ref(g.properties)
    del g
    gc.collect()
    assert probe() is None


# --- fields ----------------------------------------------------------------------


@pytest.mark.parametrize("name", ["points_in_line_pair", "_p1", "_v", "_v_dot_v"])
def test_object_fields_take_anything_and_delete_to_none(name):
    g = sample(L.LineStringRGJ)
    for value in ("text", 3, None, object()):
        setattr(g, name, value)
        assert getattr(g, name) is value
    delattr(g, name)
    assert getattr(g, name) is None


@pytest.mark.parametrize(
    "value, outcome",
    [(5, 5), (-3, -3), (True, 1), (np.int64(7), 7), (2.5, TypeError), ("3", TypeError), (None, TypeError),
     (np.float64(1.0), TypeError), (2**63, OverflowError), (-(2**63) - 1, OverflowError)],
)
def test_lines_n_takes_integer_values_only(value, outcome):
    g = sample(L.MultiLineStringRGJ)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            g.lines_n = value
        assert g.lines_n == 3
    else:
        g.lines_n = value
        assert g.lines_n == outcome and type(g.lines_n) is int
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del g.lines_n


# --- argument errors: the wording of a plain def -------------------------------------

CALLS = [
    ("__init__", (), {}), ("__init__", (1, 2, 3), {}), ("__init__", (1, 2, 3, 4, 5), {}),
    ("__init__", (1,), {"coordinates": 1}), ("__init__", (), {"repulsion": 1}), ("_build_segments", (1,), {}),
    ("_build_segments", (), {"x": 1}), ("set_coordinates", (), {}), ("set_coordinates", (1, 2), {}),
    ("set_coordinates", (), {"coords": 1}), ("set_coordinates", (1,), {"new_coords": 1}),
    ("repulsion_vector", (), {}), ("repulsion_vector", (1, 2, 3), {}), ("repulsion_vector", (1,), {"x": 2}),
    ("repulsion_vector", (), {"min_dist_select": 2}), ("get_center_point", (1,), {}),
    ("get_center_point", (), {"scaled": 1}),
]


def reference_error(cls, name, args, kwargs):
    """The message of the same call on the Python class, or None when it succeeds there."""
    try:
        getattr(REFERENCE[cls].__new__(REFERENCE[cls]), name)(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


@pytest.mark.parametrize(
    "cls, name, args, kwargs",
    [pytest.param(cls, name, args, kwargs, id=f"{cls.__name__}.{name}{args}{kwargs}") for cls in CLASSES
     for name, args, kwargs in CALLS if hasattr(REFERENCE[cls], name) and reference_error(cls, name, args, kwargs)],
)
def test_argument_errors_match_python(cls, name, args, kwargs):
    want = reference_error(cls, name, args, kwargs)
    with pytest.raises(TypeError) as info:
        getattr(sample(cls), name)(*args, **kwargs)
    assert str(info.value) == want
    if name != "__init__":
        ref = getattr(REFERENCE[cls].__new__(REFERENCE[cls]), name)
        assert str(inspect.signature(getattr(sample(cls), name))) == str(inspect.signature(ref))
    else:  # the same through the class call
        with pytest.raises(TypeError, match=want.replace("(", r"\(").replace(")", r"\)")):
            cls(*args, **kwargs)


@pytest.mark.parametrize(
    "cls, call, qualname",
    [(L.LineStringRGJ, lambda g: g.repulsion_vector(np.zeros((2, 3)), False), "LineStringRGJ.repulsion_vector"),
     (L.LineStringRGJ, lambda g: g.set_coordinates("x"), "LineStringRGJ.set_coordinates"),
     (L.MultiLineStringRGJ, lambda g: g.set_coordinates([]), "MultiLineStringRGJ.set_coordinates"),
     (L.MultiLineStringRGJ, lambda g: g.__init__([]), "MultiLineStringRGJ.__init__")],
)
def test_failing_call_adds_traceback_entry(cls, call, qualname):
    with pytest.raises(Exception) as info:
        call(sample(cls))
    entries = [(f.name, f.filename) for f in traceback.extract_tb(info.value.__traceback__)]
    assert (f"{MODULE}.{qualname}", "zelk/field/geometry/linestring") in entries


# --- pickling --------------------------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSES + [SubLine, SubMulti], ids=lambda c: c.__name__)
@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_pickle_round_trip(cls, protocol):
    g = sample(cls)
    h = pickle.loads(pickle.dumps(g, protocol))
    assert type(h) is cls
    assert_same_fields(g, h)
    x = np.random.default_rng(1).uniform(-3, 8, (25, 2))
    for select in (True, False):
        np.testing.assert_array_equal(h.repulsion_vector(x, select), g.repulsion_vector(x, select))


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_reduce_forms_and_checksums(cls):
    assert CHECKSUMS == [0x6C1788E, 0xEA76C65, 0x175D8FD]
    g = sample(cls)
    f, args, state = g.__reduce__()
    assert f is getattr(L, "__pyx_unpickle_" + cls.__name__) and args == (cls, CHECKSUMS[0], None)
    assert all(a is getattr(g, n) for a, n in zip(state, FIELDS) if n != "lines_n") and len(state) == 12
    assert state[FIELDS.index("lines_n")] == g.lines_n
    empty = cls.__new__(cls)
    empty.lines_n = 9  # integer fields do not count
    assert empty.__reduce__() == (f, (cls, CHECKSUMS[0], tuple(9 if n == "lines_n" else None for n in FIELDS)))
    for checksum in CHECKSUMS:
        assert_same_fields(f(__pyx_type=cls, __pyx_checksum=checksum, __pyx_state=state), g)
        assert f(cls, checksum, None).lines_n == 0
    with pytest.raises(pickle.PickleError) as info:
        f(cls, 1, None)
    assert str(info.value) == "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))" % (1, *CHECKSUMS, ", ".join(FIELDS))
    for bad, error in (((cls, CHECKSUMS[0], []), TypeError), ((int, CHECKSUMS[0], None), TypeError),
                       ((cls, 2**70, None), OverflowError)):
        with pytest.raises(error):
            f(*bad)


def test_subclass_dictionary_travels():
    g = SubLine([(0, 0), (1, 1)])
    assert len(g.__reduce__()[2]) == 12
    g.tag = "river"
    assert g.__reduce__()[2][12:] == ({"tag": "river"},)
    h = pickle.loads(pickle.dumps(g))
    assert h.tag == "river" and type(h) is SubLine


def test_setstate_assigns_in_order_and_stops_at_a_failure():
    marks = tuple(object() for _ in FIELDS)
    k = FIELDS.index("lines_n")
    h = L.LineStringRGJ.__new__(L.LineStringRGJ)
    with pytest.raises(TypeError):
        h.__setstate__(marks[:k] + (2.5,) + marks[k + 1 :])
    assert [getattr(h, f) for f in FIELDS] == list(marks[:k]) + [0] + [None] * (len(FIELDS) - k - 1)
    with pytest.raises(IndexError):
        h.__setstate__(marks[:3])
    for bad in (None, list(marks)):
        with pytest.raises(TypeError):
            h.__setstate__(bad)
    h.__setstate__(__pyx_state=marks[:k] + (7,) + marks[k + 1 :])
    assert h.lines_n == 7 and h.repulsion is marks[-1]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_copies(cls):
    g = sample(cls)
    shallow = copy.copy(g)
    assert type(shallow) is cls and all(getattr(shallow, f) is getattr(g, f) for f in FIELDS if f != "lines_n")
    deep = copy.deepcopy(g)
    assert_same_fields(deep, g)
    assert deep._p1 is not g._p1 and deep.properties is not g.properties
