"""zelk.field.num_threads blocks, what the compiled modules read of them, and
the thread share of Dask tasks."""

import asyncio
import os
import threading

import numpy as np
import pytest

import zelk.field
from zelk.field import num_threads
from zelk.field.geometry.point import MultiPointRGJ


@pytest.fixture
def process_threads():
    saved = zelk.field._num_threads
    yield zelk.field.set_num_threads
    zelk.field.set_num_threads(saved)


def test_blocks_nest_and_restore(process_threads):
    process_threads(3)
    with num_threads(2) as inner:
        assert inner == zelk.field.get_num_threads() == 2
        with num_threads(5):
            assert zelk.field.get_num_threads() == 5
            with num_threads(None):
                assert zelk.field.get_num_threads() == 3
        assert zelk.field.get_num_threads() == 2
        process_threads(4)  # the process setting changes, the block's holds
        assert zelk.field.get_num_threads() == 2
    assert zelk.field.get_num_threads() == 4


def test_block_restores_on_exception_and_reuse(process_threads):
    process_threads(3)
    block = num_threads(1)
    with pytest.raises(KeyError):
        with block:
            raise KeyError("x")
    assert zelk.field.get_num_threads() == 3
    with block:
        with block:
            assert zelk.field.get_num_threads() == 1
        assert zelk.field.get_num_threads() == 1
    assert zelk.field.get_num_threads() == 3


@pytest.mark.parametrize("value, error", [(0, ValueError), (-1, ValueError), (2.0, TypeError), ("2", TypeError)])
def test_invalid_block_counts_raise_on_creation(process_threads, value, error):
    process_threads(3)
    with pytest.raises(error):
        num_threads(value)
    assert zelk.field.get_num_threads() == 3


def test_blocks_are_per_thread_and_per_task(process_threads):
    process_threads(3)
    inside = threading.Barrier(2)
    seen = {}

    def run(name, n):
        with num_threads(n):
            inside.wait()  # both blocks are open at once
            seen[name] = zelk.field.get_num_threads()
            inside.wait()

    workers = [threading.Thread(target=run, args=(k, n)) for k, n in (("a", 1), ("b", 7))]
    with num_threads(2):
        for t in workers:
            t.start()
        started_inside = []
        t = threading.Thread(target=lambda: started_inside.append(zelk.field.get_num_threads()))
        t.start()
        t.join()
        for t in workers:
            t.join()
        assert zelk.field.get_num_threads() == 2
    assert seen == {"a": 1, "b": 7} and started_inside == [3]

    async def task(n):
        with num_threads(n):
            await asyncio.sleep(0.01)
            return zelk.field.get_num_threads()

    async def both():
        return await asyncio.gather(task(1), task(6))

    assert asyncio.run(both()) == [1, 6]
    assert zelk.field.get_num_threads() == 3


def threads_started_during(call):
    """How many threads `call` started (a sampler thread collects the ids in
    /proc while the call runs, which it can only while the call releases the
    lock), and what it returned."""
    before = set(os.listdir("/proc/self/task"))
    seen, running, me = set(), [True], []

    def sample():
        me.append(str(threading.get_native_id()))
        while running[0]:
            seen.update(os.listdir("/proc/self/task"))

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        result = call()
    finally:
        running[0] = False
        sampler.join()
    return len(seen - before - set(me)), result


def test_compiled_modules_read_the_block(process_threads):
    rng = np.random.default_rng(8)
    g = MultiPointRGJ(rng.normal(size=(3000, 2)))
    x = rng.normal(size=(400_000, 2))
    process_threads(1)
    extra, one = threads_started_during(lambda: g.repulsion_vector(x))
    assert extra == 0
    with num_threads(3):
        extra, three = threads_started_during(lambda: g.repulsion_vector(x))
    assert extra == 2 and np.array_equal(one, three)
    process_threads(3)
    with num_threads(1):
        extra, _ = threads_started_during(lambda: g.repulsion_vector(x))
    assert extra == 0


# --- Dask ---------------------------------------------------------------------

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
zdask = pytest.importorskip("zelk.field.dask")


class Probe:
    """A stand-in geometry answering with the thread count its caller set."""

    def eval(self, x):
        return np.full(len(x), float(zelk.field.get_num_threads()))


def seen_by_blocks(**compute):
    points = da.zeros((40, 2), chunks=(10, 2))
    return set(zdask.value(Probe(), points).compute(**compute).tolist())


@pytest.fixture
def eight_cores(monkeypatch, process_threads):
    monkeypatch.setattr(zelk.field, "_cores", lambda: 8)
    process_threads(8)


def test_threaded_scheduler_tasks_share_the_cores(eight_cores, process_threads):
    assert zdask.task_threads() == 8  # not in a task
    assert seen_by_blocks(scheduler="threads", num_workers=2) == {4.0}
    assert seen_by_blocks(scheduler="threads", num_workers=16) == {1.0}
    assert seen_by_blocks(scheduler="sync") == {8.0}  # the caller's own thread
    process_threads(3)
    assert seen_by_blocks(scheduler="threads", num_workers=2) == {3.0}
    with num_threads(5):  # the scheduler hands its tasks the caller's context
        assert seen_by_blocks(scheduler="threads", num_workers=2) == {5.0}
    # In a task of one's own, through the documented helper.
    shares = dask.compute(*[dask.delayed(zdask.task_threads)() for _ in range(4)],
                          scheduler="threads", num_workers=4)
    assert set(shares) == {2}


def test_distributed_worker_tasks_share_the_cores(eight_cores):
    distributed = pytest.importorskip("distributed")
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                            dashboard_address=None) as client:
        assert set(client.gather(client.map(lambda i: zdask.task_threads(), range(4)))) == {4}
        points = da.zeros((40, 2), chunks=(10, 2))
        assert set(client.compute(zdask.value(Probe(), points), sync=True).tolist()) == {4.0}
