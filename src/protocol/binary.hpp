// The strict, versioned Thrift Binary encoding, big-endian throughout.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "protocol/buffer.hpp"
#include "protocol/types.hpp"

namespace brovane::protocol {

namespace binary_detail {

// "Bad version: 0x{:08x}" for the first four bytes of a message.
[[gnu::cold]] ProtocolError bad_version(std::uint32_t word);

}  // namespace binary_detail

class BinaryProtocolReader : public PrefixedStringReads<BinaryProtocolReader> {
 public:
  explicit BinaryProtocolReader(std::string_view input) noexcept : in_(input) {}
  BinaryProtocolReader(const char* data, std::size_t size) noexcept : in_(data, size) {}
  explicit BinaryProtocolReader(std::span<const std::byte> input) noexcept : in_(input) {}
  // The reader keeps a view: a temporary string would dangle.
  template <class S>
    requires std::same_as<S, std::string>
  explicit BinaryProtocolReader(S&&) = delete;

  std::size_t position() const noexcept { return in_.position(); }
  std::size_t remaining() const noexcept { return in_.remaining(); }
  // The next n bytes, consumed, or nullptr with nothing consumed when fewer
  // remain: a run of fixed-width values checked against the input once.
  const char* take_run(std::size_t n) noexcept { return n <= in_.remaining() ? in_.take(n) : nullptr; }

  PResult<MessageHeader> read_message_begin() {
    const std::uint32_t word = BRV_TRY(in_.read_be<std::uint32_t>());
    // 80 01 xx tt: the third byte is ignored, the fourth is the message type.
    if ((word & 0xFFFF0000u) != 0x80010000u) [[unlikely]]
      return std::unexpected(binary_detail::bad_version(word));
    MessageHeader h;
    h.message_type = static_cast<MessageType>(word & 0xFFu);
    h.name = BRV_TRY(read_string());
    h.seqid = BRV_TRY(in_.read_be<std::int32_t>());
    return h;
  }
  PStatus read_message_end() noexcept { return {}; }
  PStatus read_struct_begin() noexcept { return {}; }
  PStatus read_struct_end() noexcept { return {}; }

  [[gnu::always_inline]] PResult<FieldHeader> read_field_begin() {
    const std::uint8_t type = BRV_TRY(in_.read_u8());
    if (type == 0) return FieldHeader{TType::Stop, 0};
    if (!is_field_type_code(type)) [[unlikely]]
      return std::unexpected(ProtocolError::invalid_type(type));
    const std::int16_t id = BRV_TRY(in_.read_be<std::int16_t>());
    return FieldHeader{static_cast<TType>(type), id};
  }
  PStatus read_field_end() noexcept { return {}; }

  [[gnu::always_inline]] PResult<ListHeader> read_list_begin() {
    const TType elem = BRV_TRY(read_element_type());
    const std::int32_t size = BRV_TRY(in_.read_be<std::int32_t>());
    return ListHeader{elem, size};
  }
  PStatus read_list_end() noexcept { return {}; }
  PResult<ListHeader> read_set_begin() { return read_list_begin(); }
  PStatus read_set_end() noexcept { return {}; }

  [[gnu::always_inline]] PResult<MapHeader> read_map_begin() {
    const TType key = BRV_TRY(read_element_type());
    const TType value = BRV_TRY(read_element_type());
    const std::int32_t size = BRV_TRY(in_.read_be<std::int32_t>());
    return MapHeader{key, value, size};
  }
  PStatus read_map_end() noexcept { return {}; }

  [[gnu::always_inline]] PResult<bool> read_bool() {
    const std::uint8_t b = BRV_TRY(in_.read_u8());
    return b != 0;
  }
  [[gnu::always_inline]] PResult<std::int8_t> read_i8() {
    const std::uint8_t b = BRV_TRY(in_.read_u8());
    return static_cast<std::int8_t>(b);
  }
  [[gnu::always_inline]] PResult<std::int16_t> read_i16() { return in_.read_be<std::int16_t>(); }
  [[gnu::always_inline]] PResult<std::int32_t> read_i32() { return in_.read_be<std::int32_t>(); }
  [[gnu::always_inline]] PResult<std::int64_t> read_i64() { return in_.read_be<std::int64_t>(); }
  [[gnu::always_inline]] PResult<double> read_double() {
    const std::uint64_t bits = BRV_TRY(in_.read_be<std::uint64_t>());
    return std::bit_cast<double>(bits);
  }

  // A view into the input, valid as long as the input lives; the other
  // string reads build on it.
  [[gnu::always_inline]] PResult<std::string_view> read_binary_view() {
    const std::int32_t len = BRV_TRY(in_.read_be<std::int32_t>());
    if (len < 0) [[unlikely]]
      return std::unexpected(negative_length(len));
    return in_.take_view(static_cast<std::size_t>(len));
  }

