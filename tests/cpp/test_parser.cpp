#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "parser/parser.hpp"

namespace ast = brovane::parser::ast;
using ast::ThriftDocument;
using ast::ThriftType;
using ast::ThriftValue;
using brovane::parser::parse_document;

namespace {

ThriftDocument parse_ok(std::string_view text) {
  auto doc = parse_document(text);
  EXPECT_TRUE(doc.has_value()) << text << "\n -> " << doc.error().to_string();
  return doc ? std::move(*doc) : ThriftDocument{};
}

std::string parse_error(std::string_view text) {
  auto doc = parse_document(text);
  return doc ? "(parsed)" : doc.error().to_string();
}

// "name:Type" for each field, in order.
std::string types_of(const std::vector<ast::ThriftField>& fields) {
  std::string out;
  for (const auto& f : fields) {
    if (!out.empty()) out += ' ';
    out += f.name + ":" + ast::to_debug_string(f.field_type);
  }
  return out;
}

std::string methods_of(const ast::ThriftService& s) {
  std::string out;
  for (const auto& m : s.methods) out += (out.empty() ? "" : " ") + m.name;
  return out;
}

TEST(Parser, WorkedExample) {
  const ThriftDocument doc = parse_ok(R"(
    namespace py demo.app
    include "base.thrift"
    typedef i64 Timestamp
    enum Status { ACTIVE = 1, DISABLED }
    struct Base { 1: i32 id }
    struct User extends Base {
      2: required string name;
      3: optional Timestamp created = 0,
      4: Status status = Status.ACTIVE
    }
    exception NotFound { 1: string message }
    service Users {
      User get(1: i32 id) throws (1: NotFound nf),
      oneway void ping()
    }
  )");
  ASSERT_EQ(doc.namespaces.size(), 1u);
  EXPECT_EQ(doc.namespaces.at("py"), "demo.app");
  EXPECT_EQ(doc.includes, std::vector<std::string>{"base.thrift"});

  ASSERT_EQ(doc.enums.size(), 1u);
  const ast::ThriftEnum& status = doc.enums.at("Status");
  EXPECT_EQ(status.name, "Status");
  EXPECT_EQ(status.values.size(), 2u);
  EXPECT_EQ(status.values.at("ACTIVE"), 1);
  EXPECT_EQ(status.values.at("DISABLED"), 2);

  ASSERT_EQ(doc.structs.size(), 3u);
  EXPECT_EQ(ast::to_debug_string(doc.structs.at("Base")),
            R"(ThriftStruct { name: "Base", fields: [ThriftField { id: 1, name: "id", required: false, )"
            R"(field_type: I32, default_value: None }] })");
  EXPECT_EQ(ast::to_debug_string(doc.structs.at("User").fields),
            R"([ThriftField { id: 1, name: "id", required: false, field_type: I32, default_value: None }, )"
            R"(ThriftField { id: 2, name: "name", required: true, field_type: String, default_value: None }, )"
            R"(ThriftField { id: 3, name: "created", required: false, field_type: I64, default_value: Some(I64(0)) }, )"
            R"(ThriftField { id: 4, name: "status", required: false, field_type: I32, default_value: Some(I32(1)) }])");
  EXPECT_EQ(types_of(doc.structs.at("NotFound").fields), "message:String");

  ASSERT_EQ(doc.services.size(), 1u);
  EXPECT_EQ(ast::to_debug_string(doc.services.at("Users")),
            R"(ThriftService { name: "Users", methods: [ThriftMethod { name: "get", return_type: Struct("User"), )"
            R"(arguments: [ThriftField { id: 1, name: "id", required: false, field_type: I32, default_value: None }], )"
            R"(exceptions: [ThriftField { id: 1, name: "nf", required: false, field_type: Struct("NotFound"), )"
            R"(default_value: None }], oneway: false }, ThriftMethod { name: "ping", return_type: Struct("void"), )"
            R"(arguments: [], exceptions: [], oneway: true }] })");
}

TEST(Parser, EmptyAndStrayInput) {
  EXPECT_EQ(parse_ok(""), ThriftDocument{});
  EXPECT_EQ(parse_ok("// nothing\n/* at all */"), ThriftDocument{});
  // Stray tokens and unhandled keywords at the top level are stepped over.
  const ThriftDocument doc = parse_ok("; } x 5 extends oneway required * struct A {};; ]");
  EXPECT_EQ(doc.structs.size(), 1u);
}

TEST(Parser, Errors) {
  std::string nested;
  for (int i = 0; i < 100000; ++i) nested += "list<";
  nested += "i32";
  for (int i = 0; i < 100000; ++i) nested += ">";

  const std::pair<std::string, std::string> cases[] = {
      // tokenizer
      {"struct A {} $", R"(Syntax error: Unexpected input: "$")"},
      // enum
      {"enum", "End of input"},
      {"enum 5 {}", "Unexpected token: Number(5)"},
      {"enum E 5", "Unexpected token: Number(5)"},
      {"enum E { A = B }", R"(Unexpected token: Identifier("B"))"},
      {"enum E { A = }", "Unexpected token: RightBrace"},
      {"enum E { 5 }", "Unexpected token: Number(5)"},
      {"enum E { A = 1", "End of input"},
      {"enum E { A", "End of input"},
      {"enum E { A } (x", "End of input"},
      // struct
      {"struct {}", "Unexpected token: LeftBrace"},
      {"struct A 1", "Unexpected token: Number(1)"},
      {"struct A", "End of input"},
      {"struct B extends {}", "Unexpected token: LeftBrace"},
      {"struct B extends a. {}", "Unexpected token: LeftBrace"},
      {"struct P { i32 x }", R"(Unexpected token: Identifier("i32"))"},
      {"struct P { 1 i32 x }", R"(Unexpected token: Identifier("i32"))"},
      {"struct P { 1:", "End of input"},
      {"struct P { 1: struct x }", R"(Unexpected token: Keyword("struct"))"},
      {"struct P { 1: i32 service }", R"(Unexpected token: Keyword("service"))"},
      {"struct P { 1: i32 }", "Unexpected token: RightBrace"},
      {"struct P { 1: list i32 x }", R"(Unexpected token: Identifier("i32"))"},
      {"struct P { 1: list<i32 x }", R"(Unexpected token: Identifier("x"))"},
      {"struct P { 1: map<i32 i32> x }", R"(Unexpected token: Identifier("i32"))"},
      {"struct P { 1: set<(a)> x }", "Unexpected token: LeftParen"},
      {"struct P { 1: a.5 x }", "Unexpected token: Number(5)"},
      {"struct P { 1: i32 x (a = \"1\"", "End of input"},
      {"struct P { 1: i32 x", "End of input"},
      {"struct P { 1: double ratio = 0.5 }", "Unexpected token: Dot"},
      {"struct P { 1: i32 x } (a", "End of input"},
      // service
      {"service {}", "Unexpected token: LeftBrace"},
      {"service S { void 5() }", "Unexpected token: Number(5)"},
      {"service S { void ping }", "Unexpected token: RightBrace"},
      {"service S { void ping(1: i32 a }", "Unexpected token: RightBrace"},
      {"service S { void ping() throws 1 }", "Unexpected token: Number(1)"},
      {"service S { void ping() throws (1: E e }", "Unexpected token: RightBrace"},
      {"service S { void ping()", "End of input"},
      {"service S { oneway }", "Unexpected token: RightBrace"},
      // include, typedef, const, namespace
      {"include foo", R"(Unexpected token: Identifier("foo"))"},
      {"include", "End of input"},
      {"typedef i32 struct", R"(Unexpected token: Keyword("struct"))"},
      {"typedef i32", "End of input"},
      {"typedef list<> X", "Unexpected token: GreaterThan"},
      {"const 5 X = 1", "Unexpected token: Number(5)"},
      {"const i32 5 = 1", "Unexpected token: Number(5)"},
      {"namespace 5 x", "Unexpected token: Number(5)"},
      {"namespace py 5", "Unexpected token: Number(5)"},
      {"namespace py", "End of input"},
      {"namespace py a.", "End of input"},
      {"namespace py a.(", "Unexpected token: LeftParen"},
      // inheritance
      {"struct B extends A { 2: string b }", "Syntax error: Unknown parent struct: A"},
      {"struct A { 1: i32 a } struct B extends A { 1: string z }",
       "Syntax error: Duplicate inherited field 'z' in extends A"},
      {"struct A { 1: i32 a } struct B extends A { 2: string a }",
       "Syntax error: Duplicate inherited field 'a' in extends A"},
      {"struct A { 1: i32 a } struct B extends A { 2: string z, 3: i32 z }",
       "Syntax error: Duplicate inherited field 'z' in extends A"},
      {"struct A { 1: i32 a } struct B extends A { 2: string z, 2: i32 y }",
       "Syntax error: Duplicate inherited field 'y' in extends A"},
      {"service C extends B {}", "Syntax error: Unknown parent service: B"},
      {"service B { void ping() } service C extends B { void ping() }",
       "Syntax error: Duplicate inherited method 'ping' in extends B"},
      {"service B {} service C extends B { void a(), i32 a() }",
       "Syntax error: Duplicate inherited method 'a' in extends B"},
      // nesting
      {"struct S { 1: " + nested + " x }", "Syntax error: Type nested more than 256 levels deep"},
      {"typedef " + nested + " X", "Syntax error: Type nested more than 256 levels deep"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse_error(text), expected) << text.substr(0, 120);
  }
}

TEST(Parser, TypeNestingBound) {
  auto nest = [](int levels) {
    std::string t;
    for (int i = 1; i < levels; ++i) t += "list<";
    t += "i32";
    for (int i = 1; i < levels; ++i) t += ">";
    return "struct S { 1: " + t + " x }";
  };
  EXPECT_EQ(parse_error(nest(256)), "(parsed)");
  EXPECT_EQ(parse_error(nest(257)), "Syntax error: Type nested more than 256 levels deep");
}

TEST(Parser, TypedefsCountTowardsTheBounds) {
  // Levels that typedefs bring in count where they are named.
  auto chain = [](int links, int levels_each) {
    std::string idl = "typedef i32 T0\n";
    for (int i = 0; i < links; ++i) {
      std::string t = "T" + std::to_string(i);
      for (int l = 0; l < levels_each; ++l) t = "list<" + t + ">";
      idl += "typedef " + t + " T" + std::to_string(i + 1) + "\n";
    }
    return idl + "struct S { 1: T" + std::to_string(links) + " x }";
  };
  EXPECT_EQ(parse_error(chain(5, 51)), "(parsed)");  // 256 levels
  EXPECT_EQ(parse_error(chain(5, 52)), "Syntax error: Type nested more than 256 levels deep");

  // Each link names the one before twice: the size doubles per line.
  auto doubling = [](int links) {
    std::string idl = "typedef i32 T0\n";
    for (int i = 0; i < links; ++i)
      idl += "typedef map<T" + std::to_string(i) + ", T" + std::to_string(i) + "> T" + std::to_string(i + 1) + "\n";
    return idl + "struct S { 1: T" + std::to_string(links) + " x }";
  };
  const ThriftDocument doc = parse_ok(doubling(15));  // 65535 types
  ASSERT_EQ(doc.structs.size(), 1u);
  EXPECT_TRUE(doc.structs.begin()->second.fields[0].field_type.is<ThriftType::Map>());
  EXPECT_EQ(parse_error(doubling(16)), "Syntax error: Type expands to more than 65536 types");
  EXPECT_EQ(parse_error(doubling(40)), "Syntax error: Type expands to more than 65536 types");

  // A large typedef named many times.
  std::string many = doubling(15) + "\nstruct R {\n";
  for (int i = 1; i <= 16; ++i) many += std::to_string(i) + ": T15 f" + std::to_string(i) + "\n";
  EXPECT_EQ(parse_error(many + "}"), "Syntax error: Types expand to more than 1048576 types in all");
}

TEST(Parser, FieldIdsAndSeparators) {
  const ThriftDocument doc = parse_ok(R"(
    struct A { 65537: i32 a, -1: i32 b, 32768: i32 c }
    struct P1 { 1: i32 x, 2: i32 y }
    struct P2 { 1: i32 x; 2: i32 y; }
    struct P3 { 1: i32 x 2: i32 y }
    struct P4 { 1: i32 x;, 2: i32 y }
    struct Dup { 1: i32 x, 1: i32 x }
  )");
  const auto& a = doc.structs.at("A").fields;
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].id, 1);
  EXPECT_EQ(a[1].id, -1);
  EXPECT_EQ(a[2].id, -32768);
  for (const char* name : {"P1", "P2", "P3", "P4"}) EXPECT_EQ(types_of(doc.structs.at(name).fields), "x:I32 y:I32");
  EXPECT_EQ(doc.structs.at("Dup").fields.size(), 2u);  // no duplicate check without extends
}

