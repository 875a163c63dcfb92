#include "python/core_module/cluster_scorer.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/cluster.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/core_module/step_args.h"
#include "python/exceptions.h"
#include "python/heap_type.h"
#include "python/py_ref.h"

namespace qarn::py::core {

namespace {

// A worker's state of one search: the data set and the retained levels
// loaded so far. Its steps run without the interpreter lock on at most
// `threads` threads; the caller serialises the calls that load levels.
struct Scorer {
  std::unique_ptr<ClusterScorer> scorer;
  int threads = 1;
};

Scorer& scorer_of(PyObject* self) { return held<Scorer>(self); }

constexpr const char* kNewNames[] = {"data", "settings", "threads"};
constexpr Parameters kNewParams{"ClusterScorer", kNewNames, 2};

PyObject* scorer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyRef bound[3];
    std::string_view data;
    std::string_view settings;
    std::uint64_t threads = 1;
    if (!bind_tuple(kNewParams, args, kwargs, bound) || !bytes_arg("data", bound[0].get(), data) ||
        !bytes_arg("settings", bound[1].get(), settings) ||
        (bound[2] && !convert_u64("threads", bound[2].get(), threads))) {
      return nullptr;
    }
    std::unique_ptr<ClusterScorer> scorer;
    if (!take(ClusterScorer::create(data, settings), scorer)) {
      return nullptr;
    }
    const int capped = static_cast<int>(std::clamp<std::uint64_t>(threads, 1, 1024));
    return new_holder<Scorer>(type, std::move(scorer), capped);
  });
}

PyObject* get_loaded(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(scorer_of(self).scorer->loaded());
}

// Runs one step of the scorer without the interpreter lock and returns its
// bytes.
template <class Step>
PyObject* bytes_step(PyObject* self, Step&& step) {
  Scorer& sc = scorer_of(self);
  Decoded<std::string> out = Decoded<std::string>::refused("");
  if (!run_unlocked(sc.threads, [&] { out = step(*sc.scorer); })) {
    return nullptr;
  }
  std::string bytes;
  if (!take(std::move(out), bytes)) {
    return nullptr;
  }
  return to_bytes(bytes);
}

constexpr const char* kAddLevelNames[] = {"formulas"};
constexpr Parameters kAddLevelParams{"add_level", kAddLevelNames, 1};

PyObject* add_level(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[1];
    std::string_view formulas;
    if (!bind_fastcall(kAddLevelParams, args, nargs, kwnames, bound) ||
        !bytes_arg("formulas", bound[0].get(), formulas)) {
      return nullptr;
    }
    Scorer& sc = scorer_of(self);
    Decoded<std::size_t> out = Decoded<std::size_t>::refused("");
    std::size_t size = 0;
    if (!run_unlocked(sc.threads, [&] { out = sc.scorer->add_level(formulas); }) ||
        !take(std::move(out), size)) {
      return nullptr;
    }
    return PyLong_FromSize_t(size);
  });
}

constexpr const char* kFormNames[] = {"level", "begin", "end", "buckets"};
constexpr Parameters kFormParams{"form", kFormNames, 4};

PyObject* form(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[4];
    std::uint64_t values[4] = {};
    if (!bind_fastcall(kFormParams, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    for (std::size_t i = 0; i < 4; ++i) {
      if (!convert_u64(kFormNames[i], bound[i].get(), values[i])) {
        return nullptr;
      }
    }
    Scorer& sc = scorer_of(self);
    Decoded<std::vector<std::string>> out = Decoded<std::vector<std::string>>::refused("");
    std::vector<std::string> pieces;
    if (!run_unlocked(sc.threads,
                      [&] {
                        out = sc.scorer->form(values[0], values[1], values[2],
                                              static_cast<std::size_t>(values[3]));
                      }) ||
        !take(std::move(out), pieces)) {
      return nullptr;
    }
    return bytes_list(pieces);
  });
}

