// Building Python objects from header data.
#pragma once

#include <string_view>
#include <vector>

#include "binding/py.h"
#include "header/node.h"

namespace zu::py {

// A new dict (for a map) or str (for a value), nested dicts all the way
// down, built without recursion so any depth of header works. Python
// exceptions pass through; no partial result is returned.
PyObject* node_to_py(const Node& node);

// A new list of str.
PyObject* str_list(const std::vector<std::string_view>& items);

}  // namespace zu::py
