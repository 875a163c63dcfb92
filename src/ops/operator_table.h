#pragma once

// The built-in vocabulary: every named constant and every operator is one
// entry below, in registry order (the five constants take indices 0 to 4,
// the eighteen operators 5 to 22; formulas refer to them by index). The
// Kernel enum, the operator classes, their descriptions, the registry and
// both dispatch paths (one point: kernels::apply in kernels.h; blocks of
// rows: apply_block in batch_evaluate.cpp) are generated from these lists.
// Adding an operator is one entry here, its kernel function in kernels.h and
// its tests.

// X(name, latex, python, re, im): a named constant with its display name,
// its LaTeX and Python texts and its value re + i im.
// clang-format off
#define QARN_CONSTANTS(X) \
  X("0",  "0",    "0",     0.0,          0.0) \
  X("1",  "1",    "1",     1.0,          0.0) \
  X("I",  "i",    "1j",    0.0,          1.0) \
  X("Pi", "\\pi", "np.pi", kernels::kPi, 0.0) \
  X("E",  "e",    "np.e",  kernels::kE,  0.0)
// clang-format on

// X(Class, kernel, name, arity, commutative, latex, python): an operator
// with its class name, its kernel function in namespace kernels (also its
// Kernel enumerator), its registered name, its arity (1 or 2), whether one
// operand order suffices (the expansion forms only one of a and b, b and a),
// and its LaTeX and Python templates (before, between, after): a unary
// operator prints before a after, a binary one before a between b after.
// clang-format off
#define QARN_OPERATORS(X) \
  X(Qarn,     qarn,     "QARN",     2, false, ("e^{", "} - \\ln(", ")"), ("(np.exp(", ") - np.log(", "))")) \
  X(Neg,      neg,      "Neg",      1, false, ("(-(", "", "))"),         ("(-(", "", "))"))                 \
  X(Inv,      inv,      "Inv",      1, false, ("\\frac{1}{", "", "}"),   ("(1/(", "", "))"))                \
  X(Plus,     plus,     "Plus",     2, true,  ("", " + ", ""),           ("(", ")+(", ")"))                 \
  X(Times,    times,    "Times",    2, true,  ("", " \\cdot ", ""),      ("(", ")*(", ")"))                 \
  X(Subtract, subtract, "Subtract", 2, false, ("", " - ", ""),           ("(", ")-(", ")"))                 \
  X(Divide,   divide,   "Divide",   2, false, ("\\frac{", "}{", "}"),    ("((", ")/(", "))"))               \
  X(Exp,      exp,      "Exp",      1, false, ("e^{", "", "}"),          ("np.exp(", "", ")"))              \
  X(Log,      log,      "Log",      1, false, ("\\ln(", "", ")"),        ("np.log(", "", ")"))              \
  X(Sqrt,     sqrt,     "Sqrt",     1, false, ("\\sqrt{", "", "}"),      ("np.sqrt(", "", ")"))             \
  X(Sin,      sin,      "Sin",      1, false, ("\\sin(", "", ")"),       ("np.sin(", "", ")"))              \
  X(Cos,      cos,      "Cos",      1, false, ("\\cos(", "", ")"),       ("np.cos(", "", ")"))              \
  X(Tan,      tan,      "Tan",      1, false, ("\\tan(", "", ")"),       ("np.tan(", "", ")"))              \
  X(ArcSin,   arcsin,   "ArcSin",   1, false, ("\\arcsin(", "", ")"),    ("np.arcsin(", "", ")"))           \
  X(ArcCos,   arccos,   "ArcCos",   1, false, ("\\arccos(", "", ")"),    ("np.arccos(", "", ")"))           \
  X(ArcTan,   arctan,   "ArcTan",   1, false, ("\\arctan(", "", ")"),    ("np.arctan(", "", ")"))           \
  X(Square,   square,   "Square",   1, false, ("{", "", "}^2"),          ("(", "", ")**2"))                 \
  X(Cube,     cube,     "Cube",     1, false, ("{", "", "}^3"),          ("(", "", ")**3"))
// clang-format on
