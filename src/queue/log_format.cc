#include "queue/log_format.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <type_traits>
#include <utility>

namespace ferrow {

bool operator==(const EnqueueRecord& a, const EnqueueRecord& b) {
  return a.seq == b.seq && a.enqueued_ts_ms == b.enqueued_ts_ms && a.body == b.body;
}
bool operator==(const AckRecord& a, const AckRecord& b) { return a.seq == b.seq; }
bool operator==(const LeaseRecord& a, const LeaseRecord& b) {
  return a.seq == b.seq && a.deadline_ms == b.deadline_ms && a.deliveries == b.deliveries;
}
bool operator==(const RequeueRecord& a, const RequeueRecord& b) {
  return a.seq == b.seq && a.deliveries == b.deliveries;
}
bool operator==(const DeadRecord& a, const DeadRecord& b) { return a.seq == b.seq; }

std::string encode_file_header(uint64_t generation) {
  std::string header(FILE_HEADER_LEN, '\0');
  std::memcpy(header.data(), FILE_MAGIC, 4);
  encode_fixed32(header.data() + FILE_VERSION_OFFSET, FORMAT_VERSION);
  encode_fixed64(header.data() + FILE_GENERATION_OFFSET, generation);
  return header;
}

bool decode_file_header(const char* bytes, FileHeader* header) {
  if (std::memcmp(bytes, FILE_MAGIC, 4) != 0) return false;
  header->format_version = decode_fixed32(bytes + FILE_VERSION_OFFSET);
  header->generation = decode_fixed64(bytes + FILE_GENERATION_OFFSET);
  return true;
}

namespace {

size_t payload_size(const LogRecord& record) {
  return std::visit(
      [](const auto& r) -> size_t {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, EnqueueRecord>) {
          return ENQUEUE_PAYLOAD_HEADER_LEN + r.body.size();
        }
        if constexpr (std::is_same_v<T, LeaseRecord>) return LEASE_PAYLOAD_LEN;
        if constexpr (std::is_same_v<T, RequeueRecord>) return REQUEUE_PAYLOAD_LEN;
        static_assert(ACK_PAYLOAD_LEN == DEAD_PAYLOAD_LEN);
        return ACK_PAYLOAD_LEN;  // Ack, Dead
      },
      record);
}

// Writes the payload of `record` at dst. REQUIRES: dst holds payload_size(record) bytes.
void write_payload(const LogRecord& record, char* dst) {
  std::visit(
      [dst](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        encode_fixed64(dst + PAYLOAD_SEQ_OFFSET, r.seq);
        if constexpr (std::is_same_v<T, EnqueueRecord>) {
          dst[0] = static_cast<char>(RecordType::Enqueue);
          encode_fixed64(dst + ENQUEUE_TS_OFFSET, r.enqueued_ts_ms);
          // A body this long is refused before it gets here; the low bits
          // only keep the conversion defined.
          assert(r.body.size() <= MAX_BODY_LEN);
          encode_fixed32(dst + ENQUEUE_BODY_LEN_OFFSET, static_cast<uint32_t>(r.body.size()));
          if (!r.body.empty()) {
            std::memcpy(dst + ENQUEUE_PAYLOAD_HEADER_LEN, r.body.data(), r.body.size());
          }
        } else if constexpr (std::is_same_v<T, AckRecord>) {
          dst[0] = static_cast<char>(RecordType::Ack);
        } else if constexpr (std::is_same_v<T, LeaseRecord>) {
          dst[0] = static_cast<char>(RecordType::Lease);
          encode_fixed64(dst + LEASE_DEADLINE_OFFSET, r.deadline_ms);
          encode_fixed32(dst + LEASE_DELIVERIES_OFFSET, r.deliveries);
        } else if constexpr (std::is_same_v<T, RequeueRecord>) {
          dst[0] = static_cast<char>(RecordType::Requeue);
          encode_fixed32(dst + REQUEUE_DELIVERIES_OFFSET, r.deliveries);
        } else {
          static_assert(std::is_same_v<T, DeadRecord>);
          dst[0] = static_cast<char>(RecordType::Dead);
        }
      },
      record);
}

// Fills the 12 header bytes in front of a payload that is already in place.
void write_frame_header(char* dst, const char* payload, size_t n) {
  std::memcpy(dst, RECORD_MAGIC, 4);
  encode_fixed32(dst + FRAME_LEN_OFFSET, static_cast<uint32_t>(n));
  encode_fixed32(dst + FRAME_CRC_OFFSET, crc32(payload, n));
}

}  // namespace

