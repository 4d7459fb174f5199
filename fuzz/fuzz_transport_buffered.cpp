// Buffered receive, client and server side, over an in-memory stream split
// at fuzzer-chosen places: Binary messages (the end found by walking the
// structure), JSON messages (the end found by counting brackets), Compact
// (refused), and the Binary struct-body and single-value reads.
//
// A plain recursive model over the whole input predicts every result: each
// message is exactly the next bytes of the stream, the reader stops right
// after them, and errors carry the kind and text the transport documents.
// A JSON text that the JSON parser accepts as one object or array must come
// back whole. The messages received are then sent again and must reach the
// peer unchanged and be received again the same.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/json_text.hpp"
#include "transport_harness.hpp"

namespace {

using namespace brovane::fuzz;
namespace client = brovane::python::client;
namespace server = brovane::python::server;

constexpr std::size_t kNesting = client::kMaxBufferedNesting;

std::uint32_t load_be32(const char* s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

// The Buffered Binary framing rules, written as a recursive descent over
// the complete input.
class BinaryModel {
 public:
  BinaryModel(std::string_view data, std::size_t pos, bool server) : d_(data), p_(pos), server_(server) {}

  bool message() {
    if (!need(4, false)) {
      in_first_word_ = true;
      return false;
    }
    if (!need(4, false)) return false;
    const auto name_length = static_cast<std::int32_t>(load_be32(d_.data() + p_ - 4));
    if (name_length < 0)
      return invalid("negative message name length " + std::to_string(name_length) + " in buffered message");
    if (!need(static_cast<std::size_t>(name_length), false)) return false;
    if (!need(4, false)) return false;
    return struct_body(1);
  }

  bool struct_body(std::size_t depth) {
    for (;;) {
      if (!need(1, true)) return false;
      const auto type = static_cast<std::uint8_t>(d_[p_ - 1]);
      if (type == 0) return true;
      if (!need(1, true) || !need(1, true)) return false;
      if (!value(type, depth)) return false;
    }
  }

  // `depth`: structs and containers open around the value.
  bool value(std::uint8_t type, std::size_t depth) {
    switch (type) {
      case 2:
      case 3: return need(1, true);
      case 6: return need(2, false);
      case 8: return need(4, false);
      case 4:
      case 10: return need(8, false);
      case 11:
        if (!need(4, false)) return false;
        return need(load_be32(d_.data() + p_ - 4), false);
      case 12:
        if (depth == kNesting) return too_deep();
        return struct_body(depth + 1);
      case 13: {
        if (depth == kNesting) return too_deep();
        if (!need(6, false)) return false;
        const char* h = d_.data() + p_ - 6;
        const auto count = static_cast<std::int32_t>(load_be32(h + 2));
        for (std::int32_t k = 0; k < count; ++k) {
          if (!value(static_cast<std::uint8_t>(h[0]), depth + 1)) return false;
          if (!value(static_cast<std::uint8_t>(h[1]), depth + 1)) return false;
        }
        return true;
      }
      case 14:
      case 15: {
        if (depth == kNesting) return too_deep();
        if (!need(5, false)) return false;
        const char* h = d_.data() + p_ - 5;
        const auto count = static_cast<std::int32_t>(load_be32(h + 1));
        for (std::int32_t k = 0; k < count; ++k)
          if (!value(static_cast<std::uint8_t>(h[0]), depth + 1)) return false;
        return true;
      }
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string text = "Unknown field type byte 0x";
        text += kHex[type >> 4];
        text += kHex[type & 15];
        if (server_) text += " in buffered stream";
        return invalid(std::move(text));
      }
    }
  }

  std::size_t position() const noexcept { return p_; }
  bool ran_out() const noexcept { return ran_out_; }
  bool in_first_word() const noexcept { return in_first_word_; }
  const IoError& error() const noexcept { return error_; }

 private:
  // Single-byte reads report the end of the stream differently from exact
  // reads of several bytes.
  bool need(std::uint64_t n, bool single_byte) {
    if (d_.size() - p_ < n) {
      p_ = d_.size();
      ran_out_ = true;
      error_ = single_byte ? IoError{IoErrorKind::UnexpectedEof, "unexpected end of file"}
                           : IoError{IoErrorKind::UnexpectedEof, "early eof"};
      return false;
    }
    p_ += static_cast<std::size_t>(n);
    return true;
  }
  bool invalid(std::string text) {
    error_ = IoError{IoErrorKind::InvalidData, std::move(text)};
    return false;
  }
  bool too_deep() {
    return invalid("buffered message nested more than " + std::to_string(kNesting) + " levels deep");
  }

  std::string_view d_;
  std::size_t p_;
  bool server_;
  bool ran_out_ = false;
  bool in_first_word_ = false;
  IoError error_{};
};

enum class Mode { BinaryMessage, JsonMessage, Compact, StructBody, Value };

Mode mode_of(const TransportInput& in) {
  switch (in.mode()) {
    case 0:
    case 1:
    case 2: return Mode::BinaryMessage;
    case 3:
    case 4: return Mode::JsonMessage;
    case 5: return Mode::Compact;
    case 6: return Mode::StructBody;
    default: return Mode::Value;
  }
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// One JSON message from `p`: blanks, then '{' or '[' up to the bracket that
// brings the count back to zero, brackets inside strings not counted; a
// bracket that opens a level deeper than the JSON reader decodes ends it.
Expected json_model(const TransportInput& in, std::string_view d, std::size_t& p) {
  while (p < d.size() && is_blank(d[p])) ++p;
  if (p == d.size()) {
    if (in.ends_with_error()) return {std::unexpected(in.stream_error()), p};
    return {std::string(), p};
  }
  if (d[p] != '{' && d[p] != '[')
    return {std::unexpected(IoError{IoErrorKind::InvalidData,
                                    "expected JSON object or array at start of buffered message"}),
            p};
  const std::size_t start = p;
  std::int64_t depth = 0;
  bool in_string = false;
  for (; p < d.size(); ++p) {
    const char c = d[p];
    if (in_string) {
      if (c == '\\') {
        if (++p == d.size()) break;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    if ((c == '{' || c == '[') && ++depth > client::kMaxBufferedJsonNesting)
      return {std::unexpected(IoError{IoErrorKind::InvalidData,
                                      "buffered message nested more than " +
                                          std::to_string(client::kMaxBufferedJsonNesting) + " levels deep"}),
              p};
    if ((c == '}' || c == ']') && --depth == 0) {
      ++p;
      return {std::string(d.substr(start, p - start)), p};
    }
  }
  p = d.size();
  if (in.ends_with_error()) return {std::unexpected(in.stream_error()), p};
  return {std::unexpected(IoError{IoErrorKind::UnexpectedEof, "unexpected end of file"}), p};
}

std::vector<Expected> model(const TransportInput& in, std::string_view d) {
  const Mode mode = mode_of(in);
  std::vector<Expected> want;
  std::size_t p = 0;
  for (int k = 0; k < kMaxReceives; ++k) {
    Expected e;
    if (mode == Mode::JsonMessage) {
      e = json_model(in, d, p);
    } else if (mode == Mode::Compact) {
      e = {std::unexpected(IoError{IoErrorKind::InvalidInput,
                                   "buffered RPC transport currently supports Binary and JSON protocols"}),
           0};
    } else {
      BinaryModel m(d, p, in.server());
      const bool ok = mode == Mode::BinaryMessage ? m.message()
                      : mode == Mode::StructBody  ? m.struct_body(1)
                                                  : m.value(in.param, 0);
      if (ok) {
        e = {std::string(d.substr(p, m.position() - p)), m.position()};
      } else if (!m.ran_out()) {
        e = {std::unexpected(m.error()), m.position()};
      } else if (in.ends_with_error()) {
        e = {std::unexpected(in.stream_error()), d.size()};
      } else if (mode == Mode::BinaryMessage && in.server() && m.in_first_word()) {
        // The peer ended the connection between messages.
        e = {std::string(), d.size()};
      } else {
        e = {std::unexpected(m.error()), d.size()};
      }
      p = m.position();
    }
    const bool failed = !e.result.has_value();
    want.push_back(std::move(e));
    if (failed) break;
  }
  return want;
}

// The whole stream, without its surrounding blanks, when the JSON parser
// takes it as one object or array.
std::optional<std::string_view> whole_json_text(std::string_view d) {
  std::size_t b = 0, e = d.size();
  while (b < e && is_blank(d[b])) ++b;
  while (e > b && is_blank(d[e - 1])) --e;
  const std::string_view text = d.substr(b, e - b);
  if (text.empty() || (text[0] != '{' && text[0] != '[')) return std::nullopt;
  if (!brovane::protocol::parse_json(d)) return std::nullopt;
  return text;
}

// The Binary struct-body and value reads, as receives of their bytes. (Out
// of line: g++ 12 gives two coroutine lambdas of one function one name.)
Receive walk_receive(bool struct_body, bool srv, std::uint8_t wire_type) {
  return [=](BufferedReader<MemStream>& r) -> asio::awaitable<IoResult<std::string>> {
    std::string out;
    IoStatus s;
    if (struct_body && srv) {
      s = co_await server::read_buffered_struct_body_async(r, out);
    } else if (struct_body) {
      s = co_await client::read_buffered_struct_body_async(r, out);
    } else if (srv) {
      s = co_await server::read_buffered_value_async(r, out, wire_type);
    } else {
      s = co_await client::read_buffered_value_async(r, out, wire_type);
    }
    IoResult<std::string> result;
    if (s) {
      result = std::move(out);
    } else {
      result = std::unexpected(std::move(s).error());
    }
    co_return result;
  };
}

Receive message_receive(bool srv, std::uint8_t protocol) {
  return [=](BufferedReader<MemStream>& r) {
    return srv ? server::recv_request_frame_async(r, client::kTransportBuffered, protocol)
               : client::conn_recv_frame(r, client::kTransportBuffered, protocol);
  };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  TransportInput in;
  if (!TransportInput::parse(std::string_view(reinterpret_cast<const char*>(bytes), size), in)) return 0;
  const Mode mode = mode_of(in);
  const bool srv = in.server();
  const std::uint8_t protocol = mode == Mode::JsonMessage ? client::kProtocolJson
                                : mode == Mode::Compact   ? client::kProtocolCompact
                                                          : client::kProtocolBinary;
  const std::uint8_t wire_type = in.param;

  const Receive receive = mode == Mode::StructBody || mode == Mode::Value
                              ? walk_receive(mode == Mode::StructBody, srv, wire_type)
                              : message_receive(srv, protocol);

  const std::vector<Received> got = run_receives(in, in.data, receive);
  compare(got, model(in, in.data));
  if (mode == Mode::Compact) FUZZ_CHECK_MSG(got[0].position == 0, "a refused receive read the stream");

  if (mode == Mode::JsonMessage) {
    if (const auto whole = whole_json_text(in.data)) {
      FUZZ_CHECK_MSG(got[0].result && *got[0].result == *whole,
                     "valid JSON text " + std::string(*whole) + "\n  received as " + describe(got[0].result));
    }
  }

  std::vector<std::string> messages;
  std::string joined;
  for (const Received& r : got) {
    if (!r.result || r.result->empty()) continue;
    messages.push_back(*r.result);
    joined += *r.result;
  }
  if (messages.empty()) return 0;
  if (mode == Mode::BinaryMessage || mode == Mode::JsonMessage) {
    const std::string sent = send_all(in, messages, client::kTransportBuffered);
    FUZZ_CHECK_MSG(sent == joined, "sent " + hex(sent) + "\n  expected " + hex(joined));
  }
  const std::vector<Received> again = run_receives(in, joined, receive);
  FUZZ_CHECK(again.size() >= messages.size());
  for (std::size_t k = 0; k < messages.size(); ++k)
    FUZZ_CHECK_MSG(again[k].result && *again[k].result == messages[k], "re-received " + describe(again[k].result));
  return 0;
}
