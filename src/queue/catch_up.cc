// Bringing this process's state up to the log that all processes share.
#include "queue/file_io.h"
#include "queue/log_replay.h"
#include "queue/queue.h"
#include "queue/settled_replay.h"
#include "queue/tamper_report.h"

namespace ferrow {

Status Queue::catch_up() {
  if (!persistent()) return {};
  if (stale_) return reload();
  // One statx of the path (not following a link) tells whether it still
  // names the file this process holds: a rewrite by another process
  // (compaction, purge: a new file renamed over it), a replacement or a link
  // by anyone else all give another identity and a full replay of what is
  // there now. The same call gives the length: equal to what this process
  // applied means nothing was appended or cut since, and the tail read is
  // skipped.
  Result<FileStatus> named = status_of(storage_.log_path());
  if (!named.ok()) {
    if (named.error().kind() != IoErrorKind::NotFound) return named.error();
    // Never recreated behind the caller's back: its messages are gone with
    // the file, and a new log is what a new queue object would make.
    return QueueError::io(IoErrorKind::NotFound,
                          storage_.log_path() + " was removed while the queue was open");
  }
  if (!(named.value().identity == storage_.identity())) return reload(/*replaced=*/true);
  if (named.value().length == storage_.append_pos()) return {};

  uint64_t pos = storage_.append_pos();
  bool thorough = false;
  size_t want = 0;  // a window larger than usual, for one frame larger than it
  for (;;) {
    Result<std::optional<LogStorage::TailWindow>> tail = storage_.read_tail(pos, thorough, want);
    if (!tail.ok()) return tail.error();
    // Shorter than what this process already applied: someone cut frames
    // held in our state, so only a full replay can tell what is left.
    if (!tail.value()) return reload();

    std::string_view bytes = tail.value()->bytes;
    const bool more = tail.value()->more;
    BufferFrame frame{FrameOutcome::End, {}, 0, {}, 0};
    for (;;) {
      frame = read_frame_in_buffer(bytes);
      if (frame.outcome != FrameOutcome::Frame) break;
      const DecodeResult decoded = decode_payload(frame.payload);
      if (!decoded.ok) break;
      state_.apply_record(decoded.record, pos, /*keep_body=*/false);
      pos += frame.consumed;
      bytes.remove_prefix(frame.consumed);
    }
    storage_.advance_to(pos);
    const bool damaged = frame.outcome != FrameOutcome::End;
    if (!damaged && !more) return {};
    // The window ended inside a frame, or at a frame boundary with more of
    // the file behind it: read on from the first unapplied frame, with room
    // for that whole frame. Memory stays bounded by the largest frame.
    if (more && (!damaged || frame.spans > bytes.size())) {
      want = static_cast<size_t>(frame.spans);
      continue;
    }
    if (!thorough) {
      // A quick read may have stopped short; look again before cutting.
      thorough = true;
      continue;
    }
    // Every kind of damage is handled alike: the process lock guarantees no
    // writer is still busy with these bytes, so they were left by one that
    // died. Cut them and everything after them.
    // The torn frame of this process's own failed write is no news to
    // anyone (the write already failed loudly): cut it without a warning.
    const bool own = storage_.left_torn_frame() && pos == storage_.append_pos();
    FERROW_TRY(before_cut());
    FERROW_TRY(storage_.cut_tail_at(pos));
    forget_marks_beyond(pos);
    if (!own) write_warning("Ferrow: truncated corrupt log tail at byte " + std::to_string(pos));
    return {};
  }
}

namespace {

// A log replaced again while it is replayed, every time: give up.
constexpr int MAX_REPLAYS = 100;

// A compaction or purge of this system writes the next generation and
// announces it in .proc_lock before renaming it into place (see
// commit_marks.h). A file that arrives otherwise was put there by someone
// else: a copy, a restored backup, another queue's log.
void check_rewrite(const std::string& log_path, uint64_t known, uint64_t found,
                   CommitMarks& marks) {
  if (found > known && marks.announces(found)) return;
  // The marks describe the file that was there before, perhaps under the
  // same generation: believed, they could spare an fsync of the new one.
  marks.forget_beyond(found, 0);
  report_tamper_once(Tamper::ForeignLog,
                     "Ferrow: " + log_path + " was replaced by a file that no compaction or "
                     "purge of this queue wrote (generation " + std::to_string(found) +
                     " where this process knew " + std::to_string(known) +
                     "); the queue now holds what that file holds, and messages of the old "
                     "file are gone from it");
}

}  // namespace

Status Queue::reload(bool replaced) {
  CommitMarks marks(lock_->header());
  const uint64_t known = storage_.generation();
  for (int attempt = 0;; attempt++) {
    Result<ReplayResult> replayed =
        replay_settled_log(storage_.log_path(), marks, [this] { return before_cut(); });
    if (!replayed.ok()) return replayed.error();
    const uint64_t found = replayed.value().generation;
    if (replaced) check_rewrite(storage_.log_path(), known, found, marks);
    state_ = std::move(replayed.value().state);
    stale_ = false;
    // If this fails the old generation stays recorded, so the next
    // catch-up reloads again.
    FERROW_TRY(storage_.reopen_log(found));
    storage_.advance_to(replayed.value().end_offset);
    forget_marks_beyond(replayed.value().end_offset);
    // The handles are on the file replayed, unless a holder let in beside
    // this process put a new one in its place in between: replay that one.
    if (storage_.identity() == replayed.value().identity) return {};
    stale_ = true;
    if (attempt == MAX_REPLAYS) return shared_hold_error(storage_.log_path(), lock_->path());
  }
}

}  // namespace ferrow
