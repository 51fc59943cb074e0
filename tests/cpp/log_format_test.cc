#include "queue/log_format.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace ferrow {
namespace {

// Serves `data` in reads of at most 5 bytes; fails once with `error` at the
// first read after at least `error_at` bytes were served.
class StringReader : public ByteReader {
 public:
  explicit StringReader(std::string_view data, int error = 0, size_t error_at = 0)
      : data_(data), error_(error), error_at_(error_at) {}
  long read(char* dst, size_t n) override {
    if (error_ != 0 && pos_ >= error_at_) return -std::exchange(error_, 0);
    n = std::min({n, size_t{5}, data_.size() - pos_});
    std::memcpy(dst, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }

 private:
  std::string_view data_;
  int error_;
  size_t error_at_;
  size_t pos_ = 0;
};

uint32_t BitwiseCrc(std::string_view s) {
  uint32_t c = 0xFFFFFFFF;
  for (unsigned char b : s) {
    c ^= b;
    for (int i = 0; i < 8; i++) c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
  }
  return ~c;
}

std::string FrameHeader(uint32_t len, uint32_t crc) {
  std::string h = "FWR1" + std::string(8, '\0');
  encode_fixed32(h.data() + 4, len), encode_fixed32(h.data() + 8, crc);
  return h;
}

class LogFormatTest : public testing::Test {
 protected:
  void Reset() { src_.clear(), pos_ = 0; }
  void Write(const LogRecord& r) { src_ += encode_record_frame(r); }
  void WriteRaw(std::string_view bytes) { src_ += bytes; }

  // Reads the next frame with both readers, which must agree. Returns the
  // payload, "EOF", or the corruption text.
  std::string Read() {
    std::string_view rest = std::string_view(src_).substr(pos_);
    StringReader reader(rest);
    FrameResult f = read_frame(reader);
    BufferFrame b = read_frame_in_buffer(rest);
    EXPECT_EQ(f.outcome, b.outcome);
    EXPECT_EQ(f.payload, b.payload);
    EXPECT_EQ(f.consumed, b.consumed);
    EXPECT_EQ(f.corruption, b.corruption);
    pos_ += f.consumed;
    if (f.outcome == FrameOutcome::End) return "EOF";
    return f.outcome == FrameOutcome::Frame ? f.payload : f.corruption;
  }
  FrameResult ReadFailing(int error, size_t at) {
    StringReader reader(src_, error, at);
    return read_frame(reader);
  }

  static std::string Decode(std::string_view payload) {
    DecodeResult d = decode_payload(payload);
    return d.ok ? "ok" : d.error;
  }
  static LogRecord DecodeOk(std::string_view payload) {
    DecodeResult d = decode_payload(payload);
    EXPECT_TRUE(d.ok) << d.error;
    return d.record;
  }
  static std::string Prefix(const LogRecord& r, size_t n) { return encode_payload(r).substr(0, n); }

  std::string src_;
  size_t pos_ = 0;
};

TEST_F(LogFormatTest, CrcKnownAnswers) {
  EXPECT_EQ(0xCBF43926u, crc32("123456789", 9));
  EXPECT_EQ(0u, crc32("", 0));
  EXPECT_EQ(0x414FA339u, crc32("The quick brown fox jumps over the lazy dog", 43));
}

TEST_F(LogFormatTest, EveryCrcKernelMatchesZlibAtEveryLengthAndAlignment) {
  // Every length up to 4096 (every split between folded blocks, lanes and
  // the table's tail), each at a random alignment, and every alignment at a
  // few lengths; for each kernel this processor has.
  std::mt19937_64 random(20240611);
  std::string data(4096 + 64, '\0');
  for (char& c : data) c = static_cast<char>(random());
  auto zlib = [](const char* p, size_t n) {
    return static_cast<uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(n)));
  };
  for (CrcKernel kernel : {CrcKernel::Table, CrcKernel::Folding, CrcKernel::Wide}) {
    if (!crc_kernel_available(kernel)) continue;
    for (size_t n = 0; n <= 4096; n++) {
      const size_t start = random() % 64;
      ASSERT_EQ(zlib(data.data() + start, n), crc32_with(kernel, data.data() + start, n))
          << static_cast<int>(kernel) << " " << start << " " << n;
    }
    for (size_t start = 0; start < 64; start++) {
      for (size_t n : {1, 15, 16, 31, 33, 121, 128, 129, 255, 1000}) {
        ASSERT_EQ(zlib(data.data() + start, n), crc32_with(kernel, data.data() + start, n))
            << static_cast<int>(kernel) << " " << start << " " << n;
      }
    }
  }
  // And the entry point, which picks a kernel by length.
  for (size_t n = 0; n <= 4096; n++) {
    const size_t start = random() % 64;
    ASSERT_EQ(zlib(data.data() + start, n), crc32(data.data() + start, n)) << start << " " << n;
  }
  EXPECT_EQ(BitwiseCrc(data.substr(3, 121)), crc32(data.data() + 3, 121));
}

