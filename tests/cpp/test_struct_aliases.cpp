#include "python/types/struct_aliases.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using brovane::python::types::add_include_aliases;
using brovane::python::types::include_base_name;

struct Hash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
// Key to the name of the struct it describes, as the descriptors keep it.
using Map = std::unordered_map<std::string, std::string, Hash, std::equal_to<>>;

std::map<std::string, std::string> sorted(const Map& m) { return {m.begin(), m.end()}; }

TEST(IncludeBaseName, Table) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"shared/common.thrift", "common"}, {"common", "common"},       {"a.THRIFT", "a.THRIFT"},
      {"x.thrift.thrift", "x.thrift"},    {".thrift", ""},            {"dir/", ""},
      {"a/b/c.thrift", "c"},              {"thrift", "thrift"},       {"", ""},
      {"a.thrift/b", "b"},                {"common.thrift.bak", "common.thrift.bak"},
  };
  for (const auto& [path, base] : cases) EXPECT_EQ(include_base_name(path), base) << path;
}

TEST(IncludeAliases, OnePerUndottedStructAndBaseName) {
  Map m{{"User", "User"}, {"Point", "Point"}};
  const std::vector<std::string> includes{"shared/common.thrift", "b/common.thrift", "geo"};
  add_include_aliases(m, includes);
  EXPECT_EQ(sorted(m), (std::map<std::string, std::string>{{"Point", "Point"},
                                                           {"User", "User"},
                                                           {"common.Point", "Point"},
                                                           {"common.User", "User"},
                                                           {"geo.Point", "Point"},
                                                           {"geo.User", "User"}}));
}

TEST(IncludeAliases, NeverReplaceAnExistingKey) {
  // A struct keyed like an alias keeps its own entry; a dotted key gets no
  // alias of its own, and no alias is formed from another alias.
  Map m{{"User", "User"}, {"common.User", "the document's own"}, {"x.Y", "Y"}};
  const std::vector<std::string> includes{"common.thrift", "x.thrift", ".thrift"};
  add_include_aliases(m, includes);
  EXPECT_EQ(sorted(m), (std::map<std::string, std::string>{{"User", "User"},
                                                           {"common.User", "the document's own"},
                                                           {"x.Y", "Y"},
                                                           {"x.User", "User"},
                                                           {".User", "User"}}));
}

TEST(IncludeAliases, NoIncludesOrNoStructs) {
  Map m{{"User", "User"}};
  add_include_aliases(m, std::vector<std::string>{});
  EXPECT_EQ(m.size(), 1u);
  Map empty;
  add_include_aliases(empty, std::vector<std::string>{"a.thrift"});
  EXPECT_TRUE(empty.empty());
}

}  // namespace
