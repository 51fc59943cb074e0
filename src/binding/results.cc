#include "binding/results.h"

#include <string>

#include "binding/errors.h"

namespace ferrow::binding {
namespace {

// A new object or, when the interpreter failed to make one, PanicException.
PyObject* created(PyObject* obj) { return obj != nullptr ? obj : python_api_failure(); }

PyObject* new_u64(uint64_t value) { return created(PyLong_FromUnsignedLongLong(value)); }

PyObject* new_bool(bool value) {
  PyObject* obj = value ? Py_True : Py_False;
  Py_INCREF(obj);
  return obj;
}

PyObject* new_text(const std::string& text) {
  return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Inserts key -> value into `dict`, taking over the reference to `value`.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  PyObject* key_text = PyUnicode_FromString(key);
  if (key_text == nullptr) {
    Py_DECREF(value);
    python_api_failure();
    return false;
  }
  const int status = PyDict_SetItem(dict, key_text, value);
  Py_DECREF(key_text);
  Py_DECREF(value);
  return status == 0;
}

// Stores a new item into a fresh tuple; false if the item could not be made.
bool fill(PyObject* tuple, Py_ssize_t index, PyObject* item) {
  if (item == nullptr) return false;
  PyTuple_SetItem(tuple, index, item);
  return true;
}

// Finishes a container built item by item: the container, or nullptr after
// releasing it.
PyObject* finish(PyObject* container, bool complete) {
  if (complete) return container;
  Py_DECREF(container);
  return nullptr;
}

}  // namespace

PyObject* u64_result(uint64_t value) { return new_u64(value); }

PyObject* bool_result(bool value) { return new_bool(value); }

PyObject* none_result() {
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* u64_list_result(const std::vector<uint64_t>& values) {
  PyObject* list = created(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = new_u64(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* message_result(const DeliveredMessage& message) {
  PyObject* tuple = created(PyTuple_New(4));
  if (tuple == nullptr) return nullptr;
  // Short-circuiting stops at the first failure, so at most one panic is raised.
  const bool complete =
      fill(tuple, 0, new_u64(message.seq)) &&
      fill(tuple, 1, created(PyBytes_FromStringAndSize(
                         message.body.data(), static_cast<Py_ssize_t>(message.body.size())))) &&
      fill(tuple, 2, new_u64(message.deliveries)) &&
      fill(tuple, 3, new_u64(message.enqueued_ts_ms));
  return finish(tuple, complete);
}

PyObject* message_list_result(const std::vector<DeliveredMessage>& messages) {
  PyObject* list = created(PyList_New(static_cast<Py_ssize_t>(messages.size())));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < messages.size(); ++i) {
    PyObject* item = message_result(messages[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* stats_result(const QueueStats& stats) {
  PyObject* dict = created(PyDict_New());
  if (dict == nullptr) return nullptr;
  const bool complete = put(dict, "ready", new_u64(stats.ready)) &&
                        put(dict, "in_flight", new_u64(stats.in_flight)) &&
                        put(dict, "total", new_u64(stats.total)) &&
                        put(dict, "enqueued_total", new_u64(stats.enqueued_total)) &&
                        put(dict, "acked_total", new_u64(stats.acked_total)) &&
                        put(dict, "requeued_total", new_u64(stats.requeued_total)) &&
                        put(dict, "dead_total", new_u64(stats.dead_total)) &&
                        put(dict, "next_seq", new_u64(stats.next_seq)) &&
                        put(dict, "live_bytes", new_u64(stats.live_bytes)) &&
                        put(dict, "log_bytes", new_u64(stats.log_bytes)) &&
                        put(dict, "generation", new_u64(stats.generation)) &&
                        put(dict, "persistent", new_bool(stats.persistent));
  return finish(dict, complete);
}

PyObject* integrity_result(const IntegrityReport& report) {
  PyObject* dict = created(PyDict_New());
  if (dict == nullptr) return nullptr;
  const bool complete = put(dict, "ok", new_bool(report.ok)) &&
                        put(dict, "records", new_u64(report.records)) &&
                        put(dict, "bytes", new_u64(report.bytes)) &&
                        put(dict, "message", new_text(report.message));
  return finish(dict, complete);
}

}  // namespace ferrow::binding
