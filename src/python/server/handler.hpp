// Calling the registered Python callable of a request and turning what it
// does into the request's outcome: the finished bytes of a Reply, an
// awaitable still to run (coroutine functions), or a Python error. Also the
// server's reply encoders and the text every type 6 application exception
// made from a Python error carries.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "parser/ast.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/serde/native.hpp"
#include "python/server/interpreter_gate.hpp"
#include "python/server/context.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/enums.hpp"
#include "python/types/service.hpp"

namespace brovane::python::server {

// Application exception types that the server writes.
inline constexpr std::int32_t kUnknownMethod = 1;
inline constexpr std::int32_t kInternalError = 6;

// The interpreter lock on a runtime thread for the guard's scope, through
// the server's interpreter gate (refused once the interpreter is closing:
// test the guard). The thread keeps one Python thread state for its whole
// life, made on first entry and deleted as the thread ends, so an entry
// costs a lock hand-over and nothing else.
class [[nodiscard]] RuntimeThreadGil {
 public:
  RuntimeThreadGil();
  RuntimeThreadGil(const RuntimeThreadGil&) = delete;
  RuntimeThreadGil& operator=(const RuntimeThreadGil&) = delete;

  explicit operator bool() const noexcept { return static_cast<bool>(*entry_); }

 private:
  std::optional<InterpreterEntry> entry_;
};

// The successful result of a handler call.
struct CallOutcome {
  // One encoded Reply message without framing: a plain function's result, or
  // a matched declared exception of any handler.
  struct Reply {
    std::string bytes;
  };
  // What a coroutine function's call returned (its coroutine, normally).
  struct Awaitable {
    core::Ref object;
  };
  std::variant<Reply, Awaitable> v;
};

// What a handler call reads besides the request itself.
struct CallContext {
  const types::StructMap& struct_map;
  const HandlerMap& handlers;
  types::ProtocolType protocol;
};

// Calls the handler registered under `name` with one keyword argument per
// declared argument of `method` (the decoded value, or None when the request
// lacks it; declared defaults are not used). A plain function's result is
// encoded into a Reply; a coroutine function's result is handed back unrun.
// An exception raised by the call whose class name matches a declared
// exception becomes a Reply carrying it. `values` is taken apart. Needs the
// interpreter lock; the handler must be registered.
core::Result<CallOutcome> invoke_python_handler(const types::PyThriftMethod& method, const CallContext& ctx,
                                                std::string_view name, serde::NativeStructValue&& values,
                                                std::int32_t seqid);

// The Reply message of a result: header, field 0 by `return_type` (no field
// for void), end. Needs the interpreter lock.
core::Result<std::string> build_reply_body(const parser::ast::ThriftType& return_type, PyObject* result,
                                           const types::StructMap& struct_map, types::ProtocolType protocol,
                                           std::string_view name, std::int32_t seqid);

// The Exception message carrying an application exception (field 1 the
// message, field 2 the type). Needs no interpreter lock.
std::string build_exception_reply(types::ProtocolType protocol, std::string_view name, std::int32_t seqid,
                                  std::int32_t type, std::string_view message);

// The text of a Python error for an application exception: the qualified
// name of the exception's type, ": " and str() of the exception (lossily
// converted), or ": <exception str() failed>". The error is consumed (a
// pending exception is cleared). Needs the interpreter lock.
std::string python_error_display_text(const core::Error& error);
// The same for the pending exception.
std::string pending_error_display_text();
// The same for an exception object.
std::string exception_display_text(PyObject* exception);

}  // namespace brovane::python::server
