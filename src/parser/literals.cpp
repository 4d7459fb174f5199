// Default values and constant literals, read by declared type.
#include "parser/parser.hpp"
#include "parser/try.hpp"

namespace brovane::parser {

using ast::ThriftType;
using ast::ThriftValue;

namespace {

bool is_word(TokenKind k) noexcept { return k == TokenKind::Identifier || k == TokenKind::Keyword; }

ThriftValue empty_struct(const ThriftType::Struct& type) {
  ThriftValue::Struct s;
  s.name = type.name;
  return s;
}

}  // namespace

std::optional<ThriftValue> Parser::read_default(const ThriftType& type) {
  const std::size_t start = pos_;
  auto value = parse_default_value(type);
  if (value) return std::move(*value);
  // An unreadable literal is passed over from its first token; the field
  // simply has no default.
  pos_ = start;
  skip_default_value();
  return std::nullopt;
}

std::expected<ThriftValue, ParseError> Parser::parse_default_value(const ThriftType& type) {
  return parse_value_at(type, 1);
}

std::expected<std::vector<ThriftValue>, ParseError> Parser::parse_default_sequence(const ThriftType& element) {
  return parse_sequence_at(element, 1);
}

std::expected<ThriftValue, ParseError> Parser::parse_value_at(const ThriftType& type, int depth) {
  switch (type.kind()) {
    case ast::Kind::Bool: {
      PARSER_TRY_ASSIGN(Token t, consume_token());
      if (is_word(t.kind) && (t.text == "true" || t.text == "false")) return ThriftValue::Bool{t.text == "true"};
      if (t.kind == TokenKind::Number) return ThriftValue::Bool{t.number != 0};
      return std::unexpected(ParseError::unexpected(t));
    }
    case ast::Kind::Byte: {
      PARSER_TRY_ASSIGN(std::int64_t n, parse_i64_default());
      return ThriftValue::Byte{static_cast<std::int8_t>(n)};  // low bits, two's complement
    }
    case ast::Kind::I16: {
      PARSER_TRY_ASSIGN(std::int64_t n, parse_i64_default());
      return ThriftValue::I16{static_cast<std::int16_t>(n)};
    }
    case ast::Kind::I32: {
      PARSER_TRY_ASSIGN(std::int64_t n, parse_i64_default());
      return ThriftValue::I32{static_cast<std::int32_t>(n)};
    }
    case ast::Kind::I64: {
      PARSER_TRY_ASSIGN(std::int64_t n, parse_i64_default());
      return ThriftValue::I64{n};
    }
    case ast::Kind::Double: {
      PARSER_TRY_ASSIGN(std::int64_t n, parse_i64_default());
      return ThriftValue::Double{static_cast<double>(n)};
    }
    case ast::Kind::String: {
      PARSER_TRY_ASSIGN(Token t, consume_token());
      if (t.kind == TokenKind::String || is_word(t.kind)) return ThriftValue::String{std::string(t.text)};
      return std::unexpected(ParseError::unexpected(t));
    }
    case ast::Kind::Binary: {
      PARSER_TRY_ASSIGN(Token t, consume_token());
      if (t.kind != TokenKind::String) return std::unexpected(ParseError::unexpected(t));
      return ThriftValue::Binary{std::vector<std::uint8_t>(t.text.begin(), t.text.end())};
    }
    case ast::Kind::List: {
      PARSER_TRY_ASSIGN(auto values, parse_sequence_at(*type.get_if<ThriftType::List>()->element, depth));
      return ThriftValue::List{std::move(values)};
    }
    case ast::Kind::Set: {
      PARSER_TRY_ASSIGN(auto values, parse_sequence_at(*type.get_if<ThriftType::Set>()->element, depth));
      return ThriftValue::Set{std::move(values)};
    }
    case ast::Kind::Map:
      return parse_map_at(*type.get_if<ThriftType::Map>(), depth);
    case ast::Kind::Struct:
      skip_literal(false);
      return empty_struct(*type.get_if<ThriftType::Struct>());
  }
  return std::unexpected(ParseError::end_of_input());  // not reached: every kind is handled
}

std::expected<std::vector<ThriftValue>, ParseError> Parser::parse_sequence_at(const ThriftType& element,
                                                                              int depth) {
  if (depth > kMaxNestingDepth) {
    return std::unexpected(ParseError::syntax("Literal nested more than 256 levels deep"));
  }
  PARSER_TRY(expect_token(TokenKind::LeftBracket));
  std::vector<ThriftValue> values;
  const auto* named = element.get_if<ThriftType::Struct>();
  while (!at_end() && !next_is(TokenKind::RightBracket)) {
    const std::size_t before = pos_;
    if (named != nullptr) {
      // A named element is passed over up to its separator or the closing
      // bracket, which stays for this loop to see.
      skip_literal(true);
      values.push_back(empty_struct(*named));
    } else {
      PARSER_TRY_ASSIGN(ThriftValue v, parse_value_at(element, depth + 1));
      values.push_back(std::move(v));
    }
    if (!take_if(TokenKind::Comma)) take_if(TokenKind::Semicolon);
    // An element that took nothing stands before a closing ')' or '}': the
    // sequence cannot go on.
    if (pos_ == before) return std::unexpected(ParseError::unexpected(tokens_[pos_]));
  }
  PARSER_TRY(expect_token(TokenKind::RightBracket));
  return values;
}

std::expected<ThriftValue, ParseError> Parser::parse_map_at(const ThriftType::Map& type, int depth) {
  if (depth > kMaxNestingDepth) {
    return std::unexpected(ParseError::syntax("Literal nested more than 256 levels deep"));
  }
  PARSER_TRY(expect_token(TokenKind::LeftBrace));
  ThriftValue::Map map;
  while (!at_end() && !next_is(TokenKind::RightBrace)) {
    PARSER_TRY_ASSIGN(ThriftValue key, parse_value_at(*type.key, depth + 1));
    PARSER_TRY(expect_token(TokenKind::Colon));
    PARSER_TRY_ASSIGN(ThriftValue value, parse_value_at(*type.value, depth + 1));
    map.entries.emplace_back(std::move(key), std::move(value));
    if (!take_if(TokenKind::Comma)) take_if(TokenKind::Semicolon);
  }
  PARSER_TRY(expect_token(TokenKind::RightBrace));
  return map;
}

std::expected<std::int64_t, ParseError> Parser::parse_i64_default() {
  PARSER_TRY_ASSIGN(Token t, consume_token());
  if (t.kind == TokenKind::Number) return t.number;
  if (!is_word(t.kind)) return std::unexpected(ParseError::unexpected(t));
  PARSER_TRY_ASSIGN(auto parts, finish_identifier_path_parts(t.text));
  if (parts.size() == 2 && !doc_.enums.empty()) {
    if (auto e = doc_.enums.find(parts[0]); e != doc_.enums.end()) {
      if (auto m = e->second.values.find(parts[1]); m != e->second.values.end()) return m->second;
    }
  }
  std::string message = "Unknown numeric default value: ";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) message += '.';
    message += parts[i];
  }
  return std::unexpected(ParseError::syntax(std::move(message)));
}

