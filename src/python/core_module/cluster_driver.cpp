#include "python/core_module/cluster_driver.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "api/cluster.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/core_module/qarn_classes.h"
#include "python/core_module/search_options.h"
#include "python/core_module/step_args.h"
#include "python/exceptions.h"
#include "python/heap_type.h"
#include "python/py_ref.h"
#include "python/search_methods.h"

namespace qarn::py::core {

namespace {

// One search's driver, with the data set and settings as the scorers take
// them. The driver's steps are called in the order the search needs them,
// from one thread at a time.
struct Driver {
  std::unique_ptr<ClusterDriver> driver;
  PyRef data;               // bytes
  PyRef settings;           // bytes
  bool level_open = false;  // next_level opened a level that accept has not closed
};

ClusterDriver& driver_of(PyObject* self) { return *held<Driver>(self).driver; }

// The settings of a DaskSearcher bound and converted as Searcher's
// constructor does it, as a tuple (max_complexity, complexity_penalty,
// beam_width, alpha, l1_ratio).
constexpr Parameters kSettingsParams{"DaskSearcher", kSettingNames, 0};

PyObject* settings_tuple(const SearchConfig& config) {
  return Py_BuildValue(
      "(KdKdd)", static_cast<unsigned long long>(config.max_complexity), config.complexity_penalty,
      static_cast<unsigned long long>(config.beam_width), config.alpha, config.l1_ratio);
}

bool config_from_tuple(PyObject* settings, SearchConfig& config) {
  if (!PyTuple_Check(settings) || PyTuple_Size(settings) != 5) {
    PyErr_SetString(PyExc_TypeError, "argument 'settings': must be a tuple from bind_settings");
    return false;
  }
  PyRef bound[5];
  for (Py_ssize_t i = 0; i < 5; ++i) bound[i] = PyRef::borrow(PyTuple_GetItem(settings, i));
  return convert_settings(bound, config);
}

// bind_settings(args, kwargs)
PyObject* bind_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2 || !PyTuple_Check(args[0]) || (args[1] != Py_None && !PyDict_Check(args[1]))) {
      PyErr_SetString(PyExc_TypeError, "bind_settings(args, kwargs) takes a tuple and a dict");
      return nullptr;
    }
    PyRef bound[5];
    SearchConfig config;
    if (!bind_tuple(kSettingsParams, args[0], args[1] == Py_None ? nullptr : args[1], bound) ||
        !convert_settings(bound, config)) {
      return nullptr;
    }
    return settings_tuple(config);
  });
}

// A search call's data set and overrides, converted as Searcher's methods
// convert them: the overrides, then the data, then ys.
struct SearchCall {
  Rows rows;
  std::vector<double> ys;
  std::optional<double> alpha;
  std::optional<double> l1_ratio;
};

// The "search" method: the data and the options of _qarn_sr_core.search
// (without its time limit, monitor, memory limit and checkpoint), converted
// as it converts them: the options into `config`, then the data, then ys.
constexpr const char* kSearchMethodNames[] = {
    "inputs",     "ys",     "max_complexity", "complexity_penalty",
    "beam_width", "alpha",  "l1_ratio",       "early_stop",
    "full_fit",   "affine", "operators",      "stop_threshold",
    "beam_widths"};
constexpr Parameters kSearchMethodParams{"search", kSearchMethodNames, 2};

bool convert_search_call(PyObject* args, PyObject* kwargs, SearchCall& out, SearchConfig& config) {
  PyRef bound[13];
  if (!bind_tuple(kSearchMethodParams, args, kwargs, bound)) {
    return false;
  }
  SearchOptionArgs options;
  options.max_complexity = bound[2].get();
  options.complexity_penalty = bound[3].get();
  options.beam_width = bound[4].get();
  options.alpha = bound[5].get();
  options.l1_ratio = bound[6].get();
  options.early_stop = bound[7].get();
  options.full_fit = bound[8].get();
  options.affine = bound[9].get();
  options.operators = bound[10].get();
  options.stop_threshold = bound[11].get();
  options.beam_widths = bound[12].get();
  if (!convert_search_options(options, config)) {
    return false;
  }
  std::optional<Rows> inputs = extract_rows(bound[0].get());
  if (!inputs) {
    return false;
  }
  std::optional<std::vector<double>> ys = extract_vector(bound[1].get());
  if (!ys) {
    return false;
  }
  out.rows = std::move(*inputs);
  out.ys = std::move(*ys);
  return true;
}