TEST_F(LogFormatTest, LayoutKnownAnswers) {
  EXPECT_EQ(std::string("FWFL\x01\0\0\0\x08\x07\x06\x05\x04\x03\x02\x01", 16),
            encode_file_header(0x0102030405060708));
  std::string ack_payload("\x02\x07\0\0\0\0\0\0\0", 9);
  EXPECT_EQ(FrameHeader(9, 0xC23A3531) + ack_payload, encode_record_frame(AckRecord{7}));
  std::string out = "prefix";
  encode_frame(ack_payload, &out);
  EXPECT_EQ("prefix" + encode_record_frame(AckRecord{7}), out);
  EXPECT_EQ("hi", encode_record_frame(EnqueueRecord{9, 10, "hi"}).substr(ENQUEUE_BODY_OFFSET));
}

TEST_F(LogFormatTest, EveryKindRoundTrips) {
  std::vector<LogRecord> records = {EnqueueRecord{1, 2, "body\0\xff"}, EnqueueRecord{~0ull, 0, ""},
                                    AckRecord{7}, LeaseRecord{3, ~0ull - 1, 0xFFFFFFFE},
                                    RequeueRecord{4, 0x01020304}, DeadRecord{5}};
  for (const LogRecord& r : records) Write(r);
  for (const LogRecord& r : records) EXPECT_EQ(r, DecodeOk(Read()));
  EXPECT_EQ("EOF", Read());
}

TEST_F(LogFormatTest, RecordsDifferingInOneFieldAreUnequal) {
  EXPECT_NE(LogRecord(EnqueueRecord{1, 2, "a"}), LogRecord(EnqueueRecord{1, 2, "b"}));
  EXPECT_NE(LogRecord(EnqueueRecord{1, 2, "a"}), LogRecord(EnqueueRecord{1, 3, "a"}));
  EXPECT_NE(LogRecord(LeaseRecord{1, 2, 3}), LogRecord(LeaseRecord{1, 2, 4}));
  EXPECT_NE(LogRecord(RequeueRecord{1, 3}), LogRecord(RequeueRecord{2, 3}));
  EXPECT_NE(LogRecord(AckRecord{1}), LogRecord(DeadRecord{1}));
}

TEST_F(LogFormatTest, EndRightAfterAFrameIsCleanEof) {
  EXPECT_EQ("EOF", Read());
  Write(AckRecord{1});
  EXPECT_EQ(encode_payload(AckRecord{1}), Read());
  EXPECT_EQ("EOF", Read());
}

TEST_F(LogFormatTest, OneToElevenTrailingBytesAreTruncatedHeader) {
  for (size_t n = 1; n < FRAME_HEADER_LEN; n++) {
    Reset(), Write(AckRecord{1}), WriteRaw(encode_record_frame(AckRecord{2}).substr(0, n));
    EXPECT_EQ(encode_payload(AckRecord{1}), Read());
    EXPECT_EQ("truncated record header", Read()) << n;
  }
}

TEST_F(LogFormatTest, DamageIsNamed) {
  Write(AckRecord{1}), src_[3] ^= 1;
  EXPECT_EQ("bad record magic", Read());  // even though the CRC is right
  Reset(), Write(EnqueueRecord{1, 2, "body"}), src_.back() ^= 1;
  EXPECT_EQ("record CRC mismatch (silent corruption)", Read());
}

