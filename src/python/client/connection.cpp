#include "python/client/connection.hpp"

#include <unistd.h>

#include <optional>
#include <system_error>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>

namespace brovane::python::client {

namespace {

using asio::ip::tcp;

// An IP literal, IPv6 ones also in brackets ("[::1]"); nothing is looked up.
std::optional<asio::ip::address> literal_address(const std::string& host) {
  std::error_code ec;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    const asio::ip::address_v6 a = asio::ip::make_address_v6(host.substr(1, host.size() - 2), ec);
    if (ec) return std::nullopt;
    return asio::ip::address(a);
  }
  const asio::ip::address a = asio::ip::make_address(host, ec);
  if (ec) return std::nullopt;
  return a;
}

[[gnu::cold]] IoError no_address_error() {
  return IoError{IoErrorKind::InvalidInput, "could not resolve to any address"};
}

IoResult<ConnectedSocket> connect_on(asio::io_context& ctx, const std::string& host, std::uint16_t port) {
  tcp::socket socket(ctx);
  std::error_code result = asio::error::would_block;
  if (std::optional<asio::ip::address> literal = literal_address(host)) {
    socket.async_connect(tcp::endpoint(*literal, port), [&](std::error_code ec) { result = ec; });
  } else {
    // Resolution runs here, on the calling thread, which is blocked in any
    // case; no other thread waits for it.
    tcp::resolver resolver(ctx);
    std::error_code ec;
    tcp::resolver::results_type endpoints =
        resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
    if (ec) return std::unexpected(io_error_from(ec));
    if (endpoints.empty()) return std::unexpected(no_address_error());
    asio::async_connect(socket, endpoints, [&](std::error_code ec2, const tcp::endpoint&) { result = ec2; });
  }
  ctx.run();
  if (result) return std::unexpected(io_error_from(result));

  std::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);  // a failure only costs latency
  std::error_code ec;
  const int fd = socket.release(ec);
  if (ec) return std::unexpected(io_error_from(ec));
  return ConnectedSocket(fd);
}

}  // namespace

ConnectedSocket::~ConnectedSocket() {
  if (fd_ >= 0) ::close(fd_);
}

IoResult<ConnectedSocket> connect_tcp(const std::string& host, std::uint16_t port) {
  try {
    asio::io_context ctx(1);
    return connect_on(ctx, host, port);
  } catch (const std::system_error& e) {
    return std::unexpected(io_error_from(e.code()));
  }
}

Connection::Connection(ConnectedSocket& connected) : socket(connected.release()), writer(socket), reader(socket) {}

IoResult<std::unique_ptr<Connection>> adopt_connection(ConnectedSocket socket) {
  return std::make_unique<Connection>(socket);
}

}  // namespace brovane::python::client
