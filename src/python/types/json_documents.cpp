#include "python/types/json_documents.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/base64.hpp"
#include "protocol/json_reader.hpp"
#include "python/serde/json_values.hpp"
#include "python/types/instance_data.hpp"
#include "python/types/struct_instance.hpp"

namespace brovane::python::types {

namespace {

using protocol::Json;
using T = ast::ThriftType;
using V = ast::ThriftValue;

[[gnu::cold, gnu::noinline]] core::Unexpected not_an_integer() { return core::value_error("expected JSON integer"); }

// The document's bytes: the input without its length prefix when it has one.
// The prefix is a big-endian count of the bytes after it, so a document
// whose first four bytes merely happen to read as its remaining length would
// have to be hundreds of megabytes long (its first byte is text).
std::string_view without_length_prefix(std::string_view in) noexcept {
  if (in.size() < 4) return in;
  const auto* b = reinterpret_cast<const unsigned char*>(in.data());
  const std::uint64_t n = (std::uint64_t{b[0]} << 24) | (std::uint64_t{b[1]} << 16) | (std::uint64_t{b[2]} << 8) | b[3];
  return n == in.size() - 4 ? in.substr(4) : in;
}

template <class Int>
Int decimal_or_zero(std::string_view text) noexcept {
  const std::optional<std::int64_t> v = protocol::json_text_to_i64(text);
  return v && std::in_range<Int>(*v) ? static_cast<Int>(*v) : Int{0};
}

// Payload values into ThriftValues; one per call, holding the map that
// nested struct names resolve through and a scratch buffer for base64.
class PayloadConverter {
 public:
  explicit PayloadConverter(const StructMap& structs) noexcept : structs_(structs ? structs : empty_struct_map()) {}

  core::Result<V> value(const Json& v, const T& type);
  // The declared fields of `d` found in `object` by name, converted, or
  // their defaults; stored into `put(field, value)`.
  template <class Put>
  core::Status fields(const ThriftStruct& d, const Json::object_t& object, Put&& put);

 private:
  V binary(const Json& v);
  core::Result<V> list(const Json& v, const T& elem, bool is_set);
  core::Result<V> map(const Json& v, const T::Map& type);
  static V key(const std::string& text, const T& type);
  core::Result<V> struct_value(const Json& v, const std::string& name);

