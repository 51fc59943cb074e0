// Body reads through the log mapping: bounds, growth by other writers, and
// what a reopen forgets.
#include "queue/log_storage.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "temp_dir.h"

namespace ferrow {
namespace {

class LogStorageTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path_ = dir_ + "/queue.log";
    // A 100-byte file: a header and 84 bytes of "body".
    std::string bytes = encode_file_header(0) + std::string(84, 'b');
    bytes[20] = 'X';
    WriteFile(bytes);
    auto opened = LogStorage::open(path_, 0, 100, 0);
    ASSERT_TRUE(opened.ok());
    storage_ = std::move(opened.value());
  }
  void WriteFile(const std::string& bytes) {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  void AppendByHand(const std::string& bytes) {
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }

  std::string path_;
  LogStorage storage_;
};

TEST_F(LogStorageTest, ReadUpToTheEndSucceedsOneByteMoreNamesTheCut) {
  auto body = storage_.read_body(20, 80);
  ASSERT_TRUE(body.ok());
  EXPECT_EQ(body.value()[0], 'X');
  EXPECT_EQ(body.value().size(), 80u);
  auto past = storage_.read_body(21, 80);
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().form(), QueueError::Form::IoFailure);
  EXPECT_EQ(past.error().message(),
            path_ + " was cut while the queue was open: the body at bytes 21 to 101 lies past "
                    "its end (100 bytes); the message is delivered again when its lease ends");
}

// The pages of a mapped body vanish when the file is cut under the mapping:
// the copy fails with the error instead of the process dying of SIGBUS, and
// the next read maps afresh.
TEST_F(LogStorageTest, CutUnderTheMappingFailsTheCopyNotTheProcess) {
  std::string big = encode_file_header(0) + std::string(3 * 4096, 'b');
  WriteFile(big);
  auto opened = LogStorage::open(path_, 0, big.size(), 0);
  ASSERT_TRUE(opened.ok());
  storage_ = std::move(opened.value());
  ASSERT_TRUE(storage_.read_body(16, 4).ok());  // maps the whole file
  ASSERT_EQ(::truncate(path_.c_str(), 100), 0);
  auto cut = storage_.read_body(16, 3 * 4096);
  ASSERT_FALSE(cut.ok());
  EXPECT_NE(cut.error().message().find("was cut while the queue was open"), std::string::npos);
  EXPECT_NE(cut.error().message().find("(100 bytes)"), std::string::npos);
  auto whole_again = storage_.read_body(16, 84);
  ASSERT_TRUE(whole_again.ok());
  EXPECT_EQ(whole_again.value(), std::string(84, 'b'));
}

TEST_F(LogStorageTest, WrappingReadIsOutOfBounds) {
  auto wrapped = storage_.read_body(UINT64_MAX - 1, 5);
  ASSERT_FALSE(wrapped.ok());
  EXPECT_EQ(wrapped.error().need(), 3u);
}

TEST_F(LogStorageTest, EmptyBodyReadsAsEmpty) {
  auto body = storage_.read_body(100, 0);
  ASSERT_TRUE(body.ok());
  EXPECT_TRUE(body.value().empty());
}

TEST_F(LogStorageTest, BodyAppendedByAnotherWriterIsReadByRemapping) {
  ASSERT_TRUE(storage_.read_body(16, 4).ok());  // the mapping exists now
  AppendByHand("fresh");
  auto body = storage_.read_body(100, 5);  // past the mapping: maps afresh
  ASSERT_TRUE(body.ok());
  EXPECT_EQ(body.value(), "fresh");
}

