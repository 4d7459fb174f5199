#include "python/server/handler.hpp"

#include <array>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "protocol/types.hpp"
#include "python/core/gil.hpp"
#include "python/serde/codec.hpp"
#include "python/serde/convert.hpp"
#include "python/serde/ttype.hpp"
#include "python/serde/write.hpp"

namespace brovane::python::server {

namespace {

namespace ast = parser::ast;
using core::Ref;
using core::Result;
using protocol::MessageHeader;
using protocol::MessageType;
using protocol::TType;
using types::ProtocolType;
using types::PyThriftMethod;
using types::ThriftField;

constexpr std::size_t kResultReserve = 64;
constexpr std::size_t kDeclaredExceptionReserve = 128;
constexpr std::size_t kExceptionReserve = 64;

// Keyword arguments of up to this many declared arguments are passed from the
// stack.
constexpr std::size_t kStackArguments = 8;

template <class W>
inline constexpr bool kIsJson = std::is_same_v<W, protocol::JSONProtocolWriter>;

// A writer failure outside a value: OSError with its display text.
#define BRV_PROTO(expr)                                                \
  do {                                                                 \
    if (auto&& brv_proto_r_ = (expr); !brv_proto_r_) [[unlikely]]      \
      return core::os_error(brv_proto_r_.error().display());           \
  } while (0)

// The message header of a reply. A JSON body is one object: the struct
// frame that holds the fields is opened here and closed, together with the
// message, by write_message_end.
template <protocol::OutputProtocol W>
protocol::PStatus begin_reply(W& w, std::string_view name, MessageType type, std::int32_t seqid) {
  if (auto s = w.write_message_begin(MessageHeader{std::string(name), type, seqid}); !s) return s;
  if constexpr (kIsJson<W>) return w.write_struct_begin();
  return {};
}

template <protocol::OutputProtocol W>
protocol::PStatus end_reply(W& w) {
  if constexpr (kIsJson<W>) {
    return w.write_message_end();
  } else {
    return w.write_field_stop();
  }
}

bool is_void(const ast::ThriftType& t) noexcept {
  const auto* s = t.get_if<ast::ThriftType::Struct>();
  return s != nullptr && s->name == "void";
}

// Appends `s` as UTF-8, each ill-formed part (a lone surrogate's bytes)
// replaced by U+FFFD, as a lossy decoder of the surrogate-passing encoding
// does.
void append_lossy(std::string& out, PyObject* s) {
  Py_ssize_t n = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(s, &n)) [[likely]] {
    out.append(p, static_cast<std::size_t>(n));
    return;
  }
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return;
  }
  std::string_view rest(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  while (!rest.empty()) {
    const auto err = protocol::validate_utf8(rest);
    if (!err) {
      out.append(rest);
      break;
    }
    out.append(rest.substr(0, err->valid_up_to));
    out.append("\xEF\xBF\xBD");
    const std::size_t skip = err->error_len ? *err->error_len : rest.size() - err->valid_up_to;
    rest.remove_prefix(err->valid_up_to + skip);
  }
}

// The declared exception field that an exception class name selects: the
// first Struct-typed one whose name, or the part of it after its last ".",
// equals `class_name`.
const ThriftField* match_declared_exception(const PyThriftMethod& method, std::string_view class_name) {
  for (const ThriftField& f : method.exceptions) {
    const auto* s = f.field_type.get_if<ast::ThriftType::Struct>();
    if (s == nullptr) continue;
    std::string_view declared = s->name;
    if (declared == class_name) return &f;
    const std::size_t dot = declared.rfind('.');
    if (dot != std::string_view::npos && declared.substr(dot + 1) == class_name) return &f;
  }
  return nullptr;
}

// The dict a declared exception is written from: every field of its struct
// that the exception has as an attribute; a struct of one field that found
// none gets the exception's display text in it.
Result<Ref> declared_exception_fields(PyObject* exc, std::string_view struct_name, const types::StructMap& map) {
  BRV_ASSIGN(Ref d, core::checked(PyDict_New()));
  const auto it = map->find(struct_name);
  if (it == map->end()) return d;
  const types::FieldList& fields = it->second.fields;
  for (const ThriftField& f : fields) {
    const Ref held = Ref::steal(PyObject_GetAttr(exc, f.py_name));
    if (!held) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return core::py_error();
      PyErr_Clear();
      continue;
    }
    BRV_CHECK(core::checked_status(PyDict_SetItem(d.get(), f.py_name, held.get())));
  }
  if (PyDict_GET_SIZE(d.get()) == 0 && fields.size() == 1) {
    const std::string text = exception_display_text(exc);
    BRV_ASSIGN(Ref s, core::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                          "replace")));
    BRV_CHECK(core::checked_status(PyDict_SetItem(d.get(), fields[0].py_name, s.get())));
  }
  return d;
}