TEST(Parser, RequiredAndOptional) {
  const ThriftDocument doc = parse_ok("struct S { 1: required i32 a, 2: optional i32 b, 3: i32 c }");
  const auto& f = doc.structs.at("S").fields;
  ASSERT_EQ(f.size(), 3u);
  EXPECT_TRUE(f[0].required);
  EXPECT_FALSE(f[1].required);
  EXPECT_FALSE(f[2].required);
}

TEST(Parser, TypeResolution) {
  const ThriftDocument doc = parse_ok(R"(
    struct Before { 1: MyInt a, 2: Color c }
    typedef i32 MyInt
    typedef list<MyInt> Ints
    enum Color { RED }
    enum Status { A }
    struct After { 1: MyInt a, 2: Color c, 3: list<Color> cs, 4: Ints is, 5: map<Color, set<MyInt>> m }
    struct Names { 1: shared.Point p, 2: shared.Status s, 3: void v, 4: i8 small, 5: a.b.MyInt q }
    typedef i32 Foo
    struct Foo {}
    struct UsesFoo { 1: Foo f }
    typedef string Color
    struct Later { 1: Color c }
    struct Base { 1: bool a, 2: byte b, 3: i16 c, 4: i64 d, 5: double e, 6: string f, 7: binary g }
  )");
  EXPECT_EQ(types_of(doc.structs.at("Before").fields), R"(a:Struct("MyInt") c:Struct("Color"))");
  EXPECT_EQ(types_of(doc.structs.at("After").fields), "a:I32 c:I32 cs:List(I32) is:List(I32) m:Map(I32, Set(I32))");
  EXPECT_EQ(types_of(doc.structs.at("Names").fields),
            R"(p:Struct("shared.Point") s:I32 v:Struct("void") small:Struct("i8") q:I32)");
  EXPECT_EQ(types_of(doc.structs.at("UsesFoo").fields), "f:I32");  // typedefs win over struct names
  EXPECT_EQ(types_of(doc.structs.at("Later").fields), "c:String");
  EXPECT_EQ(types_of(doc.structs.at("Base").fields),
            "a:Bool b:Byte c:I16 d:I64 e:Double f:String g:Binary");
  // Typedefs and enum aliases leave no trace beyond the enum itself.
  EXPECT_EQ(doc.structs.count("MyInt"), 0u);
  EXPECT_EQ(doc.enums.size(), 2u);
}

