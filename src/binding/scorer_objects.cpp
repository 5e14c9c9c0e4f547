// Bm25Scorer and HybridScorer: immutable host objects that select a built-in scorer (or a
// fusion of scorers) for a network, and the one place where a host scorer argument becomes
// the engine scorer a network owns.
#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"
#include "core/format.hpp"
#include "scorer/bm25.hpp"
#include "scorer/hybrid.hpp"
#include "scorer/tfidf.hpp"

namespace kova::py {

namespace {

// ===================== Bm25Scorer =====================

// Only settings: a network builds its own scorer from them.
struct Bm25Object {
  PyObject_HEAD
  Bm25Settings settings;
};

const Bm25Settings& bm25_settings_of(PyObject* self) {
  return reinterpret_cast<Bm25Object*>(self)->settings;
}

constexpr const char* kBm25Names[] = {"k1", "b", "stop_words", "stemmer", "memory_weight"};
const ArgSpec kBm25Args{"Bm25Scorer", kBm25Names, 0, 0};

PyObject* bm25_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    if (!parse_args(kBm25Args, args, kwargs, a)) return nullptr;
    Bm25Settings s;
    auto number = [&](int i, double& field) {
      if (!a[i]) return true;
      const auto v = to_double(a[i], kBm25Names[i]);
      if (v) field = *v;
      return v.has_value();
    };
    // None switches the step off; a name selects it.
    auto name = [&](int i, std::optional<std::string>& field) {
      if (!a[i]) return true;
      if (a[i] == Py_None) {
        field.reset();
        return true;
      }
      const auto v = to_str(a[i], kBm25Names[i]);
      if (v) field.emplace(*v);
      return v.has_value();
    };
    if (!number(0, s.k1) || !number(1, s.b) || !name(2, s.stop_words) || !name(3, s.stemmer) ||
        !number(4, s.memory_weight)) {
      return nullptr;
    }
    // Building a scorer checks every setting, languages included, with the engine's texts.
    const auto check = Bm25Scorer::create(s);
    if (!check) {
      raise_arg_error(PyExc_ValueError, nullptr, check.error());
      return nullptr;
    }
    auto* self = reinterpret_cast<Bm25Object*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self->settings) Bm25Settings(std::move(s));
    return reinterpret_cast<PyObject*>(self);
  });
}

void bm25_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Bm25Object*>(self)->settings.~Bm25Settings();
  type->tp_free(self);
  Py_DECREF(type);
}

std::string quoted_or_none(const std::optional<std::string>& name) {
  return name ? "'" + *name + "'" : "None";
}

PyObject* bm25_repr(PyObject* self) {
  return guarded([&] {
    const Bm25Settings& s = bm25_settings_of(self);
    return from_str("Bm25Scorer(k1=" + format_shortest(s.k1) + ", b=" + format_shortest(s.b) +
                    ", stop_words=" + quoted_or_none(s.stop_words) +
                    ", stemmer=" + quoted_or_none(s.stemmer) +
                    ", memory_weight=" + format_shortest(s.memory_weight) + ")")
        .release();
  });
}

template <double Bm25Settings::*Field>
PyObject* bm25_get_number(PyObject* self, void*) {
  return PyFloat_FromDouble(bm25_settings_of(self).*Field);
}

template <std::optional<std::string> Bm25Settings::*Field>
PyObject* bm25_get_name(PyObject* self, void*) {
  return guarded([&] {
    const std::optional<std::string>& name = bm25_settings_of(self).*Field;
    return name ? from_str(*name).release() : Py_NewRef(Py_None);
  });
}

