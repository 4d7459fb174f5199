// The fourteen classes of the module: one list gives their ids, their Python
// names, the hook that builds each type object, and the order in which the
// module publishes them (which is the order of `__all__`).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "python/core/ref.hpp"
#include "python/core/status.hpp"

// X(PythonName, hook): `hook` is a function `core::Result<core::Ref> hook()`
// in namespace brovane::python, defined beside the class, that builds the
// type object (class attributes included). Order = registration order.
#define BROVANE_CLASSES(X)                                              \
  X(ThriftParser, make_thrift_parser_type)                              \
  X(BinaryProtocol, make_binary_protocol_type)                          \
  X(ThriftStruct, make_thrift_struct_type)                              \
  X(ThriftField, make_thrift_field_type)                                \
  X(ThriftStructInstance, make_thrift_struct_instance_type)             \
  X(PyThriftService, make_py_thrift_service_type)                       \
  X(PyThriftMethod, make_py_thrift_method_type)                         \
  X(ThriftServer, make_thrift_server_type)                              \
  X(ProtocolType, make_protocol_type_type)                              \
  X(CompactProtocol, make_compact_protocol_type)                        \
  X(JSONProtocol, make_json_protocol_type)                              \
  X(TransportType, make_transport_type_type)                            \
  X(ThriftClient, make_thrift_client_type)                              \
  X(ThriftApplicationException, make_thrift_application_exception_type)

namespace brovane::python {

#define BRV_DECLARE_TYPE_HOOK(name, hook) core::Result<core::Ref> hook();
BROVANE_CLASSES(BRV_DECLARE_TYPE_HOOK)
#undef BRV_DECLARE_TYPE_HOOK

}  // namespace brovane::python

namespace brovane::python::core {

enum class TypeId : std::uint8_t {
#define BRV_TYPE_ID(name, hook) name,
  BROVANE_CLASSES(BRV_TYPE_ID)
#undef BRV_TYPE_ID
};

inline constexpr std::size_t kClassCount = 0
#define BRV_COUNT_CLASS(name, hook) +1
    BROVANE_CLASSES(BRV_COUNT_CLASS)
#undef BRV_COUNT_CLASS
    ;

inline constexpr const char* kClassNames[kClassCount] = {
#define BRV_CLASS_NAME(name, hook) #name,
    BROVANE_CLASSES(BRV_CLASS_NAME)
#undef BRV_CLASS_NAME
};

constexpr const char* class_name(TypeId id) noexcept { return kClassNames[static_cast<std::size_t>(id)]; }

namespace detail {
// One strong reference per class, for the life of the process. Filled once by
// the module's execution step (the module keeps no per-module state), read
// without locking afterwards.
inline PyTypeObject* g_types[kClassCount] = {};
}  // namespace detail

// The class object; valid once the module has been imported.
inline PyTypeObject* type_object(TypeId id) noexcept { return detail::g_types[static_cast<std::size_t>(id)]; }

// Whether `o` is an instance of the class (exact class first; the classes
// cannot be subclassed from Python, but the check stays general). False for
// every object while the class does not exist yet.
inline bool is_instance(PyObject* o, TypeId id) noexcept {
  PyTypeObject* t = type_object(id);
  if (Py_IS_TYPE(o, t)) [[likely]]
    return true;
  return t != nullptr && PyType_IsSubtype(Py_TYPE(o), t);
}

}  // namespace brovane::python::core
