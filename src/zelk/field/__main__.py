"""``python -m zelk.field``: the ``zelk-field`` command."""

import sys

from zelk.field.cli import main

# Guarded so that importing the module (as type checkers' stub tests do) runs nothing.
if __name__ == "__main__":
    sys.exit(main())
