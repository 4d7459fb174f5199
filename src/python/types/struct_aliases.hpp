// Include-qualified alias keys of a StructMap ("common.User" for a struct User
// and an include of "shared/common.thrift"). Plain C++: no Python, generic
// over the map's value so the rules can be checked on their own.
#pragma once

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brovane::python::types {

// The text of an include path after the last "/" (all of it without one),
// without one trailing ".thrift" (case-sensitive). May be empty.
inline std::string_view include_base_name(std::string_view path) noexcept {
  constexpr std::string_view kSuffix = ".thrift";
  if (const std::size_t slash = path.rfind('/'); slash != std::string_view::npos) path.remove_prefix(slash + 1);
  if (path.ends_with(kSuffix)) path.remove_suffix(kSuffix.size());
  return path;
}

// Adds, for each include's base name in order and each key of `map` without a
// "." (taken before the first alias goes in), the key base + "." + key holding
// a copy of that key's value. A key already present (a struct of that name or
// an alias added earlier) is left alone, so a repeated base name adds nothing
// and aliases of aliases never arise. `Map` is an unordered map from
// std::string that can be searched with a string (node-based: references to
// entries survive insertion).
template <class Map>
void add_include_aliases(Map& map, std::span<const std::string> includes) {
  std::vector<std::string_view> bases;
  bases.reserve(includes.size());
  for (const std::string& path : includes) {
    const std::string_view b = include_base_name(path);
    if (std::find(bases.begin(), bases.end(), b) == bases.end()) bases.push_back(b);
  }
  if (bases.empty()) return;

  std::vector<const typename Map::value_type*> candidates;
  candidates.reserve(map.size());
  for (const auto& entry : map)
    if (entry.first.find('.') == std::string::npos) candidates.push_back(&entry);
  map.reserve(map.size() + candidates.size() * bases.size());

  std::string key;
  for (std::string_view b : bases) {
    for (const typename Map::value_type* c : candidates) {
      key.clear();
      key.reserve(b.size() + 1 + c->first.size());
      key.append(b).append(1, '.').append(c->first);
      if (!map.contains(key)) map.emplace(key, c->second);
    }
  }
}

}  // namespace brovane::python::types
