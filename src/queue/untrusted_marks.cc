// The group commit's side of the mark checks: what a call does when the
// shared marks that would spare its fsync cannot be believed.
#include <algorithm>

#include "queue/queue.h"

namespace ferrow {

Result<bool> Queue::synced_mark_believed(CommitMarks& marks, uint64_t generation) {
  return mark_checks_.believe_synced(generation, marks.synced(generation), storage_.log_fd(),
                                     storage_.log_path(), lock_->path());
}

Status Queue::sync_despite_mark(CommitMarks& marks, uint64_t generation, uint64_t need) {
  const uint64_t claimed = marks.synced(generation);
  FERROW_TRY(storage_.sync_log(/*force=*/true));
  // Everything this process appended or saw is covered now; a false claim
  // beyond that is put right for the others, unless it changed meanwhile.
  marks.correct_synced(generation, claimed, std::max(need, storage_.append_pos()));
  return {};
}

void Queue::forget_marks_beyond(uint64_t end) {
  CommitMarks(lock_->header()).forget_beyond(storage_.generation(), end);
}

}  // namespace ferrow
