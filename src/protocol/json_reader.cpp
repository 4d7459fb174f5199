#include "protocol/json_reader.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "protocol/base64.hpp"

namespace brovane::protocol {

namespace {

bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10u; }

// A decimal integer with an optional sign and nothing else, within [min, max]
// (the grammar of the standard integer parsers: no spaces, no empty digits).
template <class Int>
std::optional<Int> parse_decimal_int(std::string_view s) noexcept {
  if (s.empty()) return std::nullopt;
  bool negative = false;
  std::size_t i = 0;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    i = 1;
    if (s.size() == 1) return std::nullopt;
  }
  // Accumulate the magnitude as unsigned; the negative limit is one larger.
  using U = std::make_unsigned_t<Int>;
  const U limit = negative ? static_cast<U>(static_cast<U>(std::numeric_limits<Int>::max()) + 1)
                           : static_cast<U>(std::numeric_limits<Int>::max());
  U value = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return std::nullopt;
    const U digit = static_cast<U>(s[i] - '0');
    if (value > (limit - digit) / 10) return std::nullopt;
    value = static_cast<U>(value * 10 + digit);
  }
  return negative ? static_cast<Int>(U{0} - value) : static_cast<Int>(value);
}

bool equals_ignore_case(std::string_view a, std::string_view lower) noexcept {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The standard float grammar: an optional sign, then digits with an optional
// point and fraction (a digit on at least one side) and an optional exponent,
// or inf, infinity, nan in any letter case. Out-of-range values become
// infinities or zeros rather than failing.
std::optional<double> parse_float_text(std::string_view s) noexcept {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignore_case(s, "inf") || equals_ignore_case(s, "infinity"))
    return sign * std::numeric_limits<double>::infinity();
  if (equals_ignore_case(s, "nan"))
    return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);

  std::size_t i = 0;
  std::size_t mantissa_digits = 0;
  // Decimal exponent of the first significant digit, to tell an overflow
  // from an underflow.
  std::int64_t lead_exp = 0;
  bool have_lead = false;
  for (; i < s.size() && is_digit(s[i]); ++i, ++mantissa_digits) {
    if (have_lead) {
      ++lead_exp;
    } else if (s[i] != '0') {
      have_lead = true;
    }
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    std::int64_t frac_pos = 0;
    for (; i < s.size() && is_digit(s[i]); ++i, ++mantissa_digits) {
      --frac_pos;
      if (!have_lead && s[i] != '0') {
        have_lead = true;
        lead_exp = frac_pos;
      }
    }
  }
  if (mantissa_digits == 0) return std::nullopt;
  std::int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      exp_negative = s[i] == '-';
      ++i;
    }
    if (i == s.size()) return std::nullopt;
    for (; i < s.size(); ++i) {
      if (!is_digit(s[i])) return std::nullopt;
      if (exponent < (std::int64_t{1} << 40)) exponent = exponent * 10 + (s[i] - '0');
    }
    if (exp_negative) exponent = -exponent;
  }
  if (i != s.size()) return std::nullopt;

  double value = 0.0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    value = (have_lead && lead_exp + exponent > 0) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (r.ec != std::errc() || r.ptr != s.data() + s.size()) {
    return std::nullopt;
  }
  return sign * value;
}

[[gnu::cold]] ProtocolError invalid_field_type() { return ProtocolError::invalid_field_type(); }

// An array of at least `min` elements whose first is a type name.
const Json::array_t* typed_array(const Json& v, std::size_t min) noexcept {
  const auto* a = v.get_ptr<const Json::array_t*>();
  if (a == nullptr || a->size() < min || json_type_from_name((*a)[0]) == kNoType) return nullptr;
  return a;
}

// A size or seqid: an integer's low 32 bits (0 above INT64_MAX), else 0.
std::int32_t low32_or_zero(const Json& v) noexcept {
  std::int64_t n = 0;
  if (!json_as_i64(v, n)) return 0;
  return static_cast<std::int32_t>(n);
}

}  // namespace

