#include "queue/result.h"

#include <cerrno>
#include <system_error>

namespace ferrow {

QueueError QueueError::os(int error_number, const char* call, std::string path) {
  // The platform description, as strerror gives it, but thread-safe.
  std::string text = std::system_category().message(error_number);
  text += " (os error " + std::to_string(error_number) + ")";
  return os(error_number, call, std::move(path), std::move(text));
}

QueueError QueueError::os(int error_number, const char* call, std::string path, std::string text) {
  IoErrorKind kind = IoErrorKind::Other;
  if (error_number == ENOENT) kind = IoErrorKind::NotFound;
  if (error_number == ETIMEDOUT) kind = IoErrorKind::TimedOut;
  QueueError error = io(kind, std::move(text));
  error.os_ = std::make_shared<const OsContext>(OsContext{error_number, call, std::move(path)});
  return error;
}

const std::string& QueueError::path() const {
  static const std::string none;
  return os_ ? os_->path : none;
}

std::string QueueError::message() const {
  if (form_ == Form::BodyOutOfBounds) {
    return "Ferrow: body read out of bounds (need " + std::to_string(need_) + ", mapped " +
           std::to_string(mapped_) + ")";
  }
  return text_;
}

}  // namespace ferrow
