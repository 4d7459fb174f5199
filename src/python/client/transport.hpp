// Where one Thrift message ends and the next begins on a connection. Framed
// puts a 4-byte big-endian length before each message; Buffered sends the
// bytes alone, and the receiver finds the end by walking the message's
// structure (Binary) or by counting brackets (JSON).
//
// The algorithms are written once, parameterised by the side: the client and
// the server differ only in the text for an unknown type byte and in what the
// end of the stream inside a Buffered Binary message's first word means. The
// named entry points of each side are thin wrappers (client ones below,
// server ones in python/server/transport.hpp).
//
// Results: a frame is a std::string holding exactly one message without
// framing; the empty string is the empty frame (no message came). A receive
// may be handed a string whose room it reuses (its contents are dropped).
// Errors are values (IoError).
//
// Every algorithm is a coroutine of the stream's task type (buffered_io.hpp):
// an Asio awaitable over an asynchronous stream, a BlockingTask that runs
// straight through over a blocking one.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "protocol/json_text.hpp"
#include "python/client/buffered_io.hpp"
#include "python/client/io_error_map.hpp"

// GCC 12 takes the release of Asio's coroutine frames for a mismatched
// delete when sanitizers instrument them; the warning is false.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace brovane::python::client {

// TransportType numbers.
inline constexpr std::uint8_t kTransportFramed = 0;
inline constexpr std::uint8_t kTransportBuffered = 1;
// ProtocolType numbers.
inline constexpr std::uint8_t kProtocolBinary = 0;
inline constexpr std::uint8_t kProtocolCompact = 1;
inline constexpr std::uint8_t kProtocolJson = 2;

// Structs and containers inside one another that a Buffered Binary message
// may hold, its own argument struct included.
inline constexpr std::size_t kMaxBufferedNesting = 128;
// Arrays and objects inside one another that a Buffered JSON message may
// hold: as many as the JSON reader decodes, so the scan refuses no message
// that could be read, and a peer that sends only opening brackets is cut off
// after that many bytes.
inline constexpr std::int64_t kMaxBufferedJsonNesting = protocol::kJsonDepthBudget - 1;

enum class Side : std::uint8_t { Client, Server };

namespace detail {

[[gnu::cold, gnu::noinline]] inline IoError early_eof() {
  return IoError{IoErrorKind::UnexpectedEof, "early eof"};
}
// What a single-byte read reports when the stream has ended.
[[gnu::cold, gnu::noinline]] inline IoError byte_eof() {
  return IoError::from_kind(IoErrorKind::UnexpectedEof);  // "unexpected end of file"
}
[[gnu::cold, gnu::noinline]] inline IoError unknown_type_error(Side side, std::uint8_t type) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "Unknown field type byte 0x";
  text += kHex[type >> 4];
  text += kHex[type & 0xF];
  if (side == Side::Server) text += " in buffered stream";
  return IoError{IoErrorKind::InvalidData, std::move(text)};
}
[[gnu::cold, gnu::noinline]] inline IoError negative_name_length_error(std::int32_t length) {
  return IoError{IoErrorKind::InvalidData,
                 "negative message name length " + std::to_string(length) + " in buffered message"};
}
[[gnu::cold, gnu::noinline]] inline IoError nesting_error() {
  return IoError{IoErrorKind::InvalidData, "buffered message nested more than " +
                                               std::to_string(kMaxBufferedNesting) + " levels deep"};
}
[[gnu::cold, gnu::noinline]] inline IoError json_nesting_error() {
  return IoError{IoErrorKind::InvalidData, "buffered message nested more than " +
                                               std::to_string(kMaxBufferedJsonNesting) + " levels deep"};
}
[[gnu::cold, gnu::noinline]] inline IoError compact_refused_error() {
  return IoError{IoErrorKind::InvalidInput,
                 "buffered RPC transport currently supports Binary and JSON protocols"};
}
[[gnu::cold, gnu::noinline]] inline IoError frame_too_long_error(std::size_t size) {
  return IoError{IoErrorKind::InvalidInput, "message of " + std::to_string(size) +
                                                " bytes is too long for the Framed transport"};
}

