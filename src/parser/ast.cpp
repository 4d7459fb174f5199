#include "parser/ast.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "parser/unicode.hpp"

namespace brovane::parser::ast {

ThriftValue& StructFields::set(std::string name, ThriftValue value) {
  if (ThriftValue* existing = find(name)) {
    *existing = std::move(value);
    return *existing;
  }
  return entries_.emplace_back(std::move(name), std::move(value)).second;
}

ThriftValue& StructFields::append_unique(std::string name, ThriftValue value) {
  return entries_.emplace_back(std::move(name), std::move(value)).second;
}

const ThriftValue* StructFields::find(std::string_view name) const noexcept {
  for (const Entry& e : entries_) {
    if (e.first == name) return &e.second;
  }
  return nullptr;
}

ThriftValue* StructFields::find(std::string_view name) noexcept {
  for (Entry& e : entries_) {
    if (e.first == name) return &e.second;
  }
  return nullptr;
}

bool StructFields::erase(std::string_view name) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == name) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

bool operator==(const StructFields& a, const StructFields& b) {
  if (a.size() != b.size()) return false;
  for (const StructFields::Entry& e : a.entries_) {
    const ThriftValue* other = b.find(e.first);
    if (other == nullptr || !(*other == e.second)) return false;
  }
  return true;
}

bool ThriftValue::List::operator==(const List& o) const { return values == o.values; }
bool ThriftValue::Set::operator==(const Set& o) const { return values == o.values; }
bool ThriftValue::Map::operator==(const Map& o) const { return entries == o.entries; }
bool ThriftValue::Struct::operator==(const Struct& o) const { return name == o.name && fields == o.fields; }

namespace {

void append_hex(std::string& out, std::uint32_t v) {
  char buf[8];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, 16);
  out.append(buf, end);
}

template <class Int>
void append_int(std::string& out, Int v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, end);
}

void append_bool(std::string& out, bool v) { out += v ? "true" : "false"; }

const char* const kTypeNames[kKindCount] = {"Bool",   "Byte",   "I16",    "I32",  "I64", "Double",
                                            "String", "Binary", "List",   "Set",  "Map", "Struct"};

template <class T, class F>
void append_list(std::string& out, const std::vector<T>& items, F&& each) {
  out += '[';
  bool first = true;
  for (const T& item : items) {
    if (!first) out += ", ";
    first = false;
    each(item);
  }
  out += ']';
}

template <class Map, class F>
void append_map(std::string& out, const Map& map, F&& value) {
  out += '{';
  bool first = true;
  for (const auto& [k, v] : map) {
    if (!first) out += ", ";
    first = false;
    append_debug_str(out, k);
    out += ": ";
    value(v);
  }
  out += '}';
}

void append_fields(std::string& out, std::span<const ThriftField> fields) {
  out += '[';
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out += ", ";
    append_debug(out, fields[i]);
  }
  out += ']';
}

}  // namespace

void append_debug_str(std::string& out, std::string_view text) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    // Printable ASCII other than the two quoted characters is copied in runs.
    std::size_t run = i;
    while (run < text.size()) {
      const auto b = static_cast<unsigned char>(text[run]);
      if (b < 0x20 || b >= 0x7F || b == '"' || b == '\\') break;
      ++run;
    }
    out.append(text.data() + i, run - i);
    i = run;
    if (i == text.size()) break;

    const unicode::Decoded d = unicode::decode(text, i);
    const char32_t c = d.cp;
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (unicode::needs_unicode_escape(c)) {
          out += "\\u{";
          append_hex(out, static_cast<std::uint32_t>(c));
          out += '}';
        } else if (d.valid) {
          out.append(text.data() + i, d.len);
        } else {
          out += "\xEF\xBF\xBD";
        }
    }
    i += d.len;
  }
  out += '"';
}

