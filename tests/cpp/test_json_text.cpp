#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "protocol/json_text.hpp"

namespace {

using namespace brovane::protocol;
using namespace std::string_literals;

std::string parse_result(std::string_view text) {
  auto r = parse_json(text);
  if (!r) return "ERR " + r.error().display();
  return to_json_text(*r);
}

TEST(JsonParse, ValuesPrintBackCompactly) {
  const struct {
    std::string text;
    std::string printed;
  } cases[] = {
      {"null", "null"},
      {" true ", "true"},
      {"\t\r\nfalse\n", "false"},
      {"[ 1 , 2 ]", "[1,2]"},
      {"[]", "[]"},
      {"{ }", "{}"},
      {R"({"b":1,"a":[1,{"c":null}]})", R"({"a":[1,{"c":null}],"b":1})"},
      // A repeated key keeps its last value.
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      // Keys sort by bytes.
      {R"({"b":0,"B":0,"10":0,"2":0,"é":0})", R"({"10":0,"2":0,"B":0,"b":0,"é":0})"},
      {R"("\"\\\/\b\f\n\r\t")", R"("\"\\/\b\f\n\r\t")"},
      {R"("\u0041\u00e9\u0001\u001F\u007f")", "\"A\xC3\xA9\\u0001\\u001f\x7F\""},
      {R"("\uD83D\uDE00")", "\"\xF0\x9F\x98\x80\""},
      {R"("\uDBFF\uDFFF")", "\"\xF4\x8F\xBF\xBF\""},
      {R"("\u0000")", R"("\u0000")"},
      {"\"\xC3\xA9\"", "\"\xC3\xA9\""},
      // Numbers: integers keep 64 bits, everything else is a double.
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551616", "1.8446744073709552e19"},
      {"-9223372036854775809", "-9.223372036854776e18"},
      {"-0", "-0.0"},
      {"0", "0"},
      {"1.0e1", "10.0"},
      {"1E+2", "100.0"},
      {"1e-7", "1e-7"},
      {"2.5e-310", "2.5e-310"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"0e999999999999", "0.0"},
      {"1e-99999999999", "0.0"},
      {"1.7976931348623157e308", "1.7976931348623157e308"},
      {"123456789012345678901234567890", "1.2345678901234568e29"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_result(c.text), c.printed) << c.text;
}

TEST(JsonParse, NumberKinds) {
  auto u = parse_json("5");
  ASSERT_TRUE(u.has_value());
  EXPECT_TRUE(u->is_number_unsigned());
  auto i = parse_json("-5");
  ASSERT_TRUE(i.has_value());
  EXPECT_TRUE(i->is_number_integer() && !i->is_number_unsigned());
  auto f = parse_json("5.0");
  ASSERT_TRUE(f.has_value());
  EXPECT_TRUE(f->is_number_float());
}

TEST(JsonParse, ErrorsNameTheOffendingByte) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"x", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"NaN", "expected value at line 1 column 1"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[,]", "expected value at line 1 column 2"},
      {"[}", "expected value at line 1 column 2"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
      {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
      {R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
      {R"({"a":1,})", "trailing comma at line 1 column 8"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {R"({"a":1,2})", "key must be a string at line 1 column 8"},
      {"1 2", "trailing characters at line 1 column 3"},
      {R"({"a":1}x)", "trailing characters at line 1 column 8"},
      {"\n\n[1,\n 2,\n x]", "expected value at line 5 column 2"},
      {"\r\n[\r\n1 2]", "expected `,` or `]` at line 3 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      {"[tru]", "expected ident at line 1 column 5"},
      {"[nulll]", "expected `,` or `]` at line 1 column 6"},
      // Numbers.
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-a", "invalid number at line 1 column 2"},
      {"[-]", "invalid number at line 1 column 3"},
      {"01", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"0x", "trailing characters at line 1 column 2"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1e400]", "number out of range at line 1 column 7"},
      {"1.7976931348623159e308", "number out of range at line 1 column 22"},
      {"1e999999999999", "number out of range at line 1 column 12"},
      // Strings.
      {"\"", "EOF while parsing a string at line 1 column 1"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"a\\", "EOF while parsing a string at line 1 column 3"},
      {R"("\q")", "invalid escape at line 1 column 3"},
      {R"("\u12")", "EOF while parsing a string at line 1 column 6"},
      {R"("\u12G4")", "invalid escape at line 1 column 7"},
      {R"("\uDC00")", "lone leading surrogate in hex escape at line 1 column 7"},
      {R"("\uD800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\uD800")", "unexpected end of hex escape at line 1 column 8"},
      {R"("\uD800\x")", "unexpected end of hex escape at line 1 column 9"},
      {R"("\uD800)", "EOF while parsing a string at line 1 column 7"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"[\"\n\"]",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"\"\xFF\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xC3\"", "invalid unicode code point at line 1 column 3"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_result(c.text), "ERR " + c.error) << c.text;
}

TEST(JsonParse, NestingBudget) {
  const auto nested = [](int depth, std::string_view open, std::string_view inner,
                         std::string_view close) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    s += inner;
    for (int i = 0; i < depth; ++i) s += close;
    return s;
  };
  EXPECT_TRUE(parse_json(nested(127, "[", "", "]")).has_value());
  EXPECT_TRUE(parse_json(nested(127, R"({"a":)", "1", "}")).has_value());
  EXPECT_TRUE(parse_json(nested(63, R"([{"a":)", "1", "}]")).has_value());
  EXPECT_EQ(parse_result(nested(128, "[", "", "]")),
            "ERR recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(parse_result(nested(128, R"({"a":)", "1", "}")),
            "ERR recursion limit exceeded at line 1 column 636");
  // Deep hostile input is refused at the budget, without recursing further.
  EXPECT_EQ(parse_result(std::string(10000, '[')),
            "ERR recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(parse_result(nested(5000, "[{\"k\":", "", "")),
            "ERR recursion limit exceeded at line 1 column 380");
}

TEST(JsonPrint, Doubles) {
  const struct {
    double v;
    std::string text;
  } cases[] = {
      {1.0, "1.0"},
      {1.5, "1.5"},
      {0.1, "0.1"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e16"},
      {1e20, "1e20"},
      {1.2345678901234568e20, "1.2345678901234568e20"},
      {12345.678, "12345.678"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {1e-7, "1e-7"},
      {1.5e-7, "1.5e-7"},
      {-2.5e-5, "-0.000025"},
      {9007199254740993.0, "9007199254740992.0"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
  };
  for (const auto& c : cases) {
    std::string out;
    append_json_double(c.v, out);
    EXPECT_EQ(out, c.text);
  }
}

TEST(JsonPrint, StringsAndKeys) {
  std::string out;
  append_json_string("a\"\\/\b\f\n\r\t\x01\x1f\x7f\xC3\xA9"s, out);
  EXPECT_EQ(out, "\"a\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7F\xC3\xA9\"");
  EXPECT_EQ(json_key_text(Json("x y")), "x y");
  EXPECT_EQ(json_key_text(Json(5u)), "5");
  EXPECT_EQ(json_key_text(Json(-3)), "-3");
  EXPECT_EQ(json_key_text(Json(1.0)), "1.0");
  EXPECT_EQ(json_key_text(*parse_json(R"({"b":[1,"x"]})")), R"({"b":[1,"x"]})");
}

TEST(JsonIntegers, SixtyFourBitViews) {
  std::int64_t i = 0;
  std::uint64_t u = 0;
  EXPECT_TRUE(json_as_i64(*parse_json("9223372036854775807"), i));
  EXPECT_EQ(i, INT64_MAX);
  EXPECT_FALSE(json_as_i64(*parse_json("9223372036854775808"), i));
  EXPECT_TRUE(json_as_u64(*parse_json("18446744073709551615"), u));
  EXPECT_FALSE(json_as_u64(*parse_json("-1"), u));
  EXPECT_FALSE(json_as_i64(*parse_json("1.0"), i));
  EXPECT_FALSE(json_as_i64(*parse_json("\"1\""), i));
}

}  // namespace