inline std::uint32_t load_be32(const unsigned char* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// Appends exactly `n` bytes from the reader to `out`. Room grows with the
// bytes that have arrived (it at most doubles them), never from `n` alone, so
// a peer that announces a huge length and sends little costs little. Once
// more than a buffer's worth has arrived, large remainders are read straight
// into `out`.
template <class Stream>
StreamTask<Stream, IoStatus> append_exact(BufferedReader<Stream>& reader, std::string& out, std::size_t n) {
  const std::size_t start = out.size();
  const std::size_t end = start + n;
  std::size_t filled = start;  // out[start, filled) holds the bytes that arrived
  auto make_room = [&](std::size_t k) {
    if (out.size() - filled >= k) return;
    out.resize(std::min(end, filled + std::max(k, filled - start)));
  };
  while (filled < end) {
    const std::string_view in = reader.buffered();
    if (!in.empty()) {
      const std::size_t k = std::min(end - filled, in.size());
      if (out.size() == filled) {
        out.append(in.data(), k);
      } else {
        make_room(k);
        std::memcpy(out.data() + filled, in.data(), k);
      }
      reader.consume(k);
      filled += k;
      continue;
    }
    IoResult<std::size_t> got;
    if (end - filled >= reader.capacity() && filled - start >= reader.capacity()) {
      make_room(reader.capacity());
      got = co_await reader.read_direct(out.data() + filled, out.size() - filled);
      if (got && *got > 0) {
        filled += *got;
        continue;
      }
    } else {
      got = co_await reader.fill();
      if (got && *got > 0) continue;
    }
    out.resize(filled);
    if (!got) co_return std::unexpected(std::move(got).error());
    co_return std::unexpected(early_eof());
  }
  out.resize(filled);
  co_return IoStatus{};
}

// The structure walk of a Buffered Binary message, a struct body or one
// value. It runs synchronously over the bytes in hand, takes every byte that
// belongs to the message, and stops when the message is complete, when it
// fails, or when the bytes run out; the caller then refills the reader and
// resumes it. Nesting is an explicit stack, bounded by kMaxBufferedNesting.
class BinaryWalk {
 public:
  enum class Status : std::uint8_t { NeedMore, Done, Failed };

  static BinaryWalk message(Side side) { return BinaryWalk(side, Op::FirstWord); }
  static BinaryWalk struct_body(Side side) {
    BinaryWalk w(side, Op::FieldType);
    w.stack_[0] = Frame{Kind::Struct, 0, 0, false, 0};
    w.depth_ = 1;
    return w;
  }
  static BinaryWalk value(Side side, std::uint8_t wire_type) {
    BinaryWalk w(side, Op::Value);
    w.vtype_ = wire_type;
    return w;
  }

  // Walks `in`; `used` receives how many of its bytes belong to the message.
  Status step(std::string_view in, std::size_t& used) {
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t n = in.size();
    std::size_t i = 0;
    for (;;) {
      // Steps that read nothing.
      switch (op_) {
        case Op::Value:
          if (!begin_value()) {
            used = i;
            return Status::Failed;
          }
          continue;
        case Op::Done: used = i; return Status::Done;
        case Op::Name:
        case Op::SequenceId:
        case Op::Skip:
          if (skip_ == 0) {
            skip_done();
            continue;
          }
          break;
        default: break;
      }
      if (i == n) {
        used = i;
        return Status::NeedMore;
      }
      switch (op_) {
        case Op::FieldType: {
          const std::uint8_t b = p[i++];
          if (b == 0) {
            --depth_;  // the struct's stop byte
            value_done();
          } else {
            ftype_ = b;
            op_ = Op::FieldIdHigh;
          }
          break;
        }
        case Op::FieldIdHigh:
          ++i;
          op_ = Op::FieldIdLow;
          break;
        case Op::FieldIdLow:
          ++i;
          vtype_ = ftype_;
          op_ = Op::Value;
          break;
        case Op::ByteValue:
          ++i;
          value_done();
          break;
        case Op::Name:
        case Op::SequenceId:
        case Op::Skip: {
          const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, n - i));
          skip_ -= k;
          i += k;
          break;
        }
        default: {  // fixed-size headers
          const std::size_t want = header_size() - hdr_len_;
          const std::size_t k = std::min(want, n - i);
          std::memcpy(hdr_.data() + hdr_len_, p + i, k);
          hdr_len_ += k;
          i += k;
          if (hdr_len_ == header_size()) {
            hdr_len_ = 0;
            if (!header_done()) {
              used = i;
              return Status::Failed;
            }
          }
          break;
        }
      }
    }
  }

  // The error for a stream that ends where the walk stands: single-byte
  // reads (field type, field id bytes, Bool and I08 values) report
  // "unexpected end of file", exact reads "early eof".
  IoError eof_error() const {
    switch (op_) {
      case Op::FieldType:
      case Op::FieldIdHigh:
      case Op::FieldIdLow:
      case Op::ByteValue: return byte_eof();
      default: return early_eof();
    }
  }
  bool in_first_word() const noexcept { return op_ == Op::FirstWord; }
  IoError take_error() { return std::move(error_); }

 private:
  enum class Op : std::uint8_t {
    FirstWord, NameLength, StringLength, ListHeader, MapHeader,  // fixed-size headers
    Name, SequenceId, Skip,                                      // counted bytes
    FieldType, FieldIdHigh, FieldIdLow, ByteValue,               // single bytes
    Value,                                                       // dispatch on vtype_
    Done,
  };
  enum class Kind : std::uint8_t { Struct, List, Map };
  struct Frame {
    Kind kind;
    std::uint8_t first;   // element or key type
    std::uint8_t second;  // value type (maps)
    bool key_next;        // maps: the next element is a key
    std::int32_t remaining;
  };

  BinaryWalk(Side side, Op op) : side_(side), op_(op) {}

  std::size_t header_size() const noexcept {
    switch (op_) {
      case Op::ListHeader: return 5;
      case Op::MapHeader: return 6;
      default: return 4;
    }
  }

  bool fail(IoError e) {
    error_ = std::move(e);
    return false;
  }

  bool header_done() {
    switch (op_) {
      case Op::FirstWord: op_ = Op::NameLength; return true;
      case Op::NameLength: {
        const auto length = static_cast<std::int32_t>(load_be32(hdr_.data()));
        if (length < 0) return fail(negative_name_length_error(length));
        skip_ = static_cast<std::uint64_t>(length);
        op_ = Op::Name;
        return true;
      }
      case Op::StringLength:
        skip_ = load_be32(hdr_.data());  // unsigned: up to 4 GiB
        op_ = Op::Skip;
        return true;
      case Op::ListHeader: {
        const auto count = static_cast<std::int32_t>(load_be32(hdr_.data() + 1));
        open_container(Kind::List, hdr_[0], 0, count);
        return true;
      }
      default: {  // MapHeader
        const auto count = static_cast<std::int32_t>(load_be32(hdr_.data() + 2));
        open_container(Kind::Map, hdr_[0], hdr_[1], count);
        return true;
      }
    }
  }

  // A count of zero or less holds no elements; its header is all there is.
  void open_container(Kind kind, std::uint8_t first, std::uint8_t second, std::int32_t count) {
    if (count <= 0) {
      value_done();
      return;
    }
    stack_[depth_++] = Frame{kind, first, second, true, count};
    vtype_ = first;
    op_ = Op::Value;
  }

  void skip_done() {
    switch (op_) {
      case Op::Name:
        skip_ = 4;
        op_ = Op::SequenceId;
        break;
      case Op::SequenceId:
        stack_[0] = Frame{Kind::Struct, 0, 0, false, 0};
        depth_ = 1;
        op_ = Op::FieldType;
        break;
      default: value_done(); break;
    }
  }

  bool begin_value() {
    switch (vtype_) {
      case 2:  // Bool
      case 3:  // I08
        op_ = Op::ByteValue;
        return true;
      case 6: return begin_skip(2);   // I16
      case 8: return begin_skip(4);   // I32
      case 4:                         // Double
      case 10: return begin_skip(8);  // I64
      case 11: op_ = Op::StringLength; return true;
      case 12:
        if (depth_ == kMaxBufferedNesting) return fail(nesting_error());
        stack_[depth_++] = Frame{Kind::Struct, 0, 0, false, 0};
        op_ = Op::FieldType;
        return true;
      case 13:
        if (depth_ == kMaxBufferedNesting) return fail(nesting_error());
        op_ = Op::MapHeader;
        return true;
      case 14:
      case 15:
        if (depth_ == kMaxBufferedNesting) return fail(nesting_error());
        op_ = Op::ListHeader;
        return true;
      default: return fail(unknown_type_error(side_, vtype_));
    }
  }
  bool begin_skip(std::uint64_t n) {
    skip_ = n;
    op_ = Op::Skip;
    return true;
  }

  // One value has been copied: the innermost open struct or container says
  // what comes next; finished containers are values of their parents.
  void value_done() {
    while (depth_ > 0) {
      Frame& f = stack_[depth_ - 1];
      if (f.kind == Kind::Struct) {
        op_ = Op::FieldType;
        return;
      }
      if (f.kind == Kind::Map && f.key_next) {
        f.key_next = false;
        vtype_ = f.second;
        op_ = Op::Value;
        return;
      }
      if (--f.remaining > 0) {
        f.key_next = true;
        vtype_ = f.first;
        op_ = Op::Value;
        return;
      }
      --depth_;
    }
    op_ = Op::Done;
  }

  Side side_;
  Op op_;
  std::uint8_t ftype_ = 0;
  std::uint8_t vtype_ = 0;
  std::size_t hdr_len_ = 0;
  std::uint64_t skip_ = 0;
  std::size_t depth_ = 0;
  std::array<unsigned char, 6> hdr_{};
  std::array<Frame, kMaxBufferedNesting> stack_{};
  IoError error_{};
};

