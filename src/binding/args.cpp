#include "binding/args.h"

#include <climits>
#include <string>
#include <vector>

#include "binding/errors.h"

namespace zu::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.full_name,
               static_cast<Py_ssize_t>(sig.params.size()), given, given == 1 ? "was" : "were");
  return false;
}

// Places one keyword argument; false with TypeError set if it names no
// parameter or one that already has a value.
bool place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  for (size_t i = 0; i < sig.params.size(); ++i) {
    if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, sig.params[i]) != 0) {
      continue;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                   sig.params[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, name);
  return false;
}

bool check_missing(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.params.size(); ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name,
               missing.size(), missing.size() == 1 ? "argument" : "arguments",
               quoted_list(missing).c_str());
  return false;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
  const Py_ssize_t positional = PyVectorcall_NARGS(static_cast<size_t>(nargs));
  if (positional > static_cast<Py_ssize_t>(sig.params.size())) {
    return too_many_positional(sig, positional);
  }
  for (size_t i = 0; i < sig.params.size(); ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < positional ? args[i] : nullptr;
  }
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[positional + k], out)) return false;
  }
  return check_missing(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  if (positional > static_cast<Py_ssize_t>(sig.params.size())) {
    return too_many_positional(sig, positional);
  }
  for (size_t i = 0; i < sig.params.size(); ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < positional ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(sig, name, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool convert_str(PyObject* obj, const char* param, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected str, got %s", Py_TYPE(obj)->tp_name);
    prefix_argument_error(param);
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) {
    prefix_argument_error(param);  // leaves UnicodeEncodeError as it is
    return false;
  }
  out = std::string_view(utf8, static_cast<size_t>(len));
  return true;
}

bool convert_segment(PyObject* obj, const char* param, uint8_t& out) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    prefix_argument_error(param);
    return false;
  }
  if (v < 0 || v > UINT8_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint8_t>(v);
  return true;
}

bool convert_path(PyObject* obj, const char* param, std::string& out) {
  Ref path(PyOS_FSPath(obj));
  if (!path) {
    prefix_argument_error(param);
    return false;
  }
  if (!PyUnicode_Check(path.get())) {
    PyErr_Format(PyExc_TypeError, "expected str or os.PathLike returning str, got %s",
                 Py_TYPE(path.get())->tp_name);
    prefix_argument_error(param);
    return false;
  }
  Ref encoded(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) {
    prefix_argument_error(param);
    return false;
  }
  out.assign(PyBytes_AS_STRING(encoded.get()),
             static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

}  // namespace zu::py
