"""ThriftParser: parsing, the queries on the parsed document, and the service
descriptors PyThriftService / PyThriftMethod."""

import unittest

import brovane

WORKED = """
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
"""

CALC = """
exception Oops { 1: string why }
service Calc {
  void ping(),
  i32 add(1: i32 a, 2: i32 b) throws (1: Oops e, 2: Oops f),
}
service Empty {}
service Twice {
  i32 ping(),
  string ping(1: i32 x),
}
service Child extends Calc { oneway void log(1: string msg) }
"""


def parsed(text):
    p = brovane.ThriftParser()
    p.parse(text)
    return p


class NoDocumentTest(unittest.TestCase):
    def test_every_query_raises(self):
        p = brovane.ThriftParser()
        queries = {
            "list_structs": lambda: p.list_structs(),
            "get_struct": lambda: p.get_struct("A"),
            "list_services": lambda: p.list_services(),
            "get_service": lambda: p.get_service("S"),
            "list_includes": lambda: p.list_includes(),
            "namespaces": lambda: p.namespaces(),
            "list_enums": lambda: p.list_enums(),
            "get_enum": lambda: p.get_enum("E"),
        }
        for name, query in queries.items():
            with self.subTest(name):
                with self.assertRaises(ValueError) as cm:
                    query()
                self.assertEqual(str(cm.exception), "No document parsed yet")

    def test_argument_errors_come_first(self):
        p = brovane.ThriftParser()
        cases = [
            (lambda: p.get_struct(5), "argument 'name': 'int' object is not an instance of 'str'"),
            (lambda: p.get_enum(None), "argument 'name': 'None' is not an instance of 'str'"),
            (lambda: p.get_service(b"S"), "argument 'name': 'bytes' object is not an instance of 'str'"),
            (lambda: p.get_service(), "ThriftParser.get_service() missing 1 required positional argument: 'name'"),
            (lambda: p.get_struct("A", "B"),
             "ThriftParser.get_struct() takes 1 positional arguments but 2 were given"),
            (lambda: p.get_enum(nme="E"), "ThriftParser.get_enum() got an unexpected keyword argument 'nme'"),
            (lambda: p.list_structs(1), "ThriftParser.list_structs() takes 0 positional arguments but 1 was given"),
        ]
        for call, text in cases:
            with self.subTest(text):
                with self.assertRaises(TypeError) as cm:
                    call()
                self.assertEqual(str(cm.exception), text)

    def test_name_by_keyword(self):
        p = parsed("struct A {} enum E { X } service S {}")
        self.assertEqual(p.get_struct(name="A").name, "A")
        self.assertEqual(p.get_enum(name="E"), {"X": 0})
        self.assertEqual(p.get_service(name="S").name, "S")

    def test_constructor_takes_no_arguments(self):
        for call in (lambda: brovane.ThriftParser(1), lambda: brovane.ThriftParser(x=1)):
            with self.assertRaises(TypeError):
                call()

    def test_descriptor_classes_cannot_be_instantiated(self):
        for cls in (brovane.ThriftStruct, brovane.ThriftField, brovane.PyThriftService, brovane.PyThriftMethod):
            with self.subTest(cls.__name__):
                with self.assertRaises(TypeError):
                    cls()


