// Frames that more than one holder of the process lock wrote at once.
//
// The lock word lives in a file that the group of a shared queue can write.
// Someone who clears it while a process holds it lets a second process in:
// both catch up to the same end of the log, both hand out the same next id,
// and both append. Of two Enqueue records of one id, replay keeps the later,
// so the message of the call that returned its id would be replaced by that
// of the call that finds out (see Queue::check_held_alone). These helpers
// find such pairs and give the frames that put the first one back.
#ifndef FERROW_QUEUE_SHARED_WRITES_H_
#define FERROW_QUEUE_SHARED_WRITES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

namespace ferrow {

// The longest prefix of `bytes` made of whole, valid frames.
std::string_view whole_frames(std::string_view bytes);

// For every id from `from_seq` on whose last Enqueue among `frames` is not a
// copy of its first, a copy of the first Enqueue frame: appended after them,
// it makes that first message the one that stands. Ids below `from_seq` were
// in the log before `frames`, so their first Enqueue is not among them.
std::string first_enqueues_again(std::string_view frames, uint64_t from_seq);

// The whole frames of `frames` without the Enqueue records of ids below
// `known_below` or in `seen`, which then holds every id enqueued in what is
// kept: what another holder appended beside a rewrite, carried into the new
// log after messages that keep their ids. *dropped_known says whether an
// Enqueue of an id below `known_below` was left out.
std::string without_repeated_enqueues(std::string_view frames, uint64_t known_below,
                                      std::unordered_set<uint64_t>* seen, bool* dropped_known);

}  // namespace ferrow

#endif  // FERROW_QUEUE_SHARED_WRITES_H_
