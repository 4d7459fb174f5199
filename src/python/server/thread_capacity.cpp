#include "python/server/thread_capacity.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "python/client/io_error_map.hpp"

namespace brovane::python::server {

namespace {

constexpr int kCapSysAdmin = 21;
constexpr int kCapSysResource = 24;
// mmap places nothing above 47 bits unless asked to.
constexpr std::uint64_t kUserAddressSpace = std::uint64_t{1} << 47;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

// A small file of /proc read whole into `buf` (cut at its size); empty when
// it cannot be read.
template <std::size_t N>
std::string_view read_small(const char* path, char (&buf)[N]) noexcept {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::size_t len = 0;
  while (len < N) {
    const ssize_t n = ::read(fd, buf + len, N - len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    len += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return {buf, len};
}

// The number of lines of a file, read in pieces; absent when it cannot be read.
std::optional<std::uint64_t> count_lines(const char* path) noexcept {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[16384];
  std::uint64_t lines = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    lines += static_cast<std::uint64_t>(std::count(buf, buf + n, '\n'));
  }
  ::close(fd);
  return lines;
}

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

std::optional<std::uint64_t> parse_number(std::string_view s, int base = 10) noexcept {
  s = trim(s);
  std::uint64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || s.empty()) return std::nullopt;
  return v;
}

// The value after "{key}" at the start of a line of `text` ("Threads:\t3").
std::optional<std::string_view> line_value(std::string_view text, std::string_view key) noexcept {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    if (line.starts_with(key)) return line.substr(key.size());
    at = end + 1;
  }
  return std::nullopt;
}

// A number of kB ("123 kB") as bytes.
std::optional<std::uint64_t> parse_kb(std::optional<std::string_view> v) noexcept {
  if (!v) return std::nullopt;
  std::string_view s = trim(*v);
  if (s.ends_with("kB")) s.remove_suffix(2);
  const auto kb = parse_number(s);
  if (!kb) return std::nullopt;
  return saturating_mul(*kb, 1024);
}

std::optional<std::uint64_t> read_number(const char* path) noexcept {
  char buf[64];
  return parse_number(read_small(path, buf));
}

std::optional<std::uint64_t> soft_limit(int resource) noexcept {
  rlimit r{};
  if (::getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return std::nullopt;
  return static_cast<std::uint64_t>(r.rlim_cur);
}

std::optional<std::uint64_t> min_of(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) noexcept {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// The stack of a thread started with default attributes: its size, guard
// included, and whether it has a guard.
struct DefaultStack {
  std::uint64_t size = 0;
  bool guarded = true;
};

DefaultStack default_stack() noexcept {
  DefaultStack d;
  pthread_attr_t attr;
  if (::pthread_getattr_default_np(&attr) != 0) return d;
  std::size_t stack = 0;
  std::size_t guard = 0;
  ::pthread_attr_getstacksize(&attr, &stack);
  ::pthread_attr_getguardsize(&attr, &guard);
  ::pthread_attr_destroy(&attr);
  d.size = saturating_add(stack, guard);
  d.guarded = guard > 0;
  return d;
}

}  // namespace

namespace detail {

ProcStatus parse_proc_status(std::string_view text) noexcept {
  ProcStatus s;
  if (auto v = line_value(text, "Threads:")) s.threads = parse_number(*v).value_or(0);
  s.vm_size = parse_kb(line_value(text, "VmSize:")).value_or(0);
  if (auto v = line_value(text, "CapEff:")) s.cap_eff = parse_number(*v, 16).value_or(0);
  return s;
}

std::uint64_t parse_loadavg_threads(std::string_view text) noexcept {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return 0;
  std::string_view rest = text.substr(slash + 1);
  rest = rest.substr(0, rest.find(' '));
  return parse_number(rest).value_or(0);
}

std::optional<std::uint64_t> parse_commit_left(std::string_view text) noexcept {
  const auto limit = parse_kb(line_value(text, "CommitLimit:"));
  const auto committed = parse_kb(line_value(text, "Committed_AS:"));
  if (!limit || !committed) return std::nullopt;
  return *limit > *committed ? *limit - *committed : 0;
}

}  // namespace detail

ThreadRoom read_thread_room() noexcept {
  ThreadRoom room;
  char status_buf[8192];
  const detail::ProcStatus status = detail::parse_proc_status(read_small("/proc/self/status", status_buf));
  room.own_threads = status.threads;

  const bool exempt = ::getuid() == 0 || (status.cap_eff >> kCapSysAdmin & 1) != 0 ||
                      (status.cap_eff >> kCapSysResource & 1) != 0;
  if (!exempt) room.user_threads_limit = soft_limit(RLIMIT_NPROC);

  // Process ids run from 1 to pid_max - 1.
  const auto pid_max = read_number("/proc/sys/kernel/pid_max");
  room.system_threads_limit = min_of(read_number("/proc/sys/kernel/threads-max"),
                                     pid_max && *pid_max > 0 ? std::optional(*pid_max - 1) : std::nullopt);
  char loadavg_buf[128];
  room.system_threads = detail::parse_loadavg_threads(read_small("/proc/loadavg", loadavg_buf));

  room.max_map_count = read_number("/proc/sys/vm/max_map_count");
  room.own_maps = count_lines("/proc/self/maps").value_or(0);

  const DefaultStack stack = default_stack();
  room.stack_size = stack.size;
  room.maps_per_thread = stack.guarded ? 2 : 1;

  const std::uint64_t space = std::min(soft_limit(RLIMIT_AS).value_or(kUserAddressSpace), kUserAddressSpace);
  room.address_space_left = space > status.vm_size ? space - status.vm_size : 0;
  if (read_number("/proc/sys/vm/overcommit_memory") == 2) {
    char meminfo_buf[8192];
    room.commit_left = detail::parse_commit_left(read_small("/proc/meminfo", meminfo_buf));
  }
  return room;
}

bool has_room_for(const ThreadRoom& room, std::uint64_t threads) noexcept {
  auto fits = [](std::optional<std::uint64_t> limit, std::uint64_t used, std::uint64_t more) {
    return !limit || saturating_add(used, more) <= *limit;
  };
  const std::uint64_t stacks = saturating_mul(threads, room.stack_size);
  return fits(room.user_threads_limit, room.own_threads, threads) &&
         fits(room.system_threads_limit, room.system_threads, threads) &&
         fits(room.max_map_count, room.own_maps, saturating_mul(threads, room.maps_per_thread)) &&
         stacks <= room.address_space_left && fits(room.commit_left, 0, stacks) &&
         fits(room.cgroup_tasks_left, 0, threads);
}

std::uint64_t server_threads(std::size_t workers) noexcept {
  return saturating_add(saturating_mul(workers, 2), 1);
}

std::expected<void, protocol::IoError> check_room_for_workers(std::size_t workers) {
  if (has_room_for(read_thread_room(), server_threads(workers))) return {};
  // What pthread_create gives for each of these shortfalls.
  return std::unexpected(client::io_error_from_errno(EAGAIN));
}

}  // namespace brovane::python::server
