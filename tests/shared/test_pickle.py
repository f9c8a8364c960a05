"""State serialisation of the point classes: reducer, restorer, reconstructors."""

import copy
import hashlib
import pickle

import numpy as np
import pytest

import zelk.field.geometry.point as P
from helpers import subclass
from zelk.field.geometry.base import RGJGeometry

FIELDS = sorted(["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox"])
CHECKSUMS = [int(hashlib.new(h, " ".join(FIELDS).encode("utf-8")).hexdigest()[:7], 16) for h in ("sha256", "sha1", "md5")]
FIELD_TEXT = ", ".join(FIELDS)
SubPoint, SubMulti = subclass(P.PointRGJ), subclass(P.MultiPointRGJ)


def reconstructor(cls):
    name = "PointRGJ" if issubclass(cls, P.PointRGJ) else "MultiPointRGJ"
    return getattr(P, "__pyx_unpickle_" + name)


def state_of(g):
    return tuple(getattr(g, f) for f in FIELDS)


def assert_same_fields(a, b):
    for f in FIELDS:
        if f == "properties":
            assert getattr(a, f) == getattr(b, f)
        else:
            np.testing.assert_array_equal(getattr(a, f), getattr(b, f))


def build(cls):
    if issubclass(cls, P.MultiPointRGJ):
        return cls([[0, 0], [10, 0], [3, 4]], [[2.0, 0.5], [0.0, 1.0]], properties={"id": 7})
    return cls([1.5, -2], [[2.0, 0.5], [0.0, 1.0]], properties={"id": 7})


def test_field_order_and_checksums():
    assert FIELDS == ["bbox", "coordinates", "eye_repulsion", "grad_matrix", "inv_repulsion", "properties", "repulsion"]
    g = build(P.PointRGJ)
    assert g.__reduce__()[1][1] == CHECKSUMS[0]


@pytest.mark.parametrize("cls", [P.PointRGJ, P.MultiPointRGJ, SubPoint, SubMulti])
def test_reduce_of_a_built_geometry(cls):
    g = build(cls)
    out = g.__reduce__()
    assert len(out) == 3
    func, args, state = out
    assert func is reconstructor(cls)
    assert args == (cls, CHECKSUMS[0], None) and args[0] is cls
    assert type(state) is tuple and len(state) == 7
    assert all(a is b for a, b in zip(state, state_of(g)))


@pytest.mark.parametrize("cls", [P.PointRGJ, P.MultiPointRGJ, SubPoint])
def test_reduce_of_an_empty_instance(cls):
    g = cls.__new__(cls)
    assert g.__reduce__() == (reconstructor(cls), (cls, CHECKSUMS[0], (None,) * 7))
    g.properties = 0  # any field that is not None gives the second form
    assert g.__reduce__() == (reconstructor(cls), (cls, CHECKSUMS[0], None), (None,) * 5 + (0, None))


def test_reduce_with_an_attribute_dictionary():
    g = SubPoint.__new__(SubPoint)
    g.tag = "t"
    func, args, state = g.__reduce__()
    assert args == (SubPoint, CHECKSUMS[0], None)
    assert state[:7] == (None,) * 7 and state[7] == {"tag": "t"} and len(state) == 8
    del g.tag
    assert g.__reduce__() == (reconstructor(SubPoint), (SubPoint, CHECKSUMS[0], (None,) * 7))
    h = build(SubMulti)
    h.tag = [1]
    assert len(h.__reduce__()[2]) == 8
    h.__dict__.clear()
    assert len(h.__reduce__()[2]) == 7


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("cls", [P.PointRGJ, P.MultiPointRGJ, SubPoint, SubMulti])
def test_pickle_round_trip(cls, protocol):
    g = build(cls)
    if hasattr(g, "__dict__"):
        g.tag = {"nested": [1, 2]}
    h = pickle.loads(pickle.dumps(g, protocol))
    assert type(h) is cls
    assert_same_fields(g, h)
    assert getattr(h, "__dict__", {}) == getattr(g, "__dict__", {})
    x = np.array([[1.0, 1.0], [5.0, 2.0], [-3.0, 8.0]])
    np.testing.assert_array_equal(h.repulsion_vector(x), g.repulsion_vector(x))
    assert pickle.loads(pickle.dumps(cls.__new__(cls), protocol)).coordinates is None


def test_stored_pickle_format():
    # reconstructor by full name, the class, the middle checksum, then the state through BUILD
    data = (
        b"czelk.field.geometry.point\n__pyx_unpickle_MultiPointRGJ\n"
        b"(czelk.field.geometry.point\nMultiPointRGJ\nI" + str(CHECKSUMS[1]).encode() + b"\nNtR"
        b"(NNNNN(dS'k'\nI1\nsI5\nt" + b"b."
    )
    g = pickle.loads(data)
    assert type(g) is P.MultiPointRGJ
    assert [getattr(g, f) for f in FIELDS] == [None] * 5 + [{"k": 1}, 5]


def test_copy_shares_and_deepcopy_copies():
    g = build(P.MultiPointRGJ)
    c = copy.copy(g)
    assert type(c) is P.MultiPointRGJ and c is not g
    assert all(a is b for a, b in zip(state_of(c), state_of(g)))
    d = copy.deepcopy(g)
    assert_same_fields(d, g)
    assert all(a is not b for a, b in zip(state_of(d), state_of(g)))
    d.properties["id"] = 8
    assert g.properties["id"] == 7


def test_setstate_assigns_in_order():
    g = build(P.PointRGJ)
    items = tuple(object() for _ in FIELDS)
    assert g.__setstate__(items) is None
    assert state_of(g) == items
    g.__setstate__(__pyx_state=(1, 2, 3, 4, 5, 6, 7, {}, "ignored"))
    assert state_of(g) == (1, 2, 3, 4, 5, 6, 7)


