#include "python/serde/convert.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/core/extract.hpp"
#include "python/serde/ascii.hpp"
#include "python/serde/byte_string.hpp"
#include "python/serde/errors.hpp"
#include "python/types/instance_data.hpp"
#include "python/types/struct_instance.hpp"

namespace brovane::python::serde {

namespace {

using ast::ThriftType;
using ast::ThriftValue;
using core::Ref;
using core::Result;
using types::StructMap;
using types::ThriftStruct;

constexpr char kNoneText[] = "None has no ThriftValue representation";
// RecursionError tails: "maximum recursion depth exceeded while ...".
constexpr char kToValueWhere[] = " while converting a Python object to a ThriftValue";
constexpr char kToPyWhere[] = " while converting a ThriftValue to a Python object";

// Nesting allowed within one conversion: Python's own default recursion
// limit. Py_EnterRecursiveCall alone allows several thousand C levels, more
// than a thread's stack may hold with these frames (instrumented builds,
// threads with small stacks); no value this deep could be read back anyway.
constexpr int kMaxDepth = 1000;
// Initial-exec: the module is loaded once, at import, so the counter can
// live in the static TLS block and be reached without a __tls_get_addr call
// on every container.
[[gnu::tls_model("initial-exec")]] thread_local int t_depth = 0;

// One level of nesting (a container or a struct instance) for the length of
// its conversion. Values that contain themselves end in RecursionError.
class [[nodiscard]] RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) noexcept {
    if (t_depth >= kMaxDepth) [[unlikely]] {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
      return;
    }
    if (Py_EnterRecursiveCall(where) != 0) [[unlikely]]
      return;
    ++t_depth;
    entered_ = true;
  }
  ~RecursionGuard() {
    if (entered_) {
      --t_depth;
      Py_LeaveRecursiveCall();
    }
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  explicit operator bool() const noexcept { return entered_; }

 private:
  bool entered_ = false;
};

[[gnu::cold, gnu::noinline]] core::Unexpected none_error() { return core::type_error(kNoneText); }

[[gnu::cold, gnu::noinline]] core::Unexpected cannot_convert(PyObject* o) {
  std::string name = "<unknown>";
  if (PyObject* q = PyType_GetQualName(Py_TYPE(o))) {
    if (const char* text = PyUnicode_AsUTF8(q))
      name = text;
    else
      PyErr_Clear();
    Py_DECREF(q);
  } else {
    PyErr_Clear();
  }
  return core::type_error("Cannot convert Python value of type '" + name + "' to ThriftValue");
}

[[gnu::cold, gnu::noinline]] core::Unexpected changed_size(const char* what) {
  raise_changed_size(what);
  return core::py_error();
}

// numpy's bool scalar types (numpy.bool_ in numpy 1, numpy.bool in numpy 2)
// are static types named with their module; comparing the name costs no
// attribute lookup and needs no import.
bool is_numpy_bool(PyObject* o) noexcept {
  const char* name = Py_TYPE(o)->tp_name;
  return std::strncmp(name, "numpy.bool", 10) == 0 && (name[10] == '\0' || (name[10] == '_' && name[11] == '\0'));
}

bool has_index(PyObject* o) noexcept {
  const PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  return nb != nullptr && nb->nb_index != nullptr;
}

// What PyFloat_AsDouble accepts: a float, or an object with __float__ or __index__.
bool has_float_conversion(PyObject* o) noexcept {
  if (PyFloat_Check(o)) return true;
  const PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  return nb != nullptr && (nb->nb_float != nullptr || nb->nb_index != nullptr);
}

const ThriftStruct* find_struct(const StructMap& structs, std::string_view name) noexcept {
  if (!structs) return nullptr;
  auto it = structs->find(name);
  return it == structs->end() ? nullptr : &it->second;
}

// The first declared field of `d` (declaration order) with the name of
// `slot` in d's own names, or nullptr.
const types::ThriftField* first_field_in_slot(const ThriftStruct& d, std::int32_t slot) noexcept {
  if (slot < 0) return nullptr;
  const types::FieldList& fields = d.fields;
  const auto s = static_cast<std::uint32_t>(slot);
  // Without repeated names, slot i is the field at position i.
  if (d.field_names->size() == d.field_names->slot_count() && s < fields.size() && fields[s].slot == s)
    return &fields[s];
  for (const types::ThriftField& f : fields)
    if (f.slot == s) return &f;
  return nullptr;
}
template <class Name>
const types::ThriftField* first_field_named(const ThriftStruct& d, Name name) noexcept {
  if (!d.field_names) return nullptr;
  return first_field_in_slot(d, d.field_names->find(name));
}

Result<ThriftValue> untyped(PyObject* o);
Result<ThriftValue> typed(PyObject* o, const ThriftType& type, const StructMap& structs);

enum class Trial : std::uint8_t { Accepted, Refused };

// An item of a candidate byte string: an integer 0..255.
Trial byte_item(PyObject* item, std::vector<std::uint8_t>& out) {
  int overflow = 0;
  long v = 0;
  if (PyLong_Check(item)) {
    v = PyLong_AsLongAndOverflow(item, &overflow);
  } else {
    if (!has_index(item)) return Trial::Refused;
    PyObject* index = PyNumber_Index(item);
    if (index == nullptr) {
      PyErr_Clear();
      return Trial::Refused;
    }
    v = PyLong_AsLongAndOverflow(index, &overflow);
    Py_DECREF(index);
  }
  if (overflow != 0 || v < 0 || v > 255) return Trial::Refused;
  out.push_back(static_cast<std::uint8_t>(v));
  return Trial::Accepted;
}

// The byte-string step of the untyped ladder. Refusals leave nothing set;
// a list changed by an item's own __index__ fails the whole conversion.
Result<Trial> byte_string_trial(PyObject* o, std::vector<std::uint8_t>& out) {
  if (PyBytes_Check(o)) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o));
    out.assign(p, p + PyBytes_GET_SIZE(o));
    return Trial::Accepted;
  }
  if (PyByteArray_Check(o)) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(o));
    out.assign(p, p + PyByteArray_GET_SIZE(o));
    return Trial::Accepted;
  }
  if (PyUnicode_Check(o)) return Trial::Refused;
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    const bool list = PyList_CheckExact(o);
    const Py_ssize_t n = Py_SIZE(o);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (Py_SIZE(o) != n) return changed_size("list");
      Ref item = Ref::borrow(list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i));
      if (byte_item(item.get(), out) == Trial::Refused) return Trial::Refused;
    }
    if (Py_SIZE(o) != n) return changed_size("list");
    return Trial::Accepted;
  }
  if (!PySequence_Check(o)) return Trial::Refused;
  // Other sequences go through their own iteration, as the interpreter's
  // conversion would; the length only sizes the buffer.
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0)
    PyErr_Clear();
  else
    out.reserve(static_cast<std::size_t>(n));
  Ref it = Ref::steal(PyObject_GetIter(o));
  if (!it) {
    PyErr_Clear();
    return Trial::Refused;
  }
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item = Ref::steal(raw);
    if (byte_item(item.get(), out) == Trial::Refused) return Trial::Refused;
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return Trial::Refused;
  }
  return Trial::Accepted;
}

