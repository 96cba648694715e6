"""Sphinx configuration of kelto's documentation site: the guide, the error
reference, the API reference and the changelog, all Markdown read by MyST.

Built by `tools/dev docs` into docs/html/ with Debian's Sphinx and MyST, every
warning an error, then every link between the pages checked by
tools/check_site.py. The build reaches nothing outside the clone: no
intersphinx, and the theme is Alabaster, which Sphinx depends on."""

import pathlib
import tomllib

_root = pathlib.Path(__file__).resolve().parent.parent
with open(_root / "pyproject.toml", "rb") as _f:
    release = tomllib.load(_f)["project"]["version"]

project = "kelto"
author = "the kelto developers"
project_copyright = "the kelto developers, MIT licence"
version = release

extensions = ["myst_parser"]
source_suffix = {".md": "markdown"}
root_doc = "index"
# Development notes and the reference's prose source are not pages of the
# site: the prose reaches readers through reference.md, which it is merged into.
exclude_patterns = ["html", "development.md", "reliability.md", "reference-prose.md"]

# Headings down to a reference member's (####) get the anchors that the
# Markdown links of the pages use, as a Markdown viewer makes them.
myst_heading_anchors = 4
# A link to a page or an anchor that does not exist is a warning, hence an error.
nitpicky = True
# Quotes and dashes stay as written: messages quoted in the prose must read
# exactly as kelto prints them.
smartquotes = False

html_theme = "alabaster"
html_title = f"kelto {release}"
html_theme_options = {"description": "Typed package constraints for CPython 3.14", "fixed_sidebar": True}
html_sidebars = {"**": ["about.html", "navigation.html", "searchbox.html"]}
# The sources are in the same sdist; a copy of each beside its page only doubles it.
html_copy_source = False
html_show_sourcelink = False
