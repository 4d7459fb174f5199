#include "python/serde/json_values.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "protocol/base64.hpp"
#include "protocol/json_reader.hpp"
#include "python/types/instance_data.hpp"
#include "python/types/struct_instance.hpp"

namespace brovane::python::serde {

namespace {

using protocol::Json;
using T = ast::ThriftType;

[[gnu::cold, gnu::noinline]] PyObject* raise_type(const char* text) noexcept {
  PyErr_SetString(PyExc_TypeError, text);
  return nullptr;
}

// ValueError with a prefix and a text that may hold any bytes of the input.
[[gnu::cold, gnu::noinline]] PyObject* raise_value(std::string_view prefix, std::string_view text) noexcept {
  std::string msg;
  try {
    msg.reserve(prefix.size() + text.size());
    msg += prefix;
    msg += text;
  } catch (...) {
    return PyErr_NoMemory();
  }
  PyObject* s = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
  if (s == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, s);
  Py_DECREF(s);
  return nullptr;
}

inline PyObject* new_str(std::string_view s) noexcept {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

// An integer's value; nothing for floats, non-numbers and unsigned values
// above the signed 64-bit maximum.
inline std::optional<std::int64_t> integer_of(const Json& v) noexcept {
  std::int64_t n = 0;
  if (!protocol::json_as_i64(v, n)) return std::nullopt;
  return n;
}

// Decimal text of a fixed width, or nothing when it does not parse or fit.
template <class Int>
std::optional<Int> decimal_of(std::string_view text) noexcept {
  const std::optional<std::int64_t> v = protocol::json_text_to_i64(text);
  if (!v || !std::in_range<Int>(*v)) return std::nullopt;
  return static_cast<Int>(*v);
}

bool is_true_text(std::string_view s) noexcept {
  if (s == "1") return true;
  if (s.size() != 4) return false;
  constexpr std::string_view kTrue = "true";
  // Setting bit 5 lowers an ASCII capital and maps no other byte onto a
  // lower-case letter.
  for (std::size_t i = 0; i < 4; ++i)
    if ((s[i] | 0x20) != kTrue[i]) return false;
  return true;
}

PyObject* bool_of(const Json& v) noexcept {
  if (const auto* b = v.get_ptr<const Json::boolean_t*>()) return PyBool_FromLong(*b);
  const std::optional<std::int64_t> n = integer_of(v);
  return PyBool_FromLong(n && *n != 0);
}

PyObject* i64_of(const Json& v) noexcept {
  if (const std::optional<std::int64_t> n = integer_of(v)) return PyLong_FromLongLong(*n);
  if (const auto* s = v.get_ptr<const Json::string_t*>())
    return PyLong_FromLongLong(protocol::json_text_to_i64(*s).value_or(0));
  return PyLong_FromLong(0);
}

PyObject* double_of(const Json& v) noexcept {
  switch (v.type()) {
    case Json::value_t::number_float: return PyFloat_FromDouble(*v.get_ptr<const Json::number_float_t*>());
    case Json::value_t::number_unsigned:
      return PyFloat_FromDouble(static_cast<double>(*v.get_ptr<const Json::number_unsigned_t*>()));
    case Json::value_t::number_integer:
      return PyFloat_FromDouble(static_cast<double>(*v.get_ptr<const Json::number_integer_t*>()));
    case Json::value_t::string:
      return PyFloat_FromDouble(protocol::json_text_to_double(*v.get_ptr<const Json::string_t*>()).value_or(0.0));
    default: return PyFloat_FromDouble(0.0);
  }
}

// One conversion: the map that names resolve through and the scratch buffer
// that base64 text is decoded into, reused for every binary value.
class Converter {
 public:
  explicit Converter(const types::StructMap& structs) noexcept
      : structs_(structs ? structs : types::empty_struct_map()) {}

  PyObject* value(const Json& v, const T& type);
  PyObject* instance(const Json::object_t& object, const types::ThriftStruct& d, std::string&& name);

 private:
  PyObject* binary(const Json& v);
  PyObject* list(const Json& v, const T& elem);
  PyObject* map(const Json& v, const T::Map& type);
  PyObject* key(const std::string& text, const T& type) noexcept;
  PyObject* struct_value(const Json& v, const std::string& name);

  const types::StructMap& structs_;
  std::string scratch_;
};

PyObject* Converter::value(const Json& v, const T& type) {
  switch (type.kind()) {
    case ast::Kind::Bool: return bool_of(v);
    case ast::Kind::Byte: return PyLong_FromLong(static_cast<std::int8_t>(integer_of(v).value_or(0)));
    case ast::Kind::I16: return PyLong_FromLong(static_cast<std::int16_t>(integer_of(v).value_or(0)));
    case ast::Kind::I32: return PyLong_FromLong(static_cast<std::int32_t>(integer_of(v).value_or(0)));
    case ast::Kind::I64: return i64_of(v);
    case ast::Kind::Double: return double_of(v);
    case ast::Kind::String: {
      const auto* s = v.get_ptr<const Json::string_t*>();
      return s ? new_str(*s) : PyUnicode_New(0, 0);
    }
    case ast::Kind::Binary: return binary(v);
    case ast::Kind::List: return list(v, *std::get<T::List>(type.v).element);
    case ast::Kind::Set: return list(v, *std::get<T::Set>(type.v).element);
    case ast::Kind::Map: return map(v, std::get<T::Map>(type.v));
    case ast::Kind::Struct: return struct_value(v, std::get<T::Struct>(type.v).name);
  }
  Py_RETURN_NONE;
}

PyObject* Converter::binary(const Json& v) {
  const auto* s = v.get_ptr<const Json::string_t*>();
  if (s == nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
  scratch_.clear();
  if (auto r = protocol::base64_decode_append(*s, scratch_); !r) [[unlikely]]
    return raise_value("Base64 error: ", r.error().display());
  return PyBytes_FromStringAndSize(scratch_.data(), static_cast<Py_ssize_t>(scratch_.size()));
}

// ["<elem type>", count, item, ...]: every item after the first two, whatever
// the count says.
PyObject* Converter::list(const Json& v, const T& elem) {
  const auto* a = v.get_ptr<const Json::array_t*>();
  if (a == nullptr) [[unlikely]]
    return raise_type("Expected JSON array");
  const std::size_t n = a->size() < 2 ? 0 : a->size() - 2;
  core::Ref out = core::Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out) [[unlikely]]
    return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = value((*a)[i + 2], elem);
    if (item == nullptr) [[unlikely]]
      return nullptr;  // the list frees the items it holds; empty slots are null
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

// ["<key type>", "<value type>", count, {"<key text>": value, ...}].
PyObject* Converter::map(const Json& v, const T::Map& type) {
  const auto* a = v.get_ptr<const Json::array_t*>();
  if (a == nullptr) [[unlikely]]
    return raise_type("Expected JSON array for map");
  if (a->size() < 4) [[unlikely]]
    return raise_type("Map array too short");
  const auto* entries = (*a)[3].get_ptr<const Json::object_t*>();
  if (entries == nullptr) [[unlikely]]
    return raise_type("Expected JSON object in map");
  core::Ref out = core::Ref::steal(PyDict_New());
  if (!out) [[unlikely]]
    return nullptr;
  for (const auto& [text, item] : *entries) {
    core::Ref k = core::Ref::steal(key(text, *type.key));
    if (!k) [[unlikely]]
      return nullptr;
    core::Ref val = core::Ref::steal(value(item, *type.value));
    if (!val) [[unlikely]]
      return nullptr;
    // Texts that give equal keys (1 and 01) leave the later one's value.
    if (PyDict_SetItem(out.get(), k.get(), val.get()) < 0) [[unlikely]]
      return nullptr;
  }
  return out.release();
}

PyObject* Converter::key(const std::string& text, const T& type) noexcept {
  switch (type.kind()) {
    case ast::Kind::Bool: return PyBool_FromLong(is_true_text(text));
    case ast::Kind::Byte: return PyLong_FromLong(decimal_of<std::int8_t>(text).value_or(0));
    case ast::Kind::I16: return PyLong_FromLong(decimal_of<std::int16_t>(text).value_or(0));
    case ast::Kind::I32: return PyLong_FromLong(decimal_of<std::int32_t>(text).value_or(0));
    case ast::Kind::I64: return PyLong_FromLongLong(decimal_of<std::int64_t>(text).value_or(0));
    case ast::Kind::Double: return PyFloat_FromDouble(protocol::json_text_to_double(text).value_or(0.0));
    default: return new_str(text);  // binary keys stay base64 text
  }
}

PyObject* Converter::struct_value(const Json& v, const std::string& name) {
  // The name decides first: an unknown struct is reported whatever the value.
  const auto it = structs_->find(name);
  if (it == structs_->end()) [[unlikely]]
    return raise_value("Unknown struct: ", name);
  const auto* object = v.get_ptr<const Json::object_t*>();
  if (object == nullptr) [[unlikely]]
    return raise_type("Expected JSON object for struct");
  return instance(*object, it->second, std::string(name));
}

PyObject* Converter::instance(const Json::object_t& object, const types::ThriftStruct& d, std::string&& name) {
  types::InstanceData data(d.instance_layout(name, structs_));
  data.size_stores();
  if (!d.fields.empty()) {
    for (const auto& [key_text, member] : object) {
      const auto* pair = member.get_ptr<const Json::array_t*>();
      if (pair == nullptr || pair->size() < 2) continue;
      const std::int32_t pos = d.field_index.find(decimal_of<std::int16_t>(key_text).value_or(0));
      if (pos < 0) continue;
      const types::ThriftField& f = d.fields[static_cast<std::size_t>(pos)];
      if (f.slot >= data.py_values.size()) [[unlikely]]
        continue;  // a descriptor without name slots has nowhere to keep it
      PyObject* v = value((*pair)[1], f.field_type);
      if (v == nullptr) [[unlikely]]
        return nullptr;  // `data` releases what it holds
      // A later member for the same field replaces the earlier value.
      Py_XSETREF(data.py_values[f.slot], v);
    }
  }
  return types::new_instance_object(std::move(data));
}

}  // namespace

core::Result<core::Ref> json_value_to_py(const protocol::Json& value, const ast::ThriftType& type,
                                         const types::StructMap& structs) {
  Converter c(structs);
  return core::checked(c.value(value, type));
}

core::Result<core::Ref> json_object_to_instance(const protocol::Json::object_t& object, const types::ThriftStruct& d,
                                                std::string struct_name, const types::StructMap& structs) {
  Converter c(structs);
  return core::checked(c.instance(object, d, std::move(struct_name)));
}

}  // namespace brovane::python::serde