// The items of a list (or subclass), each through `convert`. The list is
// read by index with each item held while it converts, so Python code run
// by a conversion may change the list; a change of its length ends the
// conversion with RuntimeError.
template <class F>
Result<std::vector<ThriftValue>> list_items(PyObject* list, F&& convert) {
  RecursionGuard guard(kToValueWhere);
  if (!guard) return core::py_error();
  const Py_ssize_t n = PyList_GET_SIZE(list);
  std::vector<ThriftValue> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyList_GET_SIZE(list) != n) return changed_size("list");
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    BRV_ASSIGN(ThriftValue v, convert(item.get()));
    out.push_back(std::move(v));
  }
  if (PyList_GET_SIZE(list) != n) return changed_size("list");
  return out;
}

// The items of a dict (or subclass) in its order, each key and then its
// value through the two conversions, with the same care as list_items.
template <class K, class V>
Result<ThriftValue::Map> dict_items(PyObject* dict, K&& convert_key, V&& convert_value) {
  RecursionGuard guard(kToValueWhere);
  if (!guard) return core::py_error();
  const Py_ssize_t n = PyDict_GET_SIZE(dict);
  ThriftValue::Map out;
  out.entries.reserve(static_cast<std::size_t>(n));
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    BRV_ASSIGN(ThriftValue kv, convert_key(key.get()));
    if (PyDict_GET_SIZE(dict) != n) return changed_size("dict");
    BRV_ASSIGN(ThriftValue vv, convert_value(value.get()));
    if (PyDict_GET_SIZE(dict) != n) return changed_size("dict");
    out.entries.emplace_back(std::move(kv), std::move(vv));
  }
  return out;
}

