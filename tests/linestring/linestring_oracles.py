"""The line-string cache formulas written out in NumPy, as the tests' reference."""

import os

import numpy as np

from helpers import assert_same_bits

# AddressSanitizer aborts on a refused operator new instead of throwing
# std::bad_alloc, and on any huge malloc unless told otherwise.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
CACHE = ("lines_n", "points_in_line_pair", "_p1", "_v", "_v_dot_v")


def cache_of(g):
    return tuple(getattr(g, f) for f in CACHE)


def assert_cache(g, want, strides=False):
    """g's segment cache is `want`: the same lines_n, then arrays of the same types and bits (and strides)."""
    assert g.lines_n == want[0]
    for a, b in zip(cache_of(g)[1:], want[1:]):
        assert type(a) is type(b) and (not strides or a.strides == b.strides)
        assert_same_bits(a, b)


def line_cache(c):
    """lines_n, points_in_line_pair, _p1, _v, _v_dot_v of one line string."""
    lines_n = len(c) - 1
    pairs = np.stack([c[:-1], c[1:]], axis=1)
    return lines_n, pairs, *derived_cache(pairs)


def joined_cache(strings):
    """The same for several line strings, paired within each before joining."""
    lines_n = sum(len(c) - 1 for c in strings)
    pairs = np.concatenate([[c[:-1], c[1:]] for c in strings], axis=1).swapaxes(0, 1)
    return lines_n, pairs, *derived_cache(pairs)


def derived_cache(pairs):
    p1 = np.ascontiguousarray(pairs[:, 0], dtype=np.float64)
    v = np.ascontiguousarray(pairs[:, 1] - pairs[:, 0], dtype=np.float64)
    vdv = (v * v).sum(axis=1)
    return p1, v, np.where(vdv <= 0, 1.0, vdv)


def joined_bbox(strings):
    return np.concatenate([np.array([c.min(0), c.max(0)]) for c in strings])


def joined_center(strings):
    coords = np.concatenate([c.reshape((-1, 2)) for c in strings], axis=0)
    return (coords.min(0) + coords.max(0)) / 2.0
