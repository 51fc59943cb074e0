#include "queue/result.h"

#include <cerrno>
#include <system_error>

namespace ferrow {

QueueError QueueError::os(int error_number) {
  IoErrorKind kind = IoErrorKind::Other;
  if (error_number == ENOENT) kind = IoErrorKind::NotFound;
  if (error_number == ETIMEDOUT) kind = IoErrorKind::TimedOut;
  // The platform description, as strerror gives it, but thread-safe.
  std::string text = std::system_category().message(error_number);
  text += " (os error " + std::to_string(error_number) + ")";
  return io(kind, std::move(text));
}

std::string QueueError::message() const {
  if (form_ == Form::BodyOutOfBounds) {
    return "Ferrow: body read out of bounds (need " + std::to_string(need_) + ", mapped " +
           std::to_string(mapped_) + ")";
  }
  return text_;
}

}  // namespace ferrow