bool convert_call(std::string_view method, PyObject* args, PyObject* kwargs, SearchCall& out) {
  const Parameters* params = nullptr;
  if (method == "find_function") {
    params = &kFindFunctionParams;
  } else if (method == "find_multivariate") {
    params = &kFindMultivariateParams;
  } else if (method == "fit") {
    params = &kFitParams;
  } else if (method == "find_candidates") {
    params = &kFindCandidatesParams;
  } else if (method == "recognize_constant") {
    params = &kRecognizeConstantParams;
  } else {
    PyErr_Format(PyExc_ValueError, "unknown search method '%.100s'", std::string(method).c_str());
    return false;
  }
  PyRef bound[4];
  if (!bind_tuple(*params, args, kwargs, std::span<PyRef>(bound, params->names.size()))) {
    return false;
  }
  if (method == "recognize_constant") {
    double value = 0.0;
    if (!convert_double("value", bound[0].get(), value) ||
        !convert_override("alpha", bound[1].get(), out.alpha) ||
        !convert_override("l1_ratio", bound[2].get(), out.l1_ratio)) {
      return false;
    }
    out.rows = Rows{{0.0}};
    out.ys = {value};
    return true;
  }
  if (!convert_override("alpha", bound[2].get(), out.alpha) ||
      !convert_override("l1_ratio", bound[3].get(), out.l1_ratio)) {
    return false;
  }
  if (method == "find_function") {
    std::optional<std::vector<double>> xs = extract_vector(bound[0].get());
    if (!xs) {
      return false;
    }
    out.rows.reserve(xs->size());
    for (double x : *xs) out.rows.push_back({x});
  } else {
    std::optional<Rows> inputs = extract_rows(bound[0].get());
    if (!inputs) {
      return false;
    }
    out.rows = std::move(*inputs);
  }
  std::optional<std::vector<double>> ys = extract_vector(bound[1].get());
  if (!ys) {
    return false;
  }
  out.ys = std::move(*ys);
  return true;
}

constexpr const char* kNewNames[] = {"settings", "method", "args", "kwargs", "checkpoint"};
constexpr Parameters kNewParams{"ClusterDriver", kNewNames, 4};

PyObject* driver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyRef bound[5];
    if (!bind_tuple(kNewParams, args, kwargs, bound)) {
      return nullptr;
    }
    SearchConfig config;
    std::string checkpoint;
    if (!config_from_tuple(bound[0].get(), config) ||
        !convert_checkpoint(bound[4].get(), checkpoint)) {
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* method = PyUnicode_AsUTF8AndSize(bound[1].get(), &size);
    if (method == nullptr) {
      return nullptr;
    }
    if (!PyTuple_Check(bound[2].get()) ||
        (bound[3].get() != Py_None && !PyDict_Check(bound[3].get()))) {
      PyErr_SetString(PyExc_TypeError, "args must be a tuple and kwargs a dict or None");
      return nullptr;
    }
    SearchCall call;
    const std::string_view name(method, static_cast<std::size_t>(size));
    PyObject* call_kwargs = bound[3].get() == Py_None ? nullptr : bound[3].get();
    if (name == "search") {
      if (!convert_search_call(bound[2].get(), call_kwargs, call, config)) {
        return nullptr;
      }
    } else {
      if (!convert_call(name, bound[2].get(), call_kwargs, call)) {
        return nullptr;
      }
      if (call.alpha) config.alpha = *call.alpha;
      if (call.l1_ratio) config.l1_ratio = *call.l1_ratio;
      config.no_early_stop = name == "find_candidates";
    }

    Expected<std::unique_ptr<ClusterDriver>> started;
    if (!run_unlocked(0, [&] {
          started = ClusterDriver::start(call.rows, call.ys, config, std::move(checkpoint));
        })) {
      return nullptr;
    }
    if (const SearchError* error = std::get_if<SearchError>(&started)) {
      raise_error(*error);
      return nullptr;
    }
    PyRef data = PyRef::steal(to_bytes(encode_data(call.rows, call.ys)));
    PyRef settings = PyRef::steal(to_bytes(encode_config(config)));
    if (!data || !settings) {
      return nullptr;
    }
    return new_holder<Driver>(type, std::move(std::get<std::unique_ptr<ClusterDriver>>(started)),
                              std::move(data), std::move(settings));
  });
}

