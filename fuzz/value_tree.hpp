// A fixed schema that uses every Thrift type, a plain value tree, and one
// reader/writer pair over it written once for every codec: what the codec
// fuzz targets decode, re-encode and decode again. Nothing here depends on
// the Python layer; reads follow the declared type and skip unknown fields
// by their wire type, as the product's readers do.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "protocol/base64.hpp"
#include "protocol/binary.hpp"
#include "protocol/compact.hpp"
#include "protocol/json_reader.hpp"
#include "protocol/json_text.hpp"
#include "protocol/json_writer.hpp"
#include "protocol/types.hpp"

namespace brovane::fuzz {

using protocol::FieldHeader;
using protocol::ListHeader;
using protocol::MapHeader;
using protocol::MessageHeader;
using protocol::PResult;
using protocol::ProtocolError;
using protocol::PStatus;
using protocol::TType;

// Structs, lists, sets and maps inside one another that a decode accepts.
inline constexpr int kMaxDepth = 128;

enum class Kind : std::uint8_t { Bool, Byte, I16, I32, I64, Double, String, Binary, List, Set, Map, Struct };

struct Type {
  Kind kind;
  const Type* a = nullptr;  // element, map key
  const Type* b = nullptr;  // map value
};

struct FieldDef {
  std::int16_t id;
  const Type* type;
  // Map keys that the JSON protocol cannot carry (containers as keys), so
  // the JSON target leaves the field undeclared and skips it.
  bool binary_only = false;
};

namespace schema {
inline constexpr Type kBool{Kind::Bool}, kByte{Kind::Byte}, kI16{Kind::I16}, kI32{Kind::I32},
    kI64{Kind::I64}, kDouble{Kind::Double}, kString{Kind::String}, kBinary{Kind::Binary};
// Every struct in the schema is the one struct below, so it nests to any depth.
inline constexpr Type kNode{Kind::Struct};
inline constexpr Type kListI32{Kind::List, &kI32};
inline constexpr Type kSetString{Kind::Set, &kString};
inline constexpr Type kMapStringI64{Kind::Map, &kString, &kI64};
inline constexpr Type kListNode{Kind::List, &kNode};
inline constexpr Type kListDouble{Kind::List, &kDouble};
inline constexpr Type kMapI16ListDouble{Kind::Map, &kI16, &kListDouble};
inline constexpr Type kMapBinaryBool{Kind::Map, &kBinary, &kBool};
inline constexpr Type kListBool{Kind::List, &kBool};
inline constexpr Type kSetBinary{Kind::Set, &kBinary};
inline constexpr Type kMapDoubleNode{Kind::Map, &kDouble, &kNode};
inline constexpr Type kMapBoolByte{Kind::Map, &kBool, &kByte};
inline constexpr Type kMapI8I32{Kind::Map, &kByte, &kI32};
inline constexpr Type kMapI32String{Kind::Map, &kI32, &kString};
inline constexpr Type kMapI64String{Kind::Map, &kI64, &kString};
inline constexpr Type kListMapI64String{Kind::List, &kMapI64String};
inline constexpr Type kListListMap{Kind::List, &kListMapI64String};
inline constexpr Type kSetListI32{Kind::Set, &kListI32};
inline constexpr Type kMapListI32Node{Kind::Map, &kListI32, &kNode};
inline constexpr Type kMapNodeString{Kind::Map, &kNode, &kString};

inline constexpr FieldDef kFields[] = {
    {1, &kBool},
    {2, &kByte},
    {3, &kI16},
    {4, &kI32},
    {5, &kI64},
    {6, &kDouble},
    {7, &kString},
    {8, &kBinary},
    {9, &kListI32},
    {10, &kSetString},
    {11, &kMapStringI64},
    {12, &kNode},
    {13, &kListNode},
    {14, &kMapI16ListDouble},
    {15, &kMapBinaryBool},
    {16, &kListBool},
    {17, &kSetBinary},
    {18, &kMapDoubleNode},
    {19, &kMapBoolByte},
    {20, &kMapI8I32},
    {21, &kMapI32String},
    {22, &kBool},  // a second Bool: Compact folds both into field headers
    {40, &kListListMap},
    {41, &kSetListI32},
    {300, &kI32},     // long-form field id in Compact
    {-5, &kString},   // negative id
    {32767, &kBool},  // largest id, a Bool in a long-form header
    {50, &kMapListI32Node, true},
    {51, &kMapNodeString, true},
};
}  // namespace schema

// A decoded value. Scalars use `i` (Bool, Byte, I16, I32, I64), `d` or `s`
// (String, Binary); List and Set hold `items`; Map holds keys and values
// alternately in `items`; Struct holds its present fields in `items` in
// schema order, each tagged with its id.
struct Value {
  Kind kind = Kind::Bool;
  std::int16_t field_id = 0;
  std::int64_t i = 0;
  double d = 0.0;
  std::string s;
  std::vector<Value> items;
};

// Bitwise for doubles, so NaN payloads and the sign of zero count.
inline bool same(const Value& x, const Value& y) {
  if (x.kind != y.kind || x.field_id != y.field_id) return false;
  switch (x.kind) {
    case Kind::Double:
      return std::bit_cast<std::uint64_t>(x.d) == std::bit_cast<std::uint64_t>(y.d);
    case Kind::String:
    case Kind::Binary:
      return x.s == y.s;
    case Kind::List:
    case Kind::Set:
    case Kind::Map:
    case Kind::Struct:
      if (x.items.size() != y.items.size()) return false;
      for (std::size_t k = 0; k < x.items.size(); ++k)
        if (!same(x.items[k], y.items[k])) return false;
      return true;
    default:
      return x.i == y.i;
  }
}

// A short debug form for failure messages.
inline void append_text(const Value& v, std::string& out) {
  switch (v.kind) {
    case Kind::Bool: out += v.i ? "true" : "false"; return;
    case Kind::Byte:
    case Kind::I16:
    case Kind::I32:
    case Kind::I64: out += std::to_string(v.i); return;
    case Kind::Double: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.d);
      out += buf;
      return;
    }
    case Kind::String: out += '"' + v.s + '"'; return;
    case Kind::Binary: out += "b'" + protocol::base64_encode(v.s) + "'"; return;
    case Kind::List:
    case Kind::Set:
    case Kind::Map:
    case Kind::Struct: {
      const char* open = v.kind == Kind::Struct ? "{" : v.kind == Kind::Map ? "<" : "[";
      const char* close = v.kind == Kind::Struct ? "}" : v.kind == Kind::Map ? ">" : "]";
      out += open;
      for (std::size_t k = 0; k < v.items.size(); ++k) {
        if (k != 0) out += v.kind == Kind::Map && k % 2 == 1 ? ": " : ", ";
        if (v.kind == Kind::Struct) out += std::to_string(v.items[k].field_id) + "=";
        append_text(v.items[k], out);
      }
      out += close;
      return;
    }
  }
}
inline std::string text(const Value& v) {
  std::string out;
  append_text(v, out);
  return out;
}

