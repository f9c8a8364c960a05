import numpy as np
import pytest
import shapely

from zelk.field import grid
from zelk.field.geometry import GeometryCollectionRGJ, LineStringRGJ, MultiPointRGJ, PointRGJ, PolygonRGJ


@pytest.mark.parametrize("bounds, shape", [((0, 0, 1, 1), (3, 5)), ((-2.5, 10, 7, 11), (1, 1)), ((0, -1, 2e6, 1), (40, 7))])
def test_axes_are_linspaces_of_width_and_height(bounds, shape):
    xs, ys = grid.axes(bounds, shape)
    assert np.array_equal(xs, np.linspace(bounds[0], bounds[2], shape[1]))
    assert np.array_equal(ys, np.linspace(bounds[1], bounds[3], shape[0]))


@pytest.mark.parametrize(
    "bounds, shape",
    [((0, 0, 1), (2, 2)), ((1, 0, 0, 1), (2, 2)), ((0, 0, 1, np.nan), (2, 2)), ((0, 0, 1, 1), (0, 2)), ((0, 0, 1, 1), (2,)), ("abcd", (2, 2))],
)
def test_axes_reject_bad_bounds_and_shapes(bounds, shape):
    with pytest.raises(ValueError):
        grid.axes(bounds, shape)


@pytest.mark.parametrize(
    "geometry, shape",
    [
        (PolygonRGJ([[0, 0], [4, 0], [4, 1], [0, 3]]), shapely.Polygon([(0, 0), (4, 0), (4, 1), (0, 3)])),
        (LineStringRGJ([[1, 1], [5, 1]]), shapely.LineString([(1, 1), (5, 1)])),
        (MultiPointRGJ([[0, 0], [-2, 7], [3, 1]]), shapely.MultiPoint([(0, 0), (-2, 7), (3, 1)])),
        (PointRGJ([2, 3]), shapely.Point(2, 3)),
    ],
)
def test_default_bounds_pad_the_shapes_box(geometry, shape):
    xmin, ymin, xmax, ymax = shapely.bounds(shape)
    side = max(xmax - xmin, ymax - ymin) or 10.0
    expected = (xmin - 0.1 * side, ymin - 0.1 * side, xmax + 0.1 * side, ymax + 0.1 * side)
    assert grid.default_bounds(geometry) == pytest.approx(expected, rel=0, abs=1e-12)
    grid.axes(grid.default_bounds(geometry), (2, 2))  # always a usable grid


class _OwnCollection(GeometryCollectionRGJ):
    """A subclass is answered through its own methods, not the package's formulas."""


def _scene(cls=GeometryCollectionRGJ):
    members = [
        PolygonRGJ([[[0, 0], [4, 0], [4, 4], [0, 4]], [[1, 1], [2, 1], [2, 2]]], [[2, 0.5], [0.5, 1]]),
        MultiPointRGJ([[6, 1], [7, 3], [6, 3]], [[1, 0], [0, 3]]),
        LineStringRGJ([[-2, 5], [3, 7], [8, 5]]),
        PointRGJ([9, -1], [[0.5, 0], [0, 0.5]]),
    ]
    return cls([m.toRGeoJSON()["geometry"] for m in members])


@pytest.mark.parametrize(
    "geometry",
    [_scene(), _scene(_OwnCollection), PolygonRGJ([[0, 0], [3, 0], [0, 2]], [[1, 0.3], [0.3, 2]]), MultiPointRGJ([[0, 0], [2, 1]])],
    ids=["collection", "subclass", "polygon", "multipoint"],
)
@pytest.mark.parametrize("chunk_points", [1, 37, None])
def test_chunked_grid_equals_one_shot_queries(geometry, chunk_points):
    field = grid.evaluate(geometry, None, (9, 13), quantities=grid.QUANTITIES, chunk_points=chunk_points)
    X, Y = np.meshgrid(*grid.axes(grid.default_bounds(geometry), (9, 13)))
    points = np.column_stack([X.ravel(), Y.ravel()])
    single = not isinstance(geometry, GeometryCollectionRGJ)
    as_field = GeometryCollectionRGJ([geometry.toRGeoJSON()["geometry"]]) if single else geometry
    expected = {
        "value": geometry.eval(points),
        "squared_dist": geometry.squared_dist(points),
        "repulsion_vector": geometry.repulsion_vector(points),
        "gradient": as_field.gradient(points),
    }
    for quantity, values in expected.items():
        assert np.array_equal(field[quantity].reshape(values.shape), values), quantity
    if single:  # the one-member collection's gradient is the field's own formula
        e, r = expected["value"][:, None], expected["repulsion_vector"]
        assert np.allclose(expected["gradient"], -e * (r @ geometry.grad_matrix.T), rtol=1e-12, atol=0)


def test_evaluate_points_and_quantity_errors():
    with pytest.raises(ValueError, match="quantities"):
        grid.evaluate(_scene(), quantities=("value", "curl"))
    with pytest.raises(ValueError, match=r"\(n, 2\)"):
        grid.evaluate_points(_scene(), np.zeros((4, 3)))


@pytest.mark.parametrize("progress", [True, False])
def test_progress_bar_on_request(capfd, progress):
    field = grid.evaluate(_scene(), (0, 0, 9, 7), (6, 11), chunk_points=20, progress=progress)
    bar = capfd.readouterr().err
    assert ("/66" in bar) == progress  # a bar counting the 66 grid points
    assert field.value.shape == (6, 11) and field.gradient.shape == (6, 11, 2)
