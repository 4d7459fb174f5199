// Writes a parsed document back as IDL text that parses to an equal
// document: inherited fields and methods are written out flat (no
// `extends`), typedefs are already resolved, enums come last so that no
// struct type written as a name turns into I32 on the way back, and every
// default is written as the literal that reads back to the same value.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "parser/ast.hpp"

namespace brovane::fuzz {

namespace ast = parser::ast;

inline void emit_type(const ast::ThriftType& t, std::string& out) {
  using T = ast::ThriftType;
  switch (t.kind()) {
    case ast::Kind::Bool: out += "bool"; return;
    case ast::Kind::Byte: out += "byte"; return;
    case ast::Kind::I16: out += "i16"; return;
    case ast::Kind::I32: out += "i32"; return;
    case ast::Kind::I64: out += "i64"; return;
    case ast::Kind::Double: out += "double"; return;
    case ast::Kind::String: out += "string"; return;
    case ast::Kind::Binary: out += "binary"; return;
    case ast::Kind::List:
      out += "list<";
      emit_type(*t.get_if<T::List>()->element, out);
      out += '>';
      return;
    case ast::Kind::Set:
      out += "set<";
      emit_type(*t.get_if<T::Set>()->element, out);
      out += '>';
      return;
    case ast::Kind::Map:
      out += "map<";
      emit_type(*t.get_if<T::Map>()->key, out);
      out += ", ";
      emit_type(*t.get_if<T::Map>()->value, out);
      out += '>';
      return;
    case ast::Kind::Struct: out += t.get_if<T::Struct>()->name; return;
  }
}

// False when the value is not of the declared type (no literal reads back
// as it).
inline bool emit_value(const ast::ThriftType& t, const ast::ThriftValue& v, std::string& out) {
  using T = ast::ThriftType;
  using V = ast::ThriftValue;
  if (t.kind() != v.kind()) return false;
  switch (t.kind()) {
    case ast::Kind::Bool: out += v.get_if<V::Bool>()->value ? "true" : "false"; return true;
    case ast::Kind::Byte: out += std::to_string(v.get_if<V::Byte>()->value); return true;
    case ast::Kind::I16: out += std::to_string(v.get_if<V::I16>()->value); return true;
    case ast::Kind::I32: out += std::to_string(v.get_if<V::I32>()->value); return true;
    case ast::Kind::I64: out += std::to_string(v.get_if<V::I64>()->value); return true;
    case ast::Kind::Double: {
      // Double defaults are integer literals converted; write the integer.
      const double d = v.get_if<V::Double>()->value;
      constexpr double kTwo63 = 9223372036854775808.0;
      if (!(d >= -kTwo63 && d <= kTwo63) || d != std::trunc(d)) return false;
      const std::int64_t n = d == kTwo63 ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(d);
      if (static_cast<double>(n) != d) return false;
      out += std::to_string(n);
      return true;
    }
    case ast::Kind::String: {
      const std::string& s = v.get_if<V::String>()->value;
      if (s.find('"') != std::string::npos) return false;
      out += '"' + s + '"';
      return true;
    }
    case ast::Kind::Binary: {
      const auto& b = v.get_if<V::Binary>()->value;
      const std::string s(b.begin(), b.end());
      if (s.find('"') != std::string::npos) return false;
      out += '"' + s + '"';
      return true;
    }
    case ast::Kind::List:
    case ast::Kind::Set: {
      const ast::ThriftType& e =
          t.kind() == ast::Kind::List ? *t.get_if<T::List>()->element : *t.get_if<T::Set>()->element;
      const auto& items = t.kind() == ast::Kind::List ? v.get_if<V::List>()->values : v.get_if<V::Set>()->values;
      out += '[';
      for (std::size_t k = 0; k < items.size(); ++k) {
        if (k != 0) out += ", ";
        if (!emit_value(e, items[k], out)) return false;
      }
      out += ']';
      return true;
    }
    case ast::Kind::Map: {
      const auto& m = *t.get_if<T::Map>();
      out += '{';
      bool first = true;
      for (const auto& [key, val] : v.get_if<V::Map>()->entries) {
        if (!first) out += ", ";
        first = false;
        if (!emit_value(*m.key, key, out)) return false;
        out += ": ";
        if (!emit_value(*m.value, val, out)) return false;
      }
      out += '}';
      return true;
    }
    case ast::Kind::Struct: {
      // Struct literals are passed over and read as an empty struct value
      // named after the type.
      const auto& s = *v.get_if<V::Struct>();
      if (!s.fields.empty() || s.name != t.get_if<T::Struct>()->name) return false;
      out += "{}";
      return true;
    }
  }
  return false;
}

inline bool emit_field(const ast::ThriftField& f, std::string& out) {
  out += std::to_string(f.id);
  out += ": ";
  if (f.required) out += "required ";
  emit_type(f.field_type, out);
  out += ' ';
  out += f.name;
  if (f.default_value) {
    out += " = ";
    if (!emit_value(f.field_type, *f.default_value, out)) return false;
  }
  return true;
}

// The whole document, or nothing when some part has no faithful form.
inline std::optional<std::string> emit_document(const ast::ThriftDocument& doc) {
  std::string out;
  for (const std::string& path : doc.includes) {
    if (path.find('"') != std::string::npos) return std::nullopt;
    out += "include \"" + path + "\"\n";
  }
  for (const auto& [scope, name] : doc.namespaces) {
    if (name.find('"') != std::string::npos) return std::nullopt;
    out += "namespace " + scope + " \"" + name + "\";\n";
  }
  for (const auto& [key, s] : doc.structs) {
    out += "struct " + s.name + " {\n";
    for (const ast::ThriftField& f : s.fields) {
      out += "  ";
      if (!emit_field(f, out)) return std::nullopt;
      out += ";\n";
    }
    out += "}\n";
  }
  for (const auto& [key, svc] : doc.services) {
    out += "service " + svc.name + " {\n";
    for (const ast::ThriftMethod& m : svc.methods) {
      out += "  ";
      if (m.oneway) out += "oneway ";
      emit_type(m.return_type, out);
      out += ' ' + m.name + '(';
      for (std::size_t k = 0; k < m.arguments.size(); ++k) {
        if (k != 0) out += ", ";
        if (!emit_field(m.arguments[k], out)) return std::nullopt;
      }
      out += ')';
      if (!m.exceptions.empty()) {
        out += " throws (";
        for (std::size_t k = 0; k < m.exceptions.size(); ++k) {
          if (k != 0) out += ", ";
          if (!emit_field(m.exceptions[k], out)) return std::nullopt;
        }
        out += ')';
      }
      out += ";\n";
    }
    out += "}\n";
  }
  for (const auto& [key, e] : doc.enums) {
    out += "enum " + e.name + " {";
    for (const auto& [member, value] : e.values) out += ' ' + member + " = " + std::to_string(value) + ',';
    out += " }\n";
  }
  return out;
}

}  // namespace brovane::fuzz
