#include "python/core_module/cluster_steps.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <tbb/task_arena.h>

#include "api/cluster.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/core_module/qarn_classes.h"
#include "python/exceptions.h"
#include "python/py_ref.h"

namespace qarn::py::core {

namespace {

// ---------------------------------------------------------------------------
// Small conversions

PyObject* to_bytes(const std::string& s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// Bytes argument `obj` as a view (valid while the caller holds `obj`).
bool bytes_view(PyObject* obj, std::string_view& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) {
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// A list of non-negative integers.
bool index_list(PyObject* obj, std::vector<std::size_t>& out) {
  PyRef seq = PyRef::steal(PySequence_Tuple(obj));
  if (!seq) {
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(seq.get());
  out.clear();
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::size_t v = PyLong_AsSize_t(PyTuple_GetItem(seq.get(), i));
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
      return false;
    }
    out.push_back(v);
  }
  return true;
}

PyObject* index_list_object(std::span<const std::size_t> values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) {
    return nullptr;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyLong_FromSize_t(values[i]);
    if (v == nullptr) {
      return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

// Views of every item of a list of bytes; None gives an empty view when
// `none_ok`. `holder` keeps the items alive while the views are used.
bool bytes_list(PyObject* obj, PyRef& holder, std::vector<std::optional<std::string_view>>& out,
                bool none_ok) {
  holder = PyRef::steal(PySequence_Tuple(obj));
  if (!holder) {
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(holder.get());
  out.clear();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GetItem(holder.get(), i);
    if (none_ok && item == Py_None) {
      out.emplace_back();
      continue;
    }
    std::string_view view;
    if (!bytes_view(item, view)) {
      return false;
    }
    out.emplace_back(view);
  }
  return true;
}

bool malformed() {
  PyErr_SetString(PyExc_ValueError, "malformed search data");
  return false;
}

// An optional result of a step: the value, or ValueError.
template <class T>
bool decoded(std::optional<T> value, T& out) {
  if (!value) {
    return malformed();
  }
  out = std::move(*value);
  return true;
}

// Runs `work` without the interpreter lock on at most `threads` worker
// threads (0: the pool's default); a C++ exception comes back as a Python one.
template <class Work>
bool run_unlocked(int threads, Work&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS try {
    if (threads > 0) {
      tbb::task_arena arena(threads);
      arena.execute([&] { work(); });
    } else {
      work();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (...) {
      raise_from_cpp_exception();
    }
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Argument checks, as qarn_sr.Searcher makes them

constexpr const char* kFunctionNames[] = {"xs", "ys", "alpha", "l1_ratio"};
constexpr const char* kRowsNames[] = {"inputs", "ys", "alpha", "l1_ratio"};
constexpr const char* kConstantNames[] = {"value", "alpha", "l1_ratio"};

// parse_config(args, kwargs) -> (max_complexity, complexity_penalty,
// beam_width, alpha, l1_ratio), the Searcher's defaults where not given.
PyObject* parse_config(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* call_args = nullptr;
    PyObject* call_kwargs = nullptr;
    if (!PyArg_ParseTuple(args, "O!O", &PyTuple_Type, &call_args, &call_kwargs)) {
      return nullptr;
    }
    const Parameters params{"DaskSearcher", kSettingNames, 0};
    PyRef bound[5];
    if (!bind_tuple(params, call_args, call_kwargs == Py_None ? nullptr : call_kwargs, bound)) {
      return nullptr;
    }
    SearchConfig config;
    if (!convert_settings(bound, config)) {
      return nullptr;
    }
    return Py_BuildValue("(KdKdd)", static_cast<unsigned long long>(config.max_complexity),
                         config.complexity_penalty,
                         static_cast<unsigned long long>(config.beam_width), config.alpha,
                         config.l1_ratio);
  });
}

PyObject* optional_double(const std::optional<double>& v) {
  if (v) {
    return PyFloat_FromDouble(*v);
  }
  Py_RETURN_NONE;
}

// parse_call(method, args, kwargs) -> (data, alpha, l1_ratio): binds and
// converts a search method's arguments in the Searcher's order (overrides,
// then the data, then ys) and returns the data set as bytes and the
// overrides (None where absent).
PyObject* parse_call(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* method = nullptr;
    PyObject* call_args = nullptr;
    PyObject* call_kwargs = nullptr;
    if (!PyArg_ParseTuple(args, "sO!O", &method, &PyTuple_Type, &call_args, &call_kwargs)) {
      return nullptr;
    }
    const std::string_view name(method);
    std::span<const char* const> names = kRowsNames;
    std::size_t required = 2;
    if (name == "find_function") {
      names = kFunctionNames;
    } else if (name == "recognize_constant") {
      names = kConstantNames;
      required = 1;
    } else if (name != "find_multivariate" && name != "fit" && name != "find_candidates") {
      PyErr_Format(PyExc_ValueError, "unknown search method '%s'", method);
      return nullptr;
    }
    const Parameters params{method, names, required};
    PyRef bound[4];
    PyObject* kwargs = call_kwargs == Py_None ? nullptr : call_kwargs;
    if (!bind_tuple(params, call_args, kwargs, std::span<PyRef>(bound, names.size()))) {
      return nullptr;
    }
    std::optional<double> alpha;
    std::optional<double> l1_ratio;
    std::string data;
    if (name == "recognize_constant") {
      double value = 0.0;
      if (!convert_double("value", bound[0].get(), value) ||
          !convert_override("alpha", bound[1].get(), alpha) ||
          !convert_override("l1_ratio", bound[2].get(), l1_ratio)) {
        return nullptr;
      }
      const double target[] = {value};
      data = encode_search_data(Rows{{0.0}}, target);
    } else {
      if (!convert_override("alpha", bound[2].get(), alpha) ||
          !convert_override("l1_ratio", bound[3].get(), l1_ratio)) {
        return nullptr;
      }
      Rows rows;
      if (name == "find_function") {
        std::optional<std::vector<double>> xs = extract_vector(bound[0].get());
        if (!xs) {
          return nullptr;
        }
        rows.reserve(xs->size());
        for (double x : *xs) rows.push_back({x});
      } else {
        std::optional<Rows> inputs = extract_rows(bound[0].get());
        if (!inputs) {
          return nullptr;
        }
        rows = std::move(*inputs);
      }
      std::optional<std::vector<double>> ys = extract_vector(bound[1].get());
      if (!ys) {
        return nullptr;
      }
      data = encode_search_data(rows, *ys);
    }
    PyRef bytes = PyRef::steal(to_bytes(data));
    PyRef a = PyRef::steal(optional_double(alpha));
    PyRef l = PyRef::steal(optional_double(l1_ratio));
    if (!bytes || !a || !l) {
      return nullptr;
    }
    return PyTuple_Pack(3, bytes.get(), a.get(), l.get());
  });
}

// make_config(max_complexity, complexity_penalty, beam_width, alpha,
// l1_ratio, no_early_stop) -> bytes
PyObject* make_config(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    unsigned long long max_complexity = 0;
    unsigned long long beam_width = 0;
    SearchConfig config;
    int no_early_stop = 0;
    if (!PyArg_ParseTuple(args, "KdKddp", &max_complexity, &config.complexity_penalty, &beam_width,
                          &config.alpha, &config.l1_ratio, &no_early_stop)) {
      return nullptr;
    }
    config.max_complexity = max_complexity;
    config.beam_width = beam_width;
    config.no_early_stop = no_early_stop != 0;
    return to_bytes(encode_search_config(config));
  });
}

// ---------------------------------------------------------------------------
// The driver's side: data, seen fingerprints, best formulas, retained levels

constexpr const char* kDriverCapsule = "_qarn_sr_core.cluster_driver";
constexpr const char* kScorerCapsule = "_qarn_sr_core.cluster_scorer";

void destroy_driver(PyObject* capsule) {
  delete static_cast<ClusterDriver*>(PyCapsule_GetPointer(capsule, kDriverCapsule));
}
void destroy_scorer(PyObject* capsule) {
  delete static_cast<ClusterScorer*>(PyCapsule_GetPointer(capsule, kScorerCapsule));
}

ClusterDriver* driver_arg(PyObject* obj) {
  return static_cast<ClusterDriver*>(PyCapsule_GetPointer(obj, kDriverCapsule));
}
ClusterScorer* scorer_arg(PyObject* obj) {
  return static_cast<ClusterScorer*>(PyCapsule_GetPointer(obj, kScorerCapsule));
}

// (None, (kind, message)) for a search error; kind is "dimension",
// "complexity" or "value" (a refused setting or input, ValueError).
PyObject* error_pair(const SearchError& error) {
  const char* kind = "complexity";
  if (error.kind == SearchError::Kind::DimensionMismatch) kind = "dimension";
  if (error.kind == SearchError::Kind::InvalidArgument) kind = "value";
  return Py_BuildValue("(O(ss))", Py_None, kind, error.message().c_str());
}

// driver_start(data, config) -> (driver, None) or (None, (kind, message)):
// checks the data set as the local search does and seeds level 1.
PyObject* driver_start(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* data_obj = nullptr;
    PyObject* config_obj = nullptr;
    std::string_view data;
    std::string_view config;
    if (!PyArg_ParseTuple(args, "OO", &data_obj, &config_obj) || !bytes_view(data_obj, data) ||
        !bytes_view(config_obj, config)) {
      return nullptr;
    }
    std::optional<Expected<std::unique_ptr<ClusterDriver>>> started;
    if (!run_unlocked(0, [&] { started = ClusterDriver::start(data, config); })) {
      return nullptr;
    }
    if (!started) {
      malformed();
      return nullptr;
    }
    if (const SearchError* error = std::get_if<SearchError>(&*started)) {
      return error_pair(*error);
    }
    auto& driver = std::get<std::unique_ptr<ClusterDriver>>(*started);
    PyRef capsule = PyRef::steal(PyCapsule_New(driver.get(), kDriverCapsule, destroy_driver));
    if (!capsule) {
      return nullptr;
    }
    driver.release();
    return Py_BuildValue("(OO)", capsule.get(), Py_None);
  });
}

