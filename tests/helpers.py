"""What tests in every folder share: bit-for-bit comparison, answering as a
formula does, the segment and ring formulas in NumPy, random metrics, truth
flags and trivial subclasses."""

import numpy as np
import pytest


def assert_same_bits(got, want, nan_bits=False):
    """Same dtype, shape and bits, zeros' signs included; a NaN matches any NaN unless nan_bits."""
    got, want = np.asarray(got), np.asarray(want)
    assert (got.dtype, got.shape) == (want.dtype, want.shape), (got.dtype, got.shape, want.dtype, want.shape)
    np.testing.assert_array_equal(got, want)  # the values, and NaN where NaN
    if want.dtype.kind in "fc":
        # A NaN's sign and payload are left to the hardware and the compiler's operand order.
        keep = slice(None) if nan_bits else ~np.isnan(want)
        assert got[keep].tobytes() == want[keep].tobytes(), (got, want)


def assert_like(call, formula, same=assert_same_bits):
    """call() gives what formula() gives (as `same` compares), or raises its error with its message."""
    try:
        want = formula()
    except Exception as e:
        with pytest.raises(type(e)) as info:
            call()
        assert str(info.value) == str(e)
    else:
        same(call(), want)


def random_metric(rng, symmetric=False):
    """A positive definite 2x2 metric, rotated and anisotropic, with a skew part unless symmetric."""
    a = rng.uniform(-np.pi, np.pi)
    rot = np.array([[np.cos(a), -np.sin(a)], [np.sin(a), np.cos(a)]])
    m = rot @ np.diag(rng.uniform(0.01, 10.0, size=2)) @ rot.T
    return m if symmetric else m + np.array([[0.0, 1.0], [-1.0, 0.0]]) * rng.uniform(-2, 2)


def segment_candidates(points, p1, v, v_dot_v):
    """w[j, i]: query j minus its clamped projection on segment i."""
    points = np.asarray(points, dtype=np.float64)
    with np.errstate(all="ignore"):
        diff = points[:, None, :] - p1[None, :, :]
        # summed as the line strings' every-segment form sums it (from 0.0)
        dot = (diff * v[None, :, :]).sum(axis=-1)
        t = np.clip(dot / v_dot_v, 0.0, 1.0)
        proj = p1 + t[..., None] * v
        return points[:, None, :] - proj


def metric_form(w, metric):
    """w . (metric w), as (w0 * (m00 w0 + m01 w1)) + (w1 * (m10 w0 + m11 w1))."""
    with np.errstate(all="ignore"):
        a0 = metric[0, 0] * w[..., 0] + metric[0, 1] * w[..., 1]
        a1 = metric[1, 0] * w[..., 0] + metric[1, 1] * w[..., 1]
        return w[..., 0] * a0 + w[..., 1] * a1


def nearest_segment(points, p1, v, v_dot_v, metric):
    """Per query, the candidate of smallest form: the lowest segment on ties, a NaN form as argmin takes it."""
    w = segment_candidates(points, p1, v, v_dot_v)
    return w[np.arange(len(w)), np.argmin(metric_form(w, metric), axis=1)]


def all_offsets(x, p1, v, v_dot_v):
    """Every (segment, query) pair's offset, segment-major rows, as the classes' NumPy route writes it (odd fields fail alike)."""
    x = np.atleast_2d(x).astype(np.float64)
    t = np.clip(((x[None, :, :] - p1[:, None, :]) * v[:, None, :]).sum(axis=2) / v_dot_v[:, None], 0.0, 1.0)
    proj = p1[:, None, :] + t[..., None] * v[:, None, :]
    return (x[None, :, :] - proj).reshape(-1, 2)


def crossing_parity(points, ring):
    """Even-odd rule by testing every edge of the ring (closing edge included)."""
    points = np.asarray(points, dtype=np.float64)
    ring = np.asarray(ring, dtype=np.float64).reshape(-1, 2)
    if len(ring) == 0:
        return np.zeros(len(points), dtype=bool)
    a = ring
    b = np.roll(ring, -1, axis=0)
    x = points[:, 0:1]
    y = points[:, 1:2]
    with np.errstate(all="ignore"):
        straddles = (a[:, 1] > y) != (b[:, 1] > y)
        meets = x < (b[:, 0] - a[:, 0]) * (y - a[:, 1]) / (b[:, 1] - a[:, 1]) + a[:, 0]
    return np.logical_xor.reduce(straddles & meets, axis=1)


def has_area(ring):
    """At least three distinct vertices; a NaN vertex is distinct from all."""
    ring = np.asarray(ring, dtype=np.float64).reshape(-1, 2)
    distinct = []
    for vx in ring:
        if not any(vx[0] == d[0] and vx[1] == d[1] for d in distinct):
            distinct.append(vx)
        if len(distinct) >= 3:
            return True
    return False


def rings_oracle(points, outer, holes):
    """Inside outer and no hole by the even-odd rule; a ring without area holds nothing."""
    points = np.asarray(points, dtype=np.float64)
    if not has_area(outer):
        return np.zeros(len(points), dtype=bool)
    inside = crossing_parity(points, outer)
    for hole in holes:
        if has_area(hole):
            inside &= ~crossing_parity(points, hole)
    return inside


def unaligned(a):
    """A copy of `a` whose data starts one byte past an 8-byte boundary."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, np.float64, a.size, 1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


class Flag:
    """A truth value whose __bool__ first calls action(); with value None, action()'s result decides."""

    def __init__(self, value=True, action=None):
        self.value, self.action = value, action

    def __bool__(self):
        got = None if self.action is None else self.action()
        return bool(got) if self.value is None else self.value


def subclass(cls):
    """The trivial subclass of cls (one per class), which pickle finds as helpers.Sub<name>."""
    name = "Sub" + cls.__name__
    if name not in globals():
        globals()[name] = type(name, (cls,), {"__module__": __name__})
    return globals()[name]
