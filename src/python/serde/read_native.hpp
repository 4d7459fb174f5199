// Reading values by declared type into ThriftValues, without Python objects:
// request arguments on the server and struct bodies that become instances.
// Needs no interpreter lock.
#pragma once

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "parser/ast.hpp"
#include "protocol/binary.hpp"
#include "protocol/compact.hpp"
#include "protocol/types.hpp"
#include "python/serde/ascii.hpp"
#include "python/serde/bounds.hpp"
#include "python/serde/native.hpp"
#include "python/serde/skip.hpp"
#include "python/serde/try.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::serde {

namespace detail {

using protocol::ProtocolError;
using types::StructMapData;

// Every reader error inside a value read becomes InvalidData carrying the
// error's display text ("IO error: failed to fill whole buffer", ...).
[[gnu::cold, gnu::noinline]] inline protocol::IoError value_read_error(const ProtocolError& e) {
  return protocol::to_io_error_invalid_data(e);
}
[[gnu::cold, gnu::noinline]] inline protocol::IoError unknown_struct_type(std::string_view name) {
  std::string text = "Unknown struct type: ";
  text += name;
  return protocol::IoError{protocol::IoErrorKind::InvalidData, std::move(text)};
}

// Unwraps a reader result inside the functions below, converting its error.
#define BRV_READ(expr)                                                      \
  ({                                                                        \
    auto&& brv_read_r_ = (expr);                                            \
    if (!brv_read_r_.has_value()) [[unlikely]]                              \
      return std::unexpected(::brovane::python::serde::detail::value_read_error(brv_read_r_.error())); \
    *std::move(brv_read_r_);                                                \
  })

// The same for a read that yields a string_view, taken apart field by field:
// copying the result whole reloads the two words just stored as one wide
// load, which waits for both stores to drain.
#define BRV_READ_VIEW(expr)                                                 \
  ({                                                                        \
    auto&& brv_read_r_ = (expr);                                            \
    if (!brv_read_r_.has_value()) [[unlikely]]                              \
      return std::unexpected(::brovane::python::serde::detail::value_read_error(brv_read_r_.error())); \
    const char* brv_read_p_ = brv_read_r_->data();                          \
    const std::size_t brv_read_n_ = brv_read_r_->size();                    \
    std::string_view(brv_read_p_, brv_read_n_);                             \
  })

// A UTF-8 checked string read. The Binary and Compact string is the prefixed
// bytes and then the check, as their own string read does; done here, the
// view is handed on field by field instead of being copied whole.
template <protocol::InputProtocol R>
[[gnu::always_inline]] inline protocol::PResult<std::string_view> read_text(R& r) {
  if constexpr (std::is_same_v<R, protocol::BinaryProtocolReader> ||
                std::is_same_v<R, protocol::CompactProtocolReader>) {
    auto bytes = r.read_binary_view();
    if (!bytes) [[unlikely]]
      return bytes;
    const std::string_view s(bytes->data(), bytes->size());
    // ASCII is valid UTF-8: only other text needs the full check.
    if (!is_ascii(s.data(), s.size())) [[unlikely]] {
      if (auto checked = protocol::check_utf8(s); !checked) [[unlikely]]
        return std::unexpected(std::move(checked).error());
    }
    return s;
  } else {
    return r.read_string_view();
  }
}

// Where a value read goes: constructed in place in a field slot or at the end
// of a list, or assigned over a placeholder (a struct entry, a map value), so
// no value is moved through a temporary. Not a template parameter on purpose:
// one reader instantiation serves every destination.
class ValueSink {
 public:
  explicit ValueSink(std::optional<ast::ThriftValue>& slot) noexcept : p_(&slot), mode_(Mode::Slot) {}
  explicit ValueSink(std::vector<ast::ThriftValue>& items) noexcept : p_(&items), mode_(Mode::Append) {}
  explicit ValueSink(ast::ThriftValue& target) noexcept : p_(&target), mode_(Mode::Assign) {}

  template <class Alternative>
  [[gnu::always_inline]] void put(Alternative&& v) {
    switch (mode_) {
      case Mode::Slot:
        static_cast<std::optional<ast::ThriftValue>*>(p_)->emplace(std::forward<Alternative>(v));
        return;
      case Mode::Append:
        static_cast<std::vector<ast::ThriftValue>*>(p_)->emplace_back(std::forward<Alternative>(v));
        return;
      case Mode::Assign:
        static_cast<ast::ThriftValue*>(p_)->v = std::forward<Alternative>(v);
        return;
    }
  }

