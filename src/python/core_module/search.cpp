#include "python/core_module/search.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "api/entry_points.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/core_module/qarn_classes.h"
#include "python/core_module/search_options.h"
#include "python/core_module/step_args.h"
#include "python/exceptions.h"
#include "python/heap_type.h"
#include "python/py_ref.h"
#include "python/result_state.h"

namespace qarn::py::core {

namespace {

// A SearchMonitor shares its control with the one search it is given to, so
// the control outlives whichever of the two is released first. `claimed`
// makes sure no second search writes the deadline of a control in use.
struct Monitor {
  explicit Monitor(std::shared_ptr<SearchControl> shared) : control(std::move(shared)) {}
  std::shared_ptr<SearchControl> control;
  std::atomic<bool> claimed{false};
};

Monitor* monitor_of(PyObject* self) { return &held<Monitor>(self); }
SearchControl& control_of(PyObject* self) { return *monitor_of(self)->control; }

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Parameters kNoParams{"SearchMonitor", {}, 0};
    if (!bind_tuple(kNoParams, args, kwargs, {})) {
      return nullptr;
    }
    return new_holder<Monitor>(type, std::make_shared<SearchControl>());
  });
}

PyObject* get_phase(PyObject* self, void*) {
  switch (control_of(self).phase.load(std::memory_order_relaxed)) {
    case SearchPhase::Idle:
      return PyUnicode_FromString("idle");
    case SearchPhase::Expanding:
      return PyUnicode_FromString("expanding");
    case SearchPhase::Scoring:
      return PyUnicode_FromString("scoring");
    case SearchPhase::Finished:
      break;
  }
  return PyUnicode_FromString("finished");
}

template <std::atomic<std::uint64_t> SearchControl::*Field>
PyObject* get_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong((control_of(self).*Field).load(std::memory_order_relaxed));
}

PyObject* get_cut_short(PyObject* self, void*) {
  return PyBool_FromLong(control_of(self).cut_short() ? 1 : 0);
}

PyObject* get_memory_stopped(PyObject* self, void*) {
  return PyBool_FromLong(control_of(self).memory_stopped() ? 1 : 0);
}

PyObject* get_level_log(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::vector<LevelRecord> records = control_of(self).level_records();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const LevelRecord& r = records[i];
      PyObject* item =
          Py_BuildValue("(KKdd)", static_cast<unsigned long long>(r.level),
                        static_cast<unsigned long long>(r.candidates), r.seconds, r.best_loss);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
    }
    return list.release();
  });
}

PyObject* get_best_so_far(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::vector<SearchResult> best = control_of(self).best_so_far();
    return result_list(best);
  });
}