// Runs a walk to its end, appending every byte it takes to `out`.
template <class Stream>
StreamTask<Stream, IoStatus> run_walk(BufferedReader<Stream>& reader, BinaryWalk& walk, std::string& out) {
  for (;;) {
    const std::string_view in = reader.buffered();
    std::size_t used = 0;
    const BinaryWalk::Status status = walk.step(in, used);
    out.append(in.data(), used);
    reader.consume(used);
    if (status == BinaryWalk::Status::Done) co_return IoStatus{};
    if (status == BinaryWalk::Status::Failed) co_return std::unexpected(walk.take_error());
    IoResult<std::size_t> got = co_await reader.fill();
    if (!got) co_return std::unexpected(std::move(got).error());
    if (*got == 0) co_return std::unexpected(walk.eof_error());
  }
}

template <Side S, class Stream>
StreamTask<Stream, IoStatus> read_struct_body(BufferedReader<Stream>& reader, std::string& out) {
  BinaryWalk walk = BinaryWalk::struct_body(S);
  IoStatus r = co_await run_walk(reader, walk, out);
  co_return r;
}

template <Side S, class Stream>
StreamTask<Stream, IoStatus> read_value(BufferedReader<Stream>& reader, std::string& out, std::uint8_t wire_type) {
  BinaryWalk walk = BinaryWalk::value(S, wire_type);
  IoStatus r = co_await run_walk(reader, walk, out);
  co_return r;
}

