#include "queue/queue.h"

#include <algorithm>
#include <cassert>
#include <exception>
#include <functional>
#include <new>
#include <unordered_set>
#include <utility>

#include "queue/clock.h"
#include "queue/commit_marks.h"
#include "queue/directory_check.h"
#include "queue/file_io.h"
#include "queue/log_replay.h"
#include "queue/settled_replay.h"

namespace ferrow {

namespace {

// No C++ exception leaves the engine: an allocation that fails becomes an
// error value, and anything else an internal error. The frame's destructor
// has released both locks by the time the handler runs.
template <typename Operation>
auto guarded(Operation&& operation) -> decltype(operation()) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return QueueError::out_of_memory();
  } catch (const std::exception& e) {
    return QueueError::internal(std::string("unexpected C++ exception: ") + e.what());
  } catch (...) {
    return QueueError::internal("unexpected C++ exception");
  }
}

// What a holder that died inside a compaction or purge left: a temporary
// file that nobody will rename. Its torn log tail the catch-up cuts.
void remove_leftovers(const std::string& dir) {
  for (const char* name : {COMPACT_TMP_NAME, PURGE_TMP_NAME}) {
    (void)remove_file(join_path(dir, name));
  }
}

}  // namespace

// The operation frame: mutex, then the process lock and catch-up for a
// persistent queue. The destructor releases in the opposite order, on every
// path, so an error can simply be returned.
class Queue::Frame {
 public:
  explicit Frame(Queue& queue)
      : queue_(queue), guard_(queue.mutex_), exceptions_(std::uncaught_exceptions()) {}
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
  ~Frame() {
    // An exception (an allocation that failed) may have stopped the
    // operation between an append and its apply: only a replay of the log
    // can tell what the state must be, so the next operation does one.
    if (std::uncaught_exceptions() > exceptions_) queue_.stale_ = true;
    queue_.storage_.release_large_buffers();
    if (process_locked_) release();
  }

  // Takes the process lock (if any) and, when asked, catches up with the log.
  Status begin(bool catch_up) {
    assert(!process_locked_);  // the frame never acquires twice: the lock is not reentrant
    caught_up_ = catch_up;
    if (queue_.lock_) {
      bool took_over = false;
      FERROW_TRY(queue_.lock_->acquire(queue_.options_.lock_wait, &took_over));
      process_locked_ = true;
      if (took_over) {
        remove_leftovers(queue_.dir_);
        CommitMarks(queue_.lock_->header()).drop_unfinished_rewrite();
      }
      if (catch_up) FERROW_TRY(queue_.catch_up());
      start_pos_ = queue_.storage_.append_pos();
      start_generation_ = queue_.storage_.generation();
      start_next_seq_ = queue_.state_.next_seq();
    }
    return {};
  }

  // The end of a successful operation under group commit: the lock goes
  // first, then the call waits for an fsync, its own or another process's,
  // that began after everything it wrote or saw was written. Whatever it
  // returns then survives a power loss, while the fsyncs of several
  // processes overlap and share device flushes.
  Status commit() {
    if (!process_locked_) return {};
    FERROW_TRY(queue_.check_held_alone(start_pos_, start_generation_, start_next_seq_));
    if (!caught_up_ || !queue_.group_commit()) {
      release();
      return {};
    }
    const uint64_t generation = queue_.storage_.generation();
    const uint64_t need = queue_.storage_.append_pos();
    CommitMarks marks(queue_.lock_->header());
    marks.publish_appended(generation, need);
    release();
    return queue_.make_durable(marks, generation, need);
  }

 private:
  void release() {
    queue_.lock_->release();
    process_locked_ = false;
    // After a successful check the log was as this call left it, so what it
    // returns stands; the change is reported all the same.
    if (queue_.lock_->word_was_changed()) queue_.note_lock_word_changed();
  }

  Queue& queue_;
  std::lock_guard<std::mutex> guard_;
  const int exceptions_;
  bool process_locked_ = false;
  bool caught_up_ = false;
  uint64_t start_pos_ = 0;  // where the log ended when the operation began
  uint64_t start_generation_ = 0;
  uint64_t start_next_seq_ = 0;  // ids below it were in the log before the operation
};

