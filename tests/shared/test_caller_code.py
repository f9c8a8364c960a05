"""Queries convert their inputs before the caller's code runs: an overridden
get_dist_matrix or a flag with its own __bool__ that changes the query array or
the points in place (or resizes them, freeing the memory read) sees the answer
for the inputs as they were when the call began."""

import numpy as np
import pytest

from helpers import Flag
from zelk.field.geometry.linestring import LineStringRGJ, MultiLineStringRGJ
from zelk.field.geometry.point import MultiPointRGJ
from zelk.field.geometry.polygon import MultiPolygonRGJ

SHAPES = [
    (MultiPointRGJ, [[0.0, 0.0], [10.0, 0.0], [3.0, 7.0]]),
    (LineStringRGJ, [[0.0, 0.0], [10.0, 0.0], [3.0, 7.0]]),
    (MultiLineStringRGJ, [[[0.0, 0.0], [10.0, 0.0]], [[3.0, 7.0], [4.0, 9.0]]]),
    (MultiPolygonRGJ, [[[[0.0, 0.0], [4.0, 0.0], [4.0, 4.0]]], [[[8.0, 8.0], [9.0, 8.0], [9.0, 9.0]]]]),
]
REP = [[2.0, 0.5], [0.0, 1.0]]


def spoil(x, how):
    if how == "write":
        x[:] = 100.0
    else:
        x.resize((200000, 2), refcheck=False)  # frees the buffer the call began with


def query():
    return np.random.default_rng(3).normal(size=(40, 2)) * 6


@pytest.mark.parametrize("cls, coords", SHAPES, ids=lambda v: getattr(v, "__name__", ""))
@pytest.mark.parametrize("how", ["write", "resize"])
def test_overridden_metric_changing_x(cls, coords, how):
    want = cls(coords, REP).repulsion_vector(query())
    box = {}

    class Spoiling(cls):
        def get_dist_matrix(self, scaled=True, inverted=True):
            spoil(box["x"], how)
            return super().get_dist_matrix(scaled=scaled, inverted=inverted)

    box["x"] = x = query()
    np.testing.assert_array_equal(Spoiling(coords, REP).repulsion_vector(x), want)


@pytest.mark.parametrize("cls, coords", SHAPES, ids=lambda v: getattr(v, "__name__", ""))
@pytest.mark.parametrize("how", ["write", "resize"])
@pytest.mark.parametrize("value", [True, False])
def test_flag_changing_x(cls, coords, how, value):
    g = cls(coords, REP)
    want = g.repulsion_vector(query(), value)
    x = query()
    np.testing.assert_array_equal(g.repulsion_vector(x, Flag(value, lambda: spoil(x, how))), want)


@pytest.mark.parametrize("how", ["write", "resize"])
@pytest.mark.parametrize("select", [True, False])
def test_multipoint_points_changed_by_the_metric(how, select):
    coords = np.array(SHAPES[0][1])
    want = MultiPointRGJ(coords, REP).repulsion_vector(query(), select)

    class Spoiling(MultiPointRGJ):
        def get_dist_matrix(self, scaled=True, inverted=True):
            spoil(self.coordinates, how)
            return super().get_dist_matrix(scaled=scaled, inverted=inverted)

    g = Spoiling(coords, REP)
    g.coordinates = coords.copy()  # an array that owns its memory, so that it can be resized
    np.testing.assert_array_equal(g.repulsion_vector(query(), Flag(select, lambda c=g.coordinates: spoil(c, how))), want)


class RecordingNumpy:
    """NumPy, with the names looked up on it recorded."""

    def __init__(self):
        self.names = []

    def __getattr__(self, name):
        self.names.append(name)
        return getattr(np, name)


@pytest.mark.parametrize("cls, coords", SHAPES, ids=lambda v: getattr(v, "__name__", ""))
@pytest.mark.parametrize("select", [True, False])
def test_rebound_np_is_used_even_for_float64_batches(monkeypatch, cls, coords, select):
    import sys

    g = cls(coords, REP)
    want = g.repulsion_vector(query(), select)
    fake = RecordingNumpy()
    monkeypatch.setattr(sys.modules[cls.__module__], "np", fake)
    np.testing.assert_array_equal(g.repulsion_vector(query(), select), want)
    assert "atleast_2d" in fake.names
    monkeypatch.setattr(sys.modules[cls.__module__], "np", None)
    with pytest.raises(AttributeError, match="atleast_2d"):
        g.repulsion_vector(query(), select)
