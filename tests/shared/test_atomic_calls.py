"""A large call releases the interpreter lock while its threads work; another
thread writing into its inputs meanwhile must leave an answer that belongs to
one state of them, before or after a write, never a mix of the two."""

import threading

import numpy as np
import pytest

import zelk.field
from zelk.field.geometry import (
    GeometryCollectionRGJ,
    LineStringRGJ,
    MultiLineStringRGJ,
    MultiPointRGJ,
    MultiPolygonRGJ,
    PolygonRGJ,
)

A = np.array([[1.0, 0.0], [0.0, 1.0]])
B = np.array([[4.0, 1.5], [1.5, 0.8]])  # picks other parts than A does


def ring(rng, k, radius=1.0, centre=(0.0, 0.0)):
    ang = np.sort(rng.uniform(0.0, 2.0 * np.pi, k))
    r = rng.uniform(0.6, 1.0, k)[:, None] * radius
    return np.c_[np.cos(ang), np.sin(ang)] * r + centre


def scenes(rng):
    return {
        "linestring": LineStringRGJ(ring(rng, 3000)),
        "multilinestring": MultiLineStringRGJ([ring(rng, 1500), ring(rng, 500, 0.4)]),
        "polygon": PolygonRGJ([ring(rng, 1500), ring(rng, 300, 0.3)]),
        "multipolygon": MultiPolygonRGJ([[ring(rng, 800)], [ring(rng, 400, 0.5, (2.0, 0.0))]]),
        "multipoint": MultiPointRGJ(rng.uniform(-1, 1, (3000, 2))),
    }


def toggling(write_a, write_b):
    """A thread that writes state B and state A in turn until stopped."""
    stop = threading.Event()

    def run():
        while not stop.is_set():
            write_b()
            write_a()

    t = threading.Thread(target=run)
    return t, stop


def check_one_state(call, write_a, write_b, trials=3):
    zelk.field.set_num_threads(1)
    try:
        write_b()
        want_b = call()
        write_a()
        want_a = call()
    finally:
        zelk.field.set_num_threads(None)
    assert not np.array_equal(want_a, want_b, equal_nan=True)
    for _ in range(trials):
        t, stop = toggling(write_a, write_b)
        t.start()
        try:
            got = call()
        finally:
            stop.set()
            t.join()
        write_a()
        same_a = np.array_equal(got, want_a, equal_nan=True)
        assert same_a or np.array_equal(got, want_b, equal_nan=True)


@pytest.fixture
def two_threads():
    saved = zelk.field.get_num_threads()
    zelk.field.set_num_threads(2)
    yield
    zelk.field.set_num_threads(saved)


@pytest.mark.parametrize("name", ["linestring", "multilinestring", "polygon", "multipolygon", "multipoint"])
@pytest.mark.parametrize("query", ["repulsion_vector", "squared_dist", "eval"])
def test_metric_written_during_call(rng, two_threads, name, query):
    g = scenes(rng)[name]
    x = rng.uniform(-1.5, 1.5, (120_000, 2))
    # The polygon picks its edge under its own `metric`; the others under inv_repulsion.
    fields = [g.inv_repulsion] + ([g.metric] if name == "polygon" else [])

    def write(m):
        for f in fields:
            f[...] = m

    check_one_state(lambda: getattr(g, query)(x), lambda: write(A), lambda: write(B))


@pytest.mark.parametrize("name", ["linestring", "polygon", "multipoint"])
def test_query_rows_written_during_call(rng, two_threads, name):
    g = scenes(rng)[name]
    x = rng.uniform(-1.5, 1.5, (120_000, 2))
    rows_a = x[50_000:50_200].copy()
    rows_b = rows_a[::-1] * 0.1  # moves them inside the polygon and between parts

    def write(rows):
        x[50_000:50_200] = rows

    check_one_state(lambda: g.repulsion_vector(x), lambda: write(rows_a), lambda: write(rows_b))


@pytest.mark.parametrize("query", ["repulsion_vector", "squared_dist", "gradient"])
def test_collection_member_metric_written_during_call(rng, two_threads, query):
    members = [s.toRGeoJSON()["geometry"] for s in scenes(rng).values()]
    c = GeometryCollectionRGJ(members)
    x = rng.uniform(-1.5, 3.0, (60_000, 2))
    line = c.rgjs[0]

    def write(m):
        line.inv_repulsion[...] = m
        c.inv_repulsions[0] = m

    check_one_state(lambda: getattr(c, query)(x), lambda: write(A), lambda: write(B))
