#include "queue/file_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "queue/system_calls.h"

namespace ferrow {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void FileHandle::reset() {
  // Not retried on EINTR: the descriptor may already have been reused.
  if (fd_ >= 0) system_calls.close(fd_);
  fd_ = -1;
}

Result<FileHandle> open_file(const std::string& path, int flags) {
  // A queue's files are never reached through a symbolic link: in a
  // directory another user can write, a planted link would make this
  // process write through it into a file of the link's choosing. Only the
  // directory itself, which the caller named, may be one.
  if ((flags & O_DIRECTORY) == 0) flags |= O_NOFOLLOW;
  int fd;
  do {
    // 0666 filtered by the umask, as every ordinary program creates files.
    fd = system_calls.open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ELOOP && (flags & O_NOFOLLOW) != 0) {
      return QueueError::os(ELOOP, "open", path,
                            path + " is a symbolic link; refusing to follow it (os error " +
                                std::to_string(ELOOP) + ")");
    }
    return QueueError::os(errno, "open", path);
  }
  return FileHandle(fd);
}

Result<FileHandle> create_exclusive(const std::string& path) {
  // Whatever is at the name (a leftover of ours, or a link someone planted)
  // is removed, and the new file must be the one this call creates.
  FERROW_TRY(remove_file(path));
  return open_file(path, O_WRONLY | O_CREAT | O_EXCL);
}

Status copy_mode_and_group(int from_fd, const std::string& from_path, int to_fd,
                           const std::string& to_path) {
  struct stat st;
  if (system_calls.fstat(from_fd, &st) != 0) return QueueError::os(errno, "fstat", from_path);
  if (system_calls.fchmod(to_fd, st.st_mode & 07777) != 0) {
    return QueueError::os(errno, "fchmod", to_path);
  }
  // Only the owner's groups are allowed; a group it cannot give is kept as
  // the directory gave it.
  (void)!system_calls.fchown(to_fd, static_cast<uid_t>(-1), st.st_gid);
  return {};
}

Result<uint64_t> file_length(int fd, const std::string& path) {
  struct stat st;
  if (system_calls.fstat(fd, &st) != 0) return QueueError::os(errno, "fstat", path);
  return static_cast<uint64_t>(st.st_size);
}

namespace {

FileStatus status_from(const struct stat& st) {
  return FileStatus{
      FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)},
      static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_nlink)};
}

}  // namespace

void write_warning(const std::string& line) {
  const std::string text = line + "\n";
  (void)write_all(STDERR_FILENO, "<stderr>", text, WRITE_WHOLE_TEXT);
}

Result<FileStatus> status_of(int fd, const std::string& path) {
  struct stat st;
  if (system_calls.fstat(fd, &st) != 0) return QueueError::os(errno, "fstat", path);
  return status_from(st);
}

// statx asking for no timestamps: on kernels with fine-grained timestamps a
// query of a file's times makes the next write stamp it anew, an inode
// update that would otherwise come once per clock tick. The log is probed
// before every call and written by most, so that update would come with
// nearly every append.
Result<FileStatus> status_of(const std::string& path) {
  struct statx sx;
  constexpr unsigned WANTED = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_NLINK;
  const int rc = system_calls.statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, WANTED, &sx);
  if (rc == 0 && (sx.stx_mask & WANTED) == WANTED) {
    return FileStatus{
        FileIdentity{static_cast<uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor)),
                     sx.stx_ino},
        sx.stx_size, sx.stx_nlink};
  }
  if (rc != 0 && errno != ENOSYS && errno != EPERM) return QueueError::os(errno, "statx", path);
  struct stat st;  // no statx here (an old kernel, or a filter that refuses it)
  if (system_calls.lstat(path.c_str(), &st) != 0) return QueueError::os(errno, "lstat", path);
  return status_from(st);
}

Result<FileIdentity> identity_of(int fd, const std::string& path) {
  Result<FileStatus> status = status_of(fd, path);
  if (!status.ok()) return status.error();
  return status.value().identity;
}

