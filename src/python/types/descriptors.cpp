#include "python/types/descriptors.hpp"

#include <map>

#include "python/types/struct_aliases.hpp"

namespace brovane::python::types {

namespace {

// Names are few (the distinct field and argument names of the schemas a
// process loads) and are kept for its lifetime: the table is never freed, so
// no destructor runs after the interpreter is gone.
ast::NameMap<PyObject*>& name_table() {
  static auto* table = new ast::NameMap<PyObject*>();
  return *table;
}

// Up to this many slots a lookup by str object compares pointers first.
constexpr std::size_t kIdentityScanLimit = 32;

// The dict templates by their names (interned, so the pointers stand for the
// texts); kept for the process like the names themselves.
std::map<std::vector<PyObject*>, PyObject*>& template_table() {
  static auto* table = new std::map<std::vector<PyObject*>, PyObject*>();
  return *table;
}

PyObject* dict_template_for(const std::vector<PyObject*>& names) {
  auto& table = template_table();
  if (auto it = table.find(names); it != table.end()) return it->second;
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  for (PyObject* name : names) {
    if (PyDict_SetItem(d, name, Py_None) < 0) {
      Py_DECREF(d);
      return nullptr;
    }
  }
  table.emplace(names, d);  // the table keeps this reference for good
  return d;
}

}  // namespace

PyObject* intern_name(std::string_view name) {
  ast::NameMap<PyObject*>& table = name_table();
  if (auto it = table.find(name); it != table.end()) return it->second;
  PyObject* s = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr);
  if (s == nullptr) return nullptr;
  PyUnicode_InternInPlace(&s);
  // Making the str may have run other Python code that interned the name.
  auto [it, inserted] = table.try_emplace(std::string(name), s);  // the table keeps this reference for good
  if (!inserted) Py_DECREF(s);
  return it->second;
}

core::Result<ThriftField> make_field(const ast::ThriftField& field) {
  PyObject* py_name = intern_name(field.name);
  if (py_name == nullptr) return core::py_error();
  return ThriftField{field.id, field.name, field.required, field.field_type, field.default_value, py_name, 0};
}

core::Result<FieldSet> make_fields(std::span<const ast::ThriftField> fields, bool with_dict_template) {
  FieldSet set;
  std::vector<std::string> names;
  names.reserve(fields.size());
  for (const ast::ThriftField& f : fields) names.push_back(f.name);
  set.names = FieldNames::make(std::move(names), with_dict_template);
  if (!set.names) return core::py_error();
  set.fields.reserve(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const ast::ThriftField& f = fields[i];
    const std::uint32_t slot = set.names->slot_of_position(i);
    set.fields.push_back(
        ThriftField{f.id, f.name, f.required, f.field_type, f.default_value, set.names->slot_py_name(slot), slot});
  }
  return set;
}

void append_debug(std::string& out, const ThriftField& field) {
  ast::append_field_debug(out, field.id, field.name, field.required, field.field_type, field.default_value);
}

void append_debug(std::string& out, std::span<const ThriftField> fields) {
  out += '[';
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out += ", ";
    append_debug(out, fields[i]);
  }
  out += ']';
}

std::shared_ptr<const FieldNames> FieldNames::make(std::vector<std::string> names, bool with_dict_template) {
  auto fn = std::make_shared<FieldNames>();
  const std::size_t n = names.size();
  fn->names_ = std::move(names);
  fn->slot_of_position_.reserve(n);
  fn->slot_first_position_.reserve(n);
  fn->slot_py_names_.reserve(n);
  fn->slot_by_name_.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::string& name = fn->names_[i];
    const auto next = static_cast<std::uint32_t>(fn->slot_first_position_.size());
    auto [it, inserted] = fn->slot_by_name_.try_emplace(name, next);
    if (inserted) {
      PyObject* py_name = intern_name(name);
      if (py_name == nullptr) return nullptr;
      fn->slot_first_position_.push_back(static_cast<std::uint32_t>(i));
      fn->slot_py_names_.push_back(py_name);
    }
    fn->slot_of_position_.push_back(it->second);
  }
  if (with_dict_template) {
    fn->dict_template_ = dict_template_for(fn->slot_py_names_);
    if (fn->dict_template_ == nullptr) return nullptr;
  }
  return fn;
}

std::int32_t FieldNames::find(std::string_view name) const noexcept {
  auto it = slot_by_name_.find(name);
  return it == slot_by_name_.end() ? -1 : static_cast<std::int32_t>(it->second);
}

std::int32_t FieldNames::find(PyObject* str) const noexcept {
  const std::size_t n = slot_py_names_.size();
  if (n <= kIdentityScanLimit) {
    for (std::size_t i = 0; i < n; ++i)
      if (slot_py_names_[i] == str) return static_cast<std::int32_t>(i);
    // Our names are the interned objects of their texts, so an interned str
    // that is none of them has none of their texts either.
    if (PyUnicode_CheckExact(str) && PyUnicode_CHECK_INTERNED(str)) return -1;
  }
  if (!PyUnicode_Check(str)) return -1;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) {
    // Not encodable (a lone surrogate): no field has such a name.
    PyErr_Clear();
    return -1;
  }
  return find(std::string_view(text, static_cast<std::size_t>(size)));
}

const std::vector<ThriftField>& FieldList::no_fields() noexcept {
  static const std::vector<ThriftField> none;
  return none;
}

LayoutRef ThriftStruct::instance_layout(std::string_view struct_name, const StructMap& map) const {
  const StructMap& m = map ? map : empty_struct_map();
  const LayoutRef& last = layout_cache.last_;
  if (last && last->struct_map == m && last->struct_name == struct_name) return last;
  LayoutRef made = make_layout(struct_name, field_names, fields_by_name, m);
  layout_cache.last_ = made;
  return made;
}

const StructMap& empty_struct_map() {
  static const StructMap empty = std::make_shared<const StructMapData>();
  return empty;
}

core::Result<ThriftStruct> make_struct_descriptor(const ast::ThriftStruct& s) {
  BRV_ASSIGN(FieldSet set, make_fields(s.fields, true));
  auto by_name = std::make_shared<FieldsByName>();
  by_name->reserve(set.fields.size());
  for (const ThriftField& f : set.fields) by_name->insert_or_assign(f.name, f);  // a repeated name: the later wins

  ThriftStruct d;
  d.name = s.name;
  d.field_index = make_field_index(std::span<const ThriftField>(set.fields));
  d.fields = FieldList(std::move(set.fields));
  d.struct_map = empty_struct_map();
  d.fields_by_name = std::move(by_name);
  d.field_names = std::move(set.names);
  return d;
}

core::Result<StructMap> build_base_struct_map(const ast::ThriftDocument& doc) {
  auto base = std::make_shared<StructMapData>();
  base->reserve(doc.structs.size());
  for (const auto& [key, s] : doc.structs) {
    BRV_ASSIGN(ThriftStruct d, make_struct_descriptor(s));
    base->emplace(key, std::move(d));
  }

  add_include_aliases(*base, doc.includes);
  return StructMap(std::move(base));
}

StructMap struct_map_over(const StructMap& base) {
  // Copying keeps the base map's buckets and cached hash codes: no key is
  // hashed or compared again.
  auto top = std::make_shared<StructMapData>(*base);
  for (auto& entry : *top) entry.second.struct_map = base;
  return top;
}

core::Result<StructMap> build_struct_map(const ast::ThriftDocument* doc) {
  if (doc == nullptr) return empty_struct_map();
  BRV_ASSIGN(StructMap base, build_base_struct_map(*doc));
  return struct_map_over(base);
}

}  // namespace brovane::python::types
