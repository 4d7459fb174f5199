// Run-time struct descriptors: what every operation on struct values works
// from. Built once per document from the parsed structs and immutable
// afterwards, so they are shared freely (also with server worker threads)
// through atomic reference counts. Copying a descriptor is cheap: its field
// list, field index and name tables are shared, never duplicated.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "parser/ast.hpp"
#include "python/core/status.hpp"
#include "python/types/field_index.hpp"

namespace brovane::python::types {

namespace ast = brovane::parser::ast;

// The process-wide str object for a field or argument name. Names are interned
// once and kept for the life of the process (never released), so the pointer
// may be stored in shared descriptors, read on any thread, and compared by
// identity with other names from this table. Needs the interpreter lock.
// Returns a borrowed reference, or nullptr with a Python exception set.
PyObject* intern_name(std::string_view name);

// A declared field, argument or thrown exception.
struct ThriftField {
  std::int16_t id = 0;
  std::string name;
  bool required = false;
  ast::ThriftType field_type;
  std::optional<ast::ThriftValue> default_value;

  // Run-time extras, not part of the record's Python face.
  PyObject* py_name = nullptr;  // intern_name(name); borrowed for the process
  std::uint32_t slot = 0;       // index of `name` in the owning FieldNames' slots
};

// A copy of the parser's record with `py_name` set (slot 0). Needs the
// interpreter lock.
core::Result<ThriftField> make_field(const ast::ThriftField& field);

class FieldNames;
// Fields copied from the parser's records, in order, and the FieldNames of
// their names, with every field's `slot` set to its name's slot.
struct FieldSet {
  std::vector<ThriftField> fields;
  std::shared_ptr<const FieldNames> names;
};
// Needs the interpreter lock. `with_dict_template`: see FieldNames::make.
core::Result<FieldSet> make_fields(std::span<const ast::ThriftField> fields, bool with_dict_template = false);

// The debug form "ThriftField { id: .., name: .., required: .., field_type: .., default_value: .. }".
void append_debug(std::string& out, const ThriftField& field);
// A bracketed, comma-separated list of the above.
void append_debug(std::string& out, std::span<const ThriftField> fields);

// The field names of a struct (or of an instance made without a descriptor),
// in declaration order with repeats kept, plus the distinct names ("slots")
// that instance and decoded values are stored under. A repeated name shares
// one slot, so "the later one wins" falls out of storing by slot.
class FieldNames {
 public:
  FieldNames() = default;
  // Builds from names in order. Needs the interpreter lock (interns names).
  // Returns nullptr with a Python exception set on failure. With
  // `with_dict_template` (the names of a declared struct) the names also get
  // a dict template.
  static std::shared_ptr<const FieldNames> make(std::vector<std::string> names, bool with_dict_template = false);

  const std::vector<std::string>& names() const noexcept { return names_; }
  std::size_t size() const noexcept { return names_.size(); }
  std::uint32_t slot_of_position(std::size_t i) const noexcept { return slot_of_position_[i]; }

  std::size_t slot_count() const noexcept { return slot_first_position_.size(); }
  std::string_view slot_name(std::uint32_t s) const noexcept { return names_[slot_first_position_[s]]; }
  PyObject* slot_py_name(std::uint32_t s) const noexcept { return slot_py_names_[s]; }

  // Slot of a name, or -1. The PyObject overload tries identity with the
  // interned names first (attribute names usually are interned), then text;
  // it never leaves a Python exception set.
  std::int32_t find(std::string_view name) const noexcept;
  std::int32_t find(PyObject* str) const noexcept;

  // A dict of every slot name, in slot order, mapped to None, or nullptr.
  // A copy of it (PyDict_Copy) is a dict with room for every name, whose
  // items are then replaced in place, with no growing and no hashing along
  // the way. Shared by every FieldNames of the same slot names and kept for
  // the process, like the interned names: the declared structs of a process
  // have few distinct name lists. Borrowed; must never reach Python code.
  PyObject* dict_template() const noexcept { return dict_template_; }

 private:
  PyObject* dict_template_ = nullptr;
  std::vector<std::string> names_;
  std::vector<std::uint32_t> slot_of_position_;
  std::vector<std::uint32_t> slot_first_position_;
  std::vector<PyObject*> slot_py_names_;
  ast::NameMap<std::uint32_t> slot_by_name_;
};

// An immutable, shared sequence of fields. Reads like a const
// std::vector<ThriftField> (and converts to one); copies share the storage.
class FieldList {
 public:
  FieldList() = default;
  FieldList(std::vector<ThriftField> fields)  // NOLINT: implicit on purpose
      : p_(std::make_shared<const std::vector<ThriftField>>(std::move(fields))) {}

