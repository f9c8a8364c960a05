"""The thread setting, and large batches split across threads giving the
same bits as one thread."""

import operator
import os
import signal
import threading
import time

import numpy as np
import pytest

import zelk.field
from helpers import assert_same_bits, nearest_segment, rings_oracle
from zelk.field import kernels
from zelk.field.geometry.linestring import LineStringRGJ, MultiLineStringRGJ
from zelk.field.geometry.point import MultiPointRGJ
from zelk.field.geometry.polygon import MultiPolygonRGJ, PolygonRGJ


@pytest.fixture
def threads():
    """Sets the thread count for one test and restores it afterwards."""
    saved = zelk.field.get_num_threads()
    yield zelk.field.set_num_threads
    zelk.field.set_num_threads(saved)


def ring(rng, k, radius=1.0):
    ang = np.sort(rng.uniform(0.0, 2.0 * np.pi, k))
    return np.c_[np.cos(ang), np.sin(ang)] * rng.uniform(0.6, 1.0, k)[:, None] * radius


METRIC = np.array([[2.0, 0.3], [0.1, 0.5]])


def queries(rng, n):
    x = rng.uniform(-1.5, 1.5, (n, 2))
    x[::97] = np.round(x[::97], 1)  # ties between segments and points on edges
    x[5] = np.nan
    return x


SCENES = {
    "kernel": lambda rng, x: kernels.segment_repulsion_vectors(
        x[::-1], *cache_of(rng), METRIC),
    "point_in_rings": lambda rng, x: kernels.point_in_rings(
        np.tile(x, (4, 1)), ring(rng, 300), [ring(rng, 40, 0.3)]),
    "linestring": lambda rng, x: LineStringRGJ(ring(rng, 400), repulsion=METRIC).repulsion_vector(x),
    "multilinestring": lambda rng, x: MultiLineStringRGJ(
        [ring(rng, 200), ring(rng, 50, 0.5)], repulsion=METRIC).repulsion_vector(x),
    "polygon": lambda rng, x: PolygonRGJ(
        [ring(rng, 400), ring(rng, 40, 0.3)], repulsion=METRIC).repulsion_vector(x),
    "multipolygon": lambda rng, x: MultiPolygonRGJ(
        [[ring(rng, 300)], [ring(rng, 60, 0.4) + 2.0]], repulsion=METRIC).repulsion_vector(x),
    # Enough parts that a split batch is answered in the order of a curve.
    "large_polygon": lambda rng, x: PolygonRGJ(
        [ring(rng, 20_000), ring(rng, 400, 0.3)], repulsion=METRIC).repulsion_vector(x),
    "large_multipoint": lambda rng, x: MultiPointRGJ(
        rng.uniform(-1.0, 1.0, (20_000, 2))).repulsion_vector(x),
}


def cache_of(rng):
    pairs = np.stack([ring(rng, 300), ring(rng, 300)], axis=1)
    v = pairs[:, 1] - pairs[:, 0]
    return np.ascontiguousarray(pairs[:, 0]), v, np.where((v * v).sum(1) <= 0, 1.0, (v * v).sum(1))


@pytest.mark.parametrize("scene", SCENES)
@pytest.mark.parametrize("count", [2, 3, 7])
def test_several_threads_give_the_bits_of_one(threads, scene, count):
    x = queries(np.random.default_rng(1), 20_011)
    threads(1)
    one = SCENES[scene](np.random.default_rng(2), x)
    threads(count)
    several = SCENES[scene](np.random.default_rng(2), x)
    assert_same_bits(several, one, nan_bits=True)


def test_threaded_kernel_matches_the_formula(threads):
    rng = np.random.default_rng(3)
    p1, v, vdv = cache_of(rng)
    x = queries(rng, 4_000)
    threads(3)
    got = kernels.segment_repulsion_vectors(x, p1, v, vdv, METRIC)
    with np.errstate(invalid="ignore"):
        want = nearest_segment(x, p1, v, vdv, METRIC)
    assert np.array_equal(got, want, equal_nan=True)


def test_none_restores_the_default(threads, run_python):
    threads(1)
    assert zelk.field.get_num_threads() == 1
    threads(None)
    env = os.environ.get("ZELK_FIELD_NUM_THREADS", "").strip()
    assert zelk.field.get_num_threads() == (int(env) if env else len(os.sched_getaffinity(0)))


@pytest.mark.parametrize("value, error", [
    (1.5, TypeError), ("2", TypeError), ([2], TypeError), (0, ValueError), (-3, ValueError)])
