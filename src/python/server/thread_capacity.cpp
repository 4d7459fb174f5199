#include "python/server/thread_capacity.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <new>

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

// A file read whole, however long (mountinfo runs to many kilobytes, more
// than a stack buffer should hold); empty when it cannot be read. Throws
// std::bad_alloc.
std::string read_whole(const char* path) {
  std::string text;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  std::size_t len = 0;
  text.resize(4096);
  for (;;) {
    if (len == text.size()) text.resize(text.size() * 2);
    const ssize_t n = ::read(fd, text.data() + len, text.size() - len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    len += static_cast<std::size_t>(n);
  }
  text.resize(len);
  return text;
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

// The part of `s` before the first `sep`, taken off `s` with the `sep`; all
// of `s` when there is none.
std::string_view take_until(std::string_view& s, char sep) noexcept {
  const std::size_t at = s.find(sep);
  const std::string_view head = s.substr(0, at);
  s = at == std::string_view::npos ? std::string_view{} : s.substr(at + 1);
  return head;
}

// Whether the comma-separated `list` has `item` ("rw,nosuid,pids").
bool lists(std::string_view list, std::string_view item) noexcept {
  while (!list.empty()) {
    if (take_until(list, ',') == item) return true;
  }
  return false;
}

// A path of mountinfo, where the kernel writes space, tab, newline and
// backslash as octal escapes ("\040").
std::string unescape_mount_path(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() &&
        std::all_of(s.begin() + i + 1, s.begin() + i + 4, [](char c) { return c >= '0' && c <= '7'; })) {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The fields of a mountinfo line used here.
struct MountLine {
  std::string_view root;
  std::string_view mount_point;
  std::string_view fstype;
  std::string_view super_options;
};

// "36 35 98:0 /root /mount/point rw,relatime shared:1 - fstype source rw,opts":
// six fields, optional ones up to "-", then fstype, source and super options.
std::optional<MountLine> parse_mount_line(std::string_view line) noexcept {
  std::string_view fields[6];
  for (std::string_view& f : fields) {
    if (line.empty()) return std::nullopt;
    f = take_until(line, ' ');
  }
  for (;;) {
    if (line.empty()) return std::nullopt;
    if (take_until(line, ' ') == "-") break;
  }
  MountLine m;
  m.root = fields[3];
  m.mount_point = fields[4];
  m.fstype = take_until(line, ' ');
  take_until(line, ' ');  // source
  m.super_options = take_until(line, ' ');
  return m;
}

// `cgroup` (a path of /proc/self/cgroup) as seen under a mount of its
// hierarchy whose root is `root`: "/" for the root itself; absent when it is
// not under `root`. A path with ".." lies above the root of this process's
// cgroup namespace, which no mount in it shows.
std::optional<std::string_view> under_root(std::string_view cgroup, std::string_view root) noexcept {
  if (!cgroup.starts_with('/')) return std::nullopt;
  for (std::string_view rest = cgroup.substr(1); !rest.empty();) {
    if (take_until(rest, '/') == "..") return std::nullopt;
  }
  if (root == "/") return cgroup;
  if (!cgroup.starts_with(root)) return std::nullopt;
  const std::string_view below = cgroup.substr(root.size());
  if (below.empty()) return "/";
  if (!below.starts_with('/')) return std::nullopt;  // "/a/bc" is not under "/a/b"
  return below;
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

std::vector<std::string> pids_cgroup_dirs(std::string_view cgroup, std::string_view mountinfo) {
  // "hierarchy-id:controllers:path"; v2's line is "0::path".
  std::optional<std::string_view> v2_path;
  std::optional<std::string_view> v1_path;
  while (!cgroup.empty()) {
    const std::string_view line = take_until(cgroup, '\n');
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      v2_path = path;
    } else if (lists(controllers, "pids")) {
      v1_path = path;
    }
  }

  std::vector<std::string> dirs;
  while (!mountinfo.empty()) {
    const auto mount = parse_mount_line(take_until(mountinfo, '\n'));
    if (!mount) continue;
    std::optional<std::string_view> path;
    if (mount->fstype == "cgroup2") {
      path = v2_path;
    } else if (mount->fstype == "cgroup" && lists(mount->super_options, "pids")) {
      path = v1_path;
    }
    if (!path) continue;
    const std::string root = unescape_mount_path(mount->root);
    const auto below = under_root(*path, root);
    if (!below) continue;
    std::string dir = unescape_mount_path(mount->mount_point);
    if (dir == "/") dir.clear();
    const std::size_t mount_len = dir.size();
    if (*below != "/") dir += *below;
    // From the cgroup's own directory up to the mount point.
    for (;;) {
      dirs.push_back(dir.empty() ? std::string("/") : dir);
      if (dir.size() == mount_len) break;
      dir.erase(std::max(dir.rfind('/'), mount_len));
    }
  }
  return dirs;
}

std::optional<std::uint64_t> parse_pids_left(std::string_view max, std::string_view current) noexcept {
  const auto limit = parse_number(max);
  const auto used = parse_number(current);
  if (!limit || !used) return std::nullopt;  // "max" is no limit
  return *limit > *used ? *limit - *used : 0;
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

  try {
    const std::string cgroup = read_whole("/proc/self/cgroup");
    const std::string mountinfo = read_whole("/proc/self/mountinfo");
    for (const std::string& dir : detail::pids_cgroup_dirs(cgroup, mountinfo)) {
      char max_buf[32];
      char current_buf[32];
      const auto left = detail::parse_pids_left(read_small((dir + "/pids.max").c_str(), max_buf),
                                                read_small((dir + "/pids.current").c_str(), current_buf));
      room.cgroup_tasks_left = min_of(room.cgroup_tasks_left, left);
    }
  } catch (const std::bad_alloc&) {
    room.cgroup_tasks_left.reset();  // unknown, so no limit, like any bound not read
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
