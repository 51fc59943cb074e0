#include "queue/replace_log.h"

#include "queue/file_io.h"
#include "queue/log_format.h"

namespace ferrow {

Status replace_log(const LogStorage& current, const LogReplacement& r) {
  TemporaryName tmp_path(r.tmp_path);
  {
    Result<FileHandle> tmp = create_exclusive(tmp_path.path());
    if (!tmp.ok()) return tmp.error();
    const int fd = tmp.value().fd();
    FERROW_TRY(copy_mode_and_group(current.log_fd(), current.log_path(), fd, tmp_path.path()));
    FERROW_TRY(write_all(fd, tmp_path.path(), encode_file_header(r.generation), WRITE_WHOLE_TEXT));
    if (r.fill) FERROW_TRY(r.fill(fd, tmp_path.path()));
    FERROW_TRY(sync_fd(fd, tmp_path.path()));
  }
  if (r.before_rename) FERROW_TRY(r.before_rename());
  FERROW_TRY(rename_file(tmp_path.path(), current.log_path()));
  tmp_path.renamed();
  if (r.after_rename) FERROW_TRY(r.after_rename());
  return sync_parent_dir(current.log_path());
}

}  // namespace ferrow
