"""The line-string formulas written out in NumPy, as the tests' reference."""

import os

import numpy as np

# AddressSanitizer aborts on a refused operator new instead of throwing
# std::bad_alloc, and on any huge malloc unless told otherwise.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


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


def all_offsets(x, p1, v, v_dot_v):
    """Query point minus closest point, for every (segment, point) pair, segment-major."""
    x = np.atleast_2d(x).astype(np.float64)
    t = np.clip(((x[None, :, :] - p1[:, None, :]) * v[:, None, :]).sum(axis=2) / v_dot_v[:, None], 0.0, 1.0)
    proj = p1[:, None, :] + t[..., None] * v[:, None, :]
    return (x[None, :, :] - proj).reshape(-1, 2)


def metric_forms(w, m):
    """w . (m w) per row, evaluated as (w0 (m00 w0 + m01 w1)) + (w1 (m10 w0 + m11 w1))."""
    w0, w1 = w[..., 0], w[..., 1]
    return w0 * (m[0, 0] * w0 + m[0, 1] * w1) + w1 * (m[1, 0] * w0 + m[1, 1] * w1)


def nearest_offsets(x, p1, v, v_dot_v, metric):
    """Per query point, the candidate with the smallest quadratic form (first on ties)."""
    x = np.atleast_2d(x).astype(np.float64)
    w = all_offsets(x, p1, v, v_dot_v).reshape(len(p1), len(x), 2)
    best = metric_forms(w, metric).argmin(axis=0)
    return w[best, np.arange(len(x))]


def joined_bbox(strings):
    return np.concatenate([np.array([c.min(0), c.max(0)]) for c in strings])


def joined_center(strings):
    coords = np.concatenate([c.reshape((-1, 2)) for c in strings], axis=0)
    return (coords.min(0) + coords.max(0)) / 2.0


def assert_same_bits(got, want):
    """Same dtype, shape and values, NaN where NaN and the sign of every zero (a
    NaN's sign is left to the hardware and the compiler's operand order)."""
    got = np.asarray(got)
    want = np.asarray(want)
    assert got.dtype == want.dtype and got.shape == want.shape, (got.dtype, got.shape, want.dtype, want.shape)
    np.testing.assert_array_equal(got, want)
    if got.dtype.kind == "f":
        numbers = ~np.isnan(want)
        np.testing.assert_array_equal(np.signbit(got[numbers]), np.signbit(want[numbers]))


def random_metric(rng, symmetric):
    """A positive definite 2x2 metric, anisotropic, optionally with a skew part."""
    a = rng.normal(size=(2, 2))
    m = a @ a.T + np.diag(rng.uniform(0.05, 3.0, 2))
    if not symmetric:
        k = rng.uniform(-1.0, 1.0)
        m = m + np.array([[0.0, k], [-k, 0.0]])
    return m
