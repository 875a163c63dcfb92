"""Feature names as unique Python identifiers for the code forms of a formula."""

from __future__ import annotations

import keyword
import re
from collections.abc import Sequence

# Names the exported code itself uses: the NumPy module and the helpers'
# names (operators such as Plus, private helpers starting with "_").
_TAKEN = {"np", "numpy", "value", "formula"}


def _identifier(name: str) -> str:
    ident = re.sub(r"\W", "_", name, flags=re.ASCII)
    if not ident or ident[0].isdigit() or ident[0] == "_":
        ident = "x" + ident
    return ident


def safe_identifiers(names: Sequence[str], reserved: Sequence[str] = ()) -> list[str]:
    """One identifier per name, all different. A name that is already an
    identifier, not a keyword, not starting with "_", not used by the exported
    code (`np`, the operators in `reserved`) and not taken by an earlier
    feature stays as it is. Any other name is made into one: characters other
    than ASCII letters, digits and "_" become "_", a leading digit, "_" or an
    empty name gets "x" in front, and "_1", "_2", … is appended until it is
    free."""
    taken = set(_TAKEN) | set(reserved)

    def free(ident: str) -> bool:
        return (ident not in taken and not keyword.iskeyword(ident)
                and not keyword.issoftkeyword(ident))

    texts = [str(n) for n in names]
    result: list[str | None] = [None] * len(texts)
    # Names that can stay as they are keep them, so that a mapped name never
    # takes the place of a real one ("a b" and "a_b": "a_b" stays).
    for k, text in enumerate(texts):
        if (text.isidentifier() and text.isascii() and not text.startswith("_")
                and free(text)):
            taken.add(text)
            result[k] = text
    for k, text in enumerate(texts):
        if result[k] is not None:
            continue
        base = _identifier(text)
        ident = base
        number = 0
        while not free(ident):
            number += 1
            ident = f"{base}_{number}"
        taken.add(ident)
        result[k] = ident
    return [r for r in result if r is not None]


def renamed(names: Sequence[str], identifiers: Sequence[str]) -> dict[str, str]:
    """The names that their identifier differs from, mapped to it."""
    return {str(n): i for n, i in zip(names, identifiers) if str(n) != i}