// driver_should_stop(driver) -> bool
PyObject* driver_should_stop(PyObject*, PyObject* arg) {
  ClusterDriver* d = driver_arg(arg);
  if (d == nullptr) {
    return nullptr;
  }
  return PyBool_FromLong(d->should_stop());
}

// driver_level_size(driver, level) -> formulas retained at `level`
PyObject* driver_level_size(PyObject*, PyObject* args) {
  PyObject* obj = nullptr;
  unsigned long long level = 0;
  if (!PyArg_ParseTuple(args, "OK", &obj, &level)) {
    return nullptr;
  }
  ClusterDriver* d = driver_arg(obj);
  std::size_t size = 0;
  if (d == nullptr || !decoded(d->level_size(level), size)) {
    return nullptr;
  }
  return PyLong_FromSize_t(size);
}

// driver_level(driver, level) -> bytes of the retained formulas of `level`
PyObject* driver_level(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    if (!PyArg_ParseTuple(args, "OK", &obj, &level)) {
      return nullptr;
    }
    ClusterDriver* d = driver_arg(obj);
    std::string bytes;
    if (d == nullptr || !decoded(d->level_bytes(level), bytes)) {
      return nullptr;
    }
    return to_bytes(bytes);
  });
}

// driver_expansion_ranges(driver, level, runs) -> [(begin, end), ...]
PyObject* driver_expansion_ranges(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    Py_ssize_t runs = 0;
    if (!PyArg_ParseTuple(args, "OKn", &obj, &level, &runs)) {
      return nullptr;
    }
    ClusterDriver* d = driver_arg(obj);
    if (d == nullptr) {
      return nullptr;
    }
    const auto ranges =
        d->expansion_ranges(level, static_cast<std::size_t>(std::max<Py_ssize_t>(runs, 0)));
    if (!ranges) {
      PyErr_SetString(PyExc_ValueError, "levels are built in order, in at least one run");
      return nullptr;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranges->size())));
    if (!list) {
      return nullptr;
    }
    for (std::size_t p = 0; p < ranges->size(); ++p) {
      PyObject* item = Py_BuildValue("(KK)", static_cast<unsigned long long>((*ranges)[p].first),
                                     static_cast<unsigned long long>((*ranges)[p].second));
      if (item == nullptr) {
        return nullptr;
      }
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(p), item);
    }
    return list.release();
  });
}

