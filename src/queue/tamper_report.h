// Lines on standard error about changes to a queue's files that this system
// did not make: someone who can write the directory or the files wrote
// them. Each kind is reported once per process, whatever the number of
// queues or calls that meet it, so that a file rewritten in a loop cannot
// flood the stream; what the lines mean is told in docs/threat-model.md.
#ifndef FERROW_QUEUE_TAMPER_REPORT_H_
#define FERROW_QUEUE_TAMPER_REPORT_H_

#include <string>

#include "queue/result.h"

namespace ferrow {

enum class Tamper {
  ForeignLog,       // queue.log replaced by a file no rewrite of the queue made
  BadCommitMark,    // a commit mark in .proc_lock that cannot be true
  LockWordChanged,  // the lock word or the log changed under its holder
  Count,
};

// Writes `line` (which starts with "Ferrow: ") unless a line of this kind
// was written before in this process. Says whether it wrote.
bool report_tamper_once(Tamper kind, const std::string& line);

// The error of a call that found another holder of the process lock beside
// it: the lock word was changed while it held it. Reports the change.
QueueError shared_hold_error(const std::string& log_path, const std::string& lock_path);

}  // namespace ferrow

#endif  // FERROW_QUEUE_TAMPER_REPORT_H_
