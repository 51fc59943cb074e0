// The fast path of a replay: frames applied straight from the bytes that
// hold them, each record touched once, nothing allocated per record.
#ifndef FERROW_QUEUE_REPLAY_FRAMES_H_
#define FERROW_QUEUE_REPLAY_FRAMES_H_

#include <cstdint>
#include <string_view>

#include "queue/queue_state.h"

namespace ferrow {

// Applies the frames at the start of `bytes`, the first of which begins at
// file offset `offset`, as long as each is whole, intact and decodable.
// Returns the bytes they span. It stops, without a word, at the first frame
// that is not, which the caller then reads with read_frame_in_buffer and
// decode_payload: they give the same verdict, with its text.
uint64_t apply_intact_frames(std::string_view bytes, uint64_t offset, QueueState& state);

// The two halves of the above, for a replay that checks on one thread what
// it applies on another. check_intact_frames returns the bytes spanned by
// the whole frames with a plausible header and a matching CRC at the start
// of `bytes`; apply_checked_frames applies whole, decodable frames whose
// CRCs were already checked, and returns the bytes they span.
uint64_t check_intact_frames(std::string_view bytes);
uint64_t apply_checked_frames(std::string_view bytes, uint64_t offset, QueueState& state);

}  // namespace ferrow

#endif  // FERROW_QUEUE_REPLAY_FRAMES_H_
