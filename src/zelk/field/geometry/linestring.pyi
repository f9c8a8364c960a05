"""LineStringRGJ / MultiLineStringRGJ."""

from collections.abc import Iterable
from typing import Any, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

from zelk.field.geometry.base import MultiRGJGeometry

__test__: dict[str, Any]
"""An empty dict: the module has no doctests."""

@disjoint_base
class LineStringRGJ(MultiRGJGeometry):
    """A polyline: vertices in path order joined by straight segments.

    The segments are cached (``points_in_line_pair``, ``_p1``, ``_v``,
    ``_v_dot_v``, ``lines_n``) whenever the vertices change through the
    constructor or :meth:`set_coordinates`; assigning ``coordinates`` by hand
    leaves the cache stale until :meth:`_build_segments` is called. Repulsion
    vectors point from the nearest point of the line towards each query point
    (query minus nearest), and are zero on the line.
    """

    RGJType: ClassVar[str]
    """``"LineString"``: the GeoJSON geometry type of the class."""
    points_in_line_pair: NDArray[np.float64]
    """``(S, 2, 2)``: entry ``[i, 0]`` is the start and ``[i, 1]`` the end of
    segment ``i``."""
    _p1: NDArray[np.float64]
    """``(S, 2)`` C-contiguous segment start points."""
    _v: NDArray[np.float64]
    """``(S, 2)`` C-contiguous segment vectors, end minus start."""
    _v_dot_v: NDArray[np.float64]
    """``(S,)`` squared segment lengths, 1.0 for a zero-length segment."""
    lines_n: int
    """Number of vertices minus one: the segment count (-1 without vertices).
    Deleting it raises NotImplementedError."""

    def __init__(self, coordinates: ArrayLike, repulsion: ArrayLike | None = None, **kwargs: Any) -> None:
        """Build the line and its segment cache.

        Parameters
        ----------
        coordinates
            The vertices in path order, anything ``numpy.array`` turns into
            ``(n, 2)`` rows. The last vertex is not joined to the first.
        repulsion
            The 2 x 2 repulsion matrix; None gives the identity.
        **kwargs
            Passed on to the base initialiser: ``properties`` and
            ``optional_dim`` are honoured, other keywords (such as ``"type"``)
            ignored.
        """

    def _build_segments(self) -> None:
        """Rebuild the segment cache from the current ``coordinates``."""

    def set_coordinates(self, new_coords: ArrayLike) -> None:
        """Replace the vertices, then rebuild the box and the segment cache.

        Parameters
        ----------
        new_coords
            The new vertices, as the constructor's ``coordinates``. The
            repulsion matrices and properties are kept.
        """

    def repulsion_vector(
        self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any
    ) -> NDArray[np.float64]:
        """The vector from the line to each query point.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch.
        min_dist_select
            When true, one row per query point: the query point minus its
            nearest point on the line, the nearest segment chosen under
            ``get_dist_matrix()`` (the metric ``inv_repulsion``), the lowest
            segment index winning a tie. When false, every segment answers for
            every query point, without any metric: ``(S * n, 2)`` rows in
            segment-major order, row ``i * n + j`` being ``x_j`` minus its
            nearest point on segment ``i``.
        **kwargs
            Ignored.

        Returns
        -------
        numpy.ndarray
            float64 ``(n, 2)`` or ``(S * n, 2)``; zeros ``(n, 2)`` when the line
            has no segment.
        """

class MultiLineStringRGJ(LineStringRGJ):
    """Several polylines sharing one repulsion matrix, answering as one shape.

    The segments of all lines form one cache, but no segment joins the end of
    one line to the start of the next. ``coordinates`` is a list of ``(n_l,
    2)`` arrays and ``bbox`` stacks one two-row box per line, ``(2k, 2)``.
    Repulsion vectors are those of :class:`LineStringRGJ` over all segments.
    """

    RGJType: ClassVar[str]
    """``"MultiLineString"``: the GeoJSON geometry type of the class."""
    coordinates: list[NDArray[np.float64]]
    """One float64 ``(n_l, 2)`` vertex array per line, in the given order."""

    def __init__(
        self,
        coordinates: Iterable[ArrayLike],
        repulsion: ArrayLike | None = None,
        properties: dict[str, Any] | None = None,
        optional_dim: int = 2,
        **kwargs: Any,
    ) -> None:
        """Build the lines and their joint segment cache.

        Parameters
        ----------
        coordinates
            One vertex sequence per line; at least one line, and every line at
            least one vertex (a single vertex gives no segment but counts for
            the box and the centre).
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

    def _build_segments(self) -> None:
        """Rebuild the joint segment cache from the current ``coordinates``."""

    def set_coordinates(self, new_coords: Iterable[ArrayLike]) -> None:  # type: ignore[override]
        """Replace the lines, then rebuild the box and the segment cache.

        Parameters
        ----------
        new_coords
            One vertex sequence per line, as the constructor's
            ``coordinates``. The repulsion matrices and properties are kept.
        """

    def get_center_point(self) -> NDArray[np.float64]:
        """The centre of the box of all vertices of all lines (not their
        mean), two float64 values."""
