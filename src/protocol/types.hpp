// Vocabulary shared by every wire codec: type codes, header records, the codec
// error, the reader/writer concepts and the UTF-8 check that string reads use.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace brovane::protocol {

// Wire type code, one unsigned byte. Codes 5, 7, 9 and everything above 15
// are not type codes; a TType can still hold any byte (the underlying type is
// fixed), which is how kNoType is represented.
enum class TType : std::uint8_t {
  Stop = 0,
  Void = 1,
  Bool = 2,
  I08 = 3,
  Double = 4,
  I16 = 6,
  I32 = 8,
  I64 = 10,
  String = 11,
  Struct = 12,
  Map = 13,
  Set = 14,
  List = 15,
};

// "No type" inside codec state (a JSON struct frame with no pending field, an
// unknown JSON type name). Never written to or accepted from the wire.
inline constexpr TType kNoType = static_cast<TType>(16);

// Bit n set <=> byte n is a field type code: 1..15 without 5, 7 and 9.
inline constexpr std::uint32_t kFieldTypeMask =
    (1u << 1) | (1u << 2) | (1u << 3) | (1u << 4) | (1u << 6) | (1u << 8) | (1u << 10) |
    (1u << 11) | (1u << 12) | (1u << 13) | (1u << 14) | (1u << 15);
// Element types additionally accept Stop.
inline constexpr std::uint32_t kElementTypeMask = kFieldTypeMask | 1u;

// A field header's type byte: every code but Stop (Void is accepted).
constexpr bool is_field_type_code(std::uint8_t b) noexcept {
  return b < 16 && ((kFieldTypeMask >> b) & 1u) != 0;
}
// A list/set element, map key or map value type byte: Stop and every field type.
constexpr bool is_element_type_code(std::uint8_t b) noexcept {
  return b < 16 && ((kElementTypeMask >> b) & 1u) != 0;
}

constexpr std::uint8_t to_byte(TType t) noexcept { return static_cast<std::uint8_t>(t); }

// The message type is carried raw: no codec checks it, so any byte round-trips
// (MessageType{9} is a valid value).
enum class MessageType : std::uint8_t {
  Call = 1,
  Reply = 2,
  Exception = 3,
  Oneway = 4,
};

struct MessageHeader {
  std::string name;
  MessageType message_type = MessageType::Call;
  std::int32_t seqid = 0;
  friend bool operator==(const MessageHeader&, const MessageHeader&) = default;
};

// `name` is never read or written by any codec (always absent when read); it is
// a view so that building a header never allocates.
struct FieldHeader {
  TType field_type = TType::Stop;
  std::int16_t id = 0;
  std::optional<std::string_view> name{};
  friend bool operator==(const FieldHeader&, const FieldHeader&) = default;
};

// Lists and sets alike. `size` is returned as read, negative values included.
struct ListHeader {
  TType element_type = TType::Stop;
  std::int32_t size = 0;
  friend bool operator==(const ListHeader&, const ListHeader&) = default;
};

struct MapHeader {
  TType key_type = TType::Stop;
  TType value_type = TType::Stop;
  std::int32_t size = 0;
  friend bool operator==(const MapHeader&, const MapHeader&) = default;
};

// I/O error kinds; the display texts of the kinds (io_error_kind_text) follow
// the conventional wording of the Rust standard library, which peers and
// callers see in messages such as "unexpected end of file".
enum class IoErrorKind : std::uint8_t {
  UnexpectedEof,
  InvalidData,
  Other,
  InvalidInput,
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  TimedOut,
  WriteZero,
  Interrupted,
  Unsupported,
  OutOfMemory,
  HostUnreachable,
  NetworkUnreachable,
  NetworkDown,
};

