"""RGeoJSON export, pickling and argument errors of both polygon classes."""

import copy
import hashlib
import pickle

import numpy as np
import pytest

import zelk.field.geometry.polygon as polygon_module
from helpers import subclass
from polygon_oracles import assert_fields
from zelk.field.geometry.polygon import MultiPolygonRGJ, PolygonRGJ

SQ = [[0, 0], [1, 0], [1, 1], [0, 1]]
HOLE = [[0.2, 0.2], [0.4, 0.2], [0.4, 0.4]]


def test_polygon_export():
    props = {"name": "a"}
    p = PolygonRGJ([SQ, HOLE], [[2.0, 0.0], [0.0, 1.0]], props)
    f = p.toRGeoJSON()
    assert list(f) == ["type", "properties", "geometry"] and f["type"] == "Feature"
    assert f["properties"] is props
    g = f["geometry"]
    assert list(g) == ["type", "coordinates", "repulsion"] and g["type"] == "Polygon"
    assert g["coordinates"] == [SQ + SQ[:1], HOLE + HOLE[:1]] and g["repulsion"] == [[2.0, 0.0], [0.0, 1.0]]
    assert type(g["coordinates"][0][0][0]) is float
    assert g["coordinates"] is not p.toRGeoJSON()["geometry"]["coordinates"]
    f["properties"]["added"] = 1
    assert p.properties["added"] == 1
    assert PolygonRGJ([]).toRGeoJSON()["geometry"]["coordinates"] == []
    # The export reads the type through the instance and rebuilds the polygon.
    Renamed = type("Renamed", (PolygonRGJ,), {"RGJType": "Other"})
    g2 = Renamed(SQ).toRGeoJSON()["geometry"]
    assert g2["type"] == "Other"
    assert PolygonRGJ(**g2).rings[0].tolist() == PolygonRGJ(SQ).rings[0].tolist()


def test_multipolygon_export_shares_member_rings():
    props = {}
    m = MultiPolygonRGJ([[SQ, HOLE], [[[5, 5], [6, 5], [6, 6]]]], properties=props)
    f = m.toRGeoJSON()
    g = f["geometry"]
    assert list(f) == ["type", "properties", "geometry"] and f["properties"] is props
    assert list(g) == ["type", "coordinates", "repulsion"] and g["type"] == "MultiPolygon"
    assert [c is p.rings for c, p in zip(g["coordinates"], m.polygons)] == [True, True]
    assert isinstance(g["coordinates"][0][0], np.ndarray) and g["repulsion"] == [[1.0, 0.0], [0.0, 1.0]]
    assert g["coordinates"] is not m.toRGeoJSON()["geometry"]["coordinates"]
    assert MultiPolygonRGJ(**g)._S == m._S


@pytest.mark.parametrize("cls, field", [(PolygonRGJ, "rings"), (MultiPolygonRGJ, "polygons")])
def test_export_failures(cls, field):
    g = cls([SQ])
    with pytest.raises(TypeError):
        g.toRGeoJSON(1)
    with pytest.raises(TypeError):
        g.toRGeoJSON(x=1)
    setattr(g, field, None)
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        g.toRGeoJSON()


POLYGON_FIELDS = "_S _p1 _v _v_dot_v bbox coordinates eye_repulsion grad_matrix inv_repulsion metric points_in_line_pair properties repulsion rings".split()
MULTI_FIELDS = "_S _p1 _v _v_dot_v bbox coordinates eye_repulsion grad_matrix inv_repulsion points_in_line_pair polygons properties repulsion".split()


def checksums(fields):
    assert fields == sorted(fields)
    text = " ".join(fields).encode("utf-8")
    return [int(hashlib.new(h, text).hexdigest()[:7], 16) for h in ("sha256", "sha1", "md5")]


CASES = [
    (PolygonRGJ, POLYGON_FIELDS, [SQ, HOLE]),
    (MultiPolygonRGJ, MULTI_FIELDS, [[SQ, HOLE], [[[5, 5], [6, 5], [6, 6]]]]),
]


