#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "parser/ast.hpp"

namespace ast = brovane::parser::ast;
using ast::ThriftField;
using ast::ThriftType;
using ast::ThriftValue;

namespace {

ThriftValue str(std::string s) { return ThriftValue::String{std::move(s)}; }
ThriftValue i32(std::int32_t v) { return ThriftValue::I32{v}; }

ThriftValue point_struct() {
  ThriftValue::Struct s;
  s.name = "Point";
  s.fields.set("x", i32(1));
  return s;
}

TEST(AstDebug, Types) {
  const std::pair<ThriftType, const char*> cases[] = {
      {ThriftType::Bool{}, "Bool"},
      {ThriftType::Byte{}, "Byte"},
      {ThriftType::I16{}, "I16"},
      {ThriftType::I32{}, "I32"},
      {ThriftType::I64{}, "I64"},
      {ThriftType::Double{}, "Double"},
      {ThriftType::String{}, "String"},
      {ThriftType::Binary{}, "Binary"},
      {ThriftType::list(ThriftType::I32{}), "List(I32)"},
      {ThriftType::set(ThriftType::named("shared.Point")), "Set(Struct(\"shared.Point\"))"},
      {ThriftType::map(ThriftType::String{}, ThriftType::list(ThriftType::I32{})), "Map(String, List(I32))"},
      {ThriftType::map(ThriftType::String{}, ThriftType::list(ThriftType::named("Item"))),
       "Map(String, List(Struct(\"Item\")))"},
      {ThriftType::named("void"), "Struct(\"void\")"},
  };
  for (const auto& [type, expected] : cases) EXPECT_EQ(ast::to_debug_string(type), expected);
}

TEST(AstDebug, Values) {
  ThriftValue::Map map;
  map.entries.emplace_back(str("a"), i32(1));
  ThriftValue::Struct unnamed;
  unnamed.fields.set("y", ThriftValue::Bool{false});
  ThriftValue::Struct point_default;
  point_default.name = "Point";

  const std::pair<ThriftValue, const char*> cases[] = {
      {ThriftValue::Bool{true}, "Bool(true)"},
      {ThriftValue::Byte{-1}, "Byte(-1)"},
      {ThriftValue::I16{7}, "I16(7)"},
      {i32(-2147483647 - 1), "I32(-2147483648)"},
      {ThriftValue::I64{std::numeric_limits<std::int64_t>::min()}, "I64(-9223372036854775808)"},
      {ThriftValue::Double{1.5}, "Double(1.5)"},
      {str("a"), "String(\"a\")"},
      {ThriftValue::Binary{{104, 105}}, "Binary([104, 105])"},
      {ThriftValue::Binary{{1, 2, 255}}, "Binary([1, 2, 255])"},
      {ThriftValue::Binary{}, "Binary([])"},
      {ThriftValue::List{{i32(1), i32(2)}}, "List([I32(1), I32(2)])"},
      {ThriftValue::List{}, "List([])"},
      {ThriftValue::Set{{str("x")}}, "Set([String(\"x\")])"},
      {map, "Map([(String(\"a\"), I32(1))])"},
      {ThriftValue::Map{}, "Map([])"},
      {point_struct(), "Struct { name: Some(\"Point\"), fields: {\"x\": I32(1)} }"},
      {point_default, "Struct { name: Some(\"Point\"), fields: {} }"},
      {unnamed, "Struct { name: None, fields: {\"y\": Bool(false)} }"},
      {ThriftValue::List{{ThriftValue::List{{str("")}}}}, "List([List([String(\"\")])])"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(ast::to_debug_string(value), expected);
}

TEST(AstDebug, TextEscapes) {
  const std::pair<std::string, const char*> cases[] = {
      {"a\"b", R"("a\"b")"},
      {"back\\slash", R"("back\\slash")"},
      {"t\tr\rn\n", R"("t\tr\rn\n")"},
      {std::string("nul\0x", 5), R"("nul\0x")"},
      {"it's", R"("it's")"},                            // single quote kept
      {"\x1b[0m\x7f", R"("\u{1b}[0m\u{7f}")"},          // other controls
      {"n\xC3\xA9v", "\"n\xC3\xA9v\""},                 // printable letters unchanged
      {"e\xCC\x81", R"("e\u{301}")"},                   // combining acute: grapheme extend
      {"a\xC2\xA0" "b", R"("a\u{a0}b")"},               // no-break space (Zs)
      {"\xE2\x80\x8B", R"("\u{200b}")"},                // zero-width space (Cf)
      {"\xE2\x80\xA8", R"("\u{2028}")"},                // line separator (Zl)
      {"\xEE\x80\x80", R"("\u{e000}")"},                // private use
      {"\xCD\xB8", R"("\u{378}")"},                     // unassigned
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},     // emoji is printable
      {"\xE4\xB8\xAD", "\"\xE4\xB8\xAD\""},             // CJK
      {"\xFF", "\"\xEF\xBF\xBD\""},                     // invalid byte: replacement character
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ast::debug_str(text), expected) << text;
}

TEST(AstDebug, Doubles) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.5, "1.5"},
      {-2.25, "-2.25"},
      {0.1, "0.1"},
      {3.14, "3.14"},
      {1e16, "1e16"},
      {1e15, "1000000000000000.0"},
      {123456789.125, "123456789.125"},
      {2.5e-5, "2.5e-5"},
      {1e-4, "0.0001"},
      {1.5e300, "1.5e300"},
      {-1e-7, "-1e-7"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "NaN"},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(ast::to_debug_string(ThriftValue::Double{value}), std::string("Double(") + expected + ")");
  }
}

TEST(AstDebug, FieldLists) {
  std::vector<ThriftField> fields;
  fields.push_back({1, "a", false, ThriftType::I32{}, std::nullopt});
  fields.push_back({-1, "b", true, ThriftType::list(ThriftType::String{}), ThriftValue{i32(5)}});
  const char* expected =
      "[ThriftField { id: 1, name: \"a\", required: false, field_type: I32, default_value: None }, "
      "ThriftField { id: -1, name: \"b\", required: true, field_type: List(String), "
      "default_value: Some(I32(5)) }]";
  EXPECT_EQ(ast::to_debug_string(fields), expected);
  EXPECT_EQ(ast::to_debug_string(std::vector<ThriftField>{}), "[]");

  // A twin field record printed from its members gives the same text.
  std::string twin = "[";
  ast::append_field_debug(twin, 1, "a", false, ThriftType::I32{}, std::nullopt);
  twin += ", ";
  ast::append_field_debug(twin, -1, "b", true, ThriftType::list(ThriftType::String{}), ThriftValue{i32(5)});
  twin += "]";
  EXPECT_EQ(twin, expected);
}

TEST(AstDebug, Records) {
  const ThriftField id{1, "id", false, ThriftType::I32{}, std::nullopt};
  const std::string id_text =
      "ThriftField { id: 1, name: \"id\", required: false, field_type: I32, default_value: None }";

  ast::ThriftStruct s{"User", {id}};
  EXPECT_EQ(ast::to_debug_string(s), "ThriftStruct { name: \"User\", fields: [" + id_text + "] }");

  ast::ThriftEnum e;
  e.name = "Status";
  e.values["ACTIVE"] = 1;
  EXPECT_EQ(ast::to_debug_string(e), "ThriftEnum { name: \"Status\", values: {\"ACTIVE\": 1} }");

  ast::ThriftMethod m{"get", ThriftType::named("User"), {id}, {}, true};
  const std::string m_text = "ThriftMethod { name: \"get\", return_type: Struct(\"User\"), arguments: [" + id_text +
                             "], exceptions: [], oneway: true }";
  EXPECT_EQ(ast::to_debug_string(m), m_text);

  ast::ThriftService svc{"Users", {m}};
  EXPECT_EQ(ast::to_debug_string(svc), "ThriftService { name: \"Users\", methods: [" + m_text + "] }");

  ast::ThriftDocument d;
  EXPECT_EQ(ast::to_debug_string(d),
            "ThriftDocument { structs: {}, services: {}, enums: {}, includes: [], namespaces: {} }");
  d.includes = {"a.thrift", "a.thrift"};
  d.namespaces["py"] = "demo.app";
  d.enums["Status"] = e;
  EXPECT_EQ(ast::to_debug_string(d),
            "ThriftDocument { structs: {}, services: {}, enums: {\"Status\": ThriftEnum { name: \"Status\", "
            "values: {\"ACTIVE\": 1} }}, includes: [\"a.thrift\", \"a.thrift\"], namespaces: {\"py\": "
            "\"demo.app\"} }");
}

TEST(AstModel, VariantOrderMatchesKind) {
  EXPECT_EQ(ThriftType(ThriftType::Bool{}).kind(), ast::Kind::Bool);
  EXPECT_EQ(ThriftType(ThriftType::Binary{}).index(), 7u);
  EXPECT_EQ(ThriftType::named("X").kind(), ast::Kind::Struct);
  EXPECT_EQ(ThriftValue(ThriftValue::Map{}).kind(), ast::Kind::Map);
  EXPECT_EQ(ThriftValue(ThriftValue::Set{}).index(), 9u);
  EXPECT_EQ(ThriftValue(ThriftValue::Struct{}).index(), 11u);
}

TEST(AstModel, CopiesAreDeepAndEqual) {
  ThriftType type = ThriftType::map(ThriftType::String{}, ThriftType::list(ThriftType::named("Item")));
  ThriftType type_copy = type;
  EXPECT_EQ(type_copy, type);
  type_copy.get_if<ThriftType::Map>()->value->get_if<ThriftType::List>()->element = ThriftType::I64{};
  EXPECT_NE(type_copy, type);
  EXPECT_EQ(ast::to_debug_string(type), "Map(String, List(Struct(\"Item\")))");

  ThriftValue value = ThriftValue::List{{point_struct(), ThriftValue::Binary{{1, 2}}}};
  ThriftValue value_copy = value;
  EXPECT_EQ(value_copy, value);
  value_copy.get_if<ThriftValue::List>()->values[0].get_if<ThriftValue::Struct>()->fields.set("x", i32(9));
  EXPECT_NE(value_copy, value);
  EXPECT_EQ(ast::to_debug_string(value),
            "List([Struct { name: Some(\"Point\"), fields: {\"x\": I32(1)} }, Binary([1, 2])])");

  std::vector<ThriftField> fields{{1, "a", false, type, value}};
  std::vector<ThriftField> fields_copy = fields;
  EXPECT_EQ(fields_copy, fields);
  fields_copy[0].field_type = ThriftType::Bool{};
  fields_copy[0].default_value.reset();
  EXPECT_EQ(fields[0].field_type, type);
  EXPECT_EQ(fields[0].default_value, value);

  // Assigning a subtree of a value to the value itself keeps the subtree.
  ThriftType nested = ThriftType::list(ThriftType::list(ThriftType::I16{}));
  nested = *nested.get_if<ThriftType::List>()->element;
  EXPECT_EQ(ast::to_debug_string(nested), "List(I16)");
}

TEST(AstModel, StructFieldsActAsAMap) {
  ast::StructFields a;
  a.set("x", i32(1));
  a.set("y", i32(2));
  a.set("x", i32(3));  // replaces, keeps the position
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a.entries()[0].first, "x");
  EXPECT_EQ(*a.find("x"), i32(3));
  EXPECT_EQ(a.find("z"), nullptr);

  ast::StructFields b;
  b.set("y", i32(2));
  b.set("x", i32(3));
  EXPECT_EQ(a, b);  // order does not matter
  b.set("y", i32(4));
  EXPECT_NE(a, b);
  EXPECT_TRUE(b.erase("y"));
  EXPECT_FALSE(b.erase("y"));
  EXPECT_NE(a, b);

  // Repeats stay in sequences: no de-duplication.
  ThriftValue set = ThriftValue::Set{{i32(1), i32(1)}};
  EXPECT_EQ(set.get_if<ThriftValue::Set>()->values.size(), 2u);
}

}  // namespace
