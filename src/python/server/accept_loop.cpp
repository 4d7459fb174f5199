#include "python/server/accept_loop.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/ip/tcp.hpp>

#include "python/client/io_error_map.hpp"
#include "python/core/gil.hpp"
#include "python/server/accept_backoff.hpp"
#include "python/server/console.hpp"
#include "python/server/sigint.hpp"

namespace brovane::python::server {

using client::IoResult;
using protocol::IoError;
using protocol::IoErrorKind;

void ShutdownNotify::notify() noexcept {
  stops_.fetch_add(1, std::memory_order_seq_cst);
  std::lock_guard lock(mutex_);
  const std::uint64_t one = 1;
  for (int fd : waiters_) [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void ShutdownNotify::add_waiter(int fd) {
  std::lock_guard lock(mutex_);
  waiters_.push_back(fd);
}

void ShutdownNotify::remove_waiter(int fd) noexcept {
  std::lock_guard lock(mutex_);
  std::erase(waiters_, fd);
}

void ShutdownNotify::loop_started() noexcept {
  std::lock_guard lock(mutex_);
  ++listeners_;
}

void ShutdownNotify::listener_closed() noexcept {
  std::lock_guard lock(mutex_);
  if (--listeners_ == 0) listeners_cv_.notify_all();
}

void ShutdownNotify::wait_listeners_closed(std::chrono::milliseconds limit) noexcept {
  std::unique_lock lock(mutex_);
  listeners_cv_.wait_for(lock, limit, [&] { return listeners_ == 0; });
}

namespace {

constexpr int kBacklog = 128;

// How often the loop looks for a stop or a Ctrl+C when it cannot wait for
// them: without a wake-up descriptor of its own, or while poll itself fails.
constexpr int kLookAgainMs = 100;

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t len = 0;
};

// "{host}:{port}": an IPv4 literal or a bracketed IPv6 literal is used as it
// stands; any other host goes to the system's resolver.
IoResult<std::vector<SocketAddress>> resolve(const std::string& addr) {
  const std::size_t colon = addr.rfind(':');
  const std::string host = addr.substr(0, colon);
  std::uint16_t port = 0;
  const std::string_view port_text = std::string_view(addr).substr(colon + 1);
  std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);

  std::vector<SocketAddress> out;
  SocketAddress a;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a.storage);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    a.len = sizeof(sockaddr_in);
    out.push_back(a);
    return out;
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
    const std::string inner = host.substr(1, host.size() - 2);
    if (::inet_pton(AF_INET6, inner.c_str(), &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(port);
      a.len = sizeof(sockaddr_in6);
      out.push_back(a);
      return out;
    }
  }
  if (host.find('\0') != std::string::npos)
    return std::unexpected(IoError{IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"});

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return std::unexpected(client::io_error_from_errno(errno));
    return std::unexpected(client::io_error_from_gai(rc));
  }
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress r;
    std::memcpy(&r.storage, ai->ai_addr, ai->ai_addrlen);
    r.len = ai->ai_addrlen;
    if (r.storage.ss_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(&r.storage)->sin_port = htons(port);
    } else if (r.storage.ss_family == AF_INET6) {
      reinterpret_cast<sockaddr_in6*>(&r.storage)->sin6_port = htons(port);
    } else {
      continue;
    }
    out.push_back(r);
  }
  ::freeaddrinfo(list);
  return out;
}

// A non-blocking listening socket on the first address that binds and
// listens (address reuse on, backlog 128); else the last failure.
IoResult<int> bind_listener(const std::string& addr) {
  BRV_ASSIGN(std::vector<SocketAddress> addrs, resolve(addr));
  std::optional<IoError> last;
  for (const SocketAddress& a : addrs) {
    const int fd = ::socket(a.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      last = client::io_error_from_errno(errno);
      continue;
    }
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.len) != 0 || ::listen(fd, kBacklog) != 0) {
      last = client::io_error_from_errno(errno);
      ::close(fd);
      continue;
    }
    return fd;
  }
  if (last) return std::unexpected(std::move(*last));
  return std::unexpected(IoError{IoErrorKind::InvalidInput, "could not resolve to any address"});
}

