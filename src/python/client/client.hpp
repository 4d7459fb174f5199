// The Python class ThriftClient: one TCP connection to one Thrift service.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "parser/ast.hpp"
#include "python/client/runtime.hpp"
#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/enums.hpp"
#include "python/types/service.hpp"

namespace brovane::python::client {

// The connection lock and what it guards: the connection, and every use of
// the runtime that drives it. No thread waits for this lock while holding
// the interpreter lock, nor for the interpreter lock while holding this one.
struct ConnectionSlot {
  std::mutex mutex;
  std::unique_ptr<Connection> conn;  // absent while the client is closed
};

// Members are declared in reverse order of destruction: the service copy
// goes first and the runtime last, after the connection it drives.
struct ThriftClient {
  ThriftClient() = default;
  ThriftClient(ThriftClient&& o) noexcept
      : runtime(std::move(o.runtime)),
        method_index(std::move(o.method_index)),
        slot(std::move(o.slot)),
        port(o.port),
        transport(o.transport),
        protocol(o.protocol),
        next_seqid(o.next_seqid.load(std::memory_order_relaxed)),
        host(std::move(o.host)),
        struct_map(std::move(o.struct_map)),
        service(std::move(o.service)) {}

  std::unique_ptr<ClientRuntime> runtime;
  parser::ast::NameMap<std::uint32_t> method_index;  // name to position in service.methods; the later wins
  std::unique_ptr<ConnectionSlot> slot;
  std::uint16_t port = 0;
  // Changed only under the client's exclusive borrow, so a call (which holds
  // a shared one) reads them once at its start and sees no change.
  types::TransportType transport = types::TransportType::Framed;
  types::ProtocolType protocol = types::ProtocolType::Binary;
  std::atomic<std::int32_t> next_seqid{0};  // wraps from 2^31-1 to -2^31
  std::string host;
  types::StructMap struct_map;  // the empty map until set_parser
  types::PyThriftService service;  // the client's own copy, never changed
};

struct ThriftClientObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  ThriftClient value;
  static constexpr core::TypeId kTypeId = core::TypeId::ThriftClient;
};

// ThriftClient.call(method_name, **kwargs): `kwargs` may be nullptr (no
// keyword arguments). Runs under the caller's shared borrow of the client.
core::Result<core::Ref> call(ThriftClient& client, PyObject* method_name, PyObject* kwargs);

}  // namespace brovane::python::client
