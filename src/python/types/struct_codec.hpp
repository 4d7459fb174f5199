// Struct serialisation from Python: ThriftStruct's serialize / deserialize
// methods and the shared operations behind them, which the protocol classes'
// static methods use too.
#pragma once

#include <Python.h>

#include <array>

#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/enums.hpp"

namespace brovane::python::types {

// The declared fields of `d` from `data` (a ThriftStructInstance or a dict
// keyed by field name) as a new bytes object in the protocol. Nothing is left
// behind on failure.
[[nodiscard]] core::Result<core::Ref> serialize_with_protocol(const ThriftStruct& d, PyObject* data,
                                                              ProtocolType protocol);

// One struct read from the contents of `data` (a bytes object) into a new
// ThriftStructInstance. Bytes after the struct's stop byte are ignored.
[[nodiscard]] core::Result<core::Ref> deserialize_with_protocol(const ThriftStruct& d, PyObject* data,
                                                                ProtocolType protocol);

// The four methods of the ThriftStruct class (METH_FASTCALL | METH_KEYWORDS,
// self a ThriftStruct object, taken with a shared borrow), with their names
// and stored documentation (text signature line, "--", empty line, body).
PyObject* struct_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* struct_serialize_with_protocol(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                         PyObject* kwnames) noexcept;
PyObject* struct_deserialize(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* struct_deserialize_with_protocol(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                           PyObject* kwnames) noexcept;

inline constexpr const char kStructSerializeDoc[] =
    "serialize($self, data)\n--\n\n"
    "Serialize a struct from either a `ThriftStructInstance` or a plain `dict`.";
inline constexpr const char kStructSerializeWithProtocolDoc[] =
    "serialize_with_protocol($self, data, protocol)\n--\n\n"
    "Serialize a struct from either a `ThriftStructInstance` or a plain `dict` using specific protocol.";
inline constexpr const char kStructDeserializeDoc[] =
    "deserialize($self, data)\n--\n\n"
    "Deserialize bytes into a `ThriftStructInstance`.";
inline constexpr const char kStructDeserializeWithProtocolDoc[] = "deserialize_with_protocol($self, data, protocol)\n--\n\n";

// The entries for the class's method table, in this order: serialize,
// serialize_with_protocol, deserialize, deserialize_with_protocol.
std::array<PyMethodDef, 4> struct_codec_methods() noexcept;

}  // namespace brovane::python::types
