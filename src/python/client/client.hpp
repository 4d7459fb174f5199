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
#include "python/client/connection.hpp"
#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/enums.hpp"
#include "python/types/service.hpp"

namespace brovane::python::client {

// The connection lock and what it guards: the connection and every exchange
// of messages on it. No thread waits for this lock while holding
// the interpreter lock, nor for the interpreter lock while holding this one.
struct ConnectionSlot {
  std::mutex mutex;
  std::unique_ptr<Connection> conn;  // absent while the client is closed
};

// Members are declared in reverse order of destruction: the service copy
// goes first, the connection after the map and the host.
struct ThriftClient {
  ThriftClient() = default;
  ThriftClient(ThriftClient&& o) noexcept
      : method_index(std::move(o.method_index)),
        slot(std::move(o.slot)),
        spare(std::move(o.spare)),
        port(o.port),
        transport(o.transport),
        protocol(o.protocol),
        next_seqid(o.next_seqid.load(std::memory_order_relaxed)),
        host(std::move(o.host)),
        struct_map(std::move(o.struct_map)),
        service(std::move(o.service)) {}

  parser::ast::NameMap<std::uint32_t> method_index;  // name to position in service.methods; the later wins
  std::unique_ptr<ConnectionSlot> slot;
  // The buffer of the last call's request and reply, empty and kept for the
  // next call. Taken and given back only under the interpreter lock; a call
  // that finds it taken (by a call in another thread, or further up its own
  // thread's stack) makes its own.
  std::string spare;
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

// The keyword arguments of one call: the interpreter's own arrays (a tuple
// of names, exact str none of which is "method_name", and their values), or
// a dict. Borrowed from the caller for the length of the call.
class CallArguments {
 public:
  CallArguments(PyObject* const* values, PyObject* names, bool names_interned) noexcept
      : values_(values), names_(names), names_interned_(names_interned) {}
  explicit CallArguments(PyObject* dict) noexcept : dict_(dict) {}

  // The value given for the argument `name` (an interned str), borrowed;
  // nullptr when there is none, also with a Python error set when the dict
  // look-up fails.
  PyObject* find(PyObject* name) const noexcept {
    if (dict_ != nullptr) return PyDict_GetItemWithError(dict_, name);
    if (names_ == nullptr) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(names_);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (PyTuple_GET_ITEM(names_, i) == name) return values_[i];
    // Two interned strings are equal only if they are the same object.
    if (names_interned_ && PyUnicode_CHECK_INTERNED(name)) return nullptr;
    return find_by_value(name);
  }

 private:
  PyObject* find_by_value(PyObject* name) const noexcept;

  PyObject* const* values_ = nullptr;
  PyObject* names_ = nullptr;
  bool names_interned_ = false;
  PyObject* dict_ = nullptr;
};

// ThriftClient.call(method_name, **kwargs). Runs under the caller's shared
// borrow of the client.
core::Result<core::Ref> call(ThriftClient& client, PyObject* method_name, const CallArguments& kwargs);

}  // namespace brovane::python::client