std::optional<std::int64_t> json_text_to_i64(std::string_view s) noexcept {
  return parse_decimal_int<std::int64_t>(s);
}
std::optional<double> json_text_to_double(std::string_view s) noexcept { return parse_float_text(s); }

TType json_type_from_name(const Json& v) noexcept {
  const auto* s = v.get_ptr<const Json::string_t*>();
  if (s == nullptr) return kNoType;
  const std::string_view n = *s;
  switch (n.size()) {
    case 2:
      if (n == "tf") return TType::Bool;
      if (n == "i8") return TType::I08;
      break;
    case 3:
      if (n == "i16") return TType::I16;
      if (n == "i32") return TType::I32;
      if (n == "i64") return TType::I64;
      if (n == "dbl") return TType::Double;
      if (n == "str") return TType::String;
      if (n == "rec") return TType::Struct;
      if (n == "map") return TType::Map;
      if (n == "set") return TType::Set;
      if (n == "lst") return TType::List;
      break;
    default:
      break;
  }
  return kNoType;
}

PStatus JSONProtocolReader::parse() {
  const std::string_view rest = input_.substr(pos_);
  if (validate_utf8(rest)) [[unlikely]]
    return std::unexpected(ProtocolError::invalid_data("stream did not contain valid UTF-8"));
  pos_ = input_.size();
  auto doc = parse_json(rest);
  if (!doc) [[unlikely]]
    return std::unexpected(ProtocolError::invalid_data(doc.error().display()));
  parsed_ = std::make_unique<Json>(std::move(*doc));
  return {};
}

PResult<const Json*> JSONProtocolReader::take_document() {
  if (!parsed_) return std::unexpected(invalid_field_type());
  // Frames may point into it, so it stays alive.
  taken_ = std::move(parsed_);
  return taken_.get();
}

PResult<JSONProtocolReader::Item> JSONProtocolReader::next_item() {
  if (frames_.empty()) {
    const Json* doc = BRV_TRY(take_document());
    return Item{Item::Kind::Value, doc, nullptr, 0};
  }
  Frame& f = frames_.back();
  switch (f.kind) {
    case FrameKind::Struct: {
      // A field's value can be read once.
      const Json* v = std::exchange(f.current, nullptr);
      if (v == nullptr) return std::unexpected(invalid_field_type());
      return Item{Item::Kind::Value, v, nullptr, 0};
    }
    case FrameKind::List:
      if (f.next >= f.count) return std::unexpected(invalid_field_type());
      return Item{Item::Kind::Value, &f.items[f.next++], nullptr, 0};
    case FrameKind::Map: {
      if (f.it == f.end) return std::unexpected(invalid_field_type());
      if (f.value_next) {
        const Json* v = &f.it->second;
        ++f.it;
        f.value_next = false;
        return Item{Item::Kind::Value, v, nullptr, 0};
      }
      f.value_next = true;
      // Object keys are text; boolean and narrow integer key types read
      // them as integers.
      const std::string& key = f.it->first;
      switch (f.type_a) {
        case TType::Bool:
          return Item{Item::Kind::KeyInt, nullptr, nullptr, (key == "1" || key == "true") ? 1 : 0};
        case TType::I08:
        case TType::I16:
        case TType::I32:
          return Item{Item::Kind::KeyInt, nullptr, nullptr,
                      parse_decimal_int<std::int64_t>(key).value_or(0)};
        default:
          return Item{Item::Kind::KeyText, nullptr, &key, 0};
      }
    }
  }
  return std::unexpected(invalid_field_type());
}

PStatus JSONProtocolReader::push_struct(const Json& object) {
  const auto* obj = object.get_ptr<const Json::object_t*>();
  if (obj == nullptr) return std::unexpected(invalid_field_type());
  Frame& f = frames_.emplace_back();
  f.kind = FrameKind::Struct;
  f.it = obj->begin();
  f.end = obj->end();
  return {};
}

