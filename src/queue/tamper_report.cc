#include "queue/tamper_report.h"

#include <atomic>

#include "queue/file_io.h"

namespace ferrow {
namespace {

std::atomic<bool> reported[static_cast<int>(Tamper::Count)];

}  // namespace

bool report_tamper_once(Tamper kind, const std::string& line) {
  if (reported[static_cast<int>(kind)].exchange(true)) return false;
  write_warning(line);
  return true;
}

}  // namespace ferrow
