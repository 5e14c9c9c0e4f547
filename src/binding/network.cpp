// The LocalNetwork host class: construction, registration with the invoke map, feedback,
// ticking, the replay log, drift detection, saving and loading. Discovery lives in
// discover.cpp and reaches the same object through NetworkObject.
#include <new>
#include <string>
#include <variant>

#include "common.hpp"

namespace kova::py {

// ---- borrow rule ----

Borrow::Borrow(NetworkObject* self, Mode mode) : self_(self), mode_(mode) {
  // Every operation that may log takes exclusive access; the levels are brought up to date
  // before the borrow, so that a refresh that calls into `logging` finds the network free.
  if (mode == Mode::Exclusive) sync_log_levels();
  if (!self->engine) {
    PyErr_SetString(PyExc_RuntimeError, "LocalNetwork has been cleared and can no longer be used");
    return;
  }
  if (mode == Mode::Exclusive) {
    if (self->borrow != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    self->borrow = -1;
  } else {
    if (self->borrow < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++self->borrow;
  }
  ok_ = true;
}

Borrow::~Borrow() {
  if (!ok_) return;
  if (mode_ == Mode::Exclusive) {
    self_->borrow = 0;
  } else {
    --self_->borrow;
  }
}

Ref invoke_of(const NetworkObject* self, std::string_view name) {
  const auto it = self->invoke.find(name);
  return it != self->invoke.end() ? it->second : Ref::borrow(Py_None);
}

namespace {

using Mode = Borrow::Mode;

// Wraps an engine in a new host object with an empty invoke map.
PyObject* make_network(PyTypeObject* type, std::unique_ptr<LocalNetwork> engine) {
  auto* self = reinterpret_cast<NetworkObject*>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  new (&self->engine) std::unique_ptr<LocalNetwork>(std::move(engine));
  new (&self->invoke) InvokeMap();
  self->borrow = 0;
  self->epsilon_epoch = UINT64_MAX;
  self->epsilon = 0.0;
  return reinterpret_cast<PyObject*>(self);
}

PyObject* none() {
  Py_RETURN_NONE;
}

// Raises a state-file failure. A system failure becomes the OSError subclass its errno selects
// (FileNotFoundError, PermissionError, IsADirectoryError, ...) with errno, strerror (the
// display text) and filename (the argument as given) set, as open() raises them. Anything else
// (a corrupt file, a newer version) stays a plain OSError whose text is the display text alone:
// callers match on that text.
PyObject* os_error(const NetworkError& error, PyObject* filename) {
  Ref message = from_str(error.display().c_str());  // up to a NUL, as C text
  if (!message) return nullptr;
  // A file that records a scorer it cannot rebuild asks for an argument, not a better file.
  if (error.kind == NetworkError::Kind::Scorer) {
    PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  if (error.os_errno == 0) {
    // No errno to pick a subclass by (a corrupt file, a refused target). No filename either:
    // OSError would then print "[Errno None] None: path" in place of the engine's message.
    PyErr_SetObject(PyExc_OSError, message.get());
    return nullptr;
  }
  Ref errno_value = Ref::steal(PyLong_FromLong(error.os_errno));
  if (!errno_value) return nullptr;
  // Called rather than raised by type: the call is what picks the subclass for the errno.
  Ref exception = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, errno_value.get(),
                                                          message.get(), filename, nullptr));
  if (exception) PyErr_SetRaisedException(exception.release());
  return nullptr;
}

bool set_item(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Ref float_ref(double v) {
  return Ref::steal(PyFloat_FromDouble(v));
}

// ---- constructor ----

constexpr const char* kNewNames[] = {"similarity_threshold", "scorer", "config", "query_memory",
                                     "query_expansion"};
const ArgSpec kNewArgs{"LocalNetwork", kNewNames, 0, 0};

// query_memory and query_expansion as the engine takes them; nullopt with an exception set.
std::optional<LearningSettings> learning_settings(PyObject* memory, PyObject* expansion) {
  std::size_t bound = 0;
  if (memory) {
    const auto v = to_i64(memory, kNewNames[3]);
    if (!v) return std::nullopt;
    if (*v < 0) {
      raise_arg_error(PyExc_ValueError, kNewNames[3],
                      "query_memory must not be negative (got " + std::to_string(*v) + ")");
      return std::nullopt;
    }
    bound = static_cast<std::size_t>(*v);
  }
  LearningSettings settings = LearningSettings::recommended(bound);
  if (!is_absent(expansion)) {
    const auto flag = to_flag(expansion, kNewNames[4]);
    if (!flag) return std::nullopt;
    settings.query_expansion = *flag;
  }
  return settings;
}

PyObject* network_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    if (!parse_args(kNewArgs, args, kwargs, a)) return nullptr;
    std::optional<double> threshold;
    if (!is_absent(a[0])) {
      threshold = to_double(a[0], kNewNames[0]);
      if (!threshold) return nullptr;
    }
    Ref scorer = is_absent(a[1]) ? Ref() : Ref::borrow(a[1]);
    std::optional<DiscoveryConfig> config;
    if (!is_absent(a[2])) {
      const DiscoveryConfig* c = discovery_config_of(a[2]);
      if (!c) {
        raise_arg_error(PyExc_TypeError, kNewNames[2], cast_error_text(a[2], "DiscoveryConfig"));
        return nullptr;
      }
      config = *c;
    }
    const std::optional<LearningSettings> learning = learning_settings(a[3], a[4]);
    if (!learning) return nullptr;

    std::unique_ptr<LocalNetwork> engine;
    if (config) {
      if (scorer) {
        PyErr_SetString(PyExc_ValueError, "Cannot specify both 'config' and 'scorer' parameters");
        return nullptr;
      }
      if (threshold) {
        PyErr_SetString(PyExc_ValueError,
                        "Cannot specify both 'config' and 'similarity_threshold' parameters. Use "
                        "config.similarity_threshold instead.");
        return nullptr;
      }
      engine = LocalNetwork::with_config(config->lsh, config->max_disagreement_split);
    } else if (scorer) {
      // The threshold is not applied with a scorer: the engine keeps its default. Callers rely
      // on that, but one who passes both should hear that the value went unused.
      if (threshold &&
          PyErr_WarnEx(PyExc_UserWarning,
                       "similarity_threshold is not applied with a scorer: the network keeps "
                       "the default 0.1",
                       1) < 0) {
        return nullptr;
      }
      std::unique_ptr<Scorer> built = engine_scorer_of(scorer.get());
      if (!built) return nullptr;
      engine = LocalNetwork::with_scorer(std::move(built));
    } else {
      DiscoveryConfig defaults;
      if (threshold) defaults.lsh.similarity_threshold = *threshold;
      engine = LocalNetwork::with_config(defaults.lsh, defaults.max_disagreement_split);
    }
    engine->set_learning(*learning);
    return make_network(type, std::move(engine));
  });
}

// ---- lifecycle and garbage collection ----

int network_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  NetworkObject* net = as_network(self);
  for (const auto& [name, callable] : net->invoke) Py_VISIT(callable.get());
  if (!net->engine) return 0;
  return traverse_py_scorer(net->engine->scorer_adapter().scorer.get(), visit, arg);
}

