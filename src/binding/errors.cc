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
// (An operating-system failure then gains its errno and its place:
// raise_os_error.)
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

// Raises OSError with the message alone, like raise_with_message, and then
// sets `errno` to the error's number, so that callers can tell causes
// apart, and adds a note naming the call and the file ("Ferrow: fsync
// failed on /q/queue.log"), which tracebacks print after the message.
// strerror and filename stay None: OSError's str() would otherwise become
// "[Errno N] strerror: 'filename'" in place of the message callers match,
// and the class stays OSError itself (a subclass is picked only when the
// constructor is given the number).
PyObject* raise_os_error(const std::string& message, const QueueError& error) {
  if (error.error_number() == 0) return raise_with_message(PyExc_OSError, message);
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return python_api_failure();
  PyObject* exc = PyObject_CallFunctionObjArgs(PyExc_OSError, text, nullptr);
  Py_DECREF(text);
  if (exc == nullptr) return python_api_failure();
  PyObject* number = PyLong_FromLong(error.error_number());
  bool ok = number != nullptr && PyObject_SetAttrString(exc, "errno", number) == 0;
  Py_XDECREF(number);
  if (ok && error.call() != nullptr) {
    const std::string where = std::string("Ferrow: ") + error.call() + " failed on " + error.path();
    // Paths are bytes to the kernel; one that is not UTF-8 still makes a note.
    PyObject* note = PyUnicode_DecodeUTF8(where.data(), static_cast<Py_ssize_t>(where.size()),
                                          "replace");
    PyObject* notes = note != nullptr ? PyList_New(1) : nullptr;
    if (notes != nullptr) PyList_SetItem(notes, 0, note);  // steals the note
    else Py_XDECREF(note);
    ok = notes != nullptr && PyObject_SetAttrString(exc, "__notes__", notes) == 0;
    Py_XDECREF(notes);
  }
  if (!ok) {
    Py_DECREF(exc);
    return python_api_failure();
  }
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
      return raise_os_error("Ferrow I/O error: " + error.message(), error);
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
