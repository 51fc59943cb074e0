// Replaying a log that a rewrite may still be putting in place.
//
// Under the process lock nobody sees a rewrite half done. But when the lock
// word was changed under one of them, a process may find a new log that its
// rewriter has renamed into place and not yet finished: it still carries
// over what others appended to the old log, and that must come before
// anything appended to the new one. The rewriter announces the new
// generation as unfinished in .proc_lock until then (see commit_marks.h).
#ifndef FERROW_QUEUE_SETTLED_REPLAY_H_
#define FERROW_QUEUE_SETTLED_REPLAY_H_

#include <functional>
#include <string>

#include "queue/commit_marks.h"
#include "queue/log_replay.h"

namespace ferrow {

// Replays the log once its generation is not announced as unfinished, and
// again if its rewrite finished while the replay read it. An announcement
// that outlasts REWRITE_WAIT_MS is taken for that of a rewriter that died:
// it is withdrawn and the log replayed as it is.
inline constexpr uint64_t REWRITE_WAIT_MS = 2000;
Result<ReplayResult> replay_settled_log(const std::string& log_path, CommitMarks& marks,
                                        const std::function<Status()>& before_cut);

}  // namespace ferrow

#endif  // FERROW_QUEUE_SETTLED_REPLAY_H_
