// The POSIX seam, driven into its failure and edge cases by real OS
// conditions: closed and wrong-mode descriptors, /dev/full, a file size limit,
// short files, paths blocked by regular files, and mappings the kernel refuses.
#include "queue/file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

namespace ferrow {
namespace {

namespace fs = std::filesystem;

// Checks a failed call: the error form, kind and the message callers see.
template <typename R>
void ExpectIo(const R& result, IoErrorKind kind, const std::string& text) {
  ASSERT_FALSE(result.ok()) << "expected: " << text;
  EXPECT_EQ(result.error().form(), QueueError::Form::IoFailure);
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().message(), text);
}
template <typename R>
void ExpectOs(const R& result, const std::string& text) {
  ExpectIo(result, IoErrorKind::Other, text);
}
constexpr char EBADF_TEXT[] = "Bad file descriptor (os error 9)";
constexpr char EINVAL_TEXT[] = "Invalid argument (os error 22)";
constexpr char ENOENT_TEXT[] = "No such file or directory (os error 2)";
constexpr char EACCES_TEXT[] = "Permission denied (os error 13)";
constexpr char SHORT_TEXT[] = "failed to fill whole buffer";
// The path a descriptor call names in its errors.
const std::string NAMED = "/named/file";

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/ferrow_file_io_XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const char* name) const { return join_path(dir_, name); }
  FileHandle Open(const std::string& path, int flags) {
    Result<FileHandle> file = open_file(path, flags);
    EXPECT_TRUE(file.ok()) << path;
    return file.ok() ? std::move(file.value()) : FileHandle();
  }
  FileHandle WriteFile(const char* name, std::string_view bytes) {
    FileHandle file = Open(Path(name), O_RDWR | O_CREAT | O_TRUNC);
    EXPECT_TRUE(write_all(file.fd(), NAMED, bytes, WRITE_WHOLE_TEXT).ok());
    return file;
  }
  // A descriptor number that is certainly not open (nothing else runs in between).
  int ClosedFd() { return Open(Path("closed"), O_RDWR | O_CREAT).fd(); }

  std::string dir_;
};

TEST_F(FileIoTest, OpenFileReportsMissingAsNotFoundAndAddsCloexec) {
  ExpectIo(open_file(Path("missing"), O_RDONLY), IoErrorKind::NotFound, ENOENT_TEXT);
  FileHandle file = Open(Path("new"), O_RDWR | O_CREAT);
  // Children of the embedding process must not inherit queue descriptors.
  EXPECT_NE(::fcntl(file.fd(), F_GETFD) & FD_CLOEXEC, 0);
  ExpectOs(open_file(Path("new"), O_RDWR | O_CREAT | O_EXCL), "File exists (os error 17)");
}

TEST_F(FileIoTest, EveryDescriptorCallFailsOnAClosedDescriptor) {
  const int fd = ClosedFd();
  char buf[4];
  ExpectOs(file_length(fd, NAMED), EBADF_TEXT);
  ExpectOs(set_file_length(fd, NAMED, 1), EBADF_TEXT);
  ExpectOs(sync_fd(fd, NAMED), EBADF_TEXT);
  ExpectOs(write_all(fd, NAMED, "x", WRITE_WHOLE_TEXT), EBADF_TEXT);
  ExpectOs(pread_up_to(fd, NAMED, buf, 4, 0), EBADF_TEXT);
  ExpectOs(pread_once(fd, NAMED, buf, 4, 0), EBADF_TEXT);
  // The OS error must win over the short-read error.
  ExpectOs(pread_exact(fd, NAMED, buf, 4, 0), EBADF_TEXT);
  ExpectOs(Mapping::map(fd, NAMED, 4096, false), EBADF_TEXT);
}