PyObject* get_data(PyObject* self, void*) { return Py_NewRef(held<Driver>(self).data.get()); }
PyObject* get_settings(PyObject* self, void*) {
  return Py_NewRef(held<Driver>(self).settings.get());
}
PyObject* get_resumed_level(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(driver_of(self).resumed_level());
}
PyObject* get_checkpoint_error(PyObject* self, void*) {
  const std::string& text = driver_of(self).checkpoint_error();
  if (text.empty()) Py_RETURN_NONE;
  return PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Binds one non-negative integer argument.
bool one_count(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::uint64_t& out) {
  PyRef bound[1];
  return bind_fastcall(params, args, nargs, kwnames, bound) &&
         convert_u64(params.names[0], bound[0].get(), out);
}

// Binds one argument.
bool one_arg(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             PyRef& out) {
  return bind_fastcall(params, args, nargs, kwnames, {&out, 1});
}

PyObject* next_level(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::optional<std::uint64_t> level = driver_of(self).next_level();
    if (!level) {
      Py_RETURN_NONE;
    }
    held<Driver>(self).level_open = true;
    return PyLong_FromUnsignedLongLong(*level);
  });
}

PyObject* drop_level(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Driver& held_driver = held<Driver>(self);
    if (!held_driver.level_open) {
      Py_RETURN_FALSE;
    }
    held_driver.level_open = false;
    held_driver.driver->drop_level();
    Py_RETURN_TRUE;
  });
}

constexpr const char* kLevelNames[] = {"level"};
constexpr Parameters kLevelParams{"level_bytes", kLevelNames, 1};

PyObject* level_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint64_t level = 0;
    if (!one_count(kLevelParams, args, nargs, kwnames, level)) {
      return nullptr;
    }
    const std::optional<std::string> bytes = driver_of(self).level_bytes(level);
    if (!bytes) {
      PyErr_Format(PyExc_ValueError, "level %llu is not retained",
                   static_cast<unsigned long long>(level));
      return nullptr;
    }
    return to_bytes(*bytes);
  });
}

constexpr const char* kBucketsNames[] = {"buckets"};
constexpr Parameters kBucketsParams{"first_layers", kBucketsNames, 1};

PyObject* first_layers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint64_t buckets = 0;
    if (!one_count(kBucketsParams, args, nargs, kwnames, buckets)) {
      return nullptr;
    }
    return bytes_list(driver_of(self).first_layers(static_cast<std::size_t>(buckets)));
  });
}

constexpr const char* kSeenLayersNames[] = {"level", "buckets"};
constexpr Parameters kSeenLayersParams{"seen_layers", kSeenLayersNames, 2};

PyObject* seen_layers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[2];
    std::uint64_t level = 0;
    std::uint64_t buckets = 0;
    if (!bind_fastcall(kSeenLayersParams, args, nargs, kwnames, bound) ||
        !convert_u64("level", bound[0].get(), level) ||
        !convert_u64("buckets", bound[1].get(), buckets)) {
      return nullptr;
    }
    const auto layers = driver_of(self).seen_layers(level, static_cast<std::size_t>(buckets));
    if (!layers) {
      PyErr_Format(PyExc_ValueError, "level %llu was not restored from the checkpoint",
                   static_cast<unsigned long long>(level));
      return nullptr;
    }
    return bytes_list(*layers);
  });
}

