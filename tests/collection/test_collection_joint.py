"""Collections whose members all choose under one metric that every pick
shares are answered through one index over all their segments. Oracle: the
general path, member by member (see test_collection_index)."""

import numpy as np
import pytest

import zelk.field
from test_collection_index import QUERIES, both_ways, ring, same
from zelk.field.geometry.collection import GeometryCollectionRGJ


def scene(rng, metric, count=24):
    """Line work and polygons under one repulsion: nested, overlapping and
    repeated polygons, so that points lie in several members at once."""
    geometries = []
    for i in range(count):
        c = rng.uniform(-20, 20, 2)
        r = rng.uniform(1, 6)
        kind = ["Polygon", "LineString", "MultiPolygon", "MultiLineString"][i % 4]
        if kind == "Polygon":
            coords = [ring(rng, c, r, 12), ring(rng, c, r / 4)]
        elif kind == "MultiPolygon":
            coords = [[ring(rng, c, r, 12)], [ring(rng, c + 5, r / 2)]]
        elif kind == "LineString":
            coords = ring(rng, c, r, 30)
        else:
            coords = [ring(rng, c, r), ring(rng, c - 4, r)]
        geometries.append({"type": kind, "coordinates": coords, "repulsion": metric})
    # three nested squares, one of them twice: a point in four members
    for half in (9.0, 6.0, 3.0, 3.0):
        square = [[-half, -half], [half, -half], [half, half], [-half, half]]
        geometries.append({"type": "Polygon", "coordinates": [square], "repulsion": metric})
    return geometries


def points(rng, geometries, n):
    xs, ys = np.linspace(-30, 30, 60), np.linspace(-25, 25, 50)
    grid = np.stack(np.meshgrid(xs, ys), -1).reshape(-1, 2)
    vertices = np.array(geometries[0]["coordinates"][0][:5])
    special = [[np.nan, 0.0], [0.0, np.inf], [1e200, 1.0], [0.0, 0.0], [3.0, 1.0], [4.5, 0.0]]
    x = np.concatenate([grid, vertices, special, rng.uniform(-30, 30, (n, 2))])
    return x[rng.permutation(len(x))]


METRICS = {"identity": np.eye(2).tolist(), "anisotropic": [[2.0, 0.6], [0.6, 0.5]],
           "skew": [[1.5, 0.7], [-0.2, 0.9]], "rough": [[1.0, 0.999999], [0.999999, 1.0]]}


@pytest.mark.filterwarnings("ignore:overflow:RuntimeWarning")
@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("metric", METRICS)
def test_joint_index_answers_as_the_general_path(query, metric):
    rng = np.random.default_rng(len(metric))
    geometries = scene(rng, METRICS[metric])
    indexed, general = both_ways(geometries)
    x = points(rng, geometries, 2000)
    want = QUERIES[query](general, x)
    same(QUERIES[query](indexed, x), want)
    before = zelk.field.get_num_threads()
    try:
        zelk.field.set_num_threads(2)
        same(QUERIES[query](indexed, x), want)
    finally:
        zelk.field.set_num_threads(before)


@pytest.mark.parametrize("query", ["with_reference", "repulsion_vector"])
def test_ties_between_members_go_to_the_first(query):
    # The same outline as three members: every point ties between them, and
    # the window of near-equal forms must keep the first.
    outline = ring(np.random.default_rng(5), np.zeros(2), 4.0, 40)
    geometries = [{"type": t, "coordinates": c} for t, c in
                  [("LineString", outline), ("Polygon", [outline]), ("LineString", outline[::-1])]]
    indexed, general = both_ways(geometries)
    x = np.random.default_rng(6).uniform(-8, 8, (3000, 2))
    same(QUERIES[query](indexed, x), QUERIES[query](general, x))


def test_points_held_by_a_polygon_tie_with_members_through_them():
    # Two squares sharing an edge and a line across both: a point in one
    # square on the other's edge or on the line ties at 0 with that member;
    # the other points inside lie far from every segment.
    t = np.linspace(0.0, 1.0, 101)[:-1, None]

    def square(x0):
        c = np.array([[x0, 0.0], [x0 + 4, 0.0], [x0 + 4, 4.0], [x0, 4.0]])
        return np.concatenate([c[k] + t * (c[(k + 1) % 4] - c[k]) for k in range(4)])

    line = np.c_[np.linspace(-1.0, 9.0, 401), np.full(401, 1.25)]
    geometries = [{"type": "Polygon", "coordinates": [square(4.0)]},
                  {"type": "LineString", "coordinates": line},
                  {"type": "Polygon", "coordinates": [square(0.0)]}]
    indexed, general = both_ways(geometries)
    rng = np.random.default_rng(7)
    x = np.concatenate([rng.uniform(-1, 9, (3000, 2)),
                        np.c_[np.full(300, 4.0), rng.uniform(0, 4, 300)],
                        np.c_[rng.uniform(0, 8, 300), np.full(300, 1.25)]])
    same(QUERIES["with_reference"](indexed, x), QUERIES["with_reference"](general, x))


def test_forms_that_round_apart_across_members():
    # Under a non-symmetric metric the selection's form and squared_dist's
    # round differently: find a point nearer to member A by the first and
    # to member B by the second, which only the window around the nearest
    # form keeps right.
    repulsion = np.linalg.inv([[1.5, 0.7], [-0.2, 0.9]])
    probe = GeometryCollectionRGJ([{"type": "Point", "coordinates": [0.0, 0.0],
                                    "repulsion": repulsion}])
    m = probe.get_dist_matrix()[0]

    def by_rows(w):  # the selection's order
        return w[..., 0] * (m[0, 0] * w[..., 0] + m[0, 1] * w[..., 1]) + \
            w[..., 1] * (m[1, 0] * w[..., 0] + m[1, 1] * w[..., 1])

    def by_columns(w):  # squared_dist's order
        return (0.0 + (w[..., 0] * m[0, 0] + w[..., 1] * m[1, 0]) * w[..., 0]) + \
            (w[..., 0] * m[0, 1] + w[..., 1] * m[1, 1]) * w[..., 1]

    rng = np.random.default_rng(0)
    for _ in range(1000):
        p = rng.uniform(1, 2, 2)
        t = rng.uniform(0, 2 * np.pi)
        d = np.array([[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]]) @ p
        c = p - d * np.sqrt(by_rows(p) / by_rows(d))
        k = np.stack(np.meshgrid(np.arange(-40, 41), np.arange(-40, 41)), -1).reshape(-1, 2)
        b = c + k * np.spacing(np.abs(c))
        hit = (by_rows(p) < by_rows(p - b)) & (by_columns(p) > by_columns(p - b))
        if hit.any():
            b = b[hit][0]
            break
    geometries = [{"type": "LineString", "coordinates": [q, q], "repulsion": repulsion}
                  for q in ([0.0, 0.0], b.tolist())]
    indexed, general = both_ways(geometries)
    x = np.concatenate([[p], rng.uniform(-3, 3, (40, 2))])
    for query in ("squared_dist", "with_reference", "gradient"):
        same(QUERIES[query](indexed, x), QUERIES[query](general, x))
    assert general.squared_dist(x, return_reference=True)[1][0] == 1