class ParseTest(unittest.TestCase):
    def test_worked_example(self):
        p = parsed(WORKED)
        self.assertEqual(p.namespaces(), {"py": "demo.app"})
        self.assertEqual(p.list_includes(), ["base.thrift"])
        self.assertEqual(p.list_enums(), ["Status"])
        self.assertEqual(p.get_enum("Status"), {"ACTIVE": 1, "DISABLED": 2})
        self.assertEqual(sorted(p.list_structs()), ["Base", "NotFound", "User"])
        self.assertEqual(p.list_services(), ["Users"])
        self.assertEqual(
            repr(p.get_struct("User")),
            'ThriftStruct(name="User", fields=['
            'ThriftField { id: 1, name: "id", required: false, field_type: I32, default_value: None }, '
            'ThriftField { id: 2, name: "name", required: true, field_type: String, default_value: None }, '
            'ThriftField { id: 3, name: "created", required: false, field_type: I64, default_value: Some(I64(0)) }, '
            'ThriftField { id: 4, name: "status", required: false, field_type: I32, default_value: Some(I32(1)) }'
            "])",
        )
        users = p.get_service("Users")
        get, ping = users.methods
        self.assertEqual(repr(get), 'ThriftMethod(name="get", return_type=Struct("User"))')
        self.assertEqual([repr(a) for a in get.arguments],
                         ['ThriftField(id=1, name="id", required=false, field_type=I32)'])
        self.assertEqual([repr(e) for e in get.exceptions],
                         ['ThriftField(id=1, name="nf", required=false, field_type=Struct("NotFound"))'])
        self.assertFalse(get.oneway)
        self.assertEqual(repr(ping), 'ThriftMethod(name="ping", return_type=Struct("void"))')
        self.assertEqual((ping.arguments, ping.exceptions, ping.oneway), ([], [], True))

    def test_parse_returns_none(self):
        self.assertIsNone(brovane.ThriftParser().parse(""))

    def test_failure_keeps_the_previous_document(self):
        p = parsed("struct Kept { 1: i32 x } service S { void f() }")
        cases = [
            ("struct P { i32 x }", 'Parse error: Unexpected token: Identifier("i32")'),
            ("struct P { 1: i32 service }", 'Parse error: Unexpected token: Keyword("service")'),
            ("struct B extends A { 1: i32 x }", "Parse error: Syntax error: Unknown parent struct: A"),
            ("struct P { 1: i32 x", "Parse error: End of input"),
        ]
        for text, message in cases:
            with self.subTest(text):
                with self.assertRaises(ValueError) as cm:
                    p.parse(text)
                self.assertEqual(str(cm.exception), message)
                self.assertEqual(p.list_structs(), ["Kept"])
                self.assertEqual(p.get_struct("Kept").name, "Kept")
                self.assertEqual(p.list_services(), ["S"])

    def test_failure_on_a_new_parser_leaves_it_empty(self):
        p = brovane.ThriftParser()
        with self.assertRaises(ValueError):
            p.parse("struct {")
        with self.assertRaisesRegex(ValueError, "^No document parsed yet$"):
            p.list_structs()

    def test_lone_surrogate_raises_the_encoding_error(self):
        p = parsed("struct Kept {}")
        with self.assertRaises(UnicodeEncodeError):
            p.parse('struct S { 1: string s = "\ud800" }')
        self.assertEqual(p.list_structs(), ["Kept"])

    def test_content_must_be_a_str(self):
        p = brovane.ThriftParser()
        cases = [
            (lambda: p.parse(b"struct S {}"), "argument 'content': 'bytes' object is not an instance of 'str'"),
            (lambda: p.parse(None), "argument 'content': 'None' is not an instance of 'str'"),
            (lambda: p.parse(), "ThriftParser.parse() missing 1 required positional argument: 'content'"),
        ]
        for call, text in cases:
            with self.subTest(text):
                with self.assertRaises(TypeError) as cm:
                    call()
                self.assertEqual(str(cm.exception), text)

    def test_str_subclass_and_keyword(self):
        class Text(str):
            pass

        p = brovane.ThriftParser()
        p.parse(content=Text("struct S {}"))
        self.assertEqual(p.list_structs(), ["S"])

    def test_non_ascii_text(self):
        p = parsed('namespace py dé.mo\nstruct Unï { 1: string s = "héllo ✓" }')
        self.assertEqual(p.namespaces(), {"py": "dé.mo"})
        self.assertEqual(p.list_structs(), ["Unï"])
        self.assertIn('default_value: Some(String("héllo ✓"))', repr(p.get_struct("Unï")))

    def test_empty_text_replaces_the_document(self):
        p = parsed("struct A {} enum E { X } service S {} include \"x.thrift\" namespace py a")
        p.parse("")
        self.assertEqual(
            (p.list_structs(), p.list_enums(), p.list_services(), p.list_includes(), p.namespaces()),
            ([], [], [], [], {}),
        )

    def test_includes_keep_source_order_and_repeats(self):
        p = parsed('include "b.thrift"\ninclude "a.thrift"\ninclude "b.thrift"')
        self.assertEqual(p.list_includes(), ["b.thrift", "a.thrift", "b.thrift"])

    def test_results_are_new_objects(self):
        p = parsed("struct A {} namespace py a")
        self.assertIsNot(p.list_structs(), p.list_structs())
        self.assertIsNot(p.namespaces(), p.namespaces())
        self.assertIsNot(p.get_struct("A"), p.get_struct("A"))


