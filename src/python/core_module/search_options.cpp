#include "python/core_module/search_options.h"

#include <cmath>
#include <optional>
#include <string>

#include "python/convert.h"
#include "python/py_ref.h"
#include "python/result_state.h"

namespace qarn::py::core {

namespace {

// The operator names of the registry ("Plus", "Sin", ...), in registry order,
// joined for a message.
std::string known_operator_text(const OperatorRegistry& registry) {
  std::string text;
  for (const OperatorEntry& entry : registry.entries) {
    if (entry.arity == 0) continue;
    if (!text.empty()) text += ", ";
    text += "'" + entry.name + "'";
  }
  return text;
}

// Sets a TypeError "<text>, not <the type of obj>".
void type_error_naming(const char* text, PyObject* obj) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (type_name) {
    PyErr_Format(PyExc_TypeError, "%s, not %S", text, type_name.get());
  }
}

}  // namespace

bool convert_flag(PyObject* obj, bool& out) {
  if (obj == nullptr) {
    return true;
  }
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) {
    return false;
  }
  out = truth != 0;
  return true;
}

bool convert_operators(PyObject* obj, std::uint64_t& mask) {
  if (obj == nullptr || obj == Py_None) {
    return true;
  }
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    "argument 'operators': must be a sequence of operator names or None, not a "
                    "single string");
    return false;
  }
  const OperatorRegistry& registry = *restored_registry();
  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) {
    PyErr_Clear();
    type_error_naming("argument 'operators': must be a sequence of operator names or None", obj);
    return false;
  }
  std::uint64_t chosen = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) {
      type_error_naming("argument 'operators': operator names must be str", item.get());
      return false;
    }
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (name == nullptr) {
      return false;
    }
    const std::string wanted(name, static_cast<std::size_t>(size));
    bool found = false;
    for (std::size_t i = 0; i < registry.entries.size() && i < 64; ++i) {
      if (registry.entries[i].arity != 0 && registry.entries[i].name == wanted) {
        chosen |= std::uint64_t{1} << i;
        found = true;
      }
    }
    if (!found) {
      const std::string message = "argument 'operators': unknown operator '" + wanted +
                                  "'; the operators are " + known_operator_text(registry);
      PyErr_SetString(PyExc_ValueError, message.c_str());
      return false;
    }
  }
  if (PyErr_Occurred()) {
    return false;
  }
  mask = chosen;
  return true;
}

bool convert_beam_widths(PyObject* obj, std::array<std::uint64_t, kLevelBeamWidths>& widths) {
  if (obj == nullptr || obj == Py_None) {
    return true;
  }
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    "argument 'beam_widths': must be a sequence of integers or None, not a string");
    return false;
  }
  PyRef items = PySequence_Check(obj) ? PyRef::steal(PySequence_Tuple(obj)) : PyRef();
  if (!items) {
    if (!PyErr_Occurred()) {
      type_error_naming("argument 'beam_widths': must be a sequence of integers or None", obj);
    }
    return false;
  }
  const Py_ssize_t count = PyTuple_Size(items.get());
  if (count < 1 || static_cast<std::size_t>(count) > kLevelBeamWidths) {
    PyErr_Format(PyExc_ValueError,
                 "argument 'beam_widths': must hold 1 to %d widths (levels 2 to %d), got %zd",
                 static_cast<int>(kLevelBeamWidths), static_cast<int>(kLevelBeamWidths) + 1, count);
    return false;
  }
  std::array<std::uint64_t, kLevelBeamWidths> read{};
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef index = PyRef::steal(PyNumber_Index(PyTuple_GetItem(items.get(), i)));
    if (!index) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "argument 'beam_widths': the width of level %zd must be an integer", i + 2);
      return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow < 0 || (overflow == 0 && value < 1)) {
      PyErr_Format(PyExc_ValueError,
                   "argument 'beam_widths': the width of level %zd must be at least 1, got %S",
                   i + 2, index.get());
      return false;
    }
    if (overflow > 0) {
      PyErr_Format(PyExc_OverflowError,
                   "argument 'beam_widths': the width of level %zd is too large", i + 2);
      return false;
    }
    read[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(value);
  }
  widths = read;
  return true;
}

bool convert_stop_threshold(PyObject* obj, double& out) {
  std::optional<double> value;
  if (!convert_override("stop_threshold", obj, value)) {
    return false;
  }
  if (!value) {
    return true;
  }
  if (!(*value >= 0.0) || !std::isfinite(*value)) {
    PyErr_SetString(PyExc_ValueError,
                    "argument 'stop_threshold': must be a finite number >= 0 or None");
    return false;
  }
  out = *value;
  return true;
}

bool convert_checkpoint(PyObject* obj, std::string& out) {
  if (obj == nullptr || obj == Py_None) return true;
  PyRef path = PyRef::steal(PyOS_FSPath(obj));
  PyRef encoded = path ? PyRef::steal(PyUnicode_EncodeFSDefault(path.get())) : PyRef();
  if (!encoded) return false;
  Py_ssize_t size = 0;
  char* text = nullptr;
  if (PyBytes_AsStringAndSize(encoded.get(), &text, &size) != 0) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool convert_search_options(const SearchOptionArgs& args, SearchConfig& config) {
  bool early_stop = true;
  if ((args.max_complexity &&
       !convert_u64("max_complexity", args.max_complexity, config.max_complexity)) ||
      (args.complexity_penalty &&
       !convert_double("complexity_penalty", args.complexity_penalty, config.complexity_penalty)) ||
      (args.beam_width && !convert_u64("beam_width", args.beam_width, config.beam_width)) ||
      (args.alpha && !convert_double("alpha", args.alpha, config.alpha)) ||
      (args.l1_ratio && !convert_double("l1_ratio", args.l1_ratio, config.l1_ratio)) ||
      !convert_flag(args.early_stop, early_stop) || !convert_flag(args.full_fit, config.full_fit) ||
      !convert_flag(args.affine, config.affine_rank) ||
      !convert_operators(args.operators, config.operator_mask) ||
      !convert_stop_threshold(args.stop_threshold, config.stop_threshold) ||
      !convert_beam_widths(args.beam_widths, config.level_beam_widths)) {
    return false;
  }
  config.no_early_stop = !early_stop;
  for (std::uint64_t& width : config.level_beam_widths) {
    if (width == config.beam_width) width = 0;
  }
  return true;
}

}  // namespace qarn::py::core
