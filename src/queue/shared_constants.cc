#include "queue/shared_constants.h"

#include "queue/log_format.h"
#include "queue/proc_lock_layout.h"

namespace ferrow {
namespace {

constexpr NamedConstant CONSTANTS[] = {
    {"FILE_HEADER_LEN", FILE_HEADER_LEN},
    {"FILE_GENERATION_OFFSET", FILE_GENERATION_OFFSET},
    {"FRAME_HEADER_LEN", FRAME_HEADER_LEN},
    {"MAX_RECORD_LEN", MAX_RECORD_LEN},
    {"MAX_BODY_LEN", MAX_BODY_LEN},
    {"ENQUEUE_PAYLOAD_HEADER_LEN", ENQUEUE_PAYLOAD_HEADER_LEN},
    {"ENQUEUE_BODY_OFFSET", ENQUEUE_BODY_OFFSET},
    {"LOCK_WORD_OFFSET", LOCK_WORD_OFFSET},
    {"NEXT_NONCE_OFFSET", NEXT_NONCE_OFFSET},
    {"APPENDED_OFFSET", APPENDED_OFFSET},
    {"SYNCED_OFFSET", SYNCED_OFFSET},
    {"LOCK_SLOTS_OFFSET", LOCK_SLOTS_OFFSET},
    {"LOCK_SLOT_LEN", LOCK_SLOT_LEN},
    {"LOCK_SLOT_COUNT", LOCK_SLOT_COUNT},
    {"LOCK_FILE_LEN", LOCK_FILE_LEN},
    {"SLOT_TOKEN", SLOT_TOKEN},
    {"SLOT_PID", SLOT_PID},
    {"SLOT_PID_NS", SLOT_PID_NS},
    {"SLOT_SINCE", SLOT_SINCE},
    {"LOCK_TOKEN_TAG", LOCK_TOKEN_TAG},
    {"WAITERS_BIT", WAITERS_BIT},
    {"SLOT_MASK", SLOT_MASK},
    {"MARK_TAG_SHIFT", MARK_TAG_SHIFT},
};

}  // namespace

std::span<const NamedConstant> shared_constants() { return CONSTANTS; }

}  // namespace ferrow
