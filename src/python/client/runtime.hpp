// The client's private runtime and its connection. The runtime is one
// io_context that has no thread of its own: the thread that holds the
// client's connection lock drives it (with the interpreter lock released)
// until its one operation is done. Every use of it happens under that lock, so
// no two threads ever run it at once. Connecting runs on a small io_context of
// its own, outside the lock, so that a slow connect never holds up calls on
// the current connection.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "python/client/buffered_io.hpp"
#include "python/client/io_error_map.hpp"

namespace brovane::python::client {

using Socket = asio::ip::tcp::socket;

// One connected TCP stream with its 64 KiB reader and writer. Members go in
// reverse order: the reader, then the writer (which shuts the sending
// direction down), then the socket, which closes it.
struct Connection {
  explicit Connection(Socket s) : socket(std::move(s)), writer(socket), reader(socket) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Socket socket;
  BufferedWriter<Socket> writer;
  BufferedReader<Socket> reader;
};

class ClientRuntime {
 public:
  // Fails with the system's error when the io_context cannot be made (no
  // file descriptors left, for instance).
  static IoResult<std::unique_ptr<ClientRuntime>> create();

  asio::io_context& context() noexcept { return ctx_; }

  // Runs `op` on the calling thread until it completes and returns its
  // result. The caller holds the connection lock. A C++ exception thrown
  // inside `op` (only std::bad_alloc can be) is rethrown here.
  template <class T>
  T block_on(asio::awaitable<T> op) {
    return run_to_completion(ctx_, std::move(op));
  }

  template <class T>
  static T run_to_completion(asio::io_context& ctx, asio::awaitable<T> op) {
    std::optional<T> out;
    std::exception_ptr failure;
    asio::co_spawn(ctx, std::move(op), [&](std::exception_ptr e, T v) {
      if (e)
        failure = std::move(e);
      else
        out.emplace(std::move(v));
    });
    ctx.restart();
    ctx.run();
    if (failure) std::rethrow_exception(failure);
    return std::move(*out);
  }

 private:
  ClientRuntime() : ctx_(1) {}

  asio::io_context ctx_;
};

// A connected TCP socket outside any io_context: the descriptor and its
// address family. Closed on destruction unless adopted.
class ConnectedSocket {
 public:
  ConnectedSocket() noexcept = default;
  ConnectedSocket(int fd, asio::ip::tcp protocol) noexcept : fd_(fd), protocol_(protocol) {}
  ConnectedSocket(ConnectedSocket&& o) noexcept : fd_(std::exchange(o.fd_, -1)), protocol_(o.protocol_) {}
  ConnectedSocket& operator=(ConnectedSocket&& o) noexcept {
    std::swap(fd_, o.fd_);
    protocol_ = o.protocol_;
    return *this;
  }
  ~ConnectedSocket();

  int native() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }
  asio::ip::tcp protocol() const noexcept { return protocol_; }

 private:
  int fd_ = -1;
  asio::ip::tcp protocol_ = asio::ip::tcp::v4();
};

// Connects to `host`:`port` with TCP_NODELAY set. The host is used as given:
// an IP literal (an IPv6 one with or without brackets) is taken without a
// lookup, anything else goes to the system's resolver, whose addresses are
// tried in its order; the first that accepts wins, else the last failure is
// the result. Blocks the calling thread: call it without the interpreter
// lock.
IoResult<ConnectedSocket> connect_tcp(const std::string& host, std::uint16_t port);

// Puts a connected socket onto the runtime's io_context, with its reader and
// writer. Call it under the connection lock (the runtime is touched only
// there).
IoResult<std::unique_ptr<Connection>> adopt_connection(ClientRuntime& runtime, ConnectedSocket socket);

}  // namespace brovane::python::client
