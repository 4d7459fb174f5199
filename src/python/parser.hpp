// The Python class ThriftParser: one parsed IDL document and the questions it
// answers. Also what clients and servers take from the parser-side classes:
// the service copy (service_argument, from service.hpp) and the StructMap of
// a parser (struct_map_argument).
#pragma once

#include <Python.h>

#include <optional>

#include "parser/ast.hpp"
#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/service.hpp"

namespace brovane::python::parser {

namespace ast = brovane::parser::ast;

struct ThriftParser {
  // The last successfully parsed document, if any.
  std::optional<ast::ThriftDocument> document;
  // The base map of `document`, made on first need and dropped with the
  // document. Immutable, so every StructMap of the document shares it.
  types::StructMap base_map;

  // A new StructMap of the document (the empty map without one): its own
  // map nodes over the shared descriptors. Needs the interpreter lock.
  core::Result<types::StructMap> struct_map();
};

struct ThriftParserObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  ThriftParser value;
  static constexpr core::TypeId kTypeId = core::TypeId::ThriftParser;
};

// The `parser` argument of the set_parser methods: checks that `o` is a
// ThriftParser (TypeError naming `arg` otherwise), takes a shared borrow of it
// (RuntimeError "Already mutably borrowed" during its parse), and returns a
// new StructMap of its document (the empty map when it has none).
[[nodiscard]] core::Result<types::StructMap> struct_map_argument(PyObject* o, const char* arg);

}  // namespace brovane::python::parser
