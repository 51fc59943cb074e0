#include "binding/ferrow_core.h"

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/results.h"

namespace ferrow::binding {
namespace {

constexpr const char* NEW_PARAMETERS[] = {"path", "sync_interval_ms", "default_lease_ms",
                                          "auto_compact_bytes"};
constexpr const char* BODY[] = {"body"};
constexpr const char* BODIES[] = {"bodies"};
constexpr const char* LEASE[] = {"lease_ms"};
constexpr const char* MAX_LEASE[] = {"max", "lease_ms"};
constexpr const char* SEQ[] = {"seq"};
constexpr const char* SEQS[] = {"seqs"};
constexpr const char* SEQ_REQUEUE[] = {"seq", "requeue"};
constexpr const char* SEQ_LEASE[] = {"seq", "lease_ms"};

constexpr Signature NEW_SIGNATURE{"FerrowCore.__new__()", NEW_PARAMETERS, 4, 1};
constexpr Signature ENQUEUE{"FerrowCore.enqueue()", BODY, 1, 1};
constexpr Signature ENQUEUE_BATCH{"FerrowCore.enqueue_batch()", BODIES, 1, 1};
constexpr Signature DEQUEUE{"FerrowCore.dequeue()", LEASE, 1, 0};
constexpr Signature DEQUEUE_BATCH{"FerrowCore.dequeue_batch()", MAX_LEASE, 2, 1};
constexpr Signature ACK{"FerrowCore.ack()", SEQ, 1, 1};
constexpr Signature ACK_BATCH{"FerrowCore.ack_batch()", SEQS, 1, 1};
constexpr Signature NACK{"FerrowCore.nack()", SEQ_REQUEUE, 2, 1};
constexpr Signature EXTEND_LEASE{"FerrowCore.extend_lease()", SEQ_LEASE, 2, 1};

// The engine's defaults stand in for None in the constructor; the engine
// always receives numbers.
constexpr QueueOptions DEFAULTS{};

// Holds a shared borrow of the instance for the duration of one method call.
// The method descriptor has already checked that `self` is a FerrowCore.
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* self) : core_(reinterpret_cast<FerrowCoreObject*>(self)) {
    ++core_->shared_borrows;
  }
  ~SharedBorrow() { --core_->shared_borrows; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

  Queue& queue() const { return *core_->queue; }

 private:
  FerrowCoreObject* core_;
};

// The Python value of a finished operation, or its exception.
template <typename T, typename Convert>
PyObject* respond(Result<T>& result, Convert convert) {
  if (!result.ok()) return raise_queue_error(result.error());
  return convert(result.value());
}

PyObject* respond(const Status& status) {
  if (!status.ok()) return raise_queue_error(status.error());
  return none_result();
}

}  // namespace

PyObject* ferrow_core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[4];
  if (!bind_arguments(NEW_SIGNATURE, args, kwargs, a)) return nullptr;
  std::string path;
  QueueOptions options;
  if (!to_path_text(a[0], path)) return argument_error("path");
  if (!to_optional_u64(a[1], DEFAULTS.sync_interval_ms, options.sync_interval_ms)) {
    return argument_error("sync_interval_ms");
  }
  if (!to_optional_u64(a[2], DEFAULTS.default_lease_ms, options.default_lease_ms)) {
    return argument_error("default_lease_ms");
  }
  if (!to_optional_u64(a[3], DEFAULTS.auto_compact_bytes, options.auto_compact_bytes)) {
    return argument_error("auto_compact_bytes");
  }

  // Ctrl-C and other signals whose handler raises end a wait for the lock.
  options.lock_wait.interrupted = python_signal_raised;
  auto opened = Queue::open(path, options);
  if (!opened.ok()) return raise_queue_error(opened.error());

  // The instance is allocated only now, so there is never a FerrowCore
  // without an open queue. If allocation fails, `opened` closes the queue.
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* core = reinterpret_cast<FerrowCoreObject*>(self);
  new (&core->queue) std::unique_ptr<Queue>(std::move(opened.value()));
  core->shared_borrows = 0;
  return self;
}

void ferrow_core_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Destroying the queue flushes and syncs what it still buffers, then
  // releases its handles and mappings.
  reinterpret_cast<FerrowCoreObject*>(self)->queue.~unique_ptr();
  auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_instance(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

PyObject* ferrow_core_enqueue(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!bind_arguments(ENQUEUE, args, kwargs, a)) return nullptr;
  SharedBorrow borrow(self);
  std::string body;
  if (!to_byte_string(a[0], body)) return argument_error("body");
  auto result = borrow.queue().enqueue(body);
  return respond(result, u64_result);
}