constexpr std::string_view io_error_kind_text(IoErrorKind k) noexcept {
  switch (k) {
    case IoErrorKind::UnexpectedEof: return "unexpected end of file";
    case IoErrorKind::InvalidData: return "invalid data";
    case IoErrorKind::Other: return "other error";
    case IoErrorKind::InvalidInput: return "invalid input parameter";
    case IoErrorKind::NotFound: return "entity not found";
    case IoErrorKind::PermissionDenied: return "permission denied";
    case IoErrorKind::ConnectionRefused: return "connection refused";
    case IoErrorKind::ConnectionReset: return "connection reset";
    case IoErrorKind::ConnectionAborted: return "connection aborted";
    case IoErrorKind::NotConnected: return "not connected";
    case IoErrorKind::AddrInUse: return "address in use";
    case IoErrorKind::AddrNotAvailable: return "address not available";
    case IoErrorKind::BrokenPipe: return "broken pipe";
    case IoErrorKind::AlreadyExists: return "entity already exists";
    case IoErrorKind::WouldBlock: return "operation would block";
    case IoErrorKind::TimedOut: return "timed out";
    case IoErrorKind::WriteZero: return "write zero";
    case IoErrorKind::Interrupted: return "operation interrupted";
    case IoErrorKind::Unsupported: return "unsupported";
    case IoErrorKind::OutOfMemory: return "out of memory";
    case IoErrorKind::HostUnreachable: return "host unreachable";
    case IoErrorKind::NetworkUnreachable: return "network unreachable";
    case IoErrorKind::NetworkDown: return "network down";
  }
  return "uncategorized error";
}

// An I/O error: a kind and the text it displays as.
struct IoError {
  IoErrorKind kind = IoErrorKind::Other;
  std::string text;

  // An error that carries nothing but its kind displays as the kind's text.
  static IoError from_kind(IoErrorKind k) { return IoError{k, std::string(io_error_kind_text(k))}; }

  const std::string& display() const noexcept { return text; }
  friend bool operator==(const IoError&, const IoError&) = default;
};

inline constexpr std::string_view kEofText = "failed to fill whole buffer";

// The error of every reader and writer operation.
class ProtocolError {
 public:
  enum class Kind : std::uint8_t { Io, InvalidType, InvalidFieldType };

  // Construction lives out of the hot paths: every error is built by one of
  // these cold functions.
  [[gnu::cold, gnu::noinline]] static ProtocolError io(IoError e) {
    ProtocolError p(Kind::Io);
    p.io_ = std::move(e);
    return p;
  }
  [[gnu::cold, gnu::noinline]] static ProtocolError io(IoErrorKind k, std::string text) {
    return io(IoError{k, std::move(text)});
  }
  // Truncated input: UnexpectedEof, "failed to fill whole buffer".
  [[gnu::cold, gnu::noinline]] static ProtocolError eof() {
    return io(IoError{IoErrorKind::UnexpectedEof, std::string(kEofText)});
  }
  [[gnu::cold, gnu::noinline]] static ProtocolError invalid_data(std::string text) {
    return io(IoError{IoErrorKind::InvalidData, std::move(text)});
  }
  [[gnu::cold, gnu::noinline]] static ProtocolError invalid_type(std::uint8_t byte) {
    ProtocolError p(Kind::InvalidType);
    p.type_byte_ = byte;
    return p;
  }
  [[gnu::cold, gnu::noinline]] static ProtocolError invalid_field_type() {
    return ProtocolError(Kind::InvalidFieldType);
  }

  Kind kind() const noexcept { return kind_; }
  bool is_io() const noexcept { return kind_ == Kind::Io; }
  // Meaningful for Kind::Io only.
  const IoError& io_error() const& noexcept { return io_; }
  IoError io_error() && noexcept { return std::move(io_); }
  // Meaningful for Kind::InvalidType only.
  std::uint8_t type_byte() const noexcept { return type_byte_; }

  // "IO error: {}", "Invalid type: {}" (byte in decimal), "Invalid field type".
  [[gnu::cold]] std::string display() const {
    switch (kind_) {
      case Kind::Io: return "IO error: " + io_.text;
      case Kind::InvalidType: return "Invalid type: " + std::to_string(type_byte_);
      case Kind::InvalidFieldType: break;
    }
    return "Invalid field type";
  }