inline TType wire_type(Kind k) noexcept {
  switch (k) {
    case Kind::Bool: return TType::Bool;
    case Kind::Byte: return TType::I08;
    case Kind::I16: return TType::I16;
    case Kind::I32: return TType::I32;
    case Kind::I64: return TType::I64;
    case Kind::Double: return TType::Double;
    case Kind::String:
    case Kind::Binary: return TType::String;
    case Kind::List: return TType::List;
    case Kind::Set: return TType::Set;
    case Kind::Map: return TType::Map;
    case Kind::Struct: return TType::Struct;
  }
  return TType::Stop;
}

[[gnu::cold]] inline ProtocolError too_deep() { return ProtocolError::invalid_data("nested too deeply"); }
[[gnu::cold]] inline ProtocolError not_skippable() { return ProtocolError::invalid_data("cannot skip type"); }

enum class Codec : std::uint8_t { Binary, Compact, Json };

template <class R>
inline constexpr Codec codec_of = std::is_same_v<R, protocol::BinaryProtocolReader> ||
                                          std::is_same_v<R, protocol::BinaryProtocolWriter>
                                      ? Codec::Binary
                                  : std::is_same_v<R, protocol::CompactProtocolReader> ||
                                          std::is_same_v<R, protocol::CompactProtocolWriter>
                                      ? Codec::Compact
                                      : Codec::Json;

