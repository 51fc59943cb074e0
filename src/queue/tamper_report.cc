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

QueueError shared_hold_error(const std::string& log_path, const std::string& lock_path) {
  report_tamper_once(Tamper::LockWordChanged,
                     "Ferrow: the lock word in " + lock_path + " was changed while this "
                     "process held it: something other than this queue wrote the file, and "
                     "another process may have used the log at the same time; calls that "
                     "found their records mixed with another's failed instead of returning");
  return QueueError::io(IoErrorKind::Other,
                        "another process wrote " + log_path +
                            " while this call held the process lock (its lock word was "
                            "changed by something other than this queue); the call's records, "
                            "if any, were written and may take effect, but its result is "
                            "uncertain");
}

}  // namespace ferrow
