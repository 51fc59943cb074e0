// Replacing queue.log as a whole, as compaction and purge do: a complete new
// log is written under a temporary name in the same directory, forced to
// stable storage, renamed over queue.log, and the directory is forced, so
// that after a crash the name holds either the old log or the whole new one.
#ifndef FERROW_QUEUE_REPLACE_LOG_H_
#define FERROW_QUEUE_REPLACE_LOG_H_

#include <cstdint>
#include <functional>
#include <string>

#include "queue/log_storage.h"
#include "queue/result.h"

namespace ferrow {

struct LogReplacement {
  std::string tmp_path;  // beside the log
  uint64_t generation;   // written into the new header
  // Writes what follows the header into the new file (a descriptor open for
  // writing, and its path for errors). May be empty.
  std::function<Status(int fd, const std::string& path)> fill;
  // Runs just before the rename (the rewrite's announcement). A failure
  // leaves the old log in charge.
  std::function<Status()> before_rename;
  // Runs just after the rename, before the directory is forced.
  std::function<Status()> after_rename;
};

// Creates `tmp_path` afresh (removing whatever was at the name), gives it
// the mode and group of `current`'s log, writes the header and the fill,
// forces and closes it, renames it over the log and forces the directory.
// A failure before the rename removes the temporary file and leaves the old
// log in charge; after it, the new log is in place, and the caller's next
// catch-up finds its generation.
Status replace_log(const LogStorage& current, const LogReplacement& replacement);

}  // namespace ferrow

#endif  // FERROW_QUEUE_REPLACE_LOG_H_
