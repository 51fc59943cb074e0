#include "queue/mark_checks.h"

#include <cstdio>

#include "queue/file_io.h"
#include "queue/tamper_report.h"

namespace ferrow {
namespace {

void report_bad_mark(const std::string& lock_path, const std::string& what) {
  report_tamper_once(Tamper::BadCommitMark,
                     "Ferrow: the commit mark in " + lock_path + " " + what +
                         ": something other than this queue wrote it; it is ignored and each "
                         "call syncs for itself");
}

}  // namespace

Result<bool> MarkChecks::believe_synced(uint64_t generation, uint64_t synced_end, int log_fd,
                                        const std::string& log_path,
                                        const std::string& lock_path) {
  if (generation != generation_) {
    generation_ = generation;
    believed_ = 0;
  }
  if (synced_end < believed_) {
    report_bad_mark(lock_path, "moved backwards (from byte " + std::to_string(believed_) +
                                   " to " + std::to_string(synced_end) + ")");
    return false;
  }
  // The mark was read before the length, and the log only grows within a
  // generation, so a true mark is never beyond the length found now.
  Result<FileStatus> log = status_of(log_fd, log_path);
  if (!log.ok()) return log.error();
  if (synced_end > log.value().length) {
    report_bad_mark(lock_path, "says byte " + std::to_string(synced_end) +
                                   " is synced, beyond the end of the log (" +
                                   std::to_string(log.value().length) + " bytes)");
    return false;
  }
  believed_ = synced_end;
  return true;
}

void report_implausible_leader(uint64_t token, const std::string& lock_path) {
  char hex[32];
  std::snprintf(hex, sizeof(hex), "%#llx", static_cast<unsigned long long>(token));
  report_tamper_once(Tamper::BadCommitMark,
                     "Ferrow: the fsync leader recorded in " + lock_path + " (" + hex +
                         ") names no process of this queue: something other than this queue "
                         "wrote it; it is ignored and the call syncs for itself");
}

}  // namespace ferrow
