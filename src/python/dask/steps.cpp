#include "python/dask/steps.h"

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

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "engine/beam.h"
#include "engine/level_steps.h"
#include "engine/progress.h"
#include "engine/wire.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/exceptions.h"
#include "python/py_ref.h"
#include "python/search_result.h"

namespace qarn::py {

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

template <class T>
bool decoded(std::optional<T> value, T& out) {
  if (!value) {
    PyErr_SetString(PyExc_ValueError, "malformed search data");
    return false;
  }
  out = std::move(*value);
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

// Every item of a list of bytes, decoded by `decode`; None gives an empty T.
template <class T, class Decode>
bool decode_list(PyObject* obj, Decode decode, std::vector<T>& out) {
  PyRef seq = PyRef::steal(PySequence_Tuple(obj));
  if (!seq) {
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(seq.get());
  out.clear();
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::string_view bytes;
    T value{};
    PyObject* item = PyTuple_GetItem(seq.get(), i);
    if (item != Py_None && (!bytes_view(item, bytes) || !decoded(decode(bytes), value))) {
      return false;
    }
    out.push_back(std::move(value));
  }
  return true;
}

// Runs `work` without the interpreter lock on at most `threads` worker
// threads (0: the pool's default); a C++ exception comes back as a Python one.
template <class Work>
bool run_unlocked(int threads, Work&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    if (threads > 0) {
      tbb::task_arena arena(threads);
      arena.execute([&] { work(); });
    } else {
      work();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) {
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

constexpr const char* kConstructorNames[] = {"max_complexity", "complexity_penalty", "beam_width",
                                              "alpha", "l1_ratio"};
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
    const Parameters params{"DaskSearcher", kConstructorNames, 0};
    PyRef bound[5];
    if (!bind_tuple(params, call_args, call_kwargs == Py_None ? nullptr : call_kwargs, bound)) {
      return nullptr;
    }
    SearchConfig config;
    if ((bound[0] && !convert_u64("max_complexity", bound[0].get(), config.max_complexity)) ||
        (bound[1] &&
         !convert_double("complexity_penalty", bound[1].get(), config.complexity_penalty)) ||
        (bound[2] && !convert_u64("beam_width", bound[2].get(), config.beam_width)) ||
        (bound[3] && !convert_double("alpha", bound[3].get(), config.alpha)) ||
        (bound[4] && !convert_double("l1_ratio", bound[4].get(), config.l1_ratio))) {
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
      data = encode_data(Rows{{0.0}}, target);
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
      data = encode_data(rows, *ys);
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
    if (!PyArg_ParseTuple(args, "KdKddp", &max_complexity, &config.complexity_penalty,
                          &beam_width, &config.alpha, &config.l1_ratio, &no_early_stop)) {
      return nullptr;
    }
    config.max_complexity = max_complexity;
    config.beam_width = beam_width;
    config.no_early_stop = no_early_stop != 0;
    return to_bytes(encode_config(config));
  });
}

// ---------------------------------------------------------------------------
// The driver's side: data, seen fingerprints, best formulas, retained levels

constexpr const char* kDriverCapsule = "qarn_sr_dask.driver";
constexpr const char* kScorerCapsule = "qarn_sr_dask.scorer";

struct Driver {
  SearchConfig config;
  SearchState s;
  std::uint64_t level = 0;                 // level being built
  std::vector<LevelWinner> winners;        // per run of the level being built
  BeamFirstRound first;
  std::vector<BeamEntry> kept;             // beam of the level being built, in order
  bool has_winner = false;
  WinnerPlace winner;
};

struct Scorer {
  SearchConfig config;
  SearchState s;
  std::uint64_t loaded = 0;  // retained levels held, 1 .. loaded
};

template <class T>
void destroy_capsule(PyObject* capsule, const char* name) {
  delete static_cast<T*>(PyCapsule_GetPointer(capsule, name));
}

void destroy_driver(PyObject* capsule) { destroy_capsule<Driver>(capsule, kDriverCapsule); }
void destroy_scorer(PyObject* capsule) { destroy_capsule<Scorer>(capsule, kScorerCapsule); }

template <class T>
T* from_capsule(PyObject* capsule, const char* name) {
  return static_cast<T*>(PyCapsule_GetPointer(capsule, name));
}

// driver_start(data, config) -> (driver, None) or (None, (kind, message)):
// validates the data set as the local search does and seeds level 1.
PyObject* driver_start(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* data_obj = nullptr;
    PyObject* config_obj = nullptr;
    std::string_view data_bytes;
    std::string_view config_bytes;
    if (!PyArg_ParseTuple(args, "OO", &data_obj, &config_obj) ||
        !bytes_view(data_obj, data_bytes) || !bytes_view(config_obj, config_bytes)) {
      return nullptr;
    }
    DataSet data;
    auto driver = std::make_unique<Driver>();
    if (!decoded(decode_data(data_bytes), data) ||
        !decoded(decode_config(config_bytes), driver->config)) {
      return nullptr;
    }
    std::optional<SearchError> error;
    if (data.rows.size() != data.targets.size() || data.rows.empty()) {
      error = SearchError::dimension_mismatch(kDimensionMismatchText);
    } else if (driver->config.max_complexity == 0) {
      error = SearchError::no_formula_found(0);
    }
    if (error) {
      const bool dimension = error->kind == SearchError::Kind::DimensionMismatch;
      return Py_BuildValue("(O(ss))", Py_None, dimension ? "dimension" : "complexity",
                           error->message().c_str());
    }
    Driver& d = *driver;
    if (!run_unlocked(0, [&] {
          load_search_data(d.s, data.rows, data.targets);
          seed_level(d.s, data.rows[0].size(), d.config);
        })) {
      return nullptr;
    }
    PyRef capsule = PyRef::steal(PyCapsule_New(driver.get(), kDriverCapsule, destroy_driver));
    if (!capsule) {
      return nullptr;
    }
    driver.release();
    return Py_BuildValue("(OO)", capsule.get(), Py_None);
  });
}

