#include "queue/log_scanner.h"

#include <algorithm>
#include <cstring>

#include "queue/file_io.h"

namespace ferrow {
namespace {

// Large enough that syscalls are rare, small enough to stay in cache.
constexpr size_t CHUNK = 256 * 1024;

}  // namespace

LogScanner::LogScanner(int fd, const std::string& path, uint64_t start)
    : fd_(fd), path_(path), file_pos_(start), frame_offset_(start) {}

Status LogScanner::fill(size_t need) {
  // Keep the unread bytes, at the front of a buffer big enough for `need`.
  const size_t unread = len_ - pos_;
  if (pos_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + pos_, unread);
    pos_ = 0;
    len_ = unread;
  }
  const size_t capacity = std::max(need, CHUNK);
  if (buffer_.size() < capacity) buffer_.resize(capacity);
  while (len_ < need && !eof_) {
    Result<size_t> got =
        pread_up_to(fd_, path_, buffer_.data() + len_, buffer_.size() - len_, file_pos_);
    if (!got.ok()) return got.error();
    if (got.value() < buffer_.size() - len_) eof_ = true;
    len_ += got.value();
    file_pos_ += got.value();
  }
  return {};
}

Result<BufferFrame> LogScanner::next() {
  for (;;) {
    const std::string_view unread(buffer_.data() + pos_, len_ - pos_);
    size_t need = FRAME_HEADER_LEN;
    if (unread.size() >= FRAME_HEADER_LEN) {
      const uint64_t payload_len = decode_fixed32(unread.data() + FRAME_LEN_OFFSET);
      const bool plausible = std::memcmp(unread.data(), RECORD_MAGIC, 4) == 0 &&
                             payload_len <= MAX_RECORD_LEN;
      // A header that is already damaged is judged without reading on.
      need = plausible ? FRAME_HEADER_LEN + payload_len : FRAME_HEADER_LEN;
    }
    if (unread.size() >= need || eof_) {
      BufferFrame frame = read_frame_in_buffer(unread);
      frame_offset_ = file_pos_ - (len_ - pos_);
      if (frame.outcome == FrameOutcome::Frame) pos_ += frame.consumed;
      return frame;
    }
    FERROW_TRY(fill(need));
  }
}

}  // namespace ferrow
