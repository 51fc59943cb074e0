// What opening a queue directory asks of its permissions.
//
// Everyone who can write the directory can rename files over queue.log and
// .proc_lock, and so holds the queue's data and durability in their hands.
// The owner and the group are trusted with that; other users are not, so a
// directory they can write (without the sticky bit, which stops them from
// renaming or removing files they do not own) is refused, the way a login
// server refuses a home directory that anyone can write.
#ifndef FERROW_QUEUE_DIRECTORY_CHECK_H_
#define FERROW_QUEUE_DIRECTORY_CHECK_H_

#include <string>

#include "queue/result.h"

namespace ferrow {

// A PermissionDenied error naming `dir` and the fix when other users may
// write it and it is not sticky; an I/O error if it cannot be examined.
Status check_directory_mode(const std::string& dir);

}  // namespace ferrow

#endif  // FERROW_QUEUE_DIRECTORY_CHECK_H_
