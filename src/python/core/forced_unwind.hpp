// Catching the forced unwinding with which pthread_exit ends a thread.
#pragma once

#include <cxxabi.h>
#include <unistd.h>

// For a function with a `catch (abi::__forced_unwind&)` clause. The
// unwinding carries no C++ object, so the clause binds its reference to
// null, which UndefinedBehaviorSanitizer would report; the function must not
// be inlined for its exemption to hold. (Only the sanitizer build pays for
// the call.)
#if defined(__SANITIZE_ADDRESS__)
#define BRV_CATCHES_THREAD_EXIT __attribute__((no_sanitize("null"), noinline))
#else
#define BRV_CATCHES_THREAD_EXIT
#endif

namespace brovane::python::core {

// Keeps the calling thread waiting until the process ends: where a thread
// that pthread_exit is unwinding stops. Never returns, but is not declared
// [[noreturn]]: before a call to such a function AddressSanitizer unpoisons
// the stack through a local of its own, which after a forced unwinding lies
// among the abandoned frames' redzones, and reports that as an overflow.
inline void park_thread() noexcept {
  for (;;) ::pause();
}

}  // namespace brovane::python::core