// A struct instance as a Struct value, read under a shared borrow. `declared`
// is the descriptor of the declared struct type when there is one (typed
// case, its fields' types used with `structs`); otherwise each field goes by
// the instance's own declared field types and map. Fields whose Python
// object cannot be converted keep their stored ThriftValue, if any.
Result<ThriftValue> instance_value(PyObject* o, const ThriftStruct* declared, const StructMap* structs) {
  RecursionGuard guard(kToValueWhere);
  if (!guard) return core::py_error();
  BRV_ASSIGN(types::InstanceView view, types::read_instance(o));
  const types::InstanceData& d = view.data();

  ThriftValue::Struct s;
  s.name = d.struct_name();
  const std::size_t slots = d.slot_count();
  s.fields.reserve(slots);
  for (std::uint32_t slot = 0; slot < slots; ++slot) {
    const std::string_view name = d.field_names()->slot_name(slot);
    if (PyObject* py = d.py_values[slot]) {
      Result<ThriftValue> r = [&]() -> Result<ThriftValue> {
        if (declared != nullptr) {
          if (const types::ThriftField* f = first_field_named(*declared, name))
            return typed(py, f->field_type, *structs);
          return untyped(py);
        }
        if (const types::ThriftField* f = d.declared_field(slot)) return typed(py, f->field_type, d.struct_map());
        return untyped(py);
      }();
      if (r) {
        s.fields.emplace_unique(name, std::move(*r));
        continue;
      }
      if (is_fatal_error(r.error())) return std::unexpected(std::move(r).error());
      discard_error(r.error());
    }
    if (slot < d.thrift_values.size() && d.thrift_values[slot])
      s.fields.emplace_unique(name, *d.thrift_values[slot]);
  }
  return ThriftValue(std::move(s));
}

// A dict for a declared struct named `name`: every item under its str key.
// For a known struct each value goes by its field's type, then untyped, and
// ends as an empty String when both fail; for an unknown one untyped, and its
// failure is the result.
Result<ThriftValue> dict_struct_value(PyObject* dict, const std::string& name, const StructMap& structs) {
  RecursionGuard guard(kToValueWhere);
  if (!guard) return core::py_error();
  const ThriftStruct* d = find_struct(structs, name);
  const Py_ssize_t n = PyDict_GET_SIZE(dict);
  ThriftValue::Struct s;
  s.name = name;
  s.fields.reserve(static_cast<std::size_t>(n));
  // Exact str keys of one dict have distinct texts; a str subclass may share
  // a text with another key, and from the first one on inserts replace.
  bool distinct = true;
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    if (!PyUnicode_Check(key.get())) return core::not_instance(key.get(), "str");
    BRV_ASSIGN(std::string_view key_text, core::utf8(key.get()));
    std::string field_name(key_text);
    distinct = distinct && PyUnicode_CheckExact(key.get());

    std::optional<ThriftValue> converted;
    if (d != nullptr) {
      if (const types::ThriftField* f = first_field_named(*d, key.get())) {
        Result<ThriftValue> r = typed(value.get(), f->field_type, structs);
        if (r) {
          converted = std::move(*r);
        } else {
          if (is_fatal_error(r.error())) return std::unexpected(std::move(r).error());
          discard_error(r.error());
        }
      }
      if (!converted) {
        Result<ThriftValue> r = untyped(value.get());
        if (r) {
          converted = std::move(*r);
        } else {
          if (is_fatal_error(r.error())) return std::unexpected(std::move(r).error());
          discard_error(r.error());
          converted = ThriftValue::String{};
        }
      }
    } else {
      BRV_ASSIGN(ThriftValue r, untyped(value.get()));
      converted = std::move(r);
    }
    if (PyDict_GET_SIZE(dict) != n) return changed_size("dict");
    if (distinct)
      s.fields.append_unique(std::move(field_name), std::move(*converted));
    else
      s.fields.set(std::move(field_name), std::move(*converted));
  }
  return ThriftValue(std::move(s));
}

