// Writing a stored ThriftValue (a value read from the wire, a declared default,
// the converted mirror of an assignment), guided by the value alone: each value
// goes out with the wire type of its own variant.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "parser/ast.hpp"
#include "protocol/types.hpp"
#include "python/serde/bounds.hpp"
#include "python/serde/native.hpp"
#include "python/serde/try.hpp"
#include "python/serde/ttype.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::serde {

// Stored values are finite trees built by bounded producers (decoders, the
// IDL parser, conversions under the interpreter's recursion limit); this
// bound only keeps a pathological tree from exhausting the stack.
inline constexpr int kMaxStoredValueDepth = 1000;

namespace detail {

using protocol::PStatus;
using protocol::TType;

[[gnu::cold, gnu::noinline]] inline protocol::ProtocolError stored_too_deep() {
  return protocol::ProtocolError::invalid_data(std::string(kNestingTooDeepText));
}
[[gnu::cold, gnu::noinline]] inline protocol::ProtocolError stored_too_large(std::size_t n) {
  return protocol::ProtocolError::invalid_data("container of " + std::to_string(n) +
                                                " elements is too large for a Thrift header");
}

inline bool fits_i32(std::size_t n) noexcept {
  return n <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
}

// The element type of a container header: that of its first entry, String
// when empty.
inline TType first_type(const std::vector<ast::ThriftValue>& items) noexcept {
  return items.empty() ? TType::String : thrift_type_to_ttype(items.front());
}

template <protocol::OutputProtocol W>
PStatus write_stored(W& w, const ast::ThriftValue& value, const types::StructMapData& map, int depth);

template <protocol::OutputProtocol W>
PStatus write_stored_field(W& w, std::int16_t id, const ast::ThriftValue& value,
                           const types::StructMapData& map, int depth) {
  BRV_SERDE_TRY_VOID(w.write_field_begin(protocol::FieldHeader{thrift_type_to_ttype(value), id}));
  BRV_SERDE_TRY_VOID(write_stored(w, value, map, depth));
  return w.write_field_end();
}

// The id of the first declared field named like fields[i].
inline std::int16_t first_id_of_name(std::span<const types::ThriftField> fields, std::size_t i) noexcept {
  for (std::size_t j = 0; j < i; ++j)
    if (fields[j].slot == fields[i].slot) return fields[j].id;
  return fields[i].id;
}

template <protocol::OutputProtocol W>
PStatus write_stored_struct(W& w, const ast::ThriftValue::Struct& s, const types::StructMapData& map,
                            int depth) {
  BRV_SERDE_TRY_VOID(w.write_struct_begin());
  const types::ThriftStruct* d = nullptr;
  if (s.name && !map.empty()) {
    if (auto it = map.find(*s.name); it != map.end()) d = &it->second;
  }
  if (d != nullptr) {
    // Declared fields in declaration order, those with an entry only.
    // Entries decoded from the wire are already in declaration order, so the
    // next entry is tried before a search.
    const auto& entries = s.fields.entries();
    const bool repeated_names = d->field_names && d->field_names->size() != d->field_names->slot_count();
    std::size_t next = 0;
    for (std::size_t i = 0; i < d->fields.size(); ++i) {
      const types::ThriftField& f = d->fields[i];
      const ast::ThriftValue* v = nullptr;
      if (next < entries.size() && entries[next].first == f.name) {
        v = &entries[next++].second;
      } else {
        v = s.fields.find(f.name);
      }
      if (v == nullptr) continue;
      const std::int16_t id = repeated_names ? first_id_of_name(d->fields, i) : f.id;
      BRV_SERDE_TRY_VOID(write_stored_field(w, id, *v, map, depth));
    }
  } else {
    // Unknown or absent name: every entry, in stored order, with id 0.
    for (const auto& [name, v] : s.fields) BRV_SERDE_TRY_VOID(write_stored_field(w, 0, v, map, depth));
  }
  BRV_SERDE_TRY_VOID(w.write_field_stop());
  return w.write_struct_end();
}

template <protocol::OutputProtocol W>
PStatus write_stored(W& w, const ast::ThriftValue& value, const types::StructMapData& map, int depth) {
  using V = ast::ThriftValue;
  switch (value.kind()) {
    case ast::Kind::Bool: return w.write_bool(std::get<V::Bool>(value.v).value);
    case ast::Kind::Byte: return w.write_i8(std::get<V::Byte>(value.v).value);
    case ast::Kind::I16: return w.write_i16(std::get<V::I16>(value.v).value);
    case ast::Kind::I32: return w.write_i32(std::get<V::I32>(value.v).value);
    case ast::Kind::I64: return w.write_i64(std::get<V::I64>(value.v).value);
    case ast::Kind::Double: return w.write_double(std::get<V::Double>(value.v).value);
    case ast::Kind::String: return w.write_string(std::get<V::String>(value.v).value);
    case ast::Kind::Binary: {
      const auto& b = std::get<V::Binary>(value.v).value;
      return w.write_binary(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    default: break;
  }
  if (depth >= kMaxStoredValueDepth) [[unlikely]]
    return std::unexpected(stored_too_deep());
  switch (value.kind()) {
    case ast::Kind::List:
    case ast::Kind::Set: {
      // A set goes out exactly as a list: only the enclosing header says "set".
      const auto& items = value.kind() == ast::Kind::List ? std::get<V::List>(value.v).values
                                                          : std::get<V::Set>(value.v).values;
      if (!fits_i32(items.size())) [[unlikely]]
        return std::unexpected(stored_too_large(items.size()));
      BRV_SERDE_TRY_VOID(w.write_list_begin(
          protocol::ListHeader{first_type(items), static_cast<std::int32_t>(items.size())}));
      for (const V& item : items) BRV_SERDE_TRY_VOID(write_stored(w, item, map, depth + 1));
      return w.write_list_end();
    }
    case ast::Kind::Map: {
      const auto& entries = std::get<V::Map>(value.v).entries;
      if (!fits_i32(entries.size())) [[unlikely]]
        return std::unexpected(stored_too_large(entries.size()));
      protocol::MapHeader h{TType::String, TType::String, static_cast<std::int32_t>(entries.size())};
      if (!entries.empty()) {
        h.key_type = thrift_type_to_ttype(entries.front().first);
        h.value_type = thrift_type_to_ttype(entries.front().second);
      }
      BRV_SERDE_TRY_VOID(w.write_map_begin(h));
      for (const auto& [k, v] : entries) {
        BRV_SERDE_TRY_VOID(write_stored(w, k, map, depth + 1));
        BRV_SERDE_TRY_VOID(write_stored(w, v, map, depth + 1));
      }
      return w.write_map_end();
    }
    case ast::Kind::Struct: return write_stored_struct(w, std::get<V::Struct>(value.v), map, depth + 1);
    default: return {};
  }
}

}  // namespace detail

// Writes one stored value by its own variant. Container headers take their
// types from the first entry (String for an empty container); a struct value
// whose name the map knows is written by the descriptor's field order and ids,
// any other struct value with all entries under id 0. Errors: the first
// failing writer operation, converted as the client and server convert
// protocol errors.
template <protocol::OutputProtocol W>
IoStatus write_thrift_value(W& w, const ast::ThriftValue& value, const types::StructMapData& struct_map) {
  if (auto s = detail::write_stored(w, value, struct_map, 0); !s) [[unlikely]]
    return std::unexpected(protocol::to_io_error(std::move(s).error()));
  return {};
}

}  // namespace brovane::python::serde
