#include "python/server/server.hpp"

#include <chrono>
#include <string>
#include <utility>

#include "python/core/extract.hpp"
#include "python/core/gil.hpp"
#include "python/core/thunks.hpp"
#include "python/parser.hpp"
#include "python/server/console.hpp"
#include "python/server/cpu_count.hpp"
#include "python/server/runtime.hpp"

namespace brovane::python::server {

using core::Ref;
using core::Result;
using core::Status;

Status HandlerTable::set(std::string_view name, Ref handler, bool is_async) {
  auto [it, inserted] = map_.try_emplace(std::string(name));
  PyObject* old = std::exchange(it->second.handler, handler.release());
  it->second.is_async = is_async;
  Py_XDECREF(old);  // last: the old callable's finalizer may run Python code
  return {};
}

void HandlerTable::clear() noexcept {
  HandlerMap gone;
  gone.swap(map_);
  for (auto& [name, h] : gone) Py_CLEAR(h.handler);
}

int HandlerTable::traverse(visitproc visit, void* arg) const noexcept {
  for (const auto& [name, h] : map_) Py_VISIT(h.handler);
  return 0;
}

namespace {

// The snapshot's references go on whichever thread drops the last pointer:
// at once with the interpreter lock, else queued for the next entry.
struct HandlerSnapshotDeleter {
  void operator()(const HandlerMap* m) const noexcept {
    for (const auto& [name, h] : *m) core::DeferredRef::steal(h.handler).reset();
    delete m;
  }
};

}  // namespace

Result<std::shared_ptr<const HandlerMap>> snapshot_handlers(const HandlerMap& handlers) {
  auto copy = std::make_unique<HandlerMap>(handlers);  // the names and flags; references taken below
  for (auto& [name, h] : *copy) Py_INCREF(h.handler);
  return std::shared_ptr<const HandlerMap>(copy.release(), HandlerSnapshotDeleter{});
}

std::size_t effective_workers(std::uint64_t workers) noexcept {
  if (workers != 0) return static_cast<std::size_t>(workers);
  const std::size_t n = available_processors();
  return n >= 3 ? n : 2;
}

namespace {

// How long serve() waits for an earlier serve's accept loop, told to stop, to
// close its listener: it does so as soon as it sees the stop, so this bounds
// only a loop that is itself stuck binding (a slow name resolution).
constexpr std::chrono::milliseconds kEarlierListenerWait{10'000};

core::Signature kNew{"ThriftServer.__new__()", {"service", "transport", "workers", "protocol"}, 1};

// Arguments are taken in parameter order; the first bad one decides the error.
Result<Ref> server_new(PyTypeObject* type, const core::Args<4>& a) {
  ThriftServer s;
  BRV_ASSIGN(types::PyThriftService service, types::service_argument(a[0], "service"));
  s.service = std::make_shared<const types::PyThriftService>(std::move(service));
  if (a.given(1)) {
    BRV_ASSIGN(s.transport, types::transport_type_of(a[1], "transport"));
  }
  if (a.given(2)) {
    BRV_ASSIGN(s.workers, core::arg_int<std::uint64_t>(a[2], "workers"));
  }
  if (a.given(3)) {
    BRV_ASSIGN(s.protocol, types::protocol_type_of(a[3], "protocol"));
  }
  return core::create<ThriftServerObject>(type, std::move(s));
}

core::Signature kSetParser{"ThriftServer.set_parser()", {"parser"}};

Result<Ref> server_set_parser(ThriftServerObject& self, const core::Args<1>& a) {
  BRV_ASSIGN(types::StructMap map, parser::struct_map_argument(a[0], "parser"));
  self.value.struct_map = std::move(map);
  return core::none();
}

core::Signature kRegisterHandler{"ThriftServer.register_handler()", {"method_name", "handler"}};

Result<Ref> server_register_handler(ThriftServerObject& self, const core::Args<2>& a) {
  BRV_ASSIGN(PyObject * name_obj, core::arg_str(a[0], "method_name"));
  BRV_ASSIGN(std::string_view name, core::utf8(name_obj));
  PyObject* handler = a[1];
  BRV_ASSIGN(Ref inspect, core::checked(PyImport_ImportModule("inspect")));
  BRV_ASSIGN(Ref is_coro, core::checked(PyObject_CallMethod(inspect.get(), "iscoroutinefunction", "O", handler)));
  BRV_ASSIGN(bool is_async, core::to_bool(is_coro.get()));
  BRV_CHECK(self.value.handlers.set(name, Ref::borrow(handler), is_async));
  return core::none();
}

core::Signature kIsRunning{"ThriftServer.is_running()"};

Result<Ref> server_is_running(ThriftServerObject& self) {
  return core::boolean(self.value.running->load(std::memory_order_seq_cst) == ServeState::Running);
}

core::Signature kServe{"ThriftServer.serve()", {"host", "port"}};

Result<Ref> server_serve(ThriftServerObject& self, const core::Args<2>& a) {
  ThriftServer& s = self.value;
  BRV_ASSIGN(std::string_view host, core::arg_utf8(a[0], "host"));
  BRV_ASSIGN(std::uint16_t port, core::arg_int<std::uint16_t>(a[1], "port"));
  if (s.running->load(std::memory_order_seq_cst) != ServeState::Ended)
    return core::runtime_error("server already running");

  AcceptCtx ctx;
  ctx.addr.reserve(host.size() + 6);
  ctx.addr.append(host).append(":").append(std::to_string(port));
  ctx.service = s.service;
  BRV_ASSIGN(ctx.handlers, snapshot_handlers(s.handlers.map()));
  for (const auto& [name, h] : *ctx.handlers)
    if (h.is_async) ctx.spread = Runtime::Spread::FewLoops;
  ctx.struct_map = s.struct_map;
  ctx.transport = static_cast<std::uint8_t>(s.transport);
  ctx.protocol = static_cast<std::uint8_t>(s.protocol);
  const std::size_t workers = effective_workers(s.workers);

  // This serve is in progress from here on, before the interpreter lock is
  // let go: a serve from another thread meanwhile is refused, and a stop()
  // meanwhile ends this one as soon as its loop waits.
  const ServeStateRef state = std::make_shared<std::atomic<ServeState>>(ServeState::Starting);
  s.running = state;
  ctx.running = state;
  ctx.shutdown = s.shutdown;
  ctx.stops_seen = s.shutdown->stops();
  // Every way out before the serve thread has started ends this serve.
  struct EndUnlessStarted {
    const ServeStateRef& state;
    bool started = false;
    ~EndUnlessStarted() {
      if (!started) state->store(ServeState::Ended, std::memory_order_seq_cst);
    }
  } guard{state};

  // Without the interpreter lock: an earlier serve's loop, stopped, may still
  // hold the address; the runtime's threads start their asyncio loops, which
  // need the lock; and a failed build joins the threads it started.
  auto built = core::without_gil([&] {
    s.shutdown->wait_listeners_closed(kEarlierListenerWait);
    return Runtime::build(workers);
  });
  if (!built) return core::os_error("tokio runtime: " + built.error().text);
  std::unique_ptr<Runtime> runtime = std::move(*built);

  std::string line = "ThriftServer (";
  line += types::debug_name(s.transport);
  line += ", " + std::to_string(workers) + " workers) listening on " + ctx.addr;
  print_stdout_line(line);

  s.shutdown->loop_started();
  if (!start_serve_thread(runtime, ctx)) {
    s.shutdown->listener_closed();
    core::without_gil([&] { runtime.reset(); });
    return core::panic("failed to spawn thread");
  }
  guard.started = true;
  return core::none();
}

core::Signature kStop{"ThriftServer.stop()"};

Result<Ref> server_stop(ThriftServerObject& self) {
  self.value.running->store(ServeState::Ended, std::memory_order_seq_cst);
  self.value.shutdown->notify();
  return core::none();
}

Result<Ref> get_transport(ThriftServerObject& self) { return types::transport_type_object(self.value.transport); }
Status set_transport(ThriftServerObject& self, types::TransportType t) {
  self.value.transport = t;
  return {};
}
Result<Ref> get_protocol(ThriftServerObject& self) { return types::protocol_type_object(self.value.protocol); }
Status set_protocol(ThriftServerObject& self, types::ProtocolType p) {
  self.value.protocol = p;
  return {};
}
Result<Ref> get_workers(ThriftServerObject& self) {
  return core::checked(PyLong_FromUnsignedLongLong(self.value.workers));
}
Status set_workers(ThriftServerObject& self, std::uint64_t w) {
  self.value.workers = w;
  return {};
}

PyMethodDef kMethods[] = {
    core::method<&server_set_parser, kSetParser, core::Access::Exclusive>("set_parser",
                                                                          "set_parser($self, parser)\n--\n\n"),
    core::method<&server_register_handler, kRegisterHandler, core::Access::Exclusive>(
        "register_handler", "register_handler($self, method_name, handler)\n--\n\n"),
    core::method<&server_is_running, kIsRunning>("is_running", "is_running($self)\n--\n\n"),
    core::method<&server_serve, kServe>("serve", "serve($self, host, port)\n--\n\n"),
    core::method<&server_stop, kStop>("stop",
                                      "stop($self)\n--\n\n"
                                      "Stop the running server (if any). This will notify the accept loop to exit\n"
                                      "and clear the `running` flag."),
    {},
};

PyGetSetDef kGetSet[] = {
    core::property<&get_transport, &set_transport>("transport"),
    core::property<&get_protocol, &set_protocol>("protocol"),
    core::property<&get_workers, &set_workers>("workers"),
    {},
};

// The server takes part in cycle collection through its handlers: a bound
// method of an object that holds the server is a cycle. A running server's
// snapshot holds references of its own, outside the collector's view.
int server_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  return reinterpret_cast<ThriftServerObject*>(self)->value.handlers.traverse(visit, arg);
}

int server_clear(PyObject* self) noexcept {
  reinterpret_cast<ThriftServerObject*>(self)->value.handlers.clear();
  return 0;
}

void server_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  core::dealloc<ThriftServerObject>(self);
}

const PyType_Slot kSlots[] = {
    core::constructor<&server_new, kNew>(),
    {Py_tp_traverse, reinterpret_cast<void*>(&server_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&server_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&server_dealloc)},
};

}  // namespace

}  // namespace brovane::python::server

namespace brovane::python {

core::Result<core::Ref> make_thrift_server_type() {
  return core::make_type<server::ThriftServerObject>({
      .id = core::TypeId::ThriftServer,
      .doc = "ThriftServer(service, transport=..., workers=1, protocol=...)\n--\n\n",
      .methods = server::kMethods,
      .getset = server::kGetSet,
      .slots = server::kSlots,
      .gc = true,
  });
}

}  // namespace brovane::python
