#include "ops/builtin.h"

#include <utility>

namespace qarn {

ConstOp::ConstOp(std::string name, std::string latex, std::string python, Complex value)
    : name_(std::move(name)), latex_(std::move(latex)), python_(std::move(python)), value_(value) {}

void ConstOp::describe(std::ostream& out) const {
  out << "ConstOp { name: \"" << name_ << "\", latex: \"" << latex_ << "\", python: \"" << python_
      << "\", value: Complex { re: " << value_.re << ", im: " << value_.im << " } }";
}

std::optional<Complex> ConstOp::eval(std::span<const Complex>) const { return value_; }

std::string ConstOp::latex(std::span<const std::string>) const { return latex_; }

std::string ConstOp::python(std::span<const std::string>) const { return python_; }

std::optional<Complex> BuiltinOperator::eval(std::span<const Complex> args) const {
  if (args.size() < info_.arity) return std::nullopt;
  Complex out;
  const bool ok = info_.arity == 1 ? kernels::apply_unary(info_.kernel, args[0], out)
                                   : kernels::apply_binary(info_.kernel, args[0], args[1], out);
  if (!ok) return std::nullopt;
  return out;
}

std::string BuiltinOperator::fill(const Template& t, std::span<const std::string> args) const {
  if (args.size() < info_.arity) return {};
  std::string out = t.before;
  out += args[0];
  if (info_.arity == 2) {
    out += t.between;
    out += args[1];
  }
  out += t.after;
  return out;
}

std::string BuiltinOperator::latex(std::span<const std::string> args) const {
  return fill(info_.latex, args);
}

std::string BuiltinOperator::python(std::span<const std::string> args) const {
  return fill(info_.python, args);
}

namespace {

constexpr BuiltinInfo kQarn{"Qarn", "QARN", 2, false, Kernel::qarn,
                            {"e^{", "} - \\ln(", ")"}, {"(np.exp(", ") - np.log(", "))"}};
constexpr BuiltinInfo kNeg{"Neg", "Neg", 1, false, Kernel::neg, {"(-(", "", "))"}, {"(-(", "", "))"}};
constexpr BuiltinInfo kInv{"Inv", "Inv", 1, false, Kernel::inv, {"\\frac{1}{", "", "}"}, {"(1/(", "", "))"}};
constexpr BuiltinInfo kPlus{"Plus", "Plus", 2, true, Kernel::plus, {"", " + ", ""}, {"(", ")+(", ")"}};
constexpr BuiltinInfo kTimes{"Times", "Times", 2, true, Kernel::times, {"", " \\cdot ", ""}, {"(", ")*(", ")"}};
constexpr BuiltinInfo kSubtract{"Subtract", "Subtract", 2, false, Kernel::subtract,
                                {"", " - ", ""}, {"(", ")-(", ")"}};
constexpr BuiltinInfo kDivide{"Divide", "Divide", 2, false, Kernel::divide,
                              {"\\frac{", "}{", "}"}, {"((", ")/(", "))"}};
constexpr BuiltinInfo kExp{"Exp", "Exp", 1, false, Kernel::exp, {"e^{", "", "}"}, {"np.exp(", "", ")"}};
constexpr BuiltinInfo kLog{"Log", "Log", 1, false, Kernel::log, {"\\ln(", "", ")"}, {"np.log(", "", ")"}};
constexpr BuiltinInfo kSqrt{"Sqrt", "Sqrt", 1, false, Kernel::sqrt, {"\\sqrt{", "", "}"}, {"np.sqrt(", "", ")"}};
constexpr BuiltinInfo kSin{"Sin", "Sin", 1, false, Kernel::sin, {"\\sin(", "", ")"}, {"np.sin(", "", ")"}};
constexpr BuiltinInfo kCos{"Cos", "Cos", 1, false, Kernel::cos, {"\\cos(", "", ")"}, {"np.cos(", "", ")"}};
constexpr BuiltinInfo kTan{"Tan", "Tan", 1, false, Kernel::tan, {"\\tan(", "", ")"}, {"np.tan(", "", ")"}};
constexpr BuiltinInfo kArcSin{"ArcSin", "ArcSin", 1, false, Kernel::arcsin,
                              {"\\arcsin(", "", ")"}, {"np.arcsin(", "", ")"}};
constexpr BuiltinInfo kArcCos{"ArcCos", "ArcCos", 1, false, Kernel::arccos,
                              {"\\arccos(", "", ")"}, {"np.arccos(", "", ")"}};
constexpr BuiltinInfo kArcTan{"ArcTan", "ArcTan", 1, false, Kernel::arctan,
                              {"\\arctan(", "", ")"}, {"np.arctan(", "", ")"}};
constexpr BuiltinInfo kSquare{"Square", "Square", 1, false, Kernel::square, {"{", "", "}^2"}, {"(", "", ")**2"}};
constexpr BuiltinInfo kCube{"Cube", "Cube", 1, false, Kernel::cube, {"{", "", "}^3"}, {"(", "", ")**3"}};

}  // namespace

Qarn::Qarn() : BuiltinOperator(kQarn) {}
Neg::Neg() : BuiltinOperator(kNeg) {}
Inv::Inv() : BuiltinOperator(kInv) {}
Plus::Plus() : BuiltinOperator(kPlus) {}
Times::Times() : BuiltinOperator(kTimes) {}
Subtract::Subtract() : BuiltinOperator(kSubtract) {}
Divide::Divide() : BuiltinOperator(kDivide) {}
Exp::Exp() : BuiltinOperator(kExp) {}
Log::Log() : BuiltinOperator(kLog) {}
Sqrt::Sqrt() : BuiltinOperator(kSqrt) {}
Sin::Sin() : BuiltinOperator(kSin) {}
Cos::Cos() : BuiltinOperator(kCos) {}
Tan::Tan() : BuiltinOperator(kTan) {}
ArcSin::ArcSin() : BuiltinOperator(kArcSin) {}
ArcCos::ArcCos() : BuiltinOperator(kArcCos) {}
ArcTan::ArcTan() : BuiltinOperator(kArcTan) {}
Square::Square() : BuiltinOperator(kSquare) {}
Cube::Cube() : BuiltinOperator(kCube) {}

}  // namespace qarn