constexpr const char* kLayersNames[] = {"layers"};
constexpr Parameters kSaveCheckpointParams{"save_checkpoint", kLayersNames, 1};

PyObject* save_checkpoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef list;
    PyRef holder;
    std::vector<std::string_view> layers;
    bool written = false;
    if (!one_arg(kSaveCheckpointParams, args, nargs, kwnames, list) ||
        !bytes_items("layers", list.get(), holder, layers)) {
      return nullptr;
    }
    // Writing a large state takes a while: Dask's threads go on meanwhile.
    Decoded<bool> saved = false;
    ClusterDriver& driver = driver_of(self);
    if (!run_unlocked(0, [&] { saved = driver.save_checkpoint(layers); }) ||
        !take(std::move(saved), written)) {
      return nullptr;
    }
    return PyBool_FromLong(written ? 1 : 0);
  });
}

constexpr const char* kRunsNames[] = {"runs"};
constexpr Parameters kExpansionRunsParams{"expansion_runs", kRunsNames, 1};

PyObject* expansion_runs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint64_t runs = 0;
    if (!one_count(kExpansionRunsParams, args, nargs, kwnames, runs)) {
      return nullptr;
    }
    const auto bounds = driver_of(self).expansion_runs(static_cast<std::size_t>(runs));
    return list_of(bounds.size(), [&](std::size_t r) {
      return Py_BuildValue("(KK)", static_cast<unsigned long long>(bounds[r].first),
                           static_cast<unsigned long long>(bounds[r].second));
    });
  });
}

constexpr const char* kTotalNames[] = {"total"};
constexpr Parameters kStartScoringParams{"start_scoring", kTotalNames, 1};
constexpr const char* kCountNames[] = {"count"};
constexpr Parameters kScoredParams{"scored", kCountNames, 1};

PyObject* start_scoring(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint64_t total = 0;
    if (!one_count(kStartScoringParams, args, nargs, kwnames, total)) {
      return nullptr;
    }
    driver_of(self).start_scoring(total);
    Py_RETURN_NONE;
  });
}

PyObject* scored(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint64_t count = 0;
    if (!one_count(kScoredParams, args, nargs, kwnames, count)) {
      return nullptr;
    }
    driver_of(self).scored(count);
    Py_RETURN_NONE;
  });
}

PyObject* end_scoring(PyObject* self, PyObject*) {
  driver_of(self).end_scoring();
  Py_RETURN_NONE;
}

constexpr const char* kSummariesNames[] = {"summaries"};
constexpr Parameters kFirstRoundParams{"first_round", kSummariesNames, 1};

PyObject* first_round(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef list;
    PyRef holder;
    std::vector<std::string_view> summaries;
    ClusterDriver::FirstRound round;
    if (!one_arg(kFirstRoundParams, args, nargs, kwnames, list) ||
        !bytes_items("summaries", list.get(), holder, summaries) ||
        !take(driver_of(self).first_round(summaries), round)) {
      return nullptr;
    }
    PyRef elite = PyRef::steal(list_of(round.elite_positions.size(), [&](std::size_t r) {
      return index_list(round.elite_positions[r]);
    }));
    PyRef counts = PyRef::steal(PyDict_New());
    if (!elite || !counts) {
      return nullptr;
    }
    for (const auto& [key, count] : round.elite_counts) {
      PyRef k = PyRef::steal(to_str(key));
      PyRef v = PyRef::steal(PyLong_FromUnsignedLong(count));
      if (!k || !v || PyDict_SetItem(counts.get(), k.get(), v.get()) < 0) {
        return nullptr;
      }
    }
    return Py_BuildValue("(OKOO)", round.complete ? Py_True : Py_False,
                         static_cast<unsigned long long>(round.rest), elite.get(), counts.get());
  });
}