  // A new empty value of alternative `A` in the destination, for the caller
  // to fill in place (a read that fails part way leaves it partly filled;
  // every caller then drops the value that holds it).
  template <class A>
  [[gnu::always_inline]] A& emplace() {
    ast::ThriftValue* v;
    switch (mode_) {
      case Mode::Slot:
        v = &static_cast<std::optional<ast::ThriftValue>*>(p_)->emplace(std::in_place_type<A>);
        break;
      case Mode::Append:
        v = &static_cast<std::vector<ast::ThriftValue>*>(p_)->emplace_back(std::in_place_type<A>);
        break;
      default:
        v = static_cast<ast::ThriftValue*>(p_);
        v->v.template emplace<A>();
        break;
    }
    return *v->template get_if<A>();
  }

 private:
  enum class Mode : std::uint8_t { Slot, Append, Assign };
  void* p_;
  Mode mode_;
};

constexpr bool is_scalar(ast::Kind k) noexcept { return k <= ast::Kind::Binary; }

// One value of a scalar kind, handed to `f` as its ThriftValue alternative.
template <protocol::InputProtocol R, class F>
[[gnu::always_inline]] inline IoStatus read_scalar(R& r, ast::Kind k, F&& f) {
  using V = ast::ThriftValue;
  switch (k) {
    case ast::Kind::Bool: f(V::Bool{BRV_READ(r.read_bool())}); return {};
    case ast::Kind::Byte: f(V::Byte{BRV_READ(r.read_i8())}); return {};
    case ast::Kind::I16: f(V::I16{BRV_READ(r.read_i16())}); return {};
    case ast::Kind::I32: f(V::I32{BRV_READ(r.read_i32())}); return {};
    case ast::Kind::I64: f(V::I64{BRV_READ(r.read_i64())}); return {};
    case ast::Kind::Double: f(V::Double{BRV_READ(r.read_double())}); return {};
    case ast::Kind::String: {
      const std::string_view s = BRV_READ_VIEW(read_text(r));
      f(V::String{std::string(s)});
      return {};
    }
    case ast::Kind::Binary: {
      const std::string_view s = BRV_READ_VIEW(r.read_binary_view());
      const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
      f(V::Binary{std::vector<std::uint8_t>(p, p + s.size())});
      return {};
    }
    default: return {};
  }
}

template <protocol::InputProtocol R>
IoStatus read_native_put(R& r, const ast::ThriftType& type, const StructMapData& map, int depth, ValueSink put);

// A big-endian unsigned integer stored at `p`.
template <class U>
[[gnu::always_inline]] inline U load_be(const char* p) noexcept {
  U v;
  std::memcpy(&v, p, sizeof(U));
  return protocol::to_big_endian(v);
}

// `n` elements of one scalar kind appended to `items`: the kind is decided
// once per list, not per element.
template <ast::Kind K, protocol::InputProtocol R>
IoStatus read_scalar_run(R& r, std::int32_t n, std::vector<ast::ThriftValue>& items) {
  using V = ast::ThriftValue;
  if constexpr (std::is_same_v<R, protocol::BinaryProtocolReader> && K != ast::Kind::String &&
                K != ast::Kind::Binary) {
    // Binary numbers have a fixed width: when the input holds the whole run,
    // it is taken at once and decoded without a check per element. Otherwise
    // the loop below reads up to the point where the input ends.
    constexpr std::size_t width = detail::binary_min_size(K);
    if (n > 0 && static_cast<std::size_t>(n) <= r.remaining() / width) {
      const char* p = r.take_run(static_cast<std::size_t>(n) * width);
      for (std::int32_t i = 0; i < n; ++i, p += width) {
        if constexpr (K == ast::Kind::Bool) {
          items.emplace_back(V::Bool{*p != 0});
        } else if constexpr (K == ast::Kind::Byte) {
          items.emplace_back(V::Byte{static_cast<std::int8_t>(*p)});
        } else if constexpr (K == ast::Kind::I16) {
          items.emplace_back(V::I16{static_cast<std::int16_t>(load_be<std::uint16_t>(p))});
        } else if constexpr (K == ast::Kind::I32) {
          items.emplace_back(V::I32{static_cast<std::int32_t>(load_be<std::uint32_t>(p))});
        } else if constexpr (K == ast::Kind::I64) {
          items.emplace_back(V::I64{static_cast<std::int64_t>(load_be<std::uint64_t>(p))});
        } else {
          items.emplace_back(V::Double{std::bit_cast<double>(load_be<std::uint64_t>(p))});
        }
      }
      return {};
    }
  }
  for (std::int32_t i = 0; i < n; ++i) {
    if constexpr (K == ast::Kind::Bool) {
      items.emplace_back(V::Bool{BRV_READ(r.read_bool())});
    } else if constexpr (K == ast::Kind::Byte) {
      items.emplace_back(V::Byte{BRV_READ(r.read_i8())});
    } else if constexpr (K == ast::Kind::I16) {
      items.emplace_back(V::I16{BRV_READ(r.read_i16())});
    } else if constexpr (K == ast::Kind::I32) {
      items.emplace_back(V::I32{BRV_READ(r.read_i32())});
    } else if constexpr (K == ast::Kind::I64) {
      items.emplace_back(V::I64{BRV_READ(r.read_i64())});
    } else if constexpr (K == ast::Kind::Double) {
      items.emplace_back(V::Double{BRV_READ(r.read_double())});
    } else if constexpr (K == ast::Kind::String) {
      const std::string_view s = BRV_READ_VIEW(read_text(r));
      items.emplace_back(V::String{std::string(s)});
    } else {
      const std::string_view s = BRV_READ_VIEW(r.read_binary_view());
      const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
      items.emplace_back(V::Binary{std::vector<std::uint8_t>(p, p + s.size())});
    }
  }
  return {};
}

template <protocol::InputProtocol R>
IoStatus read_scalar_items(R& r, ast::Kind k, std::int32_t n, std::vector<ast::ThriftValue>& items) {
  switch (k) {
    case ast::Kind::Bool: return read_scalar_run<ast::Kind::Bool>(r, n, items);
    case ast::Kind::Byte: return read_scalar_run<ast::Kind::Byte>(r, n, items);
    case ast::Kind::I16: return read_scalar_run<ast::Kind::I16>(r, n, items);
    case ast::Kind::I32: return read_scalar_run<ast::Kind::I32>(r, n, items);
    case ast::Kind::I64: return read_scalar_run<ast::Kind::I64>(r, n, items);
    case ast::Kind::Double: return read_scalar_run<ast::Kind::Double>(r, n, items);
    case ast::Kind::String: return read_scalar_run<ast::Kind::String>(r, n, items);
    default: return read_scalar_run<ast::Kind::Binary>(r, n, items);
  }
}

// Field values stored by slot (a decoded body that becomes a
// NativeStructValue or an instance): a repeated id, or a second declared field
// of the same name, replaces what was read before.
class SlotStore {
 public:
  SlotStore(std::optional<ast::ThriftValue>* values, std::size_t count) noexcept : values_(values), count_(count) {}
  explicit SlotStore(std::vector<std::optional<ast::ThriftValue>>& values) noexcept
      : SlotStore(values.data(), values.size()) {}

