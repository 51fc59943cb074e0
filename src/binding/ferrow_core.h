// The FerrowCore instance and the C functions behind its constructor and
// methods. The class itself (type slots, method table, docstrings) is
// assembled in module.cc.
#ifndef FERROW_BINDING_FERROW_CORE_H_
#define FERROW_BINDING_FERROW_CORE_H_

#include <cstdint>
#include <memory>

#include "binding/python_api.h"
#include "queue/queue.h"

namespace ferrow::binding {

struct FerrowCoreObject {
  PyObject_HEAD
  // Constructed in place once the queue is open and destroyed explicitly in
  // dealloc: the interpreter allocates instances as raw memory.
  std::unique_ptr<Queue> queue;
  // Calls currently inside a method of this instance. All borrows are
  // shared, so the count is bookkeeping and never refuses a call.
  uint64_t shared_borrows;
};

PyObject* ferrow_core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void ferrow_core_dealloc(PyObject* self);

// METH_VARARGS | METH_KEYWORDS
PyObject* ferrow_core_enqueue(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ferrow_core_enqueue_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ferrow_core_dequeue(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ferrow_core_dequeue_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ferrow_core_ack(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ferrow_core_ack_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ferrow_core_nack(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ferrow_core_extend_lease(PyObject* self, PyObject* args, PyObject* kwargs);

// METH_NOARGS
PyObject* ferrow_core_available(PyObject* self, PyObject* unused);
PyObject* ferrow_core_in_flight(PyObject* self, PyObject* unused);
PyObject* ferrow_core_stats(PyObject* self, PyObject* unused);
PyObject* ferrow_core_flush(PyObject* self, PyObject* unused);
PyObject* ferrow_core_compact(PyObject* self, PyObject* unused);
PyObject* ferrow_core_purge(PyObject* self, PyObject* unused);
PyObject* ferrow_core_verify_integrity(PyObject* self, PyObject* unused);

}  // namespace ferrow::binding

#endif  // FERROW_BINDING_FERROW_CORE_H_