TEST(Parser, Enums) {
  const ThriftDocument doc = parse_ok(R"(
    enum E1 { A, B = 5, C }
    enum E2 { A = -1, B }
    enum E3 { A; B; }
    enum E4 { A = 2147483647, B }
    enum E5 { A = 4294967297, B = 1, A = 7 }
    enum E6 {} (x = "y");
  )");
  auto v = [&](const char* e, const char* m) { return doc.enums.at(e).values.at(m); };
  EXPECT_EQ(v("E1", "A"), 0);
  EXPECT_EQ(v("E1", "B"), 5);
  EXPECT_EQ(v("E1", "C"), 6);
  EXPECT_EQ(v("E2", "B"), 0);
  EXPECT_EQ(v("E3", "B"), 1);
  EXPECT_EQ(v("E4", "B"), -2147483647 - 1);  // the counter wraps
  EXPECT_EQ(doc.enums.at("E5").values.size(), 2u);
  EXPECT_EQ(v("E5", "A"), 7);  // a repeated name keeps the later value
  EXPECT_TRUE(doc.enums.at("E6").values.empty());
}

TEST(Parser, StructInheritance) {
  const ThriftDocument doc = parse_ok(R"(
    struct A { 1: i32 a }
    struct B extends A { 2: string b }
    struct C extends other.B { 3: i64 c }
    union U extends B { 4: bool u }
  )");
  EXPECT_EQ(types_of(doc.structs.at("B").fields), "a:I32 b:String");
  EXPECT_EQ(types_of(doc.structs.at("C").fields), "a:I32 b:String c:I64");
  EXPECT_EQ(types_of(doc.structs.at("U").fields), "a:I32 b:String u:Bool");
}

