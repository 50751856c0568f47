"""Checks the links between the pages of the built documentation.

Every relative link and image of every HTML page under the given folder must
lead to a file of the build, and a link with a fragment (page.html#part) to an
element of that page with that id. Links to other sites are not followed: the
build runs without a network.

    python scripts/check_doc_links.py build/docs/html
"""

from __future__ import annotations

import sys
from functools import cache
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit


class _Page(HTMLParser):
    """The ids a page defines and the relative targets it links to."""

    def __init__(self) -> None:
        super().__init__()
        self.ids: set[str] = set()
        self.targets: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = {name: value for name, value in attrs if value is not None}
        for name in ("id", "name"):
            if name in values:
                self.ids.add(values[name])
        target = values.get("href") if tag == "a" else values.get("src") if tag == "img" else None
        if target is not None:
            self.targets.append(target)


@cache
def _read(path: Path) -> _Page:
    page = _Page()
    page.feed(path.read_text(encoding="utf-8"))
    return page


def broken_links(root: Path) -> list[str]:
    """One line per link that leads nowhere: the page, the link and why."""
    problems = []
    for path in sorted(root.rglob("*.html")):
        for target in _read(path).targets:
            parts = urlsplit(target)
            if parts.scheme or parts.netloc:
                continue  # another site, or mailto: and the like
            destination = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            where = f"{path.relative_to(root)}: {target}"
            if not destination.exists():
                problems.append(f"{where}: no such file")
            elif parts.fragment and destination.suffix == ".html":
                if unquote(parts.fragment) not in _read(destination).ids:
                    problems.append(f"{where}: no such anchor")
    return problems


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(f"usage: {argv[0]} HTML_FOLDER", file=sys.stderr)
        return 2
    root = Path(argv[1])
    pages = sorted(root.rglob("*.html"))
    if not pages:
        print(f"{root} holds no HTML pages: build the documentation first", file=sys.stderr)
        return 1
    problems = broken_links(root)
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"{len(pages)} pages, {len(problems)} broken links")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
