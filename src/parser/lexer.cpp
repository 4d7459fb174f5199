#include "parser/lexer.hpp"

#include <array>
#include <cstring>

#include "parser/ast.hpp"
#include "parser/unicode.hpp"

namespace brovane::parser {

namespace {

constexpr std::array<std::string_view, 18> kKindNames = {
    "Keyword",   "Identifier", "Number",      "String",     "Comma",        "Semicolon",
    "LeftParen", "RightParen", "LeftBrace",   "RightBrace", "LeftBracket",  "RightBracket",
    "LessThan",  "GreaterThan", "Colon",      "Equal",      "Dot",          "Asterisk",
};

std::string debug_token(TokenKind kind, std::string_view text, std::int64_t number) {
  std::string out(token_kind_name(kind));
  switch (kind) {
    case TokenKind::Keyword:
    case TokenKind::Identifier:
    case TokenKind::String:
      out += '(';
      ast::append_debug_str(out, text);
      out += ')';
      break;
    case TokenKind::Number:
      out += '(';
      out += std::to_string(number);
      out += ')';
      break;
    default:
      break;
  }
  return out;
}

bool is_keyword(std::string_view w) noexcept {
  switch (w.size()) {
    case 4: return w == "enum";
    case 5: return w == "const" || w == "union";
    case 6: return w == "struct" || w == "oneway" || w == "throws";
    case 7: return w == "service" || w == "include" || w == "typedef" || w == "extends";
    case 8: return w == "required" || w == "optional";
    case 9: return w == "namespace" || w == "exception";
    default: return false;
  }
}

bool is_word_start(unsigned char c) noexcept { return c == '_' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

bool is_ascii_word_char(unsigned char c) noexcept { return is_word_start(c) || (c >= '0' && c <= '9'); }

bool punctuation(unsigned char c, TokenKind& kind) noexcept {
  switch (c) {
    case ',': kind = TokenKind::Comma; return true;
    case ';': kind = TokenKind::Semicolon; return true;
    case '(': kind = TokenKind::LeftParen; return true;
    case ')': kind = TokenKind::RightParen; return true;
    case '{': kind = TokenKind::LeftBrace; return true;
    case '}': kind = TokenKind::RightBrace; return true;
    case '[': kind = TokenKind::LeftBracket; return true;
    case ']': kind = TokenKind::RightBracket; return true;
    case '<': kind = TokenKind::LessThan; return true;
    case '>': kind = TokenKind::GreaterThan; return true;
    case ':': kind = TokenKind::Colon; return true;
    case '=': kind = TokenKind::Equal; return true;
    case '.': kind = TokenKind::Dot; return true;
    case '*': kind = TokenKind::Asterisk; return true;
    default: return false;
  }
}

// Skips blanks and comments from `i`; returns the first position after them.
std::size_t skip_trivia(std::string_view s, std::size_t i) noexcept {
  const std::size_t n = s.size();
  while (i < n) {
    const char c = s[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '/') {
      const void* nl = std::memchr(s.data() + i, '\n', n - i);
      i = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - s.data()) : n;
      continue;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      const std::size_t close = s.find("*/", i + 2);
      if (close == std::string_view::npos) return i;  // not a comment: left in place
      i = close + 2;
      continue;
    }
    if (c == '#') {
      const void* nl = std::memchr(s.data() + i, '\n', n - i);
      i = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - s.data()) : n;
      continue;
    }
    break;
  }
  return i;
}

// Reads an optional '-' and ASCII digits as a signed 64-bit integer. Returns
// false (and leaves `i`) when there is no number or it is out of range.
bool read_number(std::string_view s, std::size_t& i, std::int64_t& out) noexcept {
  std::size_t j = i;
  const bool negative = s[j] == '-';
  if (negative) ++j;
  if (j >= s.size() || s[j] < '0' || s[j] > '9') return false;
  // Accumulate the magnitude as unsigned; the negative range is one larger.
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t mag = 0;
  bool overflow = false;
  while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
    const unsigned d = static_cast<unsigned>(s[j] - '0');
    if (!overflow && (mag > (limit - d) / 10)) overflow = true;
    if (!overflow) mag = mag * 10 + d;
    ++j;
  }
  if (overflow) return false;
  out = negative ? static_cast<std::int64_t>(0 - mag) : static_cast<std::int64_t>(mag);
  i = j;
  return true;
}