template <protocol::OutputProtocol W>
Result<std::string> encode_declared_exception(W& w, const ThriftField& f, PyObject* fields,
                                              const types::StructMap& map, std::string_view name,
                                              std::int32_t seqid) {
  BRV_PROTO(begin_reply(w, name, MessageType::Reply, seqid));
  BRV_PROTO(w.write_field_begin(protocol::FieldHeader{serde::thrift_type_to_ttype(f.field_type), f.id}));
  BRV_CHECK(serde::write_value_with_structs(w, f.field_type, fields, *map));
  BRV_PROTO(w.write_field_end());
  BRV_PROTO(end_reply(w));
  return w.take();
}

// The call raised the pending exception E: a Reply carrying it when its class
// name matches a declared exception, else E itself (left pending).
[[gnu::noinline]] Result<CallOutcome> map_raised_exception(const PyThriftMethod& method, const CallContext& ctx,
                                                           std::string_view name, std::int32_t seqid) {
  if (method.exceptions.empty()) return core::py_error();
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref class_name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
  if (!class_name) return core::py_error();
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(class_name.get(), &n);
  if (p == nullptr) return core::py_error();
  const ThriftField* f = match_declared_exception(method, std::string_view(p, static_cast<std::size_t>(n)));
  if (f == nullptr) {
    PyErr_SetRaisedException(exc.release());
    return core::py_error();
  }
  const std::string_view struct_name = f->field_type.get_if<ast::ThriftType::Struct>()->name;
  BRV_ASSIGN(Ref fields, declared_exception_fields(exc.get(), struct_name, ctx.struct_map));
  BRV_ASSIGN(std::string bytes,
             serde::with_writer(ctx.protocol, kDeclaredExceptionReserve, {0}, [&](auto& w) -> Result<std::string> {
               return encode_declared_exception(w, *f, fields.get(), ctx.struct_map, name, seqid);
             }));
  return CallOutcome{CallOutcome::Reply{std::move(bytes)}};
}

// Converts the present values (None for the absent ones) into `out`, one per
// declared argument. `move` takes values apart, which is right only when no
// two arguments share a slot.
core::Status convert_arguments(const PyThriftMethod& method, serde::NativeStructValue& values,
                               const types::StructMap& map, bool move, PyObject** out) {
  std::size_t i = 0;
  for (const ThriftField& arg : method.arguments) {
    PyObject* v = nullptr;
    if (arg.slot < values.values.size() && values.values[arg.slot]) {
      ast::ThriftValue& stored = *values.values[arg.slot];
      v = move ? serde::thrift_value_to_py(std::move(stored), map) : serde::thrift_value_to_py(stored, map);
      if (v == nullptr) [[unlikely]]
        return core::py_error();
    } else {
      v = Py_NewRef(Py_None);
    }
    out[i++] = v;
  }
  return {};
}

// Calls `handler` with the arguments as keywords. When every argument has a
// name of its own they go as a vectorcall with interned keyword names; a
// repeated name (the later value wins) goes through a dict. A handler that
// is still running when the interpreter finalizes leaves this thread parked
// inside the call.
Result<Ref> call_handler(PyObject* handler, const PyThriftMethod& method, serde::NativeStructValue& values,
                         const types::StructMap& map) {
  const std::size_t n = method.arguments.size();
  if (n == 0) return core::checked(core::park_if_ended([&] { return PyObject_CallNoArgs(handler); }));

  const bool distinct = method.argument_names && method.argument_names->slot_count() == n;
  std::array<PyObject*, kStackArguments> stack{};
  std::vector<PyObject*> heap;
  PyObject** argv = stack.data();
  if (n > kStackArguments) {
    heap.assign(n, nullptr);
    argv = heap.data();
  }
  struct Release {
    PyObject** argv;
    std::size_t n;
    ~Release() {
      for (std::size_t i = 0; i < n; ++i) Py_XDECREF(argv[i]);
    }
  } release{argv, n};
  BRV_CHECK(convert_arguments(method, values, map, distinct, argv));

  if (distinct) {
    BRV_ASSIGN(Ref kwnames, core::checked(PyTuple_New(static_cast<Py_ssize_t>(n))));
    for (std::size_t i = 0; i < n; ++i)
      PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), Py_NewRef(method.arguments[i].py_name));
    return core::checked(
        core::park_if_ended([&] { return PyObject_Vectorcall(handler, argv, 0, kwnames.get()); }));
  }
  BRV_ASSIGN(Ref kwargs, core::checked(PyDict_New()));
  for (std::size_t i = 0; i < n; ++i)
    BRV_CHECK(core::checked_status(PyDict_SetItem(kwargs.get(), method.arguments[i].py_name, argv[i])));
  return core::checked(core::park_if_ended([&] { return PyObject_VectorcallDict(handler, nullptr, 0, kwargs.get()); }));
}

