"""GeometryCollectionRGJ."""

from collections.abc import Iterable, Mapping
from typing import Any, ClassVar, Literal, NoReturn, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

from zelk.field.geometry.base import MultiRGJGeometry, RGJGeometry

__test__: dict[str, Any]
"""An empty dict: the module has no doctests."""

@disjoint_base
class GeometryCollectionRGJ(MultiRGJGeometry):
    """Geometries of any class, each with its own repulsion, as one field.

    Members are built from RGeoJSON geometry dictionaries through the package's
    type table and asked in order; for each query point the collection picks
    the member that answers it. ``bbox`` joins the members' boxes. The fields
    ``coordinates``, ``repulsion``, ``inv_repulsion``, ``eye_repulsion`` and
    ``grad_matrix`` of the collection itself are not set. An empty collection
    cannot be built.
    """

    RGJType: ClassVar[str]
    """``"GeometryCollection"``: the GeoJSON geometry type of the class."""
    rgjs: list[RGJGeometry]
    """The members, in input order. Accepts only a list or None; assigning it
    does not restack ``inv_repulsions``, ``grad_matrixes`` or ``bbox``."""
    inv_repulsions: NDArray[np.float64]
    """``(m, 2, 2)``: member ``i``'s metric ``get_dist_matrix()``, stacked at
    construction; picks the member of :meth:`repulsion_vector`."""
    grad_matrixes: NDArray[np.float64]
    """``(m, 2, 2)``: member ``i``'s ``grad_matrix``, stacked at construction;
    the matrices :meth:`gradient` applies."""

    def __init__(
        self, geometries: Iterable[Mapping[str, Any]], properties: dict[str, Any] | None = None, **kwargs: Any
    ) -> None:
        """Build the members and stack their matrices and boxes.

        Parameters
        ----------
        geometries
            RGeoJSON geometry dictionaries, such as the ``"geometry"`` entries
            of ``toRGeoJSON()``: a ``"type"`` key naming the class
            (``"Point"``, ``"Polygon"``, ...) and the keywords of its
            constructor (``"coordinates"``, ``"repulsion"``, ...). They are
            not modified.
        properties
            A dict stored by reference; None gives a new empty dict.
        **kwargs
            Ignored, so that a ``{"type": "GeometryCollection", "geometries":
            [...]}`` dictionary can be expanded into the keywords.
        """

    def set_coordinates(self, new_coords: Any) -> NoReturn:
        """Always raises NotImplementedError: a collection's coordinates
        cannot be replaced as a whole.

        Parameters
        ----------
        new_coords
            Not used.
        """

    def set_repulsion(self, new_repulsion: ArrayLike) -> None:
        """Pass a new repulsion matrix to every member's ``set_repulsion``.

        ``inv_repulsions`` and ``grad_matrixes`` keep the matrices stacked at
        construction, and the queries read those.

        Parameters
        ----------
        new_repulsion
            The new square repulsion matrix, given to each member.
        """

    def in_bbox(self, x: ArrayLike) -> bool:
        """Whether one member's ``in_bbox`` is true for the whole batch.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or a batch of pairs, handed to each member.

        Returns
        -------
        bool
            True at the first member that answers true; False otherwise.
        """

    def get_dist_matrix(self, scaled: bool = True, inverted: bool = True) -> NDArray[np.float64]:
        """Every member's distance matrix, stacked to ``(m, 2, 2)``.

        Parameters
        ----------
        scaled
            Passed to each member's ``get_dist_matrix``: when false, the
            identity (plain Euclidean distance).
        inverted
            Passed to each member's ``get_dist_matrix``: with ``scaled`` true,
            ``inv_repulsion`` when true, ``repulsion`` when false.
        """

    def get_center_point(self) -> NDArray[np.float64]:
        """The centre of the box of the members' centres (not their mean),
        two float64 values."""

    @overload
    def squared_dist(
        self,
        x: ArrayLike,
        scaled: bool = True,
        inverted: bool = True,
        return_reference: Literal[False] = False,
        **kwargs: Any,
    ) -> NDArray[np.float64]: ...
    @overload
    def squared_dist(
        self, x: ArrayLike, scaled: bool, inverted: bool, return_reference: Literal[True], **kwargs: Any
    ) -> tuple[NDArray[np.float64], NDArray[np.intp]]: ...
    @overload
    def squared_dist(
        self,
        x: ArrayLike,
        scaled: bool = True,
        inverted: bool = True,
        *,
        return_reference: Literal[True],
        **kwargs: Any,
    ) -> tuple[NDArray[np.float64], NDArray[np.intp]]: ...
    @overload
    def squared_dist(
        self,
        x: ArrayLike,
        scaled: bool = True,
        inverted: bool = True,
        return_reference: bool = False,
        **kwargs: Any,
    ) -> NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.intp]]:
        """The squared distance of each query point from its nearest member.

        Each member measures its own squared distance (with ``scaled`` and
        ``inverted``) and the smallest is taken per point.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch, handed to each member.
        scaled
            Passed to each member's ``squared_dist``.
        inverted
            Passed to each member's ``squared_dist``.
        return_reference
            When true, also return which member is nearest: the pair
            ``(distances, index)``, ``index`` an integer ``(n,)`` array of
            positions in ``rgjs``, the earliest member winning a tie.
        **kwargs
            Ignored (not passed to the members).

        Returns
        -------
        numpy.ndarray or tuple
            ``(n,)`` distances, or ``(distances, index)``.
        """

    def repulsion_vector(
        self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any
    ) -> NDArray[np.float64]:
        """The repulsion vector of the member that answers each query point.

        Each member answers with its own orientation (a point set's vectors
        point from the query point to its nearest point, the other classes'
        from the shape to the query point).

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch, handed to each member.
        min_dist_select
            When true, one row per query point: the vector of the member whose
            vector ``v`` has the smallest ``v @ inv_repulsions[i] @ v`` (its
            own metric), the earliest member winning a tie. When false, every
            member's unselected answer, member by member.
        **kwargs
            Passed to every member's ``repulsion_vector``.

        Returns
        -------
        numpy.ndarray
            float64 ``(n, 2)``, or all members' rows when not selecting.
        """

    def gradient(self, x: ArrayLike, **kwargs: Any) -> NDArray[np.float64]:
        """The gradient of the field at each query point.

        Row ``l`` is ``-eval(x)[l] * grad_matrixes[k] @ r``, with ``r`` the
        point's :meth:`repulsion_vector` and ``k`` the member nearest by
        :meth:`squared_dist`: the matrix applied is that of the nearest
        member. The two members are chosen independently and may differ.
        The vector is used with its member's orientation: where a point set
        answers (nearest point minus query), the row is the negation of the
        derivative of the field value.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch.
        **kwargs
            Passed to both :meth:`squared_dist` and :meth:`repulsion_vector`;
            ``return_reference`` or ``min_dist_select`` among them raise
            TypeError.

        Returns
        -------
        numpy.ndarray
            float64 ``(n, 2)``.
        """

    def toRGeoJSON(self) -> dict[str, Any]:
        """The collection as an RGeoJSON Feature dictionary.

        Returns
        -------
        dict
            ``{"type": "Feature", "properties": properties, "geometry":
            {"type": "GeometryCollection", "geometries": [...]}}`` with each
            member's ``"geometry"`` entry, in order; the collection's
            ``properties`` are its own dict.
        """
