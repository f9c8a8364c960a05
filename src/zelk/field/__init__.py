"""zelk.field: repulsion fields built from geometries."""

from __future__ import annotations

import operator as _operator
import os as _os
import warnings as _warnings

# typing is imported for the type checker only: importing it at run time would
# make every geometry module's import depend on it (and on the builtins it uses).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import SupportsIndex as _SupportsIndex

__all__ = ["get_num_threads", "set_num_threads"]

# Kept equal to the version in pyproject.toml (a test compares them), so that
# it is right in a source tree too, where no installed metadata exists.
__version__ = "0.2.0"


def _cores() -> int:
    """The number of cores this process may run on."""
    try:
        return len(_os.sched_getaffinity(0))
    except (AttributeError, OSError):  # platforms without affinity masks
        return _os.cpu_count() or 1


def _thread_count(n: _SupportsIndex) -> int:
    n = _operator.index(n)
    if n < 1:
        raise ValueError(f"number of threads must be at least 1, got {n}")
    return n


def _initial_threads() -> int:
    value = _os.environ.get("ZELK_FIELD_NUM_THREADS", "").strip()
    if value:
        try:
            return _thread_count(int(value))
        except ValueError:
            _warnings.warn(
                f"ignoring ZELK_FIELD_NUM_THREADS={value!r}: not a whole number of at least 1",
                RuntimeWarning,
                stacklevel=2,
            )
    return _cores()


# Read by the compiled modules (a plain int in this namespace) whenever a
# batch is large enough to split.
_default_threads = _initial_threads()
_num_threads = _default_threads


def set_num_threads(n: _SupportsIndex | None) -> None:
    """Sets how many threads large queries may use; None restores the default.

    The default is ZELK_FIELD_NUM_THREADS as read at import when it is set,
    else the number of cores this process may run on. With 1, every query
    runs on the caller's thread and holds the interpreter lock throughout.
    Results are the same bits whatever the number.
    """
    global _num_threads
    _num_threads = _default_threads if n is None else _thread_count(n)


def get_num_threads() -> int:
    """How many threads large queries may use."""
    return _num_threads
