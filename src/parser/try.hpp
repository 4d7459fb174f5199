// Early return of the error of a std::expected; parser-internal.
#pragma once

#include <expected>
#include <utility>

#define PARSER_CONCAT_INNER(a, b) a##b
#define PARSER_CONCAT(a, b) PARSER_CONCAT_INNER(a, b)

#define PARSER_TRY(expr)                                                   \
  do {                                                                     \
    auto&& parser_try_result = (expr);                                     \
    if (!parser_try_result) return std::unexpected(std::move(parser_try_result.error())); \
  } while (0)

#define PARSER_TRY_ASSIGN(var, expr) PARSER_TRY_ASSIGN_IMPL(var, expr, PARSER_CONCAT(parser_try_, __LINE__))
#define PARSER_TRY_ASSIGN_IMPL(var, expr, tmp)                   \
  auto tmp = (expr);                                             \
  if (!tmp) return std::unexpected(std::move(tmp.error()));      \
  var = std::move(*tmp)
