// Schema model: the plain value records that the IDL parser produces and the
// rest of the system reads. Every record owns its parts; copying any of them
// copies the whole tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace brovane::parser::ast {

// A heap slot with value semantics: copying a Box copies what it holds. Used
// for the child types of container types, which would otherwise make
// ThriftType infinitely large. A moved-from Box is empty and may only be
// assigned to or destroyed.
template <class T>
class Box {
 public:
  Box() : p_(std::make_unique<T>()) {}
  Box(const T& value) : p_(std::make_unique<T>(value)) {}        // NOLINT: implicit on purpose
  Box(T&& value) : p_(std::make_unique<T>(std::move(value))) {}  // NOLINT
  Box(const Box& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    // Copy first: `other` may live inside the tree this box is about to drop.
    std::unique_ptr<T> copy = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
    p_ = std::move(copy);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  // Replaces the held value; `value` may refer into the old one.
  template <class U>
    requires std::is_constructible_v<T, U&&> && (!std::is_same_v<std::remove_cvref_t<U>, Box>)
  Box& operator=(U&& value) {
    std::unique_ptr<T> fresh = std::make_unique<T>(std::forward<U>(value));
    p_ = std::move(fresh);
    return *this;
  }
  ~Box() = default;

  T& operator*() noexcept { return *p_; }
  const T& operator*() const noexcept { return *p_; }
  T* operator->() noexcept { return p_.get(); }
  const T* operator->() const noexcept { return p_.get(); }
  T* get() noexcept { return p_.get(); }
  const T* get() const noexcept { return p_.get(); }

  friend bool operator==(const Box& a, const Box& b) {
    if (!a.p_ || !b.p_) return !a.p_ && !b.p_;
    return *a.p_ == *b.p_;
  }

 private:
  std::unique_ptr<T> p_;
};

// Variant numbering shared by ThriftType and ThriftValue (0 to 11). It is the
// order of the wire type code table, so `kind()` indexes it directly.
enum class Kind : std::uint8_t {
  Bool = 0,
  Byte = 1,
  I16 = 2,
  I32 = 3,
  I64 = 4,
  Double = 5,
  String = 6,
  Binary = 7,
  List = 8,
  Set = 9,
  Map = 10,
  Struct = 11,
};
inline constexpr std::size_t kKindCount = 12;

// The declared type of a field, argument or result. `Struct` stands for every
// named type as written (structs, unions, exceptions, unresolved names, void).
struct ThriftType {
  struct Bool { bool operator==(const Bool&) const = default; };
  struct Byte { bool operator==(const Byte&) const = default; };
  struct I16 { bool operator==(const I16&) const = default; };
  struct I32 { bool operator==(const I32&) const = default; };
  struct I64 { bool operator==(const I64&) const = default; };
  struct Double { bool operator==(const Double&) const = default; };
  struct String { bool operator==(const String&) const = default; };
  struct Binary { bool operator==(const Binary&) const = default; };
  struct List {
    Box<ThriftType> element;
    bool operator==(const List&) const = default;
  };
  struct Set {
    Box<ThriftType> element;
    bool operator==(const Set&) const = default;
  };
  struct Map {
    Box<ThriftType> key;
    Box<ThriftType> value;
    bool operator==(const Map&) const = default;
  };
  struct Struct {
    std::string name;
    bool operator==(const Struct&) const = default;
  };

  using Variant = std::variant<Bool, Byte, I16, I32, I64, Double, String, Binary, List, Set, Map, Struct>;
  Variant v;

  ThriftType() = default;  // Bool
  template <class T>
    requires std::is_constructible_v<Variant, T&&> && (!std::is_same_v<std::remove_cvref_t<T>, ThriftType>)
  ThriftType(T&& alt) : v(std::forward<T>(alt)) {}  // NOLINT: implicit from any alternative

  static ThriftType list(ThriftType element) { return List{std::move(element)}; }
  static ThriftType set(ThriftType element) { return Set{std::move(element)}; }
  static ThriftType map(ThriftType key, ThriftType value) { return Map{std::move(key), std::move(value)}; }
  static ThriftType named(std::string name) { return Struct{std::move(name)}; }

  Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
  std::size_t index() const noexcept { return v.index(); }
  template <class T> bool is() const noexcept { return std::holds_alternative<T>(v); }
  template <class T> T* get_if() noexcept { return std::get_if<T>(&v); }
  template <class T> const T* get_if() const noexcept { return std::get_if<T>(&v); }
  template <class F> decltype(auto) visit(F&& f) const { return std::visit(std::forward<F>(f), v); }
  template <class F> decltype(auto) visit(F&& f) { return std::visit(std::forward<F>(f), v); }