// Breaks a reference cycle through a callable or the host scorer. The references are moved
// out before they are dropped: dropping one may run host code that calls this object.
int network_clear(PyObject* self) {
  NetworkObject* net = as_network(self);
  std::unique_ptr<LocalNetwork> engine = std::move(net->engine);
  InvokeMap callables;
  callables.swap(net->invoke);
  return 0;
}

void network_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  NetworkObject* net = as_network(self);
  net->engine.~unique_ptr();
  net->invoke.~InvokeMap();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- registry ----

constexpr const char* kRegisterNames[] = {"name", "capabilities", "endpoint", "metadata", "invoke"};
const ArgSpec kRegisterArgs{"LocalNetwork.register", kRegisterNames, 2, 2};

PyObject* network_register(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    if (!parse_args(kRegisterArgs, args, nargs, kwnames, a)) return nullptr;
    const auto name = to_str(a[0], kRegisterNames[0]);
    if (!name) return nullptr;
    auto capabilities = to_str_list(a[1], kRegisterNames[1]);
    if (!capabilities) return nullptr;
    std::optional<std::string> endpoint;
    if (!is_absent(a[2])) {
      const auto e = to_str(a[2], kRegisterNames[2]);
      if (!e) return nullptr;
      endpoint.emplace(*e);
    }
    Metadata metadata;
    if (!is_absent(a[3])) {
      auto m = to_str_dict(a[3], kRegisterNames[3]);
      if (!m) return nullptr;
      metadata = std::move(*m);
    }
    Ref invoke = is_absent(a[4]) ? Ref() : Ref::borrow(a[4]);

    Ref replaced;  // dropped after the borrow ends: dropping may run host code
    return borrowed(self, Mode::Exclusive, [&](NetworkObject* net) -> PyObject* {
      if (const auto error = net->engine->register_agent(*name, *capabilities, std::move(endpoint),
                                                         std::move(metadata))) {
        raise_arg_error(PyExc_ValueError, nullptr, error->display());
        return nullptr;
      }
      if (invoke) {
        auto [it, inserted] = net->invoke.try_emplace(std::string(*name));
        replaced = std::exchange(it->second, std::move(invoke));
      } else if (const auto it = net->invoke.find(*name); it != net->invoke.end()) {
        replaced = std::move(it->second);
        net->invoke.erase(it);
      }
      return none();
    });
  });
}