template <class R>
class Decoder {
 public:
  explicit Decoder(R& r) : r_(r) {}

  // The fields of a struct up to its Stop; the caller opens and closes it.
  PStatus read_fields(Value& out, int depth) {
    out.kind = Kind::Struct;
    for (;;) {
      const FieldHeader h = BRV_TRY(r_.read_field_begin());
      if (h.field_type == TType::Stop) return {};
      const FieldDef* def = find_field(h.id);
      if (def != nullptr) {
        Value v;
        BRV_TRY_VOID(read_value(*def->type, v, depth));
        v.field_id = h.id;
        store(out, std::move(v));
      } else {
        BRV_TRY_VOID(skip(h.field_type, depth));
      }
      BRV_TRY_VOID(r_.read_field_end());
    }
  }

  PStatus read_value(const Type& t, Value& out, int depth) {
    out.kind = t.kind;
    switch (t.kind) {
      case Kind::Bool: out.i = BRV_TRY(r_.read_bool()); return {};
      case Kind::Byte: out.i = BRV_TRY(r_.read_i8()); return {};
      case Kind::I16: out.i = BRV_TRY(r_.read_i16()); return {};
      case Kind::I32: out.i = BRV_TRY(r_.read_i32()); return {};
      case Kind::I64: out.i = BRV_TRY(r_.read_i64()); return {};
      case Kind::Double: out.d = BRV_TRY(r_.read_double()); return {};
      case Kind::String: out.s = BRV_TRY(r_.read_string()); return {};
      case Kind::Binary: out.s = BRV_TRY(r_.read_binary()); return {};
      case Kind::List:
      case Kind::Set: {
        if (depth >= kMaxDepth) return std::unexpected(too_deep());
        const ListHeader h = t.kind == Kind::List ? BRV_TRY(r_.read_list_begin()) : BRV_TRY(r_.read_set_begin());
        for (std::int32_t k = 0; k < h.size; ++k) {
          Value e;
          BRV_TRY_VOID(read_value(*t.a, e, depth + 1));
          out.items.push_back(std::move(e));
        }
        return t.kind == Kind::List ? r_.read_list_end() : r_.read_set_end();
      }
      case Kind::Map: {
        if (depth >= kMaxDepth) return std::unexpected(too_deep());
        const MapHeader h = BRV_TRY(r_.read_map_begin());
        for (std::int32_t k = 0; k < h.size; ++k) {
          Value key, val;
          BRV_TRY_VOID(read_value(*t.a, key, depth + 1));
          BRV_TRY_VOID(read_value(*t.b, val, depth + 1));
          out.items.push_back(std::move(key));
          out.items.push_back(std::move(val));
        }
        return r_.read_map_end();
      }
      case Kind::Struct: {
        if (depth >= kMaxDepth) return std::unexpected(too_deep());
        BRV_TRY_VOID(r_.read_struct_begin());
        BRV_TRY_VOID(read_fields(out, depth + 1));
        return r_.read_struct_end();
      }
    }
    return {};
  }