def test_invalid_counts_raise_and_change_nothing(threads, value, error):
    threads(2)
    with pytest.raises(error):
        threads(value)
    assert zelk.field.get_num_threads() == 2
    if error is TypeError:  # what an integer setter raises
        with pytest.raises(TypeError):
            operator.index(value)


@pytest.mark.parametrize("env, expected", [("3", "3"), (" 5 ", "5"), ("", "cores"),
                                           ("zero", "cores"), ("0", "cores")])
def test_environment_variable_read_at_import(run_python, env, expected):
    proc = run_python("""
        import os, warnings
        warnings.simplefilter("error")
        try:
            import zelk.field as f
        except RuntimeWarning as w:
            warnings.simplefilter("ignore")
            import zelk.field as f
            print("warned")
        f.set_num_threads(1)
        f.set_num_threads(None)
        print(f.get_num_threads(), len(os.sched_getaffinity(0)))
    """, env={"ZELK_FIELD_NUM_THREADS": env})
    assert proc.returncode == 0, proc.stderr
    *warned, counts = proc.stdout.split("\n")[:-1]
    got, cores = counts.split()
    assert got == (cores if expected == "cores" else expected)
    assert bool(warned) == (env.strip() not in ("", "3", "5"))


def signal_once_threads_run(signum, before):
    """Sends `signum` to this process from a new thread as soon as a thread
    not in `before` (the ids in /proc) appears, or after 5 s."""
    def send():
        deadline = time.monotonic() + 5.0
        mine = str(threading.get_native_id())
        while not set(os.listdir("/proc/self/task")) - before - {mine} and time.monotonic() < deadline:
            time.sleep(0.001)
        os.kill(os.getpid(), signum)
    sender = threading.Thread(target=send)
    sender.start()
    return sender


def wait_for_no_extra_thread(before):
    # A joined thread may leave /proc a moment after the join.
    deadline = time.monotonic() + 2.0
    while len(os.listdir("/proc/self/task")) > len(before) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert len(os.listdir("/proc/self/task")) <= len(before)


@pytest.mark.parametrize("calls", ["many short", "one long"])
def test_interrupt_during_threaded_calls_leaves_no_thread(threads, calls):
    rng = np.random.default_rng(4)
    threads(4)
    before = set(os.listdir("/proc/self/task"))
    if calls == "many short":
        polygon = PolygonRGJ([ring(rng, 2000)], repulsion=METRIC)
        x = rng.uniform(-1.5, 1.5, (50_000, 2))
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
        try:
            with pytest.raises(KeyboardInterrupt):
                for _ in range(1000):
                    polygon.repulsion_vector(x)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
    else:
        # Seconds of work in one call: the handler runs inside it, while its
        # workers still run, and its KeyboardInterrupt ends the call.
        points = MultiPointRGJ(rng.normal(size=(5000, 2)))
        x = rng.normal(size=(4_000_000, 2))
        workers_at_handler = []

        def handler(signum, frame):
            workers_at_handler.append(len(set(os.listdir("/proc/self/task")) - before))
            raise KeyboardInterrupt

        previous = signal.signal(signal.SIGINT, handler)
        try:
            sender = signal_once_threads_run(signal.SIGINT, before)
            with pytest.raises(KeyboardInterrupt):
                points.repulsion_vector(x)
            sender.join()
        finally:
            signal.signal(signal.SIGINT, previous)
        assert len(workers_at_handler) == 1 and workers_at_handler[0] >= 2  # the sender and a worker
    wait_for_no_extra_thread(before)


def test_handler_that_returns_lets_the_call_finish(threads):
    rng = np.random.default_rng(9)
    points = MultiPointRGJ(rng.normal(size=(2000, 2)))
    x = rng.normal(size=(600_000, 2))
    threads(1)
    one = points.repulsion_vector(x)
    threads(3)
    before = set(os.listdir("/proc/self/task"))
    handled = []
    previous = signal.signal(signal.SIGUSR1, lambda signum, frame: handled.append(signum))
    try:
        sender = signal_once_threads_run(signal.SIGUSR1, before)
        several = points.repulsion_vector(x)
        sender.join()
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert handled == [signal.SIGUSR1]
    assert np.array_equal(one.view(np.uint8), several.view(np.uint8))
    wait_for_no_extra_thread(before)


CACHED = {
    "linestring": lambda rng: LineStringRGJ(ring(rng, 300), repulsion=METRIC),
    "multilinestring": lambda rng: MultiLineStringRGJ([ring(rng, 200), ring(rng, 90, 0.5)],
                                                      repulsion=METRIC),
    # Queries far outside, so every row comes from the segments.
    "polygon": lambda rng: PolygonRGJ([ring(rng, 300), ring(rng, 30, 0.3)], repulsion=METRIC),
    "multipolygon": lambda rng: MultiPolygonRGJ([[ring(rng, 200)], [ring(rng, 80, 0.4) + 2.0]],
                                                repulsion=METRIC),
}