PyGetSetDef g_bm25_getset[] = {
    {"k1", bm25_get_number<&Bm25Settings::k1>, nullptr, "Term-frequency saturation.", nullptr},
    {"b", bm25_get_number<&Bm25Settings::b>, nullptr, "Length normalisation, 0 to 1.", nullptr},
    {"stop_words", bm25_get_name<&Bm25Settings::stop_words>, nullptr,
     "Stop-word list removed from every text, or None.", nullptr},
    {"stemmer", bm25_get_name<&Bm25Settings::stemmer>, nullptr,
     "Snowball stemmer language, or None.", nullptr},
    {"memory_weight", bm25_get_number<&Bm25Settings::memory_weight>, nullptr,
     "Weight of remembered query texts against capabilities.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kBm25Doc[] =
    "Bm25Scorer(*, k1=1.2, b=0.75, stop_words='english', stemmer='english', "
    "memory_weight=0.25)\n--\n\n"
    "Built-in BM25 scorer over words.\n\n"
    "Okapi BM25 with ICU word segmentation, full lower-casing and canonical\n"
    "composition (NFC); by default English stop words are dropped and words are\n"
    "reduced to their Snowball stem. Pass to ``LocalNetwork(scorer=Bm25Scorer())``\n"
    "to use instead of the default MinHash.\n\n"
    "A similarity grows with the share of the query's weight that the agent holds,\n"
    "each word weighing its idf and words no agent holds left out: about 0.1 for a\n"
    "tenth, 0.76 for every such word once in capabilities of average length,\n"
    "approaching but never reaching 1 as words repeat.\n"
    "It does not depend on the other agents' scores, so the similarity threshold keeps\n"
    "its meaning.\n\n"
    "Args:\n"
    "    k1: term-frequency saturation (finite, >= 0).\n"
    "    b: capability length normalisation, from 0 (none) to 1 (full).\n"
    "    stop_words: 'english' to drop English function words, or None.\n"
    "    stemmer: a Snowball language such as 'english', 'french' or 'german', or None.\n"
    "    memory_weight: weight of the query texts an agent remembers (query memory)\n"
    "        against its capabilities; they form a field of their own with its own\n"
    "        length normalisation.";

PyType_Slot g_bm25_slots[] = {
    {Py_tp_doc, const_cast<char*>(kBm25Doc)},
    {Py_tp_new, reinterpret_cast<void*>(bm25_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bm25_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(bm25_repr)},
    {Py_tp_getset, g_bm25_getset},
    {0, nullptr},
};
PyType_Spec g_bm25_spec = {"builtins.Bm25Scorer", sizeof(Bm25Object), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_bm25_slots};

// ===================== HybridScorer =====================

struct HybridObject {
  PyObject_HEAD
  std::vector<std::pair<Ref, double>> parts;  // constructed in place by tp_new
  int nesting;                                // 1, or 1 + the deepest hybrid among the parts
};

HybridObject* as_hybrid(PyObject* self) {
  return reinterpret_cast<HybridObject*>(self);
}

constexpr const char* kHybridNames[] = {"scorers"};
const ArgSpec kHybridArgs{"HybridScorer", kHybridNames, 1, 1};

// 1 for a real number as the `numbers` module has it (numpy's floats and ints, Fraction) or
// a Decimal, 0 for a bool (numpy's too) or a complex number, whose imaginary part would be
// dropped, -1 with an exception set.
int is_real_weight(PyObject* w) {
  if (PyBool_Check(w)) return 0;
  if (PyFloat_Check(w) || PyLong_Check(w)) return 1;
  Ref numbers = Ref::steal(PyImport_ImportModule("numbers"));
  if (!numbers) return -1;
  Ref number = Ref::steal(PyObject_GetAttrString(numbers.get(), "Number"));
  Ref complex = number ? Ref::steal(PyObject_GetAttrString(numbers.get(), "Complex")) : Ref();
  Ref real = complex ? Ref::steal(PyObject_GetAttrString(numbers.get(), "Real")) : Ref();
  if (!real) return -1;
  const int is_number = PyObject_IsInstance(w, number.get());
  if (is_number <= 0) return is_number;
  const int is_complex = PyObject_IsInstance(w, complex.get());
  if (is_complex <= 0) return is_complex < 0 ? -1 : 1;  // a Decimal
  return PyObject_IsInstance(w, real.get());
}

// The (scorer, weight) pairs of `scorers`, or nullopt with TypeError/ValueError set.
std::optional<std::vector<std::pair<Ref, double>>> parse_parts(PyObject* scorers) {
  if (PyUnicode_Check(scorers) || !PySequence_Check(scorers)) {
    raise_arg_error(PyExc_TypeError, kHybridNames[0], cast_error_text(scorers, "Sequence"));
    return std::nullopt;
  }
  Ref items = Ref::steal(PySequence_Tuple(scorers));
  if (!items) return std::nullopt;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (n == 0) {
    raise_arg_error(PyExc_ValueError, kHybridNames[0], "a hybrid scorer needs at least one scorer");
    return std::nullopt;
  }
  std::vector<std::pair<Ref, double>> parts;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    const std::string where = "item " + std::to_string(i);
    if (!PyTuple_Check(item) && !PyList_Check(item)) {
      raise_arg_error(
          PyExc_TypeError, kHybridNames[0],
          where + " must be a (scorer, weight) pair: " + cast_error_text(item, "tuple"));
      return std::nullopt;
    }
    const Py_ssize_t size = PySequence_Size(item);  // a list subclass's __len__ may raise
    if (size < 0) return std::nullopt;
    if (size != 2) {
      raise_arg_error(PyExc_ValueError, kHybridNames[0],
                      where + " must be a (scorer, weight) pair, got length " +
                          std::to_string(size));
      return std::nullopt;
    }
    Ref scorer = Ref::steal(PySequence_GetItem(item, 0));
    Ref weight_obj = scorer ? Ref::steal(PySequence_GetItem(item, 1)) : Ref();
    if (!weight_obj) return std::nullopt;
    if (scorer.get() == Py_None) {
      raise_arg_error(PyExc_TypeError, kHybridNames[0], where + ": the scorer is None");
      return std::nullopt;
    }
    // Numpy scalars from tuning are numbers like any other.
    const int real = is_real_weight(weight_obj.get());
    if (real < 0) return std::nullopt;
    if (real == 0) {
      raise_arg_error(PyExc_TypeError, kHybridNames[0],
                      where + ": " + cast_error_text(weight_obj.get(), "float"));
      return std::nullopt;
    }
    const auto weight = to_double(weight_obj.get(), kHybridNames[0]);
    if (!weight) return std::nullopt;
    if (!(*weight >= 0.0) || !std::isfinite(*weight)) {
      raise_arg_error(
          PyExc_ValueError, kHybridNames[0],
          where + ": weights must be finite numbers >= 0, got " + format_shortest(*weight));
      return std::nullopt;
    }
    parts.emplace_back(std::move(scorer), *weight);
  }
  return parts;
}

PyObject* hybrid_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args(kHybridArgs, args, kwargs, a)) return nullptr;
    auto parts = parse_parts(a[0]);
    if (!parts) return nullptr;
    std::vector<double> weights;
    for (const auto& part : *parts) weights.push_back(part.second);
    if (const auto error = hybrid_weights_error(weights)) {
      raise_arg_error(PyExc_ValueError, kHybridNames[0], *error);
      return nullptr;
    }
    int nesting = 1;
    for (const auto& part : *parts) {
      if (Py_IS_TYPE(part.first.get(), type)) {
        nesting = std::max(nesting, as_hybrid(part.first.get())->nesting + 1);
      }
    }
    if (nesting > kMaxHybridNesting) {
      raise_arg_error(
          PyExc_ValueError, kHybridNames[0],
          "hybrid scorers nest more than " + std::to_string(kMaxHybridNesting) + " deep");
      return nullptr;
    }
    auto* self = as_hybrid(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self->parts) std::vector<std::pair<Ref, double>>(std::move(*parts));
    self->nesting = nesting;
    return reinterpret_cast<PyObject*>(self);
  });
}

