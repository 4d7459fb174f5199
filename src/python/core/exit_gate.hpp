// The one gate through which every thread takes the interpreter lock back,
// or takes it for the first time, while the program may be exiting.
//
// Once the interpreter has begun to finalize, it ends every other thread that
// waits for its lock there and then (pthread_exit). The unwinding cannot pass
// this module's noexcept frames and destructors and would terminate the
// process, so no thread of ours may be waiting for the lock, or be inside the
// module with it, when that begins. An atexit hook, which runs on the
// finalizing thread before the interpreter begins to finalize, closes the
// gate: with the lock let go, it lets runtimes that are shutting down finish
// (their threads need the lock for their last Python calls), closes the gate,
// and waits for the threads that passed it; both waits are bounded. A thread
// that comes later is refused, except the one that closed the gate.
#pragma once

#include "python/core/status.hpp"

namespace brovane::python::core {

// Registers the exit hook with the "atexit" module, once per process. Needs
// the interpreter lock. Called on first use (a client's construction, a
// server's serve), never at import.
Status install_exit_gate();

namespace exit_gate {

// Counts the calling thread as inside, unless the gate has closed. Any lock
// state; a thread may be counted more than once.
[[nodiscard]] bool enter() noexcept;
// Ends one count of enter().
void leave() noexcept;
// Whether the calling thread holds a count of enter().
bool inside() noexcept;
// Whether the calling thread is the one that closed the gate.
bool closed_by_this_thread() noexcept;
// Whether the gate is still open.
bool is_open() noexcept;

// A runtime shutting down: the exit hook waits for these before it closes
// the gate.
void runtime_shutdown_begins() noexcept;
void runtime_shutdown_ends() noexcept;

}  // namespace exit_gate

}  // namespace brovane::python::core
