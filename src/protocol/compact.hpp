// This system's Compact encoding: the Thrift Compact model (protocol id 82,
// field-id deltas, type nibbles, booleans folded into field headers, varints)
// with points of its own that peers must share: every varint is zigzag-coded
// (lengths, sizes and the sequence id included), a long-form field id is two
// big-endian bytes, doubles are big-endian, varints have no length limit and
// the field-id delta wraps modulo 65536.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/buffer.hpp"
#include "protocol/types.hpp"

namespace brovane::protocol {

namespace compact_detail {

// InvalidData "Bad protocol id" / "Bad protocol version".
[[gnu::cold]] ProtocolError bad_protocol_id();
[[gnu::cold]] ProtocolError bad_protocol_version();
// InvalidData "field header outside of a struct": a field header read or
// written while no struct is open (empty last-field-id stack).
[[gnu::cold]] ProtocolError no_open_struct();

// The failing results, built out of line so that the hot paths keep only a
// call for each way they can fail.
template <class T>
[[gnu::cold, gnu::noinline]] PResult<T> fail(ProtocolError (*make)()) {
  return std::unexpected(make());
}
template <class T>
[[gnu::cold, gnu::noinline]] PResult<T> fail_negative_length(std::int32_t len) {
  return std::unexpected(negative_length(len));
}
[[gnu::cold, gnu::noinline]] inline PStatus fail_length_too_large(std::size_t len) {
  return std::unexpected(length_too_large(len));
}

// Compact nibble -> TType; 0xFF for 13..15, which are not type nibbles.
inline constexpr std::uint8_t kInvalidNibble = 0xFF;
inline constexpr std::uint8_t kTypeOfNibble[16] = {
    to_byte(TType::Stop),   to_byte(TType::Bool),   to_byte(TType::Bool), to_byte(TType::I08),
    to_byte(TType::I16),    to_byte(TType::I32),    to_byte(TType::I64),  to_byte(TType::Double),
    to_byte(TType::String), to_byte(TType::List),   to_byte(TType::Set),  to_byte(TType::Map),
    to_byte(TType::Struct), kInvalidNibble,         kInvalidNibble,       kInvalidNibble,
};

// TType byte -> compact nibble (Bool as 1, its container form). Stop, Void
// and the bytes that are no type code have no nibble of their own and write
// as 0. A full table, so that the lookup needs no range check.
inline constexpr auto kNibbleOfType = [] {
  std::array<std::uint8_t, 256> t{};
  t[to_byte(TType::Bool)] = 1;
  t[to_byte(TType::I08)] = 3;
  t[to_byte(TType::I16)] = 4;
  t[to_byte(TType::I32)] = 5;
  t[to_byte(TType::I64)] = 6;
  t[to_byte(TType::Double)] = 7;
  t[to_byte(TType::String)] = 8;
  t[to_byte(TType::List)] = 9;
  t[to_byte(TType::Set)] = 10;
  t[to_byte(TType::Map)] = 11;
  t[to_byte(TType::Struct)] = 12;
  return t;
}();

constexpr std::uint8_t nibble_of(TType t) noexcept { return kNibbleOfType[to_byte(t)]; }

constexpr std::uint32_t zigzag32(std::int32_t n) noexcept {
  return (static_cast<std::uint32_t>(n) << 1) ^ static_cast<std::uint32_t>(n >> 31);
}
constexpr std::uint64_t zigzag64(std::int64_t n) noexcept {
  return (static_cast<std::uint64_t>(n) << 1) ^ static_cast<std::uint64_t>(n >> 63);
}
constexpr std::int32_t unzigzag32(std::uint32_t u) noexcept {
  return static_cast<std::int32_t>((u >> 1) ^ (0u - (u & 1u)));
}
constexpr std::int64_t unzigzag64(std::uint64_t u) noexcept {
  return static_cast<std::int64_t>((u >> 1) ^ (0ull - (u & 1ull)));
}

// Bytes the varint of u takes: one per started group of 7 bits. For a bit
// width w of 1 to 64, (9w + 64) / 64 is w / 7 rounded up, without a divide.
template <class U>
constexpr std::size_t varint_size(U u) noexcept {
  return (static_cast<std::size_t>(std::bit_width(u | 1u)) * 9 + 64) >> 6;
}
static_assert(varint_size(0u) == 1 && varint_size(127u) == 1 && varint_size(128u) == 2 &&
              varint_size(0xFFFFFFFFu) == 5 && varint_size(~0ull) == 10 &&
              varint_size(1ull << 62) == 9 && varint_size((1ull << 49) - 1) == 7);

// Writes the varint of u into p, which has room for varint_size(u) bytes.
template <class U>
inline char* put_varint(char* p, U u) noexcept {
  while (u >= 0x80) {
    *p++ = static_cast<char>(static_cast<std::uint8_t>(u) | 0x80);
    u >>= 7;
  }
  *p++ = static_cast<char>(u);
  return p;
}

// Decodes a varint of any length starting at *pos: each byte's low 7 bits
// land at bit 7 * index taken modulo the width of U, so bits that run past
// the top wrap round instead of being refused. False (and *pos at end) when
// the input ends first.
template <class U>
[[gnu::noinline]] bool get_varint_long(const unsigned char*& pos, const unsigned char* end,
                                       U& out) noexcept {
  constexpr unsigned kBits = sizeof(U) * 8;
  const unsigned char* p = pos;
  U value = 0;
  unsigned shift = 0;
  while (p != end) {
    const unsigned b = *p++;
    value |= static_cast<U>(b & 0x7Fu) << shift;
    if (b < 0x80) {
      pos = p;
      out = value;
      return true;
    }
    shift = (shift + 7) % kBits;
  }
  pos = end;
  return false;
}

}  // namespace compact_detail

// The stack of last field ids, one entry per open struct, innermost on top.
// The top lives apart from the entries below it, so that the per-field
// update touches one member and not an indexed slot. The entries below the
// top sit in slots 1 and up; slot 0 takes the meaningless top of an empty
// stack, which keeps push and pop free of a branch on the depth. The slots
// live inline up to a nesting depth that real schemas never pass, so
// building a reader or writer allocates nothing; deeper nesting moves them
// to the heap.
class FieldIdStack {
 public:
  FieldIdStack() noexcept = default;
  FieldIdStack(std::initializer_list<std::int16_t> ids)
      : FieldIdStack(std::span<const std::int16_t>(ids.begin(), ids.size())) {}
  FieldIdStack(std::span<const std::int16_t> ids) {
    if (ids.empty()) return;
    assign(ids.subspan(0, ids.size() - 1), ids.back());
  }

