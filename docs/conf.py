"""Sphinx configuration of the zelk-field documentation site.

The API reference is read from the package's stubs (``*.pyi``), the one place
its docstrings live: the compiled modules carry none, so nothing is imported
and no build of the extensions is needed to make the site.
"""

import pathlib
import re

root = pathlib.Path(__file__).resolve().parents[1]

project = "zelk-field"
author = "The zelk-field developers"
copyright = "2026, The zelk-field developers"
# The one version string, kept in pyproject.toml.
release = re.search(r'^version = "([^"]+)"', (root / "pyproject.toml").read_text(), re.M).group(1)
version = release

extensions = ["myst_parser", "autoapi.extension", "sphinx.ext.napoleon"]

autoapi_type = "python"
autoapi_dirs = [str(root / "src" / "zelk")]
# A stub next to a module wins over it; the compiled modules have only stubs.
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "api"
autoapi_options = ["members", "undoc-members", "show-inheritance", "show-module-summary", "imported-members"]
autoapi_keep_files = False
autoapi_add_toctree_entry = False
autoapi_member_order = "groupwise"

napoleon_numpy_docstring = True
napoleon_google_docstring = False

html_theme = "alabaster"
html_title = f"zelk-field {release}"
html_static_path: list[str] = []
exclude_patterns = ["_build"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
# Headings down to this level get anchors that links can name.
myst_heading_anchors = 3
