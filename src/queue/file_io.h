// The engine's file, directory and mapping operations, each turning the
// failure of its system call into a QueueError. The calls themselves go
// through the table of system_calls.h, as do the few that the lock, the cut
// guard and the shared words make directly.
#ifndef FERROW_QUEUE_FILE_IO_H_
#define FERROW_QUEUE_FILE_IO_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "queue/result.h"

namespace ferrow {

// Owns one file descriptor; closes it on destruction.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { reset(); }

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

// open(2) with O_CLOEXEC added, and O_NOFOLLOW for anything but a
// directory: a symbolic link is refused with an error naming it. Created
// files get 0666 filtered by the umask.
Result<FileHandle> open_file(const std::string& path, int flags);
// A new file at `path`, write-only, created by this call (O_EXCL) after
// removing whatever was there.
Result<FileHandle> create_exclusive(const std::string& path);
// Every operation on a descriptor also takes the path it was opened by: a
// failure names the call and that path (see QueueError::os).

// Gives `to_fd` the permission bits of `from_fd` and, where the owner may,
// its group: a rewritten log keeps the access an administrator set.
Status copy_mode_and_group(int from_fd, const std::string& from_path, int to_fd,
                           const std::string& to_path);
Result<uint64_t> file_length(int fd, const std::string& path);

// Which file a descriptor or a path refers to. Two equal identities are one
// file while either is held open (an inode is not reused before that).
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
Result<FileIdentity> identity_of(int fd, const std::string& path);

// Identity, length and number of names of a file, from one fstat of a
// descriptor or one statx of a path (of the name itself, not following a
// link: a symbolic link has an identity of its own).
struct FileStatus {
  FileIdentity identity;
  uint64_t length = 0;
  uint64_t links = 0;  // 0 once every name of the file is gone
};
Result<FileStatus> status_of(int fd, const std::string& path);
Result<FileStatus> status_of(const std::string& path);
Status set_file_length(int fd, const std::string& path, uint64_t length);

// Writes all of `data`, continuing partial writes and retrying EINTR. A write
// that takes no bytes fails with `zero_write_text` (kind WriteZero).
Status write_all(int fd, const std::string& path, std::string_view data,
                 const char* zero_write_text);
// The same, counting in *written the bytes that reached the file even when
// it fails part-way.
Status write_all(int fd, const std::string& path, std::string_view data,
                 const char* zero_write_text, size_t* written);
inline constexpr char WRITE_WHOLE_TEXT[] = "failed to write whole buffer";

// Writes one line straight to file descriptor 2, bypassing any buffering, so
// that the warning is there even if the process dies right after.
void write_warning(const std::string& line);
inline constexpr char WRITE_BUFFERED_TEXT[] = "failed to write the buffered data";

// Reads up to n bytes at `offset`, stopping early only at end of file.
// Returns the number of bytes read.
Result<size_t> pread_up_to(int fd, const std::string& path, char* dst, size_t n,
                           uint64_t offset);
// One pread (EINTR retried): may return fewer bytes than the file holds.
Result<size_t> pread_once(int fd, const std::string& path, char* dst, size_t n, uint64_t offset);
// Reads exactly n bytes at `offset`; a short file gives "failed to fill whole buffer".
Status pread_exact(int fd, const std::string& path, char* dst, size_t n, uint64_t offset);

// Makes the file's data durable against power loss.
Status sync_fd(int fd, const std::string& path);
// Makes the directory entry of `path` durable: without it a newly created or
// renamed file may be missing after a crash even though its data was synced.
Status sync_parent_dir(const std::string& path);
// mkdir -p with 0777 filtered by the umask; an existing directory is accepted.
Status create_directories(const std::string& path);
Status rename_file(const std::string& from, const std::string& to);
// unlink(2); a file that is already gone is not an error.
Status remove_file(const std::string& path);

// Removes the file at `path` when it goes out of scope unless renamed() was
// called: a rewrite that fails leaves no temporary file behind.
class TemporaryName {
 public:
  explicit TemporaryName(std::string path) : path_(std::move(path)) {}
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  ~TemporaryName() {
    if (!renamed_) (void)remove_file(path_);
  }
  const std::string& path() const { return path_; }
  void renamed() { renamed_ = true; }

 private:
  std::string path_;
  bool renamed_ = false;
};

// A read-only or read-write shared mapping of a whole file.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { reset(); }

  static Result<Mapping> map(int fd, const std::string& path, uint64_t length, bool writable);

  const char* data() const { return static_cast<const char*>(base_); }
  void* base() const { return base_; }
  uint64_t length() const { return length_; }
  void reset();

 private:
  void* base_ = nullptr;
  uint64_t length_ = 0;
};

// Path join with "/" (no normalisation); an empty directory means ".".
std::string join_path(const std::string& dir, const char* name);

}  // namespace ferrow

#endif  // FERROW_QUEUE_FILE_IO_H_
