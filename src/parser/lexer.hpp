// IDL tokens, the tokenizer, and the parse error shared by tokenizer and
// parser.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brovane::parser {

// Token kinds in their fixed order.
enum class TokenKind : std::uint8_t {
  Keyword,
  Identifier,
  Number,
  String,
  Comma,
  Semicolon,
  LeftParen,
  RightParen,
  LeftBrace,
  RightBrace,
  LeftBracket,
  RightBracket,
  LessThan,
  GreaterThan,
  Colon,
  Equal,
  Dot,
  Asterisk,
};

// One token. `text` is the word (Keyword, Identifier) or the string contents
// without quotes (String) and views the tokenized text, which must outlive
// the token; `number` is the value of a Number. Both are empty/zero for
// punctuation.
struct Token {
  TokenKind kind = TokenKind::Comma;
  std::string_view text;
  std::int64_t number = 0;

  bool operator==(const Token&) const = default;
};

// A token that owns its text, as carried by an error.
struct OwnedToken {
  TokenKind kind = TokenKind::Comma;
  std::string text;
  std::int64_t number = 0;

  OwnedToken() = default;
  explicit OwnedToken(const Token& t) : kind(t.kind), text(t.text), number(t.number) {}
  bool operator==(const OwnedToken&) const = default;
};

// Debug form: `Keyword("struct")`, `Identifier("foo")`, `String("a b")`,
// `Number(-5)`, `Comma`.
std::string to_debug_string(const Token& token);
std::string to_debug_string(const OwnedToken& token);
std::string_view token_kind_name(TokenKind kind) noexcept;

struct ParseError {
  struct Syntax {
    std::string message;
    bool operator==(const Syntax&) const = default;
  };
  struct UnexpectedToken {
    OwnedToken token;
    bool operator==(const UnexpectedToken&) const = default;
  };
  struct EndOfInput {
    bool operator==(const EndOfInput&) const = default;
  };

  std::variant<Syntax, UnexpectedToken, EndOfInput> v;

  static ParseError syntax(std::string message) { return {Syntax{std::move(message)}}; }
  static ParseError unexpected(const Token& token) { return {UnexpectedToken{OwnedToken(token)}}; }
  static ParseError end_of_input() { return {EndOfInput{}}; }

  // "Syntax error: {}", "Unexpected token: {:?}" or "End of input".
  std::string to_string() const;

  bool operator==(const ParseError&) const = default;
};

// The whole text as tokens, or Syntax "Unexpected input: {:?}" showing at
// most 40 bytes of the text where no token could be read.
std::expected<std::vector<Token>, ParseError> tokenize(std::string_view text);

}  // namespace brovane::parser