  template <protocol::InputProtocol R>
  IoStatus read(R& r, const types::ThriftField& f, const StructMapData& map, int depth) {
    assert(f.slot < count_);
    return read_native_put(r, f.field_type, map, depth, ValueSink(values_[f.slot]));
  }

 private:
  std::optional<ast::ThriftValue>* values_;
  [[maybe_unused]] std::size_t count_;
};

// Field values as the entries of a nested struct value, in the order first
// seen, with the same replacement rule. A slot's entry is found through the
// position recorded for it, which is meaningful once the slot is marked seen:
// nothing is cleared up front, which matters for the many small structs of a
// list.
class EntryStore {
 public:
  EntryStore(ast::StructFields& out, const types::FieldNames& names) : out_(out) {
    const std::size_t n = names.slot_count();
    if (n > kInline) [[unlikely]]
      heap_.assign(n, -1);
    out_.reserve(n);
  }

  template <protocol::InputProtocol R>
  IoStatus read(R& r, const types::ThriftField& f, const StructMapData& map, int depth) {
    const std::uint32_t slot = f.slot;
    const ast::Kind k = f.field_type.kind();
    std::int32_t pos = position(slot);
    if (pos < 0) {
      pos = static_cast<std::int32_t>(out_.size());
      // The field's own name is its slot's name, and sits beside the slot.
      const std::string_view name = f.name;
      if (is_scalar(k)) {
        // A first scalar value goes straight into a new entry.
        auto s = read_scalar(r, k, [&](auto&& v) { out_.emplace_unique(name, std::move(v)); });
        if (s) [[likely]]
          mark(slot, pos);
        return s;
      }
      out_.emplace_unique(name, ast::ThriftValue::Bool{});
      mark(slot, pos);
    }
    return read_native_put(r, f.field_type, map, depth, ValueSink((out_.begin() + pos)->second));
  }

