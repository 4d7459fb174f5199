#include "parser/parser.hpp"

#include <algorithm>
#include <unordered_set>

#include "parser/try.hpp"

namespace brovane::parser {

using ast::ThriftField;
using ast::ThriftType;

namespace {

bool is_word(TokenKind k) noexcept { return k == TokenKind::Identifier || k == TokenKind::Keyword; }

std::string join_parts(const std::vector<std::string_view>& parts) {
  std::size_t size = parts.size();
  for (std::string_view p : parts) size += p.size();
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) out += '.';
    out += parts[i];
  }
  return out;
}

// Lists this long or shorter are checked for duplicates by a plain scan.
constexpr std::size_t kScanLimit = 32;

}  // namespace

Parser::Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

std::expected<Token, ParseError> Parser::consume_token() {
  if (pos_ >= tokens_.size()) return std::unexpected(ParseError::end_of_input());
  return tokens_[pos_++];
}

std::expected<Token, ParseError> Parser::expect_token(TokenKind kind) {
  PARSER_TRY_ASSIGN(Token t, consume_token());
  if (t.kind != kind) return std::unexpected(ParseError::unexpected(t));
  return t;
}

bool Parser::next_is_keyword(std::string_view word) const noexcept {
  return pos_ < tokens_.size() && tokens_[pos_].kind == TokenKind::Keyword && tokens_[pos_].text == word;
}

bool Parser::take_if(TokenKind kind) noexcept {
  if (!next_is(kind)) return false;
  ++pos_;
  return true;
}

std::expected<Token, ParseError> Parser::expect_word() {
  PARSER_TRY_ASSIGN(Token t, consume_token());
  if (!is_word(t.kind)) return std::unexpected(ParseError::unexpected(t));
  return t;
}

std::expected<void, ParseError> Parser::skip_annotations() {
  while (take_if(TokenKind::LeftParen)) {
    int depth = 1;
    while (depth > 0) {
      PARSER_TRY_ASSIGN(Token t, consume_token());
      if (t.kind == TokenKind::LeftParen) ++depth;
      if (t.kind == TokenKind::RightParen) --depth;
    }
  }
  return {};
}

std::expected<std::vector<std::string_view>, ParseError> Parser::finish_identifier_path_parts(
    std::string_view first) {
  std::vector<std::string_view> parts{first};
  while (take_if(TokenKind::Dot)) {
    PARSER_TRY_ASSIGN(Token t, expect_word());
    parts.push_back(t.text);
  }
  return parts;
}

std::expected<std::string, ParseError> Parser::finish_qualified_identifier(std::string_view first) {
  if (!next_is(TokenKind::Dot)) return std::string(first);
  PARSER_TRY_ASSIGN(auto parts, finish_identifier_path_parts(first));
  return join_parts(parts);
}

std::expected<std::string_view, ParseError> Parser::finish_identifier_path(std::string_view first) {
  std::string_view last = first;
  while (take_if(TokenKind::Dot)) {
    PARSER_TRY_ASSIGN(Token t, expect_word());
    last = t.text;
  }
  return last;
}

std::expected<std::optional<std::string_view>, ParseError> Parser::consume_optional_extends() {
  if (!next_is_keyword("extends")) return std::optional<std::string_view>{};
  ++pos_;
  PARSER_TRY_ASSIGN(Token t, expect_word());
  PARSER_TRY_ASSIGN(std::string_view last, finish_identifier_path(t.text));
  return std::optional<std::string_view>{last};
}

std::expected<ThriftType, ParseError> Parser::parse_type() {
  type_nodes_ = 0;
  type_depth_ = 0;
  return parse_type_at(1);
}

[[gnu::cold]] static ParseError type_too_deep() { return ParseError::syntax("Type nested more than 256 levels deep"); }

