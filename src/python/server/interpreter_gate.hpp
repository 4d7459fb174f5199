// Entering the interpreter from the server's native threads. Once the
// interpreter is finalizing (or gone), entries are refused and the threads
// skip their Python work. A thread that finalization ends inside a scope is
// unwound to the nearest park (core::park_if_ended): every scope runs inside
// one, and the scope's destructors then leave the lock and the last
// references alone.
#pragma once

#include <Python.h>

namespace brovane::python::server {

// The interpreter lock for a scope. Test the guard: a refused entry holds
// nothing.
class InterpreterEntry {
 public:
  InterpreterEntry();
  ~InterpreterEntry();
  InterpreterEntry(const InterpreterEntry&) = delete;
  InterpreterEntry& operator=(const InterpreterEntry&) = delete;

  explicit operator bool() const noexcept { return entered_; }

 private:
  PyGILState_STATE state_{};
  bool entered_ = false;
};

}  // namespace brovane::python::server
