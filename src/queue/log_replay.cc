#include "queue/log_replay.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "queue/file_io.h"
#include "queue/log_scanner.h"
#include "queue/replay_frames.h"
#include "queue/replay_pipeline.h"

namespace ferrow {
namespace {

// A new file, or one cut off inside its header, holds nothing worth keeping.
Status reinitialise(int fd, const std::string& log_path) {
  FERROW_TRY(set_file_length(fd, log_path, 0));
  // The descriptor was just opened and nothing was read: it writes at 0.
  FERROW_TRY(write_all(fd, log_path, encode_file_header(0), WRITE_WHOLE_TEXT));
  FERROW_TRY(sync_fd(fd, log_path));
  // Without this a crash could lose the new file's directory entry.
  return sync_parent_dir(log_path);
}

Status cut_tail(int fd, const std::string& log_path, uint64_t offset) {
  FERROW_TRY(set_file_length(fd, log_path, offset));
  FERROW_TRY(sync_fd(fd, log_path));
  return sync_parent_dir(log_path);
}

}  // namespace

Result<ReplayResult> open_log(const std::string& log_path, const std::function<Status()>& before_cut) {
  Result<FileHandle> opened = open_file(log_path, O_RDWR | O_CREAT);
  if (!opened.ok()) return opened.error();
  const int fd = opened.value().fd();
  Result<FileStatus> status = status_of(fd, log_path);
  if (!status.ok()) return status.error();

  if (status.value().length < FILE_HEADER_LEN) {
    FERROW_TRY(reinitialise(fd, log_path));
    return ReplayResult{QueueState(), 0, FILE_HEADER_LEN, status.value().identity};
  }

  char bytes[FILE_HEADER_LEN];
  FERROW_TRY(pread_exact(fd, log_path, bytes, sizeof(bytes), 0));
  FileHeader header;
  if (!decode_file_header(bytes, &header)) {
    return QueueError::io(IoErrorKind::InvalidData, "queue.log has bad magic (not a Ferrow log)");
  }
  ReplayResult result{QueueState(), header.generation, FILE_HEADER_LEN, status.value().identity};

  result.state.begin_replay();
  uint64_t start = FILE_HEADER_LEN;
  if (pipeline_pays(status.value().length - start)) {
    Result<uint64_t> reached = apply_frames_pipelined(fd, log_path, start, result.state);
    if (!reached.ok()) return reached.error();
    start = reached.value();
  }
  LogScanner scanner(fd, log_path, start);
  for (;;) {
    // Whole, intact frames go the fast way; the first one that is not (or
    // that the buffer holds only in part) is read below, with its verdict.
    scanner.consume(apply_intact_frames(scanner.unread(), scanner.position(), result.state));
    result.end_offset = scanner.position();
    Result<BufferFrame> next = scanner.next();
    if (!next.ok()) return next.error();
    const BufferFrame& frame = next.value();
    const uint64_t offset = scanner.offset();
    if (frame.outcome == FrameOutcome::End) break;
    if (frame.outcome == FrameOutcome::Corrupt) {
      if (before_cut) FERROW_TRY(before_cut());
      write_warning("Ferrow: truncating corrupt log tail at byte " + std::to_string(offset) +
                    " (" + frame.corruption + ")");
      FERROW_TRY(cut_tail(fd, log_path, offset));
      break;
    }
    DecodeResult decoded = decode_payload(frame.payload);
    if (!decoded.ok) {
      if (before_cut) FERROW_TRY(before_cut());
      write_warning("Ferrow: truncating undecodable log tail at byte " + std::to_string(offset) +
                    " (" + decoded.error + ")");
      FERROW_TRY(cut_tail(fd, log_path, offset));
      break;
    }
    result.state.apply_record(decoded.record, offset, /*keep_body=*/false);
    result.end_offset = offset + frame.consumed;
  }
  result.state.end_replay();
  return result;
}

}  // namespace ferrow
