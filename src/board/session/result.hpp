// How the session's functions fail: each returns a Result, which is either done (with what
// was asked for, when something was) or holds the Failure: the line to say and the errno
// behind it, together. A caller that acts on the cause (a full /config that makes room, a
// missing file taken as none) reads it from the failure, never from an errno that any call
// since may have changed.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace tune::session {

struct Failure {
  std::string reason;  // "PATH: reason", as the session says it
  int error = 0;       // the errno that tells why; 0 when the system gave none
};

template <typename T = void>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Failure failure) : failure_(std::move(failure)) {}

  explicit operator bool() const { return !failure_; }
  // Only of a result that failed.
  const Failure& failure() const { return *failure_; }
  // Only of a result that is done.
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T value_or(T instead) const { return failure_ ? std::move(instead) : *value_; }

 private:
  std::optional<T> value_;
  std::optional<Failure> failure_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)) {}

  explicit operator bool() const { return !failure_; }
  const Failure& failure() const { return *failure_; }

 private:
  std::optional<Failure> failure_;
};

}  // namespace tune::session
