"""Oracles for the kernel tests: the ring formulas written out in NumPy (the
segment formula is in helpers), and query batches in every memory layout."""

import numpy as np

from helpers import unaligned


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