constexpr const char* kAdmitNames[] = {"layers", "runs"};
constexpr Parameters kAdmitParams{"admit", kAdmitNames, 2};

// admit(layers, runs): a static method, since admission needs no scorer.
PyObject* admit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[2];
    PyRef layers_holder;
    PyRef runs_holder;
    std::vector<std::string_view> layers;
    std::vector<std::string_view> runs;
    if (!bind_fastcall(kAdmitParams, args, nargs, kwnames, bound) ||
        !bytes_items("layers", bound[0].get(), layers_holder, layers) ||
        !bytes_items("runs", bound[1].get(), runs_holder, runs)) {
      return nullptr;
    }
    Decoded<ClusterScorer::Admission> out = Decoded<ClusterScorer::Admission>::refused("");
    ClusterScorer::Admission admission;
    if (!run_unlocked(1, [&] { out = ClusterScorer::admit(layers, runs); }) ||
        !take(std::move(out), admission)) {
      return nullptr;
    }
    const std::vector<std::size_t> counts(admission.admitted.begin(), admission.admitted.end());
    PyRef layer = PyRef::steal(to_bytes(admission.layer));
    PyRef flags = PyRef::steal(to_bytes(admission.flags));
    PyRef admitted = PyRef::steal(index_list(counts));
    if (!layer || !flags || !admitted) {
      return nullptr;
    }
    return PyTuple_Pack(3, layer.get(), flags.get(), admitted.get());
  });
}

constexpr const char* kScoreNames[] = {"level", "formed", "run", "flags"};
constexpr Parameters kScoreParams{"score", kScoreNames, 4};

PyObject* score(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[4];
    std::uint64_t level = 0;
    std::uint64_t run = 0;
    std::string_view formed;
    PyRef holder;
    std::vector<std::string_view> flags;
    if (!bind_fastcall(kScoreParams, args, nargs, kwnames, bound) ||
        !convert_u64("level", bound[0].get(), level) ||
        !bytes_arg("formed", bound[1].get(), formed) || !convert_u64("run", bound[2].get(), run) ||
        !bytes_items("flags", bound[3].get(), holder, flags)) {
      return nullptr;
    }
    return bytes_step(self, [&](const ClusterScorer& sc) {
      return sc.score(level, formed, static_cast<std::size_t>(run), flags);
    });
  });
}

constexpr const char* kSummaryNames[] = {"level", "scored"};
constexpr Parameters kSummaryParams{"summary", kSummaryNames, 2};

PyObject* summary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[2];
    std::uint64_t level = 0;
    std::string_view scored;
    if (!bind_fastcall(kSummaryParams, args, nargs, kwnames, bound) ||
        !convert_u64("level", bound[0].get(), level) ||
        !bytes_arg("scored", bound[1].get(), scored)) {
      return nullptr;
    }
    return bytes_step(self, [&](const ClusterScorer& sc) { return sc.summary(level, scored); });
  });
}

// Elite counts: str -> int.
bool elite_counts(PyObject* obj, std::unordered_map<std::string, std::uint32_t>& out) {
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "argument 'counts': must be dict");
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    std::uint64_t count = 0;
    if (text == nullptr || !convert_u64("counts", value, count)) {
      return false;
    }
    out.emplace(std::string(text, static_cast<std::size_t>(size)),
                static_cast<std::uint32_t>(count));
  }
  return true;
}

constexpr const char* kRestNames[] = {"level", "scored", "elite", "counts", "rest"};
constexpr Parameters kRestParams{"rest", kRestNames, 5};

