"""Collections of the package's own classes are answered through an index over
the members' boxes. Oracle: the same collection answered the general way,
member by member, which a collection takes as soon as one member is an
instance of a subclass (its answers are those of the class it derives from).
"""

import numpy as np
import pytest

import zelk.field
from helpers import assert_same_bits, random_metric, subclass
from zelk.field.geometry.collection import GeometryCollectionRGJ
from zelk.field.geometry.linestring import LineStringRGJ, MultiLineStringRGJ
from zelk.field.geometry.point import MultiPointRGJ, PointRGJ
from zelk.field.geometry.polygon import MultiPolygonRGJ, PolygonRGJ

CLASSES = {"Point": PointRGJ, "MultiPoint": MultiPointRGJ, "LineString": LineStringRGJ,
           "MultiLineString": MultiLineStringRGJ, "Polygon": PolygonRGJ,
           "MultiPolygon": MultiPolygonRGJ}
SUBCLASSES = {name: subclass(cls) for name, cls in CLASSES.items()}


def ring(rng, centre, radius, k=9):
    t = np.sort(rng.uniform(0, 2 * np.pi, k))
    return (centre + radius * np.c_[np.cos(t), np.sin(t)]).tolist()


def repulsion(rng, kind):
    if kind == "identity":
        return np.eye(2).tolist()
    if kind == "indefinite":
        return [[1.0, 0.0], [0.0, -2.0]]
    return random_metric(rng, symmetric=kind == "anisotropic").tolist()  # "skew": not symmetric


def geometry(rng, kind, centre, metric):
    r = rng.uniform(0.5, 4)
    rep = repulsion(rng, metric)
    outer = ring(rng, centre, r)
    if kind == "Point":
        coords = list(centre)
    elif kind == "MultiPoint":
        coords = outer
    elif kind == "LineString":
        coords = outer + [outer[-1]]  # a zero-length segment
    elif kind == "MultiLineString":
        coords = [outer, ring(rng, centre + 3, r), [outer[0]]]
    elif kind == "Polygon":
        coords = [outer, ring(rng, centre, r / 3)]  # with a hole
    else:
        coords = [[outer, ring(rng, centre, r / 3)], [ring(rng, centre + 6, r)]]
    return {"type": kind, "coordinates": coords, "repulsion": rep}


def both_ways(geometries):
    """The indexed collection and one that answers the general way."""
    members = [CLASSES[g["type"]](**g) for g in geometries]
    indexed, general = GeometryCollectionRGJ(geometries), GeometryCollectionRGJ(geometries)
    indexed.rgjs = members
    general.rgjs = [SUBCLASSES[geometries[0]["type"]](**geometries[0])] + members[1:]
    return indexed, general


def queries(rng, n, special):
    x = rng.uniform(-30, 30, (n, 2))
    if special:
        x[:len(special)] = special
    return x


def same(a, b):
    a, b = (v if isinstance(v, tuple) else (v,) for v in (a, b))
    assert len(a) == len(b)
    for p, q in zip(a, b):
        assert_same_bits(p, q, nan_bits=True)  # two routes of one computation: NaNs alike too


QUERIES = {
    "squared_dist": lambda c, x: c.squared_dist(x),
    "with_reference": lambda c, x: c.squared_dist(x, return_reference=True),
    "unscaled": lambda c, x: c.squared_dist(x, False, True, True),
    "uninverted": lambda c, x: c.squared_dist(x, inverted=False),
    "repulsion_vector": lambda c, x: c.repulsion_vector(x),
    "gradient": lambda c, x: c.gradient(x),
}


@pytest.mark.filterwarnings("ignore:overflow:RuntimeWarning")
@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("metrics", [["identity"], ["anisotropic", "skew"],
                                     ["anisotropic", "indefinite", "skew"]])
@pytest.mark.parametrize("seed", range(3))
def test_indexed_answers_equal_the_general_path(query, metrics, seed):
    rng = np.random.default_rng(seed)
    kinds = list(CLASSES) * 4
    geometries = [geometry(rng, kinds[i], rng.uniform(-25, 25, 2), metrics[i % len(metrics)])
                  for i in range(len(kinds))]
    # exact ties between members: a repeated member, and a point on a shared vertex
    geometries.append(dict(geometries[4]))
    indexed, general = both_ways(geometries)
    vertex = geometries[2]["coordinates"][0]
    special = [vertex, [np.nan, 0.0], [0.0, np.inf], geometries[0]["coordinates"]]
    x = queries(rng, 600, special)
    same(QUERIES[query](indexed, x), QUERIES[query](general, x))
    same(QUERIES[query](indexed, x[3]), QUERIES[query](general, x[3]))