  const std::vector<ThriftField>& vector() const noexcept { return p_ ? *p_ : no_fields(); }
  operator const std::vector<ThriftField>&() const noexcept { return vector(); }  // NOLINT
  operator std::span<const ThriftField>() const noexcept { return vector(); }     // NOLINT

  std::size_t size() const noexcept { return vector().size(); }
  bool empty() const noexcept { return vector().empty(); }
  const ThriftField& operator[](std::size_t i) const noexcept { return vector()[i]; }
  const ThriftField* data() const noexcept { return vector().data(); }
  const ThriftField* begin() const noexcept { return vector().data(); }
  const ThriftField* end() const noexcept { return vector().data() + vector().size(); }

 private:
  static const std::vector<ThriftField>& no_fields() noexcept;
  std::shared_ptr<const std::vector<ThriftField>> p_;
};

struct ThriftStruct;
// The hash of StructMapData: ast::NameHash's, but not declared noexcept, which
// makes libstdc++ keep each key's hash code in its node, so the copy of a
// map that every StructMap is rehashes nothing.
struct StructNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }  // NOLINT
};
using StructMapData = std::unordered_map<std::string, ThriftStruct, StructNameHash, std::equal_to<>>;
// Struct name (include aliases included) to descriptor; shared and read-only.
using StructMap = std::shared_ptr<const StructMapData>;
// Field name to the later declared field of that name.
using FieldsByName = ast::NameMap<ThriftField>;

// What the instances of one struct made under one name and one map share:
// the name, the field tables and the map, never null and never changed. An
// instance holds it by a single reference, so making and dropping instances
// of a known struct (decoding, the elements of a list of structs) costs one
// count instead of one per part.
struct InstanceLayout {
  std::string struct_name;
  std::shared_ptr<const FieldNames> field_names;
  std::shared_ptr<const FieldsByName> fields_by_name;  // empty for constructor-made instances
  StructMap struct_map;                                // empty for constructor-made instances
};
using LayoutRef = std::shared_ptr<const InstanceLayout>;

// A new layout; null parts stand for the empty tables.
LayoutRef make_layout(std::string_view struct_name, std::shared_ptr<const FieldNames> field_names,
                      std::shared_ptr<const FieldsByName> fields_by_name, StructMap struct_map);
// The layout of instances without a name, fields or map.
const LayoutRef& empty_layout();

// The last layout a descriptor handed out. Copies of a descriptor start
// without one: the copy may be given another map.
class LayoutCache {
 public:
  LayoutCache() = default;
  LayoutCache(const LayoutCache&) noexcept {}
  LayoutCache& operator=(const LayoutCache&) noexcept {
    last_.reset();
    return *this;
  }

 private:
  friend struct ThriftStruct;
  mutable LayoutRef last_;
};

// The descriptor of one struct, union or exception.
struct ThriftStruct {
  std::string name;  // the struct's own name, never an alias
  FieldList fields;  // declaration order, inherited first
  FieldIndex field_index;
  StructMap struct_map;  // the map that this descriptor's users resolve names through
  std::shared_ptr<const FieldsByName> fields_by_name;
  std::shared_ptr<const FieldNames> field_names;
  LayoutCache layout_cache;

  // Bytes of room a serialiser reserves up front.
  std::size_t size_hint() const noexcept { return 128 + 16 * fields.size(); }

  // The layout of instances of this descriptor named `struct_name` that
  // resolve names through `map` (null: the empty map). The last one is kept
  // and handed out again while the name and map stay the same. Interpreter
  // lock held: the cache is changed only under it.
  LayoutRef instance_layout(std::string_view struct_name, const StructMap& map) const;
  // The descriptor's own name and map.
  LayoutRef instance_layout() const { return instance_layout(name, struct_map); }
};

// A map without entries, shared by every holder that has no schema yet.
const StructMap& empty_struct_map();

// The descriptor of one parsed struct, with the empty map as its struct_map.
// Needs the interpreter lock.
core::Result<ThriftStruct> make_struct_descriptor(const ast::ThriftStruct& s);

// The base map of a document: a descriptor of every struct, union and
// exception under its name, plus "base.Name" aliases for every include's base
// name and every undotted struct name, never replacing a key already present.
// Its descriptors hold the empty map. Needs the interpreter lock.
core::Result<StructMap> build_base_struct_map(const ast::ThriftDocument& doc);

// The map handed to users: every entry of `base` once more, now with `base`
// itself as struct_map. Only the map nodes are new; the descriptors' parts
// are shared with `base`. Never fails (apart from std::bad_alloc).
StructMap struct_map_over(const StructMap& base);

// build_base_struct_map then struct_map_over; the empty map without a
// document. Needs the interpreter lock.
core::Result<StructMap> build_struct_map(const ast::ThriftDocument* doc);

}  // namespace brovane::python::types