template <typename Operation>
auto Queue::framed(bool catch_up, Operation&& operation) -> decltype(operation()) {
  Frame frame(*this);
  FERROW_TRY(frame.begin(catch_up));
  auto result = operation();
  if (result.ok()) FERROW_TRY(frame.commit());
  return result;
}

Status Queue::sync_records(bool force) {
  if (group_commit()) return {};  // the frame's commit syncs, after the release
  return storage_.sync_log(force);
}

Status Queue::make_durable(CommitMarks& marks, uint64_t generation, uint64_t need) {
  const uint64_t me = lock_->token();
  for (;;) {
    if (marks.synced_covers(generation, need)) {
      Result<bool> believed = synced_mark_believed(marks, generation);
      if (!believed.ok()) return believed.error();
      if (believed.value()) return {};
      return sync_despite_mark(marks, generation, need);
    }
    const uint64_t leader = marks.leader();
    if (leader != 0 && !lock_->plausible_token(leader)) {
      report_implausible_leader(leader, lock_->path());  // and taken over at once
    } else if (leader != 0) {
      // Another process's fsync runs. It covers our records if they were
      // published before it began; if not, it ends soon and the next leader
      // covers them together with everyone else's.
      auto leader_alive = [&] { return lock_->holder(leader) != LockHolder::Dead; };
      switch (marks.wait_for_leader(generation, need, leader, LEADER_WAIT_MS, leader_alive)) {
        case CommitMarks::Waited::Covered:  // checked at the top
        case CommitMarks::Waited::LeaderChanged:
          continue;
        case CommitMarks::Waited::LeaderDead:
        case CommitMarks::Waited::TimedOut:
          // A dead leader, or one whose fsync hangs, hands over to us: one
          // stalled process must not hold up every call of the others. (A
          // stalled fsync that ends later still raises the mark correctly.)
          break;
      }
    }
    if (!marks.take_leadership(leader, me)) continue;
    // The processes that the last fsync released are about to append again:
    // waiting for them, about as long as an fsync takes, lets one device
    // flush cover all of them.
    marks.gather_followers(std::clamp(last_fsync_ns_, MIN_GATHER_NS, MAX_GATHER_NS));
    Status synced = sync_covering(marks, generation, need, /*leading=*/true);
    marks.end_leadership(me);
    return synced;
  }
}

Status Queue::sync_covering(CommitMarks& marks, uint64_t generation, uint64_t need,
                            bool leading) {
  // Everything published before this fsync begins is covered by it. A
  // failed fsync raises nothing: the records stay in effect, as after any
  // failed sync, and every process that saw them syncs again before it
  // returns (on Linux its own fsync reports the same write-back error).
  const uint64_t target = std::max(need, marks.appended(generation));
  const uint64_t began = monotonic_ns();
  FERROW_TRY(storage_.sync_log(/*force=*/true));
  last_fsync_ns_ = monotonic_ns() - began;
  if (leading) marks.note_round_size();
  marks.raise_synced(generation, target);
  return {};
}

void Queue::note_durable_rewrite() {
  // A compaction or purge synced the new log, whole, before its rename.
  CommitMarks(lock_->header()).raise_synced(storage_.generation(), storage_.append_pos());
}

namespace {

// Delivery counts stop at their largest value instead of wrapping to 0,
// which would defeat any limit on deliveries.
uint32_t next_delivery(uint32_t deliveries) {
  return deliveries == UINT32_MAX ? deliveries : deliveries + 1;
}

Status check_ids_left(const QueueState& state, uint64_t n) {
  if (state.ids_left(n)) return {};
  return QueueError::io(IoErrorKind::InvalidData, "sequence ids exhausted");
}

}  // namespace

Status check_body_size(uint64_t body_len) {
  if (body_len <= MAX_BODY_LEN) return {};
  // A longer record would read back as corruption and be cut, together with
  // everything after it, at the next open.
  return QueueError::io(IoErrorKind::InvalidInput,
                        "message body of " + std::to_string(body_len) +
                            " bytes exceeds the limit of " + std::to_string(MAX_BODY_LEN) +
                            " bytes");
}

