#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/lexer.hpp"

using brovane::parser::ParseError;
using brovane::parser::Token;
using brovane::parser::tokenize;
using brovane::parser::TokenKind;

namespace {

// The tokens' debug forms joined by spaces, or the error's text form.
std::string lex(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens) return "error: " + tokens.error().to_string();
  std::string out;
  for (const Token& t : *tokens) {
    if (!out.empty()) out += ' ';
    out += brovane::parser::to_debug_string(t);
  }
  return out;
}

TEST(Lexer, Tokens) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {" \t\r\n ", ""},
      {"// only a comment", ""},
      {"# hash comment\n/* block */ // line", ""},
      {"struct A {}\n// end", R"(Keyword("struct") Identifier("A") LeftBrace RightBrace)"},
      {"struct A {} /* end */", R"(Keyword("struct") Identifier("A") LeftBrace RightBrace)"},
      {",;(){}[]<>:=.*", "Comma Semicolon LeftParen RightParen LeftBrace RightBrace LeftBracket RightBracket "
                         "LessThan GreaterThan Colon Equal Dot Asterisk"},
      {"1.5", "Number(1) Dot Number(5)"},
      {"0x1F", R"(Number(0) Identifier("x1F"))"},
      {"5abc", R"(Number(5) Identifier("abc"))"},
      {"-3 007 -0", "Number(-3) Number(7) Number(0)"},
      {"9223372036854775807 -9223372036854775808", "Number(9223372036854775807) Number(-9223372036854775808)"},
      {"a-1", R"(Identifier("a") Number(-1))"},
      {"shared.Point", R"(Identifier("shared") Dot Identifier("Point"))"},
      {"Struct STRUCT structs struct", R"(Identifier("Struct") Identifier("STRUCT") Identifier("structs") Keyword("struct"))"},
      {"enum const union struct oneway throws service include typedef extends required optional namespace exception",
       R"(Keyword("enum") Keyword("const") Keyword("union") Keyword("struct") Keyword("oneway") Keyword("throws") )"
       R"(Keyword("service") Keyword("include") Keyword("typedef") Keyword("extends") Keyword("required") )"
       R"(Keyword("optional") Keyword("namespace") Keyword("exception"))"},
      {"bool i32 list map void true false _x x_1", R"(Identifier("bool") Identifier("i32") Identifier("list") )"
                                                  R"(Identifier("map") Identifier("void") Identifier("true") )"
                                                  R"(Identifier("false") Identifier("_x") Identifier("x_1"))"},
      {"n\xC3\xA9v x\xD9\xA3", "Identifier(\"n\xC3\xA9v\") Identifier(\"x\xD9\xA3\")"},  // letter, Arabic-Indic digit
      {"x\xC2\xB2", "Identifier(\"x\xC2\xB2\")"},                                       // superscript two (No)
      {R"("" "a b" "line
two")", R"(String("") String("a b") String("line\ntwo"))"},
      {R"("a\" b "c")", R"(String("a\\") Identifier("b") String("c"))"},  // a backslash escapes nothing
      {"\"// not a comment\"", R"(String("// not a comment"))"},
      {"a/**/b", R"(Identifier("a") Identifier("b"))"},
      {"a/*/ x */b", R"(Identifier("a") Identifier("b"))"},
      {"a #c\nb", R"(Identifier("a") Identifier("b"))"},
      {"a //c\r\nb", R"(Identifier("a") Identifier("b"))"},
      {"a \f", R"(Identifier("a"))"},               // trailing form feed is trimmed
      {"a\xC2\xA0", R"(Identifier("a"))"},          // trailing no-break space
      {"a \xE3\x80\x80\n", R"(Identifier("a"))"},   // trailing ideographic space
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(lex(text), expected) << text;
}

TEST(Lexer, UnexpectedInput) {
  const std::pair<std::string, std::string> cases[] = {
      {"struct A {} $", R"(Unexpected input: "$")"},
      {"/* a /* b */ c */", R"(Unexpected input: "/")"},
      {"x /* never closed", R"(Unexpected input: "/* never closed")"},
      {"\"abc", R"(Unexpected input: "\"abc")"},
      {"\xC3\xA9" "clair", "Unexpected input: \"\xC3\xA9" "clair\""},
      {"9223372036854775808", R"(Unexpected input: "9223372036854775808")"},
      {"-9223372036854775809 x", R"(Unexpected input: "-9223372036854775809 x")"},
      {"x - 3", R"(Unexpected input: "- 3")"},
      {"+1", R"(Unexpected input: "+1")"},
      {"a 'b'", R"(Unexpected input: "'b'")"},
      {"a \\ b", R"(Unexpected input: "\\ b")"},
      {"a!", R"(Unexpected input: "!")"},
      {"x \xE2\x82\xAC", "Unexpected input: \"\xE2\x82\xAC\""},
      // The rest begins where the failed attempt began, comments included.
      {"a // c\n $", R"(Unexpected input: "// c\n $")"},
      // Blanks other than the four skipped ones stop tokenizing mid-text.
      {"struct A {}\xC2\xA0struct B {}", R"(Unexpected input: "struct B {}")"},
      {"a\fb", R"(Unexpected input: "b")"},
      // Cut to 40 bytes.
      {"x $" + std::string(60, 'y'), "Unexpected input: \"$" + std::string(39, 'y') + "\""},
      // Byte 40 inside a two-byte character: the cut falls before it.
      {"x $" + std::string(38, 'y') + "\xC3\xA9zz", "Unexpected input: \"$" + std::string(38, 'y') + "\""},
      {"x $" + std::string(37, 'y') + "\xC3\xA9zz", "Unexpected input: \"$" + std::string(37, 'y') + "\xC3\xA9\""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(lex(text), "error: Syntax error: " + expected) << text;
}

TEST(Lexer, ErrorTextForms) {
  auto tokens = tokenize(R"(Base , x 3 struct "a b" -5 })");
  ASSERT_TRUE(tokens.has_value());
  const std::vector<std::string> expected = {
      R"(Unexpected token: Identifier("Base"))", "Unexpected token: Comma",
      R"(Unexpected token: Identifier("x"))",    "Unexpected token: Number(3)",
      R"(Unexpected token: Keyword("struct"))",  R"(Unexpected token: String("a b"))",
      "Unexpected token: Number(-5)",            "Unexpected token: RightBrace",
  };
  ASSERT_EQ(tokens->size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(ParseError::unexpected((*tokens)[i]).to_string(), expected[i]);
  }
  EXPECT_EQ(ParseError::syntax("Unknown parent struct: Base").to_string(), "Syntax error: Unknown parent struct: Base");
  EXPECT_EQ(ParseError::end_of_input().to_string(), "End of input");
}

TEST(Lexer, TokensViewTheText) {
  const std::string text = "struct Point";
  auto tokens = tokenize(text);
  ASSERT_TRUE(tokens.has_value());
  ASSERT_EQ(tokens->size(), 2u);
  EXPECT_EQ((*tokens)[1].kind, TokenKind::Identifier);
  EXPECT_EQ((*tokens)[1].text.data(), text.data() + 7);
}

}  // namespace