  friend bool operator==(const ProtocolError&, const ProtocolError&) = default;

 private:
  explicit ProtocolError(Kind k) noexcept : kind_(k) {}

  Kind kind_;
  std::uint8_t type_byte_ = 0;
  IoError io_{};
};

// The standard conversion (client, server, skipping): Io stays as it is; the
// other two become InvalidData carrying their display text.
[[gnu::cold]] inline IoError to_io_error(ProtocolError e) {
  if (e.is_io()) return std::move(e).io_error();
  return IoError{IoErrorKind::InvalidData, e.display()};
}

// The conversion used while reading values into ThriftValue: every variant,
// Io included, becomes InvalidData carrying the display text (so truncation
// reads "IO error: failed to fill whole buffer").
[[gnu::cold]] inline IoError to_io_error_invalid_data(const ProtocolError& e) {
  return IoError{IoErrorKind::InvalidData, e.display()};
}

template <class T>
using PResult = std::expected<T, ProtocolError>;
using PStatus = PResult<void>;

// Propagate the error of any std::expected out of the enclosing function
// (whose error type must be constructible from the operand's error type).
// BRV_TRY yields the value (GNU statement expression); BRV_TRY_VOID is for
// results without a value.
#define BRV_TRY(expr)                                                   \
  ({                                                                    \
    auto&& brv_try_r_ = (expr);                                         \
    if (!brv_try_r_.has_value()) [[unlikely]]                           \
      return std::unexpected(std::move(brv_try_r_).error());            \
    *std::move(brv_try_r_);                                             \
  })
#define BRV_TRY_VOID(expr)                                              \
  do {                                                                  \
    auto&& brv_try_r_ = (expr);                                         \
    if (!brv_try_r_.has_value()) [[unlikely]]                           \
      return std::unexpected(std::move(brv_try_r_).error());            \
  } while (0)

// ---------------------------------------------------------------------------
// UTF-8 validation with the error model of Rust's std::str::from_utf8:
// `valid_up_to` is the length of the valid prefix; `error_len` is the length
// of the invalid sequence starting there, or absent when the input ends
// inside a character.
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::uint8_t> error_len{};

  // "invalid utf-8 sequence of {} bytes from index {}" /
  // "incomplete utf-8 byte sequence from index {}"
  [[gnu::cold]] std::string display() const {
    if (error_len) {
      return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
             std::to_string(valid_up_to);
    }
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  }
  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

namespace detail {

// Continues validation at `i`, the first byte that may be non-ASCII.
[[gnu::noinline]] inline std::optional<Utf8Error> validate_utf8_slow(const unsigned char* p,
                                                                     std::size_t n,
                                                                     std::size_t i) noexcept {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  while (i < n) {
    const unsigned char first = p[i];
    if (first < 0x80) {
      ++i;
      // Skip ASCII runs a word at a time again once back in plain text.
      while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & kHigh) break;
        i += 8;
      }
      continue;
    }
    const std::size_t start = i;
    auto incomplete = [&] { return Utf8Error{start, std::nullopt}; };
    auto invalid = [&](std::uint8_t len) { return Utf8Error{start, len}; };
    auto is_cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    if (first >= 0xC2 && first <= 0xDF) {
      if (i + 1 >= n) return incomplete();
      if (!is_cont(p[i + 1])) return invalid(1);
      i += 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
      if (i + 1 >= n) return incomplete();
      const unsigned char b1 = p[i + 1];
      const bool ok1 = (first == 0xE0)   ? (b1 >= 0xA0 && b1 <= 0xBF)
                       : (first == 0xED) ? (b1 >= 0x80 && b1 <= 0x9F)
                                         : is_cont(b1);
      if (!ok1) return invalid(1);
      if (i + 2 >= n) return incomplete();
      if (!is_cont(p[i + 2])) return invalid(2);
      i += 3;
    } else if (first >= 0xF0 && first <= 0xF4) {
      if (i + 1 >= n) return incomplete();
      const unsigned char b1 = p[i + 1];
      const bool ok1 = (first == 0xF0)   ? (b1 >= 0x90 && b1 <= 0xBF)
                       : (first == 0xF4) ? (b1 >= 0x80 && b1 <= 0x8F)
                                         : is_cont(b1);
      if (!ok1) return invalid(1);
      if (i + 2 >= n) return incomplete();
      if (!is_cont(p[i + 2])) return invalid(2);
      if (i + 3 >= n) return incomplete();
      if (!is_cont(p[i + 3])) return invalid(3);
      i += 4;
    } else {
      return invalid(1);  // stray continuation byte, C0, C1 or F5..FF
    }
  }
  return std::nullopt;
}

}  // namespace detail

