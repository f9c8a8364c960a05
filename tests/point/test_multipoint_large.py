"""MultiPointRGJ on sets and batches large enough to be searched through a tree:
the answer is the NumPy formulation's, bit for bit."""

import pickle
import zlib

import numpy as np
import pytest
from scipy.spatial import cKDTree

import zelk.field
from helpers import assert_same_bits, random_metric
from zelk.field.geometry.point import MultiPointRGJ


def formula(coords, x, metric, by_rows=False, chunk=256):
    """((diff @ M) * diff).sum(-1), then the first smallest; in chunks of query rows.

    by_rows: the product with M written out per element, as the package evaluates
    it: NumPy's matmul may hand it to a BLAS that fuses multiply and add, which
    rounds differently and so can decide exact ties differently."""
    rows = []
    for s in range(0, len(x), chunk):
        d = coords[None, :, :] - x[s:s + chunk, None, :]
        if by_rows:
            a0 = d[..., 0] * metric[0, 0] + d[..., 1] * metric[1, 0]
            a1 = d[..., 0] * metric[0, 1] + d[..., 1] * metric[1, 1]
            dist = a0 * d[..., 0] + a1 * d[..., 1]
        else:
            dist = ((d @ metric) * d).sum(-1)
        rows.append(d[np.arange(len(d)), dist.argmin(1)])
    return np.concatenate(rows)


class Fixed(MultiPointRGJ):
    """A set whose metric is given as is (singular and indefinite ones have no inverse)."""

    def get_dist_matrix(self, scaled=True, inverted=True):
        return self.metric


METRICS = {
    "identity": np.eye(2),
    "anisotropic": np.array([[40.0, 6.0], [6.0, 1.0]]),
    "axes": np.diag([1e3, 1e-3]),
    "non-symmetric": np.array([[2.0, 5.0], [-4.5, 0.5]]),
    "indefinite": np.array([[1.0, 0.0], [0.0, -0.5]]),
    "singular": np.array([[1.0, 2.0], [2.0, 4.0]]),
    "nan": np.array([[1.0, np.nan], [0.0, 1.0]]),
    "small": np.array([[3e-80, 1e-80], [0.0, 2e-80]]),
}


def scene(kind, rng):
    """(points, queries) large enough for the tree."""
    if kind == "random":
        return rng.normal(size=(1500, 2)) * 10, rng.normal(size=(300, 2)) * 12
    if kind == "grid":  # many exact ties between distinct points
        g = np.stack(np.meshgrid(np.arange(40.0), np.arange(30.0)), -1).reshape(-1, 2)
        return rng.permutation(g), rng.integers(-4, 90, size=(300, 2)) / 2.0
    if kind == "duplicates":
        p = rng.normal(size=(150, 2))
        return p[rng.integers(0, 150, size=1200)], np.concatenate([p, rng.normal(size=(150, 2))])
    if kind == "on-points":
        p = rng.uniform(-1, 1, size=(1200, 2))
        return p, np.concatenate([p[::7], p[::11] + 1e-17])
    if kind == "large":
        return rng.normal(size=(1200, 2)) * 1e80, rng.normal(size=(250, 2)) * 1e80
    if kind == "subnormal":  # forms near and below the smallest normal number
        return rng.normal(size=(1200, 2)) * 1e-155, rng.normal(size=(250, 2)) * 1e-155
    if kind == "nan-and-huge":
        p, x = rng.normal(size=(1200, 2)), rng.normal(size=(400, 2))
        x[::40] = np.nan
        x[1::40, 0] = np.inf
        x[2::40] = 1e300
        x[3::40, 1] = -1e160
        return p, x
    if kind == "huge-points":
        p = rng.normal(size=(1200, 2))
        p[17] = [1e200, -3e200]
        return p, rng.normal(size=(250, 2)) * 1e100
    if kind == "nan-point":
        p = rng.normal(size=(1200, 2))
        p[900, 1] = np.nan
        return p, rng.normal(size=(250, 2))
    raise AssertionError(kind)


SCENES = ["random", "grid", "duplicates", "on-points", "large", "subnormal", "nan-and-huge", "huge-points", "nan-point"]


