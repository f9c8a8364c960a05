"""Fixtures shared by every test folder."""

import os
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import pytest


@pytest.fixture
def rng(request):
    # Seeded by the test's name: reproducible, yet different per case.
    return np.random.default_rng(zlib.crc32(request.node.name.encode()))


@pytest.fixture
def run_python():
    """Runs `code` with this interpreter in a fresh process and the current
    environment (plus `env`); returns the CompletedProcess (text output)."""

    def run(code, env=None, args=(), timeout=600):
        full_env = dict(os.environ)
        full_env.update(env or {})
        return subprocess.run(
            [sys.executable, *args, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=full_env,
            timeout=timeout,
        )

    return run


@pytest.fixture
def run_garbage(run_python):
    """Runs a garbage batch (code using the names of tests/garbage.py) in a
    fresh process; checks that it survived and made more than `least` calls."""

    def run(code, least):
        prelude = f"import sys\nsys.path.insert(0, {os.path.dirname(__file__)!r})\nfrom garbage import *\nquiet()\n"
        epilogue = "\nimport garbage\nprint('calls', garbage.calls)\n"
        # Under a sanitizer, NumPy's refused allocations must still come back as NULL.
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "allocator_may_return_null=1"]))
        result = run_python(prelude + textwrap.dedent(code) + epilogue, env={"ASAN_OPTIONS": asan})
        assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
        assert int(result.stdout.split()[-1]) > least

    return run
