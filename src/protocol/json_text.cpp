#include "protocol/json_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "protocol/types.hpp"

namespace brovane::protocol {

namespace {

constexpr std::string_view kEofWhileParsingList = "EOF while parsing a list";
constexpr std::string_view kEofWhileParsingObject = "EOF while parsing an object";
constexpr std::string_view kEofWhileParsingString = "EOF while parsing a string";
constexpr std::string_view kEofWhileParsingValue = "EOF while parsing a value";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
constexpr std::string_view kExpectedSomeIdent = "expected ident";
constexpr std::string_view kExpectedSomeValue = "expected value";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kNumberOutOfRange = "number out of range";
constexpr std::string_view kInvalidUnicodeCodePoint = "invalid unicode code point";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kKeyMustBeAString = "key must be a string";
constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
constexpr std::string_view kRecursionLimitExceeded = "recursion limit exceeded";

bool is_digit(unsigned char c) noexcept { return static_cast<unsigned>(c - '0') < 10u; }

int hex_value(unsigned char c) noexcept {
  if (is_digit(c)) return c - '0';
  c |= 0x20;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void append_utf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)),
                       static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

// Recursive descent over the bytes. Errors name the offending byte: a check
// made before a byte is consumed (fail_peek) names that byte, one made after
// consuming (fail) names the last byte consumed; either way the column is the
// byte's 1-based column.
class Parser {
 public:
  explicit Parser(std::string_view text) noexcept
      : data_(reinterpret_cast<const unsigned char*>(text.data())), size_(text.size()) {}

  std::expected<Json, JsonParseError> parse_document() {
    Json value;
    if (!parse_value(value)) return std::unexpected(err_);
    if (skip_whitespace()) {
      fail_peek(kTrailingCharacters);
      return std::unexpected(err_);
    }
    return value;
  }

 private:
  bool at_end() const noexcept { return pos_ == size_; }
  unsigned char peek() const noexcept { return data_[pos_]; }
  // The byte at the position, or 0 at the end (never a byte the grammar wants).
  unsigned char peek_or_null() const noexcept { return pos_ < size_ ? data_[pos_] : 0; }

