#pragma once
// What every platform call gives back: its value, or the error that stopped it. The error
// keeps the platform's numeric status (its code) beside its text, because some messages
// print the status itself.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "platform/error.h"

namespace velmor::platform {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}              // NOLINT: a value is a success
  Result(PlatformError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  const T& value() const& { return std::get<0>(state_); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  // The value, or `fallback` after a failure.
  T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }

  const PlatformError& error() const { return std::get<1>(state_); }
  // 0 on success, else the error's code.
  std::int64_t status() const { return ok() ? 0 : error().code; }

 private:
  std::variant<T, PlatformError> state_;
};

// A call that gives back nothing but success or failure.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(PlatformError error) : error_(std::move(error)) {}  // NOLINT: an error is a failure

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const PlatformError& error() const { return *error_; }
  std::int64_t status() const { return ok() ? 0 : error_->code; }

 private:
  std::optional<PlatformError> error_;
};

using Status = Result<void>;

}  // namespace velmor::platform