Driver* driver_arg(PyObject* obj) { return from_capsule<Driver>(obj, kDriverCapsule); }

// driver_should_stop(driver) -> bool
PyObject* driver_should_stop(PyObject*, PyObject* arg) {
  Driver* d = driver_arg(arg);
  if (d == nullptr) {
    return nullptr;
  }
  return PyBool_FromLong(should_stop(d->s.best, d->config.stop_threshold, d->config.no_early_stop));
}

// driver_level(driver, level) -> bytes of the retained formulas of `level`
PyObject* driver_level(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    if (!PyArg_ParseTuple(args, "OK", &obj, &level)) {
      return nullptr;
    }
    Driver* d = driver_arg(obj);
    if (d == nullptr) {
      return nullptr;
    }
    if (level == 0 || level >= d->s.levels.size()) {
      PyErr_SetString(PyExc_IndexError, "no such level");
      return nullptr;
    }
    return to_bytes(encode_formulas(d->s.levels[level].formulas));
  });
}

// driver_level_size(driver, level) -> formulas retained at `level`
PyObject* driver_level_size(PyObject*, PyObject* args) {
  PyObject* obj = nullptr;
  unsigned long long level = 0;
  if (!PyArg_ParseTuple(args, "OK", &obj, &level)) {
    return nullptr;
  }
  Driver* d = driver_arg(obj);
  if (d == nullptr) {
    return nullptr;
  }
  if (level == 0 || level >= d->s.levels.size()) {
    PyErr_SetString(PyExc_IndexError, "no such level");
    return nullptr;
  }
  return PyLong_FromSize_t(d->s.levels[level].size());
}

// driver_expand(driver, level, runs) -> (list of children bytes, list of
// their lengths, formed):
// the level's admitted children in loop order, cut into at most `runs`
// consecutive runs of nearly equal length (none when nothing was admitted).
PyObject* driver_expand(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    Py_ssize_t runs = 0;
    if (!PyArg_ParseTuple(args, "OKn", &obj, &level, &runs)) {
      return nullptr;
    }
    Driver* d = driver_arg(obj);
    if (d == nullptr) {
      return nullptr;
    }
    if (level != d->s.levels.size() || runs < 1) {
      PyErr_SetString(PyExc_ValueError, "levels must be built in order");
      return nullptr;
    }
    Expansion expansion;
    std::vector<std::string> pieces;
    std::vector<std::size_t> lengths;
    if (!run_unlocked(0, [&] {
          expansion = expand_level(d->s, level);
          const std::size_t n = expansion.children.size();
          const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(runs), n);
          for (std::size_t p = 0; p < count; ++p) {
            const std::size_t begin = n * p / count;
            const std::size_t end = n * (p + 1) / count;
            lengths.push_back(end - begin);
            pieces.push_back(encode_children(
                std::span<const Child>(expansion.children).subspan(begin, end - begin)));
          }
        })) {
      return nullptr;
    }
    d->level = level;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!list) {
      return nullptr;
    }
    for (std::size_t p = 0; p < pieces.size(); ++p) {
      PyObject* b = to_bytes(pieces[p]);
      if (b == nullptr) {
        return nullptr;
      }
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(p), b);
    }
    PyRef counts = PyRef::steal(index_list_object(lengths));
    if (!counts) {
      return nullptr;
    }
    return Py_BuildValue("(OOK)", list.get(), counts.get(),
                         static_cast<unsigned long long>(expansion.formed));
  });
}

