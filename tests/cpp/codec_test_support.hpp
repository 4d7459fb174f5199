// Scaffolding shared by the tests of the length-prefixed codecs (Binary and
// Compact). Included by exactly one file of each test executable: it
// replaces the global operator new to record allocation sizes.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "protocol/types.hpp"

// Records the largest allocation made while armed, to show that a declared
// length is checked against the input before anything is reserved for it.
namespace codec_test {
inline std::atomic<bool> g_track{false};
inline std::atomic<std::size_t> g_largest{0};
}  // namespace codec_test

// Out of line so that the compiler does not pair the inlined malloc with the
// free below and warn about a mismatch that is not there.
[[gnu::noinline]] void* operator new(std::size_t n) {
  using codec_test::g_largest;
  if (codec_test::g_track.load(std::memory_order_relaxed) && n > g_largest.load(std::memory_order_relaxed))
    g_largest.store(n, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace codec_test {

// "FF 00 1A": upper-case hex, a space between bytes.
inline std::string hex(std::string_view s) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Reads a string and a binary, each from a fresh reader that `make_reader`
// builds over an input whose declared length the input cannot hold: both
// fail, and no allocation is sized from the length (the largest is the
// error text).
template <class MakeReader>
void expect_length_checked_before_allocating(const MakeReader& make_reader, const std::string& what) {
  auto strings = make_reader();
  auto binaries = make_reader();
  g_largest = 0;
  g_track = true;
  const bool s_failed = !strings.read_string().has_value();
  const bool b_failed = !binaries.read_binary().has_value();
  g_track = false;
  EXPECT_TRUE(s_failed) << what;
  EXPECT_TRUE(b_failed) << what;
  EXPECT_GT(g_largest.load(), 0u) << what;    // the hook sees the error text
  EXPECT_LT(g_largest.load(), 256u) << what;  // and nothing sized from the length
}

// 2^31 bytes cannot be expressed in an i32 length; `writer` must refuse a
// string and a binary of that size instead of writing a wrapped length, and
// write nothing. The bytes are address space only.
template <class Writer>
void expect_refuses_lengths_beyond_i32(Writer& writer) {
  using brovane::protocol::IoErrorKind;
  const std::size_t huge = std::size_t{1} << 31;
  void* map = mmap(nullptr, huge, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  const std::string_view big(static_cast<const char*>(map), huge);
  const auto s = writer.write_string(big);
  EXPECT_FALSE(writer.write_binary(big).has_value());
  EXPECT_EQ(writer.output().size(), 0u);
  munmap(map, huge);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().display(), "IO error: length too large for i32: 2147483648");
  EXPECT_EQ(s.error().io_error().kind, IoErrorKind::InvalidData);
}

}  // namespace codec_test
