#include "python/client/client.hpp"

#include "python/core/args.hpp"
#include "python/core/extract.hpp"
#include "python/core/gil.hpp"
#include "python/core/thunks.hpp"
#include "python/parser.hpp"

namespace brovane::python::client {

namespace {

using core::Ref;
using core::Result;
using core::Status;

core::Signature kNew{"ThriftClient.__new__()", {"service", "host", "port", "transport", "protocol"}, 3};

// Arguments are taken in parameter order; the first bad one decides the error.
Result<Ref> client_new(PyTypeObject* type, const core::Args<5>& a) {
  ThriftClient c;
  BRV_ASSIGN(c.service, types::service_argument(a[0], "service"));
  BRV_ASSIGN(std::string_view host, core::arg_utf8(a[1], "host"));
  c.host.assign(host);
  BRV_ASSIGN(c.port, core::arg_int<std::uint16_t>(a[2], "port"));
  if (a.given(3)) {
    BRV_ASSIGN(c.transport, types::transport_type_of(a[3], "transport"));
  }
  if (a.given(4)) {
    BRV_ASSIGN(c.protocol, types::protocol_type_of(a[4], "protocol"));
  }

  for (std::size_t i = 0; i < c.service.methods.size(); ++i)
    c.method_index.insert_or_assign(c.service.methods[i].name, static_cast<std::uint32_t>(i));
  c.struct_map = types::empty_struct_map();
  c.slot = std::make_unique<ConnectionSlot>();
  return core::create<ThriftClientObject>(type, std::move(c));
}

// Runs `f(conn)` under the connection lock. The lock is taken without
// waiting while the interpreter lock is held; when it is busy (a call is
// exchanging messages), the interpreter lock is released first and taken
// back only after the connection lock is released, so that the call's peer
// may run Python code meanwhile (a server in this same process, say). `f`
// must not touch Python objects.
template <class F>
auto with_connection(ConnectionSlot& slot, F&& f) {
  std::unique_lock lock(slot.mutex, std::try_to_lock);
  if (lock.owns_lock()) return std::forward<F>(f)(slot.conn);
  core::GilRelease released;
  lock.lock();
  auto result = std::forward<F>(f)(slot.conn);
  lock.unlock();
  return result;
}

Result<Ref> client_open(ThriftClientObject& self) {
  ThriftClient& c = self.value;
  IoStatus opened;
  {
    core::GilRelease released;
    opened = [&]() -> IoStatus {
      IoResult<ConnectedSocket> socket = connect_tcp(c.host, c.port);
      if (!socket) return std::unexpected(std::move(socket).error());
      IoResult<std::unique_ptr<Connection>> conn = adopt_connection(std::move(*socket));
      if (!conn) return std::unexpected(std::move(conn).error());
      std::unique_lock lock(c.slot->mutex);
      std::unique_ptr<Connection> old = std::exchange(c.slot->conn, std::move(*conn));
      lock.unlock();
      return {};  // `old` (if any) is shut down and closed here
    }();
  }
  if (!opened) [[unlikely]]
    return core::os_error("connect to " + c.host + ":" + std::to_string(c.port) + ": " + opened.error().text);
  return core::none();
}

Result<Ref> client_close(ThriftClientObject& self) {
  with_connection(*self.value.slot, [](std::unique_ptr<Connection>& conn) {
    conn.reset();
    return true;
  });
  return core::none();
}

Result<Ref> client_is_open(ThriftClientObject& self) {
  const bool open = with_connection(*self.value.slot, [](std::unique_ptr<Connection>& conn) { return conn != nullptr; });
  return core::boolean(open);
}

core::Signature kSetParser{"ThriftClient.set_parser()", {"parser"}};

Result<Ref> client_set_parser(ThriftClientObject& self, const core::Args<1>& a) {
  BRV_ASSIGN(types::StructMap map, parser::struct_map_argument(a[0], "parser"));
  self.value.struct_map = std::move(map);
  return core::none();
}

Result<Ref> client_enter(ThriftClientObject& self) {
  BRV_CHECK(client_open(self));
  return Ref::borrow(core::as_py(self));
}

core::Signature kExit{"ThriftClient.__exit__()", {"_exc_type", "_exc_value", "_traceback"}};

Result<Ref> client_exit(ThriftClientObject& self, const core::Args<3>&) { return client_close(self); }

core::Signature kCall{"ThriftClient.call()", {"method_name"}, 1, core::VarKeywords::Collect};

Result<Ref> client_call(ThriftClientObject& self, const core::Args<1>& a) {
  return call(self.value, a[0], CallArguments(a.kwargs.get()));
}

// The one str that a keyword of call() may not be: it names the parameter.
bool is_method_name_keyword(PyObject* name) noexcept {
  static PyObject* const interned = [] {
    PyObject* s = types::intern_name("method_name");
    if (s == nullptr) PyErr_Clear();  // compared by value instead
    return s;
  }();
  if (name == interned) return true;
  if (interned != nullptr && PyUnicode_CHECK_INTERNED(interned) && PyUnicode_CHECK_INTERNED(name)) return false;
  return PyUnicode_CompareWithASCIIString(name, "method_name") == 0;
}

// The entry point of call(). An ordinary call (the method name by position,
// keywords that are exact str other than "method_name") goes to `call` with
// the interpreter's own keyword arrays: no dict is built for **kwargs. Any
// other form goes through the binding's argument parsing and its errors.
PyObject* call_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  bool interned = true;
  bool plain = PyVectorcall_NARGS(nargsf) == 1;
  if (plain && kwnames != nullptr) {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(kwnames); i < n; ++i) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, i);
      if (!PyUnicode_CheckExact(name) || is_method_name_keyword(name)) {
        plain = false;
        break;
      }
      interned = interned && PyUnicode_CHECK_INTERNED(name);
    }
  }
  if (!plain) [[unlikely]]
    return core::detail::method_thunk<&client_call, kCall, core::Access::Shared>(self, args, nargsf, kwnames);
  return core::run([&]() -> Result<Ref> {
    BRV_ASSIGN(ThriftClientObject * obj, core::as_self<ThriftClientObject>(self));
    BRV_ASSIGN(auto borrow, core::take_borrow<core::Access::Shared>(obj->borrow));
    return call(obj->value, args[0], CallArguments(args + 1, kwnames, interned));
  });
}

