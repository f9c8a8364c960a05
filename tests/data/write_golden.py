"""Writes the stored pickles, RGeoJSON exports and query answers that
tests/shared/test_golden.py reads back with every later build.

    PYTHONPATH=STAGE python tests/data/write_golden.py

Run it only when a format or an answer is meant to change; the files it writes
(tests/data/golden/<Class>.json) are what older installations wrote, so a build
that cannot read them, or answers differently, breaks users' stored data.
"""

import base64
import json
import pathlib
import pickle

import numpy as np

from zelk.field.geometry.collection import GeometryCollectionRGJ
from zelk.field.geometry.linestring import LineStringRGJ, MultiLineStringRGJ
from zelk.field.geometry.point import MultiPointRGJ, PointRGJ
from zelk.field.geometry.polygon import MultiPolygonRGJ, PolygonRGJ

GOLDEN = pathlib.Path(__file__).with_name("golden")
PROTOCOLS = (2, 3, 4, 5)

# Away from every edge and vertex of the shapes below, so the answers do not
# rest on how a point exactly on a boundary is classified.
X = np.array([[0.25, 0.3], [2.7, -1.2], [-1.5, 0.8], [5.0, 5.0], [0.6, 0.45],
              [-3.2, -2.1], [1.1, 3.7], [0.05, -0.75], [1.4, 1.35], [3.3, 2.2]])
BATCHES = {"all": X, "first": X[:1], "inside": [0.6, 0.45], "far": [[40.0, -40.0]]}

ANISO = [[2.0, 0.3], [0.3, 0.5]]
PROPS = {"name": "kept", "weight": 2.5, "tags": ["a", "b"], "nested": {"n": 1}}
SQUARE = [[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]]
HOLE = [[0.3, 0.6], [0.8, 0.6], [0.8, 0.9], [0.3, 0.9]]
L_SHAPE = [[-2.0, -1.0], [2.0, -1.0], [2.0, 0.0], [-1.0, 0.0], [-1.0, 2.0], [-2.0, 2.0]]
TRIANGLE = [[2.5, 1.5], [4.0, 1.5], [3.0, 3.5]]
PATH = [[-2.0, -2.0], [0.5, -1.0], [0.5, 2.0], [3.0, 2.5]]


def cases():
    """name -> (class, constructor keywords); several shapes per class."""
    return {
        PointRGJ: {
            "origin": dict(coordinates=[0.0, 0.0]),
            "aniso_props": dict(coordinates=[1.5, -2.0], repulsion=ANISO, properties=PROPS),
        },
        MultiPointRGJ: {
            "three": dict(coordinates=[[0.0, 0.0], [2.0, 1.0], [-1.0, 3.0]]),
            "aniso_props": dict(coordinates=PATH, repulsion=ANISO, properties=PROPS),
            "repeated": dict(coordinates=[[1.0, 1.0], [1.0, 1.0], [-2.0, 0.5]]),
            "single": dict(coordinates=[[0.5, 0.5]]),
            "empty": dict(coordinates=np.zeros((0, 2))),
        },
        LineStringRGJ: {
            "path": dict(coordinates=PATH),
            "aniso_props": dict(coordinates=PATH, repulsion=ANISO, properties=PROPS),
            "zero_length_segment": dict(coordinates=[[0.0, 0.0], [0.0, 0.0], [2.0, 1.0]]),
            "one_vertex": dict(coordinates=[[0.5, 0.5]]),
            "empty": dict(coordinates=np.zeros((0, 2))),
        },
        MultiLineStringRGJ: {
            "two": dict(coordinates=[PATH, [[3.0, -3.0], [4.0, 0.0]]]),
            "aniso_props": dict(coordinates=[PATH, SQUARE], repulsion=ANISO, properties=PROPS),
            "with_one_vertex_line": dict(coordinates=[[[1.0, 1.0]], [[-1.0, 0.0], [0.0, 2.0]]]),
        },
        PolygonRGJ: {
            "square": dict(coordinates=[SQUARE]),
            "closed_with_hole": dict(coordinates=[SQUARE + SQUARE[:1], HOLE + HOLE[:1]]),
            "aniso_props": dict(coordinates=[L_SHAPE], repulsion=ANISO, properties=PROPS),
            "collinear": dict(coordinates=[[[0.0, 0.0], [1.0, 1.0], [2.0, 2.0]]]),
            "empty": dict(coordinates=[]),
        },
        MultiPolygonRGJ: {
            "two_with_hole": dict(coordinates=[[SQUARE, HOLE], [TRIANGLE]]),
            "aniso_props": dict(coordinates=[[L_SHAPE], [TRIANGLE]], repulsion=ANISO,
                                properties=PROPS),
            "one": dict(coordinates=[[TRIANGLE]]),
            "empty": dict(coordinates=[]),
        },
        GeometryCollectionRGJ: {
            "mixed": dict(geometries=[
                {"type": "Point", "coordinates": [4.0, -1.0]},
                {"type": "MultiPoint", "coordinates": [[-3.0, 3.0], [-2.5, 3.5]]},
                {"type": "LineString", "coordinates": PATH},
                {"type": "MultiLineString", "coordinates": [[[3.0, -3.0], [4.0, 0.0]]]},
                {"type": "Polygon", "coordinates": [SQUARE, HOLE]},
                {"type": "MultiPolygon", "coordinates": [[TRIANGLE]]},
            ]),
            "aniso_props": dict(geometries=[
                {"type": "Polygon", "coordinates": [L_SHAPE], "repulsion": ANISO},
                {"type": "LineString", "coordinates": [[3.0, -3.0], [4.0, 0.0]],
                 "repulsion": [[0.5, 0.0], [0.0, 3.0]]},
            ], properties=PROPS),
            "one_member": dict(geometries=[{"type": "MultiPoint", "coordinates": [[0.5, 0.5]]}]),
        },
    }


