// The process-wide SIGINT handler of running servers. Installed the first
// time an accept loop waits and kept for the life of the process (put back
// by the next accept loop should something replace it), it first
// calls the handler that was installed before it (unless that was the
// default or the ignore action), so the interpreter's own Ctrl+C handling
// still runs, then counts the signal and wakes the accept loops.
#pragma once

#include <cstdint>

namespace brovane::python::server {

// Installs the handler on first use, and again when another handler has
// replaced it since. False when it cannot be installed (an accept loop then
// treats Ctrl+C as already pressed).
bool install_sigint_handler() noexcept;

// The number of SIGINTs the handler has seen.
std::uint64_t sigint_count() noexcept;

// The descriptor that becomes readable when a SIGINT arrives (valid after a
// successful install). Whoever sees it readable calls drain_sigint_fd, which
// also wakes every registered loop, so each of them re-reads sigint_count.
int sigint_fd() noexcept;
void drain_sigint_fd() noexcept;

// An accept loop's own wake-up descriptor (an eventfd), registered while the
// loop runs.
void register_sigint_waiter(int eventfd) noexcept;
void unregister_sigint_waiter(int eventfd) noexcept;

}  // namespace brovane::python::server