Queue::Queue(std::string dir, const QueueOptions& options)
    : dir_(std::move(dir)), options_(options) {}

Queue::~Queue() {
  // Never wait here: a thread that still holds the mutex owns the queue.
  if (mutex_.try_lock()) {
    storage_.sync_quietly();
    mutex_.unlock();
  }
}

Result<std::unique_ptr<Queue>> Queue::open(const std::string& path, const QueueOptions& options) {
  return guarded([&]() -> Result<std::unique_ptr<Queue>> {
    std::unique_ptr<Queue> queue(new Queue(path, options));
    if (path == MEMORY_PATH) return queue;

    FERROW_TRY(create_directories(path));
    FERROW_TRY(check_directory_mode(path));
    Result<std::unique_ptr<ProcessLock>> lock = ProcessLock::open(path);
    if (!lock.ok()) return lock.error();
    queue->lock_ = std::move(lock.value());
    bool took_over = false;
    FERROW_TRY(queue->lock_->acquire(options.lock_wait, &took_over));
    CommitMarks marks(queue->lock_->header());
    // From here on every path releases the lock; the handles close with `queue`.
    struct Release {
      ProcessLock& lock;
      ~Release() { lock.release(); }
    } release{*queue->lock_};
    // Under the lock no rewrite is in progress, so a temporary file found
    // now was left by one that crashed.
    remove_leftovers(path);
    if (took_over) marks.drop_unfinished_rewrite();

    const std::string log_path = join_path(path, LOG_NAME);
    Result<ReplayResult> replayed = replay_settled_log(log_path, marks, nullptr);
    if (!replayed.ok()) return replayed.error();
    Result<LogStorage> storage = LogStorage::open(log_path, replayed.value().generation,
                                                  replayed.value().end_offset,
                                                  options.sync_interval_ms);
    if (!storage.ok()) return storage.error();
    queue->state_ = std::move(replayed.value().state);
    queue->storage_ = std::move(storage.value());
    queue->forget_marks_beyond(replayed.value().end_offset);
    return queue;
  });
}

Status Queue::append_and_apply(const LogRecord& record, bool batch) {
  return append_and_apply(record, 0, false, batch);
}

Status Queue::append_and_apply(const LogRecord& record, uint64_t record_offset, bool keep_body,
                               bool batch) {
  FERROW_TRY(storage_.append_record(record));
  // The frame is in the file now, so it is applied even if the sync below
  // fails: otherwise this process would reuse the seq of a message its own
  // log holds, and a later replay would let the second replace the first.
  state_.apply_record(record, record_offset, keep_body);
  if (batch) return {};
  return sync_records(/*force=*/false);
}

Result<uint64_t> Queue::enqueue(std::string_view body) {
  return guarded([&]() -> Result<uint64_t> {
    FERROW_TRY(check_body_size(body.size()));
    return framed(/*catch_up=*/true, [&]() -> Result<uint64_t> {
      FERROW_TRY(check_ids_left(state_, 1));
      const uint64_t seq = state_.next_seq();
      FERROW_TRY(append_and_apply(EnqueueRecord{seq, now_ms(), body}, storage_.append_pos(),
                                  /*keep_body=*/!persistent(), /*batch=*/false));
      return seq;
    });
  });
}