Result<Ref> get_transport(ThriftClientObject& self) { return types::transport_type_object(self.value.transport); }
Status set_transport(ThriftClientObject& self, types::TransportType t) {
  self.value.transport = t;
  return {};
}
Result<Ref> get_protocol(ThriftClientObject& self) { return types::protocol_type_object(self.value.protocol); }
Status set_protocol(ThriftClientObject& self, types::ProtocolType p) {
  self.value.protocol = p;
  return {};
}

core::Signature kOpen{"ThriftClient.open()"};
core::Signature kClose{"ThriftClient.close()"};
core::Signature kIsOpen{"ThriftClient.is_open()"};
core::Signature kEnter{"ThriftClient.__enter__()"};

PyMethodDef kMethods[] = {
    core::method<&client_open, kOpen>("open", "open($self)\n--\n\n"),
    core::method<&client_close, kClose>("close", "close($self)\n--\n\n"),
    core::method<&client_is_open, kIsOpen>("is_open", "is_open($self)\n--\n\n"),
    core::method<&client_set_parser, kSetParser, core::Access::Exclusive>("set_parser",
                                                                          "set_parser($self, parser)\n--\n\n"),
    core::method<&client_enter, kEnter>("__enter__", "__enter__($self)\n--\n\n"),
    core::method<&client_exit, kExit>("__exit__", "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"),
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_entry)), METH_FASTCALL | METH_KEYWORDS,
     "call($self, method_name, **kwargs)\n--\n\n"},
    {},
};

PyGetSetDef kGetSet[] = {
    core::property<&get_transport, &set_transport>("transport", ""),
    core::property<&get_protocol, &set_protocol>("protocol", ""),
    {},
};

constexpr char kDoc[] =
    "ThriftClient(service, host, port, transport=..., protocol=...)\n--\n\n"
    "An async Thrift Binary Protocol client backed by Tokio.";

const PyType_Slot kSlots[] = {core::constructor<&client_new, kNew>()};

}  // namespace

}  // namespace brovane::python::client

namespace brovane::python {

core::Result<core::Ref> make_thrift_client_type() {
  return core::make_type<client::ThriftClientObject>({
      .id = core::TypeId::ThriftClient,
      .doc = client::kDoc,
      .methods = client::kMethods,
      .getset = client::kGetSet,
      .slots = client::kSlots,
  });
}

}  // namespace brovane::python
