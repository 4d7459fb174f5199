// In-memory Asio streams for the transport targets. MemStream hands out the
// bytes of a buffer in chunks whose sizes the fuzz input chooses, then ends
// the stream with end of file or with a chosen error; MemSink collects what
// is written, taking at most a chosen number of bytes per write.
// Completions are posted, as a socket's would be, never run inline.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <asio/any_io_executor.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>

namespace brovane::fuzz {

class MemStream {
 public:
  using executor_type = asio::any_io_executor;

  // `chunk_seed` 0 hands out as much as each read asks for; otherwise each
  // read gets 1 to `chunk_seed` bytes, from a fixed pseudo-random sequence.
  MemStream(executor_type ex, std::string_view data, std::uint8_t chunk_seed, std::error_code end)
      : ex_(std::move(ex)), data_(data), limit_(chunk_seed), state_(chunk_seed | 0x100u), end_(end) {}

  executor_type get_executor() const noexcept { return ex_; }
  std::size_t consumed() const noexcept { return pos_; }
  std::size_t reads() const noexcept { return reads_; }

  template <class Token>
  auto async_read_some(const asio::mutable_buffer& buf, Token&& token) {
    return asio::async_initiate<Token, void(std::error_code, std::size_t)>(
        [this](auto handler, asio::mutable_buffer b) {
          std::size_t n = std::min(b.size(), data_.size() - pos_);
          if (limit_ != 0) n = std::min(n, next_chunk());
          std::error_code ec;
          if (b.size() != 0 && n == 0) ec = end_ ? end_ : asio::error::eof;
          if (n != 0) std::memcpy(b.data(), data_.data() + pos_, n);
          pos_ += n;
          ++reads_;
          auto ex = asio::get_associated_executor(handler, ex_);
          asio::post(ex, [h = std::move(handler), ec, n]() mutable { std::move(h)(ec, n); });
        },
        token, buf);
  }

 private:
  std::size_t next_chunk() noexcept {
    // xorshift32
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return 1 + state_ % limit_;
  }

  executor_type ex_;
  std::string_view data_;
  std::size_t pos_ = 0;
  std::size_t reads_ = 0;
  std::uint32_t limit_;
  std::uint32_t state_;
  std::error_code end_;
};

class MemSink {
 public:
  using executor_type = asio::any_io_executor;

  // `max_write` 0 takes everything offered by each write.
  MemSink(executor_type ex, std::size_t max_write) : ex_(std::move(ex)), max_write_(max_write) {}

  executor_type get_executor() const noexcept { return ex_; }
  const std::string& data() const noexcept { return data_; }
  std::size_t writes() const noexcept { return writes_; }

  template <class ConstBufferSequence, class Token>
  auto async_write_some(const ConstBufferSequence& buffers, Token&& token) {
    return asio::async_initiate<Token, void(std::error_code, std::size_t)>(
        [this](auto handler, const ConstBufferSequence& bufs) {
          std::size_t n = 0;
          for (auto it = asio::buffer_sequence_begin(bufs); it != asio::buffer_sequence_end(bufs); ++it) {
            const asio::const_buffer b(*it);
            std::size_t k = b.size();
            if (max_write_ != 0) k = std::min(k, max_write_ - n);
            data_.append(static_cast<const char*>(b.data()), k);
            n += k;
            if (max_write_ != 0 && n == max_write_) break;
          }
          ++writes_;
          auto ex = asio::get_associated_executor(handler, ex_);
          asio::post(ex, [h = std::move(handler), n]() mutable { std::move(h)(std::error_code(), n); });
        },
        token, buffers);
  }

 private:
  executor_type ex_;
  std::size_t max_write_;
  std::string data_;
  std::size_t writes_ = 0;
};

}  // namespace brovane::fuzz
