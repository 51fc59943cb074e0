#include "queue/shared_writes.h"

#include <unordered_map>
#include <variant>
#include <vector>

#include "queue/log_format.h"

namespace ferrow {

std::string_view whole_frames(std::string_view bytes) {
  std::string_view rest = bytes;
  for (;;) {
    const BufferFrame frame = read_frame_in_buffer(rest);
    if (frame.outcome != FrameOutcome::Frame || !decode_payload(frame.payload).ok) break;
    rest.remove_prefix(frame.consumed);
  }
  return bytes.substr(0, bytes.size() - rest.size());
}

std::string first_enqueues_again(std::string_view frames, uint64_t from_seq) {
  struct Enqueues {
    std::string_view first;
    std::string_view last;
  };
  std::unordered_map<uint64_t, Enqueues> by_seq;
  std::vector<uint64_t> order;  // ids in the order of their first Enqueue
  std::string_view rest = frames;
  for (;;) {
    const BufferFrame frame = read_frame_in_buffer(rest);
    if (frame.outcome != FrameOutcome::Frame) break;
    const std::string_view whole = rest.substr(0, frame.consumed);
    const DecodeResult decoded = decode_payload(frame.payload);
    if (!decoded.ok) break;
    const auto* enqueue = std::get_if<EnqueueRecord>(&decoded.record);
    if (enqueue != nullptr && enqueue->seq >= from_seq) {
      auto [at, inserted] = by_seq.try_emplace(enqueue->seq, Enqueues{whole, whole});
      if (inserted) order.push_back(enqueue->seq);
      at->second.last = whole;
    }
    rest.remove_prefix(frame.consumed);
  }
  std::string again;
  for (uint64_t seq : order) {
    const Enqueues& e = by_seq[seq];
    if (e.last != e.first) again.append(e.first);
  }
  return again;
}

std::string without_repeated_enqueues(std::string_view frames, uint64_t known_below,
                                      std::unordered_set<uint64_t>* seen, bool* dropped_known) {
  *dropped_known = false;
  std::string kept;
  std::string_view rest = frames;
  for (;;) {
    const BufferFrame frame = read_frame_in_buffer(rest);
    if (frame.outcome != FrameOutcome::Frame) break;
    const DecodeResult decoded = decode_payload(frame.payload);
    if (!decoded.ok) break;
    const auto* enqueue = std::get_if<EnqueueRecord>(&decoded.record);
    if (enqueue == nullptr ||
        (enqueue->seq >= known_below && seen->insert(enqueue->seq).second)) {
      kept.append(rest.substr(0, frame.consumed));
    } else if (enqueue->seq < known_below) {
      *dropped_known = true;
    }
    rest.remove_prefix(frame.consumed);
  }
  return kept;
}

}  // namespace ferrow
