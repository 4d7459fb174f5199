#include "python/server/sigint.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

namespace brovane::python::server {

namespace {

// Written by an install while the handler is not installed, read by the
// handler: plain globals suffice, the sigaction call orders them.
struct sigaction g_previous;
int g_pipe_read = -1;
int g_pipe_write = -1;

std::atomic<std::uint64_t> g_count{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "used in a signal handler");

std::mutex g_install_mutex;
bool g_installed = false;

std::mutex g_waiters_mutex;
std::vector<int>* g_waiters = nullptr;  // never freed: loops may run during process exit

// Async-signal-safe: calls the previous handler, bumps an atomic counter and
// writes one byte to a non-blocking pipe, keeping errno as it was.
void on_sigint(int sig, siginfo_t* info, void* ucontext) {
  const int saved_errno = errno;
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) g_previous.sa_sigaction(sig, info, ucontext);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN && g_previous.sa_handler != nullptr) {
    g_previous.sa_handler(sig);
  }
  g_count.fetch_add(1, std::memory_order_seq_cst);
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_pipe_write, &byte, 1);  // a full pipe is awake already
  errno = saved_errno;
}

struct sigaction our_action() noexcept {
  struct sigaction sa {};
  sa.sa_sigaction = &on_sigint;
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  return sa;
}

}  // namespace

bool install_sigint_handler() noexcept {
  std::lock_guard lock(g_install_mutex);
  if (g_installed) {
    // Installed once for the process, but Python code may have replaced it
    // since (signal.signal, or asyncio.run putting its predecessor back);
    // then it goes back in, over the handler found now, which it calls
    // first from then on. Ours is not installed meanwhile, so nothing reads
    // the previous handler while it changes.
    struct sigaction current {};
    if (::sigaction(SIGINT, nullptr, &current) != 0) return true;
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == &on_sigint) return true;
    g_previous = current;
    const struct sigaction sa = our_action();
    return ::sigaction(SIGINT, &sa, nullptr) == 0;
  }
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  g_pipe_read = fds[0];
  g_pipe_write = fds[1];
  const struct sigaction sa = our_action();
  if (::sigaction(SIGINT, &sa, &g_previous) != 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    g_pipe_read = g_pipe_write = -1;
    return false;
  }
  g_installed = true;
  return true;
}

std::uint64_t sigint_count() noexcept { return g_count.load(std::memory_order_seq_cst); }

int sigint_fd() noexcept { return g_pipe_read; }

void drain_sigint_fd() noexcept {
  char buf[64];
  while (::read(g_pipe_read, buf, sizeof buf) > 0) {
  }
  std::lock_guard lock(g_waiters_mutex);
  if (g_waiters == nullptr) return;
  const std::uint64_t one = 1;
  for (int fd : *g_waiters) [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void register_sigint_waiter(int eventfd) noexcept {
  std::lock_guard lock(g_waiters_mutex);
  try {
    if (g_waiters == nullptr) g_waiters = new std::vector<int>();
    g_waiters->push_back(eventfd);
  } catch (...) {
    // Without room in the list this loop learns of a SIGINT only when it
    // drains the pipe itself, which it polls as well.
  }
}

void unregister_sigint_waiter(int eventfd) noexcept {
  std::lock_guard lock(g_waiters_mutex);
  if (g_waiters == nullptr) return;
  auto it = std::find(g_waiters->begin(), g_waiters->end(), eventfd);
  if (it != g_waiters->end()) g_waiters->erase(it);
}

}  // namespace brovane::python::server