void Parser::skip_default_value() { skip_literal(false); }

// Passes over one literal by bracket depth, with one counter per bracket
// kind. Inside a sequence a ']' at depth 0 belongs to the sequence and ends
// the literal; elsewhere it is passed over like a word.
void Parser::skip_literal(bool in_sequence) {
  const Token* t = peek();
  if (t == nullptr) return;
  int parens = 0;
  int braces = 0;
  int brackets = 0;
  auto closes_literal = [in_sequence](TokenKind k) {
    return k == TokenKind::Comma || k == TokenKind::Semicolon || k == TokenKind::RightParen ||
           k == TokenKind::RightBrace || (in_sequence && k == TokenKind::RightBracket);
  };
  if (closes_literal(t->kind)) return;
  ++pos_;
  if (t->kind == TokenKind::LeftParen) parens = 1;
  if (t->kind == TokenKind::LeftBrace) braces = 1;
  if (t->kind == TokenKind::LeftBracket) brackets = 1;

  while ((t = peek()) != nullptr) {
    const TokenKind k = t->kind;
    if (parens > 0 || braces > 0 || brackets > 0) {
      ++pos_;
      switch (k) {
        case TokenKind::LeftParen: ++parens; break;
        case TokenKind::LeftBrace: ++braces; break;
        case TokenKind::LeftBracket: ++brackets; break;
        case TokenKind::RightParen: parens = parens > 0 ? parens - 1 : 0; break;
        case TokenKind::RightBrace: braces = braces > 0 ? braces - 1 : 0; break;
        case TokenKind::RightBracket: brackets = brackets > 0 ? brackets - 1 : 0; break;
        default: break;
      }
      continue;
    }
    if (k == TokenKind::Keyword || k == TokenKind::Number || closes_literal(k)) return;
    ++pos_;
    if (k == TokenKind::LeftParen) parens = 1;
    if (k == TokenKind::LeftBrace) braces = 1;
    if (k == TokenKind::LeftBracket) brackets = 1;
  }
}

}  // namespace brovane::parser