// Buffered Binary: header (first word, name, sequence id) and the argument
// or result struct, exactly as read.
template <Side S, class Stream>
StreamTask<Stream, IoResult<std::string>> recv_buffered_binary(BufferedReader<Stream>& reader, std::string out) {
  BinaryWalk walk = BinaryWalk::message(S);
  out.clear();
  out.reserve(256);
  IoStatus r = co_await run_walk(reader, walk, out);
  if (!r) {
    // A server treats a peer that ends the stream before a whole first word
    // as a peer that has ended the connection between messages.
    if (S == Side::Server && walk.in_first_word() && r.error().kind == IoErrorKind::UnexpectedEof)
      co_return std::string{};
    co_return std::unexpected(std::move(r).error());
  }
  co_return std::move(out);
}

constexpr bool is_json_blank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Buffered JSON: blanks before the first bracket are dropped; the message
// ends with the bracket that closes the first one. Brackets are counted, not
// matched, and are ignored inside strings. An opening bracket beyond
// kMaxBufferedJsonNesting levels ends the receive with an error.
template <class Stream>
StreamTask<Stream, IoResult<std::string>> recv_buffered_json(BufferedReader<Stream>& reader, std::string out) {
  out.clear();
  out.reserve(256);
  bool started = false;
  bool in_string = false;
  bool escape = false;
  std::int64_t depth = 0;
  for (;;) {
    const std::string_view in = reader.buffered();
    if (in.empty()) {
      IoResult<std::size_t> got = co_await reader.fill();
      if (got && *got > 0) continue;
      IoError err = got ? byte_eof() : std::move(got).error();
      if (err.kind == IoErrorKind::UnexpectedEof && !started) co_return std::move(out);  // empty
      co_return std::unexpected(std::move(err));
    }
    const char* p = in.data();
    const std::size_t n = in.size();
    std::size_t i = 0;
    if (!started) {
      while (i < n && is_json_blank(p[i])) ++i;
      if (i == n) {
        reader.consume(n);
        continue;
      }
      const char c = p[i++];
      reader.consume(i);
      if (c != '{' && c != '[') [[unlikely]] {
        co_return std::unexpected(IoError{
            IoErrorKind::InvalidData, "expected JSON object or array at start of buffered message"});
      }
      out.push_back(c);
      started = true;
      depth = 1;
      continue;
    }
    for (; i < n; ++i) {
      const char c = p[i];
      if (in_string) {
        if (escape) {
          escape = false;
        } else if (c == '"') {
          in_string = false;
        } else if (c == '\\') {
          escape = true;
        }
      } else if (c == '"') {
        in_string = true;
      } else if (c == '{' || c == '[') {
        if (++depth > kMaxBufferedJsonNesting) [[unlikely]] {
          reader.consume(i + 1);
          co_return std::unexpected(json_nesting_error());
        }
      } else if ((c == '}' || c == ']') && --depth == 0) {
        out.append(p, i + 1);
        reader.consume(i + 1);
        co_return std::move(out);
      }
    }
    out.append(p, n);
    reader.consume(n);
  }
}

