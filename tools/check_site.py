"""Checks the links of a built documentation site (docs/html/): every link
and resource that stays inside the site must name a file of the site and, with
a fragment, an id on that page; nothing the pages load may come from another
host, so that the pages read the same offline. Links to other sites are left
alone (they are not followed).

    python check_site.py SITE_DIR

Prints one line per broken link and exits 1 when there is any."""

import html.parser
import os
import sys
import urllib.parse

# Attributes whose URL the browser loads with the page, not on a click.
LOADED = {("script", "src"), ("img", "src"), ("link", "href"), ("iframe", "src"), ("source", "src")}


class Page(html.parser.HTMLParser):
    """The ids of one page and the (tag, attribute, URL, line) of its links."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.ids = set()
        self.links = []

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if value is None:
                continue
            if name == "id" or (tag == "a" and name == "name"):
                self.ids.add(value)
            elif name in ("href", "src"):
                self.links.append((tag, name, value, self.getpos()[0]))


def read_page(path):
    page = Page()
    with open(path, encoding="utf-8") as f:
        page.feed(f.read())
    page.close()
    return page


def problems(site):
    """One text per broken link of the site under `site`."""
    site = os.path.realpath(site)
    pages = {}
    for folder, _, names in os.walk(site):
        for name in names:
            if name.endswith(".html"):
                path = os.path.join(folder, name)
                pages[path] = read_page(path)
    if not pages:
        return [f"{site}: no pages"]
    found = []
    for path, page in sorted(pages.items()):
        where = os.path.relpath(path, site)
        for tag, attribute, url, line in page.links:
            parts = urllib.parse.urlsplit(url)
            if parts.scheme or parts.netloc:
                if (tag, attribute) in LOADED:
                    found.append(f"{where}:{line}: loads {url} from another host")
                continue
            target = path
            if parts.path:
                target = os.path.realpath(os.path.join(os.path.dirname(path), urllib.parse.unquote(parts.path)))
                if os.path.isdir(target):
                    target = os.path.join(target, "index.html")
            if os.path.commonpath([site, target]) != site:
                found.append(f"{where}:{line}: {url} leads out of the site")
            elif not os.path.isfile(target):
                found.append(f"{where}:{line}: {url} names no file of the site")
            elif parts.fragment and target in pages:
                if urllib.parse.unquote(parts.fragment) not in pages[target].ids:
                    found.append(f"{where}:{line}: {url}: no id {parts.fragment!r} on that page")
    return found


def main(site):
    found = problems(site)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