constexpr const char* kRestsNames[] = {"rests"};
constexpr Parameters kSecondRoundParams{"second_round", kRestsNames, 1};

PyObject* second_round(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef list;
    PyRef holder;
    std::vector<std::string_view> rests;
    std::size_t kept = 0;
    if (!one_arg(kSecondRoundParams, args, nargs, kwnames, list) ||
        !bytes_items("rests", list.get(), holder, rests) ||
        !take(driver_of(self).second_round(rests), kept)) {
      return nullptr;
    }
    return PyLong_FromSize_t(kept);
  });
}

constexpr Parameters kWantedParams{"wanted", kRunsNames, 1};

PyObject* wanted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint64_t runs = 0;
    if (!one_count(kWantedParams, args, nargs, kwnames, runs)) {
      return nullptr;
    }
    const auto want = driver_of(self).wanted(static_cast<std::size_t>(runs));
    return list_of(want.size(), [&](std::size_t r) { return index_list(want[r]); });
  });
}

constexpr const char* kFormulasNames[] = {"formulas"};
constexpr Parameters kAcceptParams{"accept", kFormulasNames, 1};

PyObject* accept(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef list;
    PyRef holder;
    std::vector<std::optional<std::string_view>> formulas;
    std::size_t retained = 0;
    if (!one_arg(kAcceptParams, args, nargs, kwnames, list) ||
        !bytes_items("formulas", list.get(), holder, formulas, true) ||
        !take(driver_of(self).accept(formulas), retained)) {
      return nullptr;
    }
    held<Driver>(self).level_open = false;
    return PyLong_FromSize_t(retained);
  });
}

PyObject* front(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    ClusterDriver& driver = driver_of(self);
    Expected<std::vector<SearchResult>> outcome;
    if (!run_unlocked(0, [&] { outcome = driver.front(); })) {
      return nullptr;
    }
    if (const SearchError* error = std::get_if<SearchError>(&outcome)) {
      raise_error(*error);
      return nullptr;
    }
    return result_list(std::get<std::vector<SearchResult>>(outcome));
  });
}

