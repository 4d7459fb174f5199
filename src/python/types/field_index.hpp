// Field id to position, for struct fields (ThriftStruct.field_index) and
// method arguments (PyThriftMethod.argument_index). Plain C++: no Python.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace brovane::python::types {

// A repeated id keeps its last position. Small non-negative ids (the common
// case) are a direct table lookup, others a short list. Copies share the
// table; `insert` on a shared index copies it first, so a built index is
// immutable and may be read from any thread.
class FieldIndex {
 public:
  // Ids below this go to the direct table (4 bytes per id up to the largest).
  static constexpr std::int16_t kDenseLimit = 256;

  FieldIndex() = default;
  FieldIndex(const FieldIndex&) = default;
  FieldIndex& operator=(const FieldIndex&) = default;
  FieldIndex(FieldIndex&& other) noexcept
      : table_(std::move(other.table_)),
        dense_(std::exchange(other.dense_, nullptr)),
        dense_size_(std::exchange(other.dense_size_, 0)),
        sparse_count_(std::exchange(other.sparse_count_, 0)) {}
  FieldIndex& operator=(FieldIndex&& other) noexcept {
    if (this != &other) {
      table_ = std::move(other.table_);
      dense_ = std::exchange(other.dense_, nullptr);
      dense_size_ = std::exchange(other.dense_size_, 0);
      sparse_count_ = std::exchange(other.sparse_count_, 0);
    }
    return *this;
  }

  void insert(std::int16_t id, std::uint32_t position) {
    if (!table_)
      table_ = std::make_shared<Table>();
    else if (table_.use_count() > 1)
      table_ = std::make_shared<Table>(*table_);
    Table& t = *table_;
    if (id >= 0 && id < kDenseLimit) {
      const auto u = static_cast<std::size_t>(id);
      if (u >= t.dense.size()) t.dense.resize(u + 1, -1);
      t.dense[u] = static_cast<std::int32_t>(position);
    } else {
      auto it = std::find_if(t.sparse.begin(), t.sparse.end(), [id](const auto& e) { return e.first == id; });
      if (it != t.sparse.end())
        it->second = position;
      else
        t.sparse.emplace_back(id, position);
    }
    dense_ = t.dense.data();
    dense_size_ = static_cast<std::uint32_t>(t.dense.size());
    sparse_count_ = static_cast<std::uint32_t>(t.sparse.size());
  }

  // Position, or -1 when the id is not declared.
  std::int32_t find(std::int16_t id) const noexcept {
    const auto u = static_cast<std::uint16_t>(id);  // negative ids land far above the table
    if (u < dense_size_) return dense_[u];
    return sparse_count_ != 0 ? find_sparse(id) : -1;
  }

 private:
  struct Table {
    std::vector<std::int32_t> dense;  // -1 = absent
    std::vector<std::pair<std::int16_t, std::uint32_t>> sparse;
  };
  [[gnu::noinline]] std::int32_t find_sparse(std::int16_t id) const noexcept {
    for (const auto& [k, p] : table_->sparse)
      if (k == id) return static_cast<std::int32_t>(p);
    return -1;
  }

  std::shared_ptr<Table> table_;
  const std::int32_t* dense_ = nullptr;  // table_->dense.data(), cached for find
  std::uint32_t dense_size_ = 0;
  std::uint32_t sparse_count_ = 0;
};

// Builds a FieldIndex over the ids of `fields` (anything with an `id`), in order.
template <class Field>
FieldIndex make_field_index(std::span<const Field> fields) {
  FieldIndex index;
  for (std::size_t i = 0; i < fields.size(); ++i) index.insert(fields[i].id, static_cast<std::uint32_t>(i));
  return index;
}

}  // namespace brovane::python::types
