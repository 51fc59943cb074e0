// Whether a call had the log to itself while it held the process lock.
//
// Nothing but the lock word keeps two processes out of the log at once, and
// the word lives in a file that others may write (see shared_writes.h). A
// call that appended checks, before it releases the word, that the log is
// still the file it appended to and holds exactly what it expects; the
// releaser also sees whether the word was still its own. Two calls that
// both pass appended one after the other, each after catching up with the
// other, so what they return stands. A call that fails the check returns an
// error instead of its result, after putting back any message its own
// records replaced; and a compaction carries over what others appended to
// the old log while it rewrote it.
#include <unistd.h>

#include <string>

#include "queue/commit_marks.h"
#include "queue/file_io.h"
#include "queue/queue.h"
#include "queue/shared_writes.h"
#include "queue/system_calls.h"
#include "queue/tamper_report.h"

namespace ferrow {
namespace {

Result<std::string> read_range(int fd, const std::string& path, uint64_t from, uint64_t to) {
  std::string bytes(to - from, '\0');
  Result<size_t> got = pread_up_to(fd, path, bytes.data(), bytes.size(), from);
  if (!got.ok()) return got.error();
  bytes.resize(got.value());
  return bytes;
}

}  // namespace

Status Queue::check_held_alone(uint64_t start_pos, uint64_t start_generation,
                               uint64_t start_next_seq) {
  const bool appended =
      storage_.generation() != start_generation || storage_.append_pos() != start_pos;
  if (!appended) return {};
  // The usual answer costs one lseek: the file ends where this call's
  // records end, and no rewrite was announced since this process's
  // generation (a rewriter announces before it renames: a call that
  // appended to a log renamed away sees the announcement).
  const off_t end = system_calls.lseek(storage_.log_fd(), 0, SEEK_END);
  if (end >= 0 && static_cast<uint64_t>(end) == storage_.append_pos() &&
      !CommitMarks(lock_->header()).rewrite_announced_after(storage_.generation())) {
    return {};
  }
  Result<FileStatus> log = status_of(storage_.log_fd(), storage_.log_path());
  if (!log.ok()) return log.error();
  if (log.value().links > 0 && log.value().length == storage_.append_pos()) return {};

  // Someone else appended while this call held the lock, or replaced the log
  // under it: positions in this process's index may be wrong, so the next
  // call replays the log.
  stale_ = true;
  const QueueError shared = shared_hold_error(storage_.log_path(), lock_->path());
  if (log.value().links > 0 && storage_.generation() == start_generation &&
      log.value().length > start_pos) {
    Result<std::string> tail =
        read_range(storage_.log_fd(), storage_.log_path(), start_pos, log.value().length);
    if (!tail.ok()) return tail.error();
    const std::string again = first_enqueues_again(whole_frames(tail.value()), start_next_seq);
    if (!again.empty()) {
      FERROW_TRY(write_all(storage_.log_fd(), storage_.log_path(), again, WRITE_BUFFERED_TEXT));
      FERROW_TRY(sync_fd(storage_.log_fd(), storage_.log_path()));
    }
  }
  return shared;
}

Status Queue::before_cut() {
  if (lock_->holds_word()) return {};
  stale_ = true;
  return shared_hold_error(storage_.log_path(), lock_->path());
}

void Queue::note_lock_word_changed() {
  (void)shared_hold_error(storage_.log_path(), lock_->path());  // reports it
}

Result<std::string> Queue::appends_behind_rewrite(uint64_t* read_to,
                                                  std::unordered_set<uint64_t>* seen,
                                                  bool* repeats_held) {
  *repeats_held = false;
  Result<FileStatus> old_log = status_of(storage_.log_fd(), storage_.log_path());
  if (!old_log.ok()) return old_log.error();
  if (old_log.value().length <= *read_to) return std::string();
  Result<std::string> late =
      read_range(storage_.log_fd(), storage_.log_path(), *read_to, old_log.value().length);
  if (!late.ok()) return late.error();
  (void)shared_hold_error(storage_.log_path(), lock_->path());  // reports it
  const std::string_view whole = whole_frames(late.value());
  *read_to += whole.size();
  // Of an id enqueued twice meanwhile, only the first Enqueue can be a
  // returned message: a later one came from a call that failed. A later
  // Enqueue of an id this rewrite already holds is that, or a returned
  // message written again by such a call; *repeats_held tells the rewrite,
  // which alone can judge where it stands.
  return without_repeated_enqueues(whole, state_.next_seq(), seen, repeats_held);
}

Status Queue::carry_over(const std::string& frames) {
  if (frames.empty()) return {};
  FERROW_TRY(write_all(storage_.log_fd(), storage_.log_path(), frames, WRITE_BUFFERED_TEXT));
  return sync_fd(storage_.log_fd(), storage_.log_path());
}

}  // namespace ferrow
