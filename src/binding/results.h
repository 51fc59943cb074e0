// Building the Python objects that methods return. Each function returns a
// new reference, or nullptr with an exception set: PanicException when the
// interpreter could not create an object, the interpreter's own error when a
// dict insertion fails.
#ifndef FERROW_BINDING_RESULTS_H_
#define FERROW_BINDING_RESULTS_H_

#include <cstdint>
#include <vector>

#include "binding/python_api.h"
#include "queue/queue.h"

namespace ferrow::binding {

PyObject* u64_result(uint64_t value);
PyObject* bool_result(bool value);
PyObject* none_result();
PyObject* u64_list_result(const std::vector<uint64_t>& values);
// (seq, body, deliveries, enqueued_ts_ms)
PyObject* message_result(const DeliveredMessage& message);
PyObject* message_list_result(const std::vector<DeliveredMessage>& messages);
PyObject* stats_result(const QueueStats& stats);
PyObject* integrity_result(const IntegrityReport& report);

}  // namespace ferrow::binding

#endif  // FERROW_BINDING_RESULTS_H_
