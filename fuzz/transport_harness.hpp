// Shared by the transport targets: the fuzz input's layout, the run of
// successive receives over one BufferedReader, and the comparison of what
// came back with what a plain model of the transport predicts.
//
// Input: byte 0 flags (bit 0 server side, bit 1 end the stream with a
// connection reset instead of end of file, bits 2-4 a mode the target
// interprets), byte 1 the reader's buffer size, byte 2 the read chunking,
// byte 3 a parameter of the mode; then the bytes the peer sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "check.hpp"
#include "mem_stream.hpp"
#include "python/client/transport.hpp"
#include "python/server/transport.hpp"

namespace brovane::fuzz {

namespace client = python::client;
using client::BufferedReader;
using client::BufferedWriter;
using client::IoResult;
using client::IoStatus;
using protocol::IoError;
using protocol::IoErrorKind;

// How many messages one input may hold; receives stop at the first error.
inline constexpr int kMaxReceives = 8;

struct TransportInput {
  std::uint8_t flags = 0;
  std::uint8_t capacity_byte = 0;
  std::uint8_t chunk_seed = 0;
  std::uint8_t param = 0;
  std::string_view data;

  static bool parse(std::string_view in, TransportInput& out) {
    if (in.size() < 4) return false;
    out.flags = static_cast<std::uint8_t>(in[0]);
    out.capacity_byte = static_cast<std::uint8_t>(in[1]);
    out.chunk_seed = static_cast<std::uint8_t>(in[2]);
    out.param = static_cast<std::uint8_t>(in[3]);
    out.data = in.substr(4);
    return true;
  }
  bool server() const noexcept { return flags & 1; }
  bool ends_with_error() const noexcept { return flags & 2; }
  unsigned mode() const noexcept { return (flags >> 2) & 7; }
  // Mostly tiny buffers, so that messages straddle many refills; sometimes
  // the product's 64 KiB.
  std::size_t capacity() const noexcept {
    return capacity_byte >= 0xF0 ? client::kConnectionBufferSize : static_cast<std::size_t>(capacity_byte % 64) + 1;
  }
  std::error_code end_error() const noexcept {
    return ends_with_error() ? std::error_code(asio::error::connection_reset) : std::error_code();
  }
  // The error a receive reports when it needs bytes the stream no longer has
  // and the stream ended with an error rather than end of file.
  IoError stream_error() const { return client::io_error_from(end_error()); }
};

// One receive: its result and how far into the stream the reader had
// consumed when it returned.
struct Received {
  IoResult<std::string> result;
  std::size_t position = 0;
};

// What the model predicts for one receive.
struct Expected {
  IoResult<std::string> result;
  std::size_t position = 0;  // checked only for successful receives
};

inline std::string describe(const IoResult<std::string>& r) {
  if (r) return "message " + hex(*r);
  return "error kind " + std::to_string(static_cast<int>(r.error().kind)) + " \"" + r.error().text + "\"";
}

using Receive = std::function<asio::awaitable<IoResult<std::string>>(BufferedReader<MemStream>&)>;

// Receives until an error or kMaxReceives results, over `data` delivered as
// `in` says.
inline std::vector<Received> run_receives(const TransportInput& in, std::string_view data, const Receive& receive) {
  asio::io_context ctx;
  MemStream stream(ctx.get_executor(), data, in.chunk_seed, in.end_error());
  BufferedReader<MemStream> reader(stream, in.capacity());
  std::vector<Received> out;
  asio::co_spawn(
      ctx,
      [&]() -> asio::awaitable<void> {
        for (int k = 0; k < kMaxReceives; ++k) {
          IoResult<std::string> r = co_await receive(reader);
          const bool failed = !r.has_value();
          out.push_back(Received{std::move(r), stream.consumed() - reader.buffered().size()});
          if (failed) break;
        }
      },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  ctx.run();
  return out;
}

inline std::string describe_all(const std::vector<Received>& got, const std::vector<Expected>& want) {
  std::string out;
  for (const Received& g : got) out += "\n  got      " + describe(g.result);
  for (const Expected& w : want) out += "\n  expected " + describe(w.result);
  return out;
}

inline void compare(const std::vector<Received>& got, const std::vector<Expected>& want) {
  FUZZ_CHECK_MSG(got.size() == want.size(), std::to_string(got.size()) + " receives, expected " +
                                                std::to_string(want.size()) + describe_all(got, want));
  for (std::size_t k = 0; k < got.size(); ++k) {
    const auto& g = got[k].result;
    const auto& w = want[k].result;
    FUZZ_CHECK_MSG(g.has_value() == w.has_value() && (g ? *g == *w : g.error() == w.error()),
                   "receive " + std::to_string(k) + ": got " + describe(g) + "\n  expected " + describe(w));
    if (g && !g->empty()) {
      FUZZ_CHECK_MSG(got[k].position == want[k].position,
                     "receive " + std::to_string(k) + " consumed " + std::to_string(got[k].position) +
                         " bytes, expected " + std::to_string(want[k].position));
    }
  }
}

// Sends `messages` with the transport's framing through a BufferedWriter
// whose buffer and per-write room come from the input, and returns the
// bytes that reached the peer.
inline std::string send_all(const TransportInput& in, const std::vector<std::string>& messages,
                            std::uint8_t transport) {
  asio::io_context ctx;
  MemSink sink(ctx.get_executor(), in.chunk_seed);
  std::string sent;
  {
    BufferedWriter<MemSink> writer(sink, in.capacity());
    asio::co_spawn(
        ctx,
        [&]() -> asio::awaitable<void> {
          for (const std::string& m : messages) {
            const IoStatus r = co_await client::conn_send_frame(writer, m, transport);
            FUZZ_CHECK_MSG(r.has_value(), "send failed: " + r.error().text);
            FUZZ_CHECK_MSG(writer.pending() == 0, "bytes left in the writer after a flush");
          }
        },
        [](std::exception_ptr e) {
          if (e) std::rethrow_exception(e);
        });
    ctx.run();
  }
  return sink.data();
}

}  // namespace brovane::fuzz
