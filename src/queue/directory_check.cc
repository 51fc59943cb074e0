#include "queue/directory_check.h"

#include <sys/stat.h>

#include <cerrno>

#include "queue/system_calls.h"

namespace ferrow {

Status check_directory_mode(const std::string& dir) {
  struct stat st;
  // Follows a link: what matters is the directory the queue's files go in.
  // The empty path is the working directory, as for the files in it.
  const std::string shown = dir.empty() ? "." : dir;
  if (system_calls.stat(shown.c_str(), &st) != 0) return QueueError::os(errno, "stat", shown);
  if ((st.st_mode & S_IWOTH) == 0 || (st.st_mode & S_ISVTX) != 0) return {};
  return QueueError::io(IoErrorKind::PermissionDenied,
                        "queue directory " + dir +
                            " is writable by other users and not sticky, so anyone could replace "
                            "the queue's files; refusing to open it (fix: chmod o-w " +
                            dir + ")");
}

}  // namespace ferrow
