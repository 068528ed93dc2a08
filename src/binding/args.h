// Binding call arguments to parameters, with the arity messages users see,
// and converting them to C++ values.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "binding/py.h"

namespace zu::py {

struct Signature {
  const char* full_name;  // e.g. "ZuDataFIle.get_channel_units()"
  std::span<const char* const> params;
};

// Binds vectorcall arguments to `sig.params`, all positional-or-keyword and
// required; `out` receives borrowed references. On failure returns false
// with TypeError set: too many positional arguments first, then each
// keyword in order (unknown, or given twice), then missing parameters.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);

// The same for an argument tuple and keyword dict (the constructor).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Argument conversions. Each returns false with an exception set; a
// TypeError is already prefixed with "argument '<param>': ".

// str (or subclass) -> its UTF-8 bytes, borrowed from the object.
bool convert_str(PyObject* obj, const char* param, std::string_view& out);
// int or __index__ object in 0..255.
bool convert_segment(PyObject* obj, const char* param, uint8_t& out);
// str or os.PathLike returning str -> filesystem-encoded bytes.
bool convert_path(PyObject* obj, const char* param, std::string& out);

}  // namespace zu::py