// A list of bytes objects.
PyObject* bytes_list_object(const std::vector<std::string>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) {
    return nullptr;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* b = to_bytes(values[i]);
    if (b == nullptr) {
      return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), b);
  }
  return list.release();
}

// driver_first_layers(driver, buckets) -> list of bytes
PyObject* driver_first_layers(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    Py_ssize_t buckets = 0;
    if (!PyArg_ParseTuple(args, "On", &obj, &buckets)) {
      return nullptr;
    }
    ClusterDriver* d = driver_arg(obj);
    if (d == nullptr) {
      return nullptr;
    }
    return bytes_list_object(
        d->first_layers(static_cast<std::size_t>(std::max<Py_ssize_t>(buckets, 1))));
  });
}

// driver_first_round(driver, summaries) -> (complete, rest, elite_positions,
// elite_counts)
PyObject* driver_first_round(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &obj, &list)) {
      return nullptr;
    }
    ClusterDriver* d = driver_arg(obj);
    PyRef holder;
    std::vector<std::optional<std::string_view>> items;
    if (d == nullptr || !bytes_list(list, holder, items, false)) {
      return nullptr;
    }
    std::vector<std::string_view> views;
    for (const auto& item : items) views.push_back(*item);
    ClusterDriver::FirstRound first;
    if (!decoded(d->first_round(views), first)) {
      return nullptr;
    }
    PyRef positions = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(views.size())));
    PyRef counts = PyRef::steal(PyDict_New());
    if (!positions || !counts) {
      return nullptr;
    }
    for (std::size_t p = 0; p < views.size(); ++p) {
      PyObject* item = index_list_object(first.elite_positions[p]);
      if (item == nullptr) {
        return nullptr;
      }
      PyList_SetItem(positions.get(), static_cast<Py_ssize_t>(p), item);
    }
    for (const auto& [key, count] : first.elite_counts) {
      PyRef v = PyRef::steal(PyLong_FromUnsignedLong(count));
      if (!v || PyDict_SetItemString(counts.get(), key.c_str(), v.get()) < 0) {
        return nullptr;
      }
    }
    return Py_BuildValue("(OKOO)", first.complete ? Py_True : Py_False,
                         static_cast<unsigned long long>(first.rest), positions.get(),
                         counts.get());
  });
}

