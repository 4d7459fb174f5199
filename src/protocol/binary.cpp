#include "protocol/binary.hpp"

#include <cstdio>

namespace brovane::protocol::binary_detail {

ProtocolError bad_version(std::uint32_t word) {
  char text[32];
  std::snprintf(text, sizeof text, "Bad version: 0x%08x", static_cast<unsigned>(word));
  return ProtocolError::invalid_data(text);
}

}  // namespace brovane::protocol::binary_detail