std::string encode_payload(const LogRecord& record) {
  std::string payload(payload_size(record), '\0');
  write_payload(record, payload.data());
  return payload;
}

void encode_frame(std::string_view payload, std::string* out) {
  size_t start = out->size();
  out->resize(start + FRAME_HEADER_LEN + payload.size());
  char* frame = out->data() + start;
  if (!payload.empty()) std::memcpy(frame + FRAME_HEADER_LEN, payload.data(), payload.size());
  write_frame_header(frame, frame + FRAME_HEADER_LEN, payload.size());
}

size_t append_record_frame(const LogRecord& record, std::string* out) {
  // The payload is laid out directly behind the header, so appending a record
  // costs a single copy of its body and no allocation once `out` has grown.
  const size_t n = payload_size(record);
  assert(n <= MAX_RECORD_LEN);  // every reader would cut a longer frame
  const size_t start = out->size();
  out->resize(start + FRAME_HEADER_LEN + n);
  char* frame = out->data() + start;
  write_payload(record, frame + FRAME_HEADER_LEN);
  write_frame_header(frame, frame + FRAME_HEADER_LEN, n);
  return FRAME_HEADER_LEN + n;
}

std::string encode_record_frame(const LogRecord& record) {
  std::string frame;
  append_record_frame(record, &frame);
  return frame;
}

namespace {

DecodeResult decode_error(std::string text) {
  return DecodeResult{false, LogRecord{}, std::move(text)};
}
DecodeResult decoded(LogRecord record) { return DecodeResult{true, std::move(record), {}}; }

}  // namespace

DecodeResult decode_payload(std::string_view payload) {
  // Length tests run in field order, so the text names the first field that
  // does not fit. Bytes after the last field are ignored rather than treated
  // as damage: the frame CRC already vouches for them.
  const char* p = payload.data();
  const size_t n = payload.size();
  if (n == 0) return decode_error("empty record");
  const uint8_t type = static_cast<uint8_t>(p[0]);
  // Each test asks whether the field ends past the payload's end.
  switch (static_cast<RecordType>(type)) {
    case RecordType::Enqueue: {
      if (n < ENQUEUE_TS_OFFSET + 8) return decode_error("short u64 field");
      if (n < ENQUEUE_BODY_LEN_OFFSET + 4) return decode_error("short u32 field");
      const uint32_t body_len = decode_fixed32(p + ENQUEUE_BODY_LEN_OFFSET);
      if (n - ENQUEUE_PAYLOAD_HEADER_LEN < body_len) return decode_error("short body");
      return decoded(EnqueueRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET),
                                   decode_fixed64(p + ENQUEUE_TS_OFFSET),
                                   std::string_view(p + ENQUEUE_PAYLOAD_HEADER_LEN, body_len)});
    }
    case RecordType::Ack:
      if (n < ACK_PAYLOAD_LEN) return decode_error("short u64 field");
      return decoded(AckRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET)});
    case RecordType::Lease:
      if (n < LEASE_DEADLINE_OFFSET + 8) return decode_error("short u64 field");
      if (n < LEASE_PAYLOAD_LEN) return decode_error("short u32 field");
      return decoded(LeaseRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET),
                                 decode_fixed64(p + LEASE_DEADLINE_OFFSET),
                                 decode_fixed32(p + LEASE_DELIVERIES_OFFSET)});
    case RecordType::Requeue:
      if (n < REQUEUE_DELIVERIES_OFFSET) return decode_error("short u64 field");
      if (n < REQUEUE_PAYLOAD_LEN) return decode_error("short u32 field");
      return decoded(RequeueRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET),
                                   decode_fixed32(p + REQUEUE_DELIVERIES_OFFSET)});
    case RecordType::Dead:
      if (n < DEAD_PAYLOAD_LEN) return decode_error("short u64 field");
      return decoded(DeadRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET)});
  }
  // Any other type byte: no enumerator names it, so the switch above, which
  // -Wswitch keeps complete, falls through to here.
  return decode_error("unknown record type " + std::to_string(type));
}

ReadFullResult read_full(ByteReader& reader, char* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    long r = reader.read(dst + got, n - got);
    if (r == -EINTR) continue;  // a signal, not a failure of the file
    if (r < 0) return {ReadFullOutcome::Error, static_cast<int>(-r)};
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  if (got == n) return {ReadFullOutcome::Complete, 0};
  return {got == 0 ? ReadFullOutcome::Nothing : ReadFullOutcome::Partial, 0};
}

