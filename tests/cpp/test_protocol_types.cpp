#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "protocol/types.hpp"

namespace {

using namespace brovane::protocol;
using namespace std::string_view_literals;

TEST(TType, FieldAndElementTypeCodes) {
  for (int b = 0; b < 256; ++b) {
    const bool field = b == 1 || b == 2 || b == 3 || b == 4 || b == 6 || b == 8 || (b >= 10 && b <= 15);
    EXPECT_EQ(is_field_type_code(static_cast<std::uint8_t>(b)), field) << b;
    EXPECT_EQ(is_element_type_code(static_cast<std::uint8_t>(b)), field || b == 0) << b;
  }
  EXPECT_EQ(to_byte(kNoType), 16);
  EXPECT_EQ(to_byte(TType::List), 15);
}

TEST(ProtocolError, DisplayTexts) {
  EXPECT_EQ(ProtocolError::eof().display(), "IO error: failed to fill whole buffer");
  EXPECT_EQ(ProtocolError::invalid_data("Bad version: 0x00000004").display(),
            "IO error: Bad version: 0x00000004");
  EXPECT_EQ(ProtocolError::invalid_type(5).display(), "Invalid type: 5");
  EXPECT_EQ(ProtocolError::invalid_type(255).display(), "Invalid type: 255");
  EXPECT_EQ(ProtocolError::invalid_field_type().display(), "Invalid field type");
  EXPECT_EQ(ProtocolError::io(IoErrorKind::Other, "stack underflow").display(),
            "IO error: stack underflow");
}

TEST(ProtocolError, StandardConversionKeepsIoErrors) {
  const IoError eof = to_io_error(ProtocolError::eof());
  EXPECT_EQ(eof.kind, IoErrorKind::UnexpectedEof);
  EXPECT_EQ(eof.text, "failed to fill whole buffer");

  const IoError other = to_io_error(ProtocolError::io(IoErrorKind::Other, "stack underflow"));
  EXPECT_EQ(other, (IoError{IoErrorKind::Other, "stack underflow"}));

  EXPECT_EQ(to_io_error(ProtocolError::invalid_type(9)),
            (IoError{IoErrorKind::InvalidData, "Invalid type: 9"}));
  EXPECT_EQ(to_io_error(ProtocolError::invalid_field_type()),
            (IoError{IoErrorKind::InvalidData, "Invalid field type"}));
}

TEST(ProtocolError, InvalidDataConversionWrapsEverything) {
  EXPECT_EQ(to_io_error_invalid_data(ProtocolError::eof()),
            (IoError{IoErrorKind::InvalidData, "IO error: failed to fill whole buffer"}));
  EXPECT_EQ(to_io_error_invalid_data(ProtocolError::invalid_type(16)),
            (IoError{IoErrorKind::InvalidData, "Invalid type: 16"}));
  EXPECT_EQ(to_io_error_invalid_data(ProtocolError::invalid_field_type()),
            (IoError{IoErrorKind::InvalidData, "Invalid field type"}));
}

TEST(IoError, KindOnlyErrorsDisplayTheKind) {
  EXPECT_EQ(IoError::from_kind(IoErrorKind::UnexpectedEof).display(), "unexpected end of file");
  EXPECT_EQ(IoError::from_kind(IoErrorKind::ConnectionRefused).display(), "connection refused");
  EXPECT_EQ(IoError::from_kind(IoErrorKind::TimedOut).display(), "timed out");
}

PResult<int> half(int v) {
  if (v % 2) return std::unexpected(ProtocolError::invalid_type(static_cast<std::uint8_t>(v)));
  return v / 2;
}
PResult<std::string> quarter_text(int v) {
  const int h = BRV_TRY(half(v));
  const int q = BRV_TRY(half(h));
  return std::to_string(q);
}
PStatus check_quarter(int v) {
  BRV_TRY_VOID(quarter_text(v));
  return {};
}

TEST(Try, PropagatesTheFirstError) {
  EXPECT_EQ(quarter_text(12).value(), "3");
  EXPECT_EQ(quarter_text(6).error().type_byte(), 3);
  EXPECT_EQ(check_quarter(7).error().display(), "Invalid type: 7");
  EXPECT_TRUE(check_quarter(8).has_value());
}

struct Utf8Case {
  std::string_view input;
  std::string_view error;  // empty: valid
};

TEST(Utf8, ErrorsMatchFromUtf8) {
  const Utf8Case cases[] = {
      {""sv, ""},
      {"plain ascii"sv, ""},
      {"h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"sv, ""},
      {"\xEF\xBF\xBF\xED\x9F\xBF\xEE\x80\x80"sv, ""},
      {"\xFF\xFE"sv, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xC3"sv, "incomplete utf-8 byte sequence from index 0"},
      {"abc\xC3"sv, "incomplete utf-8 byte sequence from index 3"},
      {"\xC2Z"sv, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xC0\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xC1\xBF"sv, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xF5\x80\x80\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xF5"sv, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xE0"sv, "incomplete utf-8 byte sequence from index 0"},
      {"\xE0\xA0"sv, "incomplete utf-8 byte sequence from index 0"},
      {"\xE0\x80\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0"},   // overlong
      {"\xED\xA0\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0"},   // surrogate
      {"\xE2\x82Z"sv, "invalid utf-8 sequence of 2 bytes from index 0"},
      {"\xF0\x8F\xBF\xBF"sv, "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong
      {"\xF4\x90\x80\x80"sv, "invalid utf-8 sequence of 1 bytes from index 0"},  // > U+10FFFF
      {"\xF0\x9F\x98"sv, "incomplete utf-8 byte sequence from index 0"},
      {"\xF0\x9FZ"sv, "invalid utf-8 sequence of 2 bytes from index 0"},
      {"\xF0\x9F\x98Z"sv, "invalid utf-8 sequence of 3 bytes from index 0"},
      {"h\xC3\xA9llo\xFF"sv, "invalid utf-8 sequence of 1 bytes from index 6"},
  };
  for (const auto& c : cases) {
    const auto err = validate_utf8(c.input);
    EXPECT_EQ(err ? err->display() : std::string(), c.error) << testing::PrintToString(c.input);
    const PStatus st = check_utf8(c.input);
    if (c.error.empty()) {
      EXPECT_TRUE(st.has_value());
    } else {
      ASSERT_FALSE(st.has_value());
      EXPECT_EQ(st.error().io_error(), (IoError{IoErrorKind::InvalidData, std::string(c.error)}));
    }
  }
}

// The word-at-a-time scan must report the exact index wherever the first bad
// byte falls relative to the word boundaries, and resume correctly after
// multi-byte characters.
TEST(Utf8, IndexIsExactAcrossWordBoundaries) {
  for (std::size_t prefix = 0; prefix < 40; ++prefix) {
    std::string s(prefix, 'a');
    s += "\xC3\xA9";                // valid two-byte character
    s += std::string(prefix, 'b');  // more ASCII, scanned word-wise again
    const std::size_t bad = s.size();
    s += "\xFF";
    s += std::string(17, 'c');
    const auto err = validate_utf8(s);
    ASSERT_TRUE(err.has_value()) << prefix;
    EXPECT_EQ(err->valid_up_to, bad) << prefix;
    EXPECT_EQ(err->error_len, std::optional<std::uint8_t>(1)) << prefix;

    std::string cut(prefix, 'a');
    cut += "\xE2\x82";
    const auto inc = validate_utf8(cut);
    ASSERT_TRUE(inc.has_value());
    EXPECT_EQ(inc->valid_up_to, prefix);
    EXPECT_FALSE(inc->error_len.has_value());
  }
}

// Every scalar value's encoding is accepted, alone and after ASCII padding.
TEST(Utf8, AcceptsEveryScalarValue) {
  std::string all;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (cp < 0x80) {
      all += static_cast<char>(cp);
    } else if (cp < 0x800) {
      all += static_cast<char>(0xC0 | (cp >> 6));
      all += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      all += static_cast<char>(0xE0 | (cp >> 12));
      all += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      all += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      all += static_cast<char>(0xF0 | (cp >> 18));
      all += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      all += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      all += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  EXPECT_FALSE(validate_utf8(all).has_value());
}

}  // namespace