std::expected<void, ParseError> Parser::count_types(std::size_t nodes, int deepest) {
  if (deepest > kMaxNestingDepth) return std::unexpected(type_too_deep());
  type_nodes_ += nodes;
  document_nodes_ += nodes;
  if (type_nodes_ > kMaxTypeNodes) [[unlikely]]
    return std::unexpected(ParseError::syntax("Type expands to more than 65536 types"));
  if (document_nodes_ > kMaxDocumentTypeNodes) [[unlikely]]
    return std::unexpected(ParseError::syntax("Types expand to more than 1048576 types in all"));
  type_depth_ = std::max(type_depth_, deepest);
  return {};
}

// One more type at `depth`.
std::expected<ThriftType, ParseError> Parser::counted(ThriftType type, int depth) {
  PARSER_TRY(count_types(1, depth));
  return type;
}

// A copy of a typedef's type at `depth`, counted whole before it is made.
std::expected<ThriftType, ParseError> Parser::expand(const Alias& alias, int depth) {
  PARSER_TRY(count_types(alias.nodes, depth - 1 + alias.depth));
  return alias.type;
}

std::expected<ThriftType, ParseError> Parser::parse_type_at(int depth) {
  if (depth > kMaxNestingDepth) return std::unexpected(type_too_deep());
  PARSER_TRY_ASSIGN(Token t, expect_token(TokenKind::Identifier));
  const std::string_view w = t.text;
  switch (w.size()) {
    case 3:
      if (w == "i16") return counted(ThriftType::I16{}, depth);
      if (w == "i32") return counted(ThriftType::I32{}, depth);
      if (w == "i64") return counted(ThriftType::I64{}, depth);
      if (w == "map") {
        PARSER_TRY(expect_token(TokenKind::LessThan));
        PARSER_TRY_ASSIGN(ThriftType key, parse_type_at(depth + 1));
        PARSER_TRY(expect_token(TokenKind::Comma));
        PARSER_TRY_ASSIGN(ThriftType value, parse_type_at(depth + 1));
        PARSER_TRY(expect_token(TokenKind::GreaterThan));
        return counted(ThriftType::map(std::move(key), std::move(value)), depth);
      }
      if (w == "set") {
        PARSER_TRY(expect_token(TokenKind::LessThan));
        PARSER_TRY_ASSIGN(ThriftType element, parse_type_at(depth + 1));
        PARSER_TRY(expect_token(TokenKind::GreaterThan));
        return counted(ThriftType::set(std::move(element)), depth);
      }
      break;
    case 4:
      if (w == "bool") return counted(ThriftType::Bool{}, depth);
      if (w == "byte") return counted(ThriftType::Byte{}, depth);
      if (w == "list") {
        PARSER_TRY(expect_token(TokenKind::LessThan));
        PARSER_TRY_ASSIGN(ThriftType element, parse_type_at(depth + 1));
        PARSER_TRY(expect_token(TokenKind::GreaterThan));
        return counted(ThriftType::list(std::move(element)), depth);
      }
      break;
    case 6:
      if (w == "double") return counted(ThriftType::Double{}, depth);
      if (w == "string") return counted(ThriftType::String{}, depth);
      if (w == "binary") return counted(ThriftType::Binary{}, depth);
      break;
    default:
      break;
  }

  // A named type: a typedef or enum defined earlier, by full name or by its
  // last part, else a Struct carrying the name as written.
  if (!next_is(TokenKind::Dot)) {
    if (auto it = typedefs_.find(w); it != typedefs_.end()) return expand(it->second, depth);
    return counted(ThriftType::named(std::string(w)), depth);
  }
  PARSER_TRY_ASSIGN(auto parts, finish_identifier_path_parts(w));
  std::string full = join_parts(parts);
  if (auto it = typedefs_.find(full); it != typedefs_.end()) return expand(it->second, depth);
  if (auto it = typedefs_.find(parts.back()); it != typedefs_.end())
    return expand(it->second, depth);
  return counted(ThriftType::named(std::move(full)), depth);
}