 private:
  static constexpr std::size_t kInline = 64;  // one bit of `seen_` each

  std::int32_t position(std::uint32_t slot) const noexcept {
    if (heap_.empty()) return (seen_ >> slot) & 1u ? inline_[slot] : -1;
    return heap_[slot];
  }
  void mark(std::uint32_t slot, std::int32_t pos) noexcept {
    if (heap_.empty()) {
      seen_ |= std::uint64_t{1} << slot;
      inline_[slot] = pos;
    } else {
      heap_[slot] = pos;
    }
  }

  ast::StructFields& out_;
  std::uint64_t seen_ = 0;
  std::int32_t inline_[kInline];
  std::vector<std::int32_t> heap_;  // -1 = absent; used instead of the above past kInline slots
};

// What a struct body needs of a field header, small enough to come back in
// a register. A failure leaves its error in `error`.
struct FieldKey {
  protocol::TType type;
  bool ok;
  std::int16_t id;
};
template <protocol::InputProtocol R>
[[gnu::always_inline]] inline FieldKey field_header(R& r, std::optional<ProtocolError>& error) {
  auto h = r.read_field_begin();
  if (!h) [[unlikely]] {
    error.emplace(std::move(h).error());
    return {protocol::TType::Stop, false, 0};
  }
  return {h->field_type, true, h->id};
}

// The field headers and values of one struct body, up to and including its
// Stop header. `depth` counts the levels open around the body, the body
// included.
template <protocol::InputProtocol R, class Store>
IoStatus read_struct_body(R& r, std::span<const types::ThriftField> fields, const types::FieldIndex& index,
                          const StructMapData& map, Store& store, int depth) {
  for (;;) {
    std::optional<ProtocolError> error;
    const FieldKey header = field_header(r, error);
    if (!header.ok) [[unlikely]]
      return std::unexpected(value_read_error(*error));
    const protocol::TType type = header.type;
    if (type == protocol::TType::Stop) return {};
    const std::int32_t pos = index.find(header.id);
    if (pos >= 0) {
      const types::ThriftField& f = fields[static_cast<std::size_t>(pos)];
      auto s = store.read(r, f, map, depth);
      if (!s) [[unlikely]]
        return s;
    } else if (auto s = skip_value(r, type, depth); !s) [[unlikely]] {
      return std::unexpected(
          protocol::IoError{protocol::IoErrorKind::InvalidData, std::move(s).error().text});
    }
    BRV_READ(r.read_field_end());
  }
}

// A struct value of descriptor `d`, named `name` as declared.
template <protocol::InputProtocol R>
IoStatus read_struct_value(R& r, const types::ThriftStruct& d, const std::string& name, const StructMapData& map,
                           int depth, ValueSink put) {
  if (depth >= kMaxNestingDepth) [[unlikely]]
    return std::unexpected(value_read_error(nesting_too_deep()));
  BRV_READ(r.read_struct_begin());
  if (d.field_names) {
    // Built where it goes: the fields are read into their final place.
    ast::ThriftValue::Struct& out = put.emplace<ast::ThriftValue::Struct>();
    out.name.emplace(name);
    EntryStore store(out.fields, *d.field_names);
    if (auto s = read_struct_body(r, d.fields, d.field_index, map, store, depth + 1); !s) [[unlikely]]
      return s;
    BRV_READ(r.read_struct_end());
    return {};
  }
  std::vector<std::optional<ast::ThriftValue>> none;
  SlotStore store(none);
  if (auto s = read_struct_body(r, {}, d.field_index, map, store, depth + 1); !s) [[unlikely]]
    return s;
  BRV_READ(r.read_struct_end());
  put.put(ast::ThriftValue::Struct{name, {}});
  return {};
}

// The descriptor under a declared struct name, or nullptr.
inline const types::ThriftStruct* find_struct(const StructMapData& map, const std::string& name) noexcept {
  const auto it = map.find(name);
  return it == map.end() ? nullptr : &it->second;
}

template <protocol::InputProtocol R>
IoStatus read_native_list(R& r, const ast::ThriftType& elem, bool is_set, const StructMapData& map, int depth,
                          ValueSink put) {
  using V = ast::ThriftValue;
  if (depth >= kMaxNestingDepth) [[unlikely]]
    return std::unexpected(value_read_error(nesting_too_deep()));
  const protocol::ListHeader h = is_set ? BRV_READ(r.read_set_begin()) : BRV_READ(r.read_list_begin());
  std::vector<V> items;
  items.reserve(reserve_hint(r, h.size, elem.kind()));
  if (is_scalar(elem.kind())) {
    if (auto s = read_scalar_items(r, elem.kind(), h.size, items); !s) [[unlikely]]
      return s;
  } else if (const auto* st = elem.get_if<ast::ThriftType::Struct>()) {
    // One look-up for all elements (none for an empty list).
    const types::ThriftStruct* d = h.size > 0 ? find_struct(map, st->name) : nullptr;
    if (h.size > 0 && d == nullptr) [[unlikely]]
      return std::unexpected(unknown_struct_type(st->name));
    for (std::int32_t i = 0; i < h.size; ++i) {
      if (auto s = read_struct_value(r, *d, st->name, map, depth + 1, ValueSink(items)); !s) [[unlikely]]
        return s;
    }
  } else {
    for (std::int32_t i = 0; i < h.size; ++i) {
      if (auto s = read_native_put(r, elem, map, depth + 1, ValueSink(items)); !s) [[unlikely]]
        return s;
    }
  }
  if (is_set) {
    BRV_READ(r.read_set_end());
    put.put(V::Set{std::move(items)});
  } else {
    BRV_READ(r.read_list_end());
    put.put(V::List{std::move(items)});
  }
  return {};
}

// `n` map entries whose key and value kinds are both scalar, each pair built
// in place.
template <protocol::InputProtocol R>
IoStatus read_scalar_entries(R& r, ast::Kind kk, ast::Kind vk, std::int32_t n,
                             std::vector<std::pair<ast::ThriftValue, ast::ThriftValue>>& entries) {
  // Set only by a failed value read, which ends the loop: made once, not per
  // entry (an IoStatus is several words to clear).
  IoStatus value_status;
  for (std::int32_t i = 0; i < n; ++i) {
    auto s = read_scalar(r, kk, [&](auto&& key) {
      auto vs = read_scalar(r, vk, [&](auto&& value) {
        entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(std::move(key)),
                             std::forward_as_tuple(std::move(value)));
      });
      if (!vs) [[unlikely]]
        value_status = std::move(vs);
    });
    if (!s) [[unlikely]]
      return s;
    if (!value_status) [[unlikely]]
      return value_status;
  }
  return {};
}