Status set_file_length(int fd, const std::string& path, uint64_t length) {
  int rc;
  do {
    rc = system_calls.ftruncate(fd, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return QueueError::os(errno, "ftruncate", path);
  return {};
}

Status write_all(int fd, const std::string& path, std::string_view data,
                 const char* zero_write_text) {
  size_t written;
  return write_all(fd, path, data, zero_write_text, &written);
}

Status write_all(int fd, const std::string& path, std::string_view data,
                 const char* zero_write_text, size_t* written) {
  *written = 0;
  while (*written < data.size()) {
    ssize_t n = system_calls.write(fd, data.data() + *written, data.size() - *written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return QueueError::os(errno, "write", path);
    }
    if (n == 0) return QueueError::io(IoErrorKind::WriteZero, zero_write_text);
    *written += static_cast<size_t>(n);
  }
  return {};
}

Result<size_t> pread_up_to(int fd, const std::string& path, char* dst, size_t n,
                           uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = system_calls.pread(fd, dst + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return QueueError::os(errno, "pread", path);
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

Result<size_t> pread_once(int fd, const std::string& path, char* dst, size_t n, uint64_t offset) {
  for (;;) {
    ssize_t got = system_calls.pread(fd, dst, n, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return QueueError::os(errno, "pread", path);
  }
}

Status pread_exact(int fd, const std::string& path, char* dst, size_t n, uint64_t offset) {
  Result<size_t> got = pread_up_to(fd, path, dst, n, offset);
  if (!got.ok()) return got.error();
  if (got.value() < n) return QueueError::io(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
  return {};
}

Status sync_fd(int fd, const std::string& path) {
  int rc;
  do {
    rc = system_calls.fsync(fd);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return QueueError::os(errno, "fsync", path);
  return {};
}

Status sync_parent_dir(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  // A bare name lives in the working directory (a queue opened at the empty
  // path); its entry needs the same sync as any other.
  const std::string parent =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  Result<FileHandle> dir = open_file(parent, O_RDONLY | O_DIRECTORY);
  if (!dir.ok()) return dir.error();
  return sync_fd(dir.value().fd(), parent);
}

Status create_directories(const std::string& path) {
  if (path.empty()) return {};
  // Create each missing component from the top down.
  for (size_t pos = 1; pos <= path.size(); pos++) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string prefix = path.substr(0, pos);
    if (system_calls.mkdir(prefix.c_str(), 0777) == 0) continue;  // filtered by the umask
    const int err = errno;
    if (err != EEXIST) return QueueError::os(err, "mkdir", prefix);
    struct stat st;
    // Whatever is there must be a directory. A name that exists but leads
    // nowhere (a dangling link) keeps mkdir's EEXIST; any other failure to
    // look at it is the one to report.
    if (system_calls.stat(prefix.c_str(), &st) != 0) {
      return errno == ENOENT ? QueueError::os(EEXIST, "mkdir", prefix)
                             : QueueError::os(errno, "stat", prefix);
    }
    if (S_ISDIR(st.st_mode)) continue;
    // A file where a directory must be ("/etc/passwd/q"): mkdir's EEXIST
    // would call the path taken, when the trouble is that it is no directory.
    return QueueError::os(ENOTDIR, "mkdir", prefix);
  }
  return {};
}

Status rename_file(const std::string& from, const std::string& to) {
  // The path is the name being replaced: the one its directory must let change.
  if (system_calls.rename(from.c_str(), to.c_str()) != 0) return QueueError::os(errno, "rename", to);
  return {};
}

Status remove_file(const std::string& path) {
  if (system_calls.unlink(path.c_str()) != 0 && errno != ENOENT) {
    return QueueError::os(errno, "unlink", path);
  }
  return {};
}

Mapping::Mapping(Mapping&& other) noexcept : base_(other.base_), length_(other.length_) {
  other.base_ = nullptr;
  other.length_ = 0;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    reset();
    base_ = other.base_;
    length_ = other.length_;
    other.base_ = nullptr;
    other.length_ = 0;
  }
  return *this;
}

Result<Mapping> Mapping::map(int fd, const std::string& path, uint64_t length, bool writable) {
  if (length > static_cast<uint64_t>(SSIZE_MAX)) {
    return QueueError::io(IoErrorKind::InvalidInput, "memory map length overflows isize");
  }
  Mapping m;
  m.length_ = length;
  if (length == 0) return m;  // mmap refuses empty mappings; nothing to read anyway
  const int prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  void* base = system_calls.mmap(nullptr, length, prot, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return QueueError::os(errno, "mmap", path);
  m.base_ = base;
  return m;
}

void Mapping::reset() {
  if (base_ != nullptr) system_calls.munmap(base_, length_);
  base_ = nullptr;
  length_ = 0;
}

std::string join_path(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace ferrow
