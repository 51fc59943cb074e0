// Makes the engine's system calls fail on demand, through the table of
// queue/system_calls.h: the calls of one kind after the first `skip` fail
// with an error, and writes can be cut short. Every call is counted.
//
// One FaultInjection at a time, within one test: it installs its table when
// made and puts the POSIX one back when destroyed.
#ifndef FERROW_TESTS_CPP_FAULT_INJECTION_H_
#define FERROW_TESTS_CPP_FAULT_INJECTION_H_

#include <cstddef>
#include <cstdint>

#include "queue/system_calls.h"

namespace ferrow {

class FaultInjection {
 public:
  FaultInjection();
  ~FaultInjection();
  FaultInjection(const FaultInjection&) = delete;
  FaultInjection& operator=(const FaultInjection&) = delete;

  // The `count` calls of `call` that follow the next `skip` fail with
  // `error` (and do nothing).
  void fail(SystemCall call, int error, uint64_t skip = 0, uint64_t count = 1);
  // The next write after `skip` takes at most `max_bytes` bytes (0: none).
  void short_write(size_t max_bytes, uint64_t skip = 0);
  // Ends every armed fault.
  void disarm();
  uint64_t calls(SystemCall call) const;
  // How many calls failed by injection so far.
  uint64_t injected(SystemCall call) const;
};

}  // namespace ferrow

#endif  // FERROW_TESTS_CPP_FAULT_INJECTION_H_
