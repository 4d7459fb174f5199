#include "python/types/enums.hpp"

#include <array>

#include "python/core/extract.hpp"
#include "python/core/type_def.hpp"

namespace brovane::python::types {

namespace {

using core::Ref;
using core::Result;

constexpr const char* kTransportNames[] = {"Framed", "Buffered"};
constexpr const char* kProtocolNames[] = {"Binary", "Compact", "JSON"};

// One cell per member, holding that member's shared object for the rest of
// the process once filled.
std::array<PyObject*, 2> g_transport_cells{};
std::array<PyObject*, 3> g_protocol_cells{};

template <class Obj>
std::size_t index_of(decltype(Obj::value) v) noexcept {
  return static_cast<std::size_t>(v);
}

template <class Obj, std::size_t N>
Result<Ref> member_object(std::array<PyObject*, N>& cells, decltype(Obj::value) v, PyTypeObject* type) {
  PyObject*& cell = cells[index_of<Obj>(v)];
  if (cell == nullptr) {
    BRV_ASSIGN(Ref made, core::create<Obj>(type, decltype(Obj::value){v}));
    // Allocation may run a collection, and a finalizer may let another thread
    // in that fills the cell first: the first stored object is the member.
    if (cell == nullptr) cell = made.release();
  }
  return Ref::borrow(cell);
}

template <class Obj>
Result<decltype(Obj::value)> number_of(PyObject* o, const char* arg) {
  if (!core::is_instance(o, Obj::kTypeId)) [[unlikely]] {
    const char* expected = core::class_name(Obj::kTypeId);
    if (arg != nullptr) return core::arg_not_instance(arg, o, expected);
    return core::not_instance(o, expected);
  }
  Obj* obj = reinterpret_cast<Obj*>(o);
  core::SharedBorrow b(obj->borrow);
  if (!b) [[unlikely]]
    return std::unexpected(core::SharedBorrow::conflict());
  return obj->value;
}

// Fills the cells of a freshly built class and publishes them as its class
// attributes, in member order. Cells left by an earlier failed build belong to
// a class nobody can reach and are replaced.
template <class Obj, std::size_t N>
core::Status add_members(PyObject* type, std::array<PyObject*, N>& cells, const char* const (&names)[N]) {
  for (PyObject*& cell : cells) Py_CLEAR(cell);
  for (std::size_t i = 0; i < N; ++i) {
    BRV_ASSIGN(Ref member, member_object<Obj>(cells, static_cast<decltype(Obj::value)>(i),
                                              reinterpret_cast<PyTypeObject*>(type)));
    // Into the class's own dictionary: the class refuses attribute stores.
    BRV_CHECK(core::checked_status(
        PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(type)->tp_dict, names[i], member.get())));
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return {};
}

template <class Obj>
Result<Ref> member_int(Obj& self) {
  return core::checked(PyLong_FromLong(static_cast<long>(self.value)));
}

// TransportType

Result<Ref> transport_repr(TransportTypeObject& self) {
  return core::checked(PyUnicode_FromString(self.value == TransportType::Buffered ? "TransportType.Buffered"
                                                                                  : "TransportType.Framed"));
}

core::Signature<0> kTransportNew{"TransportType.__new__()"};

// A separate object each call: the shared members come only from the cells.
Result<Ref> transport_new(PyTypeObject* type, const core::Args<0>&) {
  return core::create<TransportTypeObject>(type, TransportType::Framed);
}

// Equality by member number with another TransportType or anything that
// converts to a signed 64-bit integer; never raises (NotImplemented instead,
// which the interpreter turns into identity for == and != and a TypeError
// for orderings).
PyObject* transport_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  if (!core::is_instance(self, core::TypeId::TransportType)) Py_RETURN_NOTIMPLEMENTED;
  auto* me = reinterpret_cast<TransportTypeObject*>(self);
  core::SharedBorrow self_borrow(me->borrow);
  if (!self_borrow) Py_RETURN_NOTIMPLEMENTED;

  long long rhs = 0;
  if (core::is_instance(other, core::TypeId::TransportType)) {
    auto* them = reinterpret_cast<TransportTypeObject*>(other);
    core::SharedBorrow other_borrow(them->borrow);
    if (!other_borrow) Py_RETURN_NOTIMPLEMENTED;
    rhs = static_cast<long long>(them->value);
  } else {
    const long long v = PyLong_AsLongLong(other);
    if (v == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
    rhs = v;
  }
  const bool equal = static_cast<long long>(me->value) == rhs;
  if (op == Py_EQ) return PyBool_FromLong(equal);
  if (op == Py_NE) return PyBool_FromLong(!equal);
  Py_RETURN_NOTIMPLEMENTED;
}

constexpr char kTransportDoc[] =
    "TransportType()\n--\n\n"
    "Transport layer to use when reading/writing Thrift messages over TCP.\n"
    "\n"
    "* `Framed`   \xe2\x80\x93 each message is prefixed by a 4-byte big-endian frame length.\n"
    "* `Buffered` \xe2\x80\x93 messages are written directly to the socket with no framing.";

const PyType_Slot kTransportSlots[] = {
    core::constructor<&transport_new, kTransportNew>(),
    core::unary_slot<Py_tp_repr, &transport_repr>(),
    core::unary_slot<Py_nb_int, &member_int<TransportTypeObject>>(),
    {Py_tp_richcompare, reinterpret_cast<void*>(&transport_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
};

// ProtocolType

Result<Ref> protocol_repr(ProtocolTypeObject& self) {
  const char* text = "ProtocolType.Binary";
  if (self.value == ProtocolType::Compact) text = "ProtocolType.Compact";
  if (self.value == ProtocolType::JSON) text = "ProtocolType.JSON";
  return core::checked(PyUnicode_FromString(text));
}

// No constructor, comparison or hash: members compare and hash by identity.
const PyType_Slot kProtocolSlots[] = {
    core::unary_slot<Py_tp_repr, &protocol_repr>(),
    core::unary_slot<Py_nb_int, &member_int<ProtocolTypeObject>>(),
};

}  // namespace

Result<Ref> transport_type_object(TransportType t) {
  return member_object<TransportTypeObject>(g_transport_cells, t, core::type_object(core::TypeId::TransportType));
}
Result<Ref> protocol_type_object(ProtocolType p) {
  return member_object<ProtocolTypeObject>(g_protocol_cells, p, core::type_object(core::TypeId::ProtocolType));
}

Result<TransportType> transport_type_of(PyObject* o, const char* arg) { return number_of<TransportTypeObject>(o, arg); }
Result<ProtocolType> protocol_type_of(PyObject* o, const char* arg) { return number_of<ProtocolTypeObject>(o, arg); }

}  // namespace brovane::python::types

namespace brovane::python {

core::Result<core::Ref> make_transport_type_type() {
  using namespace types;
  BRV_ASSIGN(core::Ref type, core::make_type<TransportTypeObject>({
                                 .id = core::TypeId::TransportType,
                                 .doc = kTransportDoc,
                                 .slots = kTransportSlots,
                             }));
  BRV_CHECK(add_members<TransportTypeObject>(type.get(), g_transport_cells, kTransportNames));
  return type;
}

core::Result<core::Ref> make_protocol_type_type() {
  using namespace types;
  BRV_ASSIGN(core::Ref type, core::make_type<ProtocolTypeObject>({
                                 .id = core::TypeId::ProtocolType,
                                 .slots = kProtocolSlots,
                             }));
  BRV_CHECK(add_members<ProtocolTypeObject>(type.get(), g_protocol_cells, kProtocolNames));
  return type;
}

}  // namespace brovane::python