TEST_F(LogStorageTest, OwnAppendsAreReadableAndReopenForgetsTheMapping) {
  ASSERT_TRUE(storage_.read_body(16, 4).ok());
  ASSERT_TRUE(storage_.append_record(EnqueueRecord{0, 1, "abc"}).ok());
  EXPECT_EQ(storage_.append_pos(), 100u + 36u);
  auto body = storage_.read_body(100 + ENQUEUE_BODY_OFFSET, 3);
  ASSERT_TRUE(body.ok());
  EXPECT_EQ(body.value(), "abc");

  WriteFile(encode_file_header(4) + "zz");  // replaced under us
  ASSERT_TRUE(storage_.reopen_log(4).ok());
  EXPECT_EQ(storage_.generation(), 4u);
  EXPECT_EQ(storage_.log_bytes(), 18u);
  auto fresh = storage_.read_body(16, 2);
  ASSERT_TRUE(fresh.ok());
  EXPECT_EQ(fresh.value(), "zz");
}

// A mapping reaches a fixed headroom past the file length it was made at.
// Bodies appended further than that must be read through a new mapping, in
// whatever order the appends (own and others') and the reads come: the
// storage is driven here with a 4 KiB headroom across many multiples of it,
// each read checked against the bytes the file holds.
TEST_F(LogStorageTest, ReadsStayInsideTheMappingWhateverTheGrowth) {
  constexpr uint64_t HEADROOM = 4096;
  auto opened = LogStorage::open(path_, 0, 100, 0, HEADROOM);
  ASSERT_TRUE(opened.ok());
  LogStorage storage = std::move(opened.value());
  std::string file = encode_file_header(0) + std::string(84, 'b');
  file[20] = 'X';
  std::mt19937_64 rng(7);
  for (int step = 0; step < 3000 && file.size() < 40 * HEADROOM; step++) {
    switch (rng() % 4) {
      case 0: {  // an append of our own, which log_bytes counts at once
        const std::string body(rng() % 700, static_cast<char>('a' + step % 26));
        const uint64_t at = storage.append_pos();
        ASSERT_TRUE(storage.append_record(EnqueueRecord{uint64_t(step), 1, body}).ok());
        std::string frame;
        append_record_frame(EnqueueRecord{uint64_t(step), 1, body}, &frame);
        ASSERT_EQ(at, file.size());
        file += frame;
        break;
      }
      case 1: {  // another process's appends, taken in by a catch-up
        const std::string bytes(rng() % (3 * HEADROOM), static_cast<char>('A' + step % 26));
        AppendByHand(bytes);
        file += bytes;
        storage.advance_to(file.size());
        break;
      }
      default: {  // a read anywhere in what this process knows of
        const uint64_t offset = rng() % file.size();
        const uint32_t len = static_cast<uint32_t>(rng() % std::min<uint64_t>(file.size() - offset, 2000));
        auto body = storage.read_body(offset, len);
        ASSERT_TRUE(body.ok()) << body.error().message();
        ASSERT_EQ(body.value(), file.substr(offset, len)) << "step " << step;
      }
    }
  }
  EXPECT_GE(file.size(), 10 * HEADROOM);
}

// The crash this guards against: a read near the end of the mapping made
// the next read believe the whole known log was mapped.
TEST_F(LogStorageTest, ReadPastTheHeadroomAfterGrowthRemaps) {
  constexpr uint64_t HEADROOM = 4096;
  auto opened = LogStorage::open(path_, 0, 100, 0, HEADROOM);
  ASSERT_TRUE(opened.ok());
  LogStorage storage = std::move(opened.value());
  ASSERT_TRUE(storage.read_body(16, 4).ok());        // maps 100 + 4096 bytes
  AppendByHand(std::string(3 * HEADROOM, 'g'));
  storage.advance_to(100 + 3 * HEADROOM);
  ASSERT_TRUE(storage.read_body(100, HEADROOM).ok());  // inside the old mapping
  auto far = storage.read_body(100 + 2 * HEADROOM, HEADROOM);  // beyond it
  ASSERT_TRUE(far.ok());
  EXPECT_EQ(far.value(), std::string(HEADROOM, 'g'));
}

}  // namespace
}  // namespace ferrow