  bool operator==(const ThriftType&) const = default;
};

struct ThriftValue;

// Field name to value of a struct value. Insertion-ordered and stored flat
// (one allocation per struct, not one per field); a name occurs at most once
// when filled through `set`. Equality ignores order, as for a map.
class StructFields {
 public:
  using Entry = std::pair<std::string, ThriftValue>;
  using Storage = std::vector<Entry>;

  StructFields() = default;

  // Inserts or replaces the value under `name`; returns the stored value.
  ThriftValue& set(std::string name, ThriftValue value);
  // Appends without looking for an existing entry; for builders that know
  // their names are distinct (e.g. a decoder driven by declared fields).
  ThriftValue& append_unique(std::string name, ThriftValue value);
  // The same with the entry built in place: its name from `name`, its value
  // from `args` (an alternative, or another ThriftValue).
  template <class... Args>
  ThriftValue& emplace_unique(std::string_view name, Args&&... args);
  const ThriftValue* find(std::string_view name) const noexcept;
  ThriftValue* find(std::string_view name) noexcept;
  bool erase(std::string_view name);

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  void reserve(std::size_t n) { entries_.reserve(n); }
  void clear() noexcept { entries_.clear(); }
  Storage::const_iterator begin() const noexcept { return entries_.begin(); }
  Storage::const_iterator end() const noexcept { return entries_.end(); }
  Storage::iterator begin() noexcept { return entries_.begin(); }
  Storage::iterator end() noexcept { return entries_.end(); }
  const Storage& entries() const noexcept { return entries_; }

  friend bool operator==(const StructFields& a, const StructFields& b);

 private:
  Storage entries_;
};

// The in-memory value between Python and the wire; variants in ThriftType
// order. Nothing ties a value to a type: a List may hold mixed variants.
struct ThriftValue {
  struct Bool {
    bool value = false;
    bool operator==(const Bool&) const = default;
  };
  struct Byte {
    std::int8_t value = 0;
    bool operator==(const Byte&) const = default;
  };
  struct I16 {
    std::int16_t value = 0;
    bool operator==(const I16&) const = default;
  };
  struct I32 {
    std::int32_t value = 0;
    bool operator==(const I32&) const = default;
  };
  struct I64 {
    std::int64_t value = 0;
    bool operator==(const I64&) const = default;
  };
  struct Double {
    double value = 0.0;
    bool operator==(const Double&) const = default;
  };
  struct String {
    std::string value;  // UTF-8
    bool operator==(const String&) const = default;
  };
  struct Binary {
    std::vector<std::uint8_t> value;
    bool operator==(const Binary&) const = default;
  };
  struct List {
    std::vector<ThriftValue> values;
    bool operator==(const List&) const;
  };
  // Order and repeats kept; never de-duplicated.
  struct Set {
    std::vector<ThriftValue> values;
    bool operator==(const Set&) const;
  };
  // Pairs in insertion order; a key may repeat.
  struct Map {
    std::vector<std::pair<ThriftValue, ThriftValue>> entries;
    bool operator==(const Map&) const;
  };
  struct Struct {
    std::optional<std::string> name;
    StructFields fields;
    bool operator==(const Struct&) const;
  };

  using Variant = std::variant<Bool, Byte, I16, I32, I64, Double, String, Binary, List, Set, Map, Struct>;
  Variant v;

  ThriftValue() = default;  // Bool(false)
  template <class T>
    requires std::is_constructible_v<Variant, T&&> && (!std::is_same_v<std::remove_cvref_t<T>, ThriftValue>)
  ThriftValue(T&& alt) : v(std::forward<T>(alt)) {}  // NOLINT: implicit from any alternative
  // Alternative `T` built in place from `args`.
  template <class T, class... Args>
  explicit ThriftValue(std::in_place_type_t<T> t, Args&&... args) : v(t, std::forward<Args>(args)...) {}

  Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
  std::size_t index() const noexcept { return v.index(); }
  template <class T> bool is() const noexcept { return std::holds_alternative<T>(v); }
  template <class T> T* get_if() noexcept { return std::get_if<T>(&v); }
  template <class T> const T* get_if() const noexcept { return std::get_if<T>(&v); }
  template <class F> decltype(auto) visit(F&& f) const { return std::visit(std::forward<F>(f), v); }
  template <class F> decltype(auto) visit(F&& f) { return std::visit(std::forward<F>(f), v); }