TEST(Parser, LongInheritedFieldLists) {
  // Past the plain-scan size the duplicate check works through hash sets.
  std::string text = "struct A {";
  for (int i = 1; i <= 40; ++i) text += " " + std::to_string(i) + ": i32 f" + std::to_string(i);
  text += " } struct B extends A {";
  for (int i = 41; i <= 80; ++i) text += " " + std::to_string(i) + ": i32 f" + std::to_string(i);
  EXPECT_EQ(parse_ok(text + " }").structs.at("B").fields.size(), 80u);
  EXPECT_EQ(parse_error(text + " 81: i32 f3 }"), "Syntax error: Duplicate inherited field 'f3' in extends A");
  EXPECT_EQ(parse_error(text + " 7: i32 g }"), "Syntax error: Duplicate inherited field 'g' in extends A");
  EXPECT_EQ(parse_error(text + " 81: i32 g, 82: i32 g }"), "Syntax error: Duplicate inherited field 'g' in extends A");

  std::string svc = "service S {";
  for (int i = 0; i < 40; ++i) svc += " void m" + std::to_string(i) + "()";
  svc += " } service T extends S {";
  for (int i = 40; i < 80; ++i) svc += " void m" + std::to_string(i) + "()";
  EXPECT_EQ(parse_ok(svc + " }").services.at("T").methods.size(), 80u);
  EXPECT_EQ(parse_error(svc + " void m5() }"), "Syntax error: Duplicate inherited method 'm5' in extends S");
  EXPECT_EQ(parse_error(svc + " void x() void x() }"), "Syntax error: Duplicate inherited method 'x' in extends S");
}

