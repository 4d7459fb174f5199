#include "python/types/field_index.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using brovane::python::types::FieldIndex;
using brovane::python::types::make_field_index;

struct F {
  std::int16_t id;
};

FieldIndex index_of(std::vector<F> fields) { return make_field_index(std::span<const F>(fields)); }

TEST(FieldIndex, FindsPositionsAndMisses) {
  const FieldIndex idx = index_of({{1}, {2}, {5}});
  EXPECT_EQ(idx.find(1), 0);
  EXPECT_EQ(idx.find(2), 1);
  EXPECT_EQ(idx.find(5), 2);
  EXPECT_EQ(idx.find(0), -1);
  EXPECT_EQ(idx.find(3), -1);
  EXPECT_EQ(idx.find(6), -1);
  EXPECT_EQ(idx.find(-1), -1);
  EXPECT_EQ(FieldIndex().find(0), -1);
}

TEST(FieldIndex, RepeatedIdKeepsTheLastPosition) {
  // Dense ids, and ids outside the direct table (large and negative).
  const FieldIndex idx = index_of({{3}, {4}, {3}, {30000}, {-7}, {30000}, {-7}});
  EXPECT_EQ(idx.find(3), 2);
  EXPECT_EQ(idx.find(4), 1);
  EXPECT_EQ(idx.find(30000), 5);
  EXPECT_EQ(idx.find(-7), 6);
  EXPECT_EQ(idx.find(-32768), -1);
  EXPECT_EQ(idx.find(32767), -1);
}

TEST(FieldIndex, BoundaryOfTheDirectTable) {
  const std::int16_t last = FieldIndex::kDenseLimit - 1;
  const FieldIndex idx = index_of({{last}, {FieldIndex::kDenseLimit}});
  EXPECT_EQ(idx.find(last), 0);
  EXPECT_EQ(idx.find(FieldIndex::kDenseLimit), 1);
}

TEST(FieldIndex, CopiesAreIndependentOfLaterInserts) {
  FieldIndex a = index_of({{1}, {2}});
  const FieldIndex b = a;
  a.insert(1, 7);
  a.insert(999, 8);
  EXPECT_EQ(a.find(1), 7);
  EXPECT_EQ(a.find(999), 8);
  EXPECT_EQ(b.find(1), 0);
  EXPECT_EQ(b.find(999), -1);

  FieldIndex moved = std::move(a);
  EXPECT_EQ(moved.find(1), 7);
  EXPECT_EQ(a.find(1), -1);  // NOLINT: a moved-from index is empty
}

}  // namespace
