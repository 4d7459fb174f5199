// Catching the forced unwinding with which pthread_exit ends a thread.
#pragma once

#include <cxxabi.h>
#include <unistd.h>

namespace brovane::python::core {

// Inside a `catch (...)` clause: whether what is caught is the unwinding of
// pthread_exit, which carries no C++ object and so no type. (A clause for
// abi::__forced_unwind would bind a reference to that missing object.) Such
// an unwinding is rethrown or never left: a clause that ends without
// rethrowing it aborts the process.
inline bool catching_thread_exit() noexcept { return abi::__cxa_current_exception_type() == nullptr; }

// Keeps the calling thread waiting until the process ends: where a thread
// that pthread_exit is unwinding stops. Never returns, but is not declared
// [[noreturn]]: before a call to such a function AddressSanitizer unpoisons
// the stack through a local of its own, which after a forced unwinding lies
// among the abandoned frames' redzones, and reports that as an overflow.
inline void park_thread() noexcept {
  for (;;) ::pause();
}

}  // namespace brovane::python::core