ParseError unexpected_input(std::string_view rest) {
  // Trim White_Space at both ends, then cut to at most 40 bytes on a
  // character boundary.
  std::size_t begin = 0;
  std::size_t end = 0;  // end of the last non-blank character
  bool seen = false;
  for (std::size_t i = 0; i < rest.size();) {
    const unicode::Decoded d = unicode::decode(rest, i);
    const bool blank = d.valid && unicode::is_white_space(d.cp);
    if (!blank) {
      if (!seen) begin = i, seen = true;
      end = i + d.len;
    }
    i += d.len;
  }
  std::string_view trimmed = seen ? rest.substr(begin, end - begin) : std::string_view{};
  std::size_t cut = 0;
  while (cut < trimmed.size()) {
    const std::size_t len = unicode::decode(trimmed, cut).len;
    if (cut + len > 40) break;
    cut += len;
  }
  std::string message = "Unexpected input: ";
  ast::append_debug_str(message, trimmed.substr(0, cut));
  return ParseError::syntax(std::move(message));
}

bool only_white_space(std::string_view rest) noexcept {
  for (std::size_t i = 0; i < rest.size();) {
    const unicode::Decoded d = unicode::decode(rest, i);
    if (!d.valid || !unicode::is_white_space(d.cp)) return false;
    i += d.len;
  }
  return true;
}

}  // namespace

std::string_view token_kind_name(TokenKind kind) noexcept { return kKindNames[static_cast<std::size_t>(kind)]; }

std::string to_debug_string(const Token& t) { return debug_token(t.kind, t.text, t.number); }
std::string to_debug_string(const OwnedToken& t) { return debug_token(t.kind, t.text, t.number); }

std::string ParseError::to_string() const {
  if (const auto* s = std::get_if<Syntax>(&v)) return "Syntax error: " + s->message;
  if (const auto* u = std::get_if<UnexpectedToken>(&v)) return "Unexpected token: " + to_debug_string(u->token);
  return "End of input";
}

std::expected<std::vector<Token>, ParseError> tokenize(std::string_view s) {
  std::vector<Token> tokens;
  // Typical IDL averages well over four bytes per token; growth covers the rest.
  tokens.reserve(s.size() / 5 + 4);
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (true) {
    const std::size_t start = i;
    i = skip_trivia(s, i);
    if (i == n) return tokens;

    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"') {
      const void* q = std::memchr(s.data() + i + 1, '"', n - i - 1);
      if (q != nullptr) {
        const std::size_t close = static_cast<std::size_t>(static_cast<const char*>(q) - s.data());
        tokens.push_back({TokenKind::String, s.substr(i + 1, close - i - 1), 0});
        i = close + 1;
        continue;
      }
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      std::int64_t value = 0;
      if (read_number(s, i, value)) {
        tokens.push_back({TokenKind::Number, {}, value});
        continue;
      }
    } else if (is_word_start(c)) {
      std::size_t j = i + 1;
      while (j < n) {
        const auto b = static_cast<unsigned char>(s[j]);
        if (b < 0x80) {
          if (!is_ascii_word_char(b)) break;
          ++j;
          continue;
        }
        const unicode::Decoded d = unicode::decode(s, j);
        if (!d.valid || !unicode::is_alphanumeric(d.cp)) break;
        j += d.len;
      }
      const std::string_view word = s.substr(i, j - i);
      tokens.push_back({is_keyword(word) ? TokenKind::Keyword : TokenKind::Identifier, word, 0});
      i = j;
      continue;
    } else {
      TokenKind kind;
      if (punctuation(c, kind)) {
        tokens.push_back({kind, {}, 0});
        ++i;
        continue;
      }
    }

    // Nothing could be read: the rest, from the start of this attempt, must
    // be white space alone.
    const std::string_view rest = s.substr(start);
    if (only_white_space(rest)) return tokens;
    return std::unexpected(unexpected_input(rest));
  }
}

}  // namespace brovane::parser
