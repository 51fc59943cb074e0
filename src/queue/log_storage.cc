#include "queue/log_storage.h"

#include <fcntl.h>

#include <algorithm>
#include <cassert>
#include <utility>

#include "queue/clock.h"
#include "queue/cut_guard.h"

namespace ferrow {

Result<LogStorage> LogStorage::open(const std::string& log_path, uint64_t generation,
                                    uint64_t end_offset, uint64_t sync_interval_ms,
                                    uint64_t map_headroom) {
  Result<FileHandle> writer = open_file(log_path, O_RDWR | O_APPEND);
  if (!writer.ok()) return writer.error();
  Result<FileHandle> reader = open_file(log_path, O_RDONLY);
  if (!reader.ok()) return reader.error();
  Result<FileIdentity> identity = identity_of(reader.value().fd(), log_path);
  if (!identity.ok()) return identity.error();
  LogStorage s;
  s.identity_ = identity.value();
  s.log_path_ = log_path;
  s.writer_ = std::move(writer.value());
  s.reader_ = std::move(reader.value());
  s.sync_interval_ms_ = sync_interval_ms;
  s.map_headroom_ = map_headroom;
  s.last_sync_ms_ = now_ms();
  s.generation_ = generation;
  s.append_pos_ = end_offset;
  s.log_bytes_ = end_offset;
  return s;
}

Status LogStorage::write_frames(std::string_view frames, size_t* written) {
  *written = 0;
  // Not reached by today's operations: each appends only after a catch-up,
  // which cuts a torn frame first. Kept so that no append lands behind one.
  if (tail_needs_cut_) {
    FERROW_TRY(set_file_length(writer_.fd(), log_path_, append_pos_));
    tail_needs_cut_ = false;
  }
  Status status = write_all(writer_.fd(), log_path_, frames, WRITE_BUFFERED_TEXT, written);
  if (!status.ok() && *written > 0) tail_needs_cut_ = true;
  return status;
}

Status LogStorage::append_record(const LogRecord& record) {
  if (!persistent()) return {};
  assert(append_pos_ <= log_bytes_);
  // One buffer per frame, handed to the OS in one write so that other
  // processes see the whole frame as soon as this operation returns.
  frame_buffer_.clear();
  const size_t length = append_record_frame(record, &frame_buffer_);
  size_t written;
  FERROW_TRY(write_frames(frame_buffer_, &written));
  append_pos_ += length;
  log_bytes_ += length;
  return {};
}

Status LogStorage::append_records(const std::vector<LogRecord>& records,
                                  const std::function<void(size_t, uint64_t)>& written) {
  if (!persistent()) {
    for (size_t i = 0; i < records.size(); i++) written(i, append_pos_);
    return {};
  }
  std::vector<size_t> lengths;
  size_t next = 0;
  while (next < records.size()) {
    frame_buffer_.clear();
    lengths.clear();
    while (next < records.size() && frame_buffer_.size() < BATCH_WRITE_LEN) {
      lengths.push_back(append_record_frame(records[next++], &frame_buffer_));
    }
    size_t bytes = 0;
    Status status = write_frames(frame_buffer_, &bytes);
    // Report exactly the frames that are wholly in the file.
    const size_t first = next - lengths.size();
    for (size_t i = 0; i < lengths.size() && lengths[i] <= bytes; i++) {
      const uint64_t offset = append_pos_;
      append_pos_ += lengths[i];
      log_bytes_ += lengths[i];
      bytes -= lengths[i];
      written(first + i, offset);
    }
    if (!status.ok()) {
      // A whole-frame boundary needs no cut.
      if (bytes == 0) tail_needs_cut_ = false;
      return status;
    }
  }
  return {};
}

Status LogStorage::sync_log(bool force) {
  if (!persistent()) return {};
  uint64_t now = 0;
  if (!force && sync_interval_ms_ != 0) {
    now = now_ms();
    const uint64_t elapsed = now > last_sync_ms_ ? now - last_sync_ms_ : 0;
    if (elapsed < sync_interval_ms_) return {};
  }
  FERROW_TRY(sync_fd(writer_.fd(), log_path_));
  last_sync_ms_ = now != 0 ? now : now_ms();
  return {};
}

Result<std::string> LogStorage::read_body(uint64_t body_offset, uint32_t body_len) {
  const uint64_t end = body_offset + body_len;
  if (mapping_.data() == nullptr || mapped_len_ < end) {
    if (mapping_.data() != nullptr && end <= mapping_.length() && end <= log_bytes_) {
      // The file grew under a mapping that already reaches that far: the
      // bytes up to log_bytes exist, so they can be read without a remap,
      // but only as far as the mapping goes. A file that grew past the
      // mapping's end must not make a later read trust bytes beyond it.
      mapped_len_ = std::min(log_bytes_, mapping_.length());
    } else {
      FERROW_TRY(remap());
    }
  }
  assert(mapped_len_ <= mapping_.length());  // reads never trust bytes past the mapping
  if (end < body_offset) return QueueError::body_out_of_bounds(end, mapped_len_);
  // The index says the file reaches this far, but the file is shorter: it
  // was cut, or another file was put in its place and cut.
  if (end > mapped_len_) return body_cut_error(body_offset, end);
  if (body_len == 0) return std::string();
  // The file may be cut during the copy too (by anyone who can write it):
  // the copy then fails instead of the process dying of SIGBUS.
  std::string body;
  if (!copy_from_mapping(&body, mapping_.data() + body_offset, body_len)) {
    drop_mapping();  // its pages past the new end are gone; map afresh next time
    return body_cut_error(body_offset, end);
  }
  return body;
}

QueueError LogStorage::body_cut_error(uint64_t body_offset, uint64_t end) const {
  Result<uint64_t> length = file_length(reader_.fd(), log_path_);
  const std::string now =
      length.ok() ? std::to_string(length.value()) + " bytes" : "an unknown length";
  return QueueError::io(IoErrorKind::UnexpectedEof,
                        log_path_ + " was cut while the queue was open: the body at bytes " +
                            std::to_string(body_offset) + " to " + std::to_string(end) +
                            " lies past its end (" + now +
                            "); the message is delivered again when its lease ends");
}

Status LogStorage::remap() {
  // A failure leaves the previous mapping in place. The mapping is made
  // through this process's own handle, never by path: the bodies it reads
  // are those of the file its index describes, even if the path has been
  // made to name another file meanwhile.
  Result<uint64_t> length = file_length(reader_.fd(), log_path_);
  if (!length.ok()) return length.error();
  // Mapping past the end costs address space only, and lets a consumer that
  // follows a growing log read new bodies without a remap per message. Pages
  // past the end are never touched: reads stop at the known file length.
  const uint64_t reach = length.value() + map_headroom_;
  Result<Mapping> fresh = Mapping::map(reader_.fd(), log_path_, reach, /*writable=*/false);
  if (!fresh.ok()) return fresh.error();
  mapping_ = std::move(fresh.value());
  mapped_len_ = length.value();
  return {};
}

Status LogStorage::reopen_log(uint64_t generation) {
  Result<FileHandle> writer = open_file(log_path_, O_RDWR | O_APPEND);
  if (!writer.ok()) return writer.error();
  // Measured through the new handle: the same file the path names, since
  // nobody replaces it while this process holds the process lock.
  Result<uint64_t> length = file_length(writer.value().fd(), log_path_);
  if (!length.ok()) return length.error();
  Result<FileHandle> reader = open_file(log_path_, O_RDONLY);
  if (!reader.ok()) return reader.error();
  Result<FileIdentity> identity = identity_of(reader.value().fd(), log_path_);
  if (!identity.ok()) return identity.error();
  identity_ = identity.value();
  writer_ = std::move(writer.value());
  reader_ = std::move(reader.value());
  tail_needs_cut_ = false;  // the failed frame, if any, was in the old file
  generation_ = generation;
  append_pos_ = length.value();
  log_bytes_ = length.value();
  last_sync_ms_ = now_ms();
  drop_mapping();
  return {};
}

Result<std::optional<LogStorage::TailWindow>> LogStorage::read_tail(uint64_t start, bool thorough,
                                                                    size_t want) {
  // Reading from one byte before `start` tells "nothing new" (that byte
  // comes back) from "the file is shorter" (nothing does) without an fstat.
  // start is never below the header, so start - 1 is inside the file.
  const uint64_t from = start - 1;
  const size_t window = std::max(TAIL_CHUNK, want) + 1;
  if (tail_buffer_.size() < window) tail_buffer_.resize(window);
  Result<size_t> got =
      thorough ? pread_up_to(reader_.fd(), log_path_, tail_buffer_.data(), window, from)
               : pread_once(reader_.fd(), log_path_, tail_buffer_.data(), window, from);
  if (!got.ok()) return got.error();
  const size_t len = got.value();
  if (len == 0) return std::optional<TailWindow>();
  return std::optional<TailWindow>(
      TailWindow{std::string_view(tail_buffer_.data() + 1, len - 1), len == window});
}

void LogStorage::advance_to(uint64_t append_pos) {
  append_pos_ = append_pos;
  if (log_bytes_ < append_pos) log_bytes_ = append_pos;
}

Status LogStorage::cut_tail_at(uint64_t append_pos) {
  advance_to(append_pos);
  FERROW_TRY(set_file_length(writer_.fd(), log_path_, append_pos_));
  FERROW_TRY(sync_fd(writer_.fd(), log_path_));
  FERROW_TRY(sync_parent_dir(log_path_));
  log_bytes_ = append_pos_;
  tail_needs_cut_ = false;
  drop_mapping();
  return {};
}

void LogStorage::release_large_buffers() {
  // A batch of small records stays under BATCH_WRITE_LEN plus one frame.
  if (frame_buffer_.capacity() > 2 * BATCH_WRITE_LEN) std::string().swap(frame_buffer_);
  if (tail_buffer_.size() > TAIL_CHUNK + 1) std::string().swap(tail_buffer_);
}

void LogStorage::sync_quietly() {
  if (!persistent()) return;
  (void)sync_fd(writer_.fd(), log_path_);
}

}  // namespace ferrow
