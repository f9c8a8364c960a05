"""Speed of the point classes against the same computation written in NumPy.

Run after installing the package:  python bench/run.py (or this file alone)
Prints ratios measured side by side in one run (higher means zelk is faster).
"""

import importlib.util

import numpy as np

from _timing import best_time, compare, record
from zelk.field.geometry.point import MultiPointRGJ, PointRGJ


def numpy_point(x, coords):
    return np.atleast_2d(x).astype(np.float64) - coords


def numpy_multipoint(x, coords, metric, select=True):
    x = np.atleast_2d(x).astype(np.float64)
    diff = coords[None, :, :] - x[:, None, :]
    if not select:
        return diff.swapaxes(0, 1).reshape(-1, 2)
    dist = ((diff @ metric) * diff).sum(-1)
    return diff[np.arange(len(x)), dist.argmin(1)]


def main(quick=False):
    rng = np.random.default_rng(0)
    p = PointRGJ([1.5, -2.0])
    for n in (1, 1000) if quick else (1, 1000, 100_000):
        x = rng.normal(size=(n, 2))
        assert np.array_equal(p.repulsion_vector(x), numpy_point(x, p.coordinates))
        compare(f"PointRGJ.repulsion_vector n={n}", lambda: p.repulsion_vector(x),
                lambda: numpy_point(x, p.coordinates))

    rep = np.array([[2.0, 0.3], [0.1, 0.5]])
    for m, n in ((10, 1), (100, 1000)) if quick else ((10, 1), (100, 1000), (100, 100_000)):
        g = MultiPointRGJ(rng.normal(size=(m, 2)) * 10, repulsion=rep)
        x = rng.normal(size=(n, 2)) * 10
        metric = g.get_dist_matrix()
        assert np.allclose(g.repulsion_vector(x), numpy_multipoint(x, g.coordinates, metric))
        compare(f"MultiPointRGJ.repulsion_vector m={m} n={n}", lambda: g.repulsion_vector(x),
                lambda: numpy_multipoint(x, g.coordinates, metric))
        if m * n <= 1_000_000:
            compare(f"MultiPointRGJ.repulsion_vector unselected m={m} n={n}",
                    lambda: g.repulsion_vector(x, min_dist_select=False),
                    lambda: numpy_multipoint(x, g.coordinates, metric, select=False))
    kd_trees(quick)



def kd_trees(quick):
    """A point set under the identity metric against kd-trees on every core
    (cKDTree with workers=-1, pykdtree through OpenMP) and cKDTree on one,
    each tree built beforehand as ours is kept on the geometry."""
    from scipy.spatial import cKDTree

    rng = np.random.default_rng(8)
    sizes = ((2000, 2000),) if quick else ((10_000, 10_000), (10_000, 1_000_000))
    for m, n in sizes:
        pts = rng.normal(size=(m, 2)) * 10
        x = rng.normal(size=(n, 2)) * 10
        g = MultiPointRGJ(pts)
        ours = g.repulsion_vector(x)
        want = (ours * ours).sum(1)
        references = {}
        tree = cKDTree(pts)
        for workers in (1, -1):
            references[f"cKDTree({workers})"] = lambda w=workers: pts[tree.query(x, workers=w)[1]] - x
        if importlib.util.find_spec("pykdtree") is None:
            print("pykdtree: row skipped, pykdtree is missing (pip install 'zelk-field[test]')")
        else:
            from pykdtree.kdtree import KDTree

            ptree = KDTree(pts)
            references["pykdtree"] = lambda: pts[ptree.query(x, k=1)[1]] - x
        for name, ref in references.items():
            got = ref()
            assert np.allclose((got * got).sum(1), want, rtol=1e-12, atol=1e-12), name
        t_ours = best_time(lambda: g.repulsion_vector(x))
        for name, ref in references.items():
            record(f"MultiPointRGJ.repulsion_vector identity m={m} n={n}", name, t_ours, best_time(ref),
                   ">= 1.5" if name == "cKDTree(-1)" and (m, n) == (10_000, 10_000) else None,
                   "trees built beforehand")


if __name__ == "__main__":
    main()
