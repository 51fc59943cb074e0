#include "queue/settled_replay.h"

#include <unistd.h>

#include "queue/clock.h"

namespace ferrow {

Result<ReplayResult> replay_settled_log(const std::string& log_path, CommitMarks& marks,
                                        const std::function<Status()>& before_cut) {
  const uint64_t give_up = monotonic_ns() + REWRITE_WAIT_MS * 1000000;
  for (;;) {
    Result<ReplayResult> replayed = open_log(log_path, before_cut);
    if (!replayed.ok() || !marks.rewrite_unfinished(replayed.value().generation)) {
      return replayed;
    }
    if (monotonic_ns() > give_up) {
      marks.drop_unfinished_rewrite();
      return open_log(log_path, before_cut);
    }
    ::usleep(100);
  }
}

}  // namespace ferrow