// A small per-thread generator for the order in which ready wake-ups are
// taken; only fairness depends on it.
std::uint32_t next_random() noexcept {
  thread_local std::uint64_t state = [] {
    std::uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed)
      seed = reinterpret_cast<std::uintptr_t>(&seed) ^ static_cast<std::uint64_t>(::getpid());
    return seed | 1;
  }();
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return static_cast<std::uint32_t>(state >> 32);
}

// The end of a connection task: its error on standard error, unless the
// peer simply went away.
struct ConnectionDone {
  void operator()(std::exception_ptr e, std::expected<void, IoError> r) const noexcept {
    if (e) {
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        print_stderr_line(std::string("connection error: ") + x.what());
      } catch (...) {
        print_stderr_line("connection error: unknown failure");
      }
      return;
    }
    if (r) return;
    switch (r.error().kind) {
      case IoErrorKind::UnexpectedEof:
      case IoErrorKind::ConnectionReset:
      case IoErrorKind::BrokenPipe: return;
      default: break;
    }
    try {
      print_stderr_line("connection error: " + r.error().text);
    } catch (...) {
    }
  }
};

void spawn_connection(Runtime& runtime, const AcceptCtx& ctx, int fd, int family) {
  // The worker that serves the connection for its whole life.
  Runtime::Placement worker = runtime.place_connection(ctx.spread);
  asio::ip::tcp::socket socket(worker.io);
  std::error_code ec;
  socket.assign(family == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), fd, ec);
  if (ec) {
    ::close(fd);
    print_stderr_line("accept error: " + client::io_error_from(ec).text);
    return;
  }
  ConnectionContext cc{ctx.service,  ctx.handlers, ctx.struct_map,
                       ctx.transport, ctx.protocol, &runtime, std::move(worker.lease)};
  asio::co_spawn(worker.io, handle_connection(std::move(socket), std::move(cc)), ConnectionDone{});
}

enum class Accepted { Connection, Nothing, Failed };

// Takes one connection off the listener. Nothing ready (another wake-up
// raced us, or the peer gave up) is not an error.
Accepted accept_one(Runtime& runtime, const AcceptCtx& ctx, int listener) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return Accepted::Nothing;
    print_stderr_line("accept error: " + client::io_error_from_errno(err).text);
    return Accepted::Failed;
  }
  try {
    spawn_connection(runtime, ctx, fd, peer.ss_family);
  } catch (const std::exception& x) {
    // The socket, if made, closed the descriptor as it went.
    print_stderr_line(std::string("accept error: ") + x.what());
    return Accepted::Failed;
  }
  return Accepted::Connection;
}

void drain_eventfd(int fd) noexcept {
  std::uint64_t v;
  [[maybe_unused]] ssize_t n = ::read(fd, &v, sizeof v);
}

enum class Wake { Shutdown, Sigint, Accept };

