// Host value <-> engine value conversions, argument parsing and error texts, kept in one place
// so every method converts and reports alike.
#include <cstring>
#include <string>

#include "common.hpp"

namespace kova::py {

namespace {

std::string type_name_of(PyObject* o) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!utf8) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// numpy's boolean scalar (numpy.bool_, named numpy.bool since numpy 2). Checked by name so
// that numpy stays optional.
bool is_numpy_bool(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  const std::string name = type_name_of(o);
  if (name != "bool_" && name != "bool") return false;
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy");
}

std::optional<std::string_view> utf8_view(PyObject* o, const char* arg) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (!data) {
    prefix_pending_error(arg);
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string cast_error_text(PyObject* o, const char* target) {
  std::string text = "'";
  text.append(type_name_of(o)).append("' object cannot be converted to '");
  text.append(target).append("'");
  return text;
}

void raise_arg_error(PyObject* type, const char* arg, std::string_view message) {
  std::string text;
  if (arg) {
    text = "argument '";
    text += arg;
    text += "': ";
  }
  text += message;
  Ref obj = from_str(text);
  if (obj) PyErr_SetObject(type, obj.get());
}

void prefix_pending_error(const char* arg) {
  if (!arg || !PyErr_Occurred()) return;
  Ref original = Ref::steal(PyErr_GetRaisedException());
  // Only the plain errors conversions raise, built from one text, are built again with the
  // prefix. Anything else (SystemExit, an OSError with its errno, a KeyError with its key, a
  // class of the caller's own with attributes, an error of several arguments) goes on as it
  // is, with the argument's name as a note. The base class's add_note runs no caller code.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(original.get()));
  Ref args = Ref::steal(PyObject_GetAttrString(original.get(), "args"));
  const bool plain = (type == PyExc_TypeError || type == PyExc_ValueError ||
                      type == PyExc_OverflowError) &&
                     args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
                     PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0));
  if (!plain) {
    PyErr_Clear();
    if (PyObject_TypeCheck(original.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
      Ref add_note = Ref::steal(PyObject_GetAttrString(PyExc_BaseException, "add_note"));
      Ref note = Ref::steal(PyUnicode_FromFormat("argument '%s'", arg));
      Ref added = add_note && note ? Ref::steal(PyObject_CallFunctionObjArgs(
                                         add_note.get(), original.get(), note.get(), nullptr))
                                   : Ref();
      if (!added) PyErr_Clear();
    }
    PyErr_SetRaisedException(original.release());
    return;
  }
  Ref text = Ref::steal(PyObject_Str(original.get()));
  Ref prefixed;
  if (text) prefixed = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", arg, text.get()));
  Ref replacement;
  if (prefixed) {
    replacement = Ref::steal(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(original.get())), prefixed.get()));
  }
  if (!replacement || !PyExceptionInstance_Check(replacement.get())) {
    // An exception type that cannot be built from one text (UnicodeEncodeError, say) keeps
    // its own message.
    PyErr_Clear();
    PyErr_SetRaisedException(original.release());
    return;
  }
  PyException_SetCause(replacement.get(), original.release());
  PyErr_SetRaisedException(replacement.release());
}

std::string take_error_text() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return {};
  std::string out;
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(exc.get())));
  const char* q = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
  out = q ? q : Py_TYPE(exc.get())->tp_name;
  out += ": ";
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  Py_ssize_t size = 0;
  const char* t = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (t) {
    out.append(t, static_cast<std::size_t>(size));
  } else {
    out += "<exception str() failed>";
  }
  PyErr_Clear();  // anything raised while describing the exception
  return out;
}

// ---- host -> engine ----

std::optional<std::string_view> to_str(PyObject* o, const char* arg) {
  if (PyUnicode_Check(o)) return utf8_view(o, arg);
  raise_arg_error(PyExc_TypeError, arg, cast_error_text(o, "str"));
  return std::nullopt;
}

std::optional<std::string> to_path(PyObject* o, const char* arg) {
  // Names the file system gave (os.listdir, pathlib) may hold undecodable bytes as lone
  // surrogates; the file-system encoding turns them back into those bytes.
  Ref path;
  if (PyUnicode_Check(o)) {
    path = Ref::borrow(o);
  } else if (!PyBytes_Check(o) && PyObject_HasAttrStringWithError(o, "__fspath__") > 0) {
    path = Ref::steal(PyOS_FSPath(o));
    if (!path) {
      prefix_pending_error(arg);
      return std::nullopt;
    }
  } else if (PyErr_Occurred()) {
    prefix_pending_error(arg);
    return std::nullopt;
  }
  if (!path || !PyUnicode_Check(path.get())) {
    raise_arg_error(PyExc_TypeError, arg, cast_error_text(o, "str | os.PathLike[str]"));
    return std::nullopt;
  }
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) {
    prefix_pending_error(arg);
    return std::nullopt;
  }
  return std::string(PyBytes_AS_STRING(encoded.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

std::optional<double> to_double(PyObject* o, const char* arg) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    prefix_pending_error(arg);
    return std::nullopt;
  }
  return v;
}

std::optional<std::uint64_t> to_u64(PyObject* o, const char* arg) {
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    prefix_pending_error(arg);
    return std::nullopt;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_pending_error(arg);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(v);
}

std::optional<std::uint8_t> to_u8(PyObject* o, const char* arg) {
  const auto v = to_u64(o, arg);
  if (!v) return std::nullopt;
  if (*v > 0xFF) {
    raise_arg_error(PyExc_OverflowError, arg, "int too big to convert");
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(*v);
}

std::optional<std::int64_t> to_i64(PyObject* o, const char* arg) {
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    prefix_pending_error(arg);
    return std::nullopt;
  }
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) {
    prefix_pending_error(arg);
    return std::nullopt;
  }
  return static_cast<std::int64_t>(v);
}

