// Strict base64 over arbitrary bytes: a text that decodes is the one
// canonical encoding of what it decodes to, and the input itself, taken as
// bytes, encodes to a text that decodes back to it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "protocol/base64.hpp"

namespace {

using namespace brovane::protocol;
using brovane::fuzz::hex;

void check_decode(std::string_view text) {
  std::string out = "prefix";
  const auto appended = base64_decode_append(text, out);
  const auto decoded = base64_decode(text);
  FUZZ_CHECK(appended.has_value() == decoded.has_value());
  if (!decoded) {
    const Base64Error& e = decoded.error();
    FUZZ_CHECK(e == appended.error());
    FUZZ_CHECK_MSG(out == "prefix", "a failed decode changed its output");
    if (e.kind == Base64Error::Kind::InvalidSymbol || e.kind == Base64Error::Kind::InvalidLastSymbol) {
      FUZZ_CHECK_MSG(e.offset < text.size() && static_cast<std::uint8_t>(text[e.offset]) == e.symbol, e.display());
    }
    if (e.kind == Base64Error::Kind::InvalidLength) FUZZ_CHECK_MSG(e.offset <= text.size(), e.display());
    FUZZ_CHECK(!e.display().empty());
    return;
  }
  FUZZ_CHECK(out == "prefix" + *decoded);
  FUZZ_CHECK(text.size() % 4 == 0);
  FUZZ_CHECK(base64_encoded_size(decoded->size()) == text.size());
  const std::string again = base64_encode(*decoded);
  FUZZ_CHECK_MSG(again == text, "decoded " + hex(*decoded) + "\n  re-encodes as " + again);
}

void check_encode(std::string_view bytes) {
  const std::string text = base64_encode(bytes);
  FUZZ_CHECK(text.size() == base64_encoded_size(bytes.size()));
  std::string appended = "ab";
  base64_encode_append(bytes, appended);
  FUZZ_CHECK(appended == "ab" + text);
  const auto back = base64_decode(text);
  FUZZ_CHECK_MSG(back.has_value(), text + ": " + back.error().display());
  FUZZ_CHECK_MSG(*back == bytes, "round trip of " + hex(bytes) + " gave " + hex(*back));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  check_decode(in);
  check_encode(in);
  return 0;
}