// driver_second_round(driver, entries)
PyObject* driver_second_round(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &obj, &list)) {
      return nullptr;
    }
    ClusterDriver* d = driver_arg(obj);
    PyRef holder;
    std::vector<std::optional<std::string_view>> items;
    if (d == nullptr || !bytes_list(list, holder, items, false)) {
      return nullptr;
    }
    std::vector<std::string_view> views;
    for (const auto& item : items) views.push_back(*item);
    if (!d->second_round(views)) {
      malformed();
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

// driver_wanted(driver, runs) -> per run the ascending positions whose
// formulas the driver needs: the kept entries and the level's winner.
PyObject* driver_wanted(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    Py_ssize_t runs = 0;
    if (!PyArg_ParseTuple(args, "On", &obj, &runs)) {
      return nullptr;
    }
    ClusterDriver* d = driver_arg(obj);
    if (d == nullptr) {
      return nullptr;
    }
    const auto wanted = d->wanted(static_cast<std::size_t>(std::max<Py_ssize_t>(runs, 0)));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(wanted.size())));
    if (!list) {
      return nullptr;
    }
    for (std::size_t p = 0; p < wanted.size(); ++p) {
      PyObject* item = index_list_object(wanted[p]);
      if (item == nullptr) {
        return nullptr;
      }
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(p), item);
    }
    return list.release();
  });
}

