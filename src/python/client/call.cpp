// ThriftClient.call: the request, the locked exchange and the reply.
//
// The request is encoded completely, holding the interpreter lock, before the
// connection lock is taken; the lock then covers exactly one send and, for a
// two-way method, the receipt of one reply, and is held only while the
// interpreter lock is released. Replies are matched to requests by order
// alone. One buffer carries the request out and the reply back in, and is
// kept by the client for the next call.
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "parser/ast.hpp"
#include "protocol/types.hpp"
#include "python/client/app_exception.hpp"
#include "python/client/client.hpp"
#include "python/client/transport.hpp"
#include "python/core/extract.hpp"
#include "python/core/gil.hpp"
#include "python/serde/codec.hpp"
#include "python/serde/read.hpp"
#include "python/serde/skip.hpp"
#include "python/serde/ttype.hpp"
#include "python/serde/write.hpp"

namespace brovane::python::client {

namespace {

namespace ast = parser::ast;
using core::Ref;
using core::Result;
using protocol::MessageType;
using protocol::ProtocolError;
using protocol::TType;
using types::PyThriftMethod;
using types::StructMapData;
using types::ThriftField;

constexpr std::size_t kRequestReserve = 256;
// A buffer that grew beyond this for a large message is not kept.
constexpr std::size_t kSpareLimit = kConnectionBufferSize;

template <class T>
inline constexpr bool kIsJson =
    std::is_same_v<T, protocol::JSONProtocolWriter> || std::is_same_v<T, protocol::JSONProtocolReader>;

// A reader or writer failure outside a value: OSError with its display text.
[[gnu::cold]] core::Unexpected protocol_error(const ProtocolError& e) { return core::os_error(e.display()); }

// The application exception struct's failures carry the I/O error's own
// text, without the "IO error: " prefix.
[[gnu::cold]] core::Unexpected bare_io_error(ProtocolError e) {
  return core::os_error(protocol::to_io_error(std::move(e)).text);
}

#define BRV_PROTO(expr)                                                \
  do {                                                                 \
    if (auto&& brv_proto_r_ = (expr); !brv_proto_r_) [[unlikely]]      \
      return protocol_error(brv_proto_r_.error());                     \
  } while (0)

// The message header, one field per declared argument present in `kwargs`
// (in declaration order, by declared type), and the end of the argument
// struct: a stop byte, or for JSON the close of the argument object and of
// the message together.
template <protocol::OutputProtocol W>
Result<std::string> encode_request(W& w, const PyThriftMethod& method, std::string_view name, MessageType type,
                                   std::int32_t seqid, const CallArguments& kwargs, const StructMapData& map) {
  BRV_PROTO(w.write_message_begin(protocol::MessageHeader{std::string(name), type, seqid}));
  if constexpr (kIsJson<W>) BRV_PROTO(w.write_struct_begin());
  for (const ThriftField& arg : method.arguments) {
    PyObject* found = kwargs.find(arg.py_name);
    if (found == nullptr) {
      if (PyErr_Occurred()) [[unlikely]]
        return core::py_error();
      continue;
    }
    // Writing may run Python code (__index__, __iter__, ...); keep the value alive.
    const Ref value = Ref::borrow(found);
    BRV_PROTO(w.write_field_begin(protocol::FieldHeader{serde::thrift_type_to_ttype(arg.field_type), arg.id}));
    BRV_CHECK(serde::write_value_with_structs(w, arg.field_type, value.get(), map));
    BRV_PROTO(w.write_field_end());
  }
  if constexpr (kIsJson<W>) {
    BRV_PROTO(w.write_message_end());
  } else {
    BRV_PROTO(w.write_field_stop());
  }
  return w.take();
}

// Calls `f(writer)` with a writer of the protocol that appends to `buffer`
// (empty, its room reused).
template <class F>
decltype(auto) with_request_writer(types::ProtocolType protocol, std::string buffer, F&& f) {
  switch (protocol) {
    case types::ProtocolType::Compact: {
      protocol::CompactProtocolWriter w(std::move(buffer), {0});
      return std::forward<F>(f)(w);
    }
    case types::ProtocolType::JSON: {
      protocol::JSONProtocolWriter w(std::move(buffer));
      return std::forward<F>(f)(w);
    }
    case types::ProtocolType::Binary:
    default: {
      protocol::BinaryProtocolWriter w(std::move(buffer));
      return std::forward<F>(f)(w);
    }
  }
}

// One request out and, unless `oneway`, one reply in, which goes into the
// request's buffer. Both complete on this thread, in place.
IoResult<std::string> exchange(Connection& conn, std::string request, std::uint8_t transport, std::uint8_t protocol,
                               bool oneway) {
  IoStatus sent = conn_send_frame(conn.writer, request, transport).get();
  if (!sent) return std::unexpected(std::move(sent).error());
  if (oneway) {
    request.clear();
    return request;
  }
  return conn_recv_frame(conn.reader, transport, protocol, std::move(request)).get();
}

// Fields 1 (message, a string) and 2 (type, an i32) up to the stop; every
// other field is skipped. Raises the exception it describes.
template <protocol::InputProtocol R>
Result<Ref> read_application_exception(R& r) {
  std::string message;
  std::int32_t type = 0;
  for (;;) {
    auto h = r.read_field_begin();
    if (!h) [[unlikely]]
      return bare_io_error(std::move(h).error());
    if (h->field_type == TType::Stop) break;
    if (h->id == 1 && h->field_type == TType::String) {
      auto s = r.read_string();
      if (!s) [[unlikely]]
        return bare_io_error(std::move(s).error());
      message = std::move(*s);
    } else if (h->id == 2 && h->field_type == TType::I32) {
      auto v = r.read_i32();
      if (v) {
        type = *v;
      } else if constexpr (!kIsJson<R>) {
        // A JSON reader with no value to give leaves the type as it was.
        return bare_io_error(std::move(v).error());
      }
    } else {
      if (auto s = serde::skip_value(r, h->field_type); !s) [[unlikely]]
        return core::os_error(std::move(s).error().text);
    }
    if (auto e = r.read_field_end(); !e) [[unlikely]]
      return bare_io_error(std::move(e).error());
  }
  return raise_application_exception(message, type);
}

// The text of repr(value), or empty when repr() raises.
std::string repr_text(PyObject* value) {
  Ref repr = Ref::steal(PyObject_Repr(value));
  if (!repr) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t n = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(repr.get(), &n)) return std::string(p, static_cast<std::size_t>(n));
  // Lone surrogates: no UTF-8 form of their own.
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(repr.get(), "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return {};
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// A reply field other than the result: a declared exception (decoded by its
// declared type; None when that fails), or an undeclared one (skipped).
template <protocol::InputProtocol R>
[[gnu::noinline]] Result<Ref> service_exception(R& r, const protocol::FieldHeader& h, const PyThriftMethod& method,
                                                const StructMapData& map) {
  const ThriftField* declared = nullptr;
  for (const ThriftField& e : method.exceptions) {
    if (e.id == h.id) {
      declared = &e;
      break;
    }
  }
  Ref value;
  std::string_view name = "unknown";
  if (declared != nullptr) {
    name = declared->name;
    Result<Ref> v = serde::read_value_with_structs(r, declared->field_type, map);
    if (v) {
      value = std::move(*v);
    } else {
      PyErr_Clear();
    }
  } else {
    if (auto s = serde::skip_value(r, h.field_type); !s) [[unlikely]]
      return core::os_error(std::move(s).error().text);
  }
  if (!value) value = core::none();
  std::string text = "Service exception '";
  text += name;
  text += "' (field ";
  text += std::to_string(h.id);
  text += "): ";
  ast::append_debug_str(text, repr_text(value.get()));
  return core::runtime_error(std::move(text));
}

// The reply's header, then its first field alone decides: no field is None,
// field 0 the result, any other a service exception. Name and sequence id
// are not compared with the request.
template <protocol::InputProtocol R>
Result<Ref> decode_reply(R& r, const PyThriftMethod& method, const StructMapData& map) {
  auto header = r.read_message_begin();
  if (!header) [[unlikely]]
    return protocol_error(header.error());
  if (header->message_type == MessageType::Exception) [[unlikely]]
    return read_application_exception(r);
  auto h = r.read_field_begin();
  if (!h) [[unlikely]]
    return protocol_error(h.error());
  if (h->field_type == TType::Stop) return core::none();
  if (h->id == 0) [[likely]]
    return serde::read_value_with_structs(r, method.return_type, map);
  return service_exception(r, *h, method, map);
}

[[gnu::cold]] core::Unexpected unknown_method(std::string_view name) {
  std::string text = "Unknown method: ";
  text += name;
  return core::value_error(std::move(text));
}

[[gnu::cold]] core::Unexpected not_open() {
  return core::os_error("ThriftClient is not open; call client.open() first");
}

[[gnu::cold]] core::Unexpected exchange_failed(const IoError& e) { return core::os_error("I/O error: " + e.text); }

#undef BRV_PROTO

}  // namespace

PyObject* CallArguments::find_by_value(PyObject* name) const noexcept {
  const Py_ssize_t n = PyTuple_GET_SIZE(names_);
  for (Py_ssize_t i = 0; i < n; ++i) {
    // Exact str on both sides: the comparison cannot fail.
    if (PyUnicode_Compare(PyTuple_GET_ITEM(names_, i), name) == 0) return values_[i];
  }
  return nullptr;
}

Result<Ref> call(ThriftClient& client, PyObject* method_name, const CallArguments& kwargs) {
  BRV_ASSIGN(std::string_view name, core::arg_utf8(method_name, "method_name"));
  const auto found = client.method_index.find(name);
  if (found == client.method_index.end()) [[unlikely]]
    return unknown_method(name);
  const PyThriftMethod& method = client.service.methods[found->second];

  const std::int32_t seqid = client.next_seqid.fetch_add(1, std::memory_order_relaxed);
  const MessageType type = method.oneway ? MessageType::Oneway : MessageType::Call;
  // Neither can change during the call: the setters need the exclusive
  // borrow, and the call holds a shared one.
  const types::ProtocolType protocol = client.protocol;
  const auto transport = static_cast<std::uint8_t>(client.transport);
  const StructMapData& map = *client.struct_map;

  std::string buffer = std::exchange(client.spare, std::string());
  buffer.reserve(kRequestReserve);
  BRV_ASSIGN(std::string request,
             with_request_writer(protocol, std::move(buffer), [&](auto& w) -> Result<std::string> {
               return encode_request(w, method, name, type, seqid, kwargs, map);
             }));

  bool open = true;
  IoResult<std::string> reply;
  {
    // The connection lock is taken only without the interpreter lock and
    // released before it is taken back.
    core::GilRelease released;
    std::lock_guard lock(client.slot->mutex);
    if (Connection* conn = client.slot->conn.get()) {
      reply = exchange(*conn, std::move(request), transport, static_cast<std::uint8_t>(protocol), method.oneway);
    } else {
      open = false;
    }
  }
  if (!open) [[unlikely]]
    return not_open();
  if (!reply) [[unlikely]]
    return exchange_failed(reply.error());
  Result<Ref> result = core::none();
  if (!method.oneway) {
    result = serde::with_reader(protocol, *reply, {0},
                                [&](auto& r) -> Result<Ref> { return decode_reply(r, method, map); });
  }
  if (reply->capacity() <= kSpareLimit) {
    reply->clear();
    client.spare = std::move(*reply);
  }
  return result;
}

}  // namespace brovane::python::client
