"""PolygonRGJ / MultiPolygonRGJ."""

from collections.abc import Iterable
from typing import Any, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

from zelk.field.geometry.base import MultiRGJGeometry, RGJGeometry

__test__: dict[str, Any]
"""An empty dict: the module has no doctests."""

@disjoint_base
class PolygonRGJ(RGJGeometry):
    """A polygon: one outer ring and any number of holes.

    Rings are closed on construction (the first vertex appended when the last
    differs from it) and are not otherwise validated. Repulsion vectors are
    zero for query points inside the polygon, and for every other point
    (points in a hole included) the point minus its nearest point on the
    boundary, outer ring and hole edges alike.
    """

    RGJType: ClassVar[str]
    """``"Polygon"``: the GeoJSON geometry type of the class."""
    rings: list[NDArray[np.float64]]
    """The closed rings as C-contiguous float64 ``(k, 2)`` arrays: item 0 the
    outer ring, the rest holes. Accepts only a list or None."""
    points_in_line_pair: NDArray[np.float64]
    """``(S, 2, 2)``: every boundary segment of every ring, ring by ring;
    ``[i, 0]`` is the start and ``[i, 1]`` the end of segment ``i``."""
    _p1: NDArray[np.float64]
    """``(S, 2)`` C-contiguous segment start points."""
    _v: NDArray[np.float64]
    """``(S, 2)`` C-contiguous segment vectors, end minus start."""
    _v_dot_v: NDArray[np.float64]
    """``(S,)`` squared segment lengths, 1.0 for a zero-length segment."""
    metric: NDArray[np.float64]
    """The matrix of ``get_dist_matrix()`` under which the nearest boundary
    segment is chosen; refreshed by :meth:`set_repulsion`."""
    _S: int
    """The number of boundary segments. Deleting it raises
    NotImplementedError."""

    def __init__(
        self,
        coordinates: ArrayLike,
        repulsion: ArrayLike | None = None,
        properties: dict[str, Any] | None = None,
        optional_dim: int = 2,
        **kwargs: Any,
    ) -> None:
        """Build the rings, the boundary segments and the repulsion state.

        Parameters
        ----------
        coordinates
            A list or tuple, or a NumPy array. A flat list of numbers
            ``[x0, y0, x1, y1, ...]`` or a list of ``(x, y)`` pairs is one ring;
            a list of such rings is the outer ring followed by the holes; a
            ``(k, 2)`` array is one ring and an ``(R, k, 2)`` array ``R``
            rings. Anything else raises TypeError.
        repulsion
            The square repulsion matrix; None gives the identity of size
            ``optional_dim``.
        properties
            A dict stored by reference; None gives a new empty dict.
        optional_dim
            The size of the identity used when ``repulsion`` is None.
        **kwargs
            Ignored (such as the ``"type"`` of a geometry dictionary).
        """

    def _build_segment_cache(self) -> None:
        """Rebuild ``_p1``, ``_v``, ``_v_dot_v`` and ``_S`` from the current
        ``points_in_line_pair``."""

    def set_coordinates(self, new_coords: ArrayLike) -> None:
        """Rebuild the polygon from new rings.

        Parameters
        ----------
        new_coords
            The new rings, in any form the constructor accepts. The repulsion
            values and the same ``properties`` dict are kept.
        """

    def set_repulsion(self, new_repulsion: ArrayLike) -> None:
        """Replace the repulsion matrix, its derived matrices and ``metric``.

        Parameters
        ----------
        new_repulsion
            The new square repulsion matrix.
        """

    def in_bbox(self, x: ArrayLike) -> bool:
        """Whether every query point lies in the polygon's box, edges included.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or a batch of pairs, compared as given.

        Returns
        -------
        bool
            One answer for the whole batch; True for an empty batch, False for
            any NaN coordinate.
        """

    def repulsion_vector(
        self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any
    ) -> NDArray[np.float64]:
        """The vector from the polygon to each query point.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch.
        min_dist_select
            Accepted for a common signature with the multi-part classes; it
            changes nothing here, the result always has one row per point.
        **kwargs
            Ignored.

        Returns
        -------
        numpy.ndarray
            float64 ``(n, 2)`` in the order of the input rows: zero for points
            inside (even-odd rule), otherwise the point minus its nearest
            boundary point, the nearest segment chosen under ``metric``.
        """

    def toRGeoJSON(self) -> dict[str, Any]:
        """The polygon as an RGeoJSON Feature dictionary.

        Returns
        -------
        dict
            ``{"type": "Feature", "properties": properties, "geometry":
            {"type": "Polygon", "coordinates": rings, "repulsion": ...}}``, the
            rings as nested lists of floats (outer ring first, each closed) and
            the properties the polygon's own dict.
        """

