// The stream under a client connection: a connected TCP socket in blocking
// mode, with the asynchronous interface the buffered reader and writer use.
//
// A client's call blocks its thread until the reply is in anyway, so each
// read or write is one blocking system call made by the thread that drives
// the client's io_context, and its completion is posted to that context.
// Compared with a reactor socket this saves, per exchange, the speculative
// read that finds nothing, the readiness wait and the reactor's wake-ups:
// a two-way call costs one send and, for a reply that arrives in one piece,
// one receive. The io_context never gets a reactor at all.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <system_error>
#include <utility>

#include <asio/async_result.hpp>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/socket_base.hpp>

namespace brovane::python::client {

class BlockingSocket {
 public:
  using executor_type = asio::io_context::executor_type;

  // Takes ownership of `fd`, a connected stream socket, and puts it into
  // blocking mode.
  BlockingSocket(asio::io_context& ctx, int fd) noexcept : executor_(ctx.get_executor()), fd_(fd) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
  }
  BlockingSocket(const BlockingSocket&) = delete;
  BlockingSocket& operator=(const BlockingSocket&) = delete;
  ~BlockingSocket() {
    if (fd_ >= 0) ::close(fd_);
  }

  executor_type get_executor() const noexcept { return executor_; }
  bool is_open() const noexcept { return fd_ >= 0; }
  int native_handle() const noexcept { return fd_; }

  void shutdown(asio::socket_base::shutdown_type what, std::error_code& ec) noexcept {
    ec.clear();
    if (::shutdown(fd_, static_cast<int>(what)) != 0) ec = last_error();
  }

  // Reads what is there, waiting until at least one byte is: the first
  // buffer of the sequence only. 0 bytes with asio::error::eof when the
  // peer has ended the stream.
  template <class MutableBufferSequence, class Token>
  auto async_read_some(const MutableBufferSequence& buffers, Token&& token) {
    const asio::mutable_buffer b = *asio::buffer_sequence_begin(buffers);
    return asio::async_initiate<Token, void(std::error_code, std::size_t)>(
        [this, b](auto handler) {
          std::error_code ec;
          const std::size_t n = receive(b, ec);
          complete(std::move(handler), ec, n);
        },
        token);
  }

  // Writes the buffers with one gather send, repeated only if a signal cuts
  // it short; never raises SIGPIPE.
  template <class ConstBufferSequence, class Token>
  auto async_write_some(const ConstBufferSequence& buffers, Token&& token) {
    Gather g;
    for (auto it = asio::buffer_sequence_begin(buffers), end = asio::buffer_sequence_end(buffers);
         it != end && g.count < kMaxGather; ++it) {
      const asio::const_buffer b(*it);
      if (b.size() == 0) continue;
      g.iov[g.count].iov_base = const_cast<void*>(b.data());
      g.iov[g.count].iov_len = b.size();
      ++g.count;
    }
    return asio::async_initiate<Token, void(std::error_code, std::size_t)>(
        [this, g](auto handler) {
          std::error_code ec;
          const std::size_t n = send(g, ec);
          complete(std::move(handler), ec, n);
        },
        token);
  }

 private:
  static constexpr int kMaxGather = 8;
  struct Gather {
    iovec iov[kMaxGather];
    int count = 0;
  };

  static std::error_code last_error() noexcept { return std::error_code(errno, asio::error::get_system_category()); }

  // Completions are posted, not called in place: a coroutine resumed from
  // inside its own initiation would nest one stack frame deeper per read.
  template <class Handler>
  void complete(Handler&& handler, std::error_code ec, std::size_t n) {
    asio::post(executor_, [h = std::forward<Handler>(handler), ec, n]() mutable { std::move(h)(ec, n); });
  }

  std::size_t receive(asio::mutable_buffer b, std::error_code& ec) noexcept {
    if (b.size() == 0) return 0;
    for (;;) {
      const ssize_t r = ::recv(fd_, b.data(), b.size(), 0);
      if (r > 0) return static_cast<std::size_t>(r);
      if (r == 0) {
        ec = asio::error::eof;
        return 0;
      }
      // Interpreter signal handlers run once the call is back; the wait
      // goes on.
      if (errno == EINTR) continue;
      ec = last_error();
      return 0;
    }
  }

  std::size_t send(Gather g, std::error_code& ec) noexcept {
    if (g.count == 0) return 0;
    msghdr msg{};
    msg.msg_iov = g.iov;
    msg.msg_iovlen = static_cast<std::size_t>(g.count);
    for (;;) {
      const ssize_t r = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
      if (r >= 0) return static_cast<std::size_t>(r);
      if (errno == EINTR) continue;
      ec = last_error();
      return 0;
    }
  }

  executor_type executor_;
  int fd_;
};

}  // namespace brovane::python::client
