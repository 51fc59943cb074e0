#include "queue/log_verify.h"

#include <fcntl.h>

#include "queue/file_io.h"
#include "queue/log_format.h"
#include "queue/log_scanner.h"

namespace ferrow {

Result<IntegrityReport> verify_log(const std::string& log_path) {
  Result<FileHandle> file = open_file(log_path, O_RDONLY);
  if (!file.ok()) return file.error();
  char bytes[FILE_HEADER_LEN];
  FERROW_TRY(pread_exact(file.value().fd(), log_path, bytes, sizeof(bytes), 0));
  FileHeader header;
  if (!decode_file_header(bytes, &header)) {
    return IntegrityReport{false, 0, FILE_HEADER_LEN, "bad file magic"};
  }
  IntegrityReport report{true, 0, FILE_HEADER_LEN, "clean"};
  LogScanner scanner(file.value().fd(), log_path, FILE_HEADER_LEN);
  for (;;) {
    Result<BufferFrame> next = scanner.next();
    if (!next.ok()) return next.error();
    const BufferFrame& frame = next.value();
    if (frame.outcome == FrameOutcome::End) return report;
    if (frame.outcome == FrameOutcome::Corrupt) {
      report.ok = false;
      report.message = "corrupt tail at byte " + std::to_string(report.bytes) + ": " + frame.corruption;
      return report;
    }
    report.records++;
    report.bytes += frame.consumed;
  }
}

}  // namespace ferrow
