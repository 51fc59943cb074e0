// The importable module `ferrow` and its one class, FerrowCore.
#include "binding/errors.h"
#include "binding/ferrow_core.h"
#include "binding/python_api.h"
#include "queue/shared_constants.h"

namespace ferrow::binding {
namespace {

// ml_meth is declared for the two-argument form; the interpreter calls each
// function with the signature its flags announce. The detour through a
// parameterless function type keeps the compiler from flagging the cast.
template <typename Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

constexpr int WITH_ARGUMENTS = METH_VARARGS | METH_KEYWORDS;

// No C++ exception may unwind into the interpreter (it would abort the
// process): every entry point turns one into a Python exception. The
// engine's own calls already return errors instead; what is left are the
// binding's conversions, which allocate.
template <typename Call>
PyObject* without_cpp_exceptions(Call&& call) {
  try {
    return call();
  } catch (...) {
    return raise_cpp_exception();
  }
}

// The entry points, one per calling convention.
template <PyObject* (*Method)(PyObject*, PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) {
  return without_cpp_exceptions([&] { return Method(self, args, kwargs); });
}

template <PyObject* (*Method)(PyObject*, PyObject*)>
PyObject* guarded_noargs(PyObject* self, PyObject* unused) {
  return without_cpp_exceptions([&] { return Method(self, unused); });
}

PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return without_cpp_exceptions([&] { return ferrow_core_new(type, args, kwargs); });
}

// The text before "\n--\n\n" becomes each method's __text_signature__.
PyMethodDef methods[] = {
    {"enqueue", as_method(guarded<ferrow_core_enqueue>), WITH_ARGUMENTS,
     "enqueue($self, body)\n--\n\n"
     "Append a message; returns its monotonic sequence id (the ack/nack handle)."},
    {"enqueue_batch", as_method(guarded<ferrow_core_enqueue_batch>), WITH_ARGUMENTS,
     "enqueue_batch($self, bodies)\n--\n\n"
     "Append many messages under a single lock + single fsync. Returns the\n"
     "assigned sequence ids in order."},
    {"dequeue", as_method(guarded<ferrow_core_dequeue>), WITH_ARGUMENTS,
     "dequeue($self, lease_ms=None)\n--\n\n"
     "Lease the next ready message for `lease_ms` (or the queue default).\n"
     "Returns `(seq, body, deliveries, enqueued_ts_ms)` or `None` if empty.\n"
     "Expired in-flight leases are reclaimed first, so a consumer that crashed\n"
     "without acking has its messages redelivered."},
    {"dequeue_batch", as_method(guarded<ferrow_core_dequeue_batch>), WITH_ARGUMENTS,
     "dequeue_batch($self, max, lease_ms=None)\n--\n\n"
     "Lease up to `max` ready messages at once."},
    {"ack", as_method(guarded<ferrow_core_ack>), WITH_ARGUMENTS,
     "ack($self, seq)\n--\n\n"
     "Acknowledge (permanently remove) a message. Returns whether it existed."},
    {"ack_batch", as_method(guarded<ferrow_core_ack_batch>), WITH_ARGUMENTS,
     "ack_batch($self, seqs)\n--\n\n"},
    {"nack", as_method(guarded<ferrow_core_nack>), WITH_ARGUMENTS,
     "nack($self, seq, requeue=True)\n--\n\n"
     "Negative-acknowledge. `requeue=true` returns the message to the ready set\n"
     "for redelivery; `requeue=false` drops it (dead-letters). Returns whether\n"
     "it existed."},
    {"extend_lease", as_method(guarded<ferrow_core_extend_lease>), WITH_ARGUMENTS,
     "extend_lease($self, seq, lease_ms=None)\n--\n\n"
     "Renew the lease on an in-flight message without redelivering it."},
    {"available", as_method(guarded_noargs<ferrow_core_available>), METH_NOARGS,
     "available($self)\n--\n\n"
     "Number of messages ready for immediate delivery."},
    {"in_flight", as_method(guarded_noargs<ferrow_core_in_flight>), METH_NOARGS,
     "in_flight($self)\n--\n\n"
     "Number of leased (in-flight, not-yet-acked) messages."},
    {"stats", as_method(guarded_noargs<ferrow_core_stats>), METH_NOARGS,
     "stats($self)\n--\n\n"},
    // The docstring is the class's published text. Nothing is held back in
    // a buffer between calls (each record reaches the file as it is
    // appended): flush forces the fsync.
    {"flush", as_method(guarded_noargs<ferrow_core_flush>), METH_NOARGS,
     "flush($self)\n--\n\n"
     "Force a flush + fsync of any buffered records."},
    {"compact", as_method(guarded_noargs<ferrow_core_compact>), METH_NOARGS,
     "compact($self)\n--\n\n"
     "Rewrite the log keeping only live messages, reclaiming acked space."},
    {"purge", as_method(guarded_noargs<ferrow_core_purge>), METH_NOARGS,
     "purge($self)\n--\n\n"
     "Remove every message and reset the log (a fresh generation so other\n"
     "processes reload)."},
    {"verify_integrity", as_method(guarded_noargs<ferrow_core_verify_integrity>), METH_NOARGS,
     "verify_integrity($self)\n--\n\n"
     "Re-read the whole log, CRC-verifying every record. Returns a report dict\n"
     "`{ok, records, bytes, message}`. Does not mutate state."},
    {nullptr, nullptr, 0, nullptr},
};

char class_doc[] =
    "FerrowCore(path, sync_interval_ms=None, default_lease_ms=None, auto_compact_bytes=None)\n"
    "--\n\n";

PyType_Slot class_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ferrow_core_dealloc)},
    {Py_tp_doc, class_doc},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// Default flags only: no subclassing (the instance layout holds C++ members