PResult<MessageHeader> JSONProtocolReader::read_message_begin() {
  if (!parsed_) BRV_TRY_VOID(parse());
  // The document stays in place: only the body is walked.
  const auto* arr = parsed_->get_ptr<const Json::array_t*>();
  if (arr == nullptr) return std::unexpected(invalid_field_type());
  if (arr->size() < 5)
    return std::unexpected(ProtocolError::invalid_data("JSON message array too short"));
  MessageHeader h;
  if (const auto* name = (*arr)[1].get_ptr<const Json::string_t*>()) h.name = *name;
  std::uint64_t type = 0;
  h.message_type =
      json_as_u64((*arr)[2], type) ? static_cast<MessageType>(type & 0xFF) : MessageType::Call;
  h.seqid = low32_or_zero((*arr)[3]);
  // A body that is no object reads as a struct without fields.
  if ((*arr)[4].is_object()) BRV_TRY_VOID(push_struct((*arr)[4]));
  return h;
}

PStatus JSONProtocolReader::read_struct_begin() {
  const Json* v = nullptr;
  if (frames_.empty()) {
    if (!parsed_) BRV_TRY_VOID(parse());
    v = BRV_TRY(take_document());
  } else {
    const Item item = BRV_TRY(next_item());
    if (item.kind != Item::Kind::Value) return std::unexpected(invalid_field_type());
    v = item.value;
  }
  return push_struct(*v);
}

PResult<FieldHeader> JSONProtocolReader::read_field_begin() {
  if (frames_.empty() || frames_.back().kind != FrameKind::Struct ||
      frames_.back().it == frames_.back().end)
    return FieldHeader{TType::Stop, 0};
  Frame& f = frames_.back();
  const auto& [key, value] = *f.it;
  ++f.it;
  const auto* arr = typed_array(value, 2);
  if (arr == nullptr) return std::unexpected(invalid_field_type());
  f.type_a = json_type_from_name((*arr)[0]);
  // An unread value of the previous field is dropped.
  f.current = &(*arr)[1];
  return FieldHeader{f.type_a, parse_decimal_int<std::int16_t>(key).value_or(0)};
}

PResult<ListHeader> JSONProtocolReader::read_list_begin() {
  const Item item = BRV_TRY(next_item());
  if (item.kind != Item::Kind::Value) return std::unexpected(invalid_field_type());
  const auto* arr = typed_array(*item.value, 2);
  if (arr == nullptr) return std::unexpected(invalid_field_type());
  Frame& f = frames_.emplace_back();
  f.kind = FrameKind::List;
  f.type_a = json_type_from_name((*arr)[0]);
  f.items = arr->data() + 2;
  f.count = arr->size() - 2;
  return ListHeader{f.type_a, low32_or_zero((*arr)[1])};
}

PResult<MapHeader> JSONProtocolReader::read_map_begin() {
  const Item item = BRV_TRY(next_item());
  if (item.kind != Item::Kind::Value) return std::unexpected(invalid_field_type());
  const auto* arr = typed_array(*item.value, 4);
  if (arr == nullptr) return std::unexpected(invalid_field_type());
  const TType value_type = json_type_from_name((*arr)[1]);
  const auto* obj = (*arr)[3].get_ptr<const Json::object_t*>();
  if (value_type == kNoType || obj == nullptr) return std::unexpected(invalid_field_type());
  Frame& f = frames_.emplace_back();
  f.kind = FrameKind::Map;
  f.type_a = json_type_from_name((*arr)[0]);
  f.type_b = value_type;
  f.it = obj->begin();
  f.end = obj->end();
  return MapHeader{f.type_a, f.type_b, low32_or_zero((*arr)[2])};
}

PResult<std::int64_t> JSONProtocolReader::next_integer() {
  const Item item = BRV_TRY(next_item());
  if (item.kind == Item::Kind::KeyInt) return item.integer;
  std::int64_t v = 0;
  if (item.kind == Item::Kind::Value && json_as_i64(*item.value, v)) return v;
  return 0;
}

