#include "queue/replay_frames.h"

#include <cstring>

#include "queue/log_format.h"

namespace ferrow {
namespace {

// The record of a payload whose CRC matched, applied; false where
// decode_payload would refuse it. Same length tests, in the same spirit:
// bytes after the last field are ignored.
bool apply_payload(const char* p, uint32_t n, uint64_t offset, QueueState& state) {
  if (n == 0) return false;
  switch (static_cast<RecordType>(p[0])) {
    case RecordType::Enqueue: {
      if (n < ENQUEUE_PAYLOAD_HEADER_LEN) return false;
      const uint32_t body_len = decode_fixed32(p + ENQUEUE_BODY_LEN_OFFSET);
      if (n - ENQUEUE_PAYLOAD_HEADER_LEN < body_len) return false;
      state.apply_record(EnqueueRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET),
                                       decode_fixed64(p + ENQUEUE_TS_OFFSET),
                                       std::string_view(p + ENQUEUE_PAYLOAD_HEADER_LEN, body_len)},
                         offset, /*keep_body=*/false);
      return true;
    }
    case RecordType::Ack:
      if (n < ACK_PAYLOAD_LEN) return false;
      state.apply_record(AckRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET)}, offset, false);
      return true;
    case RecordType::Lease:
      if (n < LEASE_PAYLOAD_LEN) return false;
      state.apply_record(LeaseRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET),
                                     decode_fixed64(p + LEASE_DEADLINE_OFFSET),
                                     decode_fixed32(p + LEASE_DELIVERIES_OFFSET)},
                         offset, false);
      return true;
    case RecordType::Requeue:
      if (n < REQUEUE_PAYLOAD_LEN) return false;
      state.apply_record(RequeueRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET),
                                       decode_fixed32(p + REQUEUE_DELIVERIES_OFFSET)},
                         offset, false);
      return true;
    case RecordType::Dead:
      if (n < DEAD_PAYLOAD_LEN) return false;
      state.apply_record(DeadRecord{decode_fixed64(p + PAYLOAD_SEQ_OFFSET)}, offset, false);
      return true;
  }
  return false;  // an unknown type byte
}

// Walks the whole frames with a plausible header at the start of `bytes`,
// checking each CRC and applying each record as asked, up to the first that
// fails; returns the bytes walked. Every fast path of a replay is one of
// these, so that all of them stop where the scanner would give a verdict.
template <bool kCheckCrc, bool kApply>
uint64_t walk_frames(std::string_view bytes, uint64_t offset, QueueState* state) {
  const char* const start = bytes.data();
  const char* const end = start + bytes.size();
  const char* p = start;
  while (static_cast<size_t>(end - p) >= FRAME_HEADER_LEN) {
    if (std::memcmp(p, RECORD_MAGIC, 4) != 0) break;
    const uint32_t len = decode_fixed32(p + FRAME_LEN_OFFSET);
    if (len > MAX_RECORD_LEN || static_cast<size_t>(end - p) - FRAME_HEADER_LEN < len) break;
    const char* payload = p + FRAME_HEADER_LEN;
    if (kCheckCrc && crc32(payload, len) != decode_fixed32(p + FRAME_CRC_OFFSET)) break;
    if (kApply && !apply_payload(payload, len, offset + static_cast<uint64_t>(p - start), *state)) {
      break;
    }
    p = payload + len;
  }
  return static_cast<uint64_t>(p - start);
}

}  // namespace

uint64_t apply_intact_frames(std::string_view bytes, uint64_t offset, QueueState& state) {
  return walk_frames<true, true>(bytes, offset, &state);
}

uint64_t check_intact_frames(std::string_view bytes) {
  return walk_frames<true, false>(bytes, 0, nullptr);
}

uint64_t apply_checked_frames(std::string_view bytes, uint64_t offset, QueueState& state) {
  return walk_frames<false, true>(bytes, offset, &state);
}

}  // namespace ferrow