PyObject* ferrow_core_enqueue_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!bind_arguments(ENQUEUE_BATCH, args, kwargs, a)) return nullptr;
  SharedBorrow borrow(self);
  ByteViews bodies;
  if (!to_byte_views(a[0], bodies)) return argument_error("bodies");
  // Nothing to write: no lock, no catch-up, even while another process
  // holds the queue.
  if (bodies.views().empty()) return u64_list_result({});
  auto result = borrow.queue().enqueue_batch(bodies.views());
  return respond(result, u64_list_result);
}

PyObject* ferrow_core_dequeue(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!bind_arguments(DEQUEUE, args, kwargs, a)) return nullptr;
  SharedBorrow borrow(self);
  Queue& queue = borrow.queue();
  uint64_t lease_ms;
  if (!to_optional_u64(a[0], queue.options().default_lease_ms, lease_ms)) {
    return argument_error("lease_ms");
  }
  auto result = queue.dequeue(lease_ms);
  return respond(result, [](const std::optional<DeliveredMessage>& message) {
    return message.has_value() ? message_result(*message) : none_result();
  });
}

PyObject* ferrow_core_dequeue_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!bind_arguments(DEQUEUE_BATCH, args, kwargs, a)) return nullptr;
  SharedBorrow borrow(self);
  Queue& queue = borrow.queue();
  uint64_t max;
  uint64_t lease_ms;
  if (!to_u64(a[0], max)) return argument_error("max");
  if (!to_optional_u64(a[1], queue.options().default_lease_ms, lease_ms)) {
    return argument_error("lease_ms");
  }
  auto result = queue.dequeue_batch(max, lease_ms);
  return respond(result, message_list_result);
}

PyObject* ferrow_core_ack(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!bind_arguments(ACK, args, kwargs, a)) return nullptr;
  SharedBorrow borrow(self);
  uint64_t seq;
  if (!to_u64(a[0], seq)) return argument_error("seq");
  auto result = borrow.queue().ack(seq);
  return respond(result, bool_result);
}

PyObject* ferrow_core_ack_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!bind_arguments(ACK_BATCH, args, kwargs, a)) return nullptr;
  SharedBorrow borrow(self);
  std::vector<uint64_t> seqs;
  if (!to_u64_list(a[0], seqs)) return argument_error("seqs");
  // As for enqueue_batch: an empty batch never touches the queue.
  if (seqs.empty()) return u64_result(0);
  auto result = borrow.queue().ack_batch(seqs);
  return respond(result, u64_result);
}

PyObject* ferrow_core_nack(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!bind_arguments(NACK, args, kwargs, a)) return nullptr;
  SharedBorrow borrow(self);
  uint64_t seq;
  bool requeue = true;
  if (!to_u64(a[0], seq)) return argument_error("seq");
  if (a[1] != nullptr && !to_strict_bool(a[1], requeue)) return argument_error("requeue");
  auto result = borrow.queue().nack(seq, requeue);
  return respond(result, bool_result);
}

PyObject* ferrow_core_extend_lease(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!bind_arguments(EXTEND_LEASE, args, kwargs, a)) return nullptr;
  SharedBorrow borrow(self);
  Queue& queue = borrow.queue();
  uint64_t seq;
  uint64_t lease_ms;
  if (!to_u64(a[0], seq)) return argument_error("seq");
  if (!to_optional_u64(a[1], queue.options().default_lease_ms, lease_ms)) {
    return argument_error("lease_ms");
  }
  auto result = queue.extend_lease(seq, lease_ms);
  return respond(result, bool_result);
}

PyObject* ferrow_core_available(PyObject* self, PyObject*) {
  SharedBorrow borrow(self);
  auto result = borrow.queue().available();
  return respond(result, u64_result);
}

PyObject* ferrow_core_in_flight(PyObject* self, PyObject*) {
  SharedBorrow borrow(self);
  auto result = borrow.queue().in_flight();
  return respond(result, u64_result);
}

PyObject* ferrow_core_stats(PyObject* self, PyObject*) {
  SharedBorrow borrow(self);
  auto result = borrow.queue().stats();
  return respond(result, stats_result);
}

PyObject* ferrow_core_flush(PyObject* self, PyObject*) {
  SharedBorrow borrow(self);
  return respond(borrow.queue().flush());
}

PyObject* ferrow_core_compact(PyObject* self, PyObject*) {
  SharedBorrow borrow(self);
  return respond(borrow.queue().compact());
}

PyObject* ferrow_core_purge(PyObject* self, PyObject*) {
  SharedBorrow borrow(self);
  return respond(borrow.queue().purge());
}

PyObject* ferrow_core_verify_integrity(PyObject* self, PyObject*) {
  SharedBorrow borrow(self);
  auto result = borrow.queue().verify_integrity();
  return respond(result, integrity_result);
}

}  // namespace ferrow::binding