std::expected<ThriftField, ParseError> Parser::parse_field() {
  ThriftField field;
  PARSER_TRY_ASSIGN(Token id, expect_token(TokenKind::Number));
  field.id = static_cast<std::int16_t>(id.number);  // low 16 bits
  PARSER_TRY(expect_token(TokenKind::Colon));
  if (next_is_keyword("required")) {
    ++pos_;
    field.required = true;
  } else if (next_is_keyword("optional")) {
    ++pos_;
  }
  PARSER_TRY_ASSIGN(field.field_type, parse_type());
  PARSER_TRY(skip_annotations());
  PARSER_TRY_ASSIGN(Token name, expect_token(TokenKind::Identifier));
  field.name = std::string(name.text);
  if (take_if(TokenKind::Equal)) field.default_value = read_default(field.field_type);
  PARSER_TRY(skip_annotations());
  take_if(TokenKind::Semicolon);
  return field;
}

std::expected<std::vector<ThriftField>, ParseError> Parser::parse_field_list() {
  std::vector<ThriftField> fields;
  while (!at_end() && !next_is(TokenKind::RightParen)) {
    PARSER_TRY_ASSIGN(ThriftField f, parse_field());
    fields.push_back(std::move(f));
    take_if(TokenKind::Comma);
  }
  return fields;
}

std::expected<ast::ThriftStruct, ParseError> Parser::parse_struct() {
  ++pos_;  // struct, union or exception
  PARSER_TRY_ASSIGN(Token name, expect_token(TokenKind::Identifier));
  PARSER_TRY_ASSIGN(std::optional<std::string_view> parent, consume_optional_extends());
  PARSER_TRY(skip_annotations());
  PARSER_TRY(expect_token(TokenKind::LeftBrace));
  std::vector<ThriftField> fields;
  while (!at_end() && !next_is(TokenKind::RightBrace)) {
    PARSER_TRY_ASSIGN(ThriftField f, parse_field());
    fields.push_back(std::move(f));
    take_if(TokenKind::Comma);
  }
  PARSER_TRY(expect_token(TokenKind::RightBrace));
  PARSER_TRY(skip_annotations());
  ast::ThriftStruct s;
  s.name = std::string(name.text);
  if (parent) {
    PARSER_TRY_ASSIGN(s.fields, merge_parent_fields(*parent, std::move(fields)));
  } else {
    s.fields = std::move(fields);
  }
  return s;
}

std::expected<std::vector<ThriftField>, ParseError> Parser::merge_parent_fields(std::string_view parent,
                                                                                std::vector<ThriftField> own) {
  auto found = doc_.structs.find(parent);
  if (found == doc_.structs.end()) {
    return std::unexpected(ParseError::syntax("Unknown parent struct: " + std::string(parent)));
  }
  const std::vector<ThriftField>& inherited = found->second.fields;
  auto duplicate = [&](const ThriftField& f) {
    return ParseError::syntax("Duplicate inherited field '" + f.name + "' in extends " + std::string(parent));
  };

  std::vector<ThriftField> result;
  result.reserve(inherited.size() + own.size());
  result = inherited;
  if (result.size() + own.size() <= kScanLimit) {
    for (ThriftField& f : own) {
      for (const ThriftField& seen : result) {
        if (seen.id == f.id || seen.name == f.name) return std::unexpected(duplicate(f));
      }
      result.push_back(std::move(f));
    }
    return result;
  }
  // Same rule through hash sets; the names are viewed in `inherited` and
  // `own`, which stay in place while the sets live.
  std::unordered_set<std::int16_t> ids;
  std::unordered_set<std::string_view> names;
  for (const ThriftField& f : inherited) ids.insert(f.id), names.insert(f.name);
  for (const ThriftField& f : own) {
    if (!ids.insert(f.id).second || !names.insert(f.name).second) return std::unexpected(duplicate(f));
  }
  for (ThriftField& f : own) result.push_back(std::move(f));
  return result;
}

