// The numbers of the engine's files that programs outside it use too: the
// administration tool reads `.proc_lock` and `queue.log` itself, and the
// Redis queue sizes messages as log records. They keep copies in their own
// languages; the module hands this table to Python so that one test can
// hold every copy to the engine's value.
#ifndef FERROW_QUEUE_SHARED_CONSTANTS_H_
#define FERROW_QUEUE_SHARED_CONSTANTS_H_

#include <cstdint>
#include <span>

namespace ferrow {

struct NamedConstant {
  const char* name;
  uint64_t value;
};

std::span<const NamedConstant> shared_constants();

}  // namespace ferrow

#endif  // FERROW_QUEUE_SHARED_CONSTANTS_H_
