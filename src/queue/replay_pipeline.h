// Opening a long log on two cores. This thread reads the log, a piece at a
// time, into a ring of buffers and applies its records; a second thread
// checks the frames' CRCs in the ring ahead of it. Checking the CRCs costs
// more than reading the file, so on one thread it doubles an open; here it
// runs beside the reading and the indexing instead of after them.
//
// Nothing is applied before its CRC is known to match. The pipeline stops at
// the first frame that is not whole, intact and decodable, and the caller's
// scanner takes over there to give its verdict, as a replay on one thread
// would: the same records are applied and the same tail is cut.
#ifndef FERROW_QUEUE_REPLAY_PIPELINE_H_
#define FERROW_QUEUE_REPLAY_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "queue/queue_state.h"
#include "queue/result.h"

namespace ferrow {

struct PipelineShape {
  size_t piece_bytes = size_t{1} << 20;  // one read; cache-sized
  size_t pieces = 4;                     // the ring: how far the reads run ahead
};

// Whether replaying `bytes` bytes is worth a second thread: they are many,
// and this process may run on more than one CPU.
bool pipeline_pays(uint64_t bytes);

// Applies, in order, the whole, intact and decodable frames of the log read
// through `fd` (opened by `path`) from offset `start` on, and returns the
// offset where they end: the end of the file, or the first frame that is not
// all three, which is left, with what follows it, to the caller. A frame
// that crosses from one piece into the next is read on its own. If no second
// thread can be started, nothing is applied and `start` is returned.
Result<uint64_t> apply_frames_pipelined(int fd, const std::string& path, uint64_t start,
                                        QueueState& state, const PipelineShape& shape = {});

}  // namespace ferrow

#endif  // FERROW_QUEUE_REPLAY_PIPELINE_H_