std::expected<void, ParseError> Parser::parse_enum() {
  ++pos_;
  PARSER_TRY_ASSIGN(Token name, expect_token(TokenKind::Identifier));
  PARSER_TRY(expect_token(TokenKind::LeftBrace));
  ast::NameMap<std::int32_t> values;
  std::int32_t counter = 0;
  while (!at_end() && !next_is(TokenKind::RightBrace)) {
    const Token t = tokens_[pos_++];
    if (t.kind == TokenKind::Comma || t.kind == TokenKind::Semicolon) continue;
    if (t.kind != TokenKind::Identifier) return std::unexpected(ParseError::unexpected(t));
    std::int32_t value = counter;
    if (take_if(TokenKind::Equal)) {
      PARSER_TRY_ASSIGN(Token n, expect_token(TokenKind::Number));
      value = static_cast<std::int32_t>(n.number);  // low 32 bits
    }
    values.insert_or_assign(std::string(t.text), value);
    counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 1u);
    if (!take_if(TokenKind::Comma)) take_if(TokenKind::Semicolon);
  }
  PARSER_TRY(expect_token(TokenKind::RightBrace));
  PARSER_TRY(skip_annotations());
  take_if(TokenKind::Semicolon);

  std::string enum_name(name.text);
  typedefs_.insert_or_assign(enum_name, Alias{ThriftType::I32{}});
  doc_.enums.insert_or_assign(enum_name, ast::ThriftEnum{enum_name, std::move(values)});
  return {};
}

std::expected<void, ParseError> Parser::parse_const() {
  ++pos_;
  PARSER_TRY_ASSIGN(ThriftType type, parse_type());
  PARSER_TRY(expect_token(TokenKind::Identifier));
  if (take_if(TokenKind::Equal)) (void)read_default(type);  // constants are not kept
  take_if(TokenKind::Semicolon);
  return {};
}

std::expected<void, ParseError> Parser::parse_service() {
  ++pos_;
  PARSER_TRY_ASSIGN(Token name, expect_token(TokenKind::Identifier));
  PARSER_TRY_ASSIGN(std::optional<std::string_view> parent, consume_optional_extends());
  PARSER_TRY(skip_annotations());
  PARSER_TRY(expect_token(TokenKind::LeftBrace));
  std::vector<ast::ThriftMethod> methods;
  while (!at_end() && !next_is(TokenKind::RightBrace)) {
    ast::ThriftMethod m;
    if (next_is_keyword("oneway")) {
      ++pos_;
      m.oneway = true;
    }
    PARSER_TRY_ASSIGN(m.return_type, parse_type());
    PARSER_TRY_ASSIGN(Token method_name, expect_token(TokenKind::Identifier));
    m.name = std::string(method_name.text);
    PARSER_TRY(expect_token(TokenKind::LeftParen));
    PARSER_TRY_ASSIGN(m.arguments, parse_field_list());
    PARSER_TRY(expect_token(TokenKind::RightParen));
    if (next_is_keyword("throws")) {
      ++pos_;
      PARSER_TRY(expect_token(TokenKind::LeftParen));
      PARSER_TRY_ASSIGN(m.exceptions, parse_field_list());
      PARSER_TRY(expect_token(TokenKind::RightParen));
    }
    PARSER_TRY(skip_annotations());
    if (!take_if(TokenKind::Comma)) take_if(TokenKind::Semicolon);
    methods.push_back(std::move(m));
  }
  PARSER_TRY(expect_token(TokenKind::RightBrace));
  PARSER_TRY(skip_annotations());

  ast::ThriftService service;
  service.name = std::string(name.text);
  if (!parent) {
    service.methods = std::move(methods);
  } else {
    auto found = doc_.services.find(*parent);
    if (found == doc_.services.end()) {
      return std::unexpected(ParseError::syntax("Unknown parent service: " + std::string(*parent)));
    }
    service.methods.reserve(found->second.methods.size() + methods.size());
    service.methods = found->second.methods;
    std::unordered_set<std::string_view> names;
    const bool hashed = service.methods.size() + methods.size() > kScanLimit;
    if (hashed) {
      for (const ast::ThriftMethod& m : found->second.methods) names.insert(m.name);
    }
    for (ast::ThriftMethod& m : methods) {
      bool repeated = false;
      if (hashed) {
        repeated = !names.insert(m.name).second;  // views `methods`, which stays in place
      } else {
        for (const ast::ThriftMethod& seen : service.methods) repeated = repeated || seen.name == m.name;
      }
      if (repeated) {
        return std::unexpected(ParseError::syntax("Duplicate inherited method '" + m.name + "' in extends " +
                                                  std::string(*parent)));
      }
      if (!hashed) service.methods.push_back(std::move(m));
    }
    if (hashed) {
      for (ast::ThriftMethod& m : methods) service.methods.push_back(std::move(m));
    }
  }
  std::string key = service.name;
  doc_.services.insert_or_assign(std::move(key), std::move(service));
  return {};
}

