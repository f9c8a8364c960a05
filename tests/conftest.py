"""Fixtures shared by every test folder."""

import os
import subprocess
import sys
import textwrap

import pytest


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