// driver_accept(driver, formulas) -> retained count (None for a run with no
// wanted formulas)
PyObject* driver_accept(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &obj, &list)) {
      return nullptr;
    }
    ClusterDriver* d = driver_arg(obj);
    PyRef holder;
    std::vector<std::optional<std::string_view>> items;
    std::size_t retained = 0;
    if (d == nullptr || !bytes_list(list, holder, items, true) ||
        !decoded(d->accept(items), retained)) {
      return nullptr;
    }
    return PyLong_FromSize_t(retained);
  });
}

// driver_front(driver) -> (list of qarn_sr.SearchResult, None) or
// (None, (kind, message)): refits the best formula of every complexity once.
PyObject* driver_front(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    ClusterDriver* d = driver_arg(arg);
    if (d == nullptr) {
      return nullptr;
    }
    Expected<std::vector<SearchResult>> front;
    if (!run_unlocked(0, [&] { front = d->front(); })) {
      return nullptr;
    }
    if (const SearchError* error = std::get_if<SearchError>(&front)) {
      return error_pair(*error);
    }
    auto& records = std::get<std::vector<SearchResult>>(front);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) {
      return nullptr;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyObject* item = wrap_result(std::move(records[i]));
      if (item == nullptr) {
        return nullptr;
      }
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(OO)", list.get(), Py_None);
  });
}

// ---------------------------------------------------------------------------
// The scorer's side: data and retained levels, no seen set

// scorer_new(data, config) -> scorer
PyObject* scorer_new(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* data_obj = nullptr;
    PyObject* config_obj = nullptr;
    std::string_view data;
    std::string_view config;
    if (!PyArg_ParseTuple(args, "OO", &data_obj, &config_obj) || !bytes_view(data_obj, data) ||
        !bytes_view(config_obj, config)) {
      return nullptr;
    }
    std::unique_ptr<ClusterScorer> scorer = ClusterScorer::create(data, config);
    if (!scorer) {
      malformed();
      return nullptr;
    }
    PyRef capsule = PyRef::steal(PyCapsule_New(scorer.get(), kScorerCapsule, destroy_scorer));
    if (!capsule) {
      return nullptr;
    }
    scorer.release();
    return capsule.release();
  });
}