std::expected<void, ParseError> Parser::parse_include() {
  ++pos_;
  PARSER_TRY_ASSIGN(Token path, expect_token(TokenKind::String));
  take_if(TokenKind::Semicolon);
  doc_.includes.emplace_back(path.text);
  return {};
}

std::expected<void, ParseError> Parser::parse_typedef() {
  ++pos_;
  PARSER_TRY_ASSIGN(ThriftType type, parse_type());
  const int depth = type_depth_;
  const std::size_t nodes = type_nodes_;
  PARSER_TRY_ASSIGN(Token alias, expect_token(TokenKind::Identifier));
  take_if(TokenKind::Semicolon);
  typedefs_.insert_or_assign(std::string(alias.text), Alias{std::move(type), depth, nodes});
  return {};
}

std::expected<void, ParseError> Parser::parse_namespace() {
  ++pos_;
  PARSER_TRY_ASSIGN(Token scope_token, consume_token());
  std::string scope;
  if (is_word(scope_token.kind)) {
    scope = std::string(scope_token.text);
  } else if (scope_token.kind == TokenKind::Asterisk) {
    scope = "*";
  } else {
    return std::unexpected(ParseError::unexpected(scope_token));
  }
  PARSER_TRY_ASSIGN(Token name, consume_token());
  if (!is_word(name.kind) && name.kind != TokenKind::String) return std::unexpected(ParseError::unexpected(name));
  PARSER_TRY_ASSIGN(std::string ns, finish_qualified_identifier(name.text));
  take_if(TokenKind::Semicolon);
  doc_.namespaces.insert_or_assign(std::move(scope), std::move(ns));
  return {};
}

std::expected<ast::ThriftDocument, ParseError> Parser::parse_document() {
  while (pos_ < tokens_.size()) {
    const Token& t = tokens_[pos_];
    if (t.kind != TokenKind::Keyword) {
      ++pos_;  // stray tokens at the top level are stepped over
      continue;
    }
    const std::string_view w = t.text;
    if (w == "struct" || w == "union" || w == "exception") {
      PARSER_TRY_ASSIGN(ast::ThriftStruct s, parse_struct());
      std::string key = s.name;
      doc_.structs.insert_or_assign(std::move(key), std::move(s));
    } else if (w == "enum") {
      PARSER_TRY(parse_enum());
    } else if (w == "service") {
      PARSER_TRY(parse_service());
    } else if (w == "typedef") {
      PARSER_TRY(parse_typedef());
    } else if (w == "const") {
      PARSER_TRY(parse_const());
    } else if (w == "include") {
      PARSER_TRY(parse_include());
    } else if (w == "namespace") {
      PARSER_TRY(parse_namespace());
    } else {
      ++pos_;  // extends, oneway, throws, required, optional
    }
  }
  return std::move(doc_);
}

std::expected<ast::ThriftDocument, ParseError> parse_document(std::string_view text) {
  PARSER_TRY_ASSIGN(std::vector<Token> tokens, tokenize(text));
  Parser parser(std::move(tokens));
  return parser.parse_document();
}

}  // namespace brovane::parser
