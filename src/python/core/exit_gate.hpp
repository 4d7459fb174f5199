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
// and waits for the threads that passed it; then it asks the stays (event
// loops, which hold the lock on and off for long) to end and waits for them
// to let the lock go for the last time. Every wait is bounded. A thread that
// comes later is refused, except the one that closed the gate.
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
// Turns one count of enter() into a stay: a long scope that gives the lock
// up while it waits (an event loop's run_forever). The hook does not wait
// for a stay to end by itself: it asks it to, through the stay breaker.
void stay() noexcept;
// Turns the stay back into a count of enter(); false, with the stay kept,
// when the gate has closed meanwhile (end the scope with no more than
// releasing references, then leave_stay()).
[[nodiscard]] bool end_stay() noexcept;
// Ends a stay that end_stay() kept, once the lock has been let go.
void leave_stay() noexcept;
// The function that the hook calls, with the lock, to ask every stay to end.
void set_stay_breaker(void (*fn)() noexcept) noexcept;

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
