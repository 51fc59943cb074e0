// Emptying a queue: a new log holding only a header, under a new generation.
#include <optional>

#include "queue/file_io.h"
#include "queue/queue.h"
#include "queue/replace_log.h"

namespace ferrow {

Status Queue::purge_log() {
  if (!persistent()) {
    state_.reset();
    return {};
  }
  const uint64_t generation = storage_.generation() + 1;
  // Announced before the rename (see commit_marks.h).
  CommitMarks marks(lock_->header());
  std::optional<RewriteAnnouncement> announced;
  // The state is emptied only once the new log is in place: before that, a
  // failure leaves the old log, with every message, in charge.
  FERROW_TRY(replace_log(storage_, {join_path(dir_, PURGE_TMP_NAME), generation, nullptr,
                                    [&]() -> Status {
                                      marks.announce_rewrite(generation);
                                      announced.emplace(marks);
                                      return {};
                                    },
                                    nullptr}));
  FERROW_TRY(storage_.reopen_log(generation));
  storage_.advance_to(FILE_HEADER_LEN);  // anything past it another holder appended
  state_.reset();
  note_durable_rewrite();
  announced->finish(generation, FILE_HEADER_LEN);
  return {};
}

}  // namespace ferrow
