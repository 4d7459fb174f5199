#include "python/types/protocols.hpp"

#include "python/core/extract.hpp"
#include "python/core/thunks.hpp"
#include "python/types/struct_codec.hpp"
#include "python/types/thrift_struct.hpp"

namespace brovane::python::types {

namespace {

template <class Obj>
core::Result<core::Ref> codec_class_new(PyTypeObject* type, const core::Args<0>&) {
  return core::create<Obj>(type, core::Stateless{});
}

core::Signature<0> kBinaryNew{"BinaryProtocol.__new__()"};
core::Signature<0> kCompactNew{"CompactProtocol.__new__()"};
core::Signature<0> kJsonNew{"JSONProtocol.__new__()"};

const PyType_Slot kBinarySlots[] = {core::constructor<&codec_class_new<BinaryProtocolObject>, kBinaryNew>()};
const PyType_Slot kCompactSlots[] = {core::constructor<&codec_class_new<CompactProtocolObject>, kCompactNew>()};
const PyType_Slot kJsonSlots[] = {core::constructor<&codec_class_new<JSONProtocolObject>, kJsonNew>()};

// serialize_struct(struct_def, data) and deserialize_struct(struct_def, data)
// of each class: the descriptor's own operations in the class's protocol,
// with the descriptor taken under a shared borrow.
template <ProtocolType P>
core::Result<core::Ref> serialize_struct(const core::Args<2>& a) {
  BRV_ASSIGN(ThriftStructObject * def, core::arg_object<ThriftStructObject>(a[0], "struct_def"));
  BRV_ASSIGN(auto borrow, core::take_borrow<core::Access::Shared>(def->borrow));
  return serialize_with_protocol(def->value, a[1], P);
}

template <ProtocolType P>
core::Result<core::Ref> deserialize_struct(const core::Args<2>& a) {
  BRV_ASSIGN(ThriftStructObject * def, core::arg_object<ThriftStructObject>(a[0], "struct_def"));
  BRV_ASSIGN(PyObject * data, core::arg_bytes(a[1], "data"));
  BRV_ASSIGN(auto borrow, core::take_borrow<core::Access::Shared>(def->borrow));
  return deserialize_with_protocol(def->value, data, P);
}

core::Signature kBinarySerialize{"BinaryProtocol.serialize_struct()", {"struct_def", "data"}};
core::Signature kBinaryDeserialize{"BinaryProtocol.deserialize_struct()", {"struct_def", "data"}};
core::Signature kCompactSerialize{"CompactProtocol.serialize_struct()", {"struct_def", "data"}};
core::Signature kCompactDeserialize{"CompactProtocol.deserialize_struct()", {"struct_def", "data"}};
core::Signature kJsonSerialize{"JSONProtocol.serialize_struct()", {"struct_def", "data"}};
core::Signature kJsonDeserialize{"JSONProtocol.deserialize_struct()", {"struct_def", "data"}};

constexpr char kSerializeDoc[] = "serialize_struct(struct_def, data)\n--\n\n";
constexpr char kDeserializeDoc[] = "deserialize_struct(struct_def, data)\n--\n\n";

PyMethodDef kBinaryMethods[] = {
    core::static_method<&serialize_struct<ProtocolType::Binary>, kBinarySerialize>("serialize_struct", kSerializeDoc),
    core::static_method<&deserialize_struct<ProtocolType::Binary>, kBinaryDeserialize>("deserialize_struct",
                                                                                        kDeserializeDoc),
    {}};
PyMethodDef kCompactMethods[] = {
    core::static_method<&serialize_struct<ProtocolType::Compact>, kCompactSerialize>("serialize_struct",
                                                                                      kSerializeDoc),
    core::static_method<&deserialize_struct<ProtocolType::Compact>, kCompactDeserialize>("deserialize_struct",
                                                                                          kDeserializeDoc),
    {}};
PyMethodDef kJsonMethods[] = {
    core::static_method<&serialize_struct<ProtocolType::JSON>, kJsonSerialize>("serialize_struct", kSerializeDoc),
    core::static_method<&deserialize_struct<ProtocolType::JSON>, kJsonDeserialize>("deserialize_struct",
                                                                                    kDeserializeDoc),
    {}};

}  // namespace

}  // namespace brovane::python::types

namespace brovane::python {

core::Result<core::Ref> make_binary_protocol_type() {
  return core::make_type<types::BinaryProtocolObject>({
      .id = core::TypeId::BinaryProtocol,
      .doc = "BinaryProtocol()\n--\n\n",
      .methods = types::kBinaryMethods,
      .slots = types::kBinarySlots,
  });
}

core::Result<core::Ref> make_compact_protocol_type() {
  return core::make_type<types::CompactProtocolObject>({
      .id = core::TypeId::CompactProtocol,
      .doc = "CompactProtocol()\n--\n\n",
      .methods = types::kCompactMethods,
      .slots = types::kCompactSlots,
  });
}

core::Result<core::Ref> make_json_protocol_type() {
  return core::make_type<types::JSONProtocolObject>({
      .id = core::TypeId::JSONProtocol,
      .doc = "JSONProtocol()\n--\n\n",
      .methods = types::kJsonMethods,
      .slots = types::kJsonSlots,
  });
}

}  // namespace brovane::python