// driver_first_round(driver, summaries) -> (complete, rest, elite_positions,
// elite_counts): merges the runs' summaries (in run order) into the level's
// winner and the first round of its beam.
PyObject* driver_first_round(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &obj, &list)) {
      return nullptr;
    }
    Driver* d = driver_arg(obj);
    std::vector<RunSummary> summaries;
    if (d == nullptr || !decode_list<RunSummary>(list, decode_summary, summaries)) {
      return nullptr;
    }
    d->winners.clear();
    std::vector<RunBest> bests;
    for (RunSummary& s : summaries) {
      d->winners.push_back(s.winner);
      bests.push_back(std::move(s.best));
    }
    d->has_winner = merge_winners(d->winners, d->winner);
    d->first = beam_first_round(bests, d->config.beam_width);
    d->kept = d->first.kept;

    PyRef positions = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(bests.size())));
    PyRef counts = PyRef::steal(PyDict_New());
    if (!positions || !counts) {
      return nullptr;
    }
    for (std::size_t p = 0; p < bests.size(); ++p) {
      PyObject* item = index_list_object(d->first.elite_positions[p]);
      if (item == nullptr) {
        return nullptr;
      }
      PyList_SetItem(positions.get(), static_cast<Py_ssize_t>(p), item);
    }
    for (const auto& [key, count] : d->first.elite_counts) {
      PyRef v = PyRef::steal(PyLong_FromUnsignedLong(count));
      if (!v || PyDict_SetItemString(counts.get(), key.c_str(), v.get()) < 0) {
        return nullptr;
      }
    }
    return Py_BuildValue("(OKOO)", d->first.complete ? Py_True : Py_False,
                         static_cast<unsigned long long>(d->first.rest), positions.get(),
                         counts.get());
  });
}

// driver_second_round(driver, entries): completes the beam from each run's
// best non-elite entries (in run order).
PyObject* driver_second_round(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &obj, &list)) {
      return nullptr;
    }
    Driver* d = driver_arg(obj);
    std::vector<std::vector<BeamEntry>> runs;
    if (d == nullptr || !decode_list<std::vector<BeamEntry>>(list, decode_entries, runs)) {
      return nullptr;
    }
    const std::vector<BeamEntry> rest = beam_second_round(runs, d->first.rest);
    d->kept.insert(d->kept.end(), rest.begin(), rest.end());
    Py_RETURN_NONE;
  });
}

// driver_wanted(driver, runs) -> per run the ascending positions whose
// formulas the driver needs: the kept entries and the level's winner.
std::vector<std::vector<std::size_t>> wanted_positions(const Driver& d, std::size_t runs) {
  std::vector<std::vector<std::size_t>> wanted(runs);
  for (const BeamEntry& e : d.kept) wanted[e.part].push_back(e.position);
  if (d.has_winner) wanted[d.winner.part].push_back(d.winner.position);
  for (std::vector<std::size_t>& w : wanted) {
    std::sort(w.begin(), w.end());
    w.erase(std::unique(w.begin(), w.end()), w.end());
  }
  return wanted;
}

PyObject* driver_wanted(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    Py_ssize_t runs = 0;
    if (!PyArg_ParseTuple(args, "On", &obj, &runs)) {
      return nullptr;
    }
    Driver* d = driver_arg(obj);
    if (d == nullptr) {
      return nullptr;
    }
    const auto wanted = wanted_positions(*d, static_cast<std::size_t>(runs));
    PyRef list = PyRef::steal(PyList_New(runs));
    if (!list) {
      return nullptr;
    }
    for (Py_ssize_t p = 0; p < runs; ++p) {
      PyObject* item = index_list_object(wanted[static_cast<std::size_t>(p)]);
      if (item == nullptr) {
        return nullptr;
      }
      PyList_SetItem(list.get(), p, item);
    }
    return list.release();
  });
}

