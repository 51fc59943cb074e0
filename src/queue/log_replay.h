// Opening queue.log: create or reinitialise it, replay every frame into a
// fresh QueueState, and cut a damaged tail at the first bad frame.
#ifndef FERROW_QUEUE_LOG_REPLAY_H_
#define FERROW_QUEUE_LOG_REPLAY_H_

#include <cstdint>
#include <functional>
#include <string>

#include "queue/file_io.h"
#include "queue/queue_state.h"
#include "queue/result.h"

namespace ferrow {

struct ReplayResult {
  QueueState state;
  uint64_t generation;
  uint64_t end_offset;  // just past the last accepted frame: the file length
  FileIdentity identity = {};  // of the file replayed
};

// REQUIRES: the caller holds the process lock. May create, reinitialise or
// shorten the file; a damaged tail is reported by one "Ferrow: ..." line on
// standard error. `before_cut`, if given, runs right before a cut; its error
// ends the replay with nothing cut (a frame may look damaged only because
// another holder, let in by a changed lock word, is still writing it).
Result<ReplayResult> open_log(const std::string& log_path,
                              const std::function<Status()>& before_cut = nullptr);

}  // namespace ferrow

#endif  // FERROW_QUEUE_LOG_REPLAY_H_
