// Errors are values: every engine operation returns a Result<T> holding either
// its value or a QueueError. Nothing in src/queue/ throws across its boundary,
// and nothing here knows about Python; the binding maps errors to exceptions.
#ifndef FERROW_QUEUE_RESULT_H_
#define FERROW_QUEUE_RESULT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace ferrow {

// Classifies an I/O failure. Only TimedOut and PermissionDenied change how
// the error reaches the caller; the other kinds exist so that tests and
// reports can tell causes apart.
enum class IoErrorKind {
  Other,
  NotFound,
  InvalidData,     // a file whose content is not ours (bad magic)
  InvalidInput,    // a request the log cannot hold (oversized body)
  UnexpectedEof,   // "failed to fill whole buffer"
  WriteZero,       // the OS accepted no bytes of a write
  TimedOut,        // the process lock was not obtained in time
  PermissionDenied,  // a queue directory that others than owner and group may write
};

class QueueError {
 public:
  enum class Form {
    IoFailure,        // text() is the full message
    BodyOutOfBounds,  // need() and mapped() describe the failed read
    Internal,         // a state the engine's own rules exclude
    OutOfMemory,      // an allocation failed; nothing was left half-done
    Interrupted,      // the caller's interrupt hook ended a wait
  };

  static QueueError io(IoErrorKind kind, std::string text) {
    return QueueError(Form::IoFailure, kind, std::move(text), 0, 0);
  }
  // An operating-system error: "<description> (os error N)", with the call
  // that failed ("fsync") and the file it was made on, so that whoever
  // reports it can say where. The message stays the description alone.
  static QueueError os(int error_number, const char* call, std::string path);
  // The same with a text of the engine's own in place of the description.
  static QueueError os(int error_number, const char* call, std::string path, std::string text);
  static QueueError body_out_of_bounds(uint64_t need, uint64_t mapped) {
    return QueueError(Form::BodyOutOfBounds, IoErrorKind::Other, {}, need, mapped);
  }
  static QueueError internal(std::string text) {
    return QueueError(Form::Internal, IoErrorKind::Other, std::move(text), 0, 0);
  }
  static QueueError out_of_memory() {
    return QueueError(Form::OutOfMemory, IoErrorKind::Other, "out of memory", 0, 0);
  }
  static QueueError interrupted(std::string text) {
    return QueueError(Form::Interrupted, IoErrorKind::Other, std::move(text), 0, 0);
  }

  Form form() const { return form_; }
  IoErrorKind kind() const { return kind_; }
  // Of an operating-system error: its number, the call and the path (the
  // path may be empty where the call names no file). 0, nullptr and empty
  // for every other error.
  int error_number() const { return os_ ? os_->error_number : 0; }
  const char* call() const { return os_ ? os_->call : nullptr; }
  const std::string& path() const;
  uint64_t need() const { return need_; }
  uint64_t mapped() const { return mapped_; }
  // The message as the caller sees it (without any binding prefix).
  std::string message() const;

 private:
  QueueError(Form form, IoErrorKind kind, std::string text, uint64_t need, uint64_t mapped)
      : form_(form), kind_(kind), text_(std::move(text)), need_(need), mapped_(mapped) {}

  Form form_;
  IoErrorKind kind_;
  std::string text_;
  uint64_t need_;
  uint64_t mapped_;
  // Where an operating-system error happened. Kept apart, so that the
  // error, and every Result beside the value it may hold, stays small.
  struct OsContext {
    int error_number;
    const char* call;  // a name with static storage
    std::string path;
  };
  std::shared_ptr<const OsContext> os_;
};

// Result<T>: a T or a QueueError. Result<void> is spelled Status.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(QueueError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  QueueError& error() { return std::get<1>(v_); }
  const QueueError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, QueueError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  // Success builds no error: it is what nearly every call returns.
  Result() = default;
  Result(QueueError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  const QueueError& error() const { return *error_; }

 private:
  std::optional<QueueError> error_;
};

using Status = Result<void>;

// Early return of a failed Status or Result from a function returning any Result.
#define FERROW_TRY(expr)                       \
  do {                                         \
    auto ferrow_try_result_ = (expr);          \
    if (!ferrow_try_result_.ok()) {            \
      return ferrow_try_result_.error();       \
    }                                          \
  } while (0)

}  // namespace ferrow

#endif  // FERROW_QUEUE_RESULT_H_