PyObject* get_checkpoint_error(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::string text = control_of(self).checkpoint_error();
    if (text.empty()) Py_RETURN_NONE;
    return PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* monitor_stop(PyObject* self, PyObject*) {
  control_of(self).request_stop();
  Py_RETURN_NONE;
}

PyGetSetDef monitor_getset[] = {
    {"phase", get_phase, nullptr,
     "'idle' (not started, or seeding level 1), 'expanding', 'scoring' or 'finished'.", nullptr},
    {"level", get_count<&SearchControl::level>, nullptr, "The level being built.", nullptr},
    {"total", get_count<&SearchControl::total>, nullptr,
     "New candidates of the level to score (0 while expanding).", nullptr},
    {"scored", get_count<&SearchControl::scored>, nullptr, "Candidates of the level scored so far.",
     nullptr},
    {"completed_levels", get_count<&SearchControl::completed_levels>, nullptr,
     "The highest level built completely.", nullptr},
    {"cut_short", get_cut_short, nullptr,
     "Whether the search dropped a level because it was stopped or ran out of time.", nullptr},
    {"memory_stopped", get_memory_stopped, nullptr,
     "Whether the search stopped because its next level would not fit its memory limit, or "
     "memory ran out during a level.",
     nullptr},
    {"best_so_far", get_best_so_far, nullptr,
     "The lowest-error formula of each complexity over the completed levels, simplest first, "
     "with the errors their scoring gave (not yet refitted as the front will be).",
     nullptr},
    {"checkpoint_error", get_checkpoint_error, nullptr,
     "Why the last checkpoint could not be written; None when every one was.", nullptr},
    {"level_log", get_level_log, nullptr,
     "The completed levels so far: a list of (level, candidates, seconds, best loss so far).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef monitor_methods[] = {
    {"stop", monitor_stop, METH_NOARGS,
     "stop($self)\n--\n\nAsks the search to stop at its next piece of work, as if its time had "
     "run out."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot monitor_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("SearchMonitor()\n--\n\n"
                       "Progress counters of one search, readable from any thread while it runs, "
                       "and a way to stop it.")},
    {Py_tp_new, reinterpret_cast<void*>(monitor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<Monitor>)},
    {Py_tp_getset, monitor_getset},
    {Py_tp_methods, monitor_methods},
    {0, nullptr},
};

PyType_Spec monitor_spec = {
    "_qarn_sr_core.SearchMonitor",
    static_cast<int>(sizeof(Holder<Monitor>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    monitor_slots,
};

LazyType monitor_type_object(monitor_spec);

// A time limit of this many seconds or more is no limit: the deadline would
// not fit the clock's range.
constexpr double kNoDeadlineSeconds = 1e9;

bool convert_time_limit(PyObject* obj, std::optional<double>& out) {
  if (!convert_override("time_limit", obj, out)) {
    return false;
  }
  if (out && std::isnan(*out)) {
    PyErr_SetString(PyExc_ValueError,
                    "argument 'time_limit': must be a number of seconds, not nan");
    return false;
  }
  return true;
}

bool convert_monitor(PyObject* obj, std::shared_ptr<SearchControl>& out) {
  if (obj == nullptr || obj == Py_None) {
    return true;
  }
  if (!Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject*>(monitor_type_object.get()))) {
    PyErr_SetString(PyExc_TypeError, "argument 'monitor': must be SearchMonitor or None");
    return false;
  }
  if (monitor_of(obj)->claimed.exchange(true)) {
    PyErr_SetString(PyExc_ValueError, "argument 'monitor': a SearchMonitor serves one search only");
    return false;
  }
  out = monitor_of(obj)->control;
  return true;
}

PyObject* front_and_flag(std::vector<SearchResult>& records, bool cut_short) {
  PyRef list = PyRef::steal(result_list(records));
  if (!list) {
    return nullptr;
  }
  return Py_BuildValue("(OO)", list.get(), cut_short ? Py_True : Py_False);
}

constexpr const char* kSearchNames[] = {
    "inputs",     "ys",         "max_complexity", "complexity_penalty", "beam_width",
    "alpha",      "l1_ratio",   "time_limit",     "early_stop",         "monitor",
    "full_fit",   "affine",     "operators",      "stop_threshold",     "memory_limit",
    "checkpoint", "beam_widths"};
constexpr Parameters kSearchParams{"search", kSearchNames, 2};

// memory_limit: None (no bound) or a positive number of bytes.
bool convert_memory_limit(PyObject* obj, std::uint64_t& out) {
  out = 0;
  if (obj == nullptr || obj == Py_None) return true;
  if (!convert_u64("memory_limit", obj, out)) return false;
  if (out == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "argument 'memory_limit': must be a positive number of bytes");
    return false;
  }
  return true;
}

// Arguments, then data, are converted as by qarn_sr.Searcher, with the same
// messages; the search itself runs with the interpreter lock released.
PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[17];
    if (!bind_fastcall(kSearchParams, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    SearchConfig config;
    std::optional<double> time_limit;
    std::shared_ptr<SearchControl> control;
    SearchOptionArgs options;
    options.max_complexity = bound[2].get();
    options.complexity_penalty = bound[3].get();
    options.beam_width = bound[4].get();
    options.alpha = bound[5].get();
    options.l1_ratio = bound[6].get();
    options.early_stop = bound[8].get();
    options.full_fit = bound[10].get();
    options.affine = bound[11].get();
    options.operators = bound[12].get();
    options.stop_threshold = bound[13].get();
    options.beam_widths = bound[16].get();
    if (!convert_search_options(options, config) ||
        !convert_time_limit(bound[7].get(), time_limit)) {
      return nullptr;
    }
    std::optional<Rows> inputs = extract_rows(bound[0].get());
    if (!inputs) {
      return nullptr;
    }
    std::optional<std::vector<double>> ys = extract_vector(bound[1].get());
    if (!ys) {
      return nullptr;
    }
    // Claimed last, so that a call that fails before the search leaves the
    // monitor usable.
    std::uint64_t memory_limit = 0;
    if (!convert_memory_limit(bound[14].get(), memory_limit) ||
        !convert_monitor(bound[9].get(), control)) {
      return nullptr;
    }
    // Every search of this module runs under a control: running out of memory
    // then keeps the completed levels.
    if (!control) control = std::make_shared<SearchControl>();
    control->set_memory_limit(static_cast<std::size_t>(memory_limit));
    std::string checkpoint;
    if (!convert_checkpoint(bound[15].get(), checkpoint)) {
      return nullptr;
    }
    control->set_checkpoint_path(std::move(checkpoint));
    if (time_limit && *time_limit < kNoDeadlineSeconds) {
      const auto budget = std::chrono::duration<double>(std::max(*time_limit, 0.0));
      control->set_deadline(SearchControl::Clock::now() +
                            std::chrono::duration_cast<SearchControl::Clock::duration>(budget));
    }

    Expected<std::vector<SearchResult>> outcome;
    if (!run_unlocked(0, [&] { outcome = search_front(config, *inputs, *ys, control.get()); })) {
      return nullptr;
    }
    if (const SearchError* error = std::get_if<SearchError>(&outcome)) {
      raise_error(*error);
      return nullptr;
    }
    return front_and_flag(std::get<std::vector<SearchResult>>(outcome), control->cut_short());
  });
}

constexpr const char* kRefitNames[] = {"results", "inputs", "ys", "alpha", "l1_ratio", "full_fit"};
constexpr Parameters kRefitParams{"refit", kRefitNames, 3};

// The results are read (their formulas and registries copied) before the
// interpreter lock is released; the refit returns new objects.
PyObject* refit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[6];
    if (!bind_fastcall(kRefitParams, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    SearchConfig config;
    std::optional<double> alpha;
    std::optional<double> l1_ratio;
    if (!convert_override("alpha", bound[3].get(), alpha) ||
        !convert_override("l1_ratio", bound[4].get(), l1_ratio) ||
        !convert_flag(bound[5].get(), config.full_fit)) {
      return nullptr;
    }
    if (alpha) config.alpha = *alpha;
    if (l1_ratio) config.l1_ratio = *l1_ratio;
    PyRef iterator = PyRef::steal(PyObject_GetIter(bound[0].get()));
    if (!iterator) {
      return nullptr;
    }
    std::vector<SearchResult> results;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      const SearchResult* record = result_record("results", item.get());
      if (record == nullptr) {
        return nullptr;
      }
      results.push_back(*record);
    }
    if (PyErr_Occurred()) {
      return nullptr;
    }
    std::optional<Rows> inputs = extract_rows(bound[1].get());
    if (!inputs) {
      return nullptr;
    }
    std::optional<std::vector<double>> ys = extract_vector(bound[2].get());
    if (!ys) {
      return nullptr;
    }
    Expected<std::vector<SearchResult>> outcome;
    if (!run_unlocked(0, [&] { outcome = refit_results(config, results, *inputs, *ys); })) {
      return nullptr;
    }
    if (const SearchError* error = std::get_if<SearchError>(&outcome)) {
      raise_error(*error);
      return nullptr;
    }
    return result_list(std::get<std::vector<SearchResult>>(outcome));
  });
}

}  // namespace

