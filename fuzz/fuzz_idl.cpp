// The IDL tokenizer and parser over arbitrary text.
//
// - Tokens written back as text, one space apart, tokenize to the same
//   tokens; parse_document fails exactly when tokenize does, with its error.
// - Errors display as valid UTF-8.
// - A document that parses is consistent: every map key is its record's
//   name; for text that is valid UTF-8 (all that Python can pass) every
//   name and text in it is valid UTF-8 too, so nothing stops the StructMap
//   from being built (the only thing that can fail there is turning a name
//   into a Python str). The StructMap's Python-free parts are built and
//   checked against a plain model: the include aliases
//   (add_include_aliases) and each struct's and method's field index.
// - Parsing is deterministic, and the document written back as IDL
//   (idl_emit.hpp) parses to an equal document.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "idl_emit.hpp"
#include "parser/parser.hpp"
#include "protocol/types.hpp"
#include "python/types/field_index.hpp"
#include "python/types/struct_aliases.hpp"

namespace {

using namespace brovane;
using brovane::fuzz::hex;
namespace ast = parser::ast;

bool utf8(std::string_view s) { return !protocol::validate_utf8(s).has_value(); }

std::string token_text(const parser::Token& t) {
  using K = parser::TokenKind;
  switch (t.kind) {
    case K::Keyword:
    case K::Identifier: return std::string(t.text);
    case K::Number: return std::to_string(t.number);
    case K::String: return '"' + std::string(t.text) + '"';
    case K::Comma: return ",";
    case K::Semicolon: return ";";
    case K::LeftParen: return "(";
    case K::RightParen: return ")";
    case K::LeftBrace: return "{";
    case K::RightBrace: return "}";
    case K::LeftBracket: return "[";
    case K::RightBracket: return "]";
    case K::LessThan: return "<";
    case K::GreaterThan: return ">";
    case K::Colon: return ":";
    case K::Equal: return "=";
    case K::Dot: return ".";
    case K::Asterisk: return "*";
  }
  return "";
}

void check_tokens(const std::vector<parser::Token>& tokens) {
  std::string text;
  for (const parser::Token& t : tokens) text += token_text(t) + ' ';
  const auto again = parser::tokenize(text);
  FUZZ_CHECK_MSG(again.has_value(), "tokens written back do not tokenize: " + again.error().to_string() +
                                        "\n  text " + text);
  FUZZ_CHECK_MSG(again->size() == tokens.size(), "token count changed in " + text);
  for (std::size_t k = 0; k < tokens.size(); ++k)
    FUZZ_CHECK_MSG((*again)[k] == tokens[k], "token " + std::to_string(k) + " " + parser::to_debug_string(tokens[k]) +
                                                 " came back as " + parser::to_debug_string((*again)[k]));
}

bool type_utf8(const ast::ThriftType& t) {
  using T = ast::ThriftType;
  switch (t.kind()) {
    case ast::Kind::List: return type_utf8(*t.get_if<T::List>()->element);
    case ast::Kind::Set: return type_utf8(*t.get_if<T::Set>()->element);
    case ast::Kind::Map: return type_utf8(*t.get_if<T::Map>()->key) && type_utf8(*t.get_if<T::Map>()->value);
    case ast::Kind::Struct: return utf8(t.get_if<T::Struct>()->name);
    default: return true;
  }
}

bool value_utf8(const ast::ThriftValue& v) {
  using V = ast::ThriftValue;
  switch (v.kind()) {
    case ast::Kind::String: return utf8(v.get_if<V::String>()->value);
    case ast::Kind::List:
      for (const V& e : v.get_if<V::List>()->values)
        if (!value_utf8(e)) return false;
      return true;
    case ast::Kind::Set:
      for (const V& e : v.get_if<V::Set>()->values)
        if (!value_utf8(e)) return false;
      return true;
    case ast::Kind::Map:
      for (const auto& [k, e] : v.get_if<V::Map>()->entries)
        if (!value_utf8(k) || !value_utf8(e)) return false;
      return true;
    case ast::Kind::Struct: {
      const auto& s = *v.get_if<V::Struct>();
      if (s.name && !utf8(*s.name)) return false;
      for (const auto& [name, e] : s.fields)
        if (!utf8(name) || !value_utf8(e)) return false;
      return true;
    }
    default: return true;
  }
}

void check_fields_utf8(const std::vector<ast::ThriftField>& fields) {
  for (const ast::ThriftField& f : fields) {
    FUZZ_CHECK_MSG(utf8(f.name), "field name " + hex(f.name));
    FUZZ_CHECK_MSG(type_utf8(f.field_type), "type of field " + f.name);
    FUZZ_CHECK_MSG(!f.default_value || value_utf8(*f.default_value), "default of field " + f.name);
  }
}

// A field index answers every id with the last position declaring it.
void check_field_index(const std::vector<ast::ThriftField>& fields) {
  const python::types::FieldIndex index = python::types::make_field_index(std::span<const ast::ThriftField>(fields));
  std::vector<std::int16_t> probes = {0, 1, -1, 255, 256, -32768, 32767};
  for (const ast::ThriftField& f : fields) {
    probes.push_back(f.id);
    probes.push_back(static_cast<std::int16_t>(f.id + 1));
    probes.push_back(static_cast<std::int16_t>(f.id - 1));
  }
  for (const std::int16_t id : probes) {
    std::int32_t want = -1;
    for (std::size_t k = 0; k < fields.size(); ++k)
      if (fields[k].id == id) want = static_cast<std::int32_t>(k);
    FUZZ_CHECK_MSG(index.find(id) == want, "field index of id " + std::to_string(id) + " is " +
                                               std::to_string(index.find(id)) + ", expected " + std::to_string(want));
  }
}

// The StructMap's keys: every struct under its name, plus "base.Name" for
// every distinct include base name and every undotted struct name, never
// replacing a key; each entry holds the struct's own name.
void check_struct_aliases(const ast::ThriftDocument& doc) {
  ast::NameMap<std::string> map;
  for (const auto& [key, s] : doc.structs) map.emplace(key, s.name);
  python::types::add_include_aliases(map, std::span<const std::string>(doc.includes));

  ast::NameMap<std::string> want;
  for (const auto& [key, s] : doc.structs) want.emplace(key, s.name);
  std::vector<std::string> bases;
  for (const std::string& path : doc.includes) {
    std::string_view b = path;
    if (const auto slash = b.rfind('/'); slash != std::string_view::npos) b.remove_prefix(slash + 1);
    if (b.size() >= 7 && b.substr(b.size() - 7) == ".thrift") b.remove_suffix(7);
    if (std::find(bases.begin(), bases.end(), b) == bases.end()) bases.emplace_back(b);
  }
  for (const std::string& b : bases) {
    for (const auto& [key, s] : doc.structs) {
      if (key.find('.') != std::string::npos) continue;
      want.emplace(b + "." + key, s.name);  // emplace keeps an existing key
    }
  }
  FUZZ_CHECK_MSG(map == want, "aliases: " + std::to_string(map.size()) + " keys, expected " +
                                  std::to_string(want.size()));
}

void check_document(const ast::ThriftDocument& doc, bool text_is_utf8) {
  for (const auto& [key, s] : doc.structs) {
    FUZZ_CHECK(key == s.name);
    check_field_index(s.fields);
  }
  for (const auto& [key, svc] : doc.services) {
    FUZZ_CHECK(key == svc.name);
    for (const ast::ThriftMethod& m : svc.methods) check_field_index(m.arguments);
  }
  for (const auto& [key, e] : doc.enums) FUZZ_CHECK(key == e.name);
  check_struct_aliases(doc);

  if (text_is_utf8) {
    for (const auto& [key, s] : doc.structs) {
      FUZZ_CHECK(utf8(s.name));
      check_fields_utf8(s.fields);
    }
    for (const auto& [key, svc] : doc.services) {
      FUZZ_CHECK(utf8(svc.name));
      for (const ast::ThriftMethod& m : svc.methods) {
        FUZZ_CHECK(utf8(m.name));
        FUZZ_CHECK(type_utf8(m.return_type));
        check_fields_utf8(m.arguments);
        check_fields_utf8(m.exceptions);
      }
    }
    for (const auto& [key, e] : doc.enums) {
      FUZZ_CHECK(utf8(e.name));
      for (const auto& [member, value] : e.values) FUZZ_CHECK(utf8(member));
    }
    for (const std::string& path : doc.includes) FUZZ_CHECK(utf8(path));
    for (const auto& [scope, name] : doc.namespaces) FUZZ_CHECK(utf8(scope) && utf8(name));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool text_is_utf8 = utf8(text);

  const auto tokens = parser::tokenize(text);
  const auto doc = parser::parse_document(text);
  if (!tokens) {
    FUZZ_CHECK(!doc.has_value() && doc.error() == tokens.error());
    FUZZ_CHECK(utf8(tokens.error().to_string()));
    return 0;
  }
  check_tokens(*tokens);
  if (!doc) {
    FUZZ_CHECK(utf8(doc.error().to_string()));
    return 0;
  }

  check_document(*doc, text_is_utf8);
  const std::string debug = ast::to_debug_string(*doc);
  FUZZ_CHECK(utf8(debug));

  const auto again = parser::parse_document(text);
  FUZZ_CHECK(again.has_value() && *again == *doc);
  FUZZ_CHECK(ast::to_debug_string(*again) == debug);

  if (const auto idl = fuzz::emit_document(*doc)) {
    const auto back = parser::parse_document(*idl);
    FUZZ_CHECK_MSG(back.has_value(), "written back as\n" + *idl + "\n  it fails: " + back.error().to_string());
    FUZZ_CHECK_MSG(*back == *doc, "written back as\n" + *idl + "\n  it parses to\n" + ast::to_debug_string(*back) +
                                      "\n  instead of\n" + debug);
  }
  return 0;
}
