#include "python/server/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

namespace brovane::python::server {

namespace {

void write_line(int fd, std::string_view text) noexcept {
  // Short lines are built on the stack; longer ones (a long error text) on
  // the heap, and with no memory left, in two writes rather than none.
  char small[512];
  std::unique_ptr<char[]> big;
  char* buf = small;
  const std::size_t n = text.size() + 1;
  if (n > sizeof small) {
    big.reset(new (std::nothrow) char[n]);
    if (!big) {
      while (::write(fd, text.data(), text.size()) < 0 && errno == EINTR) {
      }
      while (::write(fd, "\n", 1) < 0 && errno == EINTR) {
      }
      return;
    }
    buf = big.get();
  }
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\n';
  // One write carries the whole line; a pipe or terminal takes it whole. Only
  // a short write (a full non-blocking pipe, a signal) needs a second one.
  std::size_t off = 0;
  while (off < n) {
    const ssize_t w = ::write(fd, buf + off, n - off);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    off += static_cast<std::size_t>(w);
  }
}

}  // namespace

void print_stdout_line(std::string_view text) noexcept { write_line(STDOUT_FILENO, text); }
void print_stderr_line(std::string_view text) noexcept { write_line(STDERR_FILENO, text); }

}  // namespace brovane::python::server