// driver_accept(driver, formulas) -> retained count: takes each run's wanted
// formulas (in the order driver_wanted gave; None for a run with none), records the level's winner and
// appends the retained level in beam order.
PyObject* driver_accept(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &obj, &list)) {
      return nullptr;
    }
    Driver* d = driver_arg(obj);
    std::vector<std::vector<Formula>> runs;
    if (d == nullptr || !decode_list<std::vector<Formula>>(list, decode_formulas, runs)) {
      return nullptr;
    }
    const auto wanted = wanted_positions(*d, runs.size());
    const auto formula_at = [&](std::size_t part, std::uint64_t position) -> const Formula* {
      if (part >= runs.size()) return nullptr;
      const auto& w = wanted[part];
      const auto it = std::lower_bound(w.begin(), w.end(), position);
      if (it == w.end() || *it != position || runs[part].size() != w.size()) return nullptr;
      return &runs[part][static_cast<std::size_t>(it - w.begin())];
    };
    Level level;
    for (const BeamEntry& e : d->kept) {
      const Formula* f = formula_at(e.part, e.position);
      if (f == nullptr) {
        PyErr_SetString(PyExc_ValueError, "malformed search data");
        return nullptr;
      }
      level.add(*f, *d->s.registry);
    }
    if (d->has_winner) {
      const Formula* f = formula_at(d->winner.part, d->winner.position);
      if (f == nullptr) {
        PyErr_SetString(PyExc_ValueError, "malformed search data");
        return nullptr;
      }
      record_best(d->s.best, *f, d->winner.loss);
    }
    const std::size_t retained = level.size();
    add_level(d->s, std::move(level), false);
    d->kept.clear();
    d->has_winner = false;
    return PyLong_FromSize_t(retained);
  });
}

// driver_front(driver) -> (list of qarn_sr.SearchResult, None) or
// (None, (kind, message)): refits the best formula of every complexity once.
PyObject* driver_front(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    Driver* d = driver_arg(arg);
    if (d == nullptr) {
      return nullptr;
    }
    Expected<std::vector<SearchResult>> front;
    if (!run_unlocked(0, [&] {
          front = extract_front(d->s.best, d->s.registry, d->config, d->s.rows, d->s.targets);
        })) {
      return nullptr;
    }
    if (const SearchError* error = std::get_if<SearchError>(&front)) {
      const bool dimension = error->kind == SearchError::Kind::DimensionMismatch;
      return Py_BuildValue("(O(ss))", Py_None, dimension ? "dimension" : "complexity",
                           error->message().c_str());
    }
    auto& records = std::get<std::vector<SearchResult>>(front);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) {
      return nullptr;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyObject* item = wrap_search_result(std::move(records[i]));
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
    std::string_view data_bytes;
    std::string_view config_bytes;
    if (!PyArg_ParseTuple(args, "OO", &data_obj, &config_obj) ||
        !bytes_view(data_obj, data_bytes) || !bytes_view(config_obj, config_bytes)) {
      return nullptr;
    }
    DataSet data;
    auto scorer = std::make_unique<Scorer>();
    if (!decoded(decode_data(data_bytes), data) ||
        !decoded(decode_config(config_bytes), scorer->config)) {
      return nullptr;
    }
    if (data.rows.empty() || data.rows.size() != data.targets.size()) {
      PyErr_SetString(PyExc_ValueError, "malformed search data");
      return nullptr;
    }
    load_search_data(scorer->s, data.rows, data.targets);
    PyRef capsule = PyRef::steal(PyCapsule_New(scorer.get(), kScorerCapsule, destroy_scorer));
    if (!capsule) {
      return nullptr;
    }
    scorer.release();
    return capsule.release();
  });
}

Scorer* scorer_arg(PyObject* obj) { return from_capsule<Scorer>(obj, kScorerCapsule); }

// scorer_levels(scorer) -> the highest level held
PyObject* scorer_levels(PyObject*, PyObject* arg) {
  Scorer* sc = scorer_arg(arg);
  if (sc == nullptr) {
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(sc->loaded);
}

// scorer_add_level(scorer, formulas, threads): appends the next retained
// level; from level 2 on, its parameter-free formulas keep their values on
// the data as in the local search.
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
    Scorer* sc = scorer_arg(obj);
    std::vector<Formula> formulas;
    if (sc == nullptr || !decoded(decode_formulas(bytes), formulas)) {
      return nullptr;
    }
    const std::uint64_t index = sc->loaded + 1;
    if (!run_unlocked(threads, [&] {
          Level level;
          for (Formula& f : formulas) level.add(std::move(f), *sc->s.registry);
          if (index == 1) {
            sc->s.levels[1] = std::move(level);
          } else {
            add_level(sc->s, std::move(level), true);
          }
        })) {
      return nullptr;
    }
    sc->loaded = index;
    Py_RETURN_NONE;
  });
}