constexpr const char* kNameOnly[] = {"name"};
const ArgSpec kDeregisterArgs{"LocalNetwork.deregister", kNameOnly, 1, 1};

PyObject* network_deregister(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args(kDeregisterArgs, args, nargs, kwnames, a)) return nullptr;
    const auto name = to_str(a[0], kNameOnly[0]);
    if (!name) return nullptr;
    Ref removed;  // dropped after the borrow ends
    return borrowed(self, Mode::Exclusive, [&](NetworkObject* net) -> PyObject* {
      if (const auto it = net->invoke.find(*name); it != net->invoke.end()) {
        removed = std::move(it->second);
        net->invoke.erase(it);
      }
      return PyBool_FromLong(net->engine->deregister(*name) ? 1 : 0);
    });
  });
}

PyObject* network_agents(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      return from_str_list(net->engine->agents()).release();
    });
  });
}

PyObject* network_agent_count(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      return PyLong_FromSize_t(net->engine->agent_count());
    });
  });
}

// ---- query memory ----

PyObject* network_query_memory(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      return PyLong_FromSize_t(net->engine->learning().query_memory);
    });
  });
}

PyObject* network_query_expansion(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      return PyBool_FromLong(net->engine->learning().query_expansion ? 1 : 0);
    });
  });
}

const ArgSpec kRememberedArgs{"LocalNetwork.remembered", kNameOnly, 1, 1};

PyObject* network_remembered(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args(kRememberedArgs, args, nargs, kwnames, a)) return nullptr;
    const auto name = to_str(a[0], kNameOnly[0]);
    if (!name) return nullptr;
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      const std::vector<std::string>* texts = net->engine->remembered(*name);
      if (!texts) {
        PyErr_SetObject(PyExc_KeyError, a[0]);
        return nullptr;
      }
      return from_str_list(*texts).release();
    });
  });
}

const ArgSpec kRoutingStateArgs{"LocalNetwork.routing_state", kNameOnly, 1, 1};

const char* circuit_name(CircuitState::Kind kind) {
  switch (kind) {
    case CircuitState::Kind::Open:
      return "open";
    case CircuitState::Kind::HalfOpen:
      return "half_open";
    case CircuitState::Kind::Closed:
      break;
  }
  return "closed";
}

PyObject* network_routing_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args(kRoutingStateArgs, args, nargs, kwnames, a)) return nullptr;
    const auto name = to_str(a[0], kNameOnly[0]);
    if (!name) return nullptr;
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      const AgentRecord* agent = net->engine->find(*name);
      if (!agent) {
        PyErr_SetObject(PyExc_KeyError, a[0]);
        return nullptr;
      }
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) return nullptr;
      const bool filled =
          set_item(dict.get(), "diameter", float_ref(agent->diameter)) &&
          set_item(dict.get(), "tau", float_ref(agent->tau)) &&
          set_item(dict.get(), "sigma", float_ref(agent->sigma)) &&
          set_item(dict.get(), "forwards",
                   Ref::steal(PyLong_FromUnsignedLongLong(agent->forwards()))) &&
          set_item(dict.get(), "consecutive_failures",
                   Ref::steal(PyLong_FromLong(agent->consecutive_pulse_timeouts))) &&
          set_item(dict.get(), "circuit", from_str(circuit_name(agent->circuit.kind))) &&
          set_item(dict.get(), "feedback", Ref::steal(PyLong_FromSize_t(agent->feedback.size()))) &&
          set_item(dict.get(), "endpoint",
                   agent->endpoint ? from_str(*agent->endpoint) : Ref::borrow(Py_None));
      return filled ? dict.release() : nullptr;
    });
  });
}