// a subclass could not set up) and no cyclic GC (an instance references no
// Python objects). The "builtins." prefix makes __module__ "builtins".
PyType_Spec class_description = {
    "builtins.FerrowCore",
    static_cast<int>(sizeof(FerrowCoreObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    class_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ferrow",
    "",
    // 0, not -1: a re-import after `del sys.modules["ferrow"]` must call the
    // init function again (and be refused) rather than copy a cached dict.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_class = nullptr;
PyObject* the_module = nullptr;

// The class is made once per process and shared by every use.
PyObject* ferrow_core_class() {
  if (the_class == nullptr) the_class = PyType_FromSpec(&class_description);
  return the_class;
}

// Sets module.<name> = value (borrowed) and appends name to __all__,
// creating that list on first use.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    PyObject* created = PyList_New(0);
    if (created == nullptr) return false;
    const int status = PyDict_SetItemString(dict, "__all__", created);
    Py_DECREF(created);
    if (status < 0) return false;
    all = created;  // kept alive by the module dict
  }
  PyObject* name_text = PyUnicode_FromString(name);
  if (name_text == nullptr) return false;
  const int appended = PyList_Append(all, name_text);
  Py_DECREF(name_text);
  return appended == 0 && PyDict_SetItemString(dict, name, value) == 0;
}

// module._layout: the engine's shared constants by name (see
// queue/shared_constants.h), for the test that holds the copies of the
// administration tool and the Redis queue to them. Private: not in __all__.
bool add_layout(PyObject* module) {
  PyObject* table = PyDict_New();
  if (table == nullptr) return false;
  bool ok = true;
  for (const NamedConstant& constant : shared_constants()) {
    PyObject* value = PyLong_FromUnsignedLongLong(constant.value);
    ok = value != nullptr && PyDict_SetItemString(table, constant.name, value) == 0;
    Py_XDECREF(value);
    if (!ok) break;
  }
  ok = ok && PyModule_AddObject(module, "_layout", table) == 0;
  if (!ok) Py_DECREF(table);  // PyModule_AddObject took it only on success
  return ok;
}

PyObject* create_module() {
  PyObject* cls = ferrow_core_class();
  if (cls == nullptr) return nullptr;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  PyObject* version = PyUnicode_FromString("0.1.0");
  const bool ok = version != nullptr && add_public(module, "FerrowCore", cls) &&
                  add_public(module, "__version__", version) && add_layout(module);
  Py_XDECREF(version);
  if (!ok) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace
}  // namespace ferrow::binding

// The build hides every symbol but this one. Older interpreters' headers
// (3.8) give PyMODINIT_FUNC no visibility of its own, so it is declared
// exported here, or the module would build and then fail to import.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_ferrow(void);

PyMODINIT_FUNC PyInit_ferrow() {
  using namespace ferrow::binding;
  // The module keeps process-wide state (the class, the panic exception), so
  // a second module object, say from a sub-interpreter, is refused.
  if (the_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "ferrow can be initialised only once per process; a second import "
                    "(from a sub-interpreter or after removal from sys.modules) is not supported");
    return nullptr;
  }
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  // One reference stays here for the life of the process.
  Py_INCREF(module);
  the_module = module;
  return module;
}