bool level_arg(const Scorer& sc, unsigned long long level) {
  // Children of a level read only the levels below it, whatever came after.
  if (level < 2 || level > sc.loaded + 1) {
    PyErr_SetString(PyExc_ValueError, "the levels below this one are not loaded");
    return false;
  }
  return true;
}

// scorer_score(scorer, level, children, threads) -> scored bytes
PyObject* scorer_score(PyObject*, PyObject* args) {
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
    Scorer* sc = scorer_arg(obj);
    std::vector<Child> children;
    if (sc == nullptr || !level_arg(*sc, level) || !decoded(decode_children(bytes), children)) {
      return nullptr;
    }
    std::string out;
    if (!run_unlocked(threads, [&] {
          out = encode_scored(score_range(sc->s, level, std::move(children), sc->config));
        })) {
      return nullptr;
    }
    return to_bytes(out);
  });
}

// scorer_summary(scorer, level, scored) -> summary bytes: the run's level
// winner and its best beam_width entries by score with their keys.
PyObject* scorer_summary(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    PyObject* bytes_obj = nullptr;
    std::string_view bytes;
    if (!PyArg_ParseTuple(args, "OKO", &obj, &level, &bytes_obj) ||
        !bytes_view(bytes_obj, bytes)) {
      return nullptr;
    }
    Scorer* sc = scorer_arg(obj);
    ScoredLevel scored;
    if (sc == nullptr || !level_arg(*sc, level) || !decoded(decode_scored(bytes), scored)) {
      return nullptr;
    }
    RunSummary summary;
    summary.winner = level_winner(scored, level, sc->config);
    summary.best.count = scored.items.size();
    std::vector<double> scores(scored.items.size());
    for (std::size_t i = 0; i < scores.size(); ++i) scores[i] = scored.items[i].score;
    const std::size_t limit =
        static_cast<std::size_t>(std::min<std::uint64_t>(sc->config.beam_width, scores.size()));
    for (std::size_t i : best_by_score(scores, limit)) {
      summary.best.entries.push_back({scores[i], 0, 0, i});
      summary.best.keys.push_back(scored_key(sc->s, level, scored.items[i].child));
    }
    return to_bytes(encode_summary(summary));
  });
}

// scorer_rest(scorer, level, scored, elite_positions, elite_counts, rest,
// threads) -> entries bytes: the run's best `rest` entries outside the elite
// by (elite count of their key, score).
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
    Scorer* sc = scorer_arg(obj);
    ScoredLevel scored;
    std::vector<std::size_t> elite;
    if (sc == nullptr || !level_arg(*sc, level) || !decoded(decode_scored(bytes), scored) ||
        !index_list(elite_obj, elite)) {
      return nullptr;
    }
    std::sort(elite.begin(), elite.end());
    std::unordered_map<std::string, std::uint32_t> elite_counts;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(counts_obj, &pos, &key, &value)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(key, &size);
      const unsigned long count = PyLong_AsUnsignedLong(value);
      if (text == nullptr || PyErr_Occurred()) {
        return nullptr;
      }
      elite_counts.emplace(std::string(text, static_cast<std::size_t>(size)),
                           static_cast<std::uint32_t>(count));
    }
    std::string out;
    if (!run_unlocked(threads, [&] {
          const std::size_t n = scored.items.size();
          std::vector<double> scores(n);
          for (std::size_t i = 0; i < n; ++i) scores[i] = scored.items[i].score;
          std::vector<std::uint32_t> counts(n, 0);
          if (!elite_counts.empty()) {
            tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) {
              const auto found = elite_counts.find(scored_key(sc->s, level, scored.items[i].child));
              counts[i] = found == elite_counts.end() ? 0 : found->second;
            });
          }
          std::vector<BeamEntry> entries;
          for (std::size_t i :
               best_by_rarity(scores, counts, elite, static_cast<std::size_t>(rest))) {
            entries.push_back({scores[i], counts[i], 0, i});
          }
          out = encode_entries(entries);
        })) {
      return nullptr;
    }
    return to_bytes(out);
  });
}

