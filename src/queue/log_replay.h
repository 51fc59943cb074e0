// Opening queue.log: create or reinitialise it, replay every frame into a
// fresh QueueState, and cut a damaged tail at the first bad frame.
#ifndef FERROW_QUEUE_LOG_REPLAY_H_
#define FERROW_QUEUE_LOG_REPLAY_H_

#include <cstdint>
#include <string>

#include "queue/queue_state.h"
#include "queue/result.h"

namespace ferrow {

struct ReplayResult {
  QueueState state;
  uint64_t generation;
  uint64_t end_offset;  // just past the last accepted frame: the file length
};

// REQUIRES: the caller holds the process lock. May create, reinitialise or
// shorten the file; a damaged tail is reported by one "Ferrow: ..." line on
// standard error.
Result<ReplayResult> open_log(const std::string& log_path);

}  // namespace ferrow

#endif  // FERROW_QUEUE_LOG_REPLAY_H_
