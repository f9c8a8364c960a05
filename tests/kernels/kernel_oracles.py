"""For the kernel tests: random star-shaped rings, and query batches in every
memory layout (the formulas in NumPy are in helpers)."""

import numpy as np

from helpers import unaligned


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