  const StructMap& structs_;
  std::string scratch_;
};

template <class Put>
core::Status PayloadConverter::fields(const ThriftStruct& d, const Json::object_t& object, Put&& put) {
  for (const ThriftField& f : d.fields) {
    const auto m = object.find(f.name);
    if (m != object.end()) {
      BRV_ASSIGN(V v, value(m->second, f.field_type));
      put(f, std::move(v));
    } else if (f.default_value) {
      put(f, V(*f.default_value));
    }
  }
  return {};
}

core::Result<V> PayloadConverter::value(const Json& v, const T& type) {
  switch (type.kind()) {
    case ast::Kind::Bool: {
      if (const auto* b = v.get_ptr<const Json::boolean_t*>()) return V::Bool{*b};
      std::int64_t n = 0;
      return V::Bool{protocol::json_as_i64(v, n) && n != 0};
    }
    case ast::Kind::Byte: return V::Byte{static_cast<std::int8_t>(BRV_TRY(json_i64(v)))};
    case ast::Kind::I16: return V::I16{static_cast<std::int16_t>(BRV_TRY(json_i64(v)))};
    case ast::Kind::I32: return V::I32{static_cast<std::int32_t>(BRV_TRY(json_i64(v)))};
    case ast::Kind::I64: return V::I64{BRV_TRY(json_i64(v))};
    case ast::Kind::Double:
      // Numbers only: unlike id-keyed values, strings are not parsed here.
      switch (v.type()) {
        case Json::value_t::number_float: return V::Double{*v.get_ptr<const Json::number_float_t*>()};
        case Json::value_t::number_unsigned:
          return V::Double{static_cast<double>(*v.get_ptr<const Json::number_unsigned_t*>())};
        case Json::value_t::number_integer:
          return V::Double{static_cast<double>(*v.get_ptr<const Json::number_integer_t*>())};
        default: return V::Double{0.0};
      }
    case ast::Kind::String: {
      const auto* s = v.get_ptr<const Json::string_t*>();
      return s ? V::String{*s} : V::String{};
    }
    case ast::Kind::Binary: return binary(v);
    case ast::Kind::List: return list(v, *std::get<T::List>(type.v).element, false);
    case ast::Kind::Set: return list(v, *std::get<T::Set>(type.v).element, true);
    case ast::Kind::Map: return map(v, std::get<T::Map>(type.v));
    case ast::Kind::Struct: return struct_value(v, std::get<T::Struct>(type.v).name);
  }
  return V(V::Bool{});
}

// Base64 text as the JSON writer emits it; any other string stands for its
// own bytes.
V PayloadConverter::binary(const Json& v) {
  const auto* s = v.get_ptr<const Json::string_t*>();
  if (s == nullptr) return V::Binary{};
  scratch_.clear();
  const std::string_view bytes = protocol::base64_decode_append(*s, scratch_) ? std::string_view(scratch_)
                                                                              : std::string_view(*s);
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  return V::Binary{std::vector<std::uint8_t>(p, p + bytes.size())};
}

core::Result<V> PayloadConverter::list(const Json& v, const T& elem, bool is_set) {
  std::vector<V> values;
  if (const auto* a = v.get_ptr<const Json::array_t*>()) {
    values.reserve(a->size());
    for (const Json& item : *a) values.push_back(BRV_TRY(value(item, elem)));
  }
  if (is_set) return V::Set{std::move(values)};
  return V::List{std::move(values)};
}

core::Result<V> PayloadConverter::map(const Json& v, const T::Map& type) {
  V::Map out;
  if (const auto* o = v.get_ptr<const Json::object_t*>()) {
    out.entries.reserve(o->size());
    for (const auto& [text, item] : *o) {
      V k = key(text, *type.key);
      V val = BRV_TRY(value(item, *type.value));
      out.entries.emplace_back(std::move(k), std::move(val));
    }
  }
  return V(std::move(out));
}

V PayloadConverter::key(const std::string& text, const T& type) {
  switch (type.kind()) {
    case ast::Kind::Bool: return V::Bool{text == "1" || text == "true"};
    case ast::Kind::Byte: return V::Byte{decimal_or_zero<std::int8_t>(text)};
    case ast::Kind::I16: return V::I16{decimal_or_zero<std::int16_t>(text)};
    case ast::Kind::I32: return V::I32{decimal_or_zero<std::int32_t>(text)};
    case ast::Kind::I64: return V::I64{decimal_or_zero<std::int64_t>(text)};
    case ast::Kind::Double: return V::Double{protocol::json_text_to_double(text).value_or(0.0)};
    default: return V::String{text};
  }
}

core::Result<V> PayloadConverter::struct_value(const Json& v, const std::string& name) {
  V::Struct out;
  out.name = name;
  const auto it = structs_->find(name);
  const auto* object = v.get_ptr<const Json::object_t*>();
  if (it != structs_->end() && object != nullptr) {
    const ThriftStruct& d = it->second;
    // Distinct field names (the usual case) need no search for an entry to
    // replace.
    const bool distinct = d.field_names && d.field_names->slot_count() == d.fields.size();
    out.fields.reserve(d.fields.size());
    BRV_CHECK(fields(d, *object, [&](const ThriftField& f, V&& val) {
      if (distinct)
        out.fields.emplace_unique(f.name, std::move(val));
      else
        out.fields.set(f.name, std::move(val));
    }));
  }
  return V(std::move(out));
}

// The instance parts every document form shares: the descriptor's name,
// field tables and map; both stores empty.
InstanceData empty_instance_of(const ThriftStruct& d) {
  InstanceData data(d.instance_layout());
  data.size_stores();
  return data;
}

core::Result<core::Ref> payload_instance(const ThriftStruct& d, const Json::object_t& payload) {
  InstanceData data = empty_instance_of(d);
  PayloadConverter c(data.struct_map());
  BRV_CHECK(c.fields(d, payload, [&](const ThriftField& f, V&& val) {
    if (f.slot < data.thrift_values.size()) [[likely]]
      data.thrift_values[f.slot] = std::move(val);
  }));
  return core::checked(new_instance_object(std::move(data)));
}

}  // namespace

core::Result<std::int64_t> json_i64(const protocol::Json& value) {
  std::int64_t n = 0;
  if (protocol::json_as_i64(value, n)) return n;
  if (const auto* s = value.get_ptr<const Json::string_t*>())
    if (const std::optional<std::int64_t> parsed = protocol::json_text_to_i64(*s)) return *parsed;
  return not_an_integer();
}

core::Result<ast::ThriftValue> json_payload_to_thrift_value(const protocol::Json& value, const ast::ThriftType& type,
                                                           const StructMap& structs) {
  PayloadConverter c(structs);
  return c.value(value, type);
}

// Both forms are read from the same bytes (the prefix stripped when there is
// one), so one parse serves both: an id-keyed document behind a prefix is
// accepted too.
core::Result<core::Ref> deserialize_json_document(const ThriftStruct& d, std::string_view input) {
  auto parsed = protocol::parse_json(without_length_prefix(input));
  if (!parsed) [[unlikely]]
    return core::value_error("JSON parse error: " + parsed.error().display());
  const auto* object = parsed->get_ptr<const Json::object_t*>();
  if (object == nullptr) [[unlikely]]
    return core::type_error("Expected JSON object for struct");
  if (const auto p = object->find("payload"); p != object->end())
    if (const auto* payload = p->second.get_ptr<const Json::object_t*>()) return payload_instance(d, *payload);
  return serde::json_object_to_instance(*object, d, d.name, d.struct_map ? d.struct_map : empty_struct_map());
}

}  // namespace brovane::python::types