std::optional<bool> to_flag(PyObject* o, const char* arg) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  if (is_numpy_bool(o)) {
    const int truth = PyObject_IsTrue(o);
    if (truth < 0) {
      prefix_pending_error(arg);
      return std::nullopt;
    }
    return truth == 1;
  }
  raise_arg_error(PyExc_TypeError, arg, cast_error_text(o, "bool"));
  return std::nullopt;
}

std::optional<std::vector<std::string>> to_str_list(PyObject* o, const char* arg) {
  if (PyUnicode_Check(o)) {
    raise_arg_error(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(o)) {
    raise_arg_error(PyExc_TypeError, arg, cast_error_text(o, "Sequence"));
    return std::nullopt;
  }
  Ref fast = Ref::steal(PySequence_Fast(o, "expected a sequence"));
  if (!fast) {
    prefix_pending_error(arg);
    return std::nullopt;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  PyObject** items = PySequence_Fast_ITEMS(fast.get());
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const auto s = to_str(items[i], arg);
    if (!s) return std::nullopt;
    out.emplace_back(*s);
  }
  return out;
}

std::optional<Metadata> to_str_dict(PyObject* o, const char* arg) {
  if (!PyDict_Check(o)) {
    raise_arg_error(PyExc_TypeError, arg, cast_error_text(o, "dict"));
    return std::nullopt;
  }
  Metadata out;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(o, &pos, &key, &value)) {
    const auto k = to_str(key, arg);
    if (!k) return std::nullopt;
    const auto v = to_str(value, arg);
    if (!v) return std::nullopt;
    out.insert_or_assign(std::string(*k), std::string(*v));
  }
  return out;
}

// ---- engine -> host ----

Ref from_str(std::string_view s, const char* errors) {
  return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), errors));
}

Ref from_str_list(std::span<const std::string> v) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < v.size(); ++i) {
    Ref item = from_str(v[i]);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

Ref from_metadata(const Metadata& m) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (const auto& [key, value] : m) {
    Ref k = from_str(key);
    Ref v = k ? from_str(value) : Ref();
    if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return {};
  }
  return dict;
}

// ---- argument parsing ----

namespace {

const char* plural(std::size_t n) {
  return n == 1 ? "" : "s";
}

void raise_too_many_positional(const ArgSpec& spec, Py_ssize_t nargs) {
  const char* verb = nargs == 1 ? "was" : "were";
  if (spec.n_required == spec.n_positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                 spec.func, spec.n_positional, plural(spec.n_positional), nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given", spec.func,
                 spec.n_required, spec.n_positional, nargs, verb);
  }
}

void raise_missing(const ArgSpec& spec, PyObject* const* out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < spec.n_required; ++i) {
    if (!out[i]) missing.push_back(spec.names[i]);
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list += "'";
    list += missing[i];
    list += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", spec.func,
               missing.size(), plural(missing.size()), list.c_str());
}

// kw_at(i) yields the i-th (name, value) keyword pair.
template <class KwAt>
bool parse_impl(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw,
                KwAt&& kw_at, PyObject** out) {
  const std::size_t n_params = spec.names.size();
  for (std::size_t i = 0; i < n_params; ++i) out[i] = nullptr;
  if (nargs > static_cast<Py_ssize_t>(spec.n_positional)) {
    raise_too_many_positional(spec, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    const auto [name, value] = kw_at(k);
    std::size_t slot = n_params;
    for (std::size_t i = 0; i < n_params; ++i) {
      if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, spec.names[i])) {
        slot = i;
        break;
      }
    }
    if (slot == n_params) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", spec.func,
                   name);
      return false;
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.func,
                   spec.names[slot]);
      return false;
    }
    out[slot] = value;
  }
  for (std::size_t i = 0; i < spec.n_required; ++i) {
    if (!out[i]) {
      raise_missing(spec, out);
      return false;
    }
  }
  return true;
}

}  // namespace

bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  return parse_impl(
      spec, args, nargs, nkw,
      [&](Py_ssize_t k) {
        return std::pair<PyObject*, PyObject*>(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
      },
      out);
}

bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  PyObject* const* items = args ? &PyTuple_GET_ITEM(args, 0) : nullptr;
  std::vector<std::pair<PyObject*, PyObject*>> kw;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) kw.emplace_back(key, value);
  }
  return parse_impl(
      spec, items, nargs, static_cast<Py_ssize_t>(kw.size()),
      [&](Py_ssize_t k) { return kw[static_cast<std::size_t>(k)]; }, out);
}

// ---- internal failures ----

PyObject* internal_error_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "kova_discovery.InternalError",
      "An unexpected failure inside the native engine (not a usage error).\n\n"
      "Derives from BaseException so that it is not mistaken for ordinary bad input.",
      PyExc_BaseException, nullptr);
  return type;
}

void raise_internal_error(std::string_view what) noexcept {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  std::string report;
  try {
    report.assign(what);
  } catch (...) {
    PyErr_NoMemory();
    return;
  }
  PySys_FormatStderr("kova_discovery: internal error: %s\n", report.c_str());
  PyErr_Clear();  // a failure to write the report must not hide the error itself
  PyObject* type = internal_error_type();
  if (!type) {
    PyErr_Clear();
    type = PyExc_SystemError;
  }
  Ref text = from_str(report, "replace");
  if (!text) return;  // the MemoryError raised here stands in for the report
  Ref exc = Ref::steal(PyObject_CallOneArg(type, text.get()));
  if (!exc) return;
  if (pending) PyException_SetContext(exc.get(), pending.release());
  PyErr_SetRaisedException(exc.release());
}

}  // namespace kova::py
