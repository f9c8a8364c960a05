"""``python -m zelk.field``: the ``zelk-field`` command."""

import sys

from zelk.field.cli import main

sys.exit(main())
