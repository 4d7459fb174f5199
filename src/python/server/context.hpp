// What a running server hands each connection: the snapshot that `serve`
// took, immutable and shared by every connection task.
#pragma once

#include <Python.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include <asio.hpp>

#include "protocol/types.hpp"
#include "python/core/status.hpp"
#include "python/server/runtime.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/service.hpp"

namespace brovane::python::server {

// A registered Python callable. `handler` is a strong reference, owned by the
// map that holds the entry (see HandlerMap).
struct RegisteredHandler {
  PyObject* handler = nullptr;
  bool is_async = false;
};
// The handlers of a running server: immutable once made, and each entry owns
// one reference to its callable. Made by snapshot_handlers, whose deleter
// releases the references on whichever thread drops the last pointer (queued
// for the next entry into the module when that thread lacks the interpreter
// lock).
using HandlerMap = types::ast::NameMap<RegisteredHandler>;

// A copy of `handlers` (each name copied, one more reference to each
// callable, is_async kept), sharable across threads. Needs the interpreter
// lock.
core::Result<std::shared_ptr<const HandlerMap>> snapshot_handlers(const HandlerMap& handlers);

struct ConnectionContext {
  std::shared_ptr<const types::PyThriftService> service;
  std::shared_ptr<const HandlerMap> handlers;
  types::StructMap struct_map;
  std::uint8_t transport = 0;  // 0 Framed, 1 Buffered
  std::uint8_t protocol = 0;   // 0 Binary, 1 Compact, 2 JSON
  Runtime* runtime = nullptr;  // outlives every connection task
  WorkerLease lease;           // on the worker that serves the connection
};

// Serves one accepted connection until the peer ends it between messages
// (success) or an I/O or decoding error ends it (that error).
asio::awaitable<std::expected<void, protocol::IoError>> handle_connection(asio::ip::tcp::socket socket,
                                                                          ConnectionContext ctx);

}  // namespace brovane::python::server
