// JSON text parsing over arbitrary bytes: a value that parses prints
// (append_json) as text that parses to an equal value and prints the same
// again; a refused text gets the "{} at line {} column {}" form with a
// position inside the text. nlohmann's own strict parser serves as a second
// opinion: both accept the same texts and read the same values, apart from
// the deliberate differences (the nesting budget, numbers beyond the double
// range, and "-0", which reads as the float -0.0) and texts holding a NUL
// byte, where nlohmann stops reading.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "check.hpp"
#include "protocol/json_text.hpp"
#include "protocol/types.hpp"

namespace {

using brovane::protocol::Json;

// Equality that tells the three number kinds apart and compares doubles
// bitwise (nlohmann's own == treats 1 and 1.0 as equal).
bool same(const Json& a, const Json& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Json::value_t::number_float: {
      const double x = a.get<double>(), y = b.get<double>();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case Json::value_t::array:
      if (a.size() != b.size()) return false;
      for (std::size_t k = 0; k < a.size(); ++k)
        if (!same(a[k], b[k])) return false;
      return true;
    case Json::value_t::object: {
      if (a.size() != b.size()) return false;
      auto i = a.items().begin();
      auto j = b.items().begin();
      for (; i != a.items().end(); ++i, ++j)
        if (i.key() != j.key() || !same(i.value(), j.value())) return false;
      return true;
    }
    default:
      return a == b;
  }
}

bool finite_numbers(const Json& v) {
  if (v.is_number_float()) return std::isfinite(v.get<double>());
  if (v.is_structured())
    for (const Json& e : v)
      if (!finite_numbers(e)) return false;
  return true;
}

// `ours` against nlohmann's reading `ref` of the same text.
bool agrees(const Json& ours, const Json& ref) {
  if (ours.is_number() && ref.is_number()) {
    if (ours.is_number_float()) {
      const double x = ours.get<double>();
      if (ref.is_number_float()) {
        const double y = ref.get<double>();
        return std::memcmp(&x, &y, sizeof x) == 0;
      }
      return x == 0.0 && ref == 0;  // "-0"
    }
    return !ref.is_number_float() && ours == ref;
  }
  if (ours.type() != ref.type()) return false;
  if (ours.is_array()) {
    if (ours.size() != ref.size()) return false;
    for (std::size_t k = 0; k < ours.size(); ++k)
      if (!agrees(ours[k], ref[k])) return false;
    return true;
  }
  if (ours.is_object()) {
    if (ours.size() != ref.size()) return false;
    auto i = ours.items().begin();
    auto j = ref.items().begin();
    for (; i != ours.items().end(); ++i, ++j)
      if (i.key() != j.key() || !agrees(i.value(), j.value())) return false;
    return true;
  }
  return ours == ref;
}

void compare_with_nlohmann(std::string_view text, const std::expected<Json, brovane::protocol::JsonParseError>& ours) {
  // nlohmann takes a NUL byte for the end of the input.
  if (text.find('\0') != std::string_view::npos) return;
  const Json ref = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (ours) {
    FUZZ_CHECK_MSG(!ref.is_discarded(), "accepted here, refused by nlohmann: " + std::string(text));
    FUZZ_CHECK_MSG(agrees(*ours, ref), "read as " + brovane::protocol::to_json_text(*ours) +
                                           "\n  nlohmann reads " + ref.dump());
  } else if (!ref.is_discarded()) {
    const std::string_view reason = ours.error().reason;
    FUZZ_CHECK_MSG(reason == "recursion limit exceeded" || reason == "number out of range",
                   "refused here (" + ours.error().display() + "), accepted by nlohmann as " + ref.dump());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto v = brovane::protocol::parse_json(text);
  compare_with_nlohmann(text, v);
  if (!v) {
    const auto& e = v.error();
    FUZZ_CHECK(!e.reason.empty());
    FUZZ_CHECK(e.line >= 1);
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n';
    FUZZ_CHECK_MSG(e.line <= lines, e.display());
    FUZZ_CHECK(e.display().find(" at line ") != std::string::npos);
    return 0;
  }
  // The text was valid UTF-8, so every string in the value is too.
  FUZZ_CHECK(!brovane::protocol::validate_utf8(text).has_value());
  FUZZ_CHECK(finite_numbers(*v));

  const std::string printed = brovane::protocol::to_json_text(*v);
  const auto back = brovane::protocol::parse_json(printed);
  FUZZ_CHECK_MSG(back.has_value(), "printed " + printed + "\n  does not parse: " + back.error().display());
  FUZZ_CHECK_MSG(same(*back, *v), "printed " + printed + "\n  parses to " + brovane::protocol::to_json_text(*back));
  FUZZ_CHECK_MSG(brovane::protocol::to_json_text(*back) == printed, "printing is not stable: " + printed);

  std::string appended = "x";
  brovane::protocol::append_json(*v, appended);
  FUZZ_CHECK(appended == "x" + printed);
  return 0;
}