CHANGES = {
    "replace_p1": lambda g: setattr(g, "_p1", g._p1 + 0.25),
    "p1_in_place": lambda g: g._p1.__setitem__((slice(0, 40), 0), g._p1[:40, 0] - 3.0),
    "v_in_place": lambda g: g._v.__imul__(0.5),
    "replace_v_dot_v": lambda g: setattr(g, "_v_dot_v", g._v_dot_v * 4.0),
    "same_bytes_new_object": lambda g: setattr(g, "_p1", g._p1.copy()),
}


@pytest.mark.parametrize("kind", CACHED)
@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("count", [1, 2])
def test_kept_index_notices_changed_cache(threads, kind, change, count):
    threads(count)
    rng = np.random.default_rng(5)
    g = CACHED[kind](rng)
    x = rng.uniform(3.0, 6.0, (3000, 2)) * rng.choice([-1.0, 1.0], (3000, 2))
    first = g.repulsion_vector(x)  # builds and keeps the index
    assert np.array_equal(first, nearest_segment(x, g._p1, g._v, g._v_dot_v, g.get_dist_matrix()))
    CHANGES[change](g)
    again = g.repulsion_vector(x)
    assert np.array_equal(again, nearest_segment(x, g._p1, g._v, g._v_dot_v, g.get_dist_matrix()))


RING_CHANGES = {
    "outer_in_place": lambda p, rng: p.rings[0].__setitem__(slice(0, 900), p.rings[0][:900] * 0.5),
    "hole_in_place": lambda p, rng: p.rings[1].__iadd__(0.2),
    "replace_outer": lambda p, rng: p.rings.__setitem__(0, p.rings[0] * 1.3),
    "drop_hole": lambda p, rng: p.rings.pop(),
    "add_hole": lambda p, rng: p.rings.append(ring(rng, 50, 0.2) + 0.3),
    "same_bytes_new_object": lambda p, rng: p.rings.__setitem__(0, p.rings[0].copy()),
}


@pytest.mark.parametrize("change", RING_CHANGES)
@pytest.mark.parametrize("outer", [120, 3000])
@pytest.mark.parametrize("count", [1, 2])
def test_kept_ring_index_notices_changed_rings(threads, change, outer, count):
    threads(count)
    rng = np.random.default_rng(6)
    p = PolygonRGJ([ring(rng, outer), ring(rng, 40, 0.3)], repulsion=METRIC)
    x = queries(rng, 1000)
    tiled = np.tile(x, (18 if count > 1 else 1, 1))  # split across threads when count > 1

    def expected():
        with np.errstate(invalid="ignore"):
            want = nearest_segment(x, p._p1, p._v, p._v_dot_v, p.get_dist_matrix())
        want[rings_oracle(x, p.rings[0], p.rings[1:])] = 0.0
        return np.tile(want, (len(tiled) // len(x), 1))

    assert np.array_equal(p.repulsion_vector(tiled), expected(), equal_nan=True)  # keeps the index
    RING_CHANGES[change](p, rng)
    # A small batch only reuses a kept index, a large one rebuilds it.
    assert np.array_equal(p.repulsion_vector(x[:10]), expected()[:10], equal_nan=True)
    assert np.array_equal(p.repulsion_vector(tiled), expected(), equal_nan=True)


# 12000 vertices: strips dense enough for a crossing tree, built once the
# batches together repay it.
@pytest.mark.parametrize("outer, holes", [(120, 1), (3000, 3), (12000, 0), (12000, 2)])
def test_kept_ring_index_gives_the_bits_of_small_batches(outer, holes):
    rng = np.random.default_rng(7)
    p = PolygonRGJ([ring(rng, outer)] + [ring(rng, 30, 0.15) + 0.4 * rng.uniform(-1, 1, 2)
                                         for _ in range(holes)], repulsion=METRIC)
    x = np.r_[queries(rng, 5000), p.rings[0][::7]]  # vertices lie on edges; visited by band
    kept = [p.repulsion_vector(x) for _ in range(5)]  # built, reused, grown
    # Batches this small are tested edge by edge, without any index.
    fresh = PolygonRGJ(p.rings, repulsion=METRIC)
    small = np.concatenate([fresh.repulsion_vector(c) for c in np.array_split(x, len(x) // 40)])
    for got in kept:
        assert_same_bits(got, small, nan_bits=True)
