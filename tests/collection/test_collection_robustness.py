"""Garbage in any argument, field or state of a collection, members that answer
with garbage, and members that replace the collection's fields in the middle of
a query: each raises a Python exception or returns, never takes the
interpreter down. Each batch runs in its own process."""

import pytest

PRELUDE = r'''
import gc, itertools, pickle, random
import numpy as np
import zelk.field.geometry as package
import zelk.field.geometry.collection as C

GARBAGE = COMMON + [
    np.zeros((3, 2, 2)), np.ones((2, 2, 3)), np.full((1, 2, 2), np.nan), np.ones((3,), np.int64),
    np.ones((2, 2))[::-1], np.ones((6, 2))[::2], np.broadcast_to(np.ones((1, 2)), (4, 2)), [None, None],
    [{"type": "Point", "coordinates": [0, 0]}], [{"type": "Nope"}], [{"coordinates": [0, 0]}], ["x"],
]
rng = random.Random(4321)
X = np.array([[0.5, 0.5], [3.0, -1.0], [9.0, 9.0]])
GEOMS = [
    {"type": "Point", "coordinates": [1, 2], "repulsion": [[2, 0.5], [0, 1]]},
    {"type": "MultiPoint", "coordinates": [[0, 0], [3, 1]]},
    {"type": "LineString", "coordinates": [[0, 0], [2, 3], [4, 0]]},
    {"type": "Polygon", "coordinates": [[[0, 0], [4, 0], [4, 4], [0, 4]], [[1, 1], [2, 1], [2, 2]]]},
]


def instances():
    return [
        C.GeometryCollectionRGJ(GEOMS),
        C.GeometryCollectionRGJ(GEOMS[:1], properties={"a": 1}),
        C.GeometryCollectionRGJ.__new__(C.GeometryCollectionRGJ),
    ]


def exercise(g, v=None):
    """Every public operation, with valid arguments (and `v` where given)."""
    a = X if v is None else v
    for x in (a, X):
        attempt(g.repulsion_vector, x)
        attempt(g.repulsion_vector, x, False)
        attempt(g.squared_dist, x)
        attempt(g.squared_dist, x, False, False, True)
        attempt(g.gradient, x)
        attempt(g.eval, x)
        attempt(g.in_bbox, x)
    attempt(g.get_dist_matrix)
    attempt(g.get_dist_matrix, False, False)
    attempt(g.get_center_point)
    attempt(g.set_repulsion, [[1.0, 0.0], [0.0, 2.0]])
    attempt(g.toRGeoJSON)
    attempt(lambda: pickle.loads(pickle.dumps(g)))
'''

BATCHES = {
    "arguments": r'''
for v in GARBAGE:
    for g in instances():
        exercise(g, v)
        attempt(g.__init__, v)
        attempt(g.__init__, GEOMS, v)
        attempt(g.__init__, [v])
        attempt(g.__init__, [dict(GEOMS[0], repulsion=v)])
        attempt(g.__init__, [dict(GEOMS[1], coordinates=v)])
        attempt(g.repulsion_vector, X, v, extra=v)
        attempt(g.squared_dist, X, v, v, v)
        attempt(g.set_repulsion, v)
        attempt(g.set_coordinates, v)
        exercise(g)
''',
    "fields": r'''
FIELDS = ["rgjs", "inv_repulsions", "grad_matrixes", "coordinates", "repulsion", "inv_repulsion",
          "eye_repulsion", "grad_matrix", "properties", "bbox"]
for field in FIELDS:
    for v in GARBAGE:
        for g in instances():
            attempt(setattr, g, field, v)
            exercise(g)
            attempt(delattr, g, field)
            exercise(g)
for g in instances()[:1]:
    for v in GARBAGE:
        g.rgjs = [v, g.rgjs[0] if g.rgjs else None]
        exercise(g)
''',
    "setstate": r'''
for _ in range(600):
    state = tuple(rng.choice(GARBAGE) for _ in range(rng.choice([0, 9, 10, 10, 10, 11])))
    for g in instances():
        attempt(g.__setstate__, state)
        exercise(g)
for a, b, c in itertools.product(GARBAGE[::3], GARBAGE[::4], GARBAGE[::5]):
    attempt(C.__pyx_unpickle_GeometryCollectionRGJ, a, b, c)
''',
    # Members whose answers have the wrong shape, dtype, layout or length, or
    # that replace the collection's own fields while it is reading them.
    "members": r'''
class Odd:
    def __init__(self, answer=None, owner=None, **kwargs):
        self.answer, self.owner = answer, owner
        self.grad_matrix = np.eye(2)
        self.bbox = np.array([[0.0, 0.0], [1.0, 1.0]])

    def churn(self):
        if self.owner is not None:
            o = self.owner
            o.inv_repulsions = rng.choice([None, np.zeros((1, 2, 2)), "x"])
            o.grad_matrixes = rng.choice([None, np.zeros((7, 2, 2)), np.ones(3)])
            o.rgjs = rng.choice([None, [], [self]])
            gc.collect()
            junk = [np.full((50000, 2), 7.0) for _ in range(3)]
        return self.answer() if callable(self.answer) else self.answer

    def get_dist_matrix(self, scaled=True, inverted=True):
        return np.eye(2)

    def squared_dist(self, x, scaled=True, inverted=True):
        return self.churn()

    def repulsion_vector(self, x, min_dist_select=True, **kwargs):
        return self.churn()

    def in_bbox(self, x):
        return self.churn()

    def get_center_point(self):
        return self.churn()

    def set_repulsion(self, r):
        return self.churn()

    def eval(self, x):
        return self.churn()

    def toRGeoJSON(self):
        return self.churn()


table = dict(package._RGJ_TYPES, Odd=Odd)
package._RGJ_TYPES = table
try:
    for v in GARBAGE + [lambda: np.ones((10**6, 2)), lambda: np.ones(10**6)]:
        g = C.GeometryCollectionRGJ([{"type": "Odd", "answer": v}, GEOMS[2], {"type": "Odd", "answer": v}])
        exercise(g)
        h = C.GeometryCollectionRGJ([GEOMS[1], {"type": "Odd", "answer": v}])
        for m in h.rgjs:
            if isinstance(m, Odd):
                m.owner = h
        for _ in range(3):
            exercise(h)
            h.__init__([GEOMS[1], {"type": "Odd", "answer": v}])
            for m in h.rgjs:
                if isinstance(m, Odd):
                    m.owner = h
finally:
    package._RGJ_TYPES = table
''',
}


@pytest.mark.parametrize("batch", list(BATCHES))
def test_garbage_never_crashes(run_garbage, batch):
    run_garbage(PRELUDE + BATCHES[batch], least=200)
