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
def run_snippet():
    """Runs Python code in a fresh interpreter with this test run's environment."""

    def run(code, timeout=600):
        env = dict(os.environ)
        # Under a sanitizer, NumPy's refused allocations must still come back as NULL.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "allocator_may_return_null=1"]))
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
        )

    return run