// An OS error says which call failed on which file, beside its number.
TEST_F(FileIoTest, AnOsErrorNamesItsCallAndPath) {
  const int fd = ClosedFd();
  const std::pair<QueueError, const char*> failures[] = {
      {sync_fd(fd, NAMED).error(), "fsync"},
      {file_length(fd, NAMED).error(), "fstat"},
      {set_file_length(fd, NAMED, 1).error(), "ftruncate"},
      {write_all(fd, NAMED, "x", WRITE_WHOLE_TEXT).error(), "write"},
      {Mapping::map(fd, NAMED, 4096, false).error(), "mmap"},
  };
  for (const auto& [error, call] : failures) {
    EXPECT_EQ(std::string(error.call()), call);
    EXPECT_EQ(error.path(), NAMED);
    EXPECT_EQ(error.error_number(), EBADF);
  }
  const QueueError missing = open_file(Path("absent"), O_RDONLY).error();
  EXPECT_EQ(std::string(missing.call()), "open");
  EXPECT_EQ(missing.path(), Path("absent"));
  WriteFile("f", "x");
  const QueueError not_dir = create_directories(Path("f/sub")).error();
  EXPECT_EQ(std::string(not_dir.call()), "mkdir");
  EXPECT_EQ(not_dir.path(), Path("f"));
  EXPECT_EQ(QueueError::io(IoErrorKind::Other, "own text").call(), nullptr);
}

TEST_F(FileIoTest, WrongModeAndWrongTypeDescriptorsAreRefused) {
  WriteFile("f", "abc");
  FileHandle read_only = Open(Path("f"), O_RDONLY);
  FileHandle write_only = Open(Path("f"), O_WRONLY);
  char buf[4];
  ExpectOs(write_all(read_only.fd(), NAMED, "x", WRITE_WHOLE_TEXT), EBADF_TEXT);
  ExpectOs(set_file_length(read_only.fd(), NAMED, 0), EINVAL_TEXT);
  ExpectOs(pread_up_to(write_only.fd(), NAMED, buf, 4, 0), EBADF_TEXT);
  // Offsets and lengths beyond off_t must fail, not wrap to a negative position.
  ExpectOs(set_file_length(write_only.fd(), NAMED, UINT64_MAX), EINVAL_TEXT);
  ExpectOs(pread_up_to(read_only.fd(), NAMED, buf, 4, UINT64_MAX), EINVAL_TEXT);
  ExpectOs(pread_once(read_only.fd(), NAMED, buf, 4, UINT64_MAX), EINVAL_TEXT);

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  FileHandle pipe_read(pipe_fds[0]), pipe_write(pipe_fds[1]);
  ExpectOs(pread_once(pipe_read.fd(), NAMED, buf, 4, 0), "Illegal seek (os error 29)");
  ExpectOs(sync_fd(pipe_write.fd(), NAMED), EINVAL_TEXT);
  FileHandle dir = Open(dir_, O_RDONLY | O_DIRECTORY);
  ExpectOs(pread_up_to(dir.fd(), NAMED, buf, 4, 0), "Is a directory (os error 21)");
}

TEST_F(FileIoTest, WriteAllFailuresReportTheOsErrorAndTheBytesThatLanded) {
  FileHandle full = Open("/dev/full", O_WRONLY);
  size_t written = 99;
  ExpectOs(write_all(full.fd(), NAMED, "abc", WRITE_WHOLE_TEXT, &written),
           "No space left on device (os error 28)");
  EXPECT_EQ(written, 0u);

  // A file size limit makes the kernel accept the first 4 bytes and refuse the
  // rest, so write_all must continue after a partial write and then count it.
  FileHandle file = Open(Path("limited"), O_RDWR | O_CREAT);
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 4;
  void (*old_handler)(int) = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  Status limited = write_all(file.fd(), NAMED, "0123456789", WRITE_WHOLE_TEXT, &written);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ::signal(SIGXFSZ, old_handler);
  ExpectOs(limited, "File too large (os error 27)");
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(file_length(file.fd(), NAMED).value(), 4u);
}