// Everything past the exact-type fast paths of `untyped`, step by step.
[[gnu::noinline]] Result<ThriftValue> untyped_ladder(PyObject* o) {
  // bool (numpy's too)
  if (PyBool_Check(o)) return ThriftValue::Bool{o == Py_True};
  if (is_numpy_bool(o)) {
    Result<bool> b = core::to_bool(o);
    if (b) return ThriftValue::Bool{*b};
    discard_error(b.error());
  }
  // a 64-bit integer: int, its subclasses, or __index__
  if (PyLong_Check(o)) {
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow == 0) return ThriftValue::I64{v};
  } else if (has_index(o)) {
    if (PyObject* index = PyNumber_Index(o)) {
      int overflow = 0;
      const long v = PyLong_AsLongAndOverflow(index, &overflow);
      Py_DECREF(index);
      if (overflow == 0) return ThriftValue::I64{v};
    } else {
      PyErr_Clear();
    }
  }
  // anything PyFloat_AsDouble takes
  if (has_float_conversion(o)) {
    const double v = PyFloat_AsDouble(o);
    if (!(v == -1.0 && PyErr_Occurred())) return ThriftValue::Double{v};
    PyErr_Clear();
  }
  // str
  if (PyUnicode_Check(o)) {
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(o, &n)) return ThriftValue::String{std::string(p, static_cast<std::size_t>(n))};
    PyErr_Clear();
  }
  // byte string
  {
    std::vector<std::uint8_t> bytes;
    BRV_ASSIGN(Trial t, byte_string_trial(o, bytes));
    if (t == Trial::Accepted) return ThriftValue::Binary{std::move(bytes)};
  }
  if (PyList_Check(o)) {
    BRV_ASSIGN(std::vector<ThriftValue> items, list_items(o, untyped));
    return ThriftValue::List{std::move(items)};
  }
  if (PyDict_Check(o)) {
    BRV_ASSIGN(ThriftValue::Map m, dict_items(o, untyped, untyped));
    return ThriftValue(std::move(m));
  }
  if (types::is_struct_instance(o)) return instance_value(o, nullptr, nullptr);
  return cannot_convert(o);
}

Result<ThriftValue> untyped(PyObject* o) {
  if (o == Py_None) return none_error();
  // The common exact types, each with the result the ladder would give.
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow == 0) [[likely]]
      return ThriftValue::I64{v};
  } else if (PyUnicode_CheckExact(o)) {
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(o, &n)) [[likely]]
      return ThriftValue::String{std::string(p, static_cast<std::size_t>(n))};
    PyErr_Clear();
    return cannot_convert(o);
  } else if (PyFloat_CheckExact(o)) {
    return ThriftValue::Double{PyFloat_AS_DOUBLE(o)};
  }
  return untyped_ladder(o);
}

Result<ThriftValue> typed_struct(PyObject* o, const std::string& name, const StructMap& structs) {
  if (types::is_struct_instance(o)) {
    if (const ThriftStruct* d = find_struct(structs, name)) return instance_value(o, d, &structs);
    return instance_value(o, nullptr, nullptr);
  }
  if (PyDict_Check(o)) return dict_struct_value(o, name, structs);
  return untyped(o);
}

