// Entering the interpreter from the server's native threads, through the
// exit gate (core/exit_gate.hpp), which serve installs. Once it has closed,
// entries are refused and the threads skip their Python work.
#pragma once

#include <Python.h>

namespace brovane::python::server {

// The interpreter lock for a scope. Test the guard: a refused entry holds
// nothing. Not noexcept anywhere, so a thread that loses the race with
// finalization regardless (a bounded wait ran out) unwinds instead of
// terminating the process.
class InterpreterEntry {
 public:
  InterpreterEntry();
  ~InterpreterEntry();
  InterpreterEntry(const InterpreterEntry&) = delete;
  InterpreterEntry& operator=(const InterpreterEntry&) = delete;

  explicit operator bool() const noexcept { return entered_; }

  // For a scope that keeps the lock for long but gives it up while it waits
  // (an event loop's run_forever): from here on it is a stay of the exit
  // gate, which the exit hook asks to end (the caller registers a way to
  // stop it with the stay breaker) rather than waiting for it.
  void stop_counting() noexcept;
  // Counts the scope again once the long part is over; false when the gate
  // has closed meanwhile (then do no more than release references: the
  // hook waits for the scope's end).
  [[nodiscard]] bool count_again() noexcept;

 private:
  PyGILState_STATE state_{};
  bool entered_ = false;
  bool counted_ = false;
  bool staying_ = false;
  // Between stop_counting and count_again: unwinding from there, the
  // interpreter has ended the thread while it waited for the lock, which it
  // no longer holds.
  bool in_long_part_ = false;
};

// A runtime shutting down, for the scope: the exit hook waits for it before
// it closes the gate.
class RuntimeShutdownScope {
 public:
  RuntimeShutdownScope() noexcept;
  ~RuntimeShutdownScope();
  RuntimeShutdownScope(const RuntimeShutdownScope&) = delete;
  RuntimeShutdownScope& operator=(const RuntimeShutdownScope&) = delete;
};

}  // namespace brovane::python::server
