// The two halves of a connection: a buffered reader over the receiving side
// of a stream and a buffered writer over its sending side, 64 KiB each. Both
// are templates over the stream and keep a reference to it: the stream must
// outlive them. An Asio stream socket (the server's connections, tests) is
// read and written asynchronously; a stream with `kBlocking` (the client's
// BlockingSocket) completes every read and write in place, and its reader's
// and writer's operations hand back ReadyValues.
//
// An Asio socket put in non-blocking mode by its owner is written in place
// first, and waited on only when its send buffer is full: a write that went
// through the io_context would, even when done at once, resume the
// coroutine wherever the context sends it, often by waking another thread.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>
#include <tuple>
#include <type_traits>

#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/socket_base.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "python/client/blocking_task.hpp"
#include "python/client/io_error_map.hpp"

namespace brovane::python::client {

inline constexpr std::size_t kConnectionBufferSize = 64 * 1024;

template <class Stream>
concept BlockingStream = requires { requires Stream::kBlocking; };

// The coroutine type of the algorithms that run over a stream.
template <class Stream, class T>
using StreamTask = std::conditional_t<BlockingStream<Stream>, BlockingTask<T>, asio::awaitable<T>>;

// Completion token that hands back (error_code, result) instead of throwing.
inline constexpr asio::experimental::as_tuple_t<asio::use_awaitable_t<>> kAwaitTuple{};

// An Asio socket that can be written without blocking and waited on for
// room. It is written in place only while its owner has it in non-blocking
// mode.
template <class Stream>
concept InPlaceStream = requires(Stream& s, std::error_code& ec, std::array<asio::const_buffer, 3> cb) {
  { s.non_blocking() } -> std::convertible_to<bool>;
  { s.write_some(cb, ec) } -> std::convertible_to<std::size_t>;
  s.async_wait(Stream::wait_write, kAwaitTuple);
};

namespace detail {

// The write could not go on without waiting: wait for room and try again.
inline bool must_wait(const std::error_code& ec) noexcept {
  return ec == asio::error::would_block || ec == asio::error::try_again || ec == asio::error::interrupted;
}

template <std::size_t N>
void skip_sent(std::array<asio::const_buffer, N>& parts, std::size_t n) noexcept {
  for (asio::const_buffer& b : parts) {
    const std::size_t k = std::min(n, b.size());
    b += k;
    n -= k;
  }
}

template <std::size_t N>
std::size_t bytes_left(const std::array<asio::const_buffer, N>& parts) noexcept {
  std::size_t n = 0;
  for (const asio::const_buffer& b : parts) n += b.size();
  return n;
}

// Writes every byte of `parts` in place, waiting for room when the socket's
// send buffer is full.
template <class Stream, std::size_t N>
asio::awaitable<std::error_code> write_all_in_place(Stream& stream, std::array<asio::const_buffer, N> parts) {
  for (;;) {
    std::error_code ec;
    const std::size_t n = stream.write_some(parts, ec);
    if (ec && !must_wait(ec)) co_return ec;
    if (!ec) {
      skip_sent(parts, n);
      if (bytes_left(parts) == 0) co_return std::error_code{};
      continue;  // a partial write: the next one says whether there is room
    }
    auto [wec] = co_await stream.async_wait(Stream::wait_write, kAwaitTuple);
    if (wec) co_return wec;
  }
}

}  // namespace detail

// Bytes come from the stream in reads of up to the buffer's capacity; what a
// read brings beyond the current message stays in the buffer for the next.
// Callers scan `buffered()` synchronously, `consume` what they used, and
// `fill` only when it is empty, so per-byte work never suspends.
template <class Stream>
class BufferedReader {
 public:
  explicit BufferedReader(Stream& stream, std::size_t capacity = kConnectionBufferSize)
      : stream_(stream),
        buf_(std::make_unique_for_overwrite<char[]>(capacity)),
        capacity_(capacity) {}
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  Stream& stream() noexcept { return stream_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Bytes read from the stream and not consumed yet.
  std::string_view buffered() const noexcept { return {buf_.get() + pos_, end_ - pos_}; }
  void consume(std::size_t n) noexcept { pos_ += n; }

  // One read into the buffer, which must be empty. Yields the number of bytes
  // that arrived; 0 means the peer has ended the stream.
  ReadyValue<IoResult<std::size_t>> fill()
    requires BlockingStream<Stream>
  {
    pos_ = end_ = 0;
    IoResult<std::size_t> n = stream_.read_some(buf_.get(), capacity_);
    if (n) end_ = *n;
    return {std::move(n)};
  }
  asio::awaitable<IoResult<std::size_t>> fill()
    requires(!BlockingStream<Stream>)
  {
    pos_ = end_ = 0;
    auto [ec, n] = co_await stream_.async_read_some(asio::buffer(buf_.get(), capacity_), kAwaitTuple);
    if (ec && n == 0) {
      if (ec == asio::error::eof) co_return std::size_t{0};
      co_return std::unexpected(io_error_from(ec));
    }
    end_ = n;
    co_return n;
  }

  // One read of at most `size` bytes straight into `dst`, bypassing the
  // buffer, which must be empty: large bodies are not copied twice. 0 means
  // the peer has ended the stream.
  ReadyValue<IoResult<std::size_t>> read_direct(char* dst, std::size_t size)
    requires BlockingStream<Stream>
  {
    return {stream_.read_some(dst, size)};
  }
  asio::awaitable<IoResult<std::size_t>> read_direct(char* dst, std::size_t size)
    requires(!BlockingStream<Stream>)
  {
    auto [ec, n] = co_await stream_.async_read_some(asio::buffer(dst, size), kAwaitTuple);
    if (ec && n == 0) {
      if (ec == asio::error::eof) co_return std::size_t{0};
      co_return std::unexpected(io_error_from(ec));
    }
    co_return n;
  }

 private:
  Stream& stream_;
  std::unique_ptr<char[]> buf_;
  std::size_t capacity_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// Every message is written and flushed in one operation, so nothing waits in
// the buffer between messages. Destroying the writer shuts down the sending
// direction of the stream (the peer sees the end of the stream), as dropping
// the write half of a split socket does. Over a blocking stream a message
// always leaves in one gather write of its parts: the buffer is not needed
// and not made.
template <class Stream>
class BufferedWriter {
 public:
  explicit BufferedWriter(Stream& stream, std::size_t capacity = kConnectionBufferSize)
      : stream_(stream),
        buf_(BlockingStream<Stream> ? nullptr : std::make_unique_for_overwrite<char[]>(capacity)),
        capacity_(capacity) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  ~BufferedWriter() {
    if constexpr (BlockingStream<Stream>) {
      stream_.shutdown_send();
    } else if constexpr (requires(std::error_code& ec) {
                    stream_.is_open();
                    stream_.shutdown(asio::socket_base::shutdown_send, ec);
                  }) {
      std::error_code ignored;
      if (stream_.is_open()) stream_.shutdown(asio::socket_base::shutdown_send, ignored);
    }
  }

  Stream& stream() noexcept { return stream_; }
  std::size_t pending() const noexcept { return len_; }

  // Writes `head` then `body` and flushes. When both fit in the buffer they
  // are copied there and leave in one write; otherwise the buffered bytes,
  // `head` and `body` leave in one gather write without a copy. On failure
  // the unsent bytes are dropped: a stream that failed mid-message cannot be
  // resumed at a message boundary anyway.
  ReadyValue<IoStatus> write_and_flush(std::string_view head, std::string_view body)
    requires BlockingStream<Stream>
  {
    return {stream_.write_all(head, body)};
  }
  asio::awaitable<IoStatus> write_and_flush(std::string_view head, std::string_view body)
    requires(!BlockingStream<Stream>)
  {
    if (head.size() + body.size() <= capacity_ - len_) {
      append(head);
      append(body);
      auto r = co_await flush();
      co_return r;
    }
    const std::array<asio::const_buffer, 3> parts{asio::buffer(buf_.get(), len_),
                                                  asio::buffer(head.data(), head.size()),
                                                  asio::buffer(body.data(), body.size())};
    const std::error_code ec = co_await write_all(parts);
    len_ = 0;
    if (ec) co_return std::unexpected(io_error_from(ec));
    co_return IoStatus{};
  }

  // Sends whatever is buffered.
  asio::awaitable<IoStatus> flush()
    requires(!BlockingStream<Stream>)
  {
    if (len_ == 0) co_return IoStatus{};
    const std::error_code ec = co_await write_all(std::array<asio::const_buffer, 1>{asio::buffer(buf_.get(), len_)});
    len_ = 0;
    if (ec) co_return std::unexpected(io_error_from(ec));
    co_return IoStatus{};
  }

 private:
  template <std::size_t N>
  asio::awaitable<std::error_code> write_all(std::array<asio::const_buffer, N> parts)
    requires(!BlockingStream<Stream>)
  {
    if constexpr (InPlaceStream<Stream>) {
      if (stream_.non_blocking()) co_return co_await detail::write_all_in_place(stream_, parts);
    }
    auto [ec, n] = co_await asio::async_write(stream_, parts, kAwaitTuple);
    (void)n;
    co_return ec;
  }

  void append(std::string_view s) noexcept {
    if (!s.empty()) std::memcpy(buf_.get() + len_, s.data(), s.size());
    len_ += s.size();
  }

  Stream& stream_;
  std::unique_ptr<char[]> buf_;
  std::size_t capacity_;
  std::size_t len_ = 0;
};

}  // namespace brovane::python::client
