"""Several quantities of a field in one search per point."""

from typing import Any

import numpy as np
from numpy.typing import NDArray

__test__: dict[str, Any]

def evaluate(geometry: Any, x: NDArray[np.float64], quantities: tuple[str, ...]) -> dict[str, NDArray[np.float64]] | None:
    """The named quantities ("value", "gradient", "squared_dist",
    "repulsion_vector") of the geometry's field at the points ``x``, each the
    bits of the geometry's own method (a single geometry's gradient as that of
    a collection holding it alone), or None where the geometry is not exactly
    one of the package's classes running natively."""
