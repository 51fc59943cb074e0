// Walks the frames of queue.log from a given offset, reading the file in
// large chunks and parsing frames in place, so that replaying a big log costs
// little more than reading it. Outcomes and texts are those of read_frame.
#ifndef FERROW_QUEUE_LOG_SCANNER_H_
#define FERROW_QUEUE_LOG_SCANNER_H_

#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>

#include "queue/log_format.h"
#include "queue/result.h"

namespace ferrow {

class LogScanner {
 public:
  // Reads through `fd` (not owned), opened by `path`, with positioned reads
  // from `start`.
  LogScanner(int fd, const std::string& path, uint64_t start);

  // The next frame, or End / Corrupt. A Frame's payload view stays valid
  // until the next call. offset() is where the returned frame begins.
  Result<BufferFrame> next();
  uint64_t offset() const { return frame_offset_; }

  // The bytes read ahead and not yet returned, beginning at file offset
  // position(), for a caller that walks them itself; consume(n) says it
  // took the first n.
  std::string_view unread() const { return std::string_view(buffer_.data() + pos_, len_ - pos_); }
  uint64_t position() const { return file_pos_ - (len_ - pos_); }
  void consume(size_t n) {
    assert(n <= len_ - pos_);  // only bytes that unread() showed
    pos_ += n;
  }

 private:
  // Makes at least `need` unread bytes available unless the file ends first.
  Status fill(size_t need);

  const int fd_;
  const std::string& path_;  // the caller's, which outlives the scanner
  std::string buffer_;
  size_t pos_ = 0;         // first unread byte in buffer_
  size_t len_ = 0;         // bytes of buffer_ holding file data
  uint64_t file_pos_;      // file offset of buffer_[len_]
  uint64_t frame_offset_;  // file offset of the frame last returned
  bool eof_ = false;
};

}  // namespace ferrow

#endif  // FERROW_QUEUE_LOG_SCANNER_H_
