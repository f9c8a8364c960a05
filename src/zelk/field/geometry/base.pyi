"""Base types of the zelk geometries.

Every geometry derives from :class:`RGJGeometry` (or its field-less subclass
:class:`MultiRGJGeometry`), which holds the coordinates, the repulsion matrix
with the matrices derived from it, the properties and the bounding box, and
answers the distance, field-value and default export operations.

The field of a geometry is a Gaussian repulsion field. For a query point ``x``
whose repulsion vector is ``d`` (see each class's ``repulsion_vector``) and
``A = inv_repulsion``, the field value is ``exp(-d @ A @ d)``: the repulsion
matrix ``R`` acts as a covariance, and its inverse ``A`` is the metric under
which distances are measured. The gradient with respect to ``x`` is
``-exp(-d @ A @ d) * (A + A.T) @ d``, which is why ``grad_matrix`` holds
``A + A.T``.
"""

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

__test__: dict[str, Any]
"""An empty dict: the module has no doctests."""

@disjoint_base
class RGJGeometry:
    """A planar geometry with a repulsion matrix.

    Construction converts ``coordinates`` to a float64 ``(k, 2)`` array of
    vertices and derives the repulsion state from ``repulsion``. Queries take a
    batch of query points at once and return new float64 arrays.

    Every field is a read/write attribute that accepts any object; deleting one
    stores None, and an instance made by ``__new__`` alone holds None in all of
    them. Nothing is rebuilt when a field is assigned by hand.
    """

    coordinates: Any
    """The vertices: a float64 ``(k, 2)`` array, one ``(x, y)`` row per vertex
    (for a multi line string a list of such arrays, for a polygon an object
    array of its rings as nested lists)."""
    repulsion: NDArray[np.float64]
    """The repulsion matrix ``R`` (2 x 2 by default, the identity when none is
    given): larger entries make the field reach further in that direction."""
    inv_repulsion: NDArray[np.float64]
    """``numpy.linalg.inv(repulsion)``: the metric of the field's distances."""
    eye_repulsion: NDArray[np.float64]
    """The identity of the size of ``repulsion``: the plain Euclidean metric."""
    grad_matrix: NDArray[np.float64]
    """``inv_repulsion + inv_repulsion.T``: the matrix of the field gradient."""
    properties: dict[str, Any]
    """Free-form properties, kept by reference (never copied) and shared with
    every ``toRGeoJSON`` export."""
    bbox: NDArray[np.float64]
    """The bounding box as rows of ``(x, y)``: ``[[min x, min y], [max x,
    max y]]`` for most classes (a (2, 2) zero array for no vertices)."""

    def __init__(
        self,
        coordinates: ArrayLike,
        repulsion: ArrayLike | None = None,
        properties: dict[str, Any] | None = None,
        optional_dim: int = 2,
        **kwargs: Any,
    ) -> None:
        """Build the geometry's fields.

        Parameters
        ----------
        coordinates
            The vertices, anything ``numpy.array`` turns into pairs of numbers;
            reshaped to ``(-1, 2)``, so a single pair becomes one row.
        repulsion
            The square repulsion matrix; None gives the identity of size
            ``optional_dim``. A singular matrix raises
            ``numpy.linalg.LinAlgError``.
        properties
            A dict stored by reference; None gives a new empty dict.
        optional_dim
            The size of the identity used when ``repulsion`` is None.
        **kwargs
            Ignored, so that a geometry dictionary of ``toRGeoJSON`` (its
            ``"type"`` key included) can be expanded into the keywords.
        """

    def set_coordinates(self, new_coords: ArrayLike) -> None:
        """Replace the vertices and recompute the bounding box.

        Parameters
        ----------
        new_coords
            The new vertices, converted as the constructor converts
            ``coordinates``.
        """

    def set_repulsion(self, new_repulsion: ArrayLike) -> None:
        """Replace the repulsion matrix and the matrices derived from it.

        Parameters
        ----------
        new_repulsion
            The new square repulsion matrix; a singular one raises
            ``numpy.linalg.LinAlgError`` after ``repulsion`` was replaced.
        """

    def get_dist_matrix(self, scaled: bool = True, inverted: bool = True) -> NDArray[np.float64]:
        """The matrix under which distances are measured.

        Parameters
        ----------
        scaled
            When false, the identity (``eye_repulsion``): plain Euclidean
            distance, ignoring the repulsion.
        inverted
            With ``scaled`` true: when true ``inv_repulsion`` (the field's
            metric), when false ``repulsion`` itself.

        Returns
        -------
        numpy.ndarray
            The stored array itself, not a copy.
        """

    def get_center_point(self) -> NDArray[np.float64]:
        """The centre of the bounding box, two float64 values."""

    def in_bbox(self, x: ArrayLike) -> bool:
        """Whether every query point lies in the bounding box, edges included.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or a batch of pairs.

        Returns
        -------
        bool
            One answer for the whole batch: True only when all points are
            inside; a NaN coordinate gives False.
        """

    def squared_dist(
        self, x: ArrayLike, scaled: bool = True, inverted: bool = True, **kwargs: Any
    ) -> NDArray[np.float64]:
        """The squared distance of each query point from the geometry.

        With ``d = self.repulsion_vector(x)`` and
        ``M = self.get_dist_matrix(scaled, inverted)``, the result is
        ``((d @ M) * d).sum(-1)``.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch.
        scaled
            Measure under the repulsion (true) or in plain Euclidean terms
            (false); see :meth:`get_dist_matrix`.
        inverted
            Measure under ``inv_repulsion`` (true) or ``repulsion`` (false);
            see :meth:`get_dist_matrix`.
        **kwargs
            Ignored.

        Returns
        -------
        numpy.ndarray
            ``(n,)``, one value per query point.
        """

    def eval(
        self, x: ArrayLike, scaled: bool = True, inverted: bool = True, **kwargs: Any
    ) -> NDArray[np.float64]:
        """The field value ``exp(-squared_dist(x))`` at each query point.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch.
        scaled
            As for :meth:`squared_dist`.
        inverted
            As for :meth:`squared_dist`.
        **kwargs
            Ignored.

        Returns
        -------
        numpy.ndarray
            ``(n,)``, values in ``(0, 1]``: 1 on the geometry.
        """

    def toRGeoJSON(self) -> dict[str, Any]:
        """The geometry as an RGeoJSON Feature dictionary.

        Returns
        -------
        dict
            ``{"type": "Feature", "properties": properties, "geometry":
            {"type": RGJType, "coordinates": ..., "repulsion": ...}}``; the
            properties are the geometry's own dict, and the geometry part can
            be expanded into the constructor's keywords to rebuild it.
        """

class MultiRGJGeometry(RGJGeometry):
    """Base of the geometries made of several parts (point sets, line strings,
    multi polygons and collections); it adds no field."""
