// The Python class ThriftServer: serves one Thrift service from registered
// Python callables.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"
#include "python/server/accept_loop.hpp"
#include "python/server/context.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/enums.hpp"
#include "python/types/service.hpp"

namespace brovane::python::server {

// The server's registered callables, one strong reference each. Touched only
// with the interpreter lock held.
class HandlerTable {
 public:
  HandlerTable() = default;
  HandlerTable(HandlerTable&& o) noexcept : map_(std::move(o.map_)) {}
  HandlerTable& operator=(HandlerTable&&) = delete;
  ~HandlerTable() { clear(); }

  const HandlerMap& map() const noexcept { return map_; }
  // Stores `handler` under `name`, releasing the callable it replaces.
  core::Status set(std::string_view name, core::Ref handler, bool is_async);
  // Drops every entry (the cycle collector's clear).
  void clear() noexcept;
  int traverse(visitproc visit, void* arg) const noexcept;

 private:
  HandlerMap map_;
};

struct ThriftServer {
  std::shared_ptr<const types::PyThriftService> service;  // the server's own copy; shared with running snapshots
  HandlerTable handlers;
  types::StructMap struct_map = types::empty_struct_map();
  ServeStateRef running = std::make_shared<std::atomic<ServeState>>(ServeState::Ended);  // the latest serve's
  std::shared_ptr<ShutdownNotify> shutdown = std::make_shared<ShutdownNotify>();
  std::uint64_t workers = 1;  // 0: `serve` decides
  types::TransportType transport = types::TransportType::Framed;
  types::ProtocolType protocol = types::ProtocolType::Binary;
};

struct ThriftServerObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  ThriftServer value;
  static constexpr core::TypeId kTypeId = core::TypeId::ThriftServer;
};

// The worker count that `serve` uses for the `workers` setting.
std::size_t effective_workers(std::uint64_t workers) noexcept;

}  // namespace brovane::python::server
