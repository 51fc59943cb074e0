// Commit marks in .proc_lock are written by every process on the queue, and
// can be written by anyone who can write that file (the group of a shared
// queue) or rename a copy over it (anyone who can write the directory). A
// "synced" mark that says more than is true would let every process skip
// its fsync: it is checked before it is believed, so that a bad mark costs
// an fsync, never durability.
//
// A mark is not believed when it lies beyond the end of the log (no fsync
// can have covered bytes that do not exist) or is lower than a mark this
// process believed before in the same generation (marks only rise). Either
// is reported once per process.
#ifndef FERROW_QUEUE_MARK_CHECKS_H_
#define FERROW_QUEUE_MARK_CHECKS_H_

#include <cstdint>
#include <string>

#include "queue/result.h"

namespace ferrow {

class MarkChecks {
 public:
  // Whether the synced mark `synced_end` of `generation` may be believed;
  // `log_fd` is this process's handle on that generation's log. An error if
  // the log's length cannot be had.
  Result<bool> believe_synced(uint64_t generation, uint64_t synced_end, int log_fd,
                              const std::string& log_path,
                              const std::string& lock_path);

 private:
  uint64_t generation_ = UINT64_MAX;
  uint64_t believed_ = 0;  // the highest mark believed in generation_
};

// The report for a leader token that no process of this queue can have
// written (see ProcessLock::plausible_token).
void report_implausible_leader(uint64_t token, const std::string& lock_path);

}  // namespace ferrow

#endif  // FERROW_QUEUE_MARK_CHECKS_H_