Result<ThriftValue> typed(PyObject* o, const ThriftType& type, const StructMap& structs) {
  if (o == Py_None) return none_error();
  switch (type.kind()) {
    case ast::Kind::Bool: {
      BRV_ASSIGN(bool b, core::to_bool(o));
      return ThriftValue::Bool{b};
    }
    case ast::Kind::Byte: {
      BRV_ASSIGN(std::int8_t v, core::to_int<std::int8_t>(o));
      return ThriftValue::Byte{v};
    }
    case ast::Kind::I16: {
      BRV_ASSIGN(std::int16_t v, core::to_int<std::int16_t>(o));
      return ThriftValue::I16{v};
    }
    case ast::Kind::I32: {
      BRV_ASSIGN(std::int32_t v, core::to_int<std::int32_t>(o));
      return ThriftValue::I32{v};
    }
    case ast::Kind::I64: {
      BRV_ASSIGN(std::int64_t v, core::to_int<std::int64_t>(o));
      return ThriftValue::I64{v};
    }
    case ast::Kind::Double: {
      if (PyFloat_CheckExact(o)) return ThriftValue::Double{PyFloat_AS_DOUBLE(o)};
      const double v = PyFloat_AsDouble(o);
      if (v == -1.0 && PyErr_Occurred()) return core::py_error();
      return ThriftValue::Double{v};
    }
    case ast::Kind::String: {
      if (!PyUnicode_Check(o)) return core::not_instance(o, "str");
      BRV_ASSIGN(std::string_view text, core::utf8(o));
      return ThriftValue::String{std::string(text)};
    }
    case ast::Kind::Binary: {
      std::string scratch;
      std::string_view bytes;
      if (!byte_string(o, scratch, bytes)) return core::py_error();
      const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
      return ThriftValue::Binary{std::vector<std::uint8_t>(p, p + bytes.size())};
    }
    case ast::Kind::List:
    case ast::Kind::Set: {
      if (!PyList_Check(o)) return core::not_instance(o, "list");
      const ThriftType& element =
          type.kind() == ast::Kind::List ? *type.get_if<ThriftType::List>()->element : *type.get_if<ThriftType::Set>()->element;
      BRV_ASSIGN(std::vector<ThriftValue> items,
                 list_items(o, [&](PyObject* item) { return typed(item, element, structs); }));
      if (type.kind() == ast::Kind::List) return ThriftValue::List{std::move(items)};
      return ThriftValue::Set{std::move(items)};
    }
    case ast::Kind::Map: {
      if (!PyDict_Check(o)) return core::not_instance(o, "dict");
      const auto& m = *type.get_if<ThriftType::Map>();
      BRV_ASSIGN(ThriftValue::Map out,
                 dict_items(
                     o, [&](PyObject* k) { return typed(k, *m.key, structs); },
                     [&](PyObject* v) { return typed(v, *m.value, structs); }));
      return ThriftValue(std::move(out));
    }
    case ast::Kind::Struct:
      return typed_struct(o, type.get_if<ThriftType::Struct>()->name, structs);
  }
  return core::panic("unknown ThriftType variant");
}

template <bool Move>
using ValueArg = std::conditional_t<Move, ThriftValue&, const ThriftValue&>;

template <bool Move>
PyObject* to_py(ValueArg<Move> value, const StructMap& structs);

// A String value as a str. ASCII text is valid UTF-8 whose str is the bytes
// themselves, so it is copied into a new str without the decoder's dispatch;
// the empty and one-character texts (the interpreter's shared objects) and
// everything else go through the decoder, with its result and errors.
[[gnu::always_inline]] inline PyObject* str_to_py(const std::string& s) {
  const std::size_t n = s.size();
  if (n > 1 && is_ascii(s.data(), n)) {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (o == nullptr) [[unlikely]]
      return nullptr;
    std::memcpy(PyUnicode_1BYTE_DATA(o), s.data(), n);
    return o;
  }
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(n), nullptr);
}