void accept_loop(Runtime& runtime, AcceptCtx& ctx) {
  auto bound = bind_listener(ctx.addr);
  if (!bound) {
    print_stderr_line("bind error on " + ctx.addr + ": " + bound.error().text);
    ctx.running->store(ServeState::Ended, std::memory_order_seq_cst);
    return;
  }
  const int listener = *bound;

  // Our own wake-up: stop() and a SIGINT that another loop picked up write
  // to it. Without one (no descriptors left) the loop looks every
  // kLookAgainMs.
  const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake >= 0) {
    ctx.shutdown->add_waiter(wake);
    register_sigint_waiter(wake);
  }
  const bool sigint_ok = install_sigint_handler();
  const std::uint64_t sigint_base = sigint_count();

  // Running once Ctrl+C reaches the loop. A stop() made meanwhile has ended
  // the state already; the loop sees the stop at its first wait.
  ServeState starting = ServeState::Starting;
  ctx.running->compare_exchange_strong(starting, ServeState::Running, std::memory_order_seq_cst);

  // After a failed accept the listener is left out of the wait for a while.
  AcceptBackoff backoff;
  for (;;) {
    bool ready[3] = {ctx.shutdown->stops() != ctx.stops_seen, !sigint_ok || sigint_count() != sigint_base, false};
    const auto now = AcceptBackoff::Clock::now();
    const bool paused = backoff.paused(now);
    pollfd fds[3] = {{wake, POLLIN, 0}, {sigint_ok ? sigint_fd() : -1, POLLIN, 0}, {paused ? -1 : listener, POLLIN, 0}};
    const int timeout = backoff.poll_timeout((ready[0] || ready[1]) ? 0 : (wake < 0 ? kLookAgainMs : -1), now);
    const int n = ::poll(fds, 3, timeout);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;  // the next pass sees a Ctrl+C by its count
      print_stderr_line("accept error: " + client::io_error_from_errno(err).text);
      // Nothing can be waited for while poll fails (short of memory, say):
      // the loop looks again a while later, and meanwhile still sees a stop
      // or a Ctrl+C by their counts.
      std::this_thread::sleep_for(std::chrono::milliseconds(kLookAgainMs));
      for (pollfd& f : fds) f.revents = 0;
    }
    if (fds[0].revents & POLLIN) drain_eventfd(wake);
    if (fds[1].revents & POLLIN) drain_sigint_fd();
    ready[0] = ctx.shutdown->stops() != ctx.stops_seen;
    ready[1] = !sigint_ok || sigint_count() != sigint_base;
    ready[2] = (fds[2].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    if (!ready[0] && !ready[1] && !ready[2]) continue;

    // When several are ready, any may win.
    const unsigned start = next_random() % 3;
    Wake w = Wake::Accept;
    for (unsigned i = 0; i < 3; ++i) {
      const unsigned k = (start + i) % 3;
      if (ready[k]) {
        w = static_cast<Wake>(k);
        break;
      }
    }
    if (w == Wake::Shutdown) {
      print_stdout_line("shutdown requested");
      break;
    }
    if (w == Wake::Sigint) {
      print_stdout_line("received Ctrl+C, shutting down");
      break;
    }
    switch (accept_one(runtime, ctx, listener)) {
      case Accepted::Connection: backoff.succeeded(); break;
      case Accepted::Failed: backoff.failed(AcceptBackoff::Clock::now()); break;
      case Accepted::Nothing: break;
    }
  }

  ctx.running->store(ServeState::Ended, std::memory_order_seq_cst);
  ::close(listener);
  if (wake >= 0) {
    unregister_sigint_waiter(wake);
    ctx.shutdown->remove_waiter(wake);
    ::close(wake);
  }
}

struct ServeThreadArgs {
  std::unique_ptr<Runtime> runtime;
  AcceptCtx ctx;
};

void serve(ServeThreadArgs* p) {
  std::unique_ptr<ServeThreadArgs> args(p);
  accept_loop(*args->runtime, args->ctx);
  args->ctx.shutdown->listener_closed();
  { AcceptCtx done = std::move(args->ctx); }
  // Drops every task still alive and joins every runtime thread.
  args->runtime.reset();
}

void* serve_thread_main(void* p) {
  // The runtime's shutdown runs Python code (the loops' ends): a finalizing
  // interpreter may end this thread in there.
  core::park_if_ended([p] { serve(static_cast<ServeThreadArgs*>(p)); });
  return nullptr;
}

}  // namespace

bool start_serve_thread(std::unique_ptr<Runtime>& runtime, AcceptCtx& ctx) {
  // Started by hand so that a failure leaves the runtime and the context
  // with the caller, who must shut the runtime down without the
  // interpreter lock.
  auto args = std::make_unique<ServeThreadArgs>(ServeThreadArgs{std::move(runtime), std::move(ctx)});
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) {
    runtime = std::move(args->runtime);
    ctx = std::move(args->ctx);
    return false;
  }
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = ::pthread_create(&thread, &attr, &serve_thread_main, args.get());
  ::pthread_attr_destroy(&attr);
  if (rc != 0) {
    runtime = std::move(args->runtime);
    ctx = std::move(args->ctx);
    return false;
  }
  (void)args.release();  // the thread owns it now
  return true;
}

}  // namespace brovane::python::server