// Absent when `s` is valid UTF-8. ASCII is checked eight bytes at a time.
inline std::optional<Utf8Error> validate_utf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    std::uint64_t a, b;
    std::memcpy(&a, p + i, 8);
    std::memcpy(&b, p + i + 8, 8);
    if ((a | b) & kHigh) [[unlikely]]
      return detail::validate_utf8_slow(p, n, i);
  }
  for (; i < n; ++i) {
    if (p[i] & 0x80) [[unlikely]]
      return detail::validate_utf8_slow(p, n, i);
  }
  return std::nullopt;
}

// The form the string reads report: ProtocolError::Io, InvalidData, with the
// UTF-8 error's text.
inline PStatus check_utf8(std::string_view s) {
  if (auto err = validate_utf8(s)) [[unlikely]]
    return std::unexpected(ProtocolError::invalid_data(err->display()));
  return {};
}

// ---------------------------------------------------------------------------
// The reader and writer interface. Every codec (Binary, Compact, JSON) offers
// exactly these members with these signatures, so generic code is written
// once as a template constrained by these concepts:
//
// Readers (constructed over the input bytes; the input must outlive them):
//   PResult<MessageHeader> read_message_begin();   PStatus read_message_end();
//   PStatus read_struct_begin();                   PStatus read_struct_end();
//   PResult<FieldHeader>   read_field_begin();     PStatus read_field_end();
//   PResult<ListHeader>    read_list_begin();      PStatus read_list_end();
//   PResult<ListHeader>    read_set_begin();       PStatus read_set_end();
//   PResult<MapHeader>     read_map_begin();       PStatus read_map_end();
//   PResult<bool> read_bool();            PResult<std::int8_t>  read_i8();
//   PResult<std::int16_t> read_i16();     PResult<std::int32_t> read_i32();
//   PResult<std::int64_t> read_i64();     PResult<double>       read_double();
//   PResult<std::string> read_string();   // UTF-8 checked, owned
//   PResult<std::string> read_binary();   // owned bytes
//   PResult<std::string_view> read_string_view();  // UTF-8 checked, no copy
//   PResult<std::string_view> read_binary_view();  // no copy
// The views stay valid until the next operation on the reader, or until the
// reader or its input is destroyed, whichever comes first (Binary and Compact
// views point into the input and outlive the reader; JSON ones may point into
// reader-owned storage).
//
// Writers (default-constructible, or constructed with a reserve size, or over
// a std::string whose contents are kept and appended to):
//   PStatus write_message_begin(const MessageHeader&);  PStatus write_message_end();
//   PStatus write_struct_begin();                       PStatus write_struct_end();
//   PStatus write_field_begin(const FieldHeader&);      PStatus write_field_end();
//   PStatus write_field_stop();
//   PStatus write_list_begin(const ListHeader&);        PStatus write_list_end();
//   PStatus write_set_begin(const ListHeader&);         PStatus write_set_end();
//   PStatus write_map_begin(const MapHeader&);          PStatus write_map_end();
//   PStatus write_bool(bool);  PStatus write_i8(std::int8_t);  PStatus write_i16(std::int16_t);
//   PStatus write_i32(std::int32_t);  PStatus write_i64(std::int64_t);  PStatus write_double(double);
//   PStatus write_string(std::string_view);   // text
//   PStatus write_binary(std::string_view);   // bytes
//   std::string take();                       // moves the output out
//   std::string_view output() const;          // the output so far
template <class R>
concept InputProtocol = requires(R& r) {
  { r.read_message_begin() } -> std::same_as<PResult<MessageHeader>>;
  { r.read_message_end() } -> std::same_as<PStatus>;
  { r.read_struct_begin() } -> std::same_as<PStatus>;
  { r.read_struct_end() } -> std::same_as<PStatus>;
  { r.read_field_begin() } -> std::same_as<PResult<FieldHeader>>;
  { r.read_field_end() } -> std::same_as<PStatus>;
  { r.read_list_begin() } -> std::same_as<PResult<ListHeader>>;
  { r.read_list_end() } -> std::same_as<PStatus>;
  { r.read_set_begin() } -> std::same_as<PResult<ListHeader>>;
  { r.read_set_end() } -> std::same_as<PStatus>;
  { r.read_map_begin() } -> std::same_as<PResult<MapHeader>>;
  { r.read_map_end() } -> std::same_as<PStatus>;
  { r.read_bool() } -> std::same_as<PResult<bool>>;
  { r.read_i8() } -> std::same_as<PResult<std::int8_t>>;
  { r.read_i16() } -> std::same_as<PResult<std::int16_t>>;
  { r.read_i32() } -> std::same_as<PResult<std::int32_t>>;
  { r.read_i64() } -> std::same_as<PResult<std::int64_t>>;
  { r.read_double() } -> std::same_as<PResult<double>>;
  { r.read_string() } -> std::same_as<PResult<std::string>>;
  { r.read_binary() } -> std::same_as<PResult<std::string>>;
  { r.read_string_view() } -> std::same_as<PResult<std::string_view>>;
  { r.read_binary_view() } -> std::same_as<PResult<std::string_view>>;
};