Result<std::vector<uint64_t>> Queue::enqueue_batch(const std::vector<std::string_view>& bodies) {
  return guarded([&]() -> Result<std::vector<uint64_t>> {
    if (bodies.empty()) return std::vector<uint64_t>();
    // Every body is checked before any is appended: an oversized one fails the
    // whole batch with nothing written.
    for (std::string_view body : bodies) FERROW_TRY(check_body_size(body.size()));
    return framed(/*catch_up=*/true, [&]() -> Result<std::vector<uint64_t>> {
      FERROW_TRY(check_ids_left(state_, bodies.size()));
      const uint64_t now = now_ms();
      const uint64_t first = state_.next_seq();
      std::vector<LogRecord> records;
      records.reserve(bodies.size());
      for (size_t i = 0; i < bodies.size(); i++) records.push_back(EnqueueRecord{first + i, now, bodies[i]});
      std::vector<uint64_t> seqs;
      seqs.reserve(bodies.size());
      FERROW_TRY(storage_.append_records(records, [&](size_t i, uint64_t offset) {
        state_.apply_record(records[i], offset, /*keep_body=*/!persistent());
        seqs.push_back(first + i);
      }));
      FERROW_TRY(sync_records(/*force=*/true));
      return seqs;
    });
  });
}

Status Queue::expire_leases(uint64_t now) {
  // Stale pairs (acked, requeued or re-leased since) are dropped as they come
  // due; only a pair matching the current deadline is a lapsed lease.
  while (const LeasePair* front = state_.schedule_front()) {
    if (front->first > now) break;
    const auto [deadline_ms, seq] = *front;
    const MessageEntry* entry = state_.find(seq);
    if (entry != nullptr && entry->in_flight && entry->deadline_ms == deadline_ms) {
      // The pair leaves the schedule only once its Requeue is in the log: if
      // the write fails, the next expiring call tries again instead of
      // leaving the message in flight until the log is replayed.
      FERROW_TRY(append_and_apply(RequeueRecord{seq, entry->deliveries}, /*batch=*/false));
    }
    state_.pop_schedule_front();
  }
  return {};
}

Result<DeliveredMessage> Queue::delivered(uint64_t seq) {
  // The lease is already granted: if the body cannot be read, the message
  // comes back when it lapses, with this delivery counted.
  const MessageEntry* entry = state_.find(seq);
  DeliveredMessage message{seq, {}, entry->deliveries, entry->enqueued_ts_ms};
  if (const std::string* kept = state_.kept_body(seq)) {
    message.body = *kept;
  } else {
    Result<std::string> body = storage_.read_body(entry->body_offset, entry->body_len);
    if (!body.ok()) return body.error();
    message.body = std::move(body.value());
  }
  return message;
}

Result<std::optional<DeliveredMessage>> Queue::dequeue(uint64_t lease_ms) {
  return guarded([&]() -> Result<std::optional<DeliveredMessage>> {
    return framed(/*catch_up=*/true, [&]() -> Result<std::optional<DeliveredMessage>> {
      const uint64_t now = now_ms();
      FERROW_TRY(expire_leases(now));
      const std::optional<uint64_t> seq = state_.smallest_ready();
      if (!seq) return std::optional<DeliveredMessage>();
      const uint32_t deliveries = next_delivery(state_.deliveries_of(*seq));
      FERROW_TRY(append_and_apply(LeaseRecord{*seq, deadline_after(now, lease_ms), deliveries}, false));
      Result<DeliveredMessage> message = delivered(*seq);
      if (!message.ok()) return message.error();
      return std::optional<DeliveredMessage>(std::move(message.value()));
    });
  });
}

