#include <gtest/gtest.h>

#include <string>

#include "parser/parser.hpp"

namespace ast = brovane::parser::ast;
using ast::ThriftType;
using ast::ThriftValue;
using brovane::parser::parse_document;
using brovane::parser::Parser;
using brovane::parser::tokenize;

namespace {

// Parses `prelude` then a struct whose first field is `decl` and whose
// second field follows it; returns field 1's default in debug form ("None"
// when absent), after checking that field 2 was read intact.
std::string default_of(const std::string& decl, const std::string& prelude = "") {
  const std::string text = prelude + "\nstruct S { 1: " + decl + "\n 2: i32 after = 7 }";
  auto doc = parse_document(text);
  if (!doc) return "error: " + doc.error().to_string();
  const auto& fields = doc->structs.at("S").fields;
  if (fields.size() != 2 || fields[1].name != "after" || fields[1].default_value != ThriftValue(ThriftValue::I32{7})) {
    return "second field lost: " + ast::to_debug_string(fields);
  }
  const auto& d = fields[0].default_value;
  return d ? ast::to_debug_string(*d) : "None";
}

// Direct reads, for the error each one returns.
std::string read(const std::string& text, const ThriftType& type) {
  auto tokens = tokenize(text);
  if (!tokens) return "tokenize failed";
  Parser parser(std::move(*tokens));
  auto v = parser.parse_default_value(type);
  return v ? ast::to_debug_string(*v) : v.error().to_string();
}

TEST(Literals, ByDeclaredType) {
  const std::pair<std::string, std::string> cases[] = {
      {"bool b = true", "Bool(true)"},
      {"bool b = false", "Bool(false)"},
      {"bool b = 1", "Bool(true)"},
      {"bool b = -3", "Bool(true)"},
      {"bool b = 0", "Bool(false)"},
      {"bool b = True", "None"},
      {"bool b = \"true\"", "None"},
      {"byte b = 300", "Byte(44)"},
      {"byte b = -129", "Byte(127)"},
      {"i16 s = 65537", "I16(1)"},
      {"i32 n = -1", "I32(-1)"},
      {"i32 n = 4294967295", "I32(-1)"},
      {"i64 n = -9223372036854775808", "I64(-9223372036854775808)"},
      {"double d = 3", "Double(3.0)"},
      {"double d = 9007199254740993", "Double(9007199254740992.0)"},
      {"double d = -0", "Double(0.0)"},
      {"string s = \"a b\"", "String(\"a b\")"},
      {"string s = hello", "String(\"hello\")"},
      {"string s = struct", "String(\"struct\")"},
      {"string s = 5", "None"},
      {"binary b = \"hi\"", "Binary([104, 105])"},
      {"binary b = hi", "None"},
      {"list<i32> l = [1, 2, 3,]", "List([I32(1), I32(2), I32(3)])"},
      {"list<i32> l = [1; 2]", "List([I32(1), I32(2)])"},
      {"list<i32> l = []", "List([])"},
      {"list<i32> l = [1,, 2]", "None"},
      {"list<i32> l = [1 2]", "List([I32(1), I32(2)])"},
      {"list<i32> l = [1, FOO, 3]", "None"},
      {"list<list<string>> l = [[a], [], [\"b\", c]]",
       R"(List([List([String("a")]), List([]), List([String("b"), String("c")])]))"},
      {"set<i32> s = [1, 1]", "Set([I32(1), I32(1)])"},
      {"set<i32> s = {1, 2}", "None"},
      {"map<string, i32> m = {\"a\": 1; \"b\": 2}", R"(Map([(String("a"), I32(1)), (String("b"), I32(2))]))"},
      {"map<string, i32> m = {\"a\": 1, \"a\": 2,}", R"(Map([(String("a"), I32(1)), (String("a"), I32(2))]))"},
      {"map<string, i32> m = {}", "Map([])"},
      {"map<string, i32> m = {\"a\" 1}", "None"},
      {"map<string, i32> m = [\"a\", 1]", "None"},
      {"map<i32, list<bool>> m = {1: [true, 0]}", "Map([(I32(1), List([Bool(true), Bool(false)]))])"},
      {"i32 x = SOME_CONST", "None"},
      {"i32 x = a.b.c", "None"},
      {"i32 x = \"5\"", "None"},
      {"Point p = {\"x\": 1}", R"(Struct { name: Some("Point"), fields: {} })"},
      {"i8 small = 5", R"(Struct { name: Some("i8"), fields: {} })"},
      {"shared.Point p = Point.ORIGIN", R"(Struct { name: Some("shared.Point"), fields: {} })"},
      {"Point p = make(1, 2)", R"(Struct { name: Some("Point"), fields: {} })"},
  };
  for (const auto& [decl, expected] : cases) EXPECT_EQ(default_of(decl), expected) << decl;
}

TEST(Literals, EnumReferences) {
  const std::string status = "enum Status { ACTIVE = 2, OFF = -2147483648 }";
  EXPECT_EQ(default_of("Status s = Status.ACTIVE", status), "I32(2)");
  EXPECT_EQ(default_of("i64 s = Status.OFF", status), "I64(-2147483648)");  // sign-extended
  EXPECT_EQ(default_of("byte s = Status.ACTIVE", status), "Byte(2)");
  EXPECT_EQ(default_of("double s = Status.ACTIVE", status), "Double(2.0)");
  EXPECT_EQ(default_of("list<Status> s = [Status.ACTIVE, 1]", status), "List([I32(2), I32(1)])");
  EXPECT_EQ(default_of("Status s = ACTIVE", status), "None");
  EXPECT_EQ(default_of("Status s = Status.GONE", status), "None");
  EXPECT_EQ(default_of("Status s = Other.ACTIVE", status), "None");
  EXPECT_EQ(default_of("Status s = x.Status.ACTIVE", status), "None");
  EXPECT_EQ(default_of("Status s = Status.ACTIVE", ""), R"(Struct { name: Some("Status"), fields: {} })");
  // An enum defined after the struct: the type stays a name.
  auto doc = parse_document("struct S { 1: Status s = Status.ACTIVE } enum Status { ACTIVE = 2 }");
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(ast::to_debug_string(doc->structs.at("S").fields),
            R"([ThriftField { id: 1, name: "s", required: false, field_type: Struct("Status"), )"
            R"(default_value: Some(Struct { name: Some("Status"), fields: {} }) }])");
}

TEST(Literals, NamedElementsEndAtTheirBracket) {
  // Each element of a named type is passed over up to its separator or the
  // closing bracket; the sequence then ends there.
  const std::string p = R"(Struct { name: Some("P"), fields: {} })";
  EXPECT_EQ(default_of("list<P> f = [{}]"), "List([" + p + "])");
  EXPECT_EQ(default_of("list<P> f = [P.ORIGIN]"), "List([" + p + "])");
  EXPECT_EQ(default_of("list<P> f = [P.A, {\"x\": [1]}, make(1, 2)]"), "List([" + p + ", " + p + ", " + p + "])");
  EXPECT_EQ(default_of("set<P> f = [{}; {}]"), "Set([" + p + ", " + p + "])");
  EXPECT_EQ(default_of("list<P> f = []"), "List([])");
  EXPECT_EQ(default_of("list<list<P>> f = [[{}], []]"), "List([List([" + p + "]), List([])])");
  EXPECT_EQ(default_of("map<string, list<P>> f = {\"a\": [{}]}"), R"(Map([(String("a"), List([)" + p + "]))])");
  // An element that cannot end (the next token closes a brace or
  // parenthesis) makes the literal unreadable, and the parse goes on.
  const ThriftType list_p = ThriftType::list(ThriftType::named("P"));
  EXPECT_EQ(read("[{}, }", list_p), "Unexpected token: RightBrace");
  EXPECT_EQ(read("[)", list_p), "Unexpected token: RightParen");
  EXPECT_EQ(read("[, ]", list_p), "List([" + p + "])");
  EXPECT_EQ(parse_document("struct S { 1: list<P> f = [1, }").error().to_string(), "End of input");
  EXPECT_EQ(parse_document("service S { void f(1: list<P> a = [) }").error().to_string(), "End of input");

  // The same shapes in argument lists and in a struct body that ends right after them.
  auto doc = parse_document(R"(
    struct Q { 1: list<P> a = [{}] }
    struct R { 1: list<P> a = [P.ORIGIN]; 2: map<string, list<P>> b = {"a": [{}]} }
    service S { void f(1: list<P> a = [{}], 2: map<string, list<P>> b = {"a": [{}]}, 3: list<P> c = [P.ORIGIN]) }
  )");
  ASSERT_TRUE(doc.has_value()) << doc.error().to_string();
  EXPECT_EQ(doc->structs.at("Q").fields.size(), 1u);
  EXPECT_EQ(doc->structs.at("R").fields.size(), 2u);
  const auto& args = doc->services.at("S").methods.at(0).arguments;
  ASSERT_EQ(args.size(), 3u);
  EXPECT_EQ(ast::to_debug_string(*args[0].default_value), "List([" + p + "])");
  EXPECT_EQ(ast::to_debug_string(*args[2].default_value), "List([" + p + "])");
}

TEST(Literals, LeftoversAreReadByTheGrammar) {
  // 0.5 reads as 0 and leaves ".5": a struct body refuses the Dot.
  EXPECT_EQ(default_of("double ratio = 0.5"), "error: Unexpected token: Dot");
  ASSERT_TRUE(parse_document("const double PI = 3.14").has_value());
  // A failed default is skipped up to the next field's id.
  EXPECT_EQ(default_of("i32 x = SOME_CONST"), "None");
  EXPECT_EQ(default_of("set<i32> s = {1, 2}"), "None");
}

TEST(Literals, DeeplyNestedLiteralsAreSkipped) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(default_of("list<i32> l = " + deep), "None");
  EXPECT_EQ(default_of("list<list<i32>> l = " + deep), "None");
  EXPECT_EQ(default_of("P l = " + deep), R"(Struct { name: Some("P"), fields: {} })");
  const std::string braces = std::string(100000, '{') + std::string(100000, '}');
  EXPECT_EQ(default_of("map<i32, i32> m = " + braces), "None");
  ASSERT_TRUE(parse_document("const list<i32> L = " + deep).has_value());

