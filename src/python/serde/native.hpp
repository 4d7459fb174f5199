// A decoded struct body held as ThriftValues, without Python objects: what the
// server hands to a handler call and what struct instances are built from.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/ast.hpp"
#include "protocol/types.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::serde {

namespace ast = parser::ast;

template <class T>
using IoResult = std::expected<T, protocol::IoError>;
using IoStatus = IoResult<void>;

struct NativeStructValue {
  std::string struct_name;  // always empty when decoded
  // The declared field names, in declaration order, shared with the
  // descriptor (or the method's argument list) that drove the decoding.
  std::shared_ptr<const types::FieldNames> field_names;
  // One entry per slot of `field_names`: the value of every declared field
  // that appeared on the wire (a repeated id, or two declared fields of one
  // name, keep the last value read); empty for the others.
  std::vector<std::optional<ast::ThriftValue>> values;

  // The value under a declared name, or nullptr.
  const ast::ThriftValue* find(std::string_view name) const noexcept {
    if (!field_names) return nullptr;
    const std::int32_t s = field_names->find(name);
    if (s < 0 || static_cast<std::size_t>(s) >= values.size() || !values[static_cast<std::size_t>(s)])
      return nullptr;
    return &*values[static_cast<std::size_t>(s)];
  }

  // The present values keyed by name, in slot (declaration) order; `values`
  // is left empty.
  ast::StructFields take_fields() {
    ast::StructFields out;
    std::size_t present = 0;
    for (const auto& v : values) present += v.has_value();
    out.reserve(present);
    for (std::size_t s = 0; s < values.size(); ++s) {
      if (!values[s]) continue;
      out.emplace_unique(field_names->slot_name(static_cast<std::uint32_t>(s)), std::move(*values[s]));
    }
    values.clear();
    return out;
  }
};

}  // namespace brovane::python::serde