// scorer_levels(scorer) -> the highest level held
PyObject* scorer_levels(PyObject*, PyObject* arg) {
  ClusterScorer* sc = scorer_arg(arg);
  if (sc == nullptr) {
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(sc->loaded());
}

// scorer_add_level(scorer, formulas, threads): loads the next retained level.
PyObject* scorer_add_level(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    PyObject* bytes_obj = nullptr;
    int threads = 0;
    std::string_view bytes;
    if (!PyArg_ParseTuple(args, "OOi", &obj, &bytes_obj, &threads) ||
        !bytes_view(bytes_obj, bytes)) {
      return nullptr;
    }
    ClusterScorer* sc = scorer_arg(obj);
    bool ok = false;
    if (sc == nullptr || !run_unlocked(threads, [&] { ok = sc->add_level(bytes); })) {
      return nullptr;
    }
    if (!ok) {
      malformed();
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

// The bytes a scorer step returned, or ValueError.
PyObject* step_result(std::optional<std::string>& out) {
  std::string bytes;
  if (!decoded(std::move(out), bytes)) {
    return nullptr;
  }
  return to_bytes(bytes);
}

// scorer_form(scorer, level, begin, end, buckets, threads) -> [formed run,
// digests of bucket 0, ...]
PyObject* scorer_form(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0, begin = 0, end = 0;
    Py_ssize_t buckets = 0;
    int threads = 0;
    if (!PyArg_ParseTuple(args, "OKKKni", &obj, &level, &begin, &end, &buckets, &threads)) {
      return nullptr;
    }
    ClusterScorer* sc = scorer_arg(obj);
    std::optional<std::vector<std::string>> out;
    if (sc == nullptr || !run_unlocked(threads, [&] {
          out = sc->form(level, begin, end,
                         static_cast<std::size_t>(std::max<Py_ssize_t>(buckets, 0)));
        })) {
      return nullptr;
    }
    std::vector<std::string> pieces;
    if (!decoded(std::move(out), pieces)) {
      return nullptr;
    }
    return bytes_list_object(pieces);
  });
}

// admit(earlier_layers, runs) -> (layer, flags, admitted per run)
PyObject* admit(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* layers_obj = nullptr;
    PyObject* runs_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &layers_obj, &runs_obj)) {
      return nullptr;
    }
    PyRef layers_holder;
    PyRef runs_holder;
    std::vector<std::optional<std::string_view>> layer_items;
    std::vector<std::optional<std::string_view>> run_items;
    if (!bytes_list(layers_obj, layers_holder, layer_items, false) ||
        !bytes_list(runs_obj, runs_holder, run_items, false)) {
      return nullptr;
    }
    std::vector<std::string_view> layers;
    std::vector<std::string_view> runs;
    for (const auto& item : layer_items) layers.push_back(*item);
    for (const auto& item : run_items) runs.push_back(*item);
    std::optional<ClusterScorer::Admission> out;
    if (!run_unlocked(1, [&] { out = ClusterScorer::admit(layers, runs); })) {
      return nullptr;
    }
    ClusterScorer::Admission admission;
    if (!decoded(std::move(out), admission)) {
      return nullptr;
    }
    std::vector<std::size_t> counts(admission.admitted.begin(), admission.admitted.end());
    PyRef layer = PyRef::steal(to_bytes(admission.layer));
    PyRef flags = PyRef::steal(to_bytes(admission.flags));
    PyRef admitted = PyRef::steal(index_list_object(counts));
    if (!layer || !flags || !admitted) {
      return nullptr;
    }
    return PyTuple_Pack(3, layer.get(), flags.get(), admitted.get());
  });
}

// scorer_score_admitted(scorer, level, formed, run, flags, threads) -> scored bytes
PyObject* scorer_score_admitted(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    PyObject* formed_obj = nullptr;
    Py_ssize_t run = 0;
    PyObject* flags_obj = nullptr;
    int threads = 0;
    std::string_view formed;
    if (!PyArg_ParseTuple(args, "OKOnOi", &obj, &level, &formed_obj, &run, &flags_obj, &threads) ||
        !bytes_view(formed_obj, formed)) {
      return nullptr;
    }
    ClusterScorer* sc = scorer_arg(obj);
    PyRef holder;
    std::vector<std::optional<std::string_view>> items;
    if (sc == nullptr || run < 0 || !bytes_list(flags_obj, holder, items, false)) {
      return nullptr;
    }
    std::vector<std::string_view> flags;
    for (const auto& item : items) flags.push_back(*item);
    std::optional<std::string> out;
    if (!run_unlocked(threads, [&] {
          out = sc->score_admitted(level, formed, static_cast<std::size_t>(run), flags);
        })) {
      return nullptr;
    }
    return step_result(out);
  });
}