  // True when a byte follows the whitespace.
  bool skip_whitespace() noexcept {
    while (pos_ < size_) {
      const unsigned char c = data_[pos_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return true;
      ++pos_;
    }
    return false;
  }

  [[gnu::cold]] JsonParseError at_index(std::string_view reason, std::size_t index) const {
    const auto* begin = data_;
    std::size_t line_start = 0;
    std::size_t line = 1;
    for (std::size_t i = 0; i < index; ++i) {
      if (begin[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    return JsonParseError{reason, line, index - line_start};
  }
  // Both return false so that a failing step reads `return fail(...)`.
  [[gnu::cold]] bool fail(std::string_view reason) {
    err_ = at_index(reason, pos_);
    return false;
  }
  [[gnu::cold]] bool fail_peek(std::string_view reason) {
    err_ = at_index(reason, std::min(size_, pos_ + 1));
    return false;
  }

  bool parse_value(Json& out) {
    if (!skip_whitespace()) return fail_peek(kEofWhileParsingValue);
    switch (peek()) {
      case 'n':
        ++pos_;
        if (!parse_ident("ull")) return false;
        out = nullptr;
        return true;
      case 't':
        ++pos_;
        if (!parse_ident("rue")) return false;
        out = true;
        return true;
      case 'f':
        ++pos_;
        if (!parse_ident("alse")) return false;
        out = false;
        return true;
      case '-':
        ++pos_;
        return parse_number(false, pos_ - 1, out);
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        return parse_number(true, pos_, out);
      case '"': {
        ++pos_;
        std::string s;
        if (!parse_string(s)) return false;
        out = std::move(s);
        return true;
      }
      case '[':
        // The budget is checked before the bracket is consumed and before
        // any recursion, so hostile nesting costs nothing but this test.
        if (--depth_ == 0) return fail_peek(kRecursionLimitExceeded);
        ++pos_;
        if (!parse_array(out)) return false;
        ++depth_;
        return true;
      case '{':
        if (--depth_ == 0) return fail_peek(kRecursionLimitExceeded);
        ++pos_;
        if (!parse_object(out)) return false;
        ++depth_;
        return true;
      default:
        return fail_peek(kExpectedSomeValue);
    }
  }

  bool parse_ident(std::string_view rest) {
    for (const char expected : rest) {
      if (at_end()) return fail(kEofWhileParsingValue);
      const unsigned char c = data_[pos_++];
      if (c != static_cast<unsigned char>(expected)) return fail(kExpectedSomeIdent);
    }
    return true;
  }

  bool parse_array(Json& out) {
    Json::array_t items;
    bool first = true;
    for (;;) {
      if (!skip_whitespace()) return fail_peek(kEofWhileParsingList);
      unsigned char c = peek();
      if (c == ']') break;
      if (first) {
        first = false;
      } else if (c == ',') {
        ++pos_;
        if (!skip_whitespace()) return fail_peek(kEofWhileParsingValue);
        if (peek() == ']') return fail_peek(kTrailingComma);
      } else {
        return fail_peek(kExpectedListCommaOrEnd);
      }
      items.emplace_back();
      if (!parse_value(items.back())) return false;
    }
    ++pos_;
    out = Json(std::move(items));
    return true;
  }

  bool parse_object(Json& out) {
    Json::object_t entries;
    bool first = true;
    std::string key;
    for (;;) {
      if (!skip_whitespace()) return fail_peek(kEofWhileParsingObject);
      const unsigned char c = peek();
      if (c == '}') break;
      if (first) {
        first = false;
        if (c != '"') return fail_peek(kKeyMustBeAString);
      } else if (c == ',') {
        ++pos_;
        if (!skip_whitespace()) return fail_peek(kEofWhileParsingValue);
        const unsigned char k = peek();
        if (k == '}') return fail_peek(kTrailingComma);
        if (k != '"') return fail_peek(kKeyMustBeAString);
      } else {
        return fail_peek(kExpectedObjectCommaOrEnd);
      }
      ++pos_;
      key.clear();
      if (!parse_string(key)) return false;
      if (!skip_whitespace()) return fail_peek(kEofWhileParsingObject);
      if (peek() != ':') return fail_peek(kExpectedColon);
      ++pos_;
      Json value;
      if (!parse_value(value)) return false;
      // A repeated key keeps the value that comes last.
      entries.insert_or_assign(std::move(key), std::move(value));
    }
    ++pos_;
    out = Json(std::move(entries));
    return true;
  }

  // After the opening quote; consumes the closing one.
  bool parse_string(std::string& out) {
    std::size_t start = pos_;
    bool non_ascii = false;
    for (;;) {
      while (pos_ < size_) {
        const unsigned char c = data_[pos_];
        if (c == '"' || c == '\\' || c < 0x20) break;
        non_ascii |= c >= 0x80;
        ++pos_;
      }
      if (at_end()) return fail(kEofWhileParsingString);
      const unsigned char c = data_[pos_];
      if (c == '"') {
        out.append(reinterpret_cast<const char*>(data_ + start), pos_ - start);
        ++pos_;
        // Escapes always produce valid UTF-8; raw bytes are checked only
        // when some were not ASCII.
        if (non_ascii && validate_utf8(out)) return fail(kInvalidUnicodeCodePoint);
        return true;
      }
      if (c == '\\') {
        out.append(reinterpret_cast<const char*>(data_ + start), pos_ - start);
        ++pos_;
        if (!parse_escape(out)) return false;
        start = pos_;
        continue;
      }
      ++pos_;
      return fail(kControlCharacter);
    }
  }

  // After the backslash.
  bool parse_escape(std::string& out) {
    if (at_end()) return fail(kEofWhileParsingString);
    switch (data_[pos_++]) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': return parse_unicode_escape(out);
      default: return fail(kInvalidEscape);
    }
  }

  // Four hex digits, consumed as a block before they are judged.
  bool decode_hex_escape(std::uint32_t& out) {
    if (size_ - pos_ < 4) {
      pos_ = size_;
      return fail(kEofWhileParsingString);
    }
    std::uint32_t n = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
      const int v = hex_value(data_[pos_ + i]);
      ok &= v >= 0;
      n = (n << 4) | static_cast<std::uint32_t>(v & 0xF);
    }
    pos_ += 4;
    if (!ok) return fail(kInvalidEscape);
    out = n;
    return true;
  }

  // After "\u". Text must be valid Unicode, so surrogates must come in pairs.
  bool parse_unicode_escape(std::string& out) {
    std::uint32_t n = 0;
    if (!decode_hex_escape(n)) return false;
    // A trailing surrogate with no leading one before it.
    if (n >= 0xDC00 && n <= 0xDFFF) return fail(kLoneLeadingSurrogate);
    if (n < 0xD800 || n > 0xDBFF) {
      append_utf8(n, out);
      return true;
    }
    if (at_end()) return fail(kEofWhileParsingString);
    if (data_[pos_++] != '\\') return fail(kUnexpectedEndOfHexEscape);
    if (at_end()) return fail(kEofWhileParsingString);
    if (data_[pos_++] != 'u') return fail(kUnexpectedEndOfHexEscape);
    std::uint32_t n2 = 0;
    if (!decode_hex_escape(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail(kLoneLeadingSurrogate);
    append_utf8((((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000, out);
    return true;
  }

  // `start` is where the number's text begins (at the '-' for a negative one,
  // which is already consumed).
  bool parse_number(bool positive, std::size_t start, Json& out) {
    if (at_end()) return fail(kEofWhileParsingValue);
    const unsigned char first = data_[pos_++];
    std::uint64_t significand = 0;
    bool fits_u64 = true;
    bool zero_significand = true;
    // Decimal exponent of the first significant digit, used to tell an
    // overflow from an underflow when the conversion reports either.
    std::int64_t lead_exp = 0;
    bool have_lead = false;
    if (first == '0') {
      if (is_digit(peek_or_null())) return fail_peek(kInvalidNumber);
    } else if (first >= '1' && first <= '9') {
      significand = first - '0';
      zero_significand = false;
      have_lead = true;
      while (is_digit(peek_or_null())) {
        const unsigned digit = data_[pos_] - '0';
        if (fits_u64 && significand > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
          fits_u64 = false;
        if (fits_u64) significand = significand * 10 + digit;
        ++lead_exp;
        ++pos_;
      }
    } else {
      return fail(kInvalidNumber);
    }

    bool is_float = !fits_u64;
    std::int64_t fraction_pos = 0;
    if (peek_or_null() == '.') {
      is_float = true;
      ++pos_;
      std::size_t digits = 0;
      while (is_digit(peek_or_null())) {
        --fraction_pos;
        if (data_[pos_] != '0') {
          zero_significand = false;
          if (!have_lead) {
            have_lead = true;
            lead_exp = fraction_pos;
          }
        }
        ++digits;
        ++pos_;
      }
      if (digits == 0) {
        if (at_end()) return fail_peek(kEofWhileParsingValue);
        return fail_peek(kInvalidNumber);
      }
    }

    std::int64_t exponent = 0;
    const unsigned char e = peek_or_null();
    if (e == 'e' || e == 'E') {
      is_float = true;
      ++pos_;
      bool positive_exp = true;
      if (peek_or_null() == '+') {
        ++pos_;
      } else if (peek_or_null() == '-') {
        positive_exp = false;
        ++pos_;
      }
      if (at_end()) return fail(kEofWhileParsingValue);
      const unsigned char d = data_[pos_++];
      if (!is_digit(d)) return fail(kInvalidNumber);
      std::int32_t exp = d - '0';
      while (is_digit(peek_or_null())) {
        const int digit = data_[pos_++] - '0';
        if (exp > (std::numeric_limits<std::int32_t>::max() - digit) / 10) {
          // An exponent beyond 32 bits: a certain overflow, or zero.
          if (!zero_significand && positive_exp) return fail(kNumberOutOfRange);
          while (is_digit(peek_or_null())) ++pos_;
          out = positive ? 0.0 : -0.0;
          return true;
        }
        exp = exp * 10 + digit;
      }
      exponent = positive_exp ? exp : -static_cast<std::int64_t>(exp);
    }

    if (!is_float) {
      if (positive) {
        out = Json(static_cast<Json::number_unsigned_t>(significand));
      } else if (significand == 0 ||
                 significand >
                     static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) {
        // -0 and integers below the i64 range are doubles.
        out = -static_cast<double>(significand);
      } else {
        out = Json(static_cast<Json::number_integer_t>(0 - significand));
      }
      return true;
    }

    const char* text = reinterpret_cast<const char*>(data_ + start);
    const char* text_end = reinterpret_cast<const char*>(data_ + pos_);
    double value = 0.0;
    const auto r = std::from_chars(text, text_end, value, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
      if (have_lead && lead_exp + exponent > 0) return fail(kNumberOutOfRange);
      value = positive ? 0.0 : -0.0;
    } else if (r.ec != std::errc() || r.ptr != text_end || !std::isfinite(value)) {
      // The grammar above admits nothing from_chars would refuse.
      return fail(kInvalidNumber);
    }
    out = value;
    return true;
  }

  const unsigned char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  int depth_ = kJsonDepthBudget;
  JsonParseError err_{};
};

constexpr char kHex[] = "0123456789abcdef";

// 0 for bytes copied as they are, else the character after the backslash
// ('u' for \u00xx).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\f'] = 'f';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

template <class Int>
void append_integer(Int v, std::string& out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

}  // namespace

std::string JsonParseError::display() const {
  std::string s(reason);
  s += " at line ";
  s += std::to_string(line);
  s += " column ";
  s += std::to_string(column);
  return s;
}

std::expected<Json, JsonParseError> parse_json(std::string_view text) {
  return Parser(text).parse_document();
}

void append_json_string(std::string_view s, std::string& out) {
  out.push_back('"');
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char esc = kEscape[static_cast<unsigned char>(s[i])];
    if (esc == 0) [[likely]]
      continue;
    out.append(s.data() + start, i - start);
    start = i + 1;
    if (esc == 'u') {
      const auto c = static_cast<unsigned char>(s[i]);
      const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(u, 6);
    } else {
      const char two[2] = {'\\', esc};
      out.append(two, 2);
    }
  }
  out.append(s.data() + start, s.size() - start);
  out.push_back('"');
}

void append_json_double(double v, std::string& out) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  if (std::signbit(v)) out.push_back('-');
  v = std::fabs(v);
  if (v == 0.0) {
    out += "0.0";
    return;
  }
  // The shortest round-trip digits (d.ddde±x), then laid out by where the
  // decimal point falls: plain digits with ".0" up to 16 integer digits,
  // a plain fraction down to 0.0000xxx, an exponent beyond either.
  char sci[32];
  const auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  const std::string_view s(sci, static_cast<std::size_t>(r.ptr - sci));
  const std::size_t epos = s.find('e');
  char digits[20];
  int length = 0;
  for (std::size_t i = 0; i < epos; ++i) {
    if (s[i] != '.') digits[length++] = s[i];
  }
  int sci_exp = 0;
  std::from_chars(s.data() + epos + (s[epos + 1] == '+' ? 2 : 1), s.data() + s.size(), sci_exp);
  const int kk = sci_exp + 1;  // 10^(kk-1) <= v < 10^kk
  const int k = kk - length;   // v = digits * 10^k

  if (k >= 0 && kk <= 16) {
    out.append(digits, static_cast<std::size_t>(length));
    out.append(static_cast<std::size_t>(k), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    out.append(digits, static_cast<std::size_t>(kk));
    out.push_back('.');
    out.append(digits + kk, static_cast<std::size_t>(length - kk));
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out.append(digits, static_cast<std::size_t>(length));
  } else {
    out.push_back(digits[0]);
    if (length > 1) {
      out.push_back('.');
      out.append(digits + 1, static_cast<std::size_t>(length - 1));
    }
    out.push_back('e');
    append_integer(kk - 1, out);
  }
}

void append_json(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      out += "null";
      return;
    case Json::value_t::boolean:
      out += value.get_ref<const Json::boolean_t&>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
      append_integer(value.get_ref<const Json::number_integer_t&>(), out);
      return;
    case Json::value_t::number_unsigned:
      append_integer(value.get_ref<const Json::number_unsigned_t&>(), out);
      return;
    case Json::value_t::number_float:
      append_json_double(value.get_ref<const Json::number_float_t&>(), out);
      return;
    case Json::value_t::string:
      append_json_string(value.get_ref<const Json::string_t&>(), out);
      return;
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const Json& item : value.get_ref<const Json::array_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_json(item, out);
      }
      out.push_back(']');
      return;
    }
    case Json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : value.get_ref<const Json::object_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_json_string(key, out);
        out.push_back(':');
        append_json(item, out);
      }
      out.push_back('}');
      return;
    }
    case Json::value_t::binary: {
      // Not produced by the parser or the codecs; printed as the byte array
      // it holds so that no value is without a text.
      out.push_back('[');
      bool first = true;
      for (const std::uint8_t b : value.get_ref<const Json::binary_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_integer(static_cast<unsigned>(b), out);
      }
      out.push_back(']');
      return;
    }
  }
}

std::string to_json_text(const Json& value) {
  std::string out;
  append_json(value, out);
  return out;
}

std::string json_key_text(const Json& value) {
  if (const auto* s = value.get_ptr<const Json::string_t*>()) return *s;
  return to_json_text(value);
}

}  // namespace brovane::protocol
