// JSON text <-> JSON values: a strict parser with a nesting budget and exact,
// positioned error messages, and the compact printer used for every JSON text
// the system writes.
//
// Values are nlohmann::json trees. Objects are std::maps, so their keys come
// out in byte order. Numbers keep three kinds: non-negative integers are
// unsigned 64-bit, negative ones signed 64-bit, everything else (a fraction,
// an exponent, or an integer beyond 64 bits) is a double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace brovane::protocol {

using Json = nlohmann::json;

// Each array or object level spends one unit; the level that spends the last
// one is refused, so at most 127 levels nest.
inline constexpr int kJsonDepthBudget = 128;

struct JsonParseError {
  // A fixed text such as "expected value" or "EOF while parsing a list".
  std::string_view reason;
  // 1-based line; the column counts bytes from the start of the line, so it is
  // the 1-based column of the offending byte (0 when nothing on the line was
  // read, as for empty input).
  std::size_t line = 0;
  std::size_t column = 0;

  // "{} at line {} column {}"
  [[gnu::cold]] std::string display() const;
  friend bool operator==(const JsonParseError&, const JsonParseError&) = default;
};

// Exactly one JSON value, optionally surrounded by spaces, tabs, line feeds
// and carriage returns. A repeated object key keeps its last value. A string
// whose bytes are not valid UTF-8 is refused ("invalid unicode code point").
std::expected<Json, JsonParseError> parse_json(std::string_view text);

// Compact text (no whitespace). Strings escape '"', '\\' and the control
// characters (\b \f \n \r \t, else \u00xx); everything else, '/' and non-ASCII
// included, is copied as it is.
void append_json(const Json& value, std::string& out);
std::string to_json_text(const Json& value);

void append_json_string(std::string_view s, std::string& out);

// A finite double in the shortest text that reads back to the same value,
// always recognisable as a float: 1.0, 0.1, 1e-7, 1.5e300, 1e16,
// 1000000000000000.0. Non-finite values print as null (JSON has no text for
// them).
void append_json_double(double v, std::string& out);

// The text a number or string stands for when it is used as an object key:
// numbers as append_json prints them, strings unchanged, anything else as its
// compact text.
std::string json_key_text(const Json& value);

// Integer views of a number with the 64-bit conversions the codecs rely on:
// as_i64 fails for doubles and for unsigned values above INT64_MAX; as_u64
// fails for doubles and negative values.
inline bool json_as_i64(const Json& v, std::int64_t& out) noexcept {
  if (const auto* u = v.get_ptr<const Json::number_unsigned_t*>()) {
    if (*u > static_cast<std::uint64_t>(INT64_MAX)) return false;
    out = static_cast<std::int64_t>(*u);
    return true;
  }
  if (const auto* i = v.get_ptr<const Json::number_integer_t*>()) {
    out = *i;
    return true;
  }
  return false;
}
inline bool json_as_u64(const Json& v, std::uint64_t& out) noexcept {
  if (const auto* u = v.get_ptr<const Json::number_unsigned_t*>()) {
    out = *u;
    return true;
  }
  if (const auto* i = v.get_ptr<const Json::number_integer_t*>()) {
    if (*i < 0) return false;
    out = static_cast<std::uint64_t>(*i);
    return true;
  }
  return false;
}

}  // namespace brovane::protocol
