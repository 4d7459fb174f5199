// Whether a run of bytes is plain ASCII, a word at a time: such text is valid
// UTF-8 whose str is the bytes themselves, which lets readers skip the full
// UTF-8 check and conversions skip the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace brovane::python::serde {

[[gnu::always_inline]] inline bool is_ascii(const char* p, std::size_t n) noexcept {
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  if (n >= 8) {
    std::uint64_t acc = 0;
    std::uint64_t w;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&w, p + i, 8);
      acc |= w;
    }
    std::memcpy(&w, p + n - 8, 8);  // the tail, overlapping what was read
    return ((acc | w) & kHigh) == 0;
  }
  if (n >= 4) {
    std::uint32_t a;
    std::uint32_t b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    return ((a | b) & 0x80808080u) == 0;
  }
  if (n == 0) return true;
  // One to three bytes: the first, middle and last cover them all.
  return ((static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) |
           static_cast<unsigned char>(p[n - 1])) & 0x80u) == 0;
}

}  // namespace brovane::python::serde
