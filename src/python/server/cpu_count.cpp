#include "python/server/cpu_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace brovane::python::server {

namespace {

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return std::move(ss).str();
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t p = s.find(sep, start);
    out.push_back(s.substr(start, p == std::string_view::npos ? std::string_view::npos : p - start));
    if (p == std::string_view::npos) return out;
    start = p + 1;
  }
}

bool has_item(std::string_view list, std::string_view item) {
  for (std::string_view x : split(list, ','))
    if (x == item) return true;
  return false;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

std::optional<std::size_t> parse_count(std::string_view s) {
  s = trim(s);
  std::size_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

std::size_t logical_processors() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

std::optional<std::size_t> ceil_ratio(std::size_t quota, std::size_t period) {
  if (period == 0) return std::nullopt;
  return static_cast<std::size_t>(std::ceil(static_cast<double>(quota) / static_cast<double>(period)));
}

}  // namespace

namespace detail {

std::size_t cgroup_cpu_quota(std::string_view proc_cgroup, std::string_view mountinfo,
                             std::string_view fs_root) noexcept {
  try {
    // The cpu controller's cgroup: a v1 line that names "cpu" wins over the
    // v2 line, which names no controllers.
    bool v2 = false;
    std::optional<std::string_view> base;
    for (std::string_view line : split(proc_cgroup, '\n')) {
      const std::vector<std::string_view> f = split(line, ':');
      if (f.size() < 3) continue;
      const bool line_v2 = f[1].empty();
      if (!line_v2 && !has_item(f[1], "cpu")) continue;
      if (base && line_v2) continue;
      // The path is everything after the second colon (it may hold colons).
      const std::size_t p = line.find(':', line.find(':') + 1);
      base = line.substr(p + 1);
      v2 = line_v2;
    }
    if (!base) return 0;

    // Where that hierarchy is mounted: its root within the hierarchy and its
    // mount point.
    std::optional<std::string_view> root, mount_point;
    for (std::string_view line : split(mountinfo, '\n')) {
      const std::vector<std::string_view> f = split(line, ' ');
      if (f.size() < 5) continue;
      auto sep = std::find(f.begin() + 5, f.end(), std::string_view("-"));
      if (sep == f.end() || sep + 1 == f.end()) continue;
      const std::string_view fstype = *(sep + 1);
      if (v2 ? fstype != "cgroup2" : fstype != "cgroup") continue;
      if (!v2) {
        if (sep + 3 >= f.end() || !has_item(*(sep + 3), "cpu")) continue;
      }
      root = f[3];
      mount_point = f[4];
      break;
    }
    if (!root) return 0;

    // The cgroup's directory: its path made relative to the mount's root.
    std::string_view rel = *base;
    if (*root != "/") {
      if (rel.substr(0, root->size()) != *root) return 0;
      rel.remove_prefix(root->size());
      if (!rel.empty() && rel.front() != '/') return 0;
    }
    std::string dir(fs_root);
    dir += *mount_point;
    if (!rel.empty() && rel != "/") dir += rel;

    std::optional<std::size_t> quota;
    if (v2) {
      const auto text = read_file(dir + "/cpu.max");
      if (!text) return 0;
      const std::vector<std::string_view> f = split(trim(*text), ' ');
      if (f.size() != 2) return 0;
      const auto q = parse_count(f[0]);  // "max": no quota
      const auto p = parse_count(f[1]);
      if (q && p) quota = ceil_ratio(*q, *p);
    } else {
      const auto q_text = read_file(dir + "/cpu.cfs_quota_us");
      const auto p_text = read_file(dir + "/cpu.cfs_period_us");
      if (!q_text || !p_text) return 0;
      const auto q = parse_count(*q_text);  // -1: no quota
      const auto p = parse_count(*p_text);
      if (q && p) quota = ceil_ratio(*q, *p);
    }
    return quota.value_or(0);
  } catch (...) {
    return 0;
  }
}

}  // namespace detail

std::size_t available_processors() noexcept {
  const std::size_t logical = logical_processors();
  std::size_t quota = 0;
  try {
    const auto cg = read_file("/proc/self/cgroup");
    const auto mi = read_file("/proc/self/mountinfo");
    if (cg && mi) quota = detail::cgroup_cpu_quota(*cg, *mi, "");
  } catch (...) {
  }
  return quota == 0 ? logical : std::min(quota, logical);
}

}  // namespace brovane::python::server