void append_debug_double(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::signbit(value)) out += '-';
  const double abs = std::fabs(value);
  if (std::isinf(abs)) {
    out += "inf";
    return;
  }
  if (abs == 0.0) {
    out += "0.0";
    return;
  }
  // Shortest round-trip digits in scientific form, "d.ddde[+-]XX".
  char buf[40];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, abs, std::chars_format::scientific);
  const char* e = static_cast<const char*>(std::memchr(buf, 'e', end - buf));
  std::string digits;
  for (const char* p = buf; p != e; ++p) {
    if (*p != '.') digits += *p;
  }
  int exp = 0;
  std::from_chars(e + 1 + (e[1] == '+'), end, exp);

  if (abs >= 1e-4 && abs < 1e16) {
    if (exp >= 0) {
      const std::size_t int_len = static_cast<std::size_t>(exp) + 1;
      if (digits.size() <= int_len) {
        out += digits;
        out.append(int_len - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, int_len);
        out += '.';
        out.append(digits, int_len);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    }
    return;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += 'e';
  append_int(out, exp);
}

void append_debug(std::string& out, const ThriftType& type) {
  const std::size_t k = type.index();
  out += kTypeNames[k];
  type.visit([&]<class T>(const T& alt) {
    if constexpr (std::is_same_v<T, ThriftType::List> || std::is_same_v<T, ThriftType::Set>) {
      out += '(';
      append_debug(out, *alt.element);
      out += ')';
    } else if constexpr (std::is_same_v<T, ThriftType::Map>) {
      out += '(';
      append_debug(out, *alt.key);
      out += ", ";
      append_debug(out, *alt.value);
      out += ')';
    } else if constexpr (std::is_same_v<T, ThriftType::Struct>) {
      out += '(';
      append_debug_str(out, alt.name);
      out += ')';
    }
  });
}

void append_debug(std::string& out, const ThriftValue& value) {
  value.visit([&]<class T>(const T& alt) {
    using V = ThriftValue;
    if constexpr (std::is_same_v<T, V::Struct>) {
      out += "Struct { name: ";
      if (alt.name) {
        out += "Some(";
        append_debug_str(out, *alt.name);
        out += ')';
      } else {
        out += "None";
      }
      out += ", fields: ";
      append_map(out, alt.fields, [&](const ThriftValue& v) { append_debug(out, v); });
      out += " }";
      return;
    }
    out += kTypeNames[value.index()];
    out += '(';
    if constexpr (std::is_same_v<T, V::Bool>) {
      append_bool(out, alt.value);
    } else if constexpr (std::is_same_v<T, V::Byte> || std::is_same_v<T, V::I16> || std::is_same_v<T, V::I32> ||
                         std::is_same_v<T, V::I64>) {
      append_int(out, static_cast<std::int64_t>(alt.value));
    } else if constexpr (std::is_same_v<T, V::Double>) {
      append_debug_double(out, alt.value);
    } else if constexpr (std::is_same_v<T, V::String>) {
      append_debug_str(out, alt.value);
    } else if constexpr (std::is_same_v<T, V::Binary>) {
      append_list(out, alt.value, [&](std::uint8_t b) { append_int(out, static_cast<unsigned>(b)); });
    } else if constexpr (std::is_same_v<T, V::List> || std::is_same_v<T, V::Set>) {
      append_list(out, alt.values, [&](const ThriftValue& v) { append_debug(out, v); });
    } else if constexpr (std::is_same_v<T, V::Map>) {
      append_list(out, alt.entries, [&](const std::pair<ThriftValue, ThriftValue>& kv) {
        out += '(';
        append_debug(out, kv.first);
        out += ", ";
        append_debug(out, kv.second);
        out += ')';
      });
    }
    out += ')';
  });
}

void append_field_debug(std::string& out, std::int16_t id, std::string_view name, bool required,
                        const ThriftType& field_type, const std::optional<ThriftValue>& default_value) {
  out += "ThriftField { id: ";
  append_int(out, id);
  out += ", name: ";
  append_debug_str(out, name);
  out += ", required: ";
  append_bool(out, required);
  out += ", field_type: ";
  append_debug(out, field_type);
  out += ", default_value: ";
  if (default_value) {
    out += "Some(";
    append_debug(out, *default_value);
    out += ')';
  } else {
    out += "None";
  }
  out += " }";
}

void append_debug(std::string& out, const ThriftField& f) {
  append_field_debug(out, f.id, f.name, f.required, f.field_type, f.default_value);
}

void append_debug(std::string& out, std::span<const ThriftField> fields) { append_fields(out, fields); }

void append_debug(std::string& out, const ThriftStruct& s) {
  out += "ThriftStruct { name: ";
  append_debug_str(out, s.name);
  out += ", fields: ";
  append_fields(out, s.fields);
  out += " }";
}

void append_debug(std::string& out, const ThriftEnum& e) {
  out += "ThriftEnum { name: ";
  append_debug_str(out, e.name);
  out += ", values: ";
  append_map(out, e.values, [&](std::int32_t v) { append_int(out, v); });
  out += " }";
}

void append_debug(std::string& out, const ThriftMethod& m) {
  out += "ThriftMethod { name: ";
  append_debug_str(out, m.name);
  out += ", return_type: ";
  append_debug(out, m.return_type);
  out += ", arguments: ";
  append_fields(out, m.arguments);
  out += ", exceptions: ";
  append_fields(out, m.exceptions);
  out += ", oneway: ";
  append_bool(out, m.oneway);
  out += " }";
}

void append_debug(std::string& out, const ThriftService& s) {
  out += "ThriftService { name: ";
  append_debug_str(out, s.name);
  out += ", methods: ";
  append_list(out, s.methods, [&](const ThriftMethod& m) { append_debug(out, m); });
  out += " }";
}

void append_debug(std::string& out, const ThriftDocument& d) {
  out += "ThriftDocument { structs: ";
  append_map(out, d.structs, [&](const ThriftStruct& s) { append_debug(out, s); });
  out += ", services: ";
  append_map(out, d.services, [&](const ThriftService& s) { append_debug(out, s); });
  out += ", enums: ";
  append_map(out, d.enums, [&](const ThriftEnum& e) { append_debug(out, e); });
  out += ", includes: ";
  append_list(out, d.includes, [&](const std::string& s) { append_debug_str(out, s); });
  out += ", namespaces: ";
  append_map(out, d.namespaces, [&](const std::string& s) { append_debug_str(out, s); });
  out += " }";
}

namespace {
template <class T>
std::string debug_of(const T& v) {
  std::string out;
  append_debug(out, v);
  return out;
}
}  // namespace

std::string to_debug_string(const ThriftType& type) { return debug_of(type); }
std::string to_debug_string(const ThriftValue& value) { return debug_of(value); }
std::string to_debug_string(const ThriftField& field) { return debug_of(field); }
std::string to_debug_string(std::span<const ThriftField> fields) { return debug_of(fields); }
std::string to_debug_string(const std::vector<ThriftField>& fields) {
  return to_debug_string(std::span<const ThriftField>(fields));
}
std::string to_debug_string(const ThriftStruct& s) { return debug_of(s); }
std::string to_debug_string(const ThriftEnum& e) { return debug_of(e); }
std::string to_debug_string(const ThriftMethod& m) { return debug_of(m); }
std::string to_debug_string(const ThriftService& s) { return debug_of(s); }
std::string to_debug_string(const ThriftDocument& d) { return debug_of(d); }

std::string debug_str(std::string_view text) {
  std::string out;
  append_debug_str(out, text);
  return out;
}

}  // namespace brovane::parser::ast
