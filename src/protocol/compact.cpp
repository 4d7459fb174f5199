#include "protocol/compact.hpp"

#include <string>

namespace brovane::protocol::compact_detail {

ProtocolError bad_protocol_id() { return ProtocolError::invalid_data("Bad protocol id"); }

ProtocolError bad_protocol_version() {
  return ProtocolError::invalid_data("Bad protocol version");
}

ProtocolError no_open_struct() {
  return ProtocolError::invalid_data("field header outside of a struct");
}

}  // namespace brovane::protocol::compact_detail
