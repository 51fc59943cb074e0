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
// (An operating-system failure then gains its errno: raise_os_error.)
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

// The error number that an operating-system failure's text ends with
// ("... (os error 13)"), or 0 for a text the engine formed itself.
long trailing_error_number(const std::string& text) {
  static const std::string kMark = " (os error ";
  if (text.empty() || text.back() != ')') return 0;
  const size_t at = text.rfind(kMark);
  if (at == std::string::npos) return 0;
  const size_t first = at + kMark.size();
  const size_t end = text.size() - 1;
  if (first == end || end - first > 9) return 0;
  long number = 0;
  for (size_t i = first; i < end; i++) {
    if (text[i] < '0' || text[i] > '9') return 0;
    number = number * 10 + (text[i] - '0');
  }
  return number;
}

// Raises OSError with the message alone, like raise_with_message, and then
// sets `errno` to the number the engine's text ends with, so that callers
// can tell causes apart. strerror stays None, which keeps str(exc) the
// message and the class OSError itself (a subclass is picked only when the
// constructor is given the number).
PyObject* raise_os_error(const std::string& message, long number) {
  if (number == 0) return raise_with_message(PyExc_OSError, message);
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return python_api_failure();
  PyObject* exc = PyObject_CallFunctionObjArgs(PyExc_OSError, text, nullptr);
  Py_DECREF(text);
  if (exc == nullptr) return python_api_failure();
  PyObject* value = PyLong_FromLong(number);
  if (value == nullptr || PyObject_SetAttrString(exc, "errno", value) != 0) {
    Py_XDECREF(value);
    Py_DECREF(exc);
    return python_api_failure();
  }
  Py_DECREF(value);
  PyErr_SetObject(PyExc_OSError, exc);
  Py_DECREF(exc);
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
      return raise_os_error("Ferrow I/O error: " + error.message(),
                            trailing_error_number(error.message()));
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