// A value of a kind without parts (Bool to Binary) as a new object.
[[gnu::always_inline]] inline PyObject* scalar_to_py(const ThriftValue& value) {
  switch (value.kind()) {
    case ast::Kind::Bool: return Py_NewRef(value.get_if<ThriftValue::Bool>()->value ? Py_True : Py_False);
    case ast::Kind::Byte: return PyLong_FromLong(value.get_if<ThriftValue::Byte>()->value);
    case ast::Kind::I16: return PyLong_FromLong(value.get_if<ThriftValue::I16>()->value);
    case ast::Kind::I32: return PyLong_FromLong(value.get_if<ThriftValue::I32>()->value);
    case ast::Kind::I64: return PyLong_FromLongLong(value.get_if<ThriftValue::I64>()->value);
    case ast::Kind::Double: return PyFloat_FromDouble(value.get_if<ThriftValue::Double>()->value);
    case ast::Kind::String: return str_to_py(value.get_if<ThriftValue::String>()->value);
    case ast::Kind::Binary: {
      const std::vector<std::uint8_t>& b = value.get_if<ThriftValue::Binary>()->value;
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
    }
    default: break;
  }
  core::raise_panic("unknown ThriftValue variant");
  return nullptr;
}

constexpr bool is_scalar(ast::Kind k) noexcept { return k <= ast::Kind::Binary; }

// Equality of two short texts (struct and field names) without a library
// call for the common lengths.
[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  if (n >= 4 && n <= 8) {
    // The first and the last four bytes, overlapping for lengths below 8.
    std::uint32_t x0, x1, y0, y1;
    std::memcpy(&x0, p, 4);
    std::memcpy(&y0, q, 4);
    std::memcpy(&x1, p + n - 4, 4);
    std::memcpy(&y1, q + n - 4, 4);
    return ((x0 ^ y0) | (x1 ^ y1)) == 0;
  }
  if (n < 4) {
    for (std::size_t i = 0; i < n; ++i)
      if (p[i] != q[i]) return false;
    return true;
  }
  return std::memcmp(p, q, n) == 0;
}

// The descriptor that Struct values resolve to by name, looked up once for a
// run of values of the same name (the elements of a list of structs), and
// the layout their instances share.
class StructLookup {
 public:
  explicit StructLookup(const StructMap& structs) noexcept : structs_(structs) {}

  const ThriftStruct* find(const std::optional<std::string>& name) {
    if (!name) return nullptr;
    if (!known_ || !same_text(*name, last_name_)) {
      last_name_ = *name;
      last_ = find_struct(structs_, last_name_);
      layout_.reset();
      known_ = true;
    }
    return last_;
  }

  // The layout for instances of `desc` (what find returned for `name`).
  const types::LayoutRef& layout(const ThriftStruct& desc, std::string_view name) {
    if (!layout_) layout_ = desc.instance_layout(name, structs_ ? structs_ : types::empty_struct_map());
    return layout_;
  }

 private:
  const StructMap& structs_;
  std::string last_name_;
  const ThriftStruct* last_ = nullptr;
  types::LayoutRef layout_;
  bool known_ = false;
};

// A stored copy of `v`; the kinds without parts, and strings, are copied
// without the variant's generic copy (a call through its table per value).
inline void copy_stored(types::InstanceData::StoredValue& out, const ThriftValue& v) {
  switch (v.kind()) {
    case ast::Kind::Bool: out.emplace(*v.get_if<ThriftValue::Bool>()); return;
    case ast::Kind::Byte: out.emplace(*v.get_if<ThriftValue::Byte>()); return;
    case ast::Kind::I16: out.emplace(*v.get_if<ThriftValue::I16>()); return;
    case ast::Kind::I32: out.emplace(*v.get_if<ThriftValue::I32>()); return;
    case ast::Kind::I64: out.emplace(*v.get_if<ThriftValue::I64>()); return;
    case ast::Kind::Double: out.emplace(*v.get_if<ThriftValue::Double>()); return;
    case ast::Kind::String:
      out.emplace(std::in_place_type<ThriftValue::String>, v.get_if<ThriftValue::String>()->value);
      return;
    default: out.emplace(v); return;
  }
}

