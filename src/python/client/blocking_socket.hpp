// The stream under a client connection: a connected TCP socket in blocking
// mode, read and written by plain system calls on the calling thread.
//
// A client's call blocks its thread until the reply is in anyway, so nothing
// is gained from an event loop: a two-way call costs one send and, for a
// reply that arrives in one piece, one receive, and no user-space machinery
// around them. The buffered reader and writer (buffered_io.hpp) see from
// `kBlocking` that reads and writes complete in place, and the transport
// algorithms then run as BlockingTasks (blocking_task.hpp).
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <utility>

#include "python/client/io_error_map.hpp"

namespace brovane::python::client {

class BlockingSocket {
 public:
  static constexpr bool kBlocking = true;

  // Takes ownership of `fd`, a connected stream socket, and puts it into
  // blocking mode.
  explicit BlockingSocket(int fd) noexcept : fd_(fd) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
  }
  BlockingSocket(const BlockingSocket&) = delete;
  BlockingSocket& operator=(const BlockingSocket&) = delete;
  ~BlockingSocket() {
    if (fd_ >= 0) ::close(fd_);
  }

  int native_handle() const noexcept { return fd_; }

  // Ends the sending direction; the peer sees the end of the stream.
  void shutdown_send() noexcept { ::shutdown(fd_, SHUT_WR); }

  // Reads what is there, waiting until at least one byte is. 0 when the peer
  // has ended the stream.
  IoResult<std::size_t> read_some(char* dst, std::size_t size) noexcept {
    if (size == 0) return std::size_t{0};
    for (;;) {
      const ssize_t r = ::recv(fd_, dst, size, 0);
      if (r >= 0) return static_cast<std::size_t>(r);
      // Interpreter signal handlers run once the call is back; the wait
      // goes on.
      if (errno == EINTR) continue;
      return std::unexpected(io_error_from_errno(errno));
    }
  }

  // Writes `head` then `body`, all of them, with gather sends (one, unless
  // the socket takes less at a time); never raises SIGPIPE.
  IoStatus write_all(std::string_view head, std::string_view body) noexcept {
    iovec iov[2];
    int count = 0;
    for (std::string_view part : {head, body}) {
      if (part.empty()) continue;
      iov[count].iov_base = const_cast<char*>(part.data());
      iov[count].iov_len = part.size();
      ++count;
    }
    iovec* next = iov;
    while (count > 0) {
      msghdr msg{};
      msg.msg_iov = next;
      msg.msg_iovlen = static_cast<std::size_t>(count);
      const ssize_t r = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
      if (r < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(io_error_from_errno(errno));
      }
      // Drop what went out; a part may have gone only in part.
      auto sent = static_cast<std::size_t>(r);
      while (count > 0 && sent >= next->iov_len) {
        sent -= next->iov_len;
        ++next;
        --count;
      }
      if (count > 0) {
        next->iov_base = static_cast<char*>(next->iov_base) + sent;
        next->iov_len -= sent;
      }
    }
    return {};
  }

 private:
  int fd_;
};

}  // namespace brovane::python::client