Result<std::vector<DeliveredMessage>> Queue::dequeue_batch(uint64_t max, uint64_t lease_ms) {
  return guarded([&]() -> Result<std::vector<DeliveredMessage>> {
    return framed(/*catch_up=*/true, [&]() -> Result<std::vector<DeliveredMessage>> {
      const uint64_t now = now_ms();
      FERROW_TRY(expire_leases(now));
      const uint64_t deadline_ms = deadline_after(now, lease_ms);
      std::vector<LogRecord> leases;
      for (uint64_t seq : state_.smallest_ready(max)) {
        leases.push_back(LeaseRecord{seq, deadline_ms, next_delivery(state_.deliveries_of(seq))});
      }
      size_t granted = 0;
      Status appended = storage_.append_records(leases, [&](size_t i, uint64_t) {
        state_.apply_record(leases[i], 0, /*keep_body=*/false);
        granted++;
      });
      // The caller gets no message of a batch that fails, so the leases
      // granted so far go back at once rather than sit with nobody until
      // they lapse (best effort: a disk that refused the batch may refuse
      // these too, and then the leases lapse as usual).
      auto hand_back = [&](const QueueError& error) -> QueueError {
        for (size_t i = 0; i < granted; i++) {
          const LeaseRecord& lease = std::get<LeaseRecord>(leases[i]);
          const MessageEntry* entry = state_.find(lease.seq);
          if (entry == nullptr || !entry->in_flight || entry->deadline_ms != lease.deadline_ms) {
            continue;
          }
          if (!append_and_apply(RequeueRecord{lease.seq, entry->deliveries}, true).ok()) break;
        }
        (void)storage_.sync_log(/*force=*/true);
        return error;
      };
      if (!appended.ok()) return hand_back(appended.error());
      std::vector<DeliveredMessage> messages;
      messages.reserve(granted);
      for (size_t i = 0; i < granted; i++) {
        Result<DeliveredMessage> message = delivered(std::get<LeaseRecord>(leases[i]).seq);
        if (!message.ok()) return hand_back(message.error());
        messages.push_back(std::move(message.value()));
      }
      Status synced = sync_records(/*force=*/true);
      if (!synced.ok()) return hand_back(synced.error());
      return messages;
    });
  });
}

void Queue::auto_compact_check() {
  if (!persistent() || options_.auto_compact_bytes == 0) return;
  const uint64_t log_bytes = storage_.log_bytes();
  const uint64_t live_bytes = state_.live_bytes();
  if (log_bytes < options_.auto_compact_bytes) return;
  // Twice live_bytes, without overflow: 2^63 or more never qualifies.
  if (live_bytes >= (uint64_t{1} << 63) || live_bytes * 2 >= log_bytes) return;
  const uint64_t now = now_ms();
  if (now < auto_compact_retry_ms_) return;
  Status compacted = compact_log();
  if (compacted.ok()) {
    auto_compact_backoff_ms_ = 0;
    auto_compact_retry_ms_ = 0;
    auto_compact_failing_ = false;
    return;
  }
  // The removal that triggered it is recorded, so the call succeeds; the
  // rewrite waits a while (a full disk rarely empties at once) and is tried
  // again at a later removal. One line says so, not one per attempt.
  auto_compact_backoff_ms_ =
      std::min<uint64_t>(auto_compact_backoff_ms_ == 0 ? 1000 : 2 * auto_compact_backoff_ms_,
                         60000);
  auto_compact_retry_ms_ = now + auto_compact_backoff_ms_;
  if (!auto_compact_failing_) {
    write_warning("Ferrow: automatic compaction failed (" + compacted.error().message() +
                  "); the acknowledgements stand, and it is tried again later");
    auto_compact_failing_ = true;
  }
}

Result<bool> Queue::ack(uint64_t seq) {
  return guarded([&]() -> Result<bool> {
    return framed(/*catch_up=*/true, [&]() -> Result<bool> {
      if (!state_.contains(seq)) return false;
      FERROW_TRY(append_and_apply(AckRecord{seq}, /*batch=*/false));
      auto_compact_check();
      return true;
    });
  });
}

Result<uint64_t> Queue::ack_batch(const std::vector<uint64_t>& seqs) {
  return guarded([&]() -> Result<uint64_t> {
    if (seqs.empty()) return uint64_t{0};
    return framed(/*catch_up=*/true, [&]() -> Result<uint64_t> {
      // A seq that is absent, or repeated in this list, is skipped. Lists in
      // ascending order (what dequeue_batch hands out) cannot repeat a seq, so
      // only other lists pay for remembering what is already planned.
      const bool ascending = std::is_sorted(seqs.begin(), seqs.end(), std::less_equal<uint64_t>());
      std::vector<LogRecord> acks;
      acks.reserve(seqs.size());
      std::unordered_set<uint64_t> planned;
      for (uint64_t seq : seqs) {
        if (!state_.contains(seq)) continue;
        if (!ascending && !planned.insert(seq).second) continue;
        acks.push_back(AckRecord{seq});
      }
      uint64_t removed = 0;
      FERROW_TRY(storage_.append_records(acks, [&](size_t i, uint64_t) {
        state_.apply_record(acks[i], 0, /*keep_body=*/false);
        removed++;
      }));
      FERROW_TRY(sync_records(/*force=*/true));
      auto_compact_check();
      return removed;
    });
  });
}