TEST(Parser, Services) {
  const ThriftDocument doc = parse_ok(R"(
    service Base { void ping(), i32 add(1: i32 a, 2: i32 b) throws (1: Oops e); }
    service Child extends shared.Base { oneway void log(1: string msg) (x = "y"), string name() }
    service Twice { void ping() void ping() }
  )");
  const auto& base = doc.services.at("Base");
  EXPECT_EQ(methods_of(base), "ping add");
  EXPECT_EQ(types_of(base.methods[1].arguments), "a:I32 b:I32");
  EXPECT_EQ(types_of(base.methods[1].exceptions), R"(e:Struct("Oops"))");
  const auto& child = doc.services.at("Child");
  EXPECT_EQ(methods_of(child), "ping add log name");  // inherited first
  EXPECT_TRUE(child.methods[2].oneway);
  EXPECT_EQ(child.methods[2].return_type, ThriftType::named("void"));
  EXPECT_FALSE(child.methods[3].oneway);
  EXPECT_EQ(methods_of(doc.services.at("Twice")), "ping ping");
}

TEST(Parser, LaterDefinitionsReplaceEarlierOnes) {
  const ThriftDocument doc = parse_ok(R"(
    struct A {} struct A { 1: i32 x }
    union U { 1: i32 a } struct U { 1: string b }
    service S { void a() } service S { void b() }
    enum E { X } enum E { Y }
    namespace py first namespace py second
  )");
  EXPECT_EQ(types_of(doc.structs.at("A").fields), "x:I32");
  EXPECT_EQ(types_of(doc.structs.at("U").fields), "b:String");
  EXPECT_EQ(methods_of(doc.services.at("S")), "b");
  EXPECT_EQ(doc.enums.at("E").values.count("Y"), 1u);
  EXPECT_EQ(doc.namespaces.at("py"), "second");
}

