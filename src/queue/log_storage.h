// The per-process storage state of a persistent queue: the append handle, the
// reader handle used to follow other processes' appends, and a lazily created
// read-only mapping of the whole log from which bodies are copied.
//
// A default-constructed LogStorage belongs to a ":memory:" queue: it has no
// files, every operation returns at once, generation is 0 and log_bytes 16.
//
// Not thread-safe: the queue's mutex and the process lock guard it. While an
// append runs, append_pos equals the length of queue.log, because no other
// process writes the file while this one holds the process lock.
#ifndef FERROW_QUEUE_LOG_STORAGE_H_
#define FERROW_QUEUE_LOG_STORAGE_H_

#include <cstdint>
#include <functional>
#include <vector>
#include <optional>
#include <string>
#include <string_view>

#include "queue/file_io.h"
#include "queue/log_format.h"
#include "queue/result.h"

namespace ferrow {

inline constexpr char LOG_NAME[] = "queue.log";

class LogStorage {
 public:
  LogStorage() = default;
  // How far past the file's end a body mapping reaches.
  static constexpr uint64_t MAP_HEADROOM = 64 << 20;

  // Opens the append and reader handles of a log that open_log just replayed.
  // `map_headroom` is MAP_HEADROOM except in tests that need to cross it often.
  static Result<LogStorage> open(const std::string& log_path, uint64_t generation,
                                 uint64_t end_offset, uint64_t sync_interval_ms,
                                 uint64_t map_headroom = MAP_HEADROOM);

  LogStorage(LogStorage&&) = default;
  LogStorage& operator=(LogStorage&&) = default;

  bool persistent() const { return writer_.valid(); }
  int log_fd() const { return writer_.fd(); }
  // The file these handles belong to, which the path may no longer name.
  const FileIdentity& identity() const { return identity_; }
  // A write of this process's own failed part-way: the bytes past
  // append_pos are its own torn frame.
  bool left_torn_frame() const { return tail_needs_cut_; }
  uint64_t generation() const { return generation_; }
  uint64_t append_pos() const { return append_pos_; }
  uint64_t log_bytes() const { return log_bytes_; }
  const std::string& log_path() const { return log_path_; }

  // Writes one record's frame to the file in a single write; the positions
  // advance only once the write succeeded. The caller applies the record and
  // then runs the sync policy with sync_log(false), or, after a series of
  // batch appends, sync_log(true).
  Status append_record(const LogRecord& record);
  // Writes the frames of a batch in as few writes as possible and calls
  // `written(i, offset)` for each record, in order, once its frame is wholly
  // in the file. On a failed or short write the records after the last whole
  // frame are not reported, and the partial frame is cut before the next
  // append. The caller syncs once at the end.
  Status append_records(const std::vector<LogRecord>& records,
                        const std::function<void(size_t, uint64_t)>& written);
  // fsync when forced, when the interval is 0, or when the interval has passed.
  Status sync_log(bool force);
  // Copies a body out of the mapping, remapping when the read reaches past it.
  // A body past the end of a file that was cut is an I/O error, whether the
  // cut came before the read or during the copy.
  Result<std::string> read_body(uint64_t body_offset, uint32_t body_len);
  // New handles on a replaced queue.log; positions become its length.
  Status reopen_log(uint64_t generation);

  // Catch-up support: the bytes from `start` on, at most a window of
  // max(TAIL_CHUNK, `want`) bytes, as a view valid until the next call;
  // nullopt when the file is shorter than `start` (someone cut frames this
  // process already applied). `more` says the window was filled, so the file
  // may hold more: a tail of any size is read in pieces of bounded size.
  // Unless `thorough`, one read is taken, which costs one system call when
  // nothing changed; a caller that finds damage at the end reads again
  // thoroughly before believing it.
  struct TailWindow {
    std::string_view bytes;
    bool more;
  };
  Result<std::optional<TailWindow>> read_tail(uint64_t start, bool thorough, size_t want = 0);
  void advance_to(uint64_t append_pos);  // frames of other processes applied
  // Cuts the file back to append_pos after a damaged tail, durably.
  Status cut_tail_at(uint64_t append_pos);
  void drop_mapping() {
    mapping_.reset();
    mapped_len_ = 0;
  }

  // Destruction path: fsync, errors ignored.
  void sync_quietly();
  // Frees buffers that one call grew past their usual size (a huge body, a
  // huge frame in another process's tail), so that a queue object does not
  // keep the largest message it ever saw.
  void release_large_buffers();

  // A batch is handed to the OS in writes of about this size.
  static constexpr size_t BATCH_WRITE_LEN = 1 << 20;
  // The window in which other processes' appends are read.
  static constexpr size_t TAIL_CHUNK = 256 << 10;

 private:

  // Writes `frames` at the end of the file; *written counts what got there.
  Status write_frames(std::string_view frames, size_t* written);
  // Maps the whole file afresh.
  Status remap();
  QueueError body_cut_error(uint64_t body_offset, uint64_t end) const;

  std::string log_path_;
  FileHandle writer_;  // O_APPEND: every write lands at the end of the file
  FileHandle reader_;
  FileIdentity identity_;  // of reader_ (and writer_: both opened on one file)
  Mapping mapping_;          // covers the file and map_headroom_ beyond it
  uint64_t mapped_len_ = 0;  // bytes of the mapping known to be in the file
  uint64_t map_headroom_ = MAP_HEADROOM;
  std::string tail_buffer_;  // reused by read_tail
  std::string frame_buffer_; // reused by every append
  uint64_t sync_interval_ms_ = 0;
  uint64_t last_sync_ms_ = 0;
  uint64_t generation_ = 0;
  uint64_t append_pos_ = FILE_HEADER_LEN;
  uint64_t log_bytes_ = FILE_HEADER_LEN;
  // A failed write may have left part of its frame in the file past
  // append_pos; it is cut off before anything else is appended.
  bool tail_needs_cut_ = false;
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_LOG_STORAGE_H_
