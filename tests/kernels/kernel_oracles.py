"""Oracles for the kernel tests: the formulas written out in NumPy, element
by element, in the order the kernels promise to evaluate them."""


import numpy as np


def segment_candidates(points, p1, v, v_dot_v):
    """w[j, i]: offset of query j from its clamped projection on segment i."""
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


def nearest_segment_oracle(points, p1, v, v_dot_v, metric):
    w = segment_candidates(points, p1, v, v_dot_v)
    chosen = np.argmin(metric_form(w, metric), axis=1)
    return w[np.arange(len(w)), chosen]


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
    points = np.asarray(points, dtype=np.float64)
    if not has_area(outer):
        return np.zeros(len(points), dtype=bool)
    inside = crossing_parity(points, outer)
    for hole in holes:
        if has_area(hole):
            inside &= ~crossing_parity(points, hole)
    return inside


def assert_same_bits(actual, expected):
    """Equal shapes and values bit for bit (the sign of zero included); NaN
    matches NaN whatever its payload."""
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.shape == expected.shape
    assert actual.dtype == expected.dtype
    nan = np.isnan(expected)
    np.testing.assert_array_equal(np.isnan(actual), nan)
    a = actual[~nan].view(np.uint64)
    e = expected[~nan].view(np.uint64)
    bad = np.flatnonzero(a != e)
    assert bad.size == 0, (
        f"{bad.size} values differ, first at {bad[0]}: "
        f"{actual[~nan][bad[0]]!r} != {expected[~nan][bad[0]]!r}"
    )


def star_ring(rng, n, center=(0.0, 0.0), r_low=0.5, r_high=1.0, closed=True):
    """A simple polygon: one vertex in each of n equal angular sectors, radii
    in [r_low, r_high], so it holds the disc of radius r_low * cos(2 pi / n)."""
    angles = (np.arange(n) + rng.uniform(0.0, 1.0, n)) * (2.0 * np.pi / n)
    radii = rng.uniform(r_low, r_high, n)
    ring = np.column_stack(
        [center[0] + radii * np.cos(angles), center[1] + radii * np.sin(angles)]
    )
    if closed:
        ring = np.vstack([ring, ring[:1]])
    return np.ascontiguousarray(ring)


def in_layout(a, layout):
    """The values of the (n, 2) array `a` in the given memory layout."""
    if layout == "c":
        return np.ascontiguousarray(a)
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "sliced":
        big = np.zeros((3 * a.shape[0], 5))
        big[::3, 2:4] = a
        return big[::3, 2:4]
    if layout == "reversed":
        return np.ascontiguousarray(a[::-1])[::-1]
    if layout == "unaligned":
        return unaligned(a)
    if layout == "columns_reversed":
        # Rows 16 bytes apart as in C order, but the columns run backwards.
        return np.ascontiguousarray(a[:, ::-1])[:, ::-1]
    raise ValueError(layout)


LAYOUTS = ["c", "fortran", "sliced", "reversed", "unaligned", "columns_reversed"]


def unaligned(a):
    """A copy of `a` whose data starts one byte past an 8-byte boundary."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, np.float64, a.size, 1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out
