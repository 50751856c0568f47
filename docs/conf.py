"""Configuration of navro's documentation: the guide (Markdown through MyST),
the API reference generated from the docstrings, and the gallery run from
``examples/``.

Build it with ``bash scripts/docs.sh``; the test command does so with
warnings as errors.
"""

from __future__ import annotations

import importlib
import os
import shutil
from pathlib import Path
from typing import Any

# The gallery shows what an example prints; a sweep's progress bar would
# print a line for every update there, so it updates only at its start and
# end. tqdm reads this when navro imports it.
os.environ["TQDM_MININTERVAL"] = "3600"
navro = importlib.import_module("navro")
importlib.import_module("navro.distributions")

project = "navro"
author = "the navro developers"
copyright = "the navro developers"
release = navro.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
templates_path = ["_templates"]

# Links to headings of other pages, as [text](station.md#a-heading).
myst_heading_anchors = 3

autosummary_generate = True
autodoc_default_options = {"members": True, "member-order": "bysource"}
# The signatures carry the types; the descriptions say what they mean.
autodoc_typehints = "none"
# The reference lists the members itself (see _templates/autosummary).
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

# The gallery runs each example in the folder it reads it from, where the
# example saves its figures; it reads a copy under build/, so that the
# checkout's examples/ stays clean.
_EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
_EXAMPLES_RUN = _EXAMPLES.parent / "build" / "docs" / "examples"
shutil.copytree(
    _EXAMPLES, _EXAMPLES_RUN, dirs_exist_ok=True, ignore=shutil.ignore_patterns("*.png")
)

sphinx_gallery_conf = {
    "examples_dirs": [str(_EXAMPLES_RUN)],
    "gallery_dirs": ["auto_examples"],
    # Every example is run, not only those named plot_*.
    "filename_pattern": r"\.py$",
    "download_all_examples": False,
    "within_subsection_order": "FileNameSortKey",
    # Every build runs every example, so that one broken by a change of navro
    # fails the build even when the example itself did not change.
    "run_stale_examples": True,
    "write_computation_times": False,
    "show_signature": False,
}

html_theme = "pydata_sphinx_theme"
html_title = f"navro {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
html_show_sourcelink = False

nitpicky = True


def _check_reference_is_complete(app: Any, env: Any) -> None:
    """Every public name of navro and navro.distributions has its entry in the
    reference, so a name added to ``__all__`` without one fails the build."""
    documented = set(env.domaindata["py"]["objects"])
    public = [f"navro.{name}" for name in navro.__all__]
    public += [f"navro.distributions.{name}" for name in navro.distributions.__all__]
    missing = [name for name in public if name not in documented]
    if missing:
        from sphinx.util import logging

        logging.getLogger(__name__).warning(
            "public names missing from the API reference (docs/reference.rst): %s",
            ", ".join(missing),
        )


def setup(app: Any) -> None:
    app.connect("env-check-consistency", _check_reference_is_complete)