  FieldIdStack(const FieldIdStack& other) { copy_from(other); }
  FieldIdStack& operator=(const FieldIdStack& other) {
    if (this != &other) copy_from(other);
    return *this;
  }
  FieldIdStack(FieldIdStack&& other) noexcept { take_from(other); }
  FieldIdStack& operator=(FieldIdStack&& other) noexcept {
    if (this != &other) take_from(other);
    return *this;
  }
  ~FieldIdStack() = default;

  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }
  // Only meaningful when !empty().
  std::int16_t& top() noexcept { return top_; }
  std::int16_t top() const noexcept { return top_; }
  // Bottom first.
  std::vector<std::int16_t> to_vector() const {
    std::vector<std::int16_t> out;
    if (size_ == 0) return out;
    out.assign(slots_ + 1, slots_ + size_);
    out.push_back(top_);
    return out;
  }

  void push(std::int16_t id) {
    if (size_ == capacity_) [[unlikely]]
      grow(size_ + 1);
    slots_[size_] = top_;
    top_ = id;
    ++size_;
  }
  // Nothing happens on an empty stack.
  void pop() noexcept {
    if (size_ == 0) [[unlikely]]
      return;
    top_ = slots_[--size_];
  }

 private:
  static constexpr std::size_t kInline = 16;

  // `below` bottom first, then `top`.
  void assign(std::span<const std::int16_t> below, std::int16_t top) {
    const std::size_t n = below.size() + 1;
    if (n > capacity_) grow(n);
    if (!below.empty()) std::memcpy(slots_ + 1, below.data(), below.size() * sizeof(std::int16_t));
    top_ = top;
    size_ = n;
  }
  void copy_from(const FieldIdStack& other) {
    size_ = 0;
    if (other.size_ != 0)
      assign(std::span<const std::int16_t>(other.slots_ + 1, other.size_ - 1), other.top_);
  }
  void take_from(FieldIdStack& other) noexcept {
    if (other.heap_) {
      heap_ = std::move(other.heap_);
      slots_ = heap_.get();
      capacity_ = other.capacity_;
    } else {
      heap_.reset();
      slots_ = inline_;
      capacity_ = kInline;
      std::memcpy(inline_, other.inline_, sizeof inline_);
    }
    top_ = other.top_;
    size_ = other.size_;
    other.slots_ = other.inline_;
    other.capacity_ = kInline;
    other.size_ = 0;
  }
  // At least `want` slots, keeping those in use.
  [[gnu::noinline]] void grow(std::size_t want) {
    std::size_t cap = capacity_ * 2;
    if (cap < want) cap = want;
    auto fresh = std::make_unique<std::int16_t[]>(cap);
    std::memcpy(fresh.get(), slots_, size_ * sizeof(std::int16_t));
    heap_ = std::move(fresh);
    slots_ = heap_.get();
    capacity_ = cap;
  }