// scorer_formulas(scorer, level, scored, positions) -> formulas bytes of the
// scored entries at `positions`, in that order.
PyObject* scorer_formulas(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* obj = nullptr;
    unsigned long long level = 0;
    PyObject* bytes_obj = nullptr;
    PyObject* positions_obj = nullptr;
    std::string_view bytes;
    if (!PyArg_ParseTuple(args, "OKOO", &obj, &level, &bytes_obj, &positions_obj) ||
        !bytes_view(bytes_obj, bytes)) {
      return nullptr;
    }
    Scorer* sc = scorer_arg(obj);
    ScoredLevel scored;
    std::vector<std::size_t> positions;
    if (sc == nullptr || !level_arg(*sc, level) || !decoded(decode_scored(bytes), scored) ||
        !index_list(positions_obj, positions)) {
      return nullptr;
    }
    std::vector<Formula> formulas;
    for (std::size_t i : positions) {
      if (i >= scored.items.size()) {
        PyErr_SetString(PyExc_IndexError, "no such scored entry");
        return nullptr;
      }
      formulas.push_back(scored_formula(sc->s, level, scored, scored.items[i]));
    }
    return to_bytes(encode_formulas(formulas));
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
  write_stdout(std::string_view(text, static_cast<std::size_t>(size)));
  Py_RETURN_NONE;
}

// started_line(seeded) -> str
PyObject* started_line(PyObject*, PyObject* args) {
  Py_ssize_t seeded = 0;
  if (!PyArg_ParseTuple(args, "n", &seeded)) {
    return nullptr;
  }
  return guarded([&] {
    const std::string s = started_text(static_cast<std::size_t>(seeded));
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
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
    const std::string s = level_done_text(level, std::chrono::nanoseconds(nanoseconds),
                                          static_cast<std::size_t>(retained));
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

// progress_line(level, pct, done, total, elapsed, remaining) -> str
PyObject* progress_line(PyObject*, PyObject* args) {
  unsigned long long level = 0, pct = 0, done = 0, total = 0;
  double elapsed = 0.0, remaining = 0.0;
  if (!PyArg_ParseTuple(args, "KKKKdd", &level, &pct, &done, &total, &elapsed, &remaining)) {
    return nullptr;
  }
  return guarded([&] {
    const std::string s = progress_text(level, pct, done, total, elapsed, remaining);
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

}  // namespace

PyMethodDef dask_step_methods[] = {
    {"parse_config", parse_config, METH_VARARGS, nullptr},
    {"parse_call", parse_call, METH_VARARGS, nullptr},
    {"make_config", make_config, METH_VARARGS, nullptr},
    {"driver_start", driver_start, METH_VARARGS, nullptr},
    {"driver_should_stop", driver_should_stop, METH_O, nullptr},
    {"driver_level", driver_level, METH_VARARGS, nullptr},
    {"driver_level_size", driver_level_size, METH_VARARGS, nullptr},
    {"driver_expand", driver_expand, METH_VARARGS, nullptr},
    {"driver_first_round", driver_first_round, METH_VARARGS, nullptr},
    {"driver_second_round", driver_second_round, METH_VARARGS, nullptr},
    {"driver_wanted", driver_wanted, METH_VARARGS, nullptr},
    {"driver_accept", driver_accept, METH_VARARGS, nullptr},
    {"driver_front", driver_front, METH_O, nullptr},
    {"scorer_new", scorer_new, METH_VARARGS, nullptr},
    {"scorer_levels", scorer_levels, METH_O, nullptr},
    {"scorer_add_level", scorer_add_level, METH_VARARGS, nullptr},
    {"scorer_score", scorer_score, METH_VARARGS, nullptr},
    {"scorer_summary", scorer_summary, METH_VARARGS, nullptr},
    {"scorer_rest", scorer_rest, METH_VARARGS, nullptr},
    {"scorer_formulas", scorer_formulas, METH_VARARGS, nullptr},
    {"write_stdout", write_text, METH_VARARGS, nullptr},
    {"started_line", started_line, METH_VARARGS, nullptr},
    {"level_line", level_line, METH_VARARGS, nullptr},
    {"progress_line", progress_line, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool prepare_dask_steps() {
  PyRef qarn_sr = PyRef::steal(PyImport_ImportModule("qarn_sr"));
  if (!qarn_sr) {
    return false;
  }
  PyRef type = PyRef::steal(PyObject_GetAttrString(qarn_sr.get(), "SearchResult"));
  return type && use_search_result_type(type.get());
}

}  // namespace qarn::py