PyMethodDef driver_methods[] = {
    {"bind_settings", as_cfunction(bind_settings), METH_FASTCALL | METH_STATIC,
     "bind_settings(args, kwargs)\n--\n\n"
     "A DaskSearcher's constructor arguments bound and converted as Searcher's are: the\n"
     "tuple (max_complexity, complexity_penalty, beam_width, alpha, l1_ratio)."},
    {"next_level", next_level, METH_NOARGS,
     "next_level($self)\n--\n\n"
     "Opens the next level and returns its number, or None once the search is over\n"
     "(the first call prints the line that opens the exploration)."},
    {"drop_level", drop_level, METH_NOARGS,
     "drop_level($self)\n--\n\n"
     "Drops the open level (a time limit or a stop): nothing of it is kept, no level\n"
     "follows, and front() gives the front of the levels closed before it (printing the\n"
     "line that says so). Returns whether a level was open; with none, does nothing."},
    {"seen_layers", as_cfunction(seen_layers), METH_FASTCALL | METH_KEYWORDS,
     "seen_layers($self, level, buckets)\n--\n\n"
     "The seen fingerprints of a level restored from the checkpoint (2 .. resumed_level),\n"
     "one layer per bucket."},
    {"save_checkpoint", as_cfunction(save_checkpoint), METH_FASTCALL | METH_KEYWORDS,
     "save_checkpoint($self, layers)\n--\n\n"
     "With a checkpoint, writes it after the level just closed, given that level's layers\n"
     "(one per bucket, from the admission). Returns whether it was written; why not is\n"
     "then checkpoint_error. False without a checkpoint."},
    {"level_bytes", as_cfunction(level_bytes), METH_FASTCALL | METH_KEYWORDS,
     "level_bytes($self, level)\n--\n\nThe retained formulas of a closed level, for the scorers."},
    {"first_layers", as_cfunction(first_layers), METH_FASTCALL | METH_KEYWORDS,
     "first_layers($self, buckets)\n--\n\nThe seen fingerprints of level 1, one layer per bucket."},
    {"expansion_runs", as_cfunction(expansion_runs), METH_FASTCALL | METH_KEYWORDS,
     "expansion_runs($self, runs)\n--\n\n"
     "The open level's expansion items cut into at most `runs` runs: [(begin, end), ...]."},
    {"start_scoring", as_cfunction(start_scoring), METH_FASTCALL | METH_KEYWORDS,
     "start_scoring($self, total)\n--\n\nThe open level's progress line counts from here."},
    {"scored", as_cfunction(scored), METH_FASTCALL | METH_KEYWORDS,
     "scored($self, count)\n--\n\nCounts `count` candidates scored into the progress line."},
    {"end_scoring", end_scoring, METH_NOARGS,
     "end_scoring($self)\n--\n\nEnds the open level's progress line."},
    {"first_round", as_cfunction(first_round), METH_FASTCALL | METH_KEYWORDS,
     "first_round($self, summaries)\n--\n\n"
     "Merges the runs' summaries: (complete, rest, elite positions per run, elite counts)."},
    {"second_round", as_cfunction(second_round), METH_FASTCALL | METH_KEYWORDS,
     "second_round($self, rests)\n--\n\nCompletes the beam from the runs' answers; its size."},
    {"wanted", as_cfunction(wanted), METH_FASTCALL | METH_KEYWORDS,
     "wanted($self, runs)\n--\n\nPer run the positions whose formulas the driver needs."},
    {"accept", as_cfunction(accept), METH_FASTCALL | METH_KEYWORDS,
     "accept($self, formulas)\n--\n\n"
     "Takes each run's wanted formulas (None for a run with none), records the level's\n"
     "winner and closes the level (printing its line); returns the number retained."},
    {"front", front, METH_NOARGS,
     "front($self)\n--\n\n"
     "The Pareto front as qarn_sr.SearchResult objects, most accurate first, refitted once;\n"
     "raises qarn_sr's exception class when nothing was found."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef driver_getset[] = {
    {"data", get_data, nullptr, "The data set as the scorers take it (bytes).", nullptr},
    {"settings", get_settings, nullptr, "The settings as the scorers take them (bytes).", nullptr},
    {"resumed_level", get_resumed_level, nullptr,
     "The level the checkpoint let the search continue from; 0 when it began at level 1.", nullptr},
    {"checkpoint_error", get_checkpoint_error, nullptr,
     "Why the last checkpoint could not be written; None when it was.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot driver_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("ClusterDriver(settings, method, args, kwargs, checkpoint=None)\n--\n\n"
                       "The driver of one search whose levels are built by scorers in other\n"
                       "processes. Binds and converts the search call as Searcher's method\n"
                       "`method` does, makes the search's start checks (raising the errors\n"
                       "Searcher raises) and seeds level 1. The method \"search\" takes\n"
                       "args (inputs, ys) and, in kwargs, the options of _qarn_sr_core.search\n"
                       "(max_complexity, complexity_penalty, beam_width, alpha, l1_ratio,\n"
                       "early_stop, full_fit, affine, operators, stop_threshold, beam_widths),\n"
                       "converted as it converts them; those not given keep the values of\n"
                       "`settings`.\n"
                       "checkpoint (a path): the search keeps its state there after each\n"
                       "level (save_checkpoint) and, when the file exists, continues from\n"
                       "the level it completed (resumed_level).")},
    {Py_tp_new, reinterpret_cast<void*>(driver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<Driver>)},
    {Py_tp_methods, driver_methods},
    {Py_tp_getset, driver_getset},
    {0, nullptr},
};

PyType_Spec driver_spec = {
    "_qarn_sr_core.ClusterDriver",
    static_cast<int>(sizeof(Holder<Driver>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    driver_slots,
};

LazyType driver_type_object(driver_spec);

}  // namespace

PyObject* cluster_driver_type() { return driver_type_object.get(); }

}  // namespace qarn::py::core