  std::int16_t top_ = 0;
  std::size_t size_ = 0;  // entries, the top included
  std::int16_t* slots_ = inline_;
  std::size_t capacity_ = kInline;
  std::unique_ptr<std::int16_t[]> heap_;
  std::int16_t inline_[kInline]{};
};

class CompactProtocolReader : public PrefixedStringReads<CompactProtocolReader> {
 public:
  // The caller chooses the initial last-field-id stack (callers start with
  // [0] or [0, 0]); no bool is pending.
  CompactProtocolReader(std::string_view input, FieldIdStack last_field_ids) noexcept
      : begin_(reinterpret_cast<const unsigned char*>(input.data())),
        pos_(begin_),
        end_(begin_ + input.size()),
        ids_(std::move(last_field_ids)) {}
  CompactProtocolReader(const char* data, std::size_t size, FieldIdStack last_field_ids) noexcept
      : CompactProtocolReader(std::string_view(data, size), std::move(last_field_ids)) {}
  CompactProtocolReader(std::span<const std::byte> input, FieldIdStack last_field_ids) noexcept
      : CompactProtocolReader(
            std::string_view(reinterpret_cast<const char*>(input.data()), input.size()),
            std::move(last_field_ids)) {}

  std::size_t position() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }
  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - pos_); }
  // Bottom first.
  std::vector<std::int16_t> last_field_ids() const { return ids_.to_vector(); }
  // The value of the last Bool field header, until read_bool takes it.
  std::optional<bool> pending_bool() const noexcept {
    if (pending_bool_ == 0) return std::nullopt;
    return pending_bool_ == 1;
  }

  PResult<MessageHeader> read_message_begin() {
    const std::uint8_t id = BRV_TRY(read_byte());
    if (id != 0x82) [[unlikely]]
      return compact_detail::fail<MessageHeader>(compact_detail::bad_protocol_id);
    const std::uint8_t version_and_type = BRV_TRY(read_byte());
    if ((version_and_type & 0x1F) != 1) [[unlikely]]
      return compact_detail::fail<MessageHeader>(compact_detail::bad_protocol_version);
    MessageHeader h;
    h.message_type = static_cast<MessageType>(version_and_type >> 5);
    h.seqid = compact_detail::unzigzag32(BRV_TRY(read_varint32()));
    h.name = BRV_TRY(read_string());
    return h;
  }
  PStatus read_message_end() noexcept { return {}; }

  PStatus read_struct_begin() {
    ids_.push(0);
    return {};
  }
  PStatus read_struct_end() noexcept {
    ids_.pop();
    return {};
  }

  [[gnu::always_inline]] PResult<FieldHeader> read_field_begin() {
    if (pos_ == end_) [[unlikely]]
      return compact_detail::fail<FieldHeader>(ProtocolError::eof);
    const std::uint8_t b = *pos_++;
    const std::uint8_t nibble = b & 0x0F;
    if (nibble == 0) return FieldHeader{TType::Stop, 0};
    if (ids_.empty()) [[unlikely]]
      return compact_detail::fail<FieldHeader>(compact_detail::no_open_struct);
    std::int16_t id;
    if (const unsigned delta = b >> 4; delta != 0) {
      id = static_cast<std::int16_t>(static_cast<std::uint16_t>(ids_.top() + delta));
    } else {
      if (end_ - pos_ < 2) [[unlikely]] {
        pos_ = end_;
        return compact_detail::fail<FieldHeader>(ProtocolError::eof);
      }
      id = static_cast<std::int16_t>((pos_[0] << 8) | pos_[1]);
      pos_ += 2;
    }
    ids_.top() = id;
    const std::uint8_t type = compact_detail::kTypeOfNibble[nibble];
    if (type == compact_detail::kInvalidNibble) [[unlikely]]
      return compact_detail::fail<FieldHeader>(ProtocolError::invalid_field_type);
    // Nibbles 1 and 2 carry the value of a Bool field: true and false.
    if (nibble <= 2) pending_bool_ = nibble;
    return FieldHeader{static_cast<TType>(type), id};
  }
  PStatus read_field_end() noexcept { return {}; }

  [[gnu::always_inline]] PResult<ListHeader> read_list_begin() {
    const std::uint8_t b = BRV_TRY(read_byte());
    std::int32_t size = b >> 4;
    // The size is read before the element nibble is checked.
    if (size == 15) size = compact_detail::unzigzag32(BRV_TRY(read_varint32()));
    const TType elem = BRV_TRY(element_type(b & 0x0F));
    return ListHeader{elem, size};
  }
  PStatus read_list_end() noexcept { return {}; }
  PResult<ListHeader> read_set_begin() { return read_list_begin(); }
  PStatus read_set_end() noexcept { return {}; }

  [[gnu::always_inline]] PResult<MapHeader> read_map_begin() {
    const std::int32_t size = compact_detail::unzigzag32(BRV_TRY(read_varint32()));
    if (size == 0) return MapHeader{TType::Stop, TType::Stop, 0};
    const std::uint8_t types = BRV_TRY(read_byte());
    const TType key = BRV_TRY(element_type(types >> 4));
    const TType value = BRV_TRY(element_type(types & 0x0F));
    return MapHeader{key, value, size};
  }
  PStatus read_map_end() noexcept { return {}; }

  [[gnu::always_inline]] PResult<bool> read_bool() {
    if (pending_bool_ != 0) {
      const bool v = pending_bool_ == 1;
      pending_bool_ = 0;
      return v;
    }
    // A container element: 01 is true, every other byte false.
    const std::uint8_t b = BRV_TRY(read_byte());
    return b == 1;
  }
  [[gnu::always_inline]] PResult<std::int8_t> read_i8() {
    const std::uint8_t b = BRV_TRY(read_byte());
    return static_cast<std::int8_t>(b);
  }
  [[gnu::always_inline]] PResult<std::int16_t> read_i16() {
    const std::uint32_t u = BRV_TRY(read_varint32());
    return static_cast<std::int16_t>(compact_detail::unzigzag32(u));
  }
  [[gnu::always_inline]] PResult<std::int32_t> read_i32() {
    const std::uint32_t u = BRV_TRY(read_varint32());
    return compact_detail::unzigzag32(u);
  }
  [[gnu::always_inline]] PResult<std::int64_t> read_i64() {
    std::uint64_t u;
    if (pos_ != end_ && *pos_ < 0x80) [[likely]] {
      u = *pos_++;
    } else if (!compact_detail::get_varint_long(pos_, end_, u)) [[unlikely]] {
      return compact_detail::fail<std::int64_t>(ProtocolError::eof);
    }
    return compact_detail::unzigzag64(u);
  }
  [[gnu::always_inline]] PResult<double> read_double() {
    if (end_ - pos_ < 8) [[unlikely]] {
      pos_ = end_;
      return compact_detail::fail<double>(ProtocolError::eof);
    }
    std::uint64_t bits;
    std::memcpy(&bits, pos_, 8);
    pos_ += 8;
    return std::bit_cast<double>(to_big_endian(bits));
  }

  // A view into the input, valid as long as the input lives; the other
  // string reads build on it. The length is compared with the remaining
  // input before anything else happens.
  [[gnu::always_inline]] PResult<std::string_view> read_binary_view() {
    const std::int32_t len = compact_detail::unzigzag32(BRV_TRY(read_varint32()));
    if (len < 0) [[unlikely]]
      return compact_detail::fail_negative_length<std::string_view>(len);
    if (static_cast<std::size_t>(len) > remaining()) [[unlikely]] {
      pos_ = end_;
      return compact_detail::fail<std::string_view>(ProtocolError::eof);
    }
    const std::string_view s(reinterpret_cast<const char*>(pos_), static_cast<std::size_t>(len));
    pos_ += len;
    return s;
  }

 private:
  [[gnu::always_inline]] PResult<std::uint8_t> read_byte() {
    if (pos_ == end_) [[unlikely]]
      return compact_detail::fail<std::uint8_t>(ProtocolError::eof);
    return *pos_++;
  }

  [[gnu::always_inline]] PResult<std::uint32_t> read_varint32() {
    std::uint32_t u;
    if (pos_ != end_ && *pos_ < 0x80) [[likely]] {
      u = *pos_++;
    } else if (!compact_detail::get_varint_long(pos_, end_, u)) [[unlikely]] {
      return compact_detail::fail<std::uint32_t>(ProtocolError::eof);
    }
    return u;
  }

  [[gnu::always_inline]] static PResult<TType> element_type(std::uint8_t nibble) {
    const std::uint8_t type = compact_detail::kTypeOfNibble[nibble];
    if (type == compact_detail::kInvalidNibble) [[unlikely]]
      return compact_detail::fail<TType>(ProtocolError::invalid_field_type);
    return static_cast<TType>(type);
  }

  const unsigned char* begin_;
  const unsigned char* pos_;
  const unsigned char* end_;
  FieldIdStack ids_;
  // 0: none; 1: true; 2: false (the header nibbles that carried it).
  std::uint8_t pending_bool_ = 0;
};

