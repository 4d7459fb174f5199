// Standard-alphabet base64 with '=' padding, decoded strictly: padding must be
// canonical and the unused low bits of the last symbol must be zero, so every
// byte string has exactly one accepted text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace brovane::protocol {

struct Base64Error {
  enum class Kind : std::uint8_t {
    InvalidSymbol,
    InvalidLastSymbol,
    InvalidLength,
    InvalidPadding
  };

  Kind kind = Kind::InvalidPadding;
  // InvalidSymbol, InvalidLastSymbol: index of the offending byte in the input.
  // InvalidLength: the number of symbols, counted up to the one that cannot
  // stand alone.
  std::size_t offset = 0;
  // InvalidSymbol, InvalidLastSymbol: the offending byte.
  std::uint8_t symbol = 0;

  // "Invalid symbol {}, offset {}.", "Invalid last symbol {}, offset {}."
  // (the byte in decimal), "Invalid input length: {}", "Invalid padding".
  [[gnu::cold]] std::string display() const;
  friend bool operator==(const Base64Error&, const Base64Error&) = default;
};

// Length of the padded encoding of n bytes.
constexpr std::size_t base64_encoded_size(std::size_t n) noexcept { return (n + 2) / 3 * 4; }

// Appends the padded encoding of `bytes` to `out`.
void base64_encode_append(std::string_view bytes, std::string& out);
std::string base64_encode(std::string_view bytes);

// Appends the decoded bytes to `out`; on failure `out` is left as it was.
std::expected<void, Base64Error> base64_decode_append(std::string_view text, std::string& out);
std::expected<std::string, Base64Error> base64_decode(std::string_view text);

}  // namespace brovane::protocol
