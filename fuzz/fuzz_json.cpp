// The JSON protocol over arbitrary bytes: whatever a reader decodes by the
// fixed schema re-encodes and decodes again to the same value.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec_roundtrip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  brovane::fuzz::check_codec<brovane::fuzz::Codec::Json>(
      std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