TEST_F(FileIoTest, ReadsStopAtEndOfFileAndLengthFollowsTruncation) {
  FileHandle file = WriteFile("f", "hello");
  char buf[8] = {};
  EXPECT_EQ(pread_up_to(file.fd(), NAMED, buf, 8, 0).value(), 5u);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(pread_up_to(file.fd(), NAMED, buf, 8, 3).value(), 2u);
  EXPECT_EQ(std::string(buf, 2), "lo");
  EXPECT_EQ(pread_up_to(file.fd(), NAMED, buf, 8, 100).value(), 0u);
  EXPECT_EQ(pread_once(file.fd(), NAMED, buf, 8, 1).value(), 4u);
  EXPECT_EQ(std::string(buf, 4), "ello");
  EXPECT_TRUE(pread_exact(file.fd(), NAMED, buf, 5, 0).ok());
  EXPECT_TRUE(pread_exact(file.fd(), NAMED, buf, 0, 100).ok());
  ExpectIo(pread_exact(file.fd(), NAMED, buf, 6, 0), IoErrorKind::UnexpectedEof, SHORT_TEXT);
  ExpectIo(pread_exact(file.fd(), NAMED, buf, 1, 5), IoErrorKind::UnexpectedEof, SHORT_TEXT);
  ASSERT_TRUE(set_file_length(file.fd(), NAMED, 10000).ok());
  EXPECT_EQ(file_length(file.fd(), NAMED).value(), 10000u);
  ASSERT_TRUE(set_file_length(file.fd(), NAMED, 3).ok());
  EXPECT_EQ(file_length(file.fd(), NAMED).value(), 3u);
  EXPECT_TRUE(sync_fd(file.fd(), NAMED).ok());
}

TEST_F(FileIoTest, CreateDirectoriesBuildsMissingLevelsAndStopsAtRegularFiles) {
  EXPECT_TRUE(create_directories("").ok());
  const std::string nested = Path("a/b/c");
  ASSERT_TRUE(create_directories(nested).ok());
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_TRUE(create_directories(nested).ok());  // already there
  EXPECT_TRUE(create_directories(Path("x//y/")).ok());
  EXPECT_TRUE(fs::is_directory(Path("x/y")));

  // A regular file where a directory must be is no directory: ENOTDIR,
  // whichever of mkdir's EEXIST or ENOTDIR the level gave.
  WriteFile("f", "keep");
  for (const char* blocked : {"f", "f/sub", "f/sub/deeper"}) {
    Status status = create_directories(Path(blocked));
    ASSERT_FALSE(status.ok()) << blocked;
    EXPECT_EQ(status.error().message(), "Not a directory (os error 20)") << blocked;
  }
  EXPECT_TRUE(fs::is_regular_file(Path("f")));
  EXPECT_EQ(fs::file_size(Path("f")), 4u);

  // An entry that exists but cannot be stat'ed as a directory is not accepted.
  ASSERT_EQ(::symlink("nowhere", Path("dangling").c_str()), 0);
  ExpectOs(create_directories(Path("dangling/sub")), "File exists (os error 17)");
  // Failures other than EEXIST are reported as they are.
  const std::string too_long = dir_ + "/" + std::string(NAME_MAX + 1, 'n') + "/sub";
  ExpectOs(create_directories(too_long), "File name too long (os error 36)");
}

TEST_F(FileIoTest, SyncParentDirOpensOnlyTheParentDirectory) {
  EXPECT_TRUE(sync_parent_dir("no-slash").ok());
  EXPECT_TRUE(sync_parent_dir("/not-there").ok());  // the entry itself need not exist
  EXPECT_TRUE(sync_parent_dir(Path("not-there")).ok());
  ExpectIo(sync_parent_dir(Path("missing/x")), IoErrorKind::NotFound, ENOENT_TEXT);
  WriteFile("f", "");
  ExpectOs(sync_parent_dir(Path("f/x")), "Not a directory (os error 20)");
}

TEST_F(FileIoTest, RenameFileReplacesAtomicallyOrReportsWhy) {
  WriteFile("from", "data");
  ASSERT_TRUE(rename_file(Path("from"), Path("to")).ok());
  EXPECT_FALSE(fs::exists(Path("from")));
  EXPECT_EQ(fs::file_size(Path("to")), 4u);
  ExpectIo(rename_file(Path("from"), Path("to")), IoErrorKind::NotFound, ENOENT_TEXT);
  ExpectIo(rename_file(Path("to"), Path("missing/to")), IoErrorKind::NotFound, ENOENT_TEXT);
  ASSERT_TRUE(create_directories(Path("d/inner")).ok());
  ExpectOs(rename_file(Path("to"), Path("d")), "Is a directory (os error 21)");
  EXPECT_EQ(fs::file_size(Path("to")), 4u);
}