// A scorer step that reads one byte form of a level and writes another:
// step(scorer, level, bytes, threads) -> bytes. Serves scorer_score
// (children -> scored) and scorer_summary (scored -> summary).
template <std::optional<std::string> (ClusterScorer::*Step)(std::uint64_t, std::string_view) const>
PyObject* scorer_bytes_step(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    PyObject* bytes_obj = nullptr;
    int threads = 0;
    std::string_view bytes;
    if (!PyArg_ParseTuple(args, "OKOi", &obj, &level, &bytes_obj, &threads) ||
        !bytes_view(bytes_obj, bytes)) {
      return nullptr;
    }
    ClusterScorer* sc = scorer_arg(obj);
    std::optional<std::string> out;
    if (sc == nullptr || !run_unlocked(threads, [&] { out = (sc->*Step)(level, bytes); })) {
      return nullptr;
    }
    return step_result(out);
  });
}

// scorer_rest(scorer, level, scored, elite_positions, elite_counts, rest,
// threads) -> entries bytes
PyObject* scorer_rest(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    PyObject* bytes_obj = nullptr;
    PyObject* elite_obj = nullptr;
    PyObject* counts_obj = nullptr;
    unsigned long long rest = 0;
    int threads = 0;
    std::string_view bytes;
    if (!PyArg_ParseTuple(args, "OKOOO!Ki", &obj, &level, &bytes_obj, &elite_obj, &PyDict_Type,
                          &counts_obj, &rest, &threads) ||
        !bytes_view(bytes_obj, bytes)) {
      return nullptr;
    }
    ClusterScorer* sc = scorer_arg(obj);
    std::vector<std::size_t> elite;
    if (sc == nullptr || !index_list(elite_obj, elite)) {
      return nullptr;
    }
    std::sort(elite.begin(), elite.end());
    std::unordered_map<std::string, std::uint32_t> counts;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(counts_obj, &pos, &key, &value)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(key, &size);
      if (text == nullptr) {
        return nullptr;
      }
      const unsigned long count = PyLong_AsUnsignedLong(value);
      if (PyErr_Occurred()) {
        return nullptr;
      }
      counts.emplace(std::string(text, static_cast<std::size_t>(size)),
                     static_cast<std::uint32_t>(count));
    }
    std::optional<std::string> out;
    if (!run_unlocked(threads, [&] { out = sc->rest(level, bytes, elite, counts, rest); })) {
      return nullptr;
    }
    return step_result(out);
  });
}

// scorer_formulas(scorer, level, scored, positions, threads) -> formulas bytes
PyObject* scorer_formulas(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    PyObject* bytes_obj = nullptr;
    PyObject* positions_obj = nullptr;
    int threads = 0;
    std::string_view bytes;
    if (!PyArg_ParseTuple(args, "OKOOi", &obj, &level, &bytes_obj, &positions_obj, &threads) ||
        !bytes_view(bytes_obj, bytes)) {
      return nullptr;
    }
    ClusterScorer* sc = scorer_arg(obj);
    std::vector<std::size_t> positions;
    if (sc == nullptr || !index_list(positions_obj, positions)) {
      return nullptr;
    }
    std::optional<std::string> out;
    if (!run_unlocked(threads, [&] { out = sc->formulas(level, bytes, positions); })) {
      return nullptr;
    }
    return step_result(out);
  });
}

// ---------------------------------------------------------------------------
// Console lines, written as the local search writes them

// write_stdout(text)
PyObject* write_text(PyObject*, PyObject* args) {
  const char* text = nullptr;
  Py_ssize_t size = 0;
  if (!PyArg_ParseTuple(args, "s#", &text, &size)) {
    return nullptr;
  }
  write_console(std::string_view(text, static_cast<std::size_t>(size)));
  Py_RETURN_NONE;
}

