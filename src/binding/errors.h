// Turning failures into Python exceptions: the errors the queue returns as
// values, and the rare failure of the interpreter to build a result object.
#ifndef FERROW_BINDING_ERRORS_H_
#define FERROW_BINDING_ERRORS_H_

#include "binding/python_api.h"
#include "queue/result.h"

namespace ferrow::binding {

// Raises the exception that stands for `error`; returns nullptr.
PyObject* raise_queue_error(const QueueError& error);

// Called inside a catch block: raises MemoryError for std::bad_alloc and
// PanicException for any other C++ exception. Returns nullptr.
PyObject* raise_cpp_exception();

// The lock wait's interrupt hook: runs pending signal handlers and answers
// true when one raised (the exception stays set for the caller to return).
bool python_signal_raised();

// For a result object the interpreter could not create (the only cause is
// exhausted memory): prints the pending error and raises PanicException
// "Python API call failed". Returns nullptr.
PyObject* python_api_failure();

// The PanicException class, a direct subclass of BaseException so that an
// ordinary `except Exception` does not swallow a broken invariant. Created on
// first use and kept for the life of the process; a borrowed reference, or
// nullptr with an exception set.
PyObject* panic_exception_type();

}  // namespace ferrow::binding

#endif  // FERROW_BINDING_ERRORS_H_
