// Body reads through the log mapping: bounds, growth by other writers, and
// what a reopen forgets.
#include "queue/log_storage.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace ferrow {
namespace {

class LogStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/ferrow_storage_XXXXXX";
    dir_ = mkdtemp(templ);
    path_ = dir_ + "/queue.log";
    // A 100-byte file: a header and 84 bytes of "body".
    std::string bytes = encode_file_header(0) + std::string(84, 'b');
    bytes[20] = 'X';
    WriteFile(bytes);
    auto opened = LogStorage::open(path_, 0, 100, 0);
    ASSERT_TRUE(opened.ok());
    storage_ = std::move(opened.value());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

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

  std::string dir_;
  std::string path_;
  LogStorage storage_;
};

TEST_F(LogStorageTest, ReadUpToTheEndSucceedsOneByteMoreIsOutOfBounds) {
  auto body = storage_.read_body(20, 80);
  ASSERT_TRUE(body.ok());
  EXPECT_EQ(body.value()[0], 'X');
  EXPECT_EQ(body.value().size(), 80u);
  auto past = storage_.read_body(21, 80);
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().form(), QueueError::Form::BodyOutOfBounds);
  EXPECT_EQ(past.error().message(), "Ferrow: body read out of bounds (need 101, mapped 100)");
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

}  // namespace
}  // namespace ferrow
