// The server's side of the Framed and Buffered transports. The algorithms are
// shared with the client (python/client/transport.hpp); the server's own
// wording for an unknown type byte is "... in buffered stream", and a peer
// that ends the stream inside a Buffered Binary message's first word has
// simply ended the connection (the empty frame).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "python/client/transport.hpp"

namespace brovane::python::server {

using client::BufferedReader;
using client::BufferedWriter;
using client::IoResult;
using client::IoStatus;

// Writes one reply with the transport's framing and flushes the writer.
template <class Stream>
asio::awaitable<IoStatus> send_response_async(BufferedWriter<Stream>& writer,
                                              std::string_view message, std::uint8_t transport) {
  return client::detail::send_message(writer, message, transport);
}

// Receives exactly one request message: the empty string when the peer has
// ended the connection between messages or sent a Framed length of 0 or less.
template <class Stream>
asio::awaitable<IoResult<std::string>> recv_request_frame_async(BufferedReader<Stream>& reader,
                                                                std::uint8_t transport,
                                                                std::uint8_t protocol) {
  return client::detail::recv_message<client::Side::Server>(reader, transport, protocol);
}

// Appends one Binary struct body, through its stop byte, to `out`.
template <class Stream>
asio::awaitable<IoStatus> read_buffered_struct_body_async(BufferedReader<Stream>& reader,
                                                          std::string& out) {
  return client::detail::read_struct_body<client::Side::Server>(reader, out);
}

// Appends one Binary value of the given wire type to `out`.
template <class Stream>
asio::awaitable<IoStatus> read_buffered_value_async(BufferedReader<Stream>& reader,
                                                    std::string& out, std::uint8_t wire_type) {
  return client::detail::read_value<client::Side::Server>(reader, out, wire_type);
}

}  // namespace brovane::python::server