PResult<const std::string*> JSONProtocolReader::next_text() {
  const Item item = BRV_TRY(next_item());
  if (item.kind == Item::Kind::KeyText) return item.text;
  if (item.kind == Item::Kind::Value) return item.value->get_ptr<const Json::string_t*>();
  return nullptr;
}

PResult<bool> JSONProtocolReader::read_bool() {
  const Item item = BRV_TRY(next_item());
  switch (item.kind) {
    case Item::Kind::KeyInt:
      return item.integer != 0;
    case Item::Kind::KeyText:
      return false;
    case Item::Kind::Value:
      break;
  }
  if (const auto* b = item.value->get_ptr<const Json::boolean_t*>()) return *b;
  std::int64_t v = 0;
  return json_as_i64(*item.value, v) && v != 0;
}

PResult<std::int8_t> JSONProtocolReader::read_i8() {
  return static_cast<std::int8_t>(BRV_TRY(next_integer()));
}
PResult<std::int16_t> JSONProtocolReader::read_i16() {
  return static_cast<std::int16_t>(BRV_TRY(next_integer()));
}
PResult<std::int32_t> JSONProtocolReader::read_i32() {
  return static_cast<std::int32_t>(BRV_TRY(next_integer()));
}

PResult<std::int64_t> JSONProtocolReader::read_i64() {
  const Item item = BRV_TRY(next_item());
  const std::string* text = nullptr;
  switch (item.kind) {
    case Item::Kind::KeyInt:
      return item.integer;
    case Item::Kind::KeyText:
      text = item.text;
      break;
    case Item::Kind::Value: {
      std::int64_t v = 0;
      if (json_as_i64(*item.value, v)) return v;
      text = item.value->get_ptr<const Json::string_t*>();
      break;
    }
  }
  if (text == nullptr) return 0;
  return parse_decimal_int<std::int64_t>(*text).value_or(0);
}

PResult<double> JSONProtocolReader::read_double() {
  const Item item = BRV_TRY(next_item());
  const std::string* text = nullptr;
  switch (item.kind) {
    case Item::Kind::KeyInt:
      return static_cast<double>(item.integer);
    case Item::Kind::KeyText:
      text = item.text;
      break;
    case Item::Kind::Value: {
      const Json& v = *item.value;
      if (const auto* d = v.get_ptr<const Json::number_float_t*>()) return *d;
      if (const auto* u = v.get_ptr<const Json::number_unsigned_t*>())
        return static_cast<double>(*u);
      if (const auto* i = v.get_ptr<const Json::number_integer_t*>())
        return static_cast<double>(*i);
      text = v.get_ptr<const Json::string_t*>();
      break;
    }
  }
  if (text == nullptr) return 0.0;
  return parse_float_text(*text).value_or(0.0);
}

PResult<std::string_view> JSONProtocolReader::read_string_view() {
  const std::string* s = BRV_TRY(next_text());
  if (s == nullptr) return std::string_view();
  return std::string_view(*s);
}

PResult<std::string> JSONProtocolReader::read_string() {
  const std::string_view s = BRV_TRY(read_string_view());
  return std::string(s);
}

PResult<std::string_view> JSONProtocolReader::read_binary_view() {
  const std::string* s = BRV_TRY(next_text());
  binary_scratch_.clear();
  if (s == nullptr) return std::string_view();
  if (auto r = base64_decode_append(*s, binary_scratch_); !r) [[unlikely]]
    return std::unexpected(ProtocolError::invalid_data(r.error().display()));
  return std::string_view(binary_scratch_);
}

PResult<std::string> JSONProtocolReader::read_binary() {
  const std::string* s = BRV_TRY(next_text());
  if (s == nullptr) return std::string();
  auto r = base64_decode(*s);
  if (!r) [[unlikely]]
    return std::unexpected(ProtocolError::invalid_data(r.error().display()));
  return std::move(*r);
}

}  // namespace brovane::protocol
