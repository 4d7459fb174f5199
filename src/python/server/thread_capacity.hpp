// Whether the system has room for the threads a server is about to start,
// judged before any is started. Starting threads until one fails takes a long
// time for an impossible count (tens of thousands of threads, each with an
// asyncio loop thread that imports asyncio, before the kernel runs out), and
// leaves the machine short of threads and memory meanwhile. The limits read
// here are cheap to read and bind every thread start; each is compared with a
// lower bound of what is in use, so a count refused here could not have been
// started, while one let through may still fail to start (other processes of
// the same user, say), which the runtime then reports at its first failed
// start. In a container the tightest of these is often the cgroup's pids
// limit, which counts threads as tasks and fails a thread start like the
// others do, so it is read as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/types.hpp"

namespace brovane::python::server {

// The bounds on starting threads, as read from the system. A limit is absent
// when nothing sets it or when it does not bind this process.
struct ThreadRoom {
  // RLIMIT_NPROC counts every thread of the user (it binds neither root nor a
  // process with CAP_SYS_RESOURCE or CAP_SYS_ADMIN); this process's own
  // threads are a lower bound of those.
  std::optional<std::uint64_t> user_threads_limit;
  std::uint64_t own_threads = 0;
  // kernel.threads-max, and kernel.pid_max (each thread takes a process id),
  // count every thread of the system.
  std::optional<std::uint64_t> system_threads_limit;
  std::uint64_t system_threads = 0;
  // vm.max_map_count bounds the mappings of this process; a thread's stack
  // takes one, and one more for its guard page.
  std::optional<std::uint64_t> max_map_count;
  std::uint64_t own_maps = 0;
  std::uint64_t maps_per_thread = 2;
  // Address space left for stacks (RLIMIT_AS, or else the whole user address
  // space, less what the process has mapped), and under strict overcommit the
  // commit charge left; a thread's stack (default size, guard included) takes
  // its size of both.
  std::uint64_t address_space_left = UINT64_MAX;
  std::optional<std::uint64_t> commit_left;
  std::uint64_t stack_size = 0;
  // The tasks left under the cgroup pids controller: pids.max less
  // pids.current, the least over this process's cgroup and its ancestors
  // (each level's limit binds its whole subtree, and a thread is a task), in
  // each hierarchy that has the controller. pids.current already counts
  // this process's threads, so nothing is added to it here.
  std::optional<std::uint64_t> cgroup_tasks_left;
};

// The system's bounds now. Whatever cannot be read is left unlimited.
ThreadRoom read_thread_room() noexcept;

// Whether `threads` more threads fit in `room`.
bool has_room_for(const ThreadRoom& room, std::uint64_t threads) noexcept;

// The threads a server with `workers` workers starts at once: each worker and
// its asyncio loop thread, and the serve thread.
std::uint64_t server_threads(std::size_t workers) noexcept;

// Refuses a worker count for which the system has no room, with the error a
// thread start would fail with ("Resource temporarily unavailable (os error
// 11)").
std::expected<void, protocol::IoError> check_room_for_workers(std::size_t workers);

namespace detail {
// The pieces of /proc/self/status used here.
struct ProcStatus {
  std::uint64_t threads = 0;
  std::uint64_t vm_size = 0;  // bytes
  std::uint64_t cap_eff = 0;
};
ProcStatus parse_proc_status(std::string_view text) noexcept;
// The thread count of the whole system from /proc/loadavg ("0.00 0.01 0.05
// 2/345 6789": 345); 0 when absent.
std::uint64_t parse_loadavg_threads(std::string_view text) noexcept;
// CommitLimit less Committed_AS from /proc/meminfo, in bytes (0 when already
// over); absent when either is missing.
std::optional<std::uint64_t> parse_commit_left(std::string_view text) noexcept;
// The directories whose pids.max and pids.current bind this process, from
// the texts of /proc/self/cgroup and /proc/self/mountinfo: for the cgroup v2
// hierarchy (line "0::/path", a mount of fstype cgroup2) and the v1 one with
// the pids controller (a line and a cgroup mount naming "pids"), the
// process's cgroup directory and each one above it up to the mount point,
// deepest first. A mount shows its hierarchy from its root (field 4 of
// mountinfo) down, in a container often from the container's own cgroup; a
// cgroup not under a mount's root has no directory there, and that mount is
// skipped.
std::vector<std::string> pids_cgroup_dirs(std::string_view cgroup, std::string_view mountinfo);
// The tasks left at one cgroup level, pids.max less pids.current (0 when
// already over); absent when pids.max is "max" or either text is not a
// number (a file that could not be read).
std::optional<std::uint64_t> parse_pids_left(std::string_view max, std::string_view current) noexcept;
}  // namespace detail

}  // namespace brovane::python::server
