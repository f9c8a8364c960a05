"""Speed of LineStringRGJ.repulsion_vector against the same computation written in NumPy.

Run after installing the package:  python bench/run.py (or this file alone)
A 1,000-vertex line, 1 and 100,000 query points, both forms. Prints ratios
measured side by side in one run (higher means zelk is faster). For 100,000
points the NumPy references run on 1/100 of the points (their temporaries
would need about 10 GB at once) and are scaled.
"""

import numpy as np

from _timing import compare
from zelk.field.geometry.linestring import LineStringRGJ


def numpy_all_offsets(x, p1, v, v_dot_v):
    x = np.atleast_2d(x).astype(np.float64)
    t = np.clip(((x[None, :, :] - p1[:, None, :]) * v[:, None, :]).sum(axis=2) / v_dot_v[:, None], 0.0, 1.0)
    proj = p1[:, None, :] + t[..., None] * v[:, None, :]
    return (x[None, :, :] - proj).reshape(-1, 2)


def numpy_nearest(x, p1, v, v_dot_v, metric):
    """Candidates for all segments, then the argmin of their quadratic forms."""
    x = np.atleast_2d(x).astype(np.float64)
    w = numpy_all_offsets(x, p1, v, v_dot_v).reshape(len(p1), len(x), 2)
    forms = ((w @ metric) * w).sum(-1)
    return w[forms.argmin(axis=0), np.arange(len(x))]


def main(quick=False):
    rng = np.random.default_rng(0)
    # A wandering line of 1,000 vertices, 999 segments.
    coords = np.cumsum(rng.normal(size=(1000, 2)), axis=0)
    g = LineStringRGJ(coords, repulsion=[[2.0, 0.3], [0.1, 0.5]])
    p1, v, vdv, metric = g._p1, g._v, g._v_dot_v, g.get_dist_matrix()
    lo, hi = coords.min(0) - 5, coords.max(0) + 5
    for n in (1, 1000) if quick else (1, 100_000):
        x = rng.uniform(lo, hi, (n, 2))
        scale = max(1, n // 1000)
        sub = x[: n // scale]
        assert np.allclose(g.repulsion_vector(sub), numpy_nearest(sub, p1, v, vdv, metric))
        compare(f"LineStringRGJ.repulsion_vector S=999 n={n}", lambda: g.repulsion_vector(x),
                lambda: numpy_nearest(sub, p1, v, vdv, metric), scale=scale)
        assert np.array_equal(g.repulsion_vector(sub, min_dist_select=False), numpy_all_offsets(sub, p1, v, vdv))
        compare(f"LineStringRGJ.repulsion_vector unselected S=999 n={n}",
                lambda: g.repulsion_vector(x, min_dist_select=False),
                lambda: numpy_all_offsets(sub, p1, v, vdv), scale=scale)


if __name__ == "__main__":
    main()
