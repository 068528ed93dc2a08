"""Sphinx configuration of the user documentation.

Built by scripts/test.sh (scripts/docs.sh) with warnings as errors and
nitpicky references, against the installed package: the API and CLI pages
are generated from the code that users get, not from the source tree.
"""

from __future__ import annotations

import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))
# The gallery writes its sample recordings with examples/make_sample.py.
sys.path.insert(0, str(ROOT / "examples"))

import zudata  # noqa: E402  (the installed package, after the path set-up)

project = "zu_data_reader"
author = "The zu_data_reader developers"
copyright = "the zu_data_reader developers"  # noqa: A001 - Sphinx's setting name
release = version = zudata.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "zu_stubs",
    "zu_cli",
    "zu_coverage",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "DEVELOPING.md", "gallery/README.txt", "auto_examples/*.ipynb",
                    "auto_examples/*.py", "auto_examples/*.zip", "auto_examples/*.md5",
                    "auto_examples/*.json"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# Options such as --jobs stay as typed, not turned into dashes.
smartquotes = False

html_theme = "furo"
html_title = f"zu_data_reader {release}"
html_static_path = ["_static"]
# Declared, so that browsers do not ask the server for /favicon.ico.
html_favicon = "_static/favicon.svg"

# Signatures as the type hints give them; the text says what a value means.
autodoc_typehints = "signature"
autodoc_member_order = "bysource"
autodoc_type_aliases: dict[str, str] = {}
add_module_names = False

# Nitpicky: every reference must resolve. The site is built offline, so the
# other projects' inventories are not fetched; names from the standard
# library, NumPy, xarray and Dask that the signatures mention are accepted
# as they are (they are rendered as plain text, not links).
nitpicky = True
nitpick_ignore_regex = [
    ("py:class", r"(os|pathlib|types|typing|collections\.abc)\..*"),
    ("py:class", r"(numpy|np|npt|xarray|dask)(\..*)?"),
    ("py:class", r"(Any|Path|NDArray|float64|Iterable|Mapping|Sequence|TracebackType|ZuHeader)"),
    ("py:class", r"(ArrayLike|DTypeLike)"),
    # The file-object protocols zudata.open accepts, described in its
    # docstring (binary file objects, fsspec OpenFiles).
    ("py:class", r"zudata\._remote\.(BinaryFile|FsspecFile)"),
]

sphinx_gallery_conf = {
    "examples_dirs": str(DOCS / "gallery"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "image_scrapers": ("matplotlib",),
    "abort_on_example_error": True,
    "show_signature": False,
    # The timing pages load scripts from the network; the site is read offline too.
    "write_computation_times": False,
}
