#include "python/types/struct_codec.hpp"

#include <string>
#include <string_view>
#include <type_traits>

#include "protocol/binary.hpp"
#include "protocol/compact.hpp"
#include "protocol/json_reader.hpp"
#include "protocol/json_writer.hpp"
#include "python/core/extract.hpp"
#include "python/core/thunks.hpp"
#include "python/serde/codec.hpp"
#include "python/serde/errors.hpp"
#include "python/serde/read.hpp"
#include "python/serde/write.hpp"
#include "python/types/json_documents.hpp"
#include "python/types/thrift_struct.hpp"

namespace brovane::python::types {

namespace {

template <class W>
inline constexpr bool kIsJsonWriter = std::is_same_v<W, protocol::JSONProtocolWriter>;

// The struct's closing step: the stop byte, or for JSON the end of the frame
// that the writer was primed with.
template <class W>
core::Status end_top_struct(W& w) {
  protocol::PStatus s = kIsJsonWriter<W> ? w.write_struct_end() : w.write_field_stop();
  if (!s) [[unlikely]]
    return core::os_error("Write error: " + s.error().display());
  return {};
}

}  // namespace

core::Result<core::Ref> serialize_with_protocol(const ThriftStruct& d, PyObject* data, ProtocolType protocol) {
  const StructMapData& map = d.struct_map ? *d.struct_map : *empty_struct_map();
  // Compact writers start with two last-field-id entries; JSON with the
  // struct frame that the fields go into.
  return serde::with_writer(protocol, d.size_hint(), {0, 0}, [&](auto& w) -> core::Result<core::Ref> {
    using W = std::remove_cvref_t<decltype(w)>;
    if constexpr (kIsJsonWriter<W>) {
      if (auto s = w.write_struct_begin(); !s) [[unlikely]]
        return core::os_error("Write error: " + s.error().display());
    }
    BRV_CHECK(serde::serialize_struct_any(w, d.fields, data, map, d.field_names.get()));
    BRV_CHECK(end_top_struct(w));
    const std::string_view out = w.output();
    return core::checked(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  });
}

core::Result<core::Ref> deserialize_with_protocol(const ThriftStruct& d, PyObject* data, ProtocolType protocol) {
  const std::string_view input(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  switch (protocol) {
    case ProtocolType::Binary: {
      protocol::BinaryProtocolReader r(input);
      return serde::deserialize_struct_fields_as_instance(r, d);
    }
    case ProtocolType::Compact: {
      protocol::CompactProtocolReader r(input, {0, 0});
      return serde::deserialize_struct_fields_as_instance(r, d);
    }
    case ProtocolType::JSON:
      break;
  }
  // JSON input is a struct document, not a protocol stream.
  return deserialize_json_document(d, input);
}

namespace {

core::Signature kSerializeSig{"ThriftStruct.serialize()", {"data"}};
core::Signature kSerializeWithProtocolSig{"ThriftStruct.serialize_with_protocol()", {"data", "protocol"}};
core::Signature kDeserializeSig{"ThriftStruct.deserialize()", {"data"}};
core::Signature kDeserializeWithProtocolSig{"ThriftStruct.deserialize_with_protocol()", {"data", "protocol"}};

core::Result<core::Ref> serialize_method(ThriftStructObject& self, const core::Args<1>& a) {
  return serialize_with_protocol(self.value, a[0], ProtocolType::Binary);
}

core::Result<core::Ref> serialize_with_protocol_method(ThriftStructObject& self, const core::Args<2>& a) {
  BRV_ASSIGN(const ProtocolType p, protocol_type_of(a[1], "protocol"));
  return serialize_with_protocol(self.value, a[0], p);
}

core::Result<core::Ref> deserialize_method(ThriftStructObject& self, const core::Args<1>& a) {
  BRV_ASSIGN(PyObject * data, core::arg_bytes(a[0], "data"));
  return deserialize_with_protocol(self.value, data, ProtocolType::Binary);
}

core::Result<core::Ref> deserialize_with_protocol_method(ThriftStructObject& self, const core::Args<2>& a) {
  // `data` is examined before `protocol`.
  BRV_ASSIGN(PyObject * data, core::arg_bytes(a[0], "data"));
  BRV_ASSIGN(const ProtocolType p, protocol_type_of(a[1], "protocol"));
  return deserialize_with_protocol(self.value, data, p);
}

}  // namespace

PyObject* struct_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return core::detail::method_thunk<&serialize_method, kSerializeSig, core::Access::Shared>(self, args, nargsf,
                                                                                            kwnames);
}
PyObject* struct_serialize_with_protocol(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                         PyObject* kwnames) noexcept {
  return core::detail::method_thunk<&serialize_with_protocol_method, kSerializeWithProtocolSig,
                                    core::Access::Shared>(self, args, nargsf, kwnames);
}
PyObject* struct_deserialize(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return core::detail::method_thunk<&deserialize_method, kDeserializeSig, core::Access::Shared>(self, args, nargsf,
                                                                                                kwnames);
}
PyObject* struct_deserialize_with_protocol(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                           PyObject* kwnames) noexcept {
  return core::detail::method_thunk<&deserialize_with_protocol_method, kDeserializeWithProtocolSig,
                                    core::Access::Shared>(self, args, nargsf, kwnames);
}

std::array<PyMethodDef, 4> struct_codec_methods() noexcept {
  constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
  auto fn = [](auto f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); };
  return {{
      {"serialize", fn(&struct_serialize), kFlags, kStructSerializeDoc},
      {"serialize_with_protocol", fn(&struct_serialize_with_protocol), kFlags, kStructSerializeWithProtocolDoc},
      {"deserialize", fn(&struct_deserialize), kFlags, kStructDeserializeDoc},
      {"deserialize_with_protocol", fn(&struct_deserialize_with_protocol), kFlags,
       kStructDeserializeWithProtocolDoc},
  }};
}

}  // namespace brovane::python::types