def queries(cls):
    """name -> call of one query on a geometry: every query the class answers."""
    q = {}
    for flag in (True, False):
        q[f"repulsion_vector/{flag}"] = lambda g, f=flag: g.repulsion_vector(X, min_dist_select=f)
    q["repulsion_vector/one_pair"] = lambda g: g.repulsion_vector([0.6, 0.45])
    for scaled, inverted in ((True, True), (True, False), (False, True)):
        key = f"scaled={scaled},inverted={inverted}"
        q[f"squared_dist/{key}"] = lambda g, s=scaled, i=inverted: g.squared_dist(X, s, i)
        q[f"eval/{key}"] = lambda g, s=scaled, i=inverted: g.eval(X, scaled=s, inverted=i)
        q[f"get_dist_matrix/{key}"] = lambda g, s=scaled, i=inverted: g.get_dist_matrix(s, i)
    for name, batch in BATCHES.items():
        q[f"in_bbox/{name}"] = lambda g, b=batch: g.in_bbox(b)
    q["get_center_point"] = lambda g: g.get_center_point()
    if cls is GeometryCollectionRGJ:
        q["squared_dist/return_reference"] = lambda g: g.squared_dist(X, return_reference=True)
        q["gradient"] = lambda g: g.gradient(X)
    return q


def encode(value):
    """A query's answer (or the error it raised) as JSON, floats exact."""
    if isinstance(value, BaseException):
        return {"error": type(value).__name__}
    if isinstance(value, tuple):
        return {"tuple": [encode(v) for v in value]}
    if isinstance(value, bool):
        return {"bool": value}
    a = np.asarray(value)
    return {"type": type(value).__name__, "dtype": a.dtype.str, "shape": list(a.shape),
            "data": a.ravel().tolist()}


def answer(call, g):
    try:
        return encode(call(g))
    except Exception as e:  # the error is part of the answer
        return encode(e)


def plain(export):
    """An export with its arrays as nested lists, as JSON holds it."""
    if isinstance(export, dict):
        return {k: plain(v) for k, v in export.items()}
    if isinstance(export, (list, tuple)):
        return [plain(v) for v in export]
    if isinstance(export, np.ndarray):
        return export.tolist()
    return export


def same(a, b):
    """Equal as stored: exact floats, NaN equal to NaN, -0.0 apart from 0.0."""
    return json.dumps(a) == json.dumps(b)


def rebuild(feature):
    """A geometry read back from its stored export."""
    from zelk.field.geometry import _RGJ_TYPES

    return _RGJ_TYPES[feature["geometry"]["type"]](**feature["geometry"],
                                                   properties=feature["properties"])


def main():
    GOLDEN.mkdir(exist_ok=True)
    for cls, shapes in cases().items():
        stored = {}
        for name, kwargs in shapes.items():
            g = cls(**kwargs)
            answers = {q: answer(call, g) for q, call in queries(cls).items()}
            export = plain(g.toRGeoJSON())
            pickles = {str(p): base64.b64encode(pickle.dumps(g, protocol=p)).decode()
                       for p in PROTOCOLS}
            # What is stored must read back to the same answers today.
            for data in pickles.values():
                back = pickle.loads(base64.b64decode(data))
                assert same({q: answer(c, back) for q, c in queries(cls).items()}, answers), name
            again = rebuild(export)
            assert same({q: answer(c, again) for q, c in queries(cls).items()}, answers), name
            stored[name] = {"export": export, "answers": answers, "pickles": pickles}
        path = GOLDEN / f"{cls.__name__}.json"
        path.write_text(json.dumps(stored, indent=1) + "\n")
        print(path, path.stat().st_size)


if __name__ == "__main__":
    main()
