#pragma once

#include <string>

#include "ops/operator.h"

namespace qarn {

// Named constant: ignores its arguments and yields a fixed value and texts.
class ConstOp final : public Operator {
 public:
  ConstOp(std::string name, std::string latex, std::string python, Complex value);

  void describe(std::ostream& out) const override;
  std::string name() const override { return name_; }
  std::uint8_t arity() const override { return 0; }
  bool is_commutative() const override { return false; }
  std::optional<Complex> eval(std::span<const Complex> args) const override;
  std::string latex(std::span<const std::string> args) const override;
  std::string python(std::span<const std::string> args) const override;
  Kernel kernel() const override { return Kernel::constant; }

  const Complex& value() const { return value_; }

 private:
  std::string name_;
  std::string latex_;
  std::string python_;
  Complex value_;
};

}  // namespace qarn

namespace qarn {

// How a built-in operator prints: for a unary operator `before` a `after`;
// for a binary one `before` a `between` b `after`.
struct Template {
  const char* before;
  const char* between;
  const char* after;
};

// Static description of one built-in operator.
struct BuiltinInfo {
  const char* class_name;
  const char* name;
  std::uint8_t arity;
  bool commutative;
  Kernel kernel;
  Template latex;
  Template python;
};

// Common body of the built-in operators; each concrete class only supplies
// its description, generated from its entry in QARN_OPERATORS.
class BuiltinOperator : public Operator {
 public:
  explicit BuiltinOperator(const BuiltinInfo& info) : info_(info) {}

  void describe(std::ostream& out) const override { out << info_.class_name; }
  std::string name() const override { return info_.name; }
  std::uint8_t arity() const override { return info_.arity; }
  bool is_commutative() const override { return info_.commutative; }
  std::optional<Complex> eval(std::span<const Complex> args) const override;
  std::string latex(std::span<const std::string> args) const override;
  std::string python(std::span<const std::string> args) const override;
  Kernel kernel() const override { return info_.kernel; }

 private:
  std::string fill(const Template& t, std::span<const std::string> args) const;

  const BuiltinInfo& info_;
};

// One class per entry of QARN_OPERATORS (Qarn, Neg, ..., Cube).
#define QARN_DECLARE_OPERATOR(Class, ...)      \
  class Class final : public BuiltinOperator { \
   public:                                     \
    Class();                                   \
  };
QARN_OPERATORS(QARN_DECLARE_OPERATOR)
#undef QARN_DECLARE_OPERATOR

}  // namespace qarn