template <protocol::OutputProtocol W>
Result<std::string> encode_result(W& w, const ast::ThriftType& return_type, PyObject* result,
                                  const types::StructMapData& map, std::string_view name, std::int32_t seqid) {
  BRV_PROTO(begin_reply(w, name, MessageType::Reply, seqid));
  if (!is_void(return_type)) {
    BRV_PROTO(w.write_field_begin(protocol::FieldHeader{serde::thrift_type_to_ttype(return_type), 0}));
    BRV_CHECK(serde::write_value_with_structs(w, return_type, result, map));
    BRV_PROTO(w.write_field_end());
  }
  BRV_PROTO(end_reply(w));
  return w.take();
}

template <protocol::OutputProtocol W>
protocol::PResult<std::string> encode_exception(W& w, std::string_view name, std::int32_t seqid, std::int32_t type,
                                                std::string_view message) {
  BRV_TRY_VOID(begin_reply(w, name, MessageType::Exception, seqid));
  BRV_TRY_VOID(w.write_field_begin(protocol::FieldHeader{TType::String, 1}));
  BRV_TRY_VOID(w.write_string(message));
  BRV_TRY_VOID(w.write_field_end());
  BRV_TRY_VOID(w.write_field_begin(protocol::FieldHeader{TType::I32, 2}));
  BRV_TRY_VOID(w.write_i32(type));
  BRV_TRY_VOID(w.write_field_end());
  BRV_TRY_VOID(end_reply(w));
  return w.take();
}

// A runtime thread's Python thread state, kept from its first entry to the
// thread's end: one PyGILState_Ensure left unmatched keeps the state alive
// between entries, which would otherwise make and delete one each time.
struct KeptThreadState {
  bool kept = false;
  ~KeptThreadState() {
    if (!kept) return;
    InterpreterEntry entry;
    // Refused: the process is going away, and the state with it.
    if (entry) PyGILState_Release(PyGILState_LOCKED);  // the kept count; the entry's release deletes the state
  }
};
thread_local KeptThreadState t_kept_thread_state;

}  // namespace

RuntimeThreadGil::RuntimeThreadGil() {
  if (!t_kept_thread_state.kept) [[unlikely]] {
    InterpreterEntry first;
    if (first) {
      PyGILState_Ensure();
      t_kept_thread_state.kept = true;
    }
  }
  entry_.emplace();
}

std::string exception_display_text(PyObject* exc) {
  std::string text;
  if (Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(exc)))) {
    append_lossy(text, qualname.get());
  } else {
    PyErr_Clear();
  }
  text += ": ";
  Ref str = Ref::steal(PyObject_Str(exc));
  if (!str) {
    PyErr_Clear();
    text += "<exception str() failed>";
    return text;
  }
  append_lossy(text, str.get());
  return text;
}

std::string pending_error_display_text() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return "SystemError: error return without exception set";
  return exception_display_text(exc.get());
}

std::string python_error_display_text(const core::Error& error) {
  if (error.kind != core::ErrorKind::PyErrSet) core::set_python_error(error);
  return pending_error_display_text();
}

Result<std::string> build_reply_body(const ast::ThriftType& return_type, PyObject* result,
                                     const types::StructMap& struct_map, ProtocolType protocol, std::string_view name,
                                     std::int32_t seqid) {
  return serde::with_writer(protocol, kResultReserve, {0}, [&](auto& w) -> Result<std::string> {
    return encode_result(w, return_type, result, *struct_map, name, seqid);
  });
}

std::string build_exception_reply(ProtocolType protocol, std::string_view name, std::int32_t seqid,
                                  std::int32_t type, std::string_view message) {
  auto r = serde::with_writer(protocol, kExceptionReserve + name.size() + message.size(), {0},
                              [&](auto& w) { return encode_exception(w, name, seqid, type, message); });
  // The writers fail only on misuse (a JSON end without a begin), which
  // encode_exception never does.
  return r ? std::move(*r) : std::string();
}

Result<CallOutcome> invoke_python_handler(const PyThriftMethod& method, const CallContext& ctx, std::string_view name,
                                          serde::NativeStructValue&& values, std::int32_t seqid) {
  const auto it = ctx.handlers.find(name);
  if (it == ctx.handlers.end()) [[unlikely]]
    return core::panic("handler checked above");
  const Ref handler = Ref::borrow(it->second.handler);
  const bool is_async = it->second.is_async;

  Result<Ref> result = call_handler(handler.get(), method, values, ctx.struct_map);
  if (!result) [[unlikely]] {
    if (result.error().kind != core::ErrorKind::PyErrSet) return std::unexpected(std::move(result).error());
    return map_raised_exception(method, ctx, name, seqid);
  }
  if (is_async) return CallOutcome{CallOutcome::Awaitable{std::move(*result)}};
  BRV_ASSIGN(std::string bytes, build_reply_body(method.return_type, result->get(), ctx.struct_map, ctx.protocol,
                                                 name, seqid));
  return CallOutcome{CallOutcome::Reply{std::move(bytes)}};
}

}  // namespace brovane::python::server
