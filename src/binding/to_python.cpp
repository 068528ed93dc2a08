#include "binding/to_python.h"

namespace zu::py {

namespace {

PyObject* to_str(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
  Ref k(to_str(key));
  return k && PyDict_SetItem(dict, k.get(), value) == 0;
}

// One dict under construction: its map's children are added in file order,
// so the dict's items follow the header.
struct Frame {
  NodeMap::const_iterator next;
  NodeMap::const_iterator end;
  Ref dict;
  std::string_view key_in_parent;
};

Frame open_frame(const NodeMap& map, std::string_view key) {
  return Frame{map.entries.begin(), map.entries.end(), Ref(PyDict_New()), key};
}

}  // namespace

PyObject* node_to_py(const Node& node) {
  if (node.kind() == NodeKind::Value) return to_str(node.as_value().value());
  std::vector<Frame> stack;
  stack.push_back(open_frame(*node.as_map().value(), {}));
  if (!stack.back().dict) return nullptr;
  for (;;) {
    Frame& top = stack.back();
    if (top.next == top.end) {
      Frame done = std::move(top);
      stack.pop_back();
      if (stack.empty()) return done.dict.release();
      if (!set_item(stack.back().dict.get(), done.key_in_parent, done.dict.get())) return nullptr;
      continue;
    }
    const auto& [key, child] = *top.next;
    ++top.next;
    if (child.kind() == NodeKind::Value) {
      Ref value(to_str(child.as_value().value()));
      if (!value || !set_item(top.dict.get(), key, value.get())) return nullptr;
    } else {
      stack.push_back(open_frame(*child.as_map().value(), key));
      if (!stack.back().dict) return nullptr;
    }
  }
}

PyObject* str_list(const std::vector<std::string_view>& items) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* s = to_str(items[i]);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

}  // namespace zu::py
