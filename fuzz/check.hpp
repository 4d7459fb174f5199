// Property checks for the fuzz targets: a failed check prints what was
// expected and aborts, which libFuzzer reports as a crash and saves.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace brovane::fuzz {

[[noreturn, gnu::cold]] inline void check_failed(const char* file, int line, const char* what,
                                                 std::string_view detail) {
  std::fprintf(stderr, "\n%s:%d: property violated: %s\n", file, line, what);
  if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::fflush(stderr);
  std::abort();
}

// Printable form of bytes for failure messages: hex, cut after `limit` bytes.
inline std::string hex(std::string_view s, std::size_t limit = 96) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < s.size() && i < limit; ++i) {
    if (i != 0) out += ' ';
    const auto c = static_cast<unsigned char>(s[i]);
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  if (s.size() > limit) out += " ... (" + std::to_string(s.size()) + " bytes)";
  return out;
}

}  // namespace brovane::fuzz

#define FUZZ_CHECK(cond)                                                   \
  do {                                                                     \
    if (!(cond)) [[unlikely]]                                              \
      ::brovane::fuzz::check_failed(__FILE__, __LINE__, #cond, {});        \
  } while (0)

// `detail` is evaluated only when the check fails.
#define FUZZ_CHECK_MSG(cond, detail)                                       \
  do {                                                                     \
    if (!(cond)) [[unlikely]]                                              \
      ::brovane::fuzz::check_failed(__FILE__, __LINE__, #cond, (detail));  \
  } while (0)