int hybrid_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (const auto& part : as_hybrid(self)->parts) Py_VISIT(part.first.get());
  return 0;
}

// Drops the scorers; moved out first, as dropping one may run host code that reads this one.
int hybrid_clear(PyObject* self) {
  std::vector<std::pair<Ref, double>> parts;
  parts.swap(as_hybrid(self)->parts);
  return 0;
}

void hybrid_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  using Parts = std::vector<std::pair<Ref, double>>;
  as_hybrid(self)->parts.~Parts();
  type->tp_free(self);
  Py_DECREF(type);
}

// [(scorer, weight), ...] as a new list.
Ref parts_list(PyObject* self) {
  const auto& parts = as_hybrid(self)->parts;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
  for (std::size_t i = 0; list && i < parts.size(); ++i) {
    Ref pair = Ref::steal(Py_BuildValue("(Od)", parts[i].first.get(), parts[i].second));
    if (!pair) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list;
}

PyObject* hybrid_get_scorers(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Ref list = parts_list(self);
    return list ? PyList_AsTuple(list.get()) : nullptr;
  });
}

PyObject* hybrid_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Ref list = parts_list(self);
    if (!list) return nullptr;
    return PyUnicode_FromFormat("HybridScorer(%R)", list.get());
  });
}

PyGetSetDef g_hybrid_getset[] = {
    {"scorers", hybrid_get_scorers, nullptr, "The (scorer, weight) pairs, as a tuple.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kHybridDoc[] =
    "HybridScorer(scorers)\n--\n\n"
    "Fuses several scorers into one.\n\n"
    "Each query is scored by every scorer; each scorer's scores are rescaled for that\n"
    "query so that its best agent gets 1 and its worst 0 (agents it leaves out count as 0;\n"
    "agents it scores all alike keep that score), and the similarity is their weighted\n"
    "mean, in [0, 1]. Pass to\n"
    "``LocalNetwork(scorer=HybridScorer([(Bm25Scorer(), 0.7), (TfIdfScorer(), 0.3)]))``.\n\n"
    "Args:\n"
    "    scorers: (scorer, weight) pairs. A scorer is a TfIdfScorer, a Bm25Scorer, another\n"
    "        HybridScorer or any host scorer object; weights are finite and >= 0, not all 0.\n\n"
    "Every scorer sees every registration, removal and remembered query text; a host scorer\n"
    "without learn/forget is re-indexed with its capabilities and remembered texts. A host\n"
    "scorer whose score() fails is left out of that query (logged as a warning) and the\n"
    "weights of the others are rescaled; the query fails only when every scorer fails.";

PyType_Slot g_hybrid_slots[] = {
    {Py_tp_doc, const_cast<char*>(kHybridDoc)},
    {Py_tp_new, reinterpret_cast<void*>(hybrid_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hybrid_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(hybrid_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(hybrid_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(hybrid_repr)},
    {Py_tp_getset, g_hybrid_getset},
    {0, nullptr},
};
PyType_Spec g_hybrid_spec = {"builtins.HybridScorer", sizeof(HybridObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
                             g_hybrid_slots};

}  // namespace

PyTypeObject* bm25_scorer_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, g_bm25_spec);
}

PyTypeObject* hybrid_scorer_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, g_hybrid_spec);
}

std::unique_ptr<Scorer> engine_scorer_of(PyObject* host) {
  PyTypeObject* tfidf = tfidf_scorer_type();
  PyTypeObject* bm25 = bm25_scorer_type();
  PyTypeObject* hybrid = hybrid_scorer_type();
  if (!tfidf || !bm25 || !hybrid) return nullptr;
  if (PyObject_TypeCheck(host, tfidf)) return std::make_unique<TfIdfScorer>();
  if (PyObject_TypeCheck(host, bm25)) {
    auto scorer = Bm25Scorer::create(bm25_settings_of(host));
    if (!scorer) {
      raise_arg_error(PyExc_ValueError, nullptr, scorer.error());
      return nullptr;
    }
    return std::move(scorer).value();
  }
  if (PyObject_TypeCheck(host, hybrid)) {
    std::vector<HybridPart> parts;
    for (const auto& [part, weight] : as_hybrid(host)->parts) {
      std::unique_ptr<Scorer> scorer = engine_scorer_of(part.get());
      if (!scorer) return nullptr;
      parts.push_back({std::move(scorer), weight});
    }
    // Min-max: reciprocal ranks crowd the first places near 1 (61/61, 61/62, ...), which
    // leaves the similarity threshold nothing to cut and lets the kernels reorder them.
    auto fused = HybridScorer::create(std::move(parts), Fusion::MinMax);
    if (!fused) {
      raise_arg_error(PyExc_ValueError, nullptr, fused.error());
      return nullptr;
    }
    return std::move(fused).value();
  }
  return make_py_scorer(host);
}

}  // namespace kova::py
