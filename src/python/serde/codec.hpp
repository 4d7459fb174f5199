// Choosing the codec once per operation: the protocol number (Binary 0,
// Compact 1, JSON 2) picks the reader or writer type, and the generic body
// runs instantiated for it.
//
//   auto r = serde::with_writer(protocol, d.size_hint(), {0, 0}, [&](auto& w) -> core::Result<std::string> {
//     ...
//     return w.take();
//   });
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "protocol/binary.hpp"
#include "protocol/compact.hpp"
#include "protocol/json_reader.hpp"
#include "protocol/json_writer.hpp"
#include "python/types/enums.hpp"

namespace brovane::python::serde {

using types::ProtocolType;

// Calls `f(writer)` with a fresh writer of the protocol, its buffer reserved to
// `reserve` bytes; a Compact writer starts with the last-field-id stack
// `compact_ids`. Any other priming (struct or message frames) is the body's.
// `f` returns the same type for every writer.
template <class F>
decltype(auto) with_writer(ProtocolType protocol, std::size_t reserve, protocol::FieldIdStack compact_ids, F&& f) {
  switch (protocol) {
    case ProtocolType::Compact: {
      protocol::CompactProtocolWriter w(reserve, std::move(compact_ids));
      return std::forward<F>(f)(w);
    }
    case ProtocolType::JSON: {
      protocol::JSONProtocolWriter w(reserve);
      return std::forward<F>(f)(w);
    }
    case ProtocolType::Binary:
    default: {
      protocol::BinaryProtocolWriter w(reserve);
      return std::forward<F>(f)(w);
    }
  }
}

// Calls `f(reader)` with a reader of the protocol over `input` (which must
// outlive the call) at position 0; a Compact reader starts with the
// last-field-id stack `compact_ids`, a JSON reader with no document.
template <class F>
decltype(auto) with_reader(ProtocolType protocol, std::string_view input, protocol::FieldIdStack compact_ids,
                           F&& f) {
  switch (protocol) {
    case ProtocolType::Compact: {
      protocol::CompactProtocolReader r(input, std::move(compact_ids));
      return std::forward<F>(f)(r);
    }
    case ProtocolType::JSON: {
      protocol::JSONProtocolReader r(input);
      return std::forward<F>(f)(r);
    }
    case ProtocolType::Binary:
    default: {
      protocol::BinaryProtocolReader r(input);
      return std::forward<F>(f)(r);
    }
  }
}

}  // namespace brovane::python::serde
