#include "binding/arguments.h"

namespace ferrow::binding {
namespace {

// Raises TypeError("'<qualname of type>' object cannot be converted to '<target>'").
bool type_mismatch(PyObject* obj, const char* target) {
  PyObject* qualname = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  if (qualname == nullptr) return false;
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", qualname, target);
  Py_DECREF(qualname);
  return false;
}

bool set_overflow() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

// The checks every sequence conversion starts with. Returns the length to
// reserve, 0 when the object cannot tell it, or -1 with an exception set.
Py_ssize_t check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    // A str is a sequence too, but its items are str, never byte values;
    // refusing it outright gives a clearer message than failing on its first item.
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return -1;
  }
  if (!PySequence_Check(obj)) {
    type_mismatch(obj, "Sequence");
    return -1;
  }
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    // The length only sizes the result; the iteration decides what is converted.
    PyErr_Clear();
    return 0;
  }
  return hint;
}

// Runs `convert_item` over the items of `obj` in iteration order, stopping at
// the first failure.
template <typename ConvertItem>
bool for_each_item(PyObject* obj, ConvertItem convert_item) {
  PyObject* iterator = PyObject_GetIter(obj);
  if (iterator == nullptr) return false;
  bool ok = true;
  while (PyObject* item = PyIter_Next(iterator)) {
    ok = convert_item(item);
    Py_DECREF(item);
    if (!ok) break;
  }
  Py_DECREF(iterator);
  return ok && !PyErr_Occurred();
}

bool to_byte(PyObject* item, char& out) {
  long value;
  if (PyLong_Check(item)) {
    value = PyLong_AsLong(item);
  } else {
    PyObject* index = PyNumber_Index(item);
    if (index == nullptr) return false;
    value = PyLong_AsLong(index);
    Py_DECREF(index);
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) return set_overflow();
  out = static_cast<char>(static_cast<unsigned char>(value));
  return true;
}

bool is_ascii(PyObject* text, const char* expected) {
  return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// Returns 1 when `obj` is a numpy boolean scalar (its truth value in `out`),
// 0 when it is not one, -1 with an exception set. numpy's booleans are not
// bool instances, yet callers pass them where a flag is expected.
int numpy_bool(PyObject* obj, bool& out) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyObject* module = PyObject_GetAttrString(type, "__module__");
  if (module == nullptr) {
    PyErr_Clear();
    return 0;
  }
  const bool from_numpy = is_ascii(module, "numpy");
  Py_DECREF(module);
  if (!from_numpy) return 0;
  PyObject* name = PyObject_GetAttrString(type, "__name__");
  if (name == nullptr) {
    PyErr_Clear();
    return 0;
  }
  const bool boolean_type = is_ascii(name, "bool_") || is_ascii(name, "bool");
  Py_DECREF(name);
  if (!boolean_type) return 0;

  PyObject* dunder_bool = PyObject_GetAttrString(type, "__bool__");
  if (dunder_bool == nullptr) return -1;
  PyObject* truth = PyObject_CallFunctionObjArgs(dunder_bool, obj, nullptr);
  Py_DECREF(dunder_bool);
  if (truth == nullptr) return -1;
  int result = 1;
  if (truth == Py_True) {
    out = true;
  } else if (truth == Py_False) {
    out = false;
  } else {
    type_mismatch(truth, "PyBool");
    result = -1;
  }
  Py_DECREF(truth);
  return result;
}

// Writes "'a'", "'a' and 'b'" or "'a', 'b', and 'c'" for the names at `missing`.
PyObject* join_quoted(const Signature& signature, const std::vector<Py_ssize_t>& missing) {
  std::string text;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        text += " and ";
      } else {
        text += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    text += '\'';
    text += signature.names[missing[i]];
    text += '\'';
  }
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required == signature.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 signature.full_name, signature.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 signature.full_name, signature.required, signature.count, given, verb);
  }
  return false;
}

bool missing_required(const Signature& signature, const std::vector<Py_ssize_t>& missing) {
  PyObject* names = join_quoted(signature, missing);
  if (names == nullptr) return false;
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %U", signature.full_name,
               static_cast<Py_ssize_t>(missing.size()),
               missing.size() > 1 ? "arguments" : "argument", names);
  Py_DECREF(names);
  return false;
}

Py_ssize_t find_parameter(const Signature& signature, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) return -1;
  for (Py_ssize_t i = 0; i < signature.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

bool bind_arguments_slow(const Signature& signature, PyObject* args, PyObject* kwargs,
                         PyObject** slots) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given > signature.count) return too_many_positional(signature, given);
  for (Py_ssize_t i = 0; i < signature.count; ++i) {
    slots[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;
  }

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      const Py_ssize_t index = find_parameter(signature, keyword);
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                     signature.full_name, keyword);
        return false;
      }
      if (slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                     signature.full_name, keyword);
        return false;
      }
      slots[index] = value;
    }
  }

  std::vector<Py_ssize_t> missing;
  for (Py_ssize_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(i);
  }
  if (!missing.empty()) return missing_required(signature, missing);
  return true;
}