// ---- feedback ----

constexpr const char* kFeedbackNames[] = {"agent_name", "query"};
const ArgSpec kSuccessArgs{"LocalNetwork.record_success", kFeedbackNames, 1, 1};
const ArgSpec kFailureArgs{"LocalNetwork.record_failure", kFeedbackNames, 1, 1};

template <bool Success>
PyObject* network_feedback(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!parse_args(Success ? kSuccessArgs : kFailureArgs, args, nargs, kwnames, a)) {
      return nullptr;
    }
    const auto agent = to_str(a[0], kFeedbackNames[0]);
    if (!agent) return nullptr;
    std::optional<std::string_view> query;
    if (!is_absent(a[1])) {
      query = to_str(a[1], kFeedbackNames[1]);
      if (!query) return nullptr;
    }
    return borrowed(self, Mode::Exclusive, [&](NetworkObject* net) -> PyObject* {
      if constexpr (Success) {
        net->engine->record_success(*agent, query);
      } else {
        net->engine->record_failure(*agent, query);
      }
      return none();
    });
  });
}

PyObject* network_tick(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Exclusive, [&](NetworkObject* net) -> PyObject* {
      net->engine->tick();
      return none();
    });
  });
}

PyObject* network_exploration_epsilon(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      const std::uint64_t epoch = net->engine->feedback_epoch();
      if (epoch != net->epsilon_epoch) {
        net->epsilon = net->engine->exploration_epsilon();
        net->epsilon_epoch = epoch;
      }
      return PyFloat_FromDouble(net->epsilon);
    });
  });
}

// ---- replay log ----

constexpr const char* kEnableReplayNames[] = {"max_events"};
const ArgSpec kEnableReplayArgs{"LocalNetwork.enable_replay", kEnableReplayNames, 1, 0};

PyObject* network_enable_replay(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args(kEnableReplayArgs, args, nargs, kwnames, a)) return nullptr;
    std::uint64_t max_events = 10000;
    if (a[0]) {
      const auto v = to_u64(a[0], kEnableReplayNames[0]);
      if (!v) return nullptr;
      max_events = *v;
    }
    // A bound of 0 would leave nothing to evict against: the log would grow without limit.
    if (max_events == 0) {
      raise_arg_error(PyExc_ValueError, kEnableReplayNames[0], "max_events must be at least 1");
      return nullptr;
    }
    if (max_events > SIZE_MAX) max_events = SIZE_MAX;
    return borrowed(self, Mode::Exclusive, [&](NetworkObject* net) -> PyObject* {
      net->engine->enable_replay(static_cast<std::size_t>(max_events));
      return none();
    });
  });
}

PyObject* network_replay_clear(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Exclusive, [&](NetworkObject* net) -> PyObject* {
      net->engine->clear_replay();
      return none();
    });
  });
}

PyObject* network_replay_event_count(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      return PyLong_FromSize_t(
          net->engine->with_replay_log([](const ReplayLog& log) { return log.size(); }));
    });
  });
}

PyObject* network_replay_enabled(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      return PyBool_FromLong(
          net->engine->with_replay_log([](const ReplayLog& log) { return log.enabled(); }) ? 1 : 0);
    });
  });
}

// The str of the query text the previous event held, reused while events share their text
// (all events of one discovery do), so a long query is converted once, not once per result.
struct QueryStrCache {
  const std::string* text = nullptr;
  Ref str;

  Ref get(const SharedText& shared) {
    if (text != &shared.str()) {
      str = from_str(shared);
      text = str ? &shared.str() : nullptr;
    }
    return str;
  }
};