PyObject* monitor_type() { return monitor_type_object.get(); }

PyMethodDef search_functions[] = {
    {"search", as_cfunction(search), METH_FASTCALL | METH_KEYWORDS,
     "search(inputs, ys, max_complexity=10, complexity_penalty=0.1, beam_width=1000, "
     "alpha=0.0, l1_ratio=0.5, time_limit=None, early_stop=True, monitor=None, "
     "full_fit=False, affine=False, operators=None, stop_threshold=None, memory_limit=None, "
     "checkpoint=None, beam_widths=None)\n--\n\n"
     "Runs one search with the interpreter lock released and returns (front, cut_short):\n"
     "the Pareto front as qarn_sr.SearchResult objects, most accurate first, and whether\n"
     "the time limit (seconds from the call) or the monitor's stop dropped a level.\n"
     "With early_stop the search ends once a formula fits within stop_threshold\n"
     "(None: 1e-10), as Searcher.fit does; without it every level is built, as in\n"
     "find_candidates.\n\n"
     "memory_limit (bytes): before each level the search estimates what the level needs\n"
     "and stops, keeping the completed levels, when it would pass the limit; running out\n"
     "of memory during a level keeps them too (monitor.memory_stopped tells).\n"
     "checkpoint (a path): the search writes its state there after each completed level\n"
     "and, when the file exists, continues from it (same data and settings only), giving\n"
     "the results of a search never stopped.\n\n"
     "Engine options (all off by default, which gives Searcher's results bit for bit):\n"
     "full_fit: fit each candidate's parameters by Levenberg-Marquardt on the whole\n"
     "  normal matrix until the relative gain is small (at most 30 trials; 100 in the\n"
     "  final refit), and fit the parameter leaf C of level 1 like every other\n"
     "  candidate, instead of the diagonal fit of at most 10 trials.\n"
     "affine: rank each level's candidates for its beam by the error of their best\n"
     "  affine map a + b*f (closed-form least squares over their values) instead of\n"
     "  their error, so that a formula of the right shape but the wrong scale or offset\n"
     "  is kept for the next levels. Ranking only: the front holds the formulas as\n"
     "  found, with their own errors, and the best formula of each complexity is\n"
     "  still chosen by its own error.\n"
     "operators: None for every operator, else a sequence of operator names as the\n"
     "  module writes them ('Plus', 'Sin', 'QARN', ...; those of operator_names()\n"
     "  with arity 1 or 2): only these are applied by the expansion. Texts, registry\n"
     "  positions and evaluation are unchanged. An unknown name raises ValueError\n"
     "  listing the known ones.\n"
     "stop_threshold: the loss at or below which early_stop ends the search\n"
     "  (None: 1e-10); a finite number >= 0.\n"
     "beam_widths: None, or the candidates retained at levels 2, 3, ... (1 to 16\n"
     "  integers >= 1); the levels past the list retain beam_width."},
    {"refit", as_cfunction(refit), METH_FASTCALL | METH_KEYWORDS,
     "refit(results, inputs, ys, alpha=None, l1_ratio=None, full_fit=False)\n--\n\n"
     "New qarn_sr.SearchResult objects with the formulas of `results`, their\n"
     "parameters refitted from their current values on inputs and ys (the fit the\n"
     "search's final refit makes: 30 diagonal trials, or the full fit), and their\n"
     "errors measured there. alpha and l1_ratio (None: 0.0 and 0.5) set the\n"
     "elastic-net penalty of the fit and the error. A formula without parameters\n"
     "keeps its formula and gets its error on these rows. Raises ValueError for\n"
     "non-finite inputs or targets or rows narrower than a formula reads, and\n"
     "qarn_sr.QarnDimensionError for empty or unequal data."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace qarn::py::core
