"""The check of the links between the documentation's pages, on a small tree
of pages with links of every kind."""

import importlib.util
from pathlib import Path

import pytest

_SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check_doc_links.py"
_spec = importlib.util.spec_from_file_location("check_doc_links", _SCRIPT)
assert _spec is not None and _spec.loader is not None
check_doc_links = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_doc_links)


@pytest.mark.parametrize(
    "link, broken",
    [
        ("guide/b.html", None),
        ("guide/b.html#part", None),
        ("guide/b.html#elsewhere", "no such anchor"),
        ("guide/c.html", "no such file"),
        ("#top", None),
        ("#bottom", "no such anchor"),
        ("guide/b%20c.html", "no such file"),
        ("_static/picture.png", None),
        ("https://example.org/missing.html#nowhere", None),
        ("mailto:someone@example.org", None),
    ],
)
def test_every_relative_link_must_reach_a_page_and_its_anchor(tmp_path, link, broken):
    (tmp_path / "guide").mkdir()
    (tmp_path / "_static").mkdir()
    (tmp_path / "_static" / "picture.png").write_bytes(b"")
    (tmp_path / "guide" / "b.html").write_text('<h2 id="part">Part</h2><a href="../a.html">up</a>')
    (tmp_path / "a.html").write_text(f'<p id="top"></p><a href="{link}">link</a>')
    problems = check_doc_links.broken_links(tmp_path)
    assert problems == ([] if broken is None else [f"a.html: {link}: {broken}"])


@pytest.mark.parametrize(
    "link, broken",
    [
        ("docs/b.md", None),
        ("docs/b.md#staffing-to-a-target", None),
        ("docs/b.md#the-run-method", None),
        ("docs/b.md#elsewhere", "no such heading"),
        ("docs/b.md#in-a-block", "no such heading"),
        ("docs/c.md", "no such file"),
        ("examples/", None),
        ("https://example.org/missing.md#nowhere", None),
    ],
)
def test_every_link_of_the_readme_must_reach_a_file_and_its_heading(tmp_path, link, broken):
    (tmp_path / "docs").mkdir()
    (tmp_path / "examples").mkdir()
    (tmp_path / "docs" / "b.md").write_text(
        "# Staffing: to a target\n\n## The `run` method\n\n```text\n# In a block\n```\n"
    )
    readme = tmp_path / "README.md"
    readme.write_text(f"See [there]({link}), not `[code](docs/c.md)`.\n")
    problems = check_doc_links.broken_markdown_links(readme)
    assert problems == ([] if broken is None else [f"README.md: {link}: {broken}"])