Ref event_dict(const EventKind& event, QueryStrCache& queries) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  PyObject* d = dict.get();
  if (!set_item(d, "type", from_str(event.type_name()))) return {};
  const bool ok = std::visit(
      [&](const auto& e) -> bool {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, EventKind::QuerySubmitted>) {
          return set_item(d, "query", queries.get(e.query));
        } else if constexpr (std::is_same_v<E, EventKind::AgentScored>) {
          return set_item(d, "query", queries.get(e.query)) &&
                 set_item(d, "agent_name", from_str(e.agent_name)) &&
                 set_item(d, "raw_similarity", float_ref(e.raw_similarity)) &&
                 set_item(d, "enzyme_score", float_ref(e.enzyme_score)) &&
                 set_item(d, "feedback_factor", float_ref(e.feedback_factor)) &&
                 set_item(d, "final_score", float_ref(e.final_score));
        } else if constexpr (std::is_same_v<E, EventKind::FeedbackRecorded>) {
          return set_item(d, "agent_name", from_str(e.agent_name)) &&
                 set_item(d, "query", from_str(e.query ? std::string_view(*e.query) : "")) &&
                 set_item(d, "outcome", float_ref(e.outcome));
        } else {
          return true;
        }
      },
      event.value);
  return ok ? dict : Ref();
}

PyObject* network_replay_events(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      // Copied out first: building host objects may run host code (a collector pass), which
      // must not find the log's mutex held.
      const std::vector<EventKind> events = net->engine->with_replay_log([](const ReplayLog& log) {
        std::vector<EventKind> out;
        out.reserve(log.size());
        for (const ReplayEntry& entry : log.events()) out.push_back(entry.event);
        return out;
      });
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(events.size())));
      if (!list) return nullptr;
      QueryStrCache queries;
      for (std::size_t i = 0; i < events.size(); ++i) {
        Ref dict = event_dict(events[i], queries);
        if (!dict) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
      }
      return list.release();
    });
  });
}

// ---- drift ----

constexpr const char* kDriftNames[] = {"threshold", "min_samples"};
const ArgSpec kDriftArgs{"LocalNetwork.detect_drift", kDriftNames, 0, 0};

PyObject* network_detect_drift(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!parse_args(kDriftArgs, args, nargs, kwnames, a)) return nullptr;
    double threshold = 0.3;
    if (a[0]) {
      const auto v = to_double(a[0], kDriftNames[0]);
      if (!v) return nullptr;
      threshold = *v;
    }
    std::uint64_t min_samples = 5;
    if (a[1]) {
      const auto v = to_u64(a[1], kDriftNames[1]);
      if (!v) return nullptr;
      min_samples = *v;
    }
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      const std::vector<DriftReport> reports = net->engine->detect_drift(
          static_cast<std::size_t>(std::min<std::uint64_t>(min_samples, SIZE_MAX)), threshold);
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(reports.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < reports.size(); ++i) {
        const DriftReport& r = reports[i];
        Ref dict = Ref::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "agent_name", from_str(r.agent_name)) ||
            !set_item(dict.get(), "alignment", float_ref(r.alignment)) ||
            !set_item(dict.get(), "sample_count", Ref::steal(PyLong_FromSize_t(r.sample_count))) ||
            !set_item(dict.get(), "drifted", Ref::borrow(r.drifted ? Py_True : Py_False))) {
          return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
      }
      return list.release();
    });
  });
}

// ---- persistence ----

constexpr const char* kPathNames[] = {"path"};
constexpr const char* kSaveNames[] = {"path", "extra"};
const ArgSpec kSaveArgs{"LocalNetwork.save", kSaveNames, 1, 1};
constexpr const char* kLoadNames[] = {"path", "scorer"};
const ArgSpec kLoadArgs{"LocalNetwork.load", kLoadNames, 1, 1};

// `extra`: a dict of str to str or int; names of the state's own members are refused here,
// where the caller can still be told which value is wrong.
std::optional<ExtraMembers> to_extra_members(PyObject* o, const char* arg) {
  if (!PyDict_Check(o)) {
    raise_arg_error(PyExc_TypeError, arg, cast_error_text(o, "dict"));
    return std::nullopt;
  }
  ExtraMembers out;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(o, &pos, &key, &value)) {
    const auto name = to_str(key, arg);
    if (!name) return std::nullopt;
    if (is_state_member(*name)) {
      std::string message(1, '\'');  // appended, not "'" + name: GCC 12 warns on that falsely
      message.append(*name).append("' is a member of the state itself");
      raise_arg_error(PyExc_ValueError, arg, message);
      return std::nullopt;
    }
    if (PyUnicode_Check(value)) {
      const auto text = to_str(value, arg);
      if (!text) return std::nullopt;
      out.emplace_back(std::string(*name), std::string(*text));
    } else if (PyLong_Check(value) && !PyBool_Check(value)) {
      const auto number = to_i64(value, arg);
      if (!number) return std::nullopt;
      out.emplace_back(std::string(*name), *number);
    } else {
      raise_arg_error(PyExc_TypeError, arg,
                      "value of '" + std::string(*name) + "' must be str or int, not '" +
                          Py_TYPE(value)->tp_name + "'");
      return std::nullopt;
    }
  }
  return out;
}

