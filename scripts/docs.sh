#!/usr/bin/env bash
# Builds the documentation (docs/) into build/docs/html with warnings as
# errors, running every example into the gallery, then checks the links
# between its pages and those of the README (a front page of at most 250
# lines) into the checkout.
#
#   bash scripts/docs.sh              # installs navro[docs], then builds
#   bash scripts/docs.sh --installed  # navro[docs] is in the venv already
#
# Uses the project's virtual environment (.venv, or $NAVRO_VENV), creating it
# when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

venv="${NAVRO_VENV:-.venv}"
if [ "${1:-}" != "--installed" ]; then
    if [ ! -x "$venv/bin/python" ]; then
        "$(command -v python3 || command -v python)" -m venv "$venv"
    fi
    printf '\n==> Installing navro and its documentation tools into %s\n' "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[docs]"
fi

printf '\n==> Building the documentation into build/docs/html\n'
# Every page is read afresh (-E), every warning fails the build (-W), all of
# them are reported (--keep-going), and so is every reference that leads
# nowhere (-n). The sphinx-build script, not `python -m sphinx`, which would
# put the checkout first on the path, where navro has no compiled core.
"$venv/bin/sphinx-build" -E -W --keep-going -n -q -b html docs build/docs/html

printf '\n==> Checking the links between the pages\n'
# The README is the front page; the guide under docs/ holds the rest.
readme_lines=$(wc -l < README.md)
if [ "$readme_lines" -gt 250 ]; then
    echo "README.md has $readme_lines lines: keep it a front page of at most 250" >&2
    exit 1
fi
"$venv/bin/python" scripts/check_doc_links.py build/docs/html README.md