class TupleSub(tuple):
    pass


@pytest.mark.parametrize("state", [None, [1] * 7, TupleSub((1,) * 7), {}, "1234567"])
def test_setstate_needs_an_exact_tuple(state):
    g = build(P.PointRGJ)
    before = state_of(g)
    with pytest.raises(TypeError):
        g.__setstate__(state)
    assert all(a is b for a, b in zip(state_of(g), before))


def test_short_state_assigns_a_prefix():
    g = build(P.PointRGJ)
    before = state_of(g)
    with pytest.raises(IndexError):
        g.__setstate__(("a", "b", "c"))
    assert state_of(g)[:3] == ("a", "b", "c")
    assert all(a is b for a, b in zip(state_of(g)[3:], before[3:]))


@pytest.mark.parametrize("extra, raises", [({"tag": 1}, AttributeError), ({}, None), (None, None), (0, None), ([1], AttributeError)])
def test_extra_item_without_attribute_dictionary(extra, raises):
    g = P.PointRGJ.__new__(P.PointRGJ)
    state = tuple(range(7)) + (extra,)
    if raises:
        with pytest.raises(raises):
            g.__setstate__(state)
    else:
        g.__setstate__(state)
    assert state_of(g) == tuple(range(7))


def test_extra_item_updates_the_attribute_dictionary():
    g = SubPoint.__new__(SubPoint)
    g.kept = 1
    g.__setstate__((None,) * 7 + ({"tag": 2, "kept": 3},))
    assert g.__dict__ == {"kept": 3, "tag": 2}
    g.__setstate__((None,) * 7 + ([("pairs", 4)],))  # whatever dict.update takes
    assert g.__dict__["pairs"] == 4
    with pytest.raises(TypeError):
        g.__setstate__((None,) * 7 + (5,))


# --- reconstructors ------------------------------------------------------------------------


@pytest.mark.parametrize("checksum", CHECKSUMS)
@pytest.mark.parametrize("cls", [P.PointRGJ, P.MultiPointRGJ, SubPoint])
def test_reconstructor_accepts_the_three_checksums(cls, checksum):
    g = reconstructor(cls)(cls, checksum, None)
    assert type(g) is cls and state_of(g) == (None,) * 7
    h = reconstructor(cls)(__pyx_state=tuple(FIELDS), __pyx_checksum=np.int64(checksum), __pyx_type=cls)
    assert state_of(h) == tuple(FIELDS)


@pytest.mark.parametrize("checksum", [1, 0, -5, True, CHECKSUMS[0] + 1, 0xFFFFFFF])
@pytest.mark.parametrize("name", ["__pyx_unpickle_PointRGJ", "__pyx_unpickle_MultiPointRGJ"])
def test_wrong_checksum(name, checksum):
    with pytest.raises(pickle.PickleError) as err:
        getattr(P, name)(P.PointRGJ, checksum, None)
    assert type(err.value) is pickle.PickleError
    want = "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))" % (checksum, *CHECKSUMS, FIELD_TEXT)
    assert str(err.value) == want


@pytest.mark.parametrize(
    "name, cls",
    [
        ("__pyx_unpickle_PointRGJ", P.MultiPointRGJ),
        ("__pyx_unpickle_PointRGJ", RGJGeometry),
        ("__pyx_unpickle_MultiPointRGJ", P.PointRGJ),
        ("__pyx_unpickle_PointRGJ", int),
        ("__pyx_unpickle_PointRGJ", "PointRGJ"),
    ],
)
def test_reconstructor_type_must_be_a_subclass(name, cls):
    target = getattr(P, name.replace("__pyx_unpickle_", ""))
    with pytest.raises(TypeError) as ref:
        target.__new__(cls)
    with pytest.raises(TypeError) as err:
        getattr(P, name)(cls, CHECKSUMS[0], None)
    assert str(err.value) == str(ref.value)


@pytest.mark.parametrize(
    "checksum, state, exc",
    [
        (2**70, None, OverflowError),
        (-(2**70), None, OverflowError),
        (float(CHECKSUMS[0]), None, TypeError),
        (str(CHECKSUMS[0]), None, TypeError),
        (CHECKSUMS[0], [None] * 7, TypeError),
        (CHECKSUMS[0], TupleSub((None,) * 7), TypeError),
        (CHECKSUMS[0], (None,) * 3, IndexError),
    ],
)
def test_reconstructor_argument_types(checksum, state, exc):
    with pytest.raises(exc):
        P.__pyx_unpickle_PointRGJ(P.PointRGJ, checksum, state)


def test_reconstructor_checks_checksum_then_type_then_state():
    # A bad state is only looked at once the checksum is accepted and the
    # instance exists: a wrong checksum or class wins over it.
    with pytest.raises(pickle.PickleError):
        P.__pyx_unpickle_PointRGJ(P.PointRGJ, 1, [None] * 7)
    with pytest.raises(TypeError) as ref:
        P.PointRGJ.__new__(int)
    with pytest.raises(TypeError) as err:
        P.__pyx_unpickle_PointRGJ(int, CHECKSUMS[0], [None] * 7)
    assert str(err.value) == str(ref.value)


def test_reconstructors_in_the_namespace():
    for name in ("PointRGJ", "MultiPointRGJ"):
        f = getattr(P, "__pyx_unpickle_" + name)
        assert f.__name__ == "__pyx_unpickle_" + name and callable(f)
        assert pickle.loads(pickle.dumps(f)) is f