PyObject* network_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!parse_args(kSaveArgs, args, nargs, kwnames, a)) return nullptr;
    const auto path = to_path(a[0], kSaveNames[0]);
    if (!path) return nullptr;
    ExtraMembers extra;
    if (!is_absent(a[1])) {
      auto converted = to_extra_members(a[1], kSaveNames[1]);
      if (!converted) return nullptr;
      extra = std::move(*converted);
    }
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      if (const auto error = net->engine->save(*path, extra)) return os_error(*error, a[0]);
      return none();
    });
  });
}

PyObject* network_load(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!parse_args(kLoadArgs, args, nargs, kwnames, a)) return nullptr;
    const auto path = to_path(a[0], kLoadNames[0]);
    if (!path) return nullptr;
    PyTypeObject* type = local_network_type();
    if (!type) return nullptr;
    std::unique_ptr<Scorer> scorer;
    if (!is_absent(a[1])) {
      scorer = engine_scorer_of(a[1]);
      if (!scorer) return nullptr;
    }
    // Loading indexes every agent with the scorer, which may warn; no borrow brings the
    // levels up to date here.
    sync_log_levels();
    auto loaded = LocalNetwork::load(*path, system_clock(), std::move(scorer));
    if (!loaded) return os_error(loaded.error(), a[0]);
    return make_network(type, std::move(loaded).value());
  });
}

PyObject* network_loaded_extra(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return borrowed(self, Mode::Shared, [&](NetworkObject* net) -> PyObject* {
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [name, value] : net->engine->loaded_extra()) {
        Ref item = std::holds_alternative<std::string>(value)
                       ? from_str(std::get<std::string>(value))
                       : Ref::steal(PyLong_FromLongLong(std::get<std::int64_t>(value)));
        if (!item) return nullptr;
        Ref key = from_str(name);
        if (!key || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
      }
      return dict.release();
    });
  });
}