// A Struct value as a new instance: the descriptor's fields when the map has
// its name (`desc`, resolved by the caller, with `lookup` holding its
// layout), else the value's own field names in their order. Values under
// names that are not fields are dropped.
template <bool Move, class Fields>
PyObject* struct_to_py(const std::optional<std::string>& name, const ThriftStruct* desc, Fields& fields,
                       const StructMap& structs, StructLookup& lookup) {
  const std::string_view struct_name = name ? std::string_view(*name) : std::string_view();
  types::ThriftStructInstanceObject* inst = nullptr;
  if (desc != nullptr && desc->field_names) {
    inst = types::new_blank_instance(lookup.layout(*desc, struct_name));
  } else {
    std::vector<std::string> names;
    names.reserve(fields.size());
    for (const auto& entry : fields) names.push_back(entry.first);
    std::shared_ptr<const types::FieldNames> own = types::FieldNames::make(std::move(names));
    if (!own) return nullptr;
    inst = types::new_blank_instance(types::make_layout(struct_name, std::move(own), nullptr, structs));
  }
  if (inst == nullptr) return nullptr;
  types::InstanceData& d = inst->value;
  const types::FieldNames& names = *d.field_names();
  const std::size_t slots = names.slot_count();
  // Values built from declared fields (decoding, defaults, converted
  // instances) come in slot order, so the slot after the previous one is
  // tried first; slot names are distinct, so a match is the slot `find` gives.
  std::size_t next = 0;
  for (auto& entry : fields) {
    std::size_t slot;
    if (next < slots && same_text(names.slot_name(static_cast<std::uint32_t>(next)), entry.first)) {
      slot = next;
    } else {
      const std::int32_t found = names.find(std::string_view(entry.first));
      if (found < 0) continue;
      slot = static_cast<std::size_t>(found);
    }
    next = slot + 1;
    if constexpr (Move)
      d.thrift_values[slot] = std::move(entry.second);
    else
      copy_stored(d.thrift_values[slot], entry.second);
  }
  return reinterpret_cast<PyObject*>(inst);
}

template <bool Move>
PyObject* struct_value_to_py(ValueArg<Move> value, StructLookup& lookup, const StructMap& structs) {
  auto& s = *value.template get_if<ThriftValue::Struct>();
  return struct_to_py<Move>(s.name, lookup.find(s.name), s.fields, structs, lookup);
}

// Fills `list` (of items.size() empty slots) with `convert(item)` for every
// item; on failure the list holds what was made and frees it.
template <class Items, class F>
[[gnu::always_inline]] inline bool fill_list(PyObject* list, Items& items, F&& convert) {
  PyObject** out = reinterpret_cast<PyListObject*>(list)->ob_item;
  for (auto& item : items) {
    PyObject* o = convert(item);
    if (o == nullptr) [[unlikely]]
      return false;
    *out++ = o;
  }
  return true;
}