bool to_u64(PyObject* obj, uint64_t& out) {
  unsigned long long value;
  if (PyLong_CheckExact(obj) || PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return false;
    value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_optional_u64(PyObject* obj, uint64_t fallback, uint64_t& out) {
  if (obj == nullptr || obj == Py_None) {
    out = fallback;
    return true;
  }
  return to_u64(obj, out);
}

bool to_strict_bool(PyObject* obj, bool& out) {
  if (obj == Py_True) {
    out = true;
    return true;
  }
  if (obj == Py_False) {
    out = false;
    return true;
  }
  const int numpy = numpy_bool(obj, out);
  if (numpy != 0) return numpy > 0;
  return type_mismatch(obj, "PyBool");
}

bool to_byte_string(PyObject* obj, std::string& out) {
  // bytes and bytearray iterate as their own byte values, so copying their
  // buffer gives exactly what the item-by-item path below would. Subclasses
  // are left to that path because they may iterate differently.
  if (PyBytes_CheckExact(obj)) {
    out.append(PyBytes_AsString(obj), static_cast<size_t>(PyBytes_Size(obj)));
    return true;
  }
  if (PyByteArray_CheckExact(obj)) {
    out.append(PyByteArray_AsString(obj), static_cast<size_t>(PyByteArray_Size(obj)));
    return true;
  }
  const Py_ssize_t hint = check_sequence(obj);
  if (hint < 0) return false;
  out.reserve(out.size() + static_cast<size_t>(hint));
  return for_each_item(obj, [&out](PyObject* item) {
    char byte;
    if (!to_byte(item, byte)) return false;
    out.push_back(byte);
    return true;
  });
}

ByteViews::~ByteViews() {
  for (PyObject* held : held_) Py_DECREF(held);
}

void ByteViews::reserve(size_t n) {
  views_.reserve(n);
  held_.reserve(n);
}

bool ByteViews::add(PyObject* item) {
  if (PyBytes_CheckExact(item)) {
    // Held before it is viewed: a view never outlives its object.
    held_.push_back(item);
    Py_INCREF(item);
    views_.emplace_back(PyBytes_AsString(item), static_cast<size_t>(PyBytes_Size(item)));
    return true;
  }
  std::string& body = converted_.emplace_back();
  if (!to_byte_string(item, body)) return false;
  views_.emplace_back(body);
  return true;
}

bool to_byte_views(PyObject* obj, ByteViews& out) {
  const Py_ssize_t hint = check_sequence(obj);
  if (hint < 0) return false;
  out.reserve(static_cast<size_t>(hint));
  return for_each_item(obj, [&out](PyObject* item) { return out.add(item); });
}

bool to_u64_list(PyObject* obj, std::vector<uint64_t>& out) {
  const Py_ssize_t hint = check_sequence(obj);
  if (hint < 0) return false;
  out.reserve(static_cast<size_t>(hint));
  return for_each_item(obj, [&out](PyObject* item) {
    uint64_t value;
    if (!to_u64(item, value)) return false;
    out.push_back(value);
    return true;
  });
}

bool to_path_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) return type_mismatch(obj, "PyString");
  PyObject* encoded = PyUnicode_AsUTF8String(obj);
  if (encoded == nullptr) return false;
  out.assign(PyBytes_AsString(encoded), static_cast<size_t>(PyBytes_Size(encoded)));
  Py_DECREF(encoded);
  return true;
}

PyObject* argument_error(const char* name) {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  // Only a plain TypeError gets the parameter name: subclasses and other
  // classes may carry meaning of their own that a wrapper would hide.
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return nullptr;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Py_XDECREF(traceback);
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  PyObject* cause = value != nullptr ? PyException_GetCause(value) : nullptr;
  Py_XDECREF(value);
  Py_DECREF(type);
  if (text == nullptr) {
    Py_XDECREF(cause);
    return nullptr;
  }
  PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
  Py_DECREF(text);
  PyObject* replacement =
      message != nullptr ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr) : nullptr;
  Py_XDECREF(message);
  if (replacement == nullptr) {
    Py_XDECREF(cause);
    return nullptr;
  }
  if (cause != nullptr) PyException_SetCause(replacement, cause);  // steals cause
  PyErr_SetObject(PyExc_TypeError, replacement);
  Py_DECREF(replacement);
  return nullptr;
}

}  // namespace ferrow::binding
