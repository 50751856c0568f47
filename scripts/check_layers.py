"""Checks that only the bridge touches the interpreter.

Every C++ file under the floors below src/bridge (the runtime, the pmfs, the
distributions and the engines) must include neither a bridge header nor one
of the interpreter's. The one exception is the object header that starts every
model object (src/runtime/memory.hpp, which says why). Prints each offending
include and exits non-zero if there is one.

    python scripts/check_layers.py
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FLOORS_BELOW_THE_BRIDGE = ["runtime", "pmf", "distributions", "models", "simulation", "exact"]
ALLOWED = {("src/runtime/memory.hpp", "Python.h")}

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')
# The interpreter's headers all start with one of these; bridge headers are
# reached by their folder, however the path is written.
INTERPRETER = re.compile(r"^(Python\.h|structmember\.h|cpython/|internal/py|py\w*\.h$)")
BRIDGE = re.compile(r"(^|/)bridge/")


def offending_includes():
    for floor in FLOORS_BELOW_THE_BRIDGE:
        for path in sorted((ROOT / "src" / floor).rglob("*")):
            if path.suffix not in {".hpp", ".cpp", ".h", ".cc", ".inc"}:
                continue
            name = path.relative_to(ROOT).as_posix()
            for number, line in enumerate(path.read_text().splitlines(), start=1):
                match = INCLUDE.match(line)
                if match is None:
                    continue
                header = match.group(1)
                forbidden = INTERPRETER.search(header) or BRIDGE.search(header)
                if forbidden and (name, header) not in ALLOWED:
                    yield f"{name}:{number}: includes {header}"


def main() -> int:
    found = list(offending_includes())
    for line in found:
        print(line)
    if found:
        print(
            "Only src/bridge may include the interpreter's headers or the bridge's; "
            "move the code that needs them into src/bridge.",
            file=sys.stderr,
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
