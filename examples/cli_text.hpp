// Small helpers that the command lines of orv-demo and orv-view share.
#pragma once

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace orv::cli {

/// `text` as a whole number of type T, or nothing when it is empty, not a number, out of T's range
/// or followed by anything else.
template <class T>
[[nodiscard]] std::optional<T> parseWhole(std::string_view text) {
  T value{};
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

/// `text` between single quotes, as messages quote what a user typed.
[[nodiscard]] inline std::string inQuotes(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.append(1, '\'').append(text).append(1, '\'');
  return quoted;
}

}  // namespace orv::cli
