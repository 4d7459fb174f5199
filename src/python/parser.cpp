#include "python/parser.hpp"

#include <string>
#include <string_view>

#include "parser/parser.hpp"
#include "python/core/extract.hpp"
#include "python/core/thunks.hpp"
#include "python/types/thrift_struct.hpp"

namespace brovane::python::parser {

using core::Ref;
using core::Result;

core::Result<types::StructMap> ThriftParser::struct_map() {
  if (!document) return types::empty_struct_map();
  if (!base_map) {
    BRV_ASSIGN(base_map, types::build_base_struct_map(*document));
  }
  return types::struct_map_over(base_map);
}

Result<types::StructMap> struct_map_argument(PyObject* o, const char* arg) {
  BRV_ASSIGN(ThriftParserObject * parser, core::arg_object<ThriftParserObject>(o, arg));
  BRV_ASSIGN(auto borrow, core::take_borrow<core::Access::Shared>(parser->borrow));
  return parser->value.struct_map();
}

namespace {

constexpr const char kNoDocument[] = "No document parsed yet";

Result<Ref> str_of(std::string_view s) {
  return core::checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Result<const ast::ThriftDocument*> document_of(ThriftParserObject& self) {
  if (!self.value.document) [[unlikely]]
    return core::value_error(kNoDocument);
  return &*self.value.document;
}

template <class Map>
Result<Ref> key_list(const Map& map) {
  BRV_ASSIGN(Ref list, core::checked(PyList_New(static_cast<Py_ssize_t>(map.size()))));
  Py_ssize_t i = 0;
  for (const auto& entry : map) {
    BRV_ASSIGN(Ref key, str_of(entry.first));
    PyList_SET_ITEM(list.get(), i++, key.release());  // steals
  }
  return list;
}

core::Signature<0> kNew{"ThriftParser.__new__()"};

Result<Ref> parser_new(PyTypeObject* type, const core::Args<0>&) {
  return core::create<ThriftParserObject>(type, ThriftParser{});
}

core::Signature kParse{"ThriftParser.parse()", {"content"}};

Result<Ref> parse(ThriftParserObject& self, const core::Args<1>& a) {
  BRV_ASSIGN(PyObject * content, core::arg_str(a[0], "content"));
  // ASCII text is its own UTF-8 and is read in place; other text is encoded
  // into a temporary rather than into a copy cached on the caller's str. A
  // lone surrogate fails here with the interpreter's UnicodeEncodeError.
  Ref encoded;
  std::string_view text;
  if (PyUnicode_IS_ASCII(content)) {
    BRV_ASSIGN(text, core::utf8(content));
  } else {
    BRV_ASSIGN(encoded, core::checked(PyUnicode_AsUTF8String(content)));
    text = std::string_view(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  }
  auto doc = brovane::parser::parse_document(text);
  if (!doc) return core::value_error("Parse error: " + doc.error().to_string());
  self.value.document = std::move(*doc);
  self.value.base_map.reset();
  return core::none();
}

Result<Ref> list_structs(ThriftParserObject& self) {
  BRV_ASSIGN(const ast::ThriftDocument* doc, document_of(self));
  return key_list(doc->structs);
}

Result<Ref> list_services(ThriftParserObject& self) {
  BRV_ASSIGN(const ast::ThriftDocument* doc, document_of(self));
  return key_list(doc->services);
}

Result<Ref> list_enums(ThriftParserObject& self) {
  BRV_ASSIGN(const ast::ThriftDocument* doc, document_of(self));
  return key_list(doc->enums);
}

Result<Ref> list_includes(ThriftParserObject& self) {
  BRV_ASSIGN(const ast::ThriftDocument* doc, document_of(self));
  BRV_ASSIGN(Ref list, core::checked(PyList_New(static_cast<Py_ssize_t>(doc->includes.size()))));
  Py_ssize_t i = 0;
  for (const std::string& path : doc->includes) {
    BRV_ASSIGN(Ref item, str_of(path));
    PyList_SET_ITEM(list.get(), i++, item.release());  // steals
  }
  return list;
}

Result<Ref> namespaces(ThriftParserObject& self) {
  BRV_ASSIGN(const ast::ThriftDocument* doc, document_of(self));
  BRV_ASSIGN(Ref dict, core::checked(PyDict_New()));
  for (const auto& [scope, name] : doc->namespaces) {
    BRV_ASSIGN(Ref k, str_of(scope));
    BRV_ASSIGN(Ref v, str_of(name));
    BRV_CHECK(core::checked_status(PyDict_SetItem(dict.get(), k.get(), v.get())));
  }
  return dict;
}

core::Signature kGetStruct{"ThriftParser.get_struct()", {"name"}};
core::Signature kGetEnum{"ThriftParser.get_enum()", {"name"}};
core::Signature kGetService{"ThriftParser.get_service()", {"name"}};

Result<Ref> get_struct(ThriftParserObject& self, const core::Args<1>& a) {
  BRV_ASSIGN(std::string_view name, core::arg_utf8(a[0], "name"));
  BRV_CHECK(document_of(self));
  BRV_ASSIGN(types::StructMap map, self.value.struct_map());
  auto it = map->find(name);
  if (it == map->end()) return core::none();
  return types::new_struct_object(it->second);
}

Result<Ref> get_enum(ThriftParserObject& self, const core::Args<1>& a) {
  BRV_ASSIGN(std::string_view name, core::arg_utf8(a[0], "name"));
  BRV_ASSIGN(const ast::ThriftDocument* doc, document_of(self));
  auto it = doc->enums.find(name);
  if (it == doc->enums.end()) return core::none();
  BRV_ASSIGN(Ref dict, core::checked(PyDict_New()));
  for (const auto& [member, value] : it->second.values) {
    BRV_ASSIGN(Ref k, str_of(member));
    BRV_ASSIGN(Ref v, core::checked(PyLong_FromLong(value)));
    BRV_CHECK(core::checked_status(PyDict_SetItem(dict.get(), k.get(), v.get())));
  }
  return dict;
}

Result<Ref> get_service(ThriftParserObject& self, const core::Args<1>& a) {
  BRV_ASSIGN(std::string_view name, core::arg_utf8(a[0], "name"));
  BRV_ASSIGN(const ast::ThriftDocument* doc, document_of(self));
  auto it = doc->services.find(name);
  if (it == doc->services.end()) return core::none();
  BRV_ASSIGN(types::PyThriftService service, types::make_service(it->second));
  return types::new_service_object(std::move(service));
}

core::Signature<0> kListStructs{"ThriftParser.list_structs()"};
core::Signature<0> kListServices{"ThriftParser.list_services()"};
core::Signature<0> kListIncludes{"ThriftParser.list_includes()"};
core::Signature<0> kNamespaces{"ThriftParser.namespaces()"};
core::Signature<0> kListEnums{"ThriftParser.list_enums()"};

PyMethodDef kMethods[] = {
    core::method<&parse, kParse, core::Access::Exclusive>("parse", "parse($self, content)\n--\n\n"),
    core::method<&list_structs, kListStructs>("list_structs", "list_structs($self)\n--\n\n"),
    core::method<&get_struct, kGetStruct>("get_struct", "get_struct($self, name)\n--\n\n"),
    core::method<&list_services, kListServices>("list_services", "list_services($self)\n--\n\n"),
    core::method<&list_includes, kListIncludes>("list_includes", "list_includes($self)\n--\n\n"),
    core::method<&namespaces, kNamespaces>("namespaces", "namespaces($self)\n--\n\n"),
    core::method<&list_enums, kListEnums>("list_enums", "list_enums($self)\n--\n\n"),
    core::method<&get_enum, kGetEnum>("get_enum", "get_enum($self, name)\n--\n\n"),
    core::method<&get_service, kGetService>("get_service", "get_service($self, name)\n--\n\n"),
    {},
};

const PyType_Slot kSlots[] = {core::constructor<&parser_new, kNew>()};

}  // namespace

}  // namespace brovane::python::parser

namespace brovane::python {

core::Result<core::Ref> make_thrift_parser_type() {
  return core::make_type<parser::ThriftParserObject>({
      .id = core::TypeId::ThriftParser,
      .doc = "ThriftParser()\n--\n\n",
      .methods = parser::kMethods,
      .slots = parser::kSlots,
  });
}

}  // namespace brovane::python
