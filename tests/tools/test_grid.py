import numpy as np
import pytest
import shapely

from zelk.field import grid
from zelk.field.geometry import LineStringRGJ, MultiPointRGJ, PointRGJ, PolygonRGJ


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