template <protocol::InputProtocol R>
IoStatus read_native_map(R& r, const ast::ThriftType::Map& type, const StructMapData& map, int depth,
                         ValueSink put) {
  using V = ast::ThriftValue;
  if (depth >= kMaxNestingDepth) [[unlikely]]
    return std::unexpected(value_read_error(nesting_too_deep()));
  const protocol::MapHeader h = BRV_READ(r.read_map_begin());
  std::vector<std::pair<V, V>> entries;
  // A pair costs at least its key and its value.
  entries.reserve(std::min(reserve_hint(r, h.size, type.key->kind()), reserve_hint(r, h.size, type.value->kind())));
  if (is_scalar(type.key->kind()) && is_scalar(type.value->kind())) {
    if (auto s = read_scalar_entries(r, type.key->kind(), type.value->kind(), h.size, entries); !s) [[unlikely]]
      return s;
  } else if (is_scalar(type.key->kind())) {
    // The key is built in place; the value is assigned over a placeholder.
    const ast::Kind k = type.key->kind();
    auto add = [&](auto&& key) {
      entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(std::move(key)),
                           std::forward_as_tuple(V::Bool{}));
    };
    for (std::int32_t i = 0; i < h.size; ++i) {
      if (auto s = read_scalar(r, k, add); !s) [[unlikely]]
        return s;
      if (auto s = read_native_put(r, *type.value, map, depth + 1, ValueSink(entries.back().second)); !s)
        [[unlikely]]
        return s;
    }
  } else {
    std::optional<V> key;
    for (std::int32_t i = 0; i < h.size; ++i) {
      if (auto s = read_native_put(r, *type.key, map, depth + 1, ValueSink(key)); !s) [[unlikely]]
        return s;
      entries.emplace_back(std::move(*key), V(V::Bool{}));
      if (auto s = read_native_put(r, *type.value, map, depth + 1, ValueSink(entries.back().second)); !s)
        [[unlikely]]
        return s;
    }
  }
  BRV_READ(r.read_map_end());
  put.put(V::Map{std::move(entries)});
  return {};
}

