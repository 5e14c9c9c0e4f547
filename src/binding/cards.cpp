// capabilities_from_a2a_rust: reads an agent card from any host object into plain values;
// the texts themselves are built by the engine. Nothing read here raises: whatever cannot be
// read counts as absent.
#include "text/cards.hpp"

#include "common.hpp"

namespace kova::py {

namespace {

// card[key], or nullptr (with no exception pending) when the lookup fails for any reason.
Ref lookup(PyObject* mapping, const char* key) {
  Ref k = from_str(key);
  Ref value = k ? Ref::steal(PyObject_GetItem(mapping, k.get())) : Ref();
  if (!value) PyErr_Clear();
  return value;
}

// A str value as text; anything else (or a str that is not valid UTF-8) as the empty text.
std::string as_text(PyObject* value) {
  if (!value || !PyUnicode_Check(value)) return {};
  const auto s = to_str(value, nullptr);
  if (!s) {
    PyErr_Clear();
    return {};
  }
  return std::string(*s);
}

// The items of a sequence that is not a str, or nullptr when it cannot be read as one.
Ref sequence_items(PyObject* value) {
  if (!value || PyUnicode_Check(value) || !PySequence_Check(value)) return {};
  Ref items = Ref::steal(PySequence_Tuple(value));
  if (!items) PyErr_Clear();
  return items;
}

// All-or-nothing: one element that is not a str discards the whole list.
std::vector<std::string> read_tags(PyObject* value) {
  Ref items = sequence_items(value);
  if (!items) return {};
  std::vector<std::string> tags;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) return {};
    const auto s = to_str(item, nullptr);
    if (!s) {
      PyErr_Clear();
      return {};
    }
    tags.emplace_back(*s);
  }
  return tags;
}

text::Card read_card(PyObject* card) {
  text::Card out;
  out.name = as_text(lookup(card, "name").get());
  out.description = as_text(lookup(card, "description").get());
  Ref skills = sequence_items(lookup(card, "skills").get());
  if (!skills) return out;
  const Py_ssize_t n = PyTuple_GET_SIZE(skills.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* skill = PyTuple_GET_ITEM(skills.get(), i);
    text::CardSkill s;
    s.name = as_text(lookup(skill, "name").get());
    s.description = as_text(lookup(skill, "description").get());
    s.tags = read_tags(lookup(skill, "tags").get());
    out.skills.push_back(std::move(s));
  }
  return out;
}

constexpr const char* kCardNames[] = {"agent_card"};
const ArgSpec kCardArgs{"capabilities_from_a2a_rust", kCardNames, 1, 1};

}  // namespace

extern const char kCapabilitiesFromA2aDoc[] =
    "capabilities_from_a2a_rust(agent_card)\n--\n\n"
    "Extract capability strings from an A2A agent card.\n\n"
    "Reads the card's \"name\", \"description\" and \"skills\" (each skill's \"name\",\n"
    "\"description\" and \"tags\") and returns a list of texts: one for the card, then\n"
    "one per skill, ready to pass to LocalNetwork.register(). Missing or malformed\n"
    "members are ignored; the result may be empty.";

PyObject* capabilities_from_a2a(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args(kCardArgs, args, nargs, kwnames, a)) return nullptr;
    const std::vector<std::string> texts = text::card_capabilities(read_card(a[0]));
    return from_str_list(texts).release();
  });
}

}  // namespace kova::py