class QueryTest(unittest.TestCase):
    def test_lookups_of_unknown_names_give_none(self):
        p = parsed("struct A {} enum E { X } service S {}")
        self.assertIsNone(p.get_struct("B"))
        self.assertIsNone(p.get_enum("A"))
        self.assertIsNone(p.get_service("A"))

    def test_unencodable_name_raises_the_encoding_error(self):
        p = parsed("struct A {} service S {}")
        for call in (p.get_struct, p.get_enum, p.get_service, p.get_service("S").get_method):
            with self.subTest(call.__name__):
                with self.assertRaises(UnicodeEncodeError):
                    call("\ud800")

    def test_document_without_services(self):
        p = parsed("struct A {}")
        self.assertEqual(p.list_services(), [])
        self.assertIsNone(p.get_service("S"))

    def test_enum_values(self):
        p = parsed("enum E { A = -5, B, C = 2147483647 }")
        self.assertEqual(p.get_enum("E"), {"A": -5, "B": -4, "C": 2147483647})


class ServiceTest(unittest.TestCase):
    def setUp(self):
        self.p = parsed(CALC)

    def test_reprs(self):
        self.assertEqual(repr(self.p.get_service("Calc")), 'ThriftService(name="Calc", methods=["ping", "add"])')
        self.assertEqual(repr(self.p.get_service("Empty")), 'ThriftService(name="Empty", methods=[])')
        ping, add = self.p.get_service("Calc").methods
        self.assertEqual(repr(ping), 'ThriftMethod(name="ping", return_type=Struct("void"))')
        self.assertEqual(repr(add), 'ThriftMethod(name="add", return_type=I32)')

    def test_members(self):
        calc = self.p.get_service("Calc")
        self.assertEqual(calc.name, "Calc")
        add = calc.get_method("add")
        self.assertEqual(add.name, "add")
        self.assertEqual([(a.id, a.name, a.required) for a in add.arguments], [(1, "a", False), (2, "b", False)])
        self.assertEqual([(e.id, e.name) for e in add.exceptions], [(1, "e"), (2, "f")])
        self.assertIs(add.oneway, False)

    def test_inherited_methods_come_first(self):
        child = self.p.get_service("Child")
        self.assertEqual([m.name for m in child.methods], ["ping", "add", "log"])
        self.assertIs(child.get_method("log").oneway, True)

    def test_each_access_builds_new_copies(self):
        calc = self.p.get_service("Calc")
        self.assertIsNot(calc.methods[0], calc.methods[0])
        self.assertEqual(repr(calc.methods[0]), repr(calc.methods[0]))
        add = calc.methods[1]
        self.assertIsNot(add.arguments[0], add.arguments[0])
        self.assertIsNot(calc.get_method("add"), calc.get_method("add"))
        self.assertIsNot(self.p.get_service("Calc"), calc)

    def test_get_method(self):
        twice = self.p.get_service("Twice")
        self.assertEqual([m.name for m in twice.methods], ["ping", "ping"])
        self.assertEqual(repr(twice.get_method("ping")), 'ThriftMethod(name="ping", return_type=I32)')
        self.assertIsNone(twice.get_method("pong"))
        self.assertIsNone(twice.get_method("Ping"))
        self.assertEqual(twice.get_method(name="ping").arguments, [])
        with self.assertRaises(TypeError) as cm:
            twice.get_method(5)
        self.assertEqual(str(cm.exception), "argument 'name': 'int' object is not an instance of 'str'")

    def test_descriptors_outlive_a_new_parse(self):
        calc = self.p.get_service("Calc")
        self.p.parse("service Calc { void other() }")
        self.assertEqual([m.name for m in calc.methods], ["ping", "add"])
        self.assertEqual([m.name for m in self.p.get_service("Calc").methods], ["other"])

    def test_descriptors_are_read_only(self):
        calc = self.p.get_service("Calc")
        method = calc.methods[0]
        for obj, attr in ((calc, "name"), (calc, "methods"), (method, "name"), (method, "oneway")):
            with self.subTest(attr):
                with self.assertRaises(AttributeError):
                    setattr(obj, attr, None)


if __name__ == "__main__":
    unittest.main()
