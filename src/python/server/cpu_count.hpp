// The number of processors this process may use: the CPUs of its affinity
// mask, lowered to the CPU quota of its cgroup (v2 cpu.max, or v1
// cpu.cfs_quota_us / cpu.cfs_period_us, rounded up) when one is set.
#pragma once

#include <cstddef>
#include <string_view>

namespace brovane::python::server {

std::size_t available_processors() noexcept;

namespace detail {
// The pieces, for tests: the quota in whole CPUs (rounded up) of the cgroup
// that `proc_cgroup` (the text of /proc/self/cgroup) and `mountinfo` (of
// /proc/self/mountinfo) describe, read below `fs_root` (normally ""); 0 when
// there is no quota.
std::size_t cgroup_cpu_quota(std::string_view proc_cgroup, std::string_view mountinfo,
                             std::string_view fs_root) noexcept;
}  // namespace detail

}  // namespace brovane::python::server