template <class W>
concept OutputProtocol =
    requires(W& w, const W& cw, const MessageHeader& mh, const FieldHeader& fh,
             const ListHeader& lh, const MapHeader& mph, std::string_view s) {
      { w.write_message_begin(mh) } -> std::same_as<PStatus>;
      { w.write_message_end() } -> std::same_as<PStatus>;
      { w.write_struct_begin() } -> std::same_as<PStatus>;
      { w.write_struct_end() } -> std::same_as<PStatus>;
      { w.write_field_begin(fh) } -> std::same_as<PStatus>;
      { w.write_field_end() } -> std::same_as<PStatus>;
      { w.write_field_stop() } -> std::same_as<PStatus>;
      { w.write_list_begin(lh) } -> std::same_as<PStatus>;
      { w.write_list_end() } -> std::same_as<PStatus>;
      { w.write_set_begin(lh) } -> std::same_as<PStatus>;
      { w.write_set_end() } -> std::same_as<PStatus>;
      { w.write_map_begin(mph) } -> std::same_as<PStatus>;
      { w.write_map_end() } -> std::same_as<PStatus>;
      { w.write_bool(true) } -> std::same_as<PStatus>;
      { w.write_i8(std::int8_t{}) } -> std::same_as<PStatus>;
      { w.write_i16(std::int16_t{}) } -> std::same_as<PStatus>;
      { w.write_i32(std::int32_t{}) } -> std::same_as<PStatus>;
      { w.write_i64(std::int64_t{}) } -> std::same_as<PStatus>;
      { w.write_double(double{}) } -> std::same_as<PStatus>;
      { w.write_string(s) } -> std::same_as<PStatus>;
      { w.write_binary(s) } -> std::same_as<PStatus>;
      { w.take() } -> std::same_as<std::string>;
      { cw.output() } -> std::same_as<std::string_view>;
    };

}  // namespace brovane::protocol
