"""zelk.field: repulsion fields built from geometries."""

from __future__ import annotations

import contextvars as _contextvars
import operator as _operator
import os as _os
import warnings as _warnings

# typing is imported for the type checker only: importing it at run time would
# make every geometry module's import depend on it (and on the builtins it uses).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import TracebackType as _TracebackType
    from typing import SupportsIndex as _SupportsIndex

__all__ = ["get_num_threads", "num_threads", "set_num_threads"]

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


# Read by the compiled modules whenever a batch is large enough to split: the
# context variable when it holds a count (set by num_threads for a block),
# else the plain int, the process-wide setting.
_default_threads = _initial_threads()
_num_threads = _default_threads
_thread_context: _contextvars.ContextVar[int | None] = _contextvars.ContextVar("zelk.field.num_threads", default=None)


def set_num_threads(n: _SupportsIndex | None) -> None:
    """Sets how many threads large queries may use; None restores the default.

    This is the process-wide setting, for every thread; a ``num_threads``
    block overrides it where it applies. The default is ZELK_FIELD_NUM_THREADS
    as read at import when it is set, else the number of cores this process
    may run on. With 1, every query runs on the caller's thread and holds the
    interpreter lock throughout. Results are the same bits whatever the number.
    """
    global _num_threads
    _num_threads = _default_threads if n is None else _thread_count(n)


def get_num_threads() -> int:
    """How many threads large queries may use here: the innermost ``num_threads``
    block's count in this thread (or asyncio task), else the process-wide setting."""
    n = _thread_context.get()
    return _num_threads if n is None else n


class num_threads:
    """Limits the threads of large queries for a block of code.

    For example::

        with zelk.field.num_threads(2):
            values = scene.eval(points)

    The count holds in the thread (or asyncio task) that enters the block,
    inside nested calls too, and is restored on leaving it, however it is left;
    blocks nest, the innermost counting. Other threads keep their own setting
    (threads started inside the block start from the process-wide one, as do
    a ``concurrent.futures`` pool's). ``None`` makes the block use the
    process-wide setting of ``set_num_threads``. The count takes effect on
    entering the block, not on creating this object.
    """

    __slots__ = ("_count", "_tokens")

    def __init__(self, n: _SupportsIndex | None) -> None:
        self._count = None if n is None else _thread_count(n)
        self._tokens: list[_contextvars.Token[int | None]] = []

    def __enter__(self) -> int:
        self._tokens.append(_thread_context.set(self._count))
        return get_num_threads()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: _TracebackType | None,
    ) -> None:
        _thread_context.reset(self._tokens.pop())

    def __repr__(self) -> str:
        return f"zelk.field.num_threads({self._count!r})"