template <protocol::InputProtocol R>
IoStatus read_native_put(R& r, const ast::ThriftType& type, const StructMapData& map, int depth, ValueSink put) {
  using T = ast::ThriftType;
  switch (type.kind()) {
    case ast::Kind::List: return read_native_list(r, *std::get<T::List>(type.v).element, false, map, depth, put);
    case ast::Kind::Set: return read_native_list(r, *std::get<T::Set>(type.v).element, true, map, depth, put);
    case ast::Kind::Map: return read_native_map(r, std::get<T::Map>(type.v), map, depth, put);
    case ast::Kind::Struct: {
      const std::string& name = std::get<T::Struct>(type.v).name;
      const types::ThriftStruct* d = find_struct(map, name);
      if (d == nullptr) [[unlikely]]
        return std::unexpected(unknown_struct_type(name));
      return read_struct_value(r, *d, name, map, depth, put);
    }
    default: return read_scalar(r, type.kind(), [&](auto&& v) { put.put(std::move(v)); });
  }
}

#undef BRV_READ
#undef BRV_READ_VIEW

}  // namespace detail

// One value of the declared type. `depth` counts the structs and containers
// already open around it. Errors: InvalidData with the reader error's display
// text, "Unknown struct type: {}" (nothing consumed), or the nesting bound's
// "IO error: maximum nesting depth exceeded".
template <protocol::InputProtocol R>
IoResult<ast::ThriftValue> read_native_value(R& r, const ast::ThriftType& type,
                                             const types::StructMapData& struct_map, int depth = 0) {
  std::optional<ast::ThriftValue> out;
  auto s = detail::read_native_put(r, type, struct_map, depth, detail::ValueSink(out));
  if (!s) [[unlikely]]
    return std::unexpected(std::move(s).error());
  return std::move(*out);
}

// The fields of one struct body up to and including its Stop header. The
// caller has begun the struct (a Compact reader has a last field id on its
// stack, a JSON reader a struct frame on top) and ends it if it needs to.
// Known ids are read by their declared type, others skipped by their wire
// type; no defaults, no required check. `fields[i].slot` indexes the slots of
// `field_names`. `depth` counts the levels open around the body (0 for an
// outermost body).
template <protocol::InputProtocol R>
IoResult<NativeStructValue> deserialize_native_struct(R& r, std::span<const types::ThriftField> fields,
                                                      const types::FieldIndex& field_index,
                                                      std::shared_ptr<const types::FieldNames> field_names,
                                                      const types::StructMapData& struct_map, int depth = 0) {
  NativeStructValue out{std::string(), std::move(field_names), {}};
  out.values.resize(out.field_names ? out.field_names->slot_count() : 0);
  if (depth >= kMaxNestingDepth) [[unlikely]]
    return std::unexpected(detail::value_read_error(nesting_too_deep()));
  detail::SlotStore store(out.values);
  if (auto s = detail::read_struct_body(r, fields, field_index, struct_map, store, depth + 1); !s) [[unlikely]]
    return std::unexpected(std::move(s).error());
  return out;
}

// The same for a descriptor's fields, index and names.
template <protocol::InputProtocol R>
IoResult<NativeStructValue> deserialize_native_struct(R& r, const types::ThriftStruct& d,
                                                      const types::StructMapData& struct_map, int depth = 0) {
  return deserialize_native_struct(r, d.fields, d.field_index, d.field_names, struct_map, depth);
}

}  // namespace brovane::python::serde
