"""Checks the links between the pages of the built documentation, and those
of Markdown files outside it (the README) into the checkout.

Every relative link and image of every HTML page under the given folder must
lead to a file of the build, and a link with a fragment (page.html#part) to an
element of that page with that id. A Markdown file's relative links must lead
to a file of the checkout, and a fragment of a link to a Markdown page to one
of its headings, as the forge and the documentation name them. Links to other
sites are not followed: the build runs without a network.

    python scripts/check_doc_links.py build/docs/html [README.md ...]
"""

from __future__ import annotations

import re
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


_FENCE = re.compile(r"^(```|~~~).*?^\1", re.MULTILINE | re.DOTALL)
_CODE = re.compile(r"`[^`\n]*`")
_LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
_HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$", re.MULTILINE)


def _prose(markdown: str) -> str:
    """A Markdown page without its code: a link shown as code is no link."""
    return _CODE.sub("", _FENCE.sub("", markdown))


def heading_anchors(markdown: str) -> set[str]:
    """The anchors of a Markdown page's headings: lower case, punctuation
    dropped, spaces as hyphens, the way both the forge and the documentation's
    build name them."""
    titles = (
        _CODE.sub(lambda code: code.group()[1:-1], title)
        for title in _HEADING.findall(_FENCE.sub("", markdown))
    )
    return {re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-") for title in titles}


def broken_markdown_links(page: Path) -> list[str]:
    """One line per relative link of a Markdown page that leads nowhere."""
    problems = []
    for target in _LINK.findall(_prose(page.read_text(encoding="utf-8"))):
        parts = urlsplit(target)
        if parts.scheme or parts.netloc:
            continue
        destination = (page.parent / unquote(parts.path)).resolve() if parts.path else page
        where = f"{page.name}: {target}"
        if not destination.exists():
            problems.append(f"{where}: no such file")
        elif parts.fragment and destination.suffix == ".md":
            anchors = heading_anchors(destination.read_text(encoding="utf-8"))
            if unquote(parts.fragment) not in anchors:
                problems.append(f"{where}: no such heading")
    return problems


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        print(f"usage: {argv[0]} HTML_FOLDER [MARKDOWN_FILE ...]", file=sys.stderr)
        return 2
    root = Path(argv[1])
    pages = sorted(root.rglob("*.html"))
    if not pages:
        print(f"{root} holds no HTML pages: build the documentation first", file=sys.stderr)
        return 1
    problems = broken_links(root)
    for markdown in argv[2:]:
        problems += broken_markdown_links(Path(markdown))
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"{len(pages)} pages, {len(problems)} broken links")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
