// Rewriting the log to the messages still present, under a new generation.
#include <optional>
#include <unordered_set>
#include <vector>

#include "queue/clock.h"
#include "queue/file_io.h"
#include "queue/queue.h"
#include "queue/replace_log.h"
#include "queue/tamper_report.h"

namespace ferrow {
namespace {

constexpr size_t STAGING_LEN = 8192;

struct LiveMessage {
  uint64_t seq;
  uint64_t enqueued_ts_ms;
  uint64_t body_offset;
  uint64_t deadline_ms;
  uint32_t deliveries;
  uint32_t body_len;
  bool in_flight;
};

// Frames go through an 8 KiB staging buffer, so the rewrite costs a few
// large writes rather than one per record. The first failed write is kept
// and later frames are dropped: the caller asks once, at finish().
class StagedWriter {
 public:
  StagedWriter(int fd, const std::string& path) : fd_(fd), path_(path) {
    staging_.reserve(STAGING_LEN);
  }

  // Bytes appended so far, staged or written.
  uint64_t appended() const { return appended_; }

  void append(const LogRecord& record) {
    appended_ += append_record_frame(record, &staging_);
    if (staging_.size() >= STAGING_LEN) write_staged();
  }
  Status finish() {
    write_staged();
    return status_;
  }

 private:
  void write_staged() {
    if (status_.ok()) status_ = write_all(fd_, path_, staging_, WRITE_BUFFERED_TEXT);
    staging_.clear();
  }

  const int fd_;
  const std::string& path_;
  std::string staging_;
  uint64_t appended_ = 0;
  Status status_;
};

}  // namespace

Status Queue::compact_log() {
  if (!persistent()) return {};
  const uint64_t generation = storage_.generation() + 1;

  std::vector<LiveMessage> live;  // in ascending seq order
  live.reserve(state_.message_count());
  state_.for_each_message([&live](uint64_t seq, const MessageEntry& e) {
    live.push_back({seq, e.enqueued_ts_ms, e.body_offset, e.deadline_ms, e.deliveries,
                    e.body_len, e.in_flight});
  });

  std::vector<std::pair<uint64_t, uint64_t>> new_offsets;  // (seq, body_offset)
  uint64_t written = FILE_HEADER_LEN;
  uint64_t old_read_to = storage_.append_pos();
  std::unordered_set<uint64_t> carried_ids;
  std::string late, later;
  // What another holder appended to the old log since this process last
  // read it (possible only when the lock word was changed under it) goes
  // into the new log, ahead of anything appended to that once it is in
  // place. An Enqueue of an id this rewrite holds came from a call that
  // failed, or it is a returned message written again by a call that found
  // its id enqueued twice: then the message this process holds may be the
  // failed one, which its replay kept for coming later, and only a replay
  // of the old log, copy and all, tells. Before the rename, giving up the
  // rewrite costs nothing; after it, such an Enqueue is left out.
  auto read_behind = [&](bool may_give_up, std::string* into) -> Status {
    bool repeats_held = false;
    Result<std::string> behind = appends_behind_rewrite(&old_read_to, &carried_ids, &repeats_held);
    if (!behind.ok()) return behind.error();
    if (repeats_held && may_give_up) return shared_hold_error(storage_.log_path(), lock_->path());
    into->append(behind.value());
    return {};
  };
  // Until the rename nothing but the temporary file has changed, so any
  // error in here simply leaves the old log in charge (and removes the file).
  auto fill = [&](int fd, const std::string& path) -> Status {
    StagedWriter writer(fd, path);
    new_offsets.reserve(live.size());
    for (const LiveMessage& m : live) {
      Result<std::string> body = storage_.read_body(m.body_offset, m.body_len);
      if (!body.ok()) return body.error();
      const uint64_t frame_offset = FILE_HEADER_LEN + writer.appended();
      writer.append(EnqueueRecord{m.seq, m.enqueued_ts_ms, body.value()});
      new_offsets.emplace_back(m.seq, frame_offset + ENQUEUE_BODY_OFFSET);
      if (m.deliveries != 0) writer.append(RequeueRecord{m.seq, m.deliveries});
      if (m.in_flight) writer.append(LeaseRecord{m.seq, m.deadline_ms, m.deliveries});
    }
    // Ids must never go backwards. When the newest messages are gone, leave a
    // trace of the last id handed out (enqueued and acknowledged at once), so
    // that every process that replays the new log continues after it: a late
    // ack for an old id must never hit a new message.
    // (next_seq saturates at the largest id, which is never handed out, so
    // "the last id handed out" is next_seq - 1, and no addition may wrap.)
    const uint64_t next_seq = state_.next_seq();
    if (next_seq > 0 && (live.empty() || live.back().seq < next_seq - 1)) {
      writer.append(EnqueueRecord{next_seq - 1, now_ms(), {}});
      writer.append(AckRecord{next_seq - 1});
    }
    FERROW_TRY(writer.finish());
    FERROW_TRY(read_behind(/*may_give_up=*/true, &late));
    written = FILE_HEADER_LEN + writer.appended() + late.size();
    return write_all(fd, path, late, WRITE_WHOLE_TEXT);
  };

  // Announced before the rename (see commit_marks.h), its end published
  // once whatever others appended meanwhile has been carried over.
  CommitMarks marks(lock_->header());
  std::optional<RewriteAnnouncement> announced;
  // What came while the new log was forced is looked at once more first.
  auto announce = [&]() -> Status {
    FERROW_TRY(read_behind(/*may_give_up=*/true, &later));
    marks.announce_rewrite(generation);
    announced.emplace(marks);
    return {};
  };
  // And what came in the instant before the rename. Whoever appends to the
  // old log after this look finds it unlinked at its own check, and fails.
  auto after_rename = [&]() -> Status { return read_behind(/*may_give_up=*/false, &later); };
  // After the rename the file on disk carries the new generation; if a step
  // from there on fails, the next catch-up sees that and reloads from it.
  FERROW_TRY(replace_log(storage_, {join_path(dir_, COMPACT_TMP_NAME), generation, fill, announce,
                                    after_rename}));
  FERROW_TRY(storage_.reopen_log(generation));
  storage_.advance_to(written);  // anything past it another holder appended
  for (const auto& [seq, body_offset] : new_offsets) state_.set_body_offset(seq, body_offset);
  note_durable_rewrite();
  FERROW_TRY(carry_over(later));
  announced->finish(generation, written + later.size());
  // The frames carried over are this process's news too.
  if (!late.empty() || !later.empty()) return reload();
  return {};
}

}  // namespace ferrow
