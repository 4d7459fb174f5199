// Framed receive, client and server side, over an in-memory stream split at
// fuzzer-chosen places. Each receive must give exactly the bytes that the
// 4-byte length announces (the empty frame for a length of zero or less, or
// for a stream that ends inside the length), or an orderly error; the reader
// must stop exactly at the end of the frame. The frames received are then
// sent again and must reach the peer framed as they came.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport_harness.hpp"

namespace {

using namespace brovane::fuzz;
using brovane::python::client::kTransportFramed;

std::int32_t load_be32(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  return static_cast<std::int32_t>((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                   (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]});
}

std::string be32(std::size_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
}

std::vector<Expected> model(const TransportInput& in, std::string_view data) {
  std::vector<Expected> want;
  std::size_t p = 0;
  for (int k = 0; k < kMaxReceives; ++k) {
    if (data.size() - p < 4) {
      p = data.size();
      if (in.ends_with_error()) {
        want.push_back({std::unexpected(in.stream_error()), p});
        break;
      }
      want.push_back({std::string(), p});
      continue;
    }
    const std::int32_t length = load_be32(data.substr(p, 4));
    p += 4;
    if (length <= 0) {
      want.push_back({std::string(), p});
      continue;
    }
    const auto n = static_cast<std::size_t>(length);
    if (data.size() - p < n) {
      want.push_back({std::unexpected(in.ends_with_error() ? in.stream_error()
                                                           : IoError{IoErrorKind::UnexpectedEof, "early eof"}),
                      data.size()});
      break;
    }
    want.push_back({std::string(data.substr(p, n)), p + n});
    p += n;
  }
  return want;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  TransportInput in;
  if (!TransportInput::parse(std::string_view(reinterpret_cast<const char*>(bytes), size), in)) return 0;
  // Framed ignores the protocol; pass each of them.
  const auto protocol = static_cast<std::uint8_t>(in.param % 3);
  const Receive receive = [&](BufferedReader<MemStream>& r) {
    return in.server() ? brovane::python::server::recv_request_frame_async(r, kTransportFramed, protocol)
                       : brovane::python::client::conn_recv_frame(r, kTransportFramed, protocol);
  };

  const std::vector<Received> got = run_receives(in, in.data, receive);
  compare(got, model(in, in.data));

  std::vector<std::string> messages;
  std::string framed;
  for (const Received& r : got) {
    if (!r.result || r.result->empty()) continue;
    messages.push_back(*r.result);
    framed += be32(r.result->size()) + *r.result;
  }
  if (messages.empty()) return 0;
  const std::string sent = send_all(in, messages, kTransportFramed);
  FUZZ_CHECK_MSG(sent == framed, "sent " + hex(sent) + "\n  expected " + hex(framed));
  const std::vector<Received> again = run_receives(in, sent, receive);
  FUZZ_CHECK(again.size() >= messages.size());
  for (std::size_t k = 0; k < messages.size(); ++k)
    FUZZ_CHECK_MSG(again[k].result && *again[k].result == messages[k], "re-received " + describe(again[k].result));
  return 0;
}