@pytest.mark.filterwarnings("ignore:overflow:RuntimeWarning")
@pytest.mark.parametrize("query", QUERIES)
def test_threads_answer_as_one_thread(query):
    rng = np.random.default_rng(11)
    kinds = list(CLASSES) * 3
    geometries = [geometry(rng, kinds[i], rng.uniform(-25, 25, 2), ["skew", "indefinite"][i % 2])
                  for i in range(len(kinds))]
    indexed, general = both_ways(geometries)
    x = queries(rng, 9000, [[np.nan, 1.0]])
    before = zelk.field.get_num_threads()
    try:
        zelk.field.set_num_threads(1)
        single = QUERIES[query](indexed, x)
        zelk.field.set_num_threads(3)
        same(QUERIES[query](indexed, x), single)
    finally:
        zelk.field.set_num_threads(before)
    same(single, QUERIES[query](general, x))


@pytest.mark.parametrize("query", QUERIES)
def test_degenerate_members(query):
    rng = np.random.default_rng(7)
    geometries = [
        {"type": "LineString", "coordinates": [[1.0, 1.0]]},  # no segment: zero vectors
        {"type": "Point", "coordinates": [1e200, -1e200]},  # beyond any bound
        {"type": "MultiPoint", "coordinates": [[0.0, 0.0], [0.0, 0.0], [2.0, 0.0]]},
        {"type": "Polygon", "coordinates": [[[0, 0], [4, 0], [4, 4], [0, 4]]],
         "repulsion": [[1e-300, 0.0], [0.0, 1e-300]]},
        {"type": "LineString", "coordinates": [[0, 0], [0, 0], [3, 3]]},
    ]
    indexed, general = both_ways(geometries)
    x = queries(rng, 200, [[0.0, 0.0], [2.0, 2.0], [np.nan, np.nan], [1e300, 0.0]])
    same(QUERIES[query](indexed, x), QUERIES[query](general, x))


def test_stand_ins_and_replaced_methods_are_asked(monkeypatch):
    rng = np.random.default_rng(3)
    geometries = [geometry(rng, kind, rng.uniform(-5, 5, 2), "anisotropic")
                  for kind in ["Polygon", "LineString", "MultiPoint"]]
    c = GeometryCollectionRGJ(geometries)
    x = queries(rng, 50, [])
    before = c.squared_dist(x, return_reference=True)
    # A Python class that claims the name and module of a member's class.
    LookAlike = type("PointRGJ", (SUBCLASSES["Point"],),
                     {"__module__": "zelk.field.geometry.point",
                      "repulsion_vector": lambda self, x, **kw: np.zeros((len(x), 2))})
    c.rgjs = c.rgjs + [LookAlike(coordinates=[100.0, 100.0])]
    values, index = c.squared_dist(x, return_reference=True)
    np.testing.assert_array_equal(values, 0.0)
    np.testing.assert_array_equal(index, 3)
    c.rgjs = c.rgjs[:3]
    same(c.squared_dist(x, return_reference=True), before)
    monkeypatch.setattr(PolygonRGJ, "repulsion_vector", lambda self, x, **kw: np.zeros((len(x), 2)))
    values, index = c.squared_dist(x, return_reference=True)
    np.testing.assert_array_equal(values, 0.0)
    np.testing.assert_array_equal(index, 0)


def test_large_batch_makes_no_points_by_members_stack(run_python):
    code = """
        import resource, numpy as np
        from zelk.field.geometry.collection import GeometryCollectionRGJ
        rng = np.random.default_rng(0)
        geoms = []
        for i in range(50):
            c = rng.uniform(-50, 50, 2)
            t = np.linspace(0, 2 * np.pi, 12, endpoint=False)
            ring = (c + 2 * np.c_[np.cos(t), np.sin(t)]).tolist()
            geoms.append({"type": ["Polygon", "LineString"][i % 2],
                          "coordinates": [ring] if i % 2 == 0 else ring})
        coll = GeometryCollectionRGJ(geoms)
        x = rng.uniform(-60, 60, (10**6, 2))
        coll.gradient(x[:10])
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        coll.gradient(x)
        coll.squared_dist(x, return_reference=True)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(grown * 1024 / (x.shape[0] * len(geoms) * 8))
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    # a (points, members) float64 stack alone would be 1.0
    assert float(result.stdout) < 0.3