@disjoint_base
class MultiPolygonRGJ(MultiRGJGeometry):
    """Polygons sharing one repulsion matrix, answering as one shape.

    Keeps one :class:`PolygonRGJ` per member in ``polygons`` and joins their
    boundary segments into one cache. By design it answers
    :meth:`repulsion_vector` from that boundary alone, with no inside test: a
    point inside a member gets the vector from the nearest edge, never the
    zero vector a :class:`PolygonRGJ` gives. To have each part answer zero
    inside, use the parts as separate polygons (for example members of a
    collection). ``coordinates`` is not set by the constructor.
    """

    RGJType: ClassVar[str]
    """``"MultiPolygon"``: the GeoJSON geometry type of the class."""
    polygons: list[PolygonRGJ]
    """One polygon per member, in input order. Accepts only a list or None."""
    points_in_line_pair: NDArray[np.float64]
    """``(S, 2, 2)``: the boundary segments of all members, member by
    member."""
    _p1: NDArray[np.float64]
    """``(S, 2)`` C-contiguous segment start points."""
    _v: NDArray[np.float64]
    """``(S, 2)`` C-contiguous segment vectors, end minus start."""
    _v_dot_v: NDArray[np.float64]
    """``(S,)`` squared segment lengths, 1.0 for a zero-length segment."""
    _S: int
    """The number of boundary segments of all members. Deleting it raises
    NotImplementedError."""

    def __init__(
        self,
        coordinates: Iterable[Any],
        repulsion: ArrayLike | None = None,
        properties: dict[str, Any] | None = None,
        optional_dim: int = 2,
        **kwargs: Any,
    ) -> None:
        """Build one polygon per member and the joint segment cache.

        Parameters
        ----------
        coordinates
            One entry per member polygon, each in any form
            :class:`PolygonRGJ` accepts (for example a list of rings, outer
            ring first).
        repulsion
            The square repulsion matrix, shared by the members; None gives the
            identity of size ``optional_dim``.
        properties
            A dict stored by reference and shared with every member; None
            gives a new empty dict.
        optional_dim
            The size of the identity used when ``repulsion`` is None.
        **kwargs
            Ignored (such as the ``"type"`` of a geometry dictionary).
        """

    def set_coordinates(self, new_coords: Iterable[Any]) -> None:  # type: ignore[override]
        """Rebuild the multi polygon from new members.

        Parameters
        ----------
        new_coords
            One entry per member, as the constructor's ``coordinates``. The
            repulsion values and the same ``properties`` dict are kept.
        """

    def in_bbox(self, x: ArrayLike) -> bool:
        """Whether one member's box holds every query point.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or a batch of pairs.

        Returns
        -------
        bool
            True as soon as one member's ``in_bbox`` is true for the whole
            batch; a batch spread over two members' boxes gives False.
        """

    def get_center_point(self) -> NDArray[np.float64]:
        """The midpoint between the smallest and the largest member centre in
        each coordinate (not their mean), two float64 values."""

    def repulsion_vector(
        self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any
    ) -> NDArray[np.float64]:
        """The vector from the members' joint boundary to each query point.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch.
        min_dist_select
            When true, one row per query point: the point minus its nearest
            boundary point over all members, the nearest segment chosen under
            ``get_dist_matrix()``; inside points are not zero (see the class).
            When false, every segment answers for every query point, without
            any metric: ``(S * n, 2)`` rows in segment-major order.
        **kwargs
            Ignored.

        Returns
        -------
        numpy.ndarray
            float64 ``(n, 2)`` or ``(S * n, 2)``; zeros ``(n, 2)`` without
            segments.
        """

    def toRGeoJSON(self) -> dict[str, Any]:
        """The multi polygon as an RGeoJSON Feature dictionary.

        Returns
        -------
        dict
            ``{"type": "Feature", "properties": properties, "geometry":
            {"type": "MultiPolygon", "coordinates": [...], "repulsion": ...}}``
            with one entry per member: that member's ``rings`` list itself,
            holding float64 arrays (not nested lists).
        """
