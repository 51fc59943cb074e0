// The bytes of queue.log, shared by every reader and writer of the file.
//
//   file    := header frame*
//   header  := "FWFL" format_version:u32 generation:u64          (16 bytes)
//   frame   := "FWR1" payload_len:u32 payload_crc:u32 payload   (12 + payload_len)
//   payload := type:u8 fields...
//
//   type 1 Enqueue  seq:u64 enqueued_ts_ms:u64 body_len:u32 body
//   type 2 Ack      seq:u64
//   type 3 Lease    seq:u64 deadline_ms:u64 deliveries:u32
//   type 4 Requeue  seq:u64 deliveries:u32
//   type 5 Dead     seq:u64
//
// Integers are little-endian. The CRC is CRC-32 (IEEE) over the payload only.
#ifndef FERROW_QUEUE_LOG_FORMAT_H_
#define FERROW_QUEUE_LOG_FORMAT_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "queue/result.h"

namespace ferrow {

inline constexpr char FILE_MAGIC[4] = {'F', 'W', 'F', 'L'};
inline constexpr char RECORD_MAGIC[4] = {'F', 'W', 'R', '1'};
inline constexpr uint32_t FORMAT_VERSION = 1;

// Header is magic (4 bytes), format_version (4 bytes), generation (8 bytes).
inline constexpr uint64_t FILE_VERSION_OFFSET = 4;
inline constexpr uint64_t FILE_GENERATION_OFFSET = 4 + 4;
inline constexpr uint64_t FILE_HEADER_LEN = 4 + 4 + 8;
// Frame header is magic (4 bytes), payload_len (4 bytes), payload_crc (4 bytes).
inline constexpr uint64_t FRAME_LEN_OFFSET = 4;
inline constexpr uint64_t FRAME_CRC_OFFSET = 4 + 4;
inline constexpr uint64_t FRAME_HEADER_LEN = 4 + 4 + 4;

// Where each field of a payload lies; byte 0 is the type.
inline constexpr uint64_t PAYLOAD_SEQ_OFFSET = 1;              // every kind: seq (u64)
inline constexpr uint64_t ENQUEUE_TS_OFFSET = 1 + 8;           // enqueued_ts_ms (u64)
inline constexpr uint64_t ENQUEUE_BODY_LEN_OFFSET = 1 + 8 + 8;  // body_len (u32)
inline constexpr uint64_t LEASE_DEADLINE_OFFSET = 1 + 8;       // deadline_ms (u64)
inline constexpr uint64_t LEASE_DELIVERIES_OFFSET = 1 + 8 + 8;  // deliveries (u32)
inline constexpr uint64_t REQUEUE_DELIVERIES_OFFSET = 1 + 8;   // deliveries (u32)
// The length each kind writes, and the least a reader accepts.
inline constexpr uint64_t ENQUEUE_PAYLOAD_HEADER_LEN = 1 + 8 + 8 + 4;  // the body follows
inline constexpr uint64_t ACK_PAYLOAD_LEN = 1 + 8;
inline constexpr uint64_t LEASE_PAYLOAD_LEN = 1 + 8 + 8 + 4;
inline constexpr uint64_t REQUEUE_PAYLOAD_LEN = 1 + 8 + 4;
inline constexpr uint64_t DEAD_PAYLOAD_LEN = 1 + 8;
// Distance from a frame's first byte to its first body byte.
inline constexpr uint64_t ENQUEUE_BODY_OFFSET = FRAME_HEADER_LEN + ENQUEUE_PAYLOAD_HEADER_LEN;
static_assert(ENQUEUE_BODY_OFFSET == 33, "body offsets stored in the index rely on 33");

// Largest payload any reader accepts; checked before a payload buffer is allocated.
inline constexpr uint64_t MAX_RECORD_LEN = 0x20000000;
// Largest body one Enqueue record can hold.
inline constexpr uint64_t MAX_BODY_LEN = MAX_RECORD_LEN - ENQUEUE_PAYLOAD_HEADER_LEN;

enum class RecordType : uint8_t { Enqueue = 1, Ack = 2, Lease = 3, Requeue = 4, Dead = 5 };

// The body is a view: into the caller's buffer when a record is built for
// appending, into the payload when one is decoded. Whoever applies or encodes
// the record does so while that buffer lives; nothing keeps the view.
struct EnqueueRecord {
  uint64_t seq;
  uint64_t enqueued_ts_ms;
  std::string_view body;
};
struct AckRecord {
  uint64_t seq;
};
struct LeaseRecord {
  uint64_t seq;
  uint64_t deadline_ms;
  uint32_t deliveries;
};
struct RequeueRecord {
  uint64_t seq;
  uint32_t deliveries;
};
struct DeadRecord {
  uint64_t seq;
};

// One payload: exactly one of the five kinds.
using LogRecord = std::variant<EnqueueRecord, AckRecord, LeaseRecord, RequeueRecord, DeadRecord>;

bool operator==(const EnqueueRecord& a, const EnqueueRecord& b);
bool operator==(const AckRecord& a, const AckRecord& b);
bool operator==(const LeaseRecord& a, const LeaseRecord& b);
bool operator==(const RequeueRecord& a, const RequeueRecord& b);
bool operator==(const DeadRecord& a, const DeadRecord& b);

// Little-endian fixed-width coding. REQUIRES: dst/src hold enough bytes.
// On a little-endian machine each is one unaligned load or store: GCC does
// not merge the byte loop into one everywhere, and replay decodes several
// fields of every record.
inline void encode_fixed32(char* dst, uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, &v, sizeof(v));
  } else {
    for (int i = 0; i < 4; i++) dst[i] = static_cast<char>(v >> (8 * i));
  }
}
inline void encode_fixed64(char* dst, uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, &v, sizeof(v));
  } else {
    for (int i = 0; i < 8; i++) dst[i] = static_cast<char>(v >> (8 * i));
  }
}
inline uint32_t decode_fixed32(const char* src) {
  uint32_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, src, sizeof(v));
  } else {
    for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(static_cast<uint8_t>(src[i])) << (8 * i);
  }
  return v;
}
inline uint64_t decode_fixed64(const char* src) {
  uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, src, sizeof(v));
  } else {
    for (int i = 0; i < 8; i++) v |= static_cast<uint64_t>(static_cast<uint8_t>(src[i])) << (8 * i);
  }
  return v;
}

