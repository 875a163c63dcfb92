"""The postfix tokens of a formula's state (``_qarn_sr_core.result_state``):
their kinds, and the text the engine writes for them."""

from __future__ import annotations

from collections.abc import Sequence

import _qarn_sr_core

# A token is (kind, small, name, re, im): `small` is a variable's index, a
# parameter's slot or an operator's arity; `name` a constant's or operator's.
NAMED_CONSTANT, REAL_CONSTANT, VARIABLE, PARAMETER, APPLY = range(5)

# The version result_state writes and result_from_state reads.
STATE_VERSION = 1


def operator_arities() -> dict[str, int]:
    """The engine's operators (entries of arity 1 or 2) by name, in registry
    order."""
    return {name: arity for name, arity in _qarn_sr_core.operator_names() if arity > 0}


def formula_text(tokens: Sequence[tuple]) -> str:
    """The text the engine writes for these postfix tokens
    (``Times(C, Square(v_{0}))``): ``C`` for a parameter, a real constant's
    value as Python writes it. The tokens must form one formula."""
    stack: list[str] = []
    for kind, small, name, re_part, _ in tokens:
        if kind == APPLY:
            operands = stack[len(stack) - small:]
            del stack[len(stack) - small:]
            stack.append(f"{name}({', '.join(operands)})")
        elif kind == VARIABLE:
            stack.append(f"v_{{{small}}}")
        elif kind == PARAMETER:
            stack.append("C")
        elif kind == REAL_CONSTANT:
            stack.append(repr(re_part))
        else:
            stack.append(name)
    return stack[-1]
