"""Sphinx configuration of the zorvsdk documentation.

The API reference is generated from the docstrings of the built extension modules, so the package
must be importable: install it (``pip install ".[docs]"``) or put a staged build first on
PYTHONPATH, then ``sphinx-build -W -b html docs build/docs``.
"""

import importlib
import os

# Document the compiled modules themselves, from their own docstrings: autodoc would otherwise read
# the type stubs installed beside them instead.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

project = "zorvsdk"
author = "zorvsdk developers"
copyright = "zorvsdk developers"
release = importlib.import_module("zorvsdk").__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "myst_parser",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]
myst_heading_anchors = 3

# The docstrings use the Google style ("Args:", "Returns:", "Attributes:").
napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_ivar = True

# Every cross-reference of the docstrings must resolve.
nitpicky = True
nitpick_ignore = [
    ("py:class", "ArrayLike"),  # numpy.typing.ArrayLike, named in the pixel-mask docstrings
    ("py:class", "numpy.ndarray"),  # named in the sinks' docstrings
    ("py:exc", "queue.Empty"),  # raised by a Recorder's waits, as by queue.Queue's
]

autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True}
# Signatures come from the modules' own text signatures; there are no annotations to show.
autodoc_typehints = "none"

html_theme = "alabaster"
html_title = f"zorvsdk {release}"
html_static_path: list[str] = []