TEST_F(FileIoTest, MappingRefusesOversizedLengthsAndMismatchedAccess) {
  Result<Mapping> empty = Mapping::map(ClosedFd(), NAMED, 0, true);  // no mmap call for 0 bytes
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().data(), nullptr);
  EXPECT_EQ(empty.value().length(), 0u);

  FileHandle file = WriteFile("f", std::string(4096, 'r'));
  for (uint64_t length : {static_cast<uint64_t>(SSIZE_MAX) + 1, UINT64_MAX}) {
    ExpectIo(Mapping::map(file.fd(), NAMED, length, false), IoErrorKind::InvalidInput,
             "memory map length overflows isize");
  }
  // The largest accepted length reaches mmap, which has no room for it.
  ExpectOs(Mapping::map(file.fd(), NAMED, SSIZE_MAX, false), "Cannot allocate memory (os error 12)");

  FileHandle read_only = Open(Path("f"), O_RDONLY);
  FileHandle write_only = Open(Path("f"), O_WRONLY);
  ExpectOs(Mapping::map(read_only.fd(), NAMED, 4096, true), EACCES_TEXT);
  ExpectOs(Mapping::map(write_only.fd(), NAMED, 4096, false), EACCES_TEXT);
  // Readers open the log read-only, so a read-only mapping must ask for no more.
  Result<Mapping> reader = Mapping::map(read_only.fd(), NAMED, 4096, false);
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(reader.value().data()[4095], 'r');

  Result<Mapping> writable = Mapping::map(file.fd(), NAMED, 4096, true);
  ASSERT_TRUE(writable.ok());
  std::memcpy(writable.value().base(), "WXYZ", 4);
  writable.value().reset();
  EXPECT_EQ(writable.value().base(), nullptr);
  char buf[4];
  ASSERT_TRUE(pread_exact(file.fd(), NAMED, buf, 4, 0).ok());
  EXPECT_EQ(std::string(buf, 4), "WXYZ");  // shared: the store reached the file
}

TEST_F(FileIoTest, MappingMovesUnmapTheReplacedRegionAndSurviveSelfMove) {
  FileHandle first = WriteFile("first", std::string(4096, '1'));
  FileHandle second = WriteFile("second", std::string(8192, '2'));
  Mapping a = std::move(Mapping::map(first.fd(), NAMED, 4096, false).value());
  Mapping b = std::move(Mapping::map(second.fd(), NAMED, 8192, false).value());
  void* replaced = a.base();
  a = std::move(b);
  // msync on an address range that is no longer mapped fails with ENOMEM.
  EXPECT_EQ(::msync(replaced, 4096, MS_ASYNC), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(b.base(), nullptr);
  EXPECT_EQ(b.length(), 0u);
  ASSERT_EQ(a.length(), 8192u);
  EXPECT_EQ(a.data()[8191], '2');

  Mapping& alias = a;
  a = std::move(alias);
  ASSERT_EQ(a.length(), 8192u);
  EXPECT_EQ(a.data()[0], '2');
  Mapping c(std::move(a));
  EXPECT_EQ(a.base(), nullptr);
  EXPECT_EQ(c.data()[4096], '2');
}

TEST_F(FileIoTest, FileHandleMovesCloseTheReplacedDescriptorAndSurviveSelfMove) {
  FileHandle a = Open(Path("a"), O_RDWR | O_CREAT);
  FileHandle b = Open(Path("b"), O_RDWR | O_CREAT);
  const int replaced = a.fd();
  const int kept = b.fd();
  a = std::move(b);
  EXPECT_EQ(::fcntl(replaced, F_GETFD), -1);
  EXPECT_EQ(a.fd(), kept);
  EXPECT_FALSE(b.valid());

  FileHandle& alias = a;
  a = std::move(alias);
  EXPECT_EQ(a.fd(), kept);
  EXPECT_NE(::fcntl(kept, F_GETFD), -1);

  const int released = a.release();
  EXPECT_FALSE(a.valid());
  EXPECT_NE(::fcntl(released, F_GETFD), -1);  // release hands over, it does not close
  { FileHandle owner(released); }
  EXPECT_EQ(::fcntl(released, F_GETFD), -1);
}

TEST(JoinPathTest, InsertsExactlyOneSeparator) {
  EXPECT_EQ(join_path("", "queue.log"), "queue.log");
  EXPECT_EQ(join_path("dir/", "queue.log"), "dir/queue.log");
  EXPECT_EQ(join_path("dir", "queue.log"), "dir/queue.log");
  EXPECT_EQ(join_path("/", "queue.log"), "/queue.log");
}

}  // namespace
}  // namespace ferrow