 private:
  [[gnu::always_inline]] PResult<TType> read_element_type() {
    const std::uint8_t b = BRV_TRY(in_.read_u8());
    if (!is_element_type_code(b)) [[unlikely]]
      return std::unexpected(ProtocolError::invalid_field_type());
    return static_cast<TType>(b);
  }

  ByteCursor in_;
};

class BinaryProtocolWriter {
 public:
  BinaryProtocolWriter() = default;
  explicit BinaryProtocolWriter(std::size_t reserve) : out_(reserve) {}
  // Appends after the contents of `buffer`.
  explicit BinaryProtocolWriter(std::string buffer) : out_(std::move(buffer)) {}

  std::string take() { return out_.take(); }
  std::string_view output() const noexcept { return out_.view(); }

  PStatus write_message_begin(const MessageHeader& h) {
    if (h.name.size() > kMaxPrefixedLength) [[unlikely]]
      return std::unexpected(length_too_large(h.name.size()));
    out_.reserve_more(12 + h.name.size());
    out_.put_be<std::uint32_t>(0x80010000u | static_cast<std::uint8_t>(h.message_type));
    out_.put_be<std::int32_t>(static_cast<std::int32_t>(h.name.size()));
    out_.put(h.name);
    out_.put_be<std::int32_t>(h.seqid);
    return {};
  }
  PStatus write_message_end() noexcept { return {}; }
  PStatus write_struct_begin() noexcept { return {}; }
  PStatus write_struct_end() noexcept { return {}; }

  PStatus write_field_begin(const FieldHeader& h) {
    char* p = out_.claim(3);
    p[0] = static_cast<char>(to_byte(h.field_type));
    const std::uint16_t id = to_big_endian(static_cast<std::uint16_t>(h.id));
    std::memcpy(p + 1, &id, 2);
    return {};
  }
  PStatus write_field_end() noexcept { return {}; }
  PStatus write_field_stop() {
    out_.put_u8(0);
    return {};
  }

  PStatus write_list_begin(const ListHeader& h) {
    char* p = out_.claim(5);
    p[0] = static_cast<char>(to_byte(h.element_type));
    const std::uint32_t size = to_big_endian(static_cast<std::uint32_t>(h.size));
    std::memcpy(p + 1, &size, 4);
    return {};
  }
  PStatus write_list_end() noexcept { return {}; }
  PStatus write_set_begin(const ListHeader& h) { return write_list_begin(h); }
  PStatus write_set_end() noexcept { return {}; }

  PStatus write_map_begin(const MapHeader& h) {
    char* p = out_.claim(6);
    p[0] = static_cast<char>(to_byte(h.key_type));
    p[1] = static_cast<char>(to_byte(h.value_type));
    const std::uint32_t size = to_big_endian(static_cast<std::uint32_t>(h.size));
    std::memcpy(p + 2, &size, 4);
    return {};
  }
  PStatus write_map_end() noexcept { return {}; }

  PStatus write_bool(bool v) {
    out_.put_u8(v ? 1 : 0);
    return {};
  }
  PStatus write_i8(std::int8_t v) {
    out_.put_u8(static_cast<std::uint8_t>(v));
    return {};
  }
  PStatus write_i16(std::int16_t v) {
    out_.put_be(v);
    return {};
  }
  PStatus write_i32(std::int32_t v) {
    out_.put_be(v);
    return {};
  }
  PStatus write_i64(std::int64_t v) {
    out_.put_be(v);
    return {};
  }
  PStatus write_double(double v) {
    out_.put_be(std::bit_cast<std::uint64_t>(v));
    return {};
  }

  // A length beyond the i32 prefix is refused rather than written wrapped,
  // which would corrupt everything after it.
  PStatus write_binary(std::string_view bytes) {
    if (bytes.size() > kMaxPrefixedLength) [[unlikely]]
      return std::unexpected(length_too_large(bytes.size()));
    char* p = out_.claim(4 + bytes.size());
    const std::uint32_t len = to_big_endian(static_cast<std::uint32_t>(bytes.size()));
    std::memcpy(p, &len, 4);
    if (!bytes.empty()) std::memcpy(p + 4, bytes.data(), bytes.size());
    return {};
  }
  PStatus write_string(std::string_view s) { return write_binary(s); }

 private:
  OutputBuffer out_;
};

static_assert(InputProtocol<BinaryProtocolReader>);
static_assert(OutputProtocol<BinaryProtocolWriter>);

}  // namespace brovane::protocol