namespace {

// Checks the magic and length of a complete frame header. Returns the
// corruption text, or an empty string when the payload may be read.
std::string check_frame_header(const char* header, uint32_t* len, uint32_t* crc) {
  if (std::memcmp(header, RECORD_MAGIC, 4) != 0) return "bad record magic";
  *len = decode_fixed32(header + FRAME_LEN_OFFSET);
  *crc = decode_fixed32(header + FRAME_CRC_OFFSET);
  // A damaged length must not turn into a huge allocation, so this test
  // comes before any payload buffer exists.
  if (*len > MAX_RECORD_LEN) {
    return "record length " + std::to_string(*len) + " exceeds max " +
           std::to_string(MAX_RECORD_LEN);
  }
  return {};
}

const char* const kTruncatedHeader = "truncated record header";
const char* const kTruncatedPayload = "truncated record payload";
const char* const kCrcMismatch = "record CRC mismatch (silent corruption)";

FrameResult frame_result(FrameOutcome outcome) {
  FrameResult r{};
  r.outcome = outcome;
  return r;
}
FrameResult corrupt_frame(std::string text) {
  FrameResult r = frame_result(FrameOutcome::Corrupt);
  r.corruption = std::move(text);
  return r;
}
FrameResult io_error(int error_number) {
  FrameResult r = frame_result(FrameOutcome::IoError);
  r.error_number = error_number;
  return r;
}

}  // namespace

FrameResult read_frame(ByteReader& reader) {
  char header[FRAME_HEADER_LEN];
  ReadFullResult h = read_full(reader, header, sizeof(header));
  switch (h.outcome) {
    case ReadFullOutcome::Complete: break;
    case ReadFullOutcome::Nothing: return frame_result(FrameOutcome::End);
    case ReadFullOutcome::Partial: return corrupt_frame(kTruncatedHeader);
    case ReadFullOutcome::Error: return io_error(h.error_number);
  }
  uint32_t len = 0;
  uint32_t crc = 0;
  std::string bad = check_frame_header(header, &len, &crc);
  if (!bad.empty()) return corrupt_frame(std::move(bad));

  std::string payload(len, '\0');
  ReadFullResult p = read_full(reader, payload.data(), len);
  switch (p.outcome) {
    case ReadFullOutcome::Complete: break;
    case ReadFullOutcome::Nothing:
    case ReadFullOutcome::Partial: return corrupt_frame(kTruncatedPayload);
    case ReadFullOutcome::Error: return io_error(p.error_number);
  }
  if (crc32(payload.data(), len) != crc) return corrupt_frame(kCrcMismatch);

  FrameResult r = frame_result(FrameOutcome::Frame);
  r.payload = std::move(payload);
  r.consumed = uint64_t{len} + FRAME_HEADER_LEN;
  return r;
}

namespace {

BufferFrame buffer_frame(FrameOutcome outcome) {
  BufferFrame r{};
  r.outcome = outcome;
  return r;
}
BufferFrame corrupt_buffer_frame(std::string text) {
  BufferFrame r = buffer_frame(FrameOutcome::Corrupt);
  r.corruption = std::move(text);
  return r;
}

}  // namespace

BufferFrame read_frame_in_buffer(std::string_view buffer) {
  if (buffer.empty()) return buffer_frame(FrameOutcome::End);
  if (buffer.size() < FRAME_HEADER_LEN) {
    BufferFrame r = corrupt_buffer_frame(kTruncatedHeader);
    r.spans = FRAME_HEADER_LEN;
    return r;
  }
  uint32_t len = 0;
  uint32_t crc = 0;
  std::string bad = check_frame_header(buffer.data(), &len, &crc);
  if (!bad.empty()) return corrupt_buffer_frame(std::move(bad));
  if (buffer.size() - FRAME_HEADER_LEN < len) {
    BufferFrame r = corrupt_buffer_frame(kTruncatedPayload);
    r.spans = FRAME_HEADER_LEN + len;
    return r;
  }
  std::string_view payload = buffer.substr(FRAME_HEADER_LEN, len);
  if (crc32(payload.data(), len) != crc) return corrupt_buffer_frame(kCrcMismatch);

  BufferFrame r = buffer_frame(FrameOutcome::Frame);
  r.payload = payload;
  r.consumed = uint64_t{len} + FRAME_HEADER_LEN;
  return r;
}

}  // namespace ferrow
