// The IDL parser: one pass over the token vector into a ThriftDocument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/ast.hpp"
#include "parser/lexer.hpp"

namespace brovane::parser {

// Container types and list/set/map literals nest by recursion; deeper input
// is refused (types) or treated as unreadable (literals) instead of
// exhausting the stack.
inline constexpr int kMaxNestingDepth = 256;
// A type is a tree, and a typedef is copied in whole wherever it is named, so
// a chain of typedefs that each name the one before twice would grow a type
// exponentially with the text, and naming a large typedef many times grows
// the schema by its size each time. Types are bounded in size as well as
// depth, one by one and over the whole text, counting what typedefs bring in.
inline constexpr std::size_t kMaxTypeNodes = 65536;
inline constexpr std::size_t kMaxDocumentTypeNodes = 1 << 20;

class Parser {
 public:
  // The tokens may view a text; it must outlive the parser.
  explicit Parser(std::vector<Token> tokens);

  // Runs once over all tokens; the first error ends the parse.
  std::expected<ast::ThriftDocument, ParseError> parse_document();

  // Grammar rules, exposed for tests.
  std::expected<ast::ThriftType, ParseError> parse_type();
  std::expected<ast::ThriftField, ParseError> parse_field();

  // Literals read by declared type. A failure here never fails a parse: the
  // caller returns to the literal's first token and skips it.
  std::expected<ast::ThriftValue, ParseError> parse_default_value(const ast::ThriftType& type);
  std::expected<std::vector<ast::ThriftValue>, ParseError> parse_default_sequence(const ast::ThriftType& element);
  std::expected<std::int64_t, ParseError> parse_i64_default();
  void skip_default_value();

  std::size_t position() const noexcept { return pos_; }
  bool at_end() const noexcept { return pos_ >= tokens_.size(); }

 private:
  std::expected<Token, ParseError> consume_token();
  std::expected<Token, ParseError> expect_token(TokenKind kind);
  const Token* peek() const noexcept { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  bool next_is(TokenKind kind) const noexcept { return pos_ < tokens_.size() && tokens_[pos_].kind == kind; }
  bool next_is_keyword(std::string_view word) const noexcept;
  bool take_if(TokenKind kind) noexcept;
  std::expected<Token, ParseError> expect_word();

  std::expected<void, ParseError> skip_annotations();
  std::expected<std::vector<std::string_view>, ParseError> finish_identifier_path_parts(std::string_view first);
  std::expected<std::string, ParseError> finish_qualified_identifier(std::string_view first);
  std::expected<std::string_view, ParseError> finish_identifier_path(std::string_view first);
  std::expected<std::optional<std::string_view>, ParseError> consume_optional_extends();

  std::expected<ast::ThriftType, ParseError> parse_type_at(int depth);
  std::expected<ast::ThriftValue, ParseError> parse_value_at(const ast::ThriftType& type, int depth);
  std::expected<std::vector<ast::ThriftValue>, ParseError> parse_sequence_at(const ast::ThriftType& element,
                                                                              int depth);
  std::expected<ast::ThriftValue, ParseError> parse_map_at(const ast::ThriftType::Map& type, int depth);
  void skip_literal(bool in_sequence);
  std::optional<ast::ThriftValue> read_default(const ast::ThriftType& type);

  std::expected<ast::ThriftStruct, ParseError> parse_struct();
  std::expected<std::vector<ast::ThriftField>, ParseError> merge_parent_fields(std::string_view parent,
                                                                               std::vector<ast::ThriftField> fields);
  std::expected<std::vector<ast::ThriftField>, ParseError> parse_field_list();
  std::expected<void, ParseError> parse_enum();
  std::expected<void, ParseError> parse_const();
  std::expected<void, ParseError> parse_service();
  std::expected<void, ParseError> parse_include();
  std::expected<void, ParseError> parse_typedef();
  std::expected<void, ParseError> parse_namespace();

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  // Typedef aliases, plus every enum name as I32. Definitions seen so far
  // (structs, services, enums) are looked up in the document itself, which
  // holds exactly what separate tables would.
  struct Alias {
    ast::ThriftType type;
    int depth = 1;          // levels of `type`, itself included
    std::size_t nodes = 1;  // types in `type`, itself included
  };
  ast::NameMap<Alias> typedefs_;
  // Of the type being parsed (parse_type): its size so far and the deepest
  // level reached, typedefs expanded; and the size of every type so far.
  std::size_t type_nodes_ = 0;
  int type_depth_ = 0;
  std::size_t document_nodes_ = 0;
  // Counts `nodes` more types reaching down to level `deepest`; the bound
  // they would break, if any.
  std::expected<void, ParseError> count_types(std::size_t nodes, int deepest);
  std::expected<ast::ThriftType, ParseError> counted(ast::ThriftType type, int depth);
  std::expected<ast::ThriftType, ParseError> expand(const Alias& alias, int depth);
  ast::ThriftDocument doc_;
};

// tokenize, then Parser::parse_document.
std::expected<ast::ThriftDocument, ParseError> parse_document(std::string_view text);

}  // namespace brovane::parser
