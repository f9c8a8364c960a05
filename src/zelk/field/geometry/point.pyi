"""PointRGJ / MultiPointRGJ."""

from typing import Any, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

from zelk.field.geometry.base import MultiRGJGeometry, RGJGeometry

__test__: dict[str, Any]
"""An empty dict: the module has no doctests."""

class PointRGJ(RGJGeometry):
    """A single point with a repulsion matrix.

    Built by the base initialiser: ``PointRGJ(coordinates, repulsion=None,
    properties=None, optional_dim=2)`` with ``coordinates`` one ``(x, y)``
    pair (stored as a ``(1, 2)`` array). Its repulsion vectors point from the
    point towards each query point (query minus point).
    """

    RGJType: ClassVar[str]
    """``"Point"``: the GeoJSON geometry type of the class."""

    def repulsion_vector(self, x: ArrayLike, **kwargs: Any) -> NDArray[np.float64]:
        """The vector from the point to each query point.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch; integers become floats.
        **kwargs
            Ignored; in particular ``min_dist_select`` changes nothing here,
            as a single point is its own nearest part.

        Returns
        -------
        numpy.ndarray
            ``(n, 2)``: row ``i`` is query point ``i`` minus the point.
        """

@disjoint_base
class MultiPointRGJ(MultiRGJGeometry):
    """A set of points sharing one repulsion matrix.

    Its repulsion vectors point from each query point towards the nearest point
    of the set (nearest minus query), the opposite of :class:`PointRGJ` and of
    the line-string and polygon classes: for a set of one point the vector is
    exactly the negation of a ``PointRGJ``'s. ``bbox`` holds a copy of the
    points themselves (``(m, 2)``), not a two-corner box.
    """

    RGJType: ClassVar[str]
    """``"MultiPoint"``: the GeoJSON geometry type of the class."""

    def __init__(self, coordinates: ArrayLike, repulsion: ArrayLike | None = None, **kwargs: Any) -> None:
        """Build the point set.

        Parameters
        ----------
        coordinates
            The points, anything ``numpy.array`` turns into ``(m, 2)`` rows.
        repulsion
            The 2 x 2 repulsion matrix; None gives the identity.
        **kwargs
            Passed on to the base initialiser: ``properties`` and
            ``optional_dim`` are honoured, other keywords (such as ``"type"``)
            ignored.
        """

    def in_bbox(self, x: ArrayLike) -> bool:
        """Whether every query point lies in the box spanned by the points.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or a batch of pairs.

        Returns
        -------
        bool
            One answer for the whole batch, edges included; False for a set
            without points.
        """

    def repulsion_vector(
        self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any
    ) -> NDArray[np.float64]:
        """The vector from each query point to the points of the set.

        Parameters
        ----------
        x
            One ``(x, y)`` pair or an ``(n, 2)`` batch.
        min_dist_select
            When true, one row per query point: ``p - x`` for the point ``p``
            nearest to ``x`` under ``get_dist_matrix()`` (the metric
            ``inv_repulsion``), the lowest index winning a tie. When false,
            every point answers for every query point: ``(m * n, 2)`` rows in
            point-major order, row ``j * n + i`` being ``p_j - x_i``.
        **kwargs
            Ignored.

        Returns
        -------
        numpy.ndarray
            ``(n, 2)`` or ``(m * n, 2)`` float64, nearest point minus query.
        """