class CompactProtocolWriter {
 public:
  // The caller chooses the initial last-field-id stack (callers start with
  // [0] or [0, 0]); no Bool field is pending.
  explicit CompactProtocolWriter(FieldIdStack last_field_ids) : ids_(std::move(last_field_ids)) {}
  CompactProtocolWriter(std::size_t reserve, FieldIdStack last_field_ids)
      : out_(reserve), ids_(std::move(last_field_ids)) {}
  // Appends after the contents of `buffer`.
  CompactProtocolWriter(std::string buffer, FieldIdStack last_field_ids)
      : out_(std::move(buffer)), ids_(std::move(last_field_ids)) {}

  std::string take() { return out_.take(); }
  std::string_view output() const noexcept { return out_.view(); }
  // Bottom first.
  std::vector<std::int16_t> last_field_ids() const { return ids_.to_vector(); }
  // The id of a Bool field whose header waits for write_bool.
  std::optional<std::int16_t> pending_bool_field() const noexcept {
    if (!has_pending_bool_) return std::nullopt;
    return pending_bool_id_;
  }

  PStatus write_message_begin(const MessageHeader& h) {
    if (h.name.size() > kMaxPrefixedLength) [[unlikely]]
      return compact_detail::fail_length_too_large(h.name.size());
    const std::uint32_t seqid = compact_detail::zigzag32(h.seqid);
    const std::uint32_t len = compact_detail::zigzag32(static_cast<std::int32_t>(h.name.size()));
    char* p = out_.claim(2 + compact_detail::varint_size(seqid) + compact_detail::varint_size(len) +
                         h.name.size());
    *p++ = static_cast<char>(0x82);
    *p++ = static_cast<char>(static_cast<std::uint8_t>((to_underlying(h.message_type) << 5) + 1));
    p = compact_detail::put_varint(p, seqid);
    p = compact_detail::put_varint(p, len);
    if (!h.name.empty()) std::memcpy(p, h.name.data(), h.name.size());
    return {};
  }
  PStatus write_message_end() noexcept { return {}; }

