// The client's connection and how it is made. A call drives its connection
// on the calling thread with blocking system calls (blocking_socket.hpp),
// holding the client's connection lock and not the interpreter lock; nothing
// runs in the background and no event loop is involved. Connecting runs on a
// small io_context of its own (with a reactor: a connect may wait on several
// addresses), outside the connection lock, so that a slow connect never holds
// up calls on the current connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "python/client/blocking_socket.hpp"
#include "python/client/buffered_io.hpp"
#include "python/client/io_error_map.hpp"

namespace brovane::python::client {

class ConnectedSocket;

// One connected TCP stream with its 64 KiB reader and its writer. Members go
// in reverse order: the reader, then the writer (which shuts the sending
// direction down), then the socket, which closes it.
struct Connection {
  // Takes the descriptor out of `connected` only once the connection's
  // memory is there, so that exactly one owner closes it whatever fails.
  explicit Connection(ConnectedSocket& connected);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  BlockingSocket socket;
  BufferedWriter<BlockingSocket> writer;
  BufferedReader<BlockingSocket> reader;
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

// The connection over a connected socket. Touches nothing shared: no lock
// needed.
IoResult<std::unique_ptr<Connection>> adopt_connection(ConnectedSocket socket);

}  // namespace brovane::python::client
