#include "binding/errors.h"

#include <exception>
#include <new>
#include <string>

namespace ferrow::binding {
namespace {

PyObject* panic_type = nullptr;

// Raises `type` with a single str argument, so that str(exc) is the message
// and, for OSError, errno, strerror and filename stay None. OSError given
// one argument never picks an errno subclass such as FileNotFoundError.
PyObject* raise_with_message(PyObject* type, const std::string& message) {
  if (type == nullptr) return nullptr;
  // Engine texts may quote file names in the platform's encoding; a message
  // must never fail to form because of that.
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return python_api_failure();
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace

PyObject* panic_exception_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "ferrow.PanicException",
        "The queue engine reached a state its own rules exclude; the queue object\n"
        "should not be used any further.",
        PyExc_BaseException, nullptr);
  }
  return panic_type;
}

PyObject* raise_queue_error(const QueueError& error) {
  switch (error.form()) {
    case QueueError::Form::IoFailure:
      if (error.kind() == IoErrorKind::TimedOut) {
        return raise_with_message(PyExc_TimeoutError, error.message());
      }
      if (error.kind() == IoErrorKind::PermissionDenied) {
        return raise_with_message(PyExc_PermissionError, "Ferrow I/O error: " + error.message());
      }
      return raise_with_message(PyExc_OSError, "Ferrow I/O error: " + error.message());
    case QueueError::Form::BodyOutOfBounds:
      return raise_with_message(PyExc_RuntimeError, error.message());
    case QueueError::Form::OutOfMemory:
      return PyErr_NoMemory();
    case QueueError::Form::Interrupted:
      // The interrupt hook ran the signal handlers, and the one that asked
      // for the stop raised its exception (KeyboardInterrupt for Ctrl-C).
      if (PyErr_Occurred() != nullptr) return nullptr;
      return raise_with_message(PyExc_InterruptedError, error.message());
    case QueueError::Form::Internal:
      break;
  }
  return raise_with_message(panic_exception_type(), error.message());
}

PyObject* raise_cpp_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_with_message(panic_exception_type(),
                              std::string("unexpected C++ exception: ") + e.what());
  } catch (...) {
    return raise_with_message(panic_exception_type(), "unexpected C++ exception");
  }
}

bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

PyObject* python_api_failure() {
  PyErr_Print();
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, "Python API call failed");
  return nullptr;
}

}  // namespace ferrow::binding