  PStatus write_struct_begin() {
    ids_.push(0);
    return {};
  }
  PStatus write_struct_end() noexcept {
    ids_.pop();
    return {};
  }

  PStatus write_field_begin(const FieldHeader& h) {
    if (ids_.empty()) [[unlikely]]
      return compact_detail::fail<void>(compact_detail::no_open_struct);
    // A Bool field's header goes out with its value.
    if (h.field_type == TType::Bool) {
      has_pending_bool_ = true;
      pending_bool_id_ = h.id;
      return {};
    }
    put_field_header(h.id, compact_detail::nibble_of(h.field_type));
    return {};
  }
  PStatus write_field_end() noexcept { return {}; }
  PStatus write_field_stop() {
    out_.put_u8(0);
    return {};
  }

  PStatus write_list_begin(const ListHeader& h) {
    const std::uint8_t code = compact_detail::nibble_of(h.element_type);
    // Negative sizes take the long form too: (size << 4) would clobber the
    // nibble that marks it.
    if (static_cast<std::uint32_t>(h.size) <= 14) [[likely]] {
      out_.put_u8(static_cast<std::uint8_t>((h.size << 4) | code));
      return {};
    }
    const std::uint32_t size = compact_detail::zigzag32(h.size);
    char* p = out_.claim(1 + compact_detail::varint_size(size));
    *p++ = static_cast<char>(0xF0 | code);
    compact_detail::put_varint(p, size);
    return {};
  }
  PStatus write_list_end() noexcept { return {}; }
  PStatus write_set_begin(const ListHeader& h) { return write_list_begin(h); }
  PStatus write_set_end() noexcept { return {}; }