  bool operator==(const ThriftValue&) const = default;
};

template <class... Args>
ThriftValue& StructFields::emplace_unique(std::string_view name, Args&&... args) {
  return entries_
      .emplace_back(std::piecewise_construct, std::forward_as_tuple(name), std::forward_as_tuple(std::forward<Args>(args)...))
      .second;
}

static_assert(std::is_same_v<std::variant_alternative_t<8, ThriftType::Variant>, ThriftType::List>);
static_assert(std::is_same_v<std::variant_alternative_t<11, ThriftType::Variant>, ThriftType::Struct>);
static_assert(std::is_same_v<std::variant_alternative_t<8, ThriftValue::Variant>, ThriftValue::List>);
static_assert(std::is_same_v<std::variant_alternative_t<11, ThriftValue::Variant>, ThriftValue::Struct>);
static_assert(std::variant_size_v<ThriftType::Variant> == kKindCount);
static_assert(std::variant_size_v<ThriftValue::Variant> == kKindCount);

// One declared field of a struct, one argument, or one entry of a throws list.
struct ThriftField {
  std::int16_t id = 0;
  std::string name;
  bool required = false;  // true only for the keyword `required`
  ThriftType field_type;
  std::optional<ThriftValue> default_value;

  bool operator==(const ThriftField&) const = default;
};

// A struct, union or exception (the three are not told apart). Inherited
// fields come first.
struct ThriftStruct {
  std::string name;
  std::vector<ThriftField> fields;

  bool operator==(const ThriftStruct&) const = default;
};

// Hash and equality that let the name maps be searched with a string_view.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
template <class T>
using NameMap = std::unordered_map<std::string, T, NameHash, std::equal_to<>>;

struct ThriftEnum {
  std::string name;
  NameMap<std::int32_t> values;  // a repeated member name keeps the later value

  bool operator==(const ThriftEnum&) const = default;
};

struct ThriftMethod {
  std::string name;
  ThriftType return_type;  // Struct("void") for void
  std::vector<ThriftField> arguments;
  std::vector<ThriftField> exceptions;
  bool oneway = false;

  bool operator==(const ThriftMethod&) const = default;
};

// Inherited methods come first.
struct ThriftService {
  std::string name;
  std::vector<ThriftMethod> methods;

  bool operator==(const ThriftService&) const = default;
};

// One parsed IDL text. In each of the three definition maps the key equals
// the record's name. Map iteration order is unspecified.
struct ThriftDocument {
  NameMap<ThriftStruct> structs;  // structs, unions and exceptions
  NameMap<ThriftService> services;
  NameMap<ThriftEnum> enums;
  std::vector<std::string> includes;  // source order, repeats kept
  NameMap<std::string> namespaces;    // scope ("*" or a word) to dotted name

  bool operator==(const ThriftDocument&) const = default;
};

// Single-line debug forms, e.g. `Map(String, List(I32))`,
// `Struct { name: Some("Point"), fields: {} }`,
// `ThriftField { id: 1, name: "a", required: false, field_type: I32, default_value: None }`.
// The append_* forms write into an existing buffer.
void append_debug(std::string& out, const ThriftType& type);
void append_debug(std::string& out, const ThriftValue& value);
void append_debug(std::string& out, const ThriftField& field);
void append_debug(std::string& out, std::span<const ThriftField> fields);
void append_debug(std::string& out, const ThriftStruct& s);
void append_debug(std::string& out, const ThriftEnum& e);
void append_debug(std::string& out, const ThriftMethod& m);
void append_debug(std::string& out, const ThriftService& s);
void append_debug(std::string& out, const ThriftDocument& d);

// The field record's form from its members, for field records that are not
// ast::ThriftField but print the same way.
void append_field_debug(std::string& out, std::int16_t id, std::string_view name, bool required,
                        const ThriftType& field_type, const std::optional<ThriftValue>& default_value);

// Quoted, escaped text: `"a\"b"`. A byte that is not part of valid UTF-8 is
// written as the replacement character U+FFFD.
void append_debug_str(std::string& out, std::string_view text);
// Shortest round-trip float text: `1.0`, `1e16`, `2.5e-5`, `-0.0`, `NaN`, `inf`.
void append_debug_double(std::string& out, double value);

std::string to_debug_string(const ThriftType& type);
std::string to_debug_string(const ThriftValue& value);
std::string to_debug_string(const ThriftField& field);
std::string to_debug_string(std::span<const ThriftField> fields);
std::string to_debug_string(const std::vector<ThriftField>& fields);
std::string to_debug_string(const ThriftStruct& s);
std::string to_debug_string(const ThriftEnum& e);
std::string to_debug_string(const ThriftMethod& m);
std::string to_debug_string(const ThriftService& s);
std::string to_debug_string(const ThriftDocument& d);
std::string debug_str(std::string_view text);

}  // namespace brovane::parser::ast