TEST(Parser, IncludesNamespacesConsts) {
  const ThriftDocument doc = parse_ok(R"(
    include "shared.thrift"
    include "dir/other.thrift";
    include "shared.thrift"
    namespace py foo.bar
    namespace * x;
    namespace java "org.x".y
    namespace struct enum.union
    const i32 X = 5
    const map<string, i32> M = {"a": 1};
    const double PI = 3.14
    const list<i32> L = [1, FOO]
  )");
  EXPECT_EQ(doc.includes, (std::vector<std::string>{"shared.thrift", "dir/other.thrift", "shared.thrift"}));
  EXPECT_EQ(doc.namespaces.size(), 4u);
  EXPECT_EQ(doc.namespaces.at("py"), "foo.bar");
  EXPECT_EQ(doc.namespaces.at("*"), "x");
  EXPECT_EQ(doc.namespaces.at("java"), "org.x.y");
  EXPECT_EQ(doc.namespaces.at("struct"), "enum.union");
  EXPECT_TRUE(doc.structs.empty());
  EXPECT_TRUE(doc.enums.empty());
}

TEST(Parser, AnnotationsAreSkipped) {
  const ThriftDocument doc = parse_ok(R"(
    struct S (a = "1") { 1: i32 (x = (y)) x (a = "1") (b = "2"), 2: i32 y = 3 (z) } (b = "2")
    service V (s) { void f() (a = "b") }
    typedef i32 T (t = "u")
  )");
  EXPECT_EQ(types_of(doc.structs.at("S").fields), "x:I32 y:I32");
  EXPECT_EQ(doc.structs.at("S").fields[1].default_value, ThriftValue(ThriftValue::I32{3}));
  EXPECT_EQ(methods_of(doc.services.at("V")), "f");
}

// A valid IDL that touches every construct.
std::string sample_idl() {
  return R"idl(
namespace py demo.app   # scope
include "base.thrift"
typedef i64 Timestamp
typedef map<string, list<Timestamp>> Series
enum Status { ACTIVE = 1, DISABLED; GONE = -3 }
const list<Status> ALL = [Status.ACTIVE, 2]
const map<string, i32> M = {"a": 1; "b": 2}
/* block
   comment */
struct Point { 1: i32 x = 0, 2: i32 y = -1 } (anno = "1")
struct Base { 1: i32 id }
struct User extends Base {
  2: required string name = "anon";
  3: optional Timestamp created = 0,
  4: Status status = Status.ACTIVE
  5: list<Point> path = [{}, Point.ORIGIN]
  6: map<string, list<Point>> named = {"a": [{}]}
  7: set<string> tags = [a, "b", c]
  8: binary raw = "hi"
  9: Point origin = {"x": 1}
  10: bool flag = true (x = ")")
  11: double ratio = 3
}
union Choice { 1: string s, 2: i64 n }
exception NotFound { 1: string message }
service Base0 { void ping() }
service Users extends Base0 {
  User get(1: i32 id, 2: list<Point> hint = [{}]) throws (1: NotFound nf),
  oneway void log(1: string msg);
  Series series(1: Timestamp since) (deprecated)
}
)idl";
}

TEST(Parser, SampleParses) {
  const ThriftDocument doc = parse_ok(sample_idl());
  EXPECT_EQ(doc.structs.size(), 5u);
  EXPECT_EQ(doc.structs.at("User").fields.size(), 11u);
  EXPECT_EQ(methods_of(doc.services.at("Users")), "ping get log series");
}

TEST(Parser, EveryPrefixEndsQuickly) {
  // Each prefix either parses or fails; none may hang or crash.
  std::string idl;
  for (int i = 0; i < 4; ++i) idl += sample_idl();
  const auto start = std::chrono::steady_clock::now();
  std::size_t failures = 0;
  for (std::size_t n = 0; n <= idl.size(); ++n) {
    if (!parse_document(std::string_view(idl).substr(0, n))) ++failures;
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GT(failures, 0u);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count(), 60);
}

TEST(Parser, LargeGeneratedIdl) {
  std::string idl;
  idl.reserve(10000 * 20 * 40);
  for (int s = 0; s < 10000; ++s) {
    idl += "struct S" + std::to_string(s) + " {\n";
    for (int f = 1; f <= 20; ++f) {
      idl += "  " + std::to_string(f) + ": optional " + (f % 3 == 0 ? "list<string>" : "i64") + " field_" +
             std::to_string(f) + (f % 5 == 0 ? " = 42" : "") + ",\n";
    }
    idl += "}\n";
  }
  auto doc = parse_document(idl);
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(doc->structs.size(), 10000u);
  EXPECT_EQ(doc->structs.at("S9999").fields.size(), 20u);
}

}  // namespace