// ---- the type ----

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"register", as_cfunction(network_register), kFastKw,
     "register($self, name, capabilities, *, endpoint=None, metadata=None, invoke=None)\n--\n\n"
     "Register an agent with its capabilities.\n\n"
     "Args:\n"
     "    name: Unique agent identifier.\n"
     "    capabilities: List of capability description strings.\n"
     "    endpoint: Optional URI/URL for invoking the agent (e.g. MCP server URL).\n"
     "    metadata: Optional dict of key-value pairs (protocol, version, framework, etc.).\n"
     "    invoke: Optional callable for local single-process invocation convenience."},
    {"deregister", as_cfunction(network_deregister), kFastKw,
     "deregister($self, name)\n--\n\n"
     "Remove an agent from the network.\n\n"
     "Returns True if the agent was found and removed."},
    {"discover", as_cfunction(network_discover), kFastKw, kDiscoverDoc},
    {"discover_many", as_cfunction(network_discover_many), kFastKw, kDiscoverManyDoc},
    {"record_success", as_cfunction(network_feedback<true>), kFastKw,
     "record_success($self, agent_name, *, query=None)\n--\n\n"
     "Record a successful interaction with an agent.\n\n"
     "When ``query`` is given, future queries similar to it are boosted for this\n"
     "agent without affecting unrelated query types. A small global ranking\n"
     "improvement always applies.\n\n"
     "Args:\n"
     "    agent_name: The agent that handled the request.\n"
     "    query: Optional query text the agent succeeded on.\n\n"
     "The query's words are also counted with the agent's capability words for\n"
     "query expansion: the first 50 distinct words on each side, every occurrence\n"
     "of those included, so one call's cost is bounded whatever the lengths."},
    {"record_failure", as_cfunction(network_feedback<false>), kFastKw,
     "record_failure($self, agent_name, *, query=None)\n--\n\n"
     "Record a failed interaction with an agent.\n\n"
     "When ``query`` is given, future queries similar to it are penalised for this\n"
     "agent without affecting unrelated query types. A small global ranking\n"
     "penalty always applies.\n\n"
     "Args:\n"
     "    agent_name: The agent that failed the request.\n"
     "    query: Optional query text the agent failed on."},
    {"tick", network_tick, METH_NOARGS,
     "tick($self)\n--\n\n"
     "Apply temporal decay to all agent pheromone state.\n\n"
     "Call this periodically (for example once per second or after each batch of\n"
     "requests) so that stale routing preferences fade and open circuits recover."},
    {"agents", network_agents, METH_NOARGS,
     "agents($self)\n--\n\n"
     "List of all registered agent names."},
    {"enable_replay", as_cfunction(network_enable_replay), kFastKw,
     "enable_replay($self, max_events=10000)\n--\n\n"
     "Enable the discovery replay log for post-hoc analysis.\n\n"
     "Once enabled, discover() and discover_many() with a query string and\n"
     "neither explain nor with_confidence, record_success/failure() and tick()\n"
     "are recorded; the oldest events are dropped when the log is full.\n\n"
     "Args:\n"
     "    max_events: Maximum number of events to keep (default: 10000)."},
    {"replay_events", network_replay_events, METH_NOARGS,
     "replay_events($self)\n--\n\n"
     "Retrieve replay events as a list of dicts.\n\n"
     "Each dict has a \"type\" key and the event's fields:\n"
     "    query_submitted: query\n"
     "    agent_scored: query, agent_name, raw_similarity, enzyme_score,\n"
     "        feedback_factor, final_score\n"
     "    feedback_recorded: agent_name, query (\"\" when none was given), outcome\n"
     "    tick_applied: no further keys"},
    {"replay_clear", network_replay_clear, METH_NOARGS,
     "replay_clear($self)\n--\n\n"
     "Clear the replay log."},
    {"detect_drift", as_cfunction(network_detect_drift), kFastKw,
     "detect_drift($self, *, threshold=0.3, min_samples=5)\n--\n\n"
     "Detect capability drift for registered agents.\n\n"
     "Returns a list of dicts, one per agent with enough feedback data.\n"
     "Each dict has: agent_name, alignment, sample_count, drifted.\n\n"
     "Args:\n"
     "    threshold: Alignment below which an agent counts as drifted (default: 0.3).\n"
     "    min_samples: Successful feedback entries an agent needs to be reported\n"
     "        (default: 5)."},
    {"save", as_cfunction(network_save), kFastKw,
     "save($self, path, *, extra=None)\n--\n\n"
     "Save the network state to a JSON file.\n\n"
     "``path`` is a str or an os.PathLike[str]. The file is written through a\n"
     "temporary file beside it and renamed over the old one; a symbolic link is\n"
     "followed and the file it names replaced. A target that exists but is not a\n"
     "regular file (a directory, device, FIFO or socket) is refused. Temporary\n"
     "files that earlier saves of the same file left behind when their process\n"
     "died are removed.\n\n"
     "Args:\n"
     "    path: The file to write (replaced atomically).\n"
     "    extra: Optional dict of str to str or int, written as additional top-level\n"
     "        members after the state's own; readers that do not know them ignore them,\n"
     "        and ``loaded_extra`` of the loaded network hands them back.\n\n"
     "Raises:\n"
     "    OSError: the subclass for the system's errno (FileNotFoundError,\n"
     "        PermissionError, IsADirectoryError, ...) with errno and filename set;\n"
     "        a plain OSError when the state cannot be written as JSON or the\n"
     "        target is not a regular file."},
    {"load", as_cfunction(network_load), kFastKw | METH_STATIC,
     "load(path, *, scorer=None)\n--\n\n"
     "Load network state from a previously saved JSON file.\n\n"
     "Returns a new LocalNetwork with all agents, scoring state, and\n"
     "feedback history restored. Agent capabilities are re-indexed.\n\n"
     "``path`` is a str or an os.PathLike[str] naming a regular file.\n\n"
     "Raises:\n"
     "    OSError: the subclass for the system's errno (FileNotFoundError,\n"
     "        PermissionError, IsADirectoryError, ...) with errno and filename set;\n"
     "        a plain OSError, its text starting \"serialization error: \" or\n"
     "        \"unsupported snapshot version\", for a file that is not a state file\n"
     "        this version can read, or \"I/O error: \" for one that is not a\n"
     "        regular file or not UTF-8.\n\n"
     "Args:\n"
     "    path: The state file.\n"
     "    scorer: The scorer to use, as for the constructor. By default the\n"
     "        built-in scorer the file records (kind and settings), else the\n"
     "        default one. A file saved with a host scorer records only that\n"
     "        it had one: pass it again here, or ValueError is raised, as it\n"
     "        is for a scorer record with invalid settings.\n"
     "        Query memory settings and remembered texts are restored and\n"
     "        taught to the scorer either way."},
    {"routing_state", as_cfunction(network_routing_state), kFastKw,
     "routing_state($self, name)\n--\n\n"
     "The routing state the network keeps for an agent, as a new dict.\n\n"
     "Keys: ``diameter``, ``tau`` and ``sigma`` (float), ``forwards`` (times the\n"
     "kernels' vote routed a discovery to the agent, returned or not),\n"
     "``consecutive_failures`` (int), ``circuit`` (\"closed\", \"open\" or\n"
     "\"half_open\"), ``feedback`` (number of feedback entries held) and\n"
     "``endpoint`` (str or None).\n\n"
     "Raises KeyError when no agent of that name is registered."},
    {"remembered", as_cfunction(network_remembered), kFastKw,
     "remembered($self, name)\n--\n\n"
     "Query texts the agent remembers, oldest first (see ``query_memory``).\n\n"
     "Raises KeyError when no agent of that name is registered."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"agent_count", network_agent_count, nullptr, "Number of registered agents.", nullptr},
    {"exploration_epsilon", network_exploration_epsilon, nullptr,
     "Current exploration epsilon value.\n\n"
     "Starts high (default 0.8) and decays with feedback. Controls the\n"
     "probability of random exploration vs. deterministic ranking during\n"
     "tie-breaking.",
     nullptr},
    {"replay_event_count", network_replay_event_count, nullptr,
     "Number of events in the replay log.", nullptr},
    {"replay_enabled", network_replay_enabled, nullptr, "Whether the replay log is enabled.",
     nullptr},
    {"loaded_extra", network_loaded_extra, nullptr,
     "Top-level members of the state file this network was loaded from that the network\n"
     "does not use itself (str or int values, as ``save(extra=...)`` writes them); empty\n"
     "for a network not made by ``load``.",
     nullptr},
    {"query_memory", network_query_memory, nullptr,
     "Number of successful query texts remembered per agent (0: none).", nullptr},
    {"query_expansion", network_query_expansion, nullptr,
     "Whether queries are widened by co-occurring capability words.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kNetworkDoc[] =
    "LocalNetwork(*, similarity_threshold=None, scorer=None, config=None, query_memory=0, "
    "query_expansion=None)\n--\n\n"
    "Local agent discovery network.\n\n"
    "Creates an in-process routing engine that discovers agents by\n"
    "capability matching using multi-kernel voting.\n\n"
    "Args:\n"
    "    similarity_threshold: Minimum similarity for results (default: 0.1).\n"
    "        Results below this are filtered as noise.\n"
    "    query_memory: Successful query texts remembered per agent (default: 0,\n"
    "        none; 100 is recommended). ``record_success(agent, query=q)`` then\n"
    "        teaches the scorer to match ``q`` for that agent as well as its\n"
    "        capabilities; ``record_failure(agent, query=q)`` forgets ``q``.\n"
    "    query_expansion: Whether queries are widened by capability words that\n"
    "        co-occurred with their words in earlier successes. None (default)\n"
    "        follows ``query_memory``: on without it, off with it, which ranks\n"
    "        better (widening pulls common words into every query).\n\n"
    "Example:\n"
    "    net = LocalNetwork()\n"
    "    net.register(\n"
    "        \"translator\",\n"
    "        [\"translate text between languages\"],\n"
    "        endpoint=\"http://localhost:8080/translate\",\n"
    "        metadata={\"protocol\": \"mcp\"},\n"
    "    )\n"
    "    results = net.discover(\"translate text into French\")\n"
    "    print(results[0].agent_name, results[0].endpoint)";

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNetworkDoc)},
    {Py_tp_new, reinterpret_cast<void*>(network_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(network_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(network_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(network_clear)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {"builtins.LocalNetwork", sizeof(NetworkObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, g_slots};

}  // namespace

PyTypeObject* local_network_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, g_spec);
}

}  // namespace kova::py