  PStatus write_map_begin(const MapHeader& h) {
    if (h.size == 0) {
      out_.put_u8(0);
      return {};
    }
    const std::uint32_t size = compact_detail::zigzag32(h.size);
    char* p = out_.claim(compact_detail::varint_size(size) + 1);
    p = compact_detail::put_varint(p, size);
    *p = static_cast<char>((compact_detail::nibble_of(h.key_type) << 4) |
                           compact_detail::nibble_of(h.value_type));
    return {};
  }
  PStatus write_map_end() noexcept { return {}; }

  PStatus write_bool(bool v) {
    if (has_pending_bool_) {
      if (ids_.empty()) [[unlikely]]
        return compact_detail::fail<void>(compact_detail::no_open_struct);
      has_pending_bool_ = false;
      put_field_header(pending_bool_id_, v ? 1 : 2);
      return {};
    }
    out_.put_u8(v ? 1 : 2);
    return {};
  }
  PStatus write_i8(std::int8_t v) {
    out_.put_u8(static_cast<std::uint8_t>(v));
    return {};
  }
  PStatus write_i16(std::int16_t v) { return write_i32(v); }
  PStatus write_i32(std::int32_t v) {
    put_varint(compact_detail::zigzag32(v));
    return {};
  }
  PStatus write_i64(std::int64_t v) {
    put_varint(compact_detail::zigzag64(v));
    return {};
  }
  PStatus write_double(double v) {
    out_.put_be(std::bit_cast<std::uint64_t>(v));
    return {};
  }

  // A length beyond i32 is refused rather than written wrapped, which would
  // corrupt everything after it.
  PStatus write_binary(std::string_view bytes) {
    if (bytes.size() > kMaxPrefixedLength) [[unlikely]]
      return compact_detail::fail_length_too_large(bytes.size());
    const std::uint32_t len = compact_detail::zigzag32(static_cast<std::int32_t>(bytes.size()));
    char* p;
    if (len < 0x80) [[likely]] {
      p = out_.claim(1 + bytes.size());
      *p++ = static_cast<char>(len);
    } else {
      p = out_.claim(compact_detail::varint_size(len) + bytes.size());
      p = compact_detail::put_varint(p, len);
    }
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    return {};
  }
  PStatus write_string(std::string_view s) { return write_binary(s); }

 private:
  static constexpr std::uint8_t to_underlying(MessageType t) noexcept {
    return static_cast<std::uint8_t>(t);
  }

  // Short form when the id is 1 to 15 above the last one (modulo 65536),
  // else the code byte and the id as two big-endian bytes. Needs a
  // non-empty stack.
  void put_field_header(std::int16_t id, std::uint8_t code) {
    const std::uint16_t delta = static_cast<std::uint16_t>(id - ids_.top());
    if (delta - 1u < 15u) [[likely]] {
      out_.put_u8(static_cast<std::uint8_t>((delta << 4) | code));
    } else {
      char* p = out_.claim(3);
      p[0] = static_cast<char>(code);
      p[1] = static_cast<char>(static_cast<std::uint16_t>(id) >> 8);
      p[2] = static_cast<char>(id & 0xFF);
    }
    ids_.top() = id;
  }

  template <class U>
  void put_varint(U u) {
    if (u < 0x80) [[likely]] {
      out_.put_u8(static_cast<std::uint8_t>(u));
      return;
    }
    put_long_varint(u);
  }
  void put_long_varint(std::uint64_t u) {
    compact_detail::put_varint(out_.claim(compact_detail::varint_size(u)), u);
  }

  OutputBuffer out_;
  FieldIdStack ids_;
  std::int16_t pending_bool_id_ = 0;
  bool has_pending_bool_ = false;
};

static_assert(InputProtocol<CompactProtocolReader>);
static_assert(OutputProtocol<CompactProtocolWriter>);

}  // namespace brovane::protocol
