"""The documentation site (docs/html/, built by tools/dev docs and by every
sdist build): its pages, the reference's prose on them, the sdist carrying
them, and the link checker that keeps them whole."""

import html
import importlib.util
import re
import tarfile

import pytest

from artefacts import REPO, only

SITE = REPO / "docs" / "html"
# Each page of the site, by the title its source gives it.
PAGES = {"index": "kelto", "guide": "The kelto guide", "errors": "kelto's errors",
         "reference": "kelto reference", "changelog": "Changelog"}


def load_tool(name):
    spec = importlib.util.spec_from_file_location(name, REPO / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def site_page(name):
    path = SITE / f"{name}.html"
    if not path.is_file():
        pytest.fail(f"no {path} (tools/dev docs builds the site)")
    return path.read_text(encoding="utf-8")


def words(text):
    return " ".join(text.split())


def page_text(markup):
    """The text a reader sees on a page: no markup, no heading link marks."""
    markup = re.sub(r"<(script|style)\b.*?</\1>", "", markup, flags=re.DOTALL)
    return words(html.unescape(re.sub(r"<[^>]+>", "", markup)).replace("¶", ""))


def prose_text(markdown):
    """Markdown prose as its rendered text: no list marks, code marks, emphasis or link targets."""
    markdown = re.sub(r"^\s*[-*] ", "", markdown, flags=re.MULTILINE)
    markdown = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", markdown)
    # Odd pieces are code spans, kept as they are; emphasis marks go from the rest.
    pieces = markdown.split("`")
    return words("".join(p if i % 2 else re.sub(r"(?<!\w)\*{1,2}|\*{1,2}(?!\w)", "", p)
                         for i, p in enumerate(pieces)))


@pytest.mark.parametrize(("name", "title"), PAGES.items())
def test_each_page_has_its_title_and_sections(name, title):
    markup = site_page(name)
    assert re.search(rf"<h1>{re.escape(html.escape(title, quote=False))}<a", markup), f"{name}.html lacks <h1>{title}"
    if name != "index":
        # An include or a source that rendered empty would still have a title.
        assert len(re.findall(r"<h2>", markup)) >= 2, f"{name}.html has no sections"


def test_reference_page_carries_the_prose_of_every_item():
    """The stubs and the site are where help lives: every paragraph of the
    prose source is on the reference page, in the reader's words."""
    parse_prose = load_tool("gen_reference").parse_prose
    preamble, sections = parse_prose((REPO / "docs" / "reference-prose.md").read_text(encoding="utf-8"))
    shown = page_text(site_page("reference"))
    missing = []
    for key, body in [("preamble", preamble), *sections.items()]:
        # Fenced examples are checked where they run; the prose around them here.
        body = re.sub(r"^```.*?^```", "", body, flags=re.MULTILINE | re.DOTALL)
        for paragraph in filter(None, (prose_text(p) for p in re.split(r"\n\s*\n", body))):
            if paragraph not in shown:
                missing.append(f"{key}: {paragraph[:70]}")
    assert missing == []


def test_sdist_carries_the_site():
    with tarfile.open(only("kelto-*.tar.gz")) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    assert {f"docs/html/{page}.html" for page in PAGES} <= names, sorted(n for n in names if "html" in n)
    assert "CHANGELOG.md" in names


# --- the link checker ------------------------------------------------------

PAGE = '<html><head>{head}</head><body><h1 id="top">T</h1>{body}</body></html>'


@pytest.mark.parametrize(
    ("head", "body", "expected"),
    [
        ("", '<a href="other.html#there">x</a> <a href="#top">y</a> <a href="https://example.org/#z">z</a>', None),
        ('<link rel="stylesheet" href="_static/a.css"><script src="_static/a.js"></script>', "", None),
        ("", '<a href="gone.html">x</a>', "gone.html names no file of the site"),
        ("", '<a href="other.html#nowhere">x</a>', "no id 'nowhere' on that page"),
        ("", '<a href="#nowhere">x</a>', "no id 'nowhere' on that page"),
        ("", '<a href="../outside.html">x</a>', "leads out of the site"),
        ('<script src="https://cdn.example.org/a.js"></script>', "", "loads https://cdn.example.org/a.js"),
        ('<link rel="stylesheet" href="//fonts.example.org/f.css">', "", "from another host"),
    ],
    ids=["links-resolve", "local-resources", "missing-page", "missing-anchor-elsewhere", "missing-anchor-here",
         "outside", "remote-script", "remote-style"],
)
def test_link_checker(tmp_path, head, body, expected):
    site = tmp_path / "site"
    (site / "_static").mkdir(parents=True)
    (site / "_static" / "a.css").write_text("")
    (site / "_static" / "a.js").write_text("")
    (tmp_path / "outside.html").write_text("<html></html>")
    (site / "index.html").write_text(PAGE.format(head=head, body=body))
    (site / "other.html").write_text(PAGE.format(head="", body='<p><span id="there">x</span></p>'))
    found = load_tool("check_site").problems(str(site))
    if expected is None:
        assert found == []
    else:
        assert len(found) == 1 and expected in found[0], found
