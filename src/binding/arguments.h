// Turning the Python arguments of a call into the plain values the queue
// takes: binding a positional tuple and keyword dict to a parameter list, and
// converting each bound object. Every function here that can fail returns
// false (or nullptr) with a Python exception set.
#ifndef FERROW_BINDING_ARGUMENTS_H_
#define FERROW_BINDING_ARGUMENTS_H_

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "binding/python_api.h"

namespace ferrow::binding {

// The parameter list of one function. The first `required` names have no
// default; every parameter may be given by position or by keyword.
struct Signature {
  const char* full_name;  // as it appears in messages, e.g. "FerrowCore.ack()"
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
};

bool bind_arguments_slow(const Signature& signature, PyObject* args, PyObject* kwargs,
                         PyObject** slots);

// Fills slots[0 .. count) with borrowed references; an omitted optional
// parameter is left as nullptr. Calls without keywords, the common case, never
// leave this function.
inline bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                           PyObject** slots) {
  if (kwargs == nullptr) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given >= signature.required && given <= signature.count) {
      for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, i);
      for (Py_ssize_t i = given; i < signature.count; ++i) slots[i] = nullptr;
      return true;
    }
  }
  return bind_arguments_slow(signature, args, kwargs, slots);
}

// Conversions. None of them adds the parameter name to its error; the caller
// does that through argument_error() once a conversion has failed.
bool to_u64(PyObject* obj, uint64_t& out);
// nullptr (omitted) and None give `fallback`.
bool to_optional_u64(PyObject* obj, uint64_t fallback, uint64_t& out);
// Exactly True or False, or a numpy boolean scalar.
bool to_strict_bool(PyObject* obj, bool& out);
// Any sequence of ints in 0..255 except a str; appends to `out`.
bool to_byte_string(PyObject* obj, std::string& out);

// The bodies of a batch, as views for the queue to encode from: an exact
// bytes object is viewed in place (it cannot change, and a reference keeps
// it alive as long as the views), anything else is converted into a string
// of its own. Saves a copy and an allocation per body.
class ByteViews {
 public:
  ByteViews() = default;
  ~ByteViews();
  ByteViews(const ByteViews&) = delete;
  ByteViews& operator=(const ByteViews&) = delete;

  void reserve(size_t n);
  // Appends the view of one item; false with an exception set if it is no
  // sequence of bytes.
  bool add(PyObject* item);
  const std::vector<std::string_view>& views() const { return views_; }

 private:
  std::vector<std::string_view> views_;
  std::vector<PyObject*> held_;        // the bytes objects viewed
  std::deque<std::string> converted_;  // never moved once made: views point into them
};
bool to_byte_views(PyObject* obj, ByteViews& out);
bool to_u64_list(PyObject* obj, std::vector<uint64_t>& out);
bool to_path_text(PyObject* obj, std::string& out);

// Reports that converting parameter `name` failed: a pending exception of
// exactly TypeError is replaced by TypeError("argument '<name>': <message>"),
// keeping its __cause__; any other exception is left as it is. Returns
// nullptr so that a method can `return argument_error("seq");`.
PyObject* argument_error(const char* name);

}  // namespace ferrow::binding

#endif  // FERROW_BINDING_ARGUMENTS_H_
