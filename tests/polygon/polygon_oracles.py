"""Oracles for the polygon tests: the construction formulas written directly
in NumPy, random polygons with holes, and a recording stand-in for the kernels."""

import numpy as np
import shapely

from zelk.field import kernels


def reference_rings(coordinates):
    if isinstance(coordinates, np.ndarray):
        if coordinates.ndim == 2:
            rings = [coordinates.astype(float)]
        else:
            rings = [np.asarray(r, float) for r in coordinates]
    elif len(coordinates) == 0:
        rings = []
    else:
        first = coordinates[0]
        one = isinstance(first, (int, float, np.floating)) or (
            isinstance(first, (list, tuple, np.ndarray)) and len(first) == 2
        )
        if one:
            rings = [np.asarray(coordinates, float).reshape(-1, 2)]
        else:
            rings = [np.asarray(r, float).reshape(-1, 2) for r in coordinates]
    out = []
    for r in rings:
        if r.ndim != 2 or r.shape[1] != 2:
            r = r.reshape(-1, 2)
        if r.size > 0 and not np.allclose(r[0], r[-1]):
            r = np.vstack([r, r[0]])
        out.append(np.ascontiguousarray(r, dtype=np.float64))
    return out


def reference_polygon(coordinates, repulsion=None, optional_dim=2):
    """Every field of a constructed PolygonRGJ, step by step in NumPy."""
    rings = reference_rings(coordinates)
    segments = [np.stack([r[:-1], r[1:]], axis=1) for r in rings if r.shape[0] >= 2]
    pilp = np.concatenate(segments, axis=0) if segments else np.zeros((0, 2, 2))
    p1 = np.ascontiguousarray(pilp[:, 0], dtype=np.float64)
    v = np.ascontiguousarray(pilp[:, 1] - pilp[:, 0], dtype=np.float64)
    vdv = (v * v).sum(axis=1)
    rep = np.eye(optional_dim) if repulsion is None else np.array(repulsion, dtype=np.float64)
    inv = np.linalg.inv(rep)
    pts = np.vstack(rings) if rings else np.zeros((0, 2))
    return {
        "rings": rings,
        "points_in_line_pair": pilp,
        "_p1": p1,
        "_v": v,
        "_v_dot_v": np.where(vdv <= 0, 1.0, vdv),
        "_S": p1.shape[0],
        "coordinates": np.array([r.tolist() for r in rings], dtype=object),
        "repulsion": rep,
        "inv_repulsion": inv,
        "eye_repulsion": np.eye(len(rep)),
        "grad_matrix": inv + inv.T,
        "metric": inv,
        "bbox": np.array([pts.min(axis=0), pts.max(axis=0)]) if pts.size else np.zeros((2, 2)),
    }


def assert_same_array(got, want):
    assert isinstance(got, np.ndarray) and got.dtype == want.dtype and got.shape == want.shape
    if want.dtype == object:
        assert got.tolist() == want.tolist()
    else:
        np.testing.assert_array_equal(got, want)


def assert_fields(g, want):
    for name, value in want.items():
        got = getattr(g, name)
        if name == "rings":
            assert type(got) is list and len(got) == len(value)
            for a, b in zip(got, value):
                assert_same_array(a, b)
                assert a.flags.c_contiguous and a.flags.owndata
        elif name == "_S":
            assert got == value
        else:
            assert_same_array(got, value)
    for name in ("_p1", "_v"):
        assert getattr(g, name).flags.c_contiguous


def random_polygon(rng, n_outer, n_holes):
    """A star-shaped outer ring (one vertex per angular sector, radii 5 to 10)
    with small holes inside it and apart from each other, as (outer, [holes])."""
    ang = (np.arange(n_outer) + rng.uniform(0.1, 0.9, n_outer)) * (2 * np.pi / n_outer)
    outer = np.c_[np.cos(ang), np.sin(ang)] * rng.uniform(5, 10, n_outer)[:, None]
    shell = shapely.Polygon(outer)
    holes = []
    while len(holes) < n_holes:
        c = rng.uniform(-4, 4, 2)
        a = np.sort(rng.uniform(0, 2 * np.pi, int(rng.integers(3, 12))))
        hole = c + 0.7 * np.c_[np.cos(a), np.sin(a)]
        area = shapely.Polygon(hole).buffer(0.1)
        if shell.contains(area) and not any(area.intersects(shapely.Polygon(h)) for h in holes):
            holes.append(hole)
    assert shapely.Polygon(outer, holes).is_valid
    return outer, holes


NATIVE_INSIDE = kernels.point_in_rings
NATIVE_SEGMENTS = kernels.segment_repulsion_vectors


class Recorder:
    """A stand-in for the kernels module that records calls and forwards them."""

    def __init__(self, inside=None, vectors=None):
        self.calls = []
        self.inside, self.vectors = inside, vectors

    def point_in_rings(self, *args):
        self.calls.append(("point_in_rings", args))
        return NATIVE_INSIDE(*args) if self.inside is None else self.inside(*args)

    def segment_repulsion_vectors(self, *args):
        self.calls.append(("segment_repulsion_vectors", args))
        return NATIVE_SEGMENTS(*args) if self.vectors is None else self.vectors(*args)