Result<bool> Queue::nack(uint64_t seq, bool requeue) {
  return guarded([&]() -> Result<bool> {
    return framed(/*catch_up=*/true, [&]() -> Result<bool> {
      const MessageEntry* entry = state_.find(seq);
      if (entry == nullptr) return false;
      if (requeue) {
        FERROW_TRY(append_and_apply(RequeueRecord{seq, entry->deliveries}, /*batch=*/false));
        return true;
      }
      FERROW_TRY(append_and_apply(DeadRecord{seq}, /*batch=*/false));
      auto_compact_check();
      return true;
    });
  });
}

Result<bool> Queue::extend_lease(uint64_t seq, uint64_t lease_ms) {
  return guarded([&]() -> Result<bool> {
    return framed(/*catch_up=*/true, [&]() -> Result<bool> {
      const MessageEntry* entry = state_.find(seq);
      if (entry == nullptr || !entry->in_flight) return false;
      // Counts from now, not from the old deadline, so it may also shorten a lease.
      const uint64_t deadline_ms = deadline_after(now_ms(), lease_ms);
      FERROW_TRY(append_and_apply(LeaseRecord{seq, deadline_ms, entry->deliveries}, false));
      return true;
    });
  });
}

Result<uint64_t> Queue::available() {
  return guarded([&]() -> Result<uint64_t> {
    return framed(/*catch_up=*/true, [&]() -> Result<uint64_t> {
      FERROW_TRY(expire_leases(now_ms()));
      return state_.ready_count();
    });
  });
}

Result<uint64_t> Queue::in_flight() {
  return guarded([&]() -> Result<uint64_t> {
    return framed(/*catch_up=*/true, [&]() -> Result<uint64_t> {
      return state_.in_flight_count();
    });
  });
}

Result<QueueStats> Queue::stats() {
  return guarded([&]() -> Result<QueueStats> {
    return framed(/*catch_up=*/true, [&]() -> Result<QueueStats> {
      FERROW_TRY(expire_leases(now_ms()));
      return QueueStats{
          .ready = state_.ready_count(),
          .in_flight = state_.in_flight_count(),
          .total = state_.message_count(),
          .enqueued_total = state_.enqueued_total(),
          .acked_total = state_.acked_total(),
          .requeued_total = state_.requeued_total(),
          .dead_total = state_.dead_total(),
          .next_seq = state_.next_seq(),
          .live_bytes = state_.live_bytes(),
          .log_bytes = storage_.log_bytes(),
          .generation = storage_.generation(),
          .persistent = persistent(),
      };
    });
  });
}

Status Queue::flush() {
  return guarded([&]() -> Status {
    return framed(/*catch_up=*/false, [&]() -> Status {
      if (!persistent()) return Status();
      CommitMarks marks(lock_->header());
      return sync_covering(marks, storage_.generation(), storage_.append_pos(),
                           /*leading=*/false);
    });
  });
}

Status Queue::compact() {
  return guarded([&]() -> Status {
    return framed(/*catch_up=*/true, [&]() -> Status {
      return compact_log();
    });
  });
}

Status Queue::purge() {
  return guarded([&]() -> Status {
    return framed(/*catch_up=*/true, [&]() -> Status {
      return purge_log();
    });
  });
}

Result<IntegrityReport> Queue::verify_integrity() {
  return guarded([&]() -> Result<IntegrityReport> {
    if (!persistent()) return IntegrityReport{true, 0, 0, ":memory: queue has no on-disk log"};
    // Reads the file as it is: no catch-up, and nothing is buffered to flush.
    return framed(/*catch_up=*/false, [&]() -> Result<IntegrityReport> {
      return verify_log(storage_.log_path());
    });
  });
}

}  // namespace ferrow