// A List or Set value as a list. Values read by a declared type hold one
// kind throughout, so the loop is chosen by the first item's kind; every item
// is still checked, and one of another kind takes the general path.
template <bool Move, class Items>
PyObject* list_to_py(Items& items, const StructMap& structs) {
  RecursionGuard guard(kToPyWhere);
  if (!guard) return nullptr;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  if (items.empty()) return list.release();
  bool ok;
  switch (items.front().kind()) {
    case ast::Kind::I64:
      ok = fill_list(list.get(), items, [&](auto& item) -> PyObject* {
        if (const auto* v = item.template get_if<ThriftValue::I64>()) return PyLong_FromLongLong(v->value);
        return to_py<Move>(item, structs);
      });
      break;
    case ast::Kind::I32:
      ok = fill_list(list.get(), items, [&](auto& item) -> PyObject* {
        if (const auto* v = item.template get_if<ThriftValue::I32>()) return PyLong_FromLong(v->value);
        return to_py<Move>(item, structs);
      });
      break;
    case ast::Kind::Struct: {
      StructLookup lookup(structs);
      ok = fill_list(list.get(), items, [&](auto& item) -> PyObject* {
        if (item.kind() == ast::Kind::Struct) return struct_value_to_py<Move>(item, lookup, structs);
        return to_py<Move>(item, structs);
      });
      break;
    }
    default:
      ok = fill_list(list.get(), items, [&](auto& item) -> PyObject* {
        if (is_scalar(item.kind())) return scalar_to_py(item);
        return to_py<Move>(item, structs);
      });
      break;
  }
  if (!ok) return nullptr;
  return list.release();
}

// An item of a Map value (key or value) as a new object.
template <bool Move>
[[gnu::always_inline]] inline PyObject* map_item_to_py(ValueArg<Move> v, const StructMap& structs) {
  if (is_scalar(v.kind())) return scalar_to_py(v);
  return to_py<Move>(v, structs);
}

// An empty dict with room for `n` entries (small ones need no presizing).
inline PyObject* new_dict_for(std::size_t n) {
  return n > 5 ? _PyDict_NewPresized(static_cast<Py_ssize_t>(n)) : PyDict_New();
}

// A Map value as a dict, entries in order (a later equal key replaces the
// value in place).
template <bool Move, class Entries>
PyObject* map_to_py(Entries& entries, const StructMap& structs) {
  RecursionGuard guard(kToPyWhere);
  if (!guard) return nullptr;
  // Room for every entry up front: no resizing, so no rehashing, as it fills.
  Ref dict = Ref::steal(new_dict_for(entries.size()));
  if (!dict) return nullptr;
  for (auto& [k, v] : entries) {
    Ref key = Ref::steal(map_item_to_py<Move>(k, structs));
    if (!key) return nullptr;
    Ref value = Ref::steal(map_item_to_py<Move>(v, structs));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

template <bool Move>
PyObject* to_py(ValueArg<Move> value, const StructMap& structs) {
  switch (value.kind()) {
    case ast::Kind::List: return list_to_py<Move>(value.template get_if<ThriftValue::List>()->values, structs);
    case ast::Kind::Set: return list_to_py<Move>(value.template get_if<ThriftValue::Set>()->values, structs);
    case ast::Kind::Map: return map_to_py<Move>(value.template get_if<ThriftValue::Map>()->entries, structs);
    case ast::Kind::Struct: {
      StructLookup lookup(structs);
      return struct_value_to_py<Move>(value, lookup, structs);
    }
    default: return scalar_to_py(value);
  }
}

}  // namespace

void discard_error(const core::Error& error) noexcept {
  if (error.kind == core::ErrorKind::PyErrSet) PyErr_Clear();
}

bool is_fatal_error(const core::Error& error) noexcept {
  switch (error.kind) {
    case core::ErrorKind::MemoryError:
    case core::ErrorKind::Panic: return true;
    case core::ErrorKind::PyErrSet:
      return PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_MemoryError);
    default: return false;
  }
}

Result<ThriftValue> py_any_to_thrift_value(PyObject* o) {
  try {
    return untyped(o);
  } catch (const std::bad_alloc&) {
    return core::memory_error();
  }
}

Result<ThriftValue> py_any_to_thrift_value_with_type(PyObject* o, const ThriftType& type, const StructMap& structs) {
  try {
    return typed(o, type, structs);
  } catch (const std::bad_alloc&) {
    return core::memory_error();
  }
}

PyObject* thrift_value_to_py(const ThriftValue& value, const StructMap& structs) {
  try {
    return to_py<false>(value, structs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* thrift_value_to_py(ThriftValue&& value, const StructMap& structs) {
  try {
    return to_py<true>(value, structs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace brovane::python::serde
