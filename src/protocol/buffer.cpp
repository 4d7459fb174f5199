#include "protocol/buffer.hpp"

#include <string>

namespace brovane::protocol {

ProtocolError negative_length(std::int32_t len) {
  return ProtocolError::invalid_data("negative length: " + std::to_string(len));
}

ProtocolError length_too_large(std::size_t len) {
  return ProtocolError::invalid_data("length too large for i32: " + std::to_string(len));
}

}  // namespace brovane::protocol
