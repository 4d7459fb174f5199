// Consuming one value of a wire type without keeping it: unknown struct fields
// and reply fields nobody asked for. Only the cursor moves; strings are not
// copied or checked for UTF-8.
#pragma once

#include <cstdint>
#include <utility>

#include "protocol/json_reader.hpp"
#include "protocol/types.hpp"
#include "python/serde/bounds.hpp"
#include "python/serde/native.hpp"
#include "python/serde/try.hpp"

namespace brovane::python::serde {

// Readers whose string values are whole JSON values of any kind skip them with
// read_string_view (which takes one value whatever it holds); byte readers
// skip the length and the bytes without a UTF-8 check.
template <class R>
inline constexpr bool kSkipStringsAsText = false;
template <>
inline constexpr bool kSkipStringsAsText<protocol::JSONProtocolReader> = true;

namespace detail {

using protocol::PStatus;
using protocol::TType;

// Types whose values occupy no input: a container of them is skipped by its
// header alone, whatever its count.
constexpr bool is_empty_type(TType t) noexcept { return t == TType::Stop || t == TType::Void; }

template <protocol::InputProtocol R>
PStatus skip_protocol(R& r, TType type, int depth) {
  switch (type) {
    case TType::Bool: BRV_SERDE_TRY_VOID(r.read_bool()); return {};
    case TType::I08: BRV_SERDE_TRY_VOID(r.read_i8()); return {};
    case TType::I16: BRV_SERDE_TRY_VOID(r.read_i16()); return {};
    case TType::I32: BRV_SERDE_TRY_VOID(r.read_i32()); return {};
    case TType::I64: BRV_SERDE_TRY_VOID(r.read_i64()); return {};
    case TType::Double: BRV_SERDE_TRY_VOID(r.read_double()); return {};
    case TType::String:
      if constexpr (kSkipStringsAsText<R>) {
        BRV_SERDE_TRY_VOID(r.read_string_view());
      } else {
        BRV_SERDE_TRY_VOID(r.read_binary_view());
      }
      return {};
    case TType::Struct: {
      if (depth >= kMaxNestingDepth) [[unlikely]]
        return std::unexpected(nesting_too_deep());
      BRV_SERDE_TRY_VOID(r.read_struct_begin());
      for (;;) {
        const protocol::FieldHeader h = BRV_SERDE_TRY(r.read_field_begin());
        if (h.field_type == TType::Stop) break;
        BRV_SERDE_TRY_VOID(skip_protocol(r, h.field_type, depth + 1));
        BRV_SERDE_TRY_VOID(r.read_field_end());
      }
      return r.read_struct_end();
    }
    case TType::Map: {
      if (depth >= kMaxNestingDepth) [[unlikely]]
        return std::unexpected(nesting_too_deep());
      const protocol::MapHeader h = BRV_SERDE_TRY(r.read_map_begin());
      if (!(is_empty_type(h.key_type) && is_empty_type(h.value_type))) {
        for (std::int32_t i = 0; i < h.size; ++i) {
          BRV_SERDE_TRY_VOID(skip_protocol(r, h.key_type, depth + 1));
          BRV_SERDE_TRY_VOID(skip_protocol(r, h.value_type, depth + 1));
        }
      }
      return r.read_map_end();
    }
    case TType::Set:
    case TType::List: {
      if (depth >= kMaxNestingDepth) [[unlikely]]
        return std::unexpected(nesting_too_deep());
      const protocol::ListHeader h = BRV_SERDE_TRY(r.read_list_begin());
      if (!is_empty_type(h.element_type)) {
        for (std::int32_t i = 0; i < h.size; ++i) BRV_SERDE_TRY_VOID(skip_protocol(r, h.element_type, depth + 1));
      }
      return r.read_list_end();
    }
    default:
      // Stop, Void and the non-codes: nothing to consume.
      return {};
  }
}

}  // namespace detail

// Consumes one value of wire type `type`. `depth` counts the structs and
// containers already open around it. Reader errors are converted as the
// client and server convert them: Io stays (truncation keeps UnexpectedEof
// "failed to fill whole buffer"), the type errors become InvalidData.
template <protocol::InputProtocol R>
IoStatus skip_value(R& r, protocol::TType type, int depth = 0) {
  if (auto s = detail::skip_protocol(r, type, depth); !s) [[unlikely]]
    return std::unexpected(protocol::to_io_error(std::move(s).error()));
  return {};
}

}  // namespace brovane::python::serde
