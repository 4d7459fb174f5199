// Error propagation inside the codec templates, independent of the macros of
// the other layers: yields the value of a std::expected, or returns its error
// from the enclosing function (whose error type must accept it).
#pragma once

#include <expected>
#include <utility>

#define BRV_SERDE_TRY(expr)                                            \
  ({                                                                   \
    auto&& brv_serde_r_ = (expr);                                      \
    if (!brv_serde_r_.has_value()) [[unlikely]]                        \
      return std::unexpected(std::move(brv_serde_r_).error());         \
    *std::move(brv_serde_r_);                                          \
  })
#define BRV_SERDE_TRY_VOID(expr)                                       \
  do {                                                                 \
    auto&& brv_serde_r_ = (expr);                                      \
    if (!brv_serde_r_.has_value()) [[unlikely]]                        \
      return std::unexpected(std::move(brv_serde_r_).error());         \
  } while (0)
