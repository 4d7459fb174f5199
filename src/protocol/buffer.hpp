// Byte-level helpers shared by the codecs: length prefixes and the string
// reads built on them, a bounds-checked input cursor and an append-only
// output buffer with an inline fast path.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "protocol/types.hpp"

namespace brovane::protocol {

template <std::integral T>
constexpr T to_big_endian(T v) noexcept {
  if constexpr (std::endian::native == std::endian::little && sizeof(T) > 1) {
    return std::byteswap(v);
  } else {
    return v;
  }
}

// The largest length an i32 length prefix can express.
inline constexpr std::size_t kMaxPrefixedLength =
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// InvalidData "negative length: {}": a length prefix below zero.
[[gnu::cold]] ProtocolError negative_length(std::int32_t len);
// InvalidData "length too large for i32: {}": more bytes than a length
// prefix can express, refused rather than written with a wrapped length.
[[gnu::cold]] ProtocolError length_too_large(std::size_t len);

// The string reads of a codec whose strings and binaries are length-prefixed
// bytes of the input. `Reader` supplies read_binary_view, which checks the
// length against the remaining input; the UTF-8 checked and the owning forms
// are built on it, so nothing is allocated before that check.
template <class Reader>
class PrefixedStringReads {
 public:
  PResult<std::string_view> read_string_view() {
    const std::string_view s = BRV_TRY(self().read_binary_view());
    BRV_TRY_VOID(check_utf8(s));
    return s;
  }
  PResult<std::string> read_binary() {
    const std::string_view s = BRV_TRY(self().read_binary_view());
    return std::string(s);
  }
  PResult<std::string> read_string() {
    const std::string_view s = BRV_TRY(read_string_view());
    return std::string(s);
  }

 private:
  Reader& self() noexcept { return static_cast<Reader&>(*this); }
};

// Walks a complete input that the caller keeps alive. A take of more bytes
// than remain moves the position to the end and fails, so a failed read never
// leaves the cursor in the middle of the input.
class ByteCursor {
 public:
  ByteCursor() noexcept = default;
  explicit ByteCursor(std::string_view input) noexcept : data_(input.data()), size_(input.size()) {}
  ByteCursor(const char* data, std::size_t size) noexcept : data_(data), size_(size) {}
  explicit ByteCursor(std::span<const std::byte> input) noexcept
      : data_(reinterpret_cast<const char*>(input.data())), size_(input.size()) {}
  // The cursor keeps a view: a temporary string would dangle.
  template <class S>
    requires std::same_as<S, std::string>
  explicit ByteCursor(S&&) = delete;

  std::size_t position() const noexcept { return pos_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t remaining() const noexcept { return size_ - pos_; }
  bool at_end() const noexcept { return pos_ == size_; }
  std::string_view input() const noexcept { return {data_, size_}; }
  // Peeks at the next byte; only valid when !at_end().
  std::uint8_t peek() const noexcept { return static_cast<std::uint8_t>(data_[pos_]); }
  void skip_to_end() noexcept { pos_ = size_; }

  // Start of n bytes now consumed, or nullptr (position at the end) when
  // fewer than n remain.
  [[gnu::always_inline]] const char* take(std::size_t n) noexcept {
    if (n > size_ - pos_) [[unlikely]] {
      pos_ = size_;
      return nullptr;
    }
    const char* p = data_ + pos_;
    pos_ += n;
    return p;
  }

  // The next n bytes as a view into the input; "failed to fill whole buffer"
  // when fewer remain.
  [[gnu::always_inline]] PResult<std::string_view> take_view(std::size_t n) {
    const char* p = take(n);
    if (!p) [[unlikely]]
      return std::unexpected(ProtocolError::eof());
    return std::string_view(p, n);
  }

  [[gnu::always_inline]] PResult<std::uint8_t> read_u8() {
    if (pos_ == size_) [[unlikely]]
      return std::unexpected(ProtocolError::eof());
    return static_cast<std::uint8_t>(data_[pos_++]);
  }

  // A big-endian integer of sizeof(T) bytes.
  template <std::integral T>
  [[gnu::always_inline]] PResult<T> read_be() {
    const char* p = take(sizeof(T));
    if (!p) [[unlikely]]
      return std::unexpected(ProtocolError::eof());
    T v;
    std::memcpy(&v, p, sizeof(T));
    return to_big_endian(v);
  }

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
};

// Append-only output over a std::string. The string is kept at full size
// (size == capacity) and the logical length tracked apart, so an append that
// fits is a bounds check and a memcpy with no call into the library; growing
// is out of line.
class OutputBuffer {
 public:
  OutputBuffer() { grow_to(buf_.capacity()); }
  explicit OutputBuffer(std::size_t reserve) { grow_to(reserve); }
  // Keeps `initial`'s contents and appends after them.
  explicit OutputBuffer(std::string initial) : buf_(std::move(initial)), len_(buf_.size()) {
    grow_to(buf_.capacity());
  }

  std::size_t size() const noexcept { return len_; }
  std::string_view view() const noexcept { return {buf_.data(), len_}; }
  void reserve_more(std::size_t n) {
    if (n > buf_.size() - len_) grow(n);
  }

  // Room for n bytes, consumed at once; the caller fills all of them.
  [[gnu::always_inline]] char* claim(std::size_t n) {
    if (n > buf_.size() - len_) [[unlikely]]
      grow(n);
    char* p = buf_.data() + len_;
    len_ += n;
    return p;
  }

  void put_u8(std::uint8_t b) { *claim(1) = static_cast<char>(b); }
  void put(const void* src, std::size_t n) {
    if (n != 0) std::memcpy(claim(n), src, n);
  }
  void put(std::string_view s) { put(s.data(), s.size()); }

  template <std::integral T>
  void put_be(T v) {
    v = to_big_endian(v);
    std::memcpy(claim(sizeof(T)), &v, sizeof(T));
  }

  // Moves the output out; the buffer is empty afterwards and may be reused.
  std::string take() {
    buf_.resize(len_);
    len_ = 0;
    std::string out = std::exchange(buf_, std::string());
    grow_to(buf_.capacity());
    return out;
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    std::size_t want = buf_.size() * 2;
    if (want < len_ + n) want = len_ + n;
    if (want < 64) want = 64;
    grow_to(want);
  }
  // Makes the string's size at least `cap` (and then equal to its capacity)
  // without filling the new room: it is written before it is ever read.
  void grow_to(std::size_t cap) {
    if (cap < buf_.size()) cap = buf_.size();
    buf_.resize_and_overwrite(cap, [](char*, std::size_t n) noexcept { return n; });
    const std::size_t full = buf_.capacity();
    if (full > buf_.size())
      buf_.resize_and_overwrite(full, [](char*, std::size_t n) noexcept { return n; });
  }

  std::string buf_;
  std::size_t len_ = 0;
};

}  // namespace brovane::protocol
