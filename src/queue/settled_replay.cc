#include "queue/settled_replay.h"

#include <unistd.h>

#include "queue/clock.h"

namespace ferrow {

Result<ReplayResult> replay_settled_log(const std::string& log_path, CommitMarks& marks,
                                        const std::function<Status()>& before_cut) {
  const uint64_t give_up = monotonic_ns() + REWRITE_WAIT_MS * 1000000;
  for (;;) {
    const uint64_t before = marks.appended_word();
    Result<ReplayResult> replayed = open_log(log_path, before_cut);
    if (!replayed.ok()) return replayed;
    const uint64_t generation = replayed.value().generation;
    const bool unfinished = marks.rewrite_unfinished(generation);
    // A rewrite that finished while this replay read its log may have
    // carried over, behind what the replay read, the appends of others that
    // raced it: those are returned messages, and only a second replay sees
    // them. (Whether it finished is asked before and after the read: asked
    // only after, a replay begun before the carry-over passes for settled.)
    const bool finished_meanwhile =
        !unfinished && !CommitMarks::rewrite_finished_in(before, generation) &&
        CommitMarks::rewrite_finished_in(marks.appended_word(), generation);
    if (!unfinished && !finished_meanwhile) return replayed;
    if (monotonic_ns() > give_up) {
      if (!unfinished) return replayed;
      marks.drop_unfinished_rewrite();
      return open_log(log_path, before_cut);
    }
    if (unfinished) ::usleep(100);
  }
}

}  // namespace ferrow
