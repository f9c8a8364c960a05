"""Nearest-segment offsets under a metric, and point-in-polygon by the even-odd rule."""

import numpy as np
from numpy.typing import NDArray

def segment_repulsion_vectors(
    points: NDArray[np.float64],
    p1: NDArray[np.float64],
    v: NDArray[np.float64],
    v_dot_v: NDArray[np.float64],
    metric: NDArray[np.float64],
) -> NDArray[np.float64]:
    """The offset of each query point from its nearest segment under a metric.

    For point ``p`` and segment ``i`` the candidate is ``w = p - (p1[i] + t *
    v[i])`` with ``t = clip((p - p1[i]) @ v[i] / v_dot_v[i], 0, 1)``, pointing
    from the segment towards the point; the row returned is the candidate with
    the smallest ``w @ metric @ w``, the lowest segment index winning a tie
    (a NaN form wins as in ``numpy.argmin``).

    Parameters
    ----------
    points
        float64 ``(m, 2)`` query points, any strides; ``m`` may be 0.
    p1
        float64 ``(S, 2)`` segment start points, ``S`` at least 1.
    v
        float64 ``(S, 2)`` segment vectors, end minus start.
    v_dot_v
        float64 ``(S,)`` squared segment lengths, none 0 or less.
    metric
        float64 ``(2, 2)`` matrix of the quadratic form.

    Returns
    -------
    numpy.ndarray
        A new float64 ``(m, 2)`` array. Arguments of another dtype or shape
        raise TypeError or ValueError naming the argument.
    """

def point_in_rings(
    points: NDArray[np.float64], outer: NDArray[np.float64], holes: list[NDArray[np.float64]]
) -> NDArray[np.bool_]:
    """Which points lie inside a ring and inside none of the holes.

    Inside is the even-odd (crossing-number) rule; a ring with fewer than three
    distinct vertices contains nothing. A point exactly on an edge may be
    classified either way, but always the same way.

    Parameters
    ----------
    points
        float64 ``(n, 2)`` query points; ``n`` may be 0.
    outer
        float64 ``(k, 2)`` closed ring (last vertex equal to the first).
    holes
        A list of closed float64 ``(k, 2)`` rings, possibly empty.

    Returns
    -------
    numpy.ndarray
        A new bool ``(n,)`` array.
    """