// Framed: a 4-byte big-endian signed length, then that many bytes.
template <class Stream>
StreamTask<Stream, IoResult<std::string>> recv_framed(BufferedReader<Stream>& reader, std::string out) {
  out.clear();
  unsigned char word[4];
  std::size_t have = 0;
  while (have < 4) {
    const std::string_view in = reader.buffered();
    if (in.empty()) {
      IoResult<std::size_t> got = co_await reader.fill();
      if (got && *got > 0) continue;
      // The end of the stream inside the length: no message came.
      if (got || got.error().kind == IoErrorKind::UnexpectedEof) co_return std::move(out);  // empty
      co_return std::unexpected(std::move(got).error());
    }
    const std::size_t k = std::min(4 - have, in.size());
    std::memcpy(word + have, in.data(), k);
    reader.consume(k);
    have += k;
  }
  const auto length = static_cast<std::int32_t>(load_be32(word));
  if (length <= 0) co_return std::move(out);  // empty
  const auto n = static_cast<std::size_t>(length);
  // Usually the whole message came with its length.
  if (const std::string_view in = reader.buffered(); in.size() >= n) {
    out.append(in.data(), n);
    reader.consume(n);
    co_return std::move(out);
  }
  IoStatus r = co_await append_exact(reader, out, n);
  if (!r) co_return std::unexpected(std::move(r).error());
  co_return std::move(out);
}

template <class Stream>
StreamTask<Stream, IoResult<std::string>> refuse_buffered_compact() {
  co_return std::unexpected(compact_refused_error());
}

// Not a coroutine itself: it hands over the task of the transport's receive.
template <Side S, class Stream>
StreamTask<Stream, IoResult<std::string>> recv_message(BufferedReader<Stream>& reader, std::uint8_t transport,
                                                       std::uint8_t protocol, std::string out = {}) {
  if (transport == kTransportFramed) return recv_framed(reader, std::move(out));
  if (protocol == kProtocolBinary) return recv_buffered_binary<S>(reader, std::move(out));
  if (protocol == kProtocolJson) return recv_buffered_json(reader, std::move(out));
  return refuse_buffered_compact<Stream>();
}

// Each message is flushed as soon as it is written: one flush per message.
template <class Stream>
StreamTask<Stream, IoStatus> send_message(BufferedWriter<Stream>& writer, std::string_view message,
                                          std::uint8_t transport) {
  IoStatus r;
  if (transport == kTransportFramed) {
    // A length the 4-byte field cannot hold would be read back as another
    // length (or none) and desynchronise the peer.
    if (message.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
      co_return std::unexpected(frame_too_long_error(message.size()));
    const auto n = static_cast<std::uint32_t>(message.size());
    const char head[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 8), static_cast<char>(n)};
    r = co_await writer.write_and_flush(std::string_view(head, 4), message);
  } else {
    r = co_await writer.write_and_flush(std::string_view{}, message);
  }
  co_return r;
}

}  // namespace detail

// Writes one message with the transport's framing and flushes the writer.
template <class Stream>
StreamTask<Stream, IoStatus> conn_send_frame(BufferedWriter<Stream>& writer, std::string_view message,
                                             std::uint8_t transport) {
  return detail::send_message(writer, message, transport);
}

// Receives exactly one reply message: the empty string when none came. The
// message goes into `room`'s storage when it is large enough.
template <class Stream>
StreamTask<Stream, IoResult<std::string>> conn_recv_frame(BufferedReader<Stream>& reader,
                                                          std::uint8_t transport, std::uint8_t protocol,
                                                          std::string room = {}) {
  return detail::recv_message<Side::Client>(reader, transport, protocol, std::move(room));
}

// Appends one Binary struct body, through its stop byte, to `out`.
template <class Stream>
StreamTask<Stream, IoStatus> read_buffered_struct_body_async(BufferedReader<Stream>& reader, std::string& out) {
  return detail::read_struct_body<Side::Client>(reader, out);
}

// Appends one Binary value of the given wire type to `out`.
template <class Stream>
StreamTask<Stream, IoStatus> read_buffered_value_async(BufferedReader<Stream>& reader, std::string& out,
                                                       std::uint8_t wire_type) {
  return detail::read_value<Side::Client>(reader, out, wire_type);
}

}  // namespace brovane::python::client

#pragma GCC diagnostic pop
