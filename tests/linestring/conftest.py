import zlib

import numpy as np
import pytest


@pytest.fixture
def rng(request):
    # Seeded by the test's name: reproducible, yet different per case.
    return np.random.default_rng(zlib.crc32(request.node.name.encode()))
