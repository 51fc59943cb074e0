// Read-only integrity check of a whole queue.log.
#ifndef FERROW_QUEUE_LOG_VERIFY_H_
#define FERROW_QUEUE_LOG_VERIFY_H_

#include <cstdint>
#include <string>

#include "queue/result.h"

namespace ferrow {

struct IntegrityReport {
  bool ok;
  uint64_t records;  // intact frames before the end or the first bad frame
  uint64_t bytes;    // length of the intact prefix, header included
  std::string message;
};

// Re-reads the log from its first byte, checking the file magic and every
// frame's CRC. Payloads are not decoded. Changes nothing.
// REQUIRES: the caller holds the process lock, so the file is not changing.
Result<IntegrityReport> verify_log(const std::string& log_path);

}  // namespace ferrow

#endif  // FERROW_QUEUE_LOG_VERIFY_H_