// The 16 header bytes of a log of the given generation.
std::string encode_file_header(uint64_t generation);
// The fields of a file header. Readers check the magic only: any
// format_version is accepted.
struct FileHeader {
  uint32_t format_version;
  uint64_t generation;
};
// REQUIRES: `bytes` holds FILE_HEADER_LEN bytes. False when the magic is not
// "FWFL" (a file that is not a queue log).
bool decode_file_header(const char* bytes, FileHeader* header);

// CRC-32/ISO-HDLC (reflected 0xEDB88320, init and final xor 0xFFFFFFFF),
// with the quickest kernel this processor has.
uint32_t crc32(const char* data, size_t n);
// The kernels, each of which gives the same result, so that every one can
// be checked on a machine that would use only the quickest: tables; 128-bit
// carry-less multiplication; and 512-bit for payloads of up to 128 bytes.
enum class CrcKernel { Table, Folding, Wide };
bool crc_kernel_available(CrcKernel kernel);
uint32_t crc32_with(CrcKernel kernel, const char* data, size_t n);

// The payload bytes of a record; body_len is written as the low 32 bits.
std::string encode_payload(const LogRecord& record);
// Appends the complete frame (header + payload) for `payload` to `out`.
void encode_frame(std::string_view payload, std::string* out);
// Appends the complete frame of a record to `out`; returns its length.
size_t append_record_frame(const LogRecord& record, std::string* out);
// The complete frame of a record, in one buffer sized exactly for it.
std::string encode_record_frame(const LogRecord& record);

// Outcome of decode_payload: a record, or the decode text ("empty record", ...).
struct DecodeResult {
  bool ok;
  LogRecord record;
  std::string error;
};
DecodeResult decode_payload(std::string_view payload);

// A source of bytes for read_frame. read() returns the number of bytes read
// (0 at end of data) or a negative errno; EINTR is retried by the caller.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  virtual long read(char* dst, size_t n) = 0;
};

enum class ReadFullOutcome { Complete, Nothing, Partial, Error };
struct ReadFullResult {
  ReadFullOutcome outcome;
  int error_number;  // set when outcome is Error
};
// Reads until n bytes arrived or the reader reports end of data.
ReadFullResult read_full(ByteReader& reader, char* dst, size_t n);

enum class FrameOutcome { End, Frame, Corrupt, IoError };
struct FrameResult {
  FrameOutcome outcome;
  std::string payload;    // Frame
  uint64_t consumed = 0;  // Frame: payload_len + 12
  std::string corruption; // Corrupt: the frame text
  int error_number = 0;   // IoError
};
// Reads one frame from the reader's current position.
FrameResult read_frame(ByteReader& reader);

// Reads one frame from the start of an in-memory buffer (the catch-up tail);
// same outcomes and texts as read_frame, never IoError. The payload is a view
// into `buffer`.
struct BufferFrame {
  FrameOutcome outcome;
  std::string_view payload;
  uint64_t consumed = 0;
  std::string corruption;
  // Corrupt because the buffer ends inside the frame: how many bytes the
  // frame spans (just its header's when the header itself is cut), so that
  // a reader of a longer file can fetch the rest and look again.
  uint64_t spans = 0;
};
BufferFrame read_frame_in_buffer(std::string_view buffer);

}  // namespace ferrow

#endif  // FERROW_QUEUE_LOG_FORMAT_H_