PyObject* to_str(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// started_line(seeded) -> str
PyObject* started_line(PyObject*, PyObject* args) {
  Py_ssize_t seeded = 0;
  if (!PyArg_ParseTuple(args, "n", &seeded)) {
    return nullptr;
  }
  return guarded(
      [&] { return to_str(exploration_started_line(static_cast<std::size_t>(seeded))); });
}

// level_line(level, nanoseconds, retained) -> str
PyObject* level_line(PyObject*, PyObject* args) {
  unsigned long long level = 0;
  long long nanoseconds = 0;
  Py_ssize_t retained = 0;
  if (!PyArg_ParseTuple(args, "KLn", &level, &nanoseconds, &retained)) {
    return nullptr;
  }
  return guarded([&] {
    return to_str(level_finished_line(level, std::chrono::nanoseconds(nanoseconds),
                                      static_cast<std::size_t>(retained)));
  });
}

// progress_line(level, pct, done, total, elapsed, remaining) -> str
PyObject* progress_line(PyObject*, PyObject* args) {
  unsigned long long level = 0, pct = 0, done = 0, total = 0;
  double elapsed = 0.0, remaining = 0.0;
  if (!PyArg_ParseTuple(args, "KKKKdd", &level, &pct, &done, &total, &elapsed, &remaining)) {
    return nullptr;
  }
  return guarded(
      [&] { return to_str(scoring_progress_line(level, pct, done, total, elapsed, remaining)); });
}

}  // namespace

PyMethodDef cluster_functions[] = {
    {"cluster_parse_config", parse_config, METH_VARARGS, nullptr},
    {"cluster_parse_call", parse_call, METH_VARARGS, nullptr},
    {"cluster_make_config", make_config, METH_VARARGS, nullptr},
    {"cluster_driver_start", driver_start, METH_VARARGS, nullptr},
    {"cluster_driver_should_stop", driver_should_stop, METH_O, nullptr},
    {"cluster_driver_level", driver_level, METH_VARARGS, nullptr},
    {"cluster_driver_level_size", driver_level_size, METH_VARARGS, nullptr},
    {"cluster_driver_expansion_ranges", driver_expansion_ranges, METH_VARARGS, nullptr},
    {"cluster_driver_first_layers", driver_first_layers, METH_VARARGS, nullptr},
    {"cluster_scorer_form", scorer_form, METH_VARARGS, nullptr},
    {"cluster_admit", admit, METH_VARARGS, nullptr},
    {"cluster_scorer_score_admitted", scorer_score_admitted, METH_VARARGS, nullptr},
    {"cluster_driver_first_round", driver_first_round, METH_VARARGS, nullptr},
    {"cluster_driver_second_round", driver_second_round, METH_VARARGS, nullptr},
    {"cluster_driver_wanted", driver_wanted, METH_VARARGS, nullptr},
    {"cluster_driver_accept", driver_accept, METH_VARARGS, nullptr},
    {"cluster_driver_front", driver_front, METH_O, nullptr},
    {"cluster_scorer_new", scorer_new, METH_VARARGS, nullptr},
    {"cluster_scorer_levels", scorer_levels, METH_O, nullptr},
    {"cluster_scorer_add_level", scorer_add_level, METH_VARARGS, nullptr},
    {"cluster_scorer_score", scorer_bytes_step<&ClusterScorer::score>, METH_VARARGS, nullptr},
    {"cluster_scorer_summary", scorer_bytes_step<&ClusterScorer::summary>, METH_VARARGS, nullptr},
    {"cluster_scorer_rest", scorer_rest, METH_VARARGS, nullptr},
    {"cluster_scorer_formulas", scorer_formulas, METH_VARARGS, nullptr},
    {"cluster_write_stdout", write_text, METH_VARARGS, nullptr},
    {"cluster_started_line", started_line, METH_VARARGS, nullptr},
    {"cluster_level_line", level_line, METH_VARARGS, nullptr},
    {"cluster_progress_line", progress_line, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace qarn::py::core
