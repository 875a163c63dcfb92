#!/usr/bin/env python3
"""Fails when a source file under src/ includes a header of a higher layer.

The layers, lowest first: ops (values, operators, formulas, evaluation) <-
engine (the search, its parameters and errors) <- api (the entry points and
the types a caller needs) <- python (the extension module). A layer includes
its own headers and those of the layers below it; python reaches the search
only through api. Prints every offending include and exits 1, or exits 0.
"""

import pathlib
import re
import sys

# Folders each layer may include from.
ALLOWED = {
    "ops": {"ops"},
    "engine": {"ops", "engine"},
    "api": {"ops", "engine", "api"},
    "python": {"ops", "api", "python"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def violations(src: pathlib.Path):
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".cpp"}:
            continue
        layer = path.relative_to(src).parts[0]
        if layer not in ALLOWED:
            yield f"{path}: folder '{layer}' belongs to no layer"
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1).split("/")[0]
            if target not in ALLOWED[layer]:
                yield f'{path}:{number}: {layer} includes "{match.group(1)}"'


def main() -> int:
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).parents[1]
    found = list(violations(root / "src"))
    for line in found:
        print(line)
    if found:
        print(f"check_layers: {len(found)} include(s) point the wrong way", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