PyObject* rest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[5];
    std::uint64_t level = 0;
    std::uint64_t rest = 0;
    std::string_view scored;
    std::vector<std::size_t> elite;
    std::unordered_map<std::string, std::uint32_t> counts;
    if (!bind_fastcall(kRestParams, args, nargs, kwnames, bound) ||
        !convert_u64("level", bound[0].get(), level) ||
        !bytes_arg("scored", bound[1].get(), scored) ||
        !index_items("elite", bound[2].get(), elite) || !elite_counts(bound[3].get(), counts) ||
        !convert_u64("rest", bound[4].get(), rest)) {
      return nullptr;
    }
    std::sort(elite.begin(), elite.end());
    return bytes_step(
        self, [&](const ClusterScorer& sc) { return sc.rest(level, scored, elite, counts, rest); });
  });
}

constexpr const char* kFormulasNames[] = {"level", "scored", "positions"};
constexpr Parameters kFormulasParams{"formulas", kFormulasNames, 3};

PyObject* formulas(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef bound[3];
    std::uint64_t level = 0;
    std::string_view scored;
    std::vector<std::size_t> positions;
    if (!bind_fastcall(kFormulasParams, args, nargs, kwnames, bound) ||
        !convert_u64("level", bound[0].get(), level) ||
        !bytes_arg("scored", bound[1].get(), scored) ||
        !index_items("positions", bound[2].get(), positions)) {
      return nullptr;
    }
    return bytes_step(
        self, [&](const ClusterScorer& sc) { return sc.formulas(level, scored, positions); });
  });
}

PyMethodDef scorer_methods[] = {
    {"add_level", as_cfunction(add_level), METH_FASTCALL | METH_KEYWORDS,
     "add_level($self, formulas)\n--\n\nLoads the next retained level; returns its size."},
    {"form", as_cfunction(form), METH_FASTCALL | METH_KEYWORDS,
     "form($self, level, begin, end, buckets)\n--\n\n"
     "Forms the children of the expansion items [begin, end) of `level`: [formed run,\n"
     "digests of bucket 0, digests of bucket 1, ...]."},
    {"admit", as_cfunction(admit), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "admit(layers, runs)\n--\n\n"
     "Admits one bucket of a level against the bucket's earlier layers: (the level's layer,\n"
     "flags, admitted per run)."},
    {"score", as_cfunction(score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, level, formed, run, flags)\n--\n\n"
     "Scores the children of a formed run that the buckets' flags admitted: the scored run."},
    {"summary", as_cfunction(summary), METH_FASTCALL | METH_KEYWORDS,
     "summary($self, level, scored)\n--\n\n"
     "A scored run's level winner and best entries by score, for the driver's first round."},
    {"rest", as_cfunction(rest), METH_FASTCALL | METH_KEYWORDS,
     "rest($self, level, scored, elite, counts, rest)\n--\n\n"
     "A scored run's best `rest` entries outside its elite, for the driver's second round."},
    {"formulas", as_cfunction(formulas), METH_FASTCALL | METH_KEYWORDS,
     "formulas($self, level, scored, positions)\n--\n\n"
     "The formulas of a scored run's entries at `positions`, in that order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scorer_getset[] = {
    {"loaded", get_loaded, nullptr, "Retained levels loaded: 1 .. loaded.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scorer_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("ClusterScorer(data, settings, threads=1)\n--\n\n"
                       "A worker's side of a search over processes: the data set and settings\n"
                       "(ClusterDriver.data, ClusterDriver.settings) and the retained levels.\n"
                       "Its steps take and return bytes, run without the interpreter lock on at\n"
                       "most `threads` threads, and raise ValueError with the reason for bytes\n"
                       "they cannot use.")},
    {Py_tp_new, reinterpret_cast<void*>(scorer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<Scorer>)},
    {Py_tp_methods, scorer_methods},
    {Py_tp_getset, scorer_getset},
    {0, nullptr},
};

PyType_Spec scorer_spec = {
    "_qarn_sr_core.ClusterScorer",
    static_cast<int>(sizeof(Holder<Scorer>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    scorer_slots,
};

LazyType scorer_type_object(scorer_spec);

}  // namespace

PyObject* cluster_scorer_type() { return scorer_type_object.get(); }

}  // namespace qarn::py::core
