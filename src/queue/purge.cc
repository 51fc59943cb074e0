// Emptying a queue: a new log holding only a header, under a new generation.
#include <fcntl.h>

#include "queue/file_io.h"
#include "queue/queue.h"

namespace ferrow {
Status Queue::purge_log() {
  if (!persistent()) {
    state_.reset();
    return {};
  }
  const uint64_t generation = storage_.generation() + 1;
  TemporaryName tmp_path(join_path(dir_, PURGE_TMP_NAME));
  {
    Result<FileHandle> tmp = create_exclusive(tmp_path.path());
    if (!tmp.ok()) return tmp.error();
    FERROW_TRY(copy_mode_and_group(storage_.log_fd(), storage_.log_path(), tmp.value().fd(),
                                   tmp_path.path()));
    FERROW_TRY(write_all(tmp.value().fd(), tmp_path.path(), encode_file_header(generation),
                         WRITE_WHOLE_TEXT));
    FERROW_TRY(sync_fd(tmp.value().fd(), tmp_path.path()));
  }
  // Announced before the rename (see commit_marks.h).
  CommitMarks marks(lock_->header());
  marks.announce_rewrite(generation);
  RewriteAnnouncement announced(marks);
  FERROW_TRY(rename_file(tmp_path.path(), storage_.log_path()));
  tmp_path.renamed();
  // The state is emptied only once the new log is in place: before that, a
  // failure leaves the old log, with every message, in charge.
  FERROW_TRY(sync_parent_dir(storage_.log_path()));
  FERROW_TRY(storage_.reopen_log(generation));
  storage_.advance_to(FILE_HEADER_LEN);  // anything past it another holder appended
  state_.reset();
  note_durable_rewrite();
  announced.finish(generation, FILE_HEADER_LEN);
  return {};
}

}  // namespace ferrow