  PStatus skip(TType t, int depth) {
    switch (t) {
      case TType::Bool: BRV_TRY_VOID(r_.read_bool()); return {};
      case TType::I08: BRV_TRY_VOID(r_.read_i8()); return {};
      case TType::I16: BRV_TRY_VOID(r_.read_i16()); return {};
      case TType::I32: BRV_TRY_VOID(r_.read_i32()); return {};
      case TType::I64: BRV_TRY_VOID(r_.read_i64()); return {};
      case TType::Double: BRV_TRY_VOID(r_.read_double()); return {};
      case TType::String:
        // Any bytes: JSON strings are skipped as text, not as base64.
        if constexpr (codec_of<R> == Codec::Json) {
          BRV_TRY_VOID(r_.read_string_view());
        } else {
          BRV_TRY_VOID(r_.read_binary_view());
        }
        return {};
      case TType::Struct: {
        if (depth >= kMaxDepth) return std::unexpected(too_deep());
        BRV_TRY_VOID(r_.read_struct_begin());
        for (;;) {
          const FieldHeader h = BRV_TRY(r_.read_field_begin());
          if (h.field_type == TType::Stop) break;
          BRV_TRY_VOID(skip(h.field_type, depth + 1));
          BRV_TRY_VOID(r_.read_field_end());
        }
        return r_.read_struct_end();
      }
      case TType::List:
      case TType::Set: {
        if (depth >= kMaxDepth) return std::unexpected(too_deep());
        const ListHeader h = BRV_TRY(r_.read_list_begin());
        for (std::int32_t k = 0; k < h.size; ++k) BRV_TRY_VOID(skip(h.element_type, depth + 1));
        return r_.read_list_end();
      }
      case TType::Map: {
        if (depth >= kMaxDepth) return std::unexpected(too_deep());
        const MapHeader h = BRV_TRY(r_.read_map_begin());
        for (std::int32_t k = 0; k < h.size; ++k) {
          BRV_TRY_VOID(skip(h.key_type, depth + 1));
          BRV_TRY_VOID(skip(h.value_type, depth + 1));
        }
        return r_.read_map_end();
      }
      default:
        return std::unexpected(not_skippable());
    }
  }

 private:
  static const FieldDef* find_field(std::int16_t id) {
    for (const FieldDef& f : schema::kFields) {
      if (f.id != id) continue;
      if (codec_of<R> == Codec::Json && f.binary_only) return nullptr;
      return &f;
    }
    return nullptr;
  }
  static std::size_t order_of(std::int16_t id) {
    std::size_t k = 0;
    while (schema::kFields[k].id != id) ++k;
    return k;
  }
  // A repeated field keeps its last value; fields stay in schema order.
  static void store(Value& st, Value v) {
    const std::size_t want = order_of(v.field_id);
    auto it = std::find_if(st.items.begin(), st.items.end(),
                           [&](const Value& f) { return order_of(f.field_id) >= want; });
    if (it != st.items.end() && it->field_id == v.field_id)
      *it = std::move(v);
    else
      st.items.insert(it, std::move(v));
  }

  R& r_;
};

template <class W>
class Encoder {
 public:
  explicit Encoder(W& w) : w_(w) {}

  // The fields and the Stop; the caller opens and closes the struct.
  PStatus write_fields(const Value& st) {
    for (const Value& f : st.items) {
      BRV_TRY_VOID(w_.write_field_begin(FieldHeader{wire_type(type_of(f.field_id).kind), f.field_id}));
      BRV_TRY_VOID(write_value(type_of(f.field_id), f));
      BRV_TRY_VOID(w_.write_field_end());
    }
    return w_.write_field_stop();
  }