@pytest.mark.parametrize("scene_kind", SCENES)
@pytest.mark.parametrize("metric", list(METRICS))
def test_large_sets_answer_as_the_formula(scene_kind, metric):
    rng = np.random.default_rng(zlib.crc32((scene_kind + metric).encode()))
    coords, x = scene(scene_kind, rng)
    g = Fixed(coords)
    g.metric = METRICS[metric]
    got = g.repulsion_vector(x)
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(got, formula(coords, x, g.metric, by_rows=True))


@pytest.mark.parametrize("seed", range(3))
def test_random_metric_and_layout(seed):
    rng = np.random.default_rng(seed)
    rep = random_metric(rng, symmetric=True)
    coords = rng.standard_cauchy(size=(1500, 2))  # clusters and far outliers
    x = np.asfortranarray(rng.standard_cauchy(size=(400, 2)))
    g = MultiPointRGJ(coords[::-1].copy()[::-1], rep)
    np.testing.assert_array_equal(g.repulsion_vector(x), formula(coords, x, g.inv_repulsion))


@pytest.mark.parametrize("m, n", [(600, 400), (20000, 1000)])
def test_euclidean_nearest_agrees_with_ckdtree(m, n):
    rng = np.random.default_rng(m)
    coords, x = rng.uniform(0, 100, size=(m, 2)), rng.uniform(-10, 110, size=(n, 2))
    got = MultiPointRGJ(coords).repulsion_vector(x)
    dist, idx = cKDTree(coords).query(x)
    np.testing.assert_allclose(np.hypot(got[:, 0], got[:, 1]), dist, rtol=1e-12)
    np.testing.assert_array_equal(got, coords[idx] - x)  # random data: no ties


@pytest.mark.parametrize("m, n, rep", [(1200, 5000, [[2.0, 0.3], [0.1, 0.5]]), (1200, 5000, [[1.0, 0.0], [0.0, -1.0]]),
                                       (30, 9000, None)], ids=["tree", "indefinite", "scan"])
def test_threads_give_the_bits_of_one_thread(m, n, rep):
    rng = np.random.default_rng(m + n)
    coords, x = rng.normal(size=(m, 2)), rng.normal(size=(n, 2))
    g = MultiPointRGJ(coords, rep)
    try:
        zelk.field.set_num_threads(1)
        one = g.repulsion_vector(x)
        zelk.field.set_num_threads(3)
        three = g.repulsion_vector(x[::-1].copy()[::-1])  # a view of another array
    finally:
        zelk.field.set_num_threads(None)
    np.testing.assert_array_equal(three, one)
    np.testing.assert_array_equal(one, formula(coords, x, g.inv_repulsion, by_rows=True))


@pytest.mark.parametrize("change", ["in place", "sign of zero", "replaced", "set_coordinates", "fewer", "pickled"])
def test_kept_tree_follows_the_points(change):
    rng = np.random.default_rng(zlib.crc32(change.encode()))
    coords, x = np.round(rng.normal(size=(1500, 2)), 1), rng.normal(size=(400, 2))
    g = MultiPointRGJ(coords, [[2.0, 0.3], [0.1, 0.5]])
    np.testing.assert_array_equal(g.repulsion_vector(x), formula(coords, x, g.inv_repulsion))
    if change == "in place":
        g.coordinates[::7] = x[:len(g.coordinates[::7])]
    elif change == "sign of zero":  # equal values, other bits: offsets of -0.0 instead of +0.0
        zero = np.nonzero(coords[:, 0] == 0.0)[0]
        x[:len(zero)] = coords[zero] + [0.0, 0.01]
        g.repulsion_vector(x)
        g.coordinates[zero, 0] = -0.0
    elif change == "replaced":
        g.coordinates = rng.normal(size=(1500, 2))
    elif change == "set_coordinates":
        g.set_coordinates(rng.normal(size=(1700, 2)))
    elif change == "fewer":
        g.coordinates = g.coordinates[:900]
    else:
        g = pickle.loads(pickle.dumps(g))
    got = g.repulsion_vector(x)
    assert_same_bits(got, formula(g.coordinates, x, g.inv_repulsion, by_rows=True))
    assert change != "sign of zero" or np.signbit(got[got[:, 0] == 0, 0]).any()
