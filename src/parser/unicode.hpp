// The few Unicode facts the IDL tokenizer and the debug forms need: UTF-8
// decoding, word characters, white space and the characters a debug string
// escapes. Tables are generated (unicode_tables.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brovane::parser::unicode {

struct CodeRange {
  char32_t lo;
  char32_t hi;
};

namespace detail {
extern const CodeRange kWordRanges[];
extern const std::size_t kWordRanges_size;
extern const CodeRange kEscapedRanges[];
extern const std::size_t kEscapedRanges_size;

inline bool in_ranges(const CodeRange* ranges, std::size_t n, char32_t c) noexcept {
  const CodeRange* end = ranges + n;
  const CodeRange* it = std::upper_bound(ranges, end, c, [](char32_t v, const CodeRange& r) { return v < r.lo; });
  return it != ranges && c <= (it - 1)->hi;
}
}  // namespace detail

inline constexpr char32_t kReplacement = 0xFFFD;

// One decoded character: its code point and its length in bytes. An invalid
// or truncated sequence decodes as U+FFFD of length 1 with `valid` false.
struct Decoded {
  char32_t cp;
  std::uint8_t len;
  bool valid;
};

inline Decoded decode(std::string_view s, std::size_t i) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t len;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return {kReplacement, 1, false};
  }
  if (s.size() - i < len) return {kReplacement, 1, false};
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return {kReplacement, 1, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {kReplacement, 1, false};
  return {cp, static_cast<std::uint8_t>(len), true};
}

// Letters (the Alphabetic property) and the number categories Nd, Nl, No.
inline bool is_alphanumeric(char32_t c) noexcept {
  if (c < 0x80) return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  return detail::in_ranges(detail::kWordRanges, detail::kWordRanges_size, c);
}

// The White_Space property.
inline bool is_white_space(char32_t c) noexcept {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Characters a debug string writes as \u{...}: grapheme extenders and
// characters that are not printable.
inline bool needs_unicode_escape(char32_t c) noexcept {
  if (c < 0x80) return c < 0x20 || c == 0x7F;
  return detail::in_ranges(detail::kEscapedRanges, detail::kEscapedRanges_size, c);
}

}  // namespace brovane::parser::unicode
