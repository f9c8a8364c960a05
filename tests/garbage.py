"""Values that are wrong in every way a caller, a hand assignment or a pickle
could make them, for the tests that run them through every operation in a
child process: whatever comes back, the process must survive."""

import warnings

import numpy as np

from helpers import subclass, unaligned


class Raises:
    """Fails every protocol NumPy or the interpreter may try on it."""

    def fail(self, *args, **kwargs):
        raise RuntimeError("garbage")

    __array__ = __len__ = __bool__ = __index__ = __iter__ = __getitem__ = fail

    def __getattr__(self, name):
        raise RuntimeError(name)


Sub = subclass(np.ndarray)

loop = []
loop.append(loop)

UNALIGNED = unaligned(np.zeros((2, 2)))

# What every geometry module's list holds; each adds its own shapes.
COMMON = [
    None, "str", 0, -1, 10**400, 2**62, float("nan"), 1j, np.zeros((2, 2, 2)), np.ones((3, 2), np.float32),
    np.array([[None, 1], [2, "x"]], dtype=object), np.zeros((0, 2)), np.zeros((0, 0)), np.zeros((5,)),
    np.zeros((2, 3)), np.array(np.nan), np.array(["a", "b"]), np.full((3, 2), np.inf), np.ones((3, 2))[::-1],
    np.ones((2, 2), ">f8"), np.ones((4, 2)).view(Sub), UNALIGNED, np.ones((2, 2))[:, :0], {"a": 1},
    [[1, 2], [3]], (), [], [[]], loop, object(), Raises(), [Raises()], [np.ones(2), np.ones((2, 2))],
    np.eye(2)[None], np.ones((7, 2)),
]

calls = 0


def attempt(f, *args, **kwargs):
    """f(*args, **kwargs), any Python exception taken as an answer."""
    global calls
    calls += 1
    try:
        f(*args, **kwargs)
    except Exception:
        pass


def quiet():
    warnings.simplefilter("ignore")
    np.seterr(all="ignore")
