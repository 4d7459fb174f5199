#include "protocol/compact.hpp"

#include <string>

namespace brovane::protocol::compact_detail {

ProtocolError bad_protocol_id() { return ProtocolError::invalid_data("Bad protocol id"); }

ProtocolError bad_protocol_version() {
  return ProtocolError::invalid_data("Bad protocol version");
}

ProtocolError negative_length(std::int32_t len) {
  return ProtocolError::invalid_data("negative length: " + std::to_string(len));
}

ProtocolError length_too_large(std::size_t len) {
  return ProtocolError::invalid_data("length too large for i32: " + std::to_string(len));
}

ProtocolError no_open_struct() {
  return ProtocolError::invalid_data("field header outside of a struct");
}

}  // namespace brovane::protocol::compact_detail
