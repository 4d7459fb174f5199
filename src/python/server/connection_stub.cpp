// TEMPORARY: stands in for the real connection handling until
// connection.cpp lands (a weak definition, so the real one wins at link
// time). Delete this file then.
#include "python/server/context.hpp"

namespace brovane::python::server {

[[gnu::weak]] asio::awaitable<std::expected<void, protocol::IoError>> handle_connection(asio::ip::tcp::socket socket,
                                                                                        ConnectionContext) {
  std::error_code ec;
  socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket.close(ec);
  co_return std::expected<void, protocol::IoError>{};
}

}  // namespace brovane::python::server