TEST_F(LogFormatTest, MissingOrShortPayloadIsTruncatedPayload) {
  WriteRaw(FrameHeader(9, 0));
  EXPECT_EQ("truncated record payload", Read());
  Reset(), WriteRaw(encode_record_frame(AckRecord{1}).substr(0, 20));
  EXPECT_EQ("truncated record payload", Read());
}

TEST_F(LogFormatTest, LengthLimitIsInclusive) {
  // Only the in-memory reader probes the limit itself: it allocates nothing.
  BufferFrame at_max = read_frame_in_buffer(FrameHeader(MAX_RECORD_LEN, 0));
  EXPECT_EQ("truncated record payload", at_max.corruption);
  WriteRaw(FrameHeader(MAX_RECORD_LEN + 1, 0));
  EXPECT_EQ("record length 536870913 exceeds max 536870912", Read());
}

TEST_F(LogFormatTest, EmptyFrameIsValidButDoesNotDecode) {
  WriteRaw(FrameHeader(0, 0));
  EXPECT_EQ("", Read());
  EXPECT_EQ("EOF", Read());
  EXPECT_EQ("empty record", Decode(""));
}

TEST_F(LogFormatTest, UnknownTypesAreReportedAsUnsigned) {
  EXPECT_EQ("unknown record type 0", Decode(std::string(9, '\0')));
  EXPECT_EQ("unknown record type 6", Decode("\x06"));
  EXPECT_EQ("unknown record type 255", Decode("\xff"));
}

TEST_F(LogFormatTest, ShortFieldsAreNamedAtEachBoundary) {
  EXPECT_EQ("short u64 field", Decode(Prefix(AckRecord{7}, 8)));
  EXPECT_EQ("short u64 field", Decode(Prefix(DeadRecord{7}, 1)));
  EXPECT_EQ("short u64 field", Decode(Prefix(LeaseRecord{7, 8, 9}, 16)));
  EXPECT_EQ("short u32 field", Decode(Prefix(LeaseRecord{7, 8, 9}, 17)));
  EXPECT_EQ("short u32 field", Decode(Prefix(LeaseRecord{7, 8, 9}, 20)));
  EXPECT_EQ("short u64 field", Decode(Prefix(RequeueRecord{7, 9}, 8)));
  EXPECT_EQ("short u32 field", Decode(Prefix(RequeueRecord{7, 9}, 9)));
  EXPECT_EQ("short u32 field", Decode(Prefix(RequeueRecord{7, 9}, 12)));
}

TEST_F(LogFormatTest, ShortEnqueueFieldsAndBody) {
  EnqueueRecord e{7, 8, "body"};
  EXPECT_EQ("short u64 field", Decode(Prefix(e, 16)));
  EXPECT_EQ("short u32 field", Decode(Prefix(e, 17)));
  EXPECT_EQ("short u32 field", Decode(Prefix(e, 20)));
  EXPECT_EQ("short body", Decode(Prefix(e, 21)));
  EXPECT_EQ("short body", Decode(Prefix(e, 24)));
}

TEST_F(LogFormatTest, BytesBeyondTheFieldsAreIgnored) {
  EXPECT_EQ(LogRecord(AckRecord{7}), DecodeOk(encode_payload(AckRecord{7}) + "xyz"));
  EnqueueRecord e{7, 8, "ab"};
  EXPECT_EQ(LogRecord(e), DecodeOk(encode_payload(e) + "cd"));
}

TEST_F(LogFormatTest, RequeueDeliveriesAreBytesNineToTwelve) {
  std::string requeue("\x04" "12345678" "\x01\0\0\x02", 13);
  EXPECT_EQ(LogRecord(RequeueRecord{0x3837363534333231, 0x02000001}), DecodeOk(requeue));
}

TEST_F(LogFormatTest, InterruptedReadsRetryOtherErrorsPassThrough) {
  Write(EnqueueRecord{1, 2, "body"});
  for (size_t at : {0, 5, 15}) {  // first read, inside the header, inside the payload
    EXPECT_EQ(encode_payload(EnqueueRecord{1, 2, "body"}), ReadFailing(EINTR, at).payload) << at;
    EXPECT_EQ(EIO, ReadFailing(EIO, at).error_number) << at;
  }
}

}  // namespace
}  // namespace ferrow
