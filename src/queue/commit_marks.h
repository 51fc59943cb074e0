// How far the shared log is known to be written and durable, kept in
// `.proc_lock` beside the lock word, so that a process can release the lock
// before its fsync and still return only what a power loss cannot undo.
//
// The words (leader, appended, synced, sleepers, gathering) and the form of
// a mark are laid out in proc_lock_layout.h.
//
// Each mark is tag << 48 | offset, the tag being the log's generation
// modulo 2^16: a mark of another generation says nothing about this one's
// file, and a slow process that finishes an fsync of a log already
// rewritten must not lower a newer generation's mark. 0 knows nothing, which
// is what builds without these marks leave (their processes fsync inside
// the lock, so treating everything as unsynced costs an fsync, never
// durability).
//
// An fsync covers every byte written before it began: a process that reads
// `appended` and then fsyncs may raise `synced` to what it read. So one
// leader fsyncs at a time, for everything published before it began, and
// the processes whose records it covers return without an fsync of their
// own; those that wrote later wait for it to end, and the next leader
// covers all of them at once. A new leader first waits a little for the
// processes the last fsync released: they are about to append again, and
// one fsync for all of them costs one device flush instead of several.
#ifndef FERROW_QUEUE_COMMIT_MARKS_H_
#define FERROW_QUEUE_COMMIT_MARKS_H_

#include <cstdint>
#include <functional>

namespace ferrow {

class CommitMarks {
 public:
  // `header` is the start of the shared mapping of `.proc_lock`.
  explicit CommitMarks(char* header) : header_(header) {}

  // REQUIRES: the process lock. Records that the log of `generation` holds
  // written records up to `end`.
  void publish_appended(uint64_t generation, uint64_t end);
  // The end last published for this generation, or 0.
  uint64_t appended(uint64_t generation) const;

  bool synced_covers(uint64_t generation, uint64_t end) const;
  // The end the synced mark claims for `generation`, or 0.
  uint64_t synced(uint64_t generation) const;
  // Puts (generation, `to`) in place of a synced mark that claimed `from`,
  // unless the mark changed meanwhile: a false claim, once found out, is
  // replaced by what an fsync just covered.
  void correct_synced(uint64_t generation, uint64_t from, uint64_t to);
  // REQUIRES: the process lock. A rewrite (compaction, purge) announces its
  // new generation before it renames the new log into place, and publishes
  // the new log's end once it is complete. In between, nobody may use the
  // new log: a process that finds it there holds the lock beside the
  // rewriter (the lock word was changed under one of them).
  void announce_rewrite(uint64_t generation);
  bool rewrite_unfinished(uint64_t generation) const;
  // The appended mark as it stands. A replay reads it before it reads the
  // log, and asks rewrite_finished_in afterwards whether the rewrite that
  // wrote the generation it found had finished by then.
  uint64_t appended_word() const;
  // Whether `appended_word` says the rewrite to `generation` was finished:
  // its end is published, or a later generation was announced.
  static bool rewrite_finished_in(uint64_t appended_word, uint64_t generation);
  // Clears the announcement of a rewriter that died before finishing it.
  void drop_unfinished_rewrite();
  // Whether a generation later than `generation` was announced.
  bool rewrite_announced_after(uint64_t generation) const;
  // Whether a mark names `generation` or a later one (announced, or
  // written since).
  bool announces(uint64_t generation) const;
  // Says that a completed fsync covered the log of `generation` up to `end`.
  void raise_synced(uint64_t generation, uint64_t end);
  // The leader, when its fsync completed and before it raises `synced`:
  // records how many processes wait for it.
  void note_round_size();

  // REQUIRES: the process lock. Clears the marks of `generation` that claim
  // more than `end` (0: all of them): they describe another file than the
  // one that now carries that generation, or more of it than it holds.
  // Marks of other generations stay, a rewrite's announcement among them.
  void forget_beyond(uint64_t generation, uint64_t end);

  uint64_t leader() const;
  // Makes the owner of `token` the leader in place of `from` (0: none; or a
  // leader that died or stalls); says whether it did.
  bool take_leadership(uint64_t from, uint64_t token);
  // Ends the leadership of `token` (if it still leads) and wakes the waiters.
  void end_leadership(uint64_t token);

  // The leader's wait before its fsync: until as many processes wait for it
  // as waited for the last fsync, at most `limit_ns`. Returns at once when
  // none did.
  void gather_followers(uint64_t limit_ns);

  enum class Waited { Covered, LeaderChanged, LeaderDead, TimedOut };
  // Sleeps until `synced` covers `end`, or `leader` no longer leads, or
  // `leader_alive()` says it died (asked at least every millisecond), at
  // most `timeout_ms`.
  Waited wait_for_leader(uint64_t generation, uint64_t end, uint64_t leader, uint64_t timeout_ms,
                         const std::function<bool()>& leader_alive);

 private:
  void wake_sleepers();
  // A new sleeper tells a gathering leader.
  void wake_gathering_leader();
  char* header_;
};

// Publishes a rewrite's end at finish(), or withdraws its announcement when
// the rewrite ends otherwise (an error), so that nobody is kept out for good.
class RewriteAnnouncement {
 public:
  explicit RewriteAnnouncement(CommitMarks& marks) : marks_(marks) {}
  RewriteAnnouncement(const RewriteAnnouncement&) = delete;
  RewriteAnnouncement& operator=(const RewriteAnnouncement&) = delete;
  ~RewriteAnnouncement() {
    if (!finished_) marks_.drop_unfinished_rewrite();
  }
  void finish(uint64_t generation, uint64_t end) {
    marks_.publish_appended(generation, end);
    finished_ = true;
  }

 private:
  CommitMarks& marks_;
  bool finished_ = false;
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_COMMIT_MARKS_H_
