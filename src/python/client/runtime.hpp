// The client's private runtime and its connection. The runtime is one
// io_context that has no thread of its own: the thread that holds the
// client's connection lock drives it (with the interpreter lock released)
// until its one operation is done. Every use of it happens under that lock, so
// no two threads ever run it at once. Connecting runs on a small io_context of
// its own (with a reactor: a connect may wait on several addresses), outside
// the lock, so that a slow connect never holds up calls on the current
// connection.
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

#include "python/client/blocking_socket.hpp"
#include "python/client/buffered_io.hpp"
#include "python/client/io_error_map.hpp"

namespace brovane::python::client {

class ConnectedSocket;

// One connected TCP stream with its 64 KiB reader and writer. Members go in
// reverse order: the reader, then the writer (which shuts the sending
// direction down), then the socket, which closes it.
struct Connection {
  // Takes the descriptor out of `connected` only once the connection's
  // memory is there, so that exactly one owner closes it whatever fails.
  Connection(asio::io_context& ctx, ConnectedSocket& connected);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  BlockingSocket socket;
  BufferedWriter<BlockingSocket> writer;
  BufferedReader<BlockingSocket> reader;
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
  // Only the holder of the connection lock ever uses the context, so its own
  // locking would be redundant.
  ClientRuntime() : ctx_(ASIO_CONCURRENCY_HINT_UNSAFE) {}

  asio::io_context ctx_;
};

// A connected TCP socket's descriptor, closed on destruction unless released.
class ConnectedSocket {
 public:
  ConnectedSocket() noexcept = default;
  explicit ConnectedSocket(int fd) noexcept : fd_(fd) {}
  ConnectedSocket(ConnectedSocket&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  ConnectedSocket& operator=(ConnectedSocket&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  ~ConnectedSocket();

  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// Connects to `host`:`port` with TCP_NODELAY set. The host is used as given:
// an IP literal (an IPv6 one with or without brackets) is taken without a
// lookup, anything else goes to the system's resolver, whose addresses are
// tried in its order; the first that accepts wins, else the last failure is
// the result. Blocks the calling thread: call it without the interpreter
// lock.
IoResult<ConnectedSocket> connect_tcp(const std::string& host, std::uint16_t port);

// The connection over a connected socket, driven by the runtime's
// io_context. Touches nothing shared: no lock needed.
IoResult<std::unique_ptr<Connection>> adopt_connection(ClientRuntime& runtime, ConnectedSocket socket);

}  // namespace brovane::python::client