  // A type built past the parser's bound is refused at that depth.
  ThriftType type = ThriftType::I32{};
  for (int i = 0; i < 300; ++i) type = ThriftType::list(std::move(type));
  const std::string text = std::string(300, '[') + "1" + std::string(300, ']');
  auto tokens = tokenize(text);
  ASSERT_TRUE(tokens.has_value());
  Parser parser(std::move(*tokens));
  auto value = parser.parse_default_value(type);
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().to_string(), "Syntax error: Literal nested more than 256 levels deep");
}

TEST(Literals, ReadErrors) {
  const ThriftType i32 = ThriftType::I32{};
  const ThriftType list = ThriftType::list(ThriftType::I32{});
  const ThriftType map = ThriftType::map(ThriftType::String{}, ThriftType::I32{});
  EXPECT_EQ(read("SOME_CONST", i32), "Syntax error: Unknown numeric default value: SOME_CONST");
  EXPECT_EQ(read("a.b.c", i32), "Syntax error: Unknown numeric default value: a.b.c");
  EXPECT_EQ(read("E.X", i32), "Syntax error: Unknown numeric default value: E.X");
  EXPECT_EQ(read("a.", i32), "End of input");
  EXPECT_EQ(read("a.5", i32), "Unexpected token: Number(5)");
  EXPECT_EQ(read("\"5\"", i32), R"(Unexpected token: String("5"))");
  EXPECT_EQ(read("", i32), "End of input");
  EXPECT_EQ(read("True", ThriftType::Bool{}), R"(Unexpected token: Identifier("True"))");
  EXPECT_EQ(read("5", ThriftType::String{}), "Unexpected token: Number(5)");
  EXPECT_EQ(read("x", ThriftType::Binary{}), R"(Unexpected token: Identifier("x"))");
  EXPECT_EQ(read("{1}", list), "Unexpected token: LeftBrace");
  EXPECT_EQ(read("[1, 2", list), "End of input");
  EXPECT_EQ(read("[1,, 2]", list), "Unexpected token: Comma");
  EXPECT_EQ(read("{\"a\" 1}", map), "Unexpected token: Number(1)");
  EXPECT_EQ(read("{\"a\": 1", map), "End of input");
  EXPECT_EQ(read("{5: 1}", map), "Unexpected token: Number(5)");
}

// Position after skipping one literal from the start of `text`.
std::size_t skip(const std::string& text) {
  auto tokens = tokenize(text);
  EXPECT_TRUE(tokens.has_value());
  Parser parser(std::move(*tokens));
  parser.skip_default_value();
  return parser.position();
}

TEST(Literals, SkipRules) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},
      {", x", 0},
      {"; x", 0},
      {") x", 0},
      {"} x", 0},
      {"5 6", 1},                                // a number is taken first, stops the skip after
      {"struct x", 2},                           // so is a keyword, and what follows it
      {"x y \"s\" < > : = . * ] struct", 10},    // words and punctuation at depth 0 are passed
      {"Point.ORIGIN 2: i32", 3},
      {"{\"a\": [1, 2], \"b\": [3]} 2:", 15},
      {"make(1, 2), x", 6},
      {"[1, (2], x)] 3", 10},                   // each bracket kind has its own counter
      {"[1, 2", 4},                              // unclosed: everything
      {"{ ] } 3", 3},                            // a stray closer inside does not go below zero
      {"x struct", 1},
      {"[x] y, z", 4},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(skip(text), expected) << text;
}

}  // namespace