@pytest.mark.parametrize("cls, fields, coords", CASES)
def test_reduce_and_round_trip(cls, fields, coords):
    g = cls(coords, [[2.0, 0.1], [0.0, 1.0]], {"id": 3})
    func, (typ, checksum, none), state = g.__reduce__()
    assert func is getattr(polygon_module, "__pyx_unpickle_" + cls.__name__) and typ is cls and none is None
    assert checksum == checksums(fields)[0]
    assert len(state) == len(fields) and all(s is getattr(g, f) or f == "_S" for s, f in zip(state, fields))
    assert state[0] == g._S and type(state[0]) is int
    h = pickle.loads(pickle.dumps(g))
    assert type(h) is cls and h.properties == {"id": 3}
    x = np.random.default_rng(0).uniform(-1, 7, (50, 2))
    np.testing.assert_array_equal(h.repulsion_vector(x), g.repulsion_vector(x))
    for f in fields:
        if f == "polygons":
            assert [repr(q.rings) for q in h.polygons] == [repr(q.rings) for q in g.polygons]
        else:
            assert repr(getattr(h, f)) == repr(getattr(g, f))
    shallow = copy.copy(g)
    assert all(getattr(shallow, f) is getattr(g, f) for f in fields if f != "_S")
    deep = copy.deepcopy(g)
    assert deep.rings[0] is not g.rings[0] if cls is PolygonRGJ else deep.polygons[0] is not g.polygons[0]


@pytest.mark.parametrize("cls, fields, coords", CASES)
def test_reconstructor_and_restorer(cls, fields, coords):
    unpickle = getattr(polygon_module, "__pyx_unpickle_" + cls.__name__)
    for c in checksums(fields):
        assert type(unpickle(cls, c, None)) is cls
    text = ", ".join(fields)
    with pytest.raises(pickle.PickleError) as info:
        unpickle(cls, 1, None)
    assert str(info.value) == "Incompatible checksums (0x1 vs (0x%x, 0x%x, 0x%x) = (%s))" % (*checksums(fields), text)
    blank = cls.__new__(cls)
    func, args = blank.__reduce__()
    assert args == (cls, checksums(fields)[0], (0,) + (None,) * (len(fields) - 1))
    list_field = fields.index("rings" if cls is PolygonRGJ else "polygons")
    state = list(cls(coords).__reduce__()[2])
    state[list_field] = (1, 2)
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        blank.__setstate__(tuple(state))
    assert blank._S == state[0] and blank.bbox is state[4]  # fields before it are assigned
    with pytest.raises(IndexError):
        blank.__setstate__(tuple(state[:3]))
    with pytest.raises(TypeError):
        blank.__setstate__(None)


def test_subclass_attributes_travel_with_the_state():
    SubPolygon = subclass(PolygonRGJ)
    g = SubPolygon([SQ])
    assert len(g.__reduce__()[2]) == len(POLYGON_FIELDS)
    g.tag = "t"
    assert g.__reduce__()[2][-1] == {"tag": "t"}
    h = pickle.loads(pickle.dumps(g))
    assert h.tag == "t" and type(h) is SubPolygon
    assert_fields(h, {"rings": g.rings, "_p1": g._p1, "bbox": g.bbox})


TWIN = """
class {name}:
    def __init__(self, coordinates, repulsion=None, properties=None, optional_dim=2, **kwargs): pass
    def _build_segment_cache(self): pass
    def set_coordinates(self, new_coords): pass
    def set_repulsion(self, new_repulsion): pass
    def in_bbox(self, x): pass
    def get_center_point(self): pass
    def repulsion_vector(self, x, min_dist_select=True, **kwargs): pass
    def toRGeoJSON(self): pass
"""

BAD_CALLS = [
    ("__init__", (), {}),
    ("__init__", (1, 2, 3, 4, 5), {}),
    ("__init__", (1,), {"coordinates": 1}),
    ("__init__", (1, 2), {"repulsion": 1}),
    ("_build_segment_cache", (1,), {}),
    ("set_coordinates", (), {}),
    ("set_coordinates", (1, 2), {}),
    ("set_coordinates", (), {"coords": 1}),
    ("set_repulsion", (), {"new_repulsion": 1, "x": 2}),
    ("in_bbox", (), {}),
    ("in_bbox", (1,), {"y": 1}),
    ("repulsion_vector", (), {"min_dist_select": True}),
    ("repulsion_vector", (1, 2, 3), {}),
    ("repulsion_vector", (1, 2), {"min_dist_select": True}),
    ("toRGeoJSON", (), {"a": 1}),
    ("get_center_point", (1,), {}),
]


@pytest.mark.parametrize("cls", [PolygonRGJ, MultiPolygonRGJ])
@pytest.mark.parametrize("name, args, kwargs", BAD_CALLS)
def test_argument_errors_read_as_a_python_def(cls, name, args, kwargs):
    if name not in vars(cls):
        pytest.skip("inherited from the base type")
    namespace = {}
    exec(TWIN.format(name=cls.__name__), namespace)
    twin = namespace[cls.__name__]
    with pytest.raises(TypeError) as want:
        getattr(twin.__new__(twin), name)(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(cls([SQ]), name)(*args, **kwargs)
    assert str(got.value) == str(want.value)