  PStatus write_value(const Type& t, const Value& v) {
    switch (t.kind) {
      case Kind::Bool: return w_.write_bool(v.i != 0);
      case Kind::Byte: return w_.write_i8(static_cast<std::int8_t>(v.i));
      case Kind::I16: return w_.write_i16(static_cast<std::int16_t>(v.i));
      case Kind::I32: return w_.write_i32(static_cast<std::int32_t>(v.i));
      case Kind::I64: return w_.write_i64(v.i);
      case Kind::Double: return w_.write_double(v.d);
      case Kind::String: return w_.write_string(v.s);
      case Kind::Binary: return w_.write_binary(v.s);
      case Kind::List:
      case Kind::Set: {
        const ListHeader h{wire_type(t.a->kind), static_cast<std::int32_t>(v.items.size())};
        BRV_TRY_VOID(t.kind == Kind::List ? w_.write_list_begin(h) : w_.write_set_begin(h));
        for (const Value& e : v.items) BRV_TRY_VOID(write_value(*t.a, e));
        return t.kind == Kind::List ? w_.write_list_end() : w_.write_set_end();
      }
      case Kind::Map: {
        const MapHeader h{wire_type(t.a->kind), wire_type(t.b->kind),
                          static_cast<std::int32_t>(v.items.size() / 2)};
        BRV_TRY_VOID(w_.write_map_begin(h));
        for (std::size_t k = 0; k + 1 < v.items.size(); k += 2) {
          BRV_TRY_VOID(write_value(*t.a, v.items[k]));
          BRV_TRY_VOID(write_value(*t.b, v.items[k + 1]));
        }
        return w_.write_map_end();
      }
      case Kind::Struct:
        BRV_TRY_VOID(w_.write_struct_begin());
        BRV_TRY_VOID(write_fields(v));
        return w_.write_struct_end();
    }
    return {};
  }

 private:
  static const Type& type_of(std::int16_t id) {
    for (const FieldDef& f : schema::kFields)
      if (f.id == id) return *f.type;
    return schema::kBool;  // not reached: values only hold declared ids
  }

  W& w_;
};

// ---------------------------------------------------------------------------
// The JSON protocol's expected losses: the writer prints NaN and the
// infinities as 0, and a map whose keys print alike keeps, in key-text
// order, only the value written last under each text. `normalize_json(v)` is
// exactly what reading back the JSON writer's output of `v` must give.

inline std::string json_key_text(const Type& t, const Value& k) {
  std::string out;
  switch (t.kind) {
    case Kind::Bool: return k.i ? "1" : "0";
    case Kind::Double:
      if (!std::isfinite(k.d)) return "0";
      protocol::append_json_double(k.d, out);
      return out;
    case Kind::String: return k.s;
    case Kind::Binary: return protocol::base64_encode(k.s);
    default: return std::to_string(k.i);  // Byte, I16, I32, I64
  }
}

inline Value normalize_json(const Type& t, const Value& v);

inline Value normalize_json_struct(const Value& st) {
  Value out = st;
  for (Value& f : out.items) {
    for (const FieldDef& def : schema::kFields) {
      if (def.id == f.field_id) {
        const std::int16_t id = f.field_id;
        f = normalize_json(*def.type, f);
        f.field_id = id;
        break;
      }
    }
  }
  return out;
}

inline Value normalize_json(const Type& t, const Value& v) {
  switch (t.kind) {
    case Kind::Double: {
      Value out = v;
      if (!std::isfinite(out.d)) out.d = 0.0;
      return out;
    }
    case Kind::List:
    case Kind::Set: {
      Value out;
      out.kind = v.kind;
      for (const Value& e : v.items) out.items.push_back(normalize_json(*t.a, e));
      return out;
    }
    case Kind::Map: {
      struct Pair {
        std::string key_text;
        std::size_t index;
      };
      std::vector<Pair> pairs;
      for (std::size_t k = 0; k + 1 < v.items.size(); k += 2)
        pairs.push_back({json_key_text(*t.a, v.items[k]), k});
      std::stable_sort(pairs.begin(), pairs.end(),
                       [](const Pair& x, const Pair& y) { return x.key_text < y.key_text; });
      Value out;
      out.kind = Kind::Map;
      for (std::size_t p = 0; p < pairs.size(); ++p) {
        if (p + 1 < pairs.size() && pairs[p + 1].key_text == pairs[p].key_text) continue;
        out.items.push_back(normalize_json(*t.a, v.items[pairs[p].index]));
        out.items.push_back(normalize_json(*t.b, v.items[pairs[p].index + 1]));
      }
      return out;
    }
    case Kind::Struct:
      return normalize_json_struct(v);
    default:
      return v;
  }
}

}  // namespace brovane::fuzz
