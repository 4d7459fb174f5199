#include "protocol/binary.hpp"

#include <cstdio>

namespace brovane::protocol::binary_detail {

ProtocolError bad_version(std::uint32_t word) {
  char text[32];
  std::snprintf(text, sizeof text, "Bad version: 0x%08x", static_cast<unsigned>(word));
  return ProtocolError::invalid_data(text);
}

ProtocolError negative_length(std::int32_t len) {
  return ProtocolError::invalid_data("negative length: " + std::to_string(len));
}

ProtocolError length_too_large(std::size_t len) {
  return ProtocolError::invalid_data("length too large for i32: " + std::to_string(len));
}

}  // namespace brovane::protocol::binary_detail
