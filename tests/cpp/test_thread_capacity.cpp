// The room for new threads: which bound refuses a count, the /proc texts it
// is read from, and a server's count checked against this machine. (The code
// has no interpreter in it and is compiled in here.)
#include "python/server/thread_capacity.cpp"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace brovane::python::server {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// Room with every bound set and 100 threads' worth of each left.
ThreadRoom room_for_100() {
  ThreadRoom r;
  r.user_threads_limit = 150;
  r.own_threads = 50;
  r.system_threads_limit = 1100;
  r.system_threads = 1000;
  r.max_map_count = 1000;
  r.own_maps = 800;
  r.maps_per_thread = 2;
  r.stack_size = 8 * kMiB;
  r.address_space_left = 800 * kMiB;
  r.commit_left = 800 * kMiB;
  r.cgroup_tasks_left = 100;
  return r;
}

TEST(ThreadRoom, EachBoundRefusesWhatGoesPastIt) {
  struct Case {
    const char* name;
    void (*narrow)(ThreadRoom&);  // leaves room for 99 threads by one bound
  };
  const Case cases[] = {
      {"RLIMIT_NPROC", [](ThreadRoom& r) { r.user_threads_limit = 149; }},
      {"threads-max", [](ThreadRoom& r) { r.system_threads_limit = 1099; }},
      {"max_map_count", [](ThreadRoom& r) { r.max_map_count = 998; }},
      {"address space", [](ThreadRoom& r) { r.address_space_left = 800 * kMiB - 1; }},
      {"commit", [](ThreadRoom& r) { r.commit_left = 792 * kMiB; }},
      {"cgroup pids", [](ThreadRoom& r) { r.cgroup_tasks_left = 99; }},
  };
  EXPECT_TRUE(has_room_for(room_for_100(), 100));
  EXPECT_FALSE(has_room_for(room_for_100(), 101));
  for (const Case& c : cases) {
    ThreadRoom r = room_for_100();
    c.narrow(r);
    EXPECT_TRUE(has_room_for(r, 99)) << c.name;
    EXPECT_FALSE(has_room_for(r, 100)) << c.name;
  }
}

TEST(ThreadRoom, AbsentBoundsAndHugeCounts) {
  ThreadRoom unlimited;  // no bound but the user address space, all of it left
  unlimited.address_space_left = std::uint64_t{1} << 47;
  unlimited.stack_size = 8 * kMiB;
  EXPECT_TRUE(has_room_for(unlimited, 1'000'000));
  EXPECT_FALSE(has_room_for(unlimited, UINT64_MAX));  // the stacks' size saturates
  ThreadRoom r = room_for_100();
  r.user_threads_limit.reset();
  r.system_threads_limit.reset();
  r.max_map_count.reset();
  r.commit_left.reset();
  r.cgroup_tasks_left.reset();
  EXPECT_TRUE(has_room_for(r, 100));
  EXPECT_FALSE(has_room_for(r, 101));  // the address space still bounds it
  EXPECT_EQ(server_threads(4), 9u);
  EXPECT_EQ(server_threads(SIZE_MAX), UINT64_MAX);
}

TEST(ThreadRoom, ProcTexts) {
  const auto s = detail::parse_proc_status(
      "Name:\tpython3\nUmask:\t0022\nVmPeak:\t  999 kB\nVmSize:\t  123456 kB\nThreads:\t17\n"
      "CapInh:\t0000000000000000\nCapEff:\t000001fffeffffff\n");
  EXPECT_EQ(s.threads, 17u);
  EXPECT_EQ(s.vm_size, 123456u * 1024);
  EXPECT_EQ(s.cap_eff, 0x1fffeffffffu);
  EXPECT_EQ(detail::parse_proc_status("").threads, 0u);

  EXPECT_EQ(detail::parse_loadavg_threads("0.52 0.58 0.59 2/345 6789\n"), 345u);
  EXPECT_EQ(detail::parse_loadavg_threads("garbage"), 0u);

  EXPECT_EQ(detail::parse_commit_left("MemTotal: 10 kB\nCommitLimit:    3000 kB\nCommitted_AS:   1000 kB\n"),
            2000u * 1024);
  EXPECT_EQ(detail::parse_commit_left("CommitLimit: 1000 kB\nCommitted_AS: 3000 kB\n"), 0u);
  EXPECT_EQ(detail::parse_commit_left("CommitLimit: 1000 kB\n"), std::nullopt);
}

// Mounts of a systemd host on cgroup v1, with the unified hierarchy beside
// it (hybrid) when `unified` is set.
std::string v1_mounts(bool unified) {
  std::string m =
      "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
      "24 22 0:21 / /sys/fs/cgroup ro,nosuid,nodev,noexec shared:4 - tmpfs tmpfs ro,mode=755\n";
  if (unified) m += "26 24 0:23 / /sys/fs/cgroup/unified rw,nosuid,nodev,noexec,relatime shared:6 - cgroup2 cgroup2 rw\n";
  return m +
         "27 24 0:24 / /sys/fs/cgroup/systemd rw,nosuid,nodev,noexec,relatime shared:7 - cgroup cgroup "
         "rw,xattr,name=systemd\n"
         "28 24 0:25 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid,nodev,noexec,relatime shared:8 - cgroup cgroup "
         "rw,cpu,cpuacct\n"
         "33 24 0:30 / /sys/fs/cgroup/pids rw,nosuid,nodev,noexec,relatime shared:13 - cgroup cgroup rw,pids\n";
}

constexpr const char* kV1Cgroup =
    "12:pids:/user.slice/user-1000.slice\n"
    "4:cpu,cpuacct:/user.slice\n"
    "1:name=systemd:/user.slice/user-1000.slice/session-2.scope\n"
    "0::/user.slice/user-1000.slice/session-2.scope\n";

// A container's overlay root with many layers: a mountinfo longer than 8 KB
// before the cgroup mount.
std::string long_overlay_mounts() {
  std::string m = "500 400 0:50 / / rw,relatime - overlay overlay rw,lowerdir=";
  for (int i = 0; i < 200; ++i) m.append("/var/lib/docker/overlay2/l/LAYER").append(std::to_string(i)).append("XXXXXXXXXXXXXXXXXXXXX:");
  m += ",upperdir=/u,workdir=/w\n";
  for (int i = 0; i < 40; ++i) {
    const std::string n = std::to_string(i);
    m.append("6").append(n).append(" 500 0:6").append(n).append(" / /proc/bus").append(n).append(" ro,relatime - proc proc rw\n");
  }
  return m;
}

TEST(ThreadRoom, PidsCgroupDirs) {
  struct Case {
    const char* name;
    std::string cgroup;
    std::string mountinfo;
    std::vector<std::string> dirs;
  };
  const Case cases[] = {
      {"v2 only",
       "0::/user.slice/user-1000.slice/session-2.scope\n",
       "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
       "25 22 0:23 / /sys rw,nosuid,nodev,noexec,relatime shared:2 - sysfs sysfs rw\n"
       "30 25 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 "
       "rw,nsdelegate,memory_recursiveprot\n",
       {"/sys/fs/cgroup/user.slice/user-1000.slice/session-2.scope", "/sys/fs/cgroup/user.slice/user-1000.slice",
        "/sys/fs/cgroup/user.slice", "/sys/fs/cgroup"}},
      // The "0::" line is there, but no cgroup2 mount: only the pids hierarchy.
      {"v1 only",
       kV1Cgroup,
       v1_mounts(false),
       {"/sys/fs/cgroup/pids/user.slice/user-1000.slice", "/sys/fs/cgroup/pids/user.slice", "/sys/fs/cgroup/pids"}},
      {"hybrid",
       kV1Cgroup,
       v1_mounts(true),
       {"/sys/fs/cgroup/unified/user.slice/user-1000.slice/session-2.scope",
        "/sys/fs/cgroup/unified/user.slice/user-1000.slice", "/sys/fs/cgroup/unified/user.slice",
        "/sys/fs/cgroup/unified", "/sys/fs/cgroup/pids/user.slice/user-1000.slice",
        "/sys/fs/cgroup/pids/user.slice", "/sys/fs/cgroup/pids"}},
      // Without a cgroup namespace the container's mounts start at its own
      // cgroup, and /proc/self/cgroup shows the host's path.
      {"container v2, mount root not /",
       "0::/system.slice/docker-4f1c.scope/app\n",
       long_overlay_mounts() +
           "710 500 0:26 /system.slice/docker-4f1c.scope /sys/fs/cgroup ro,nosuid,nodev,noexec,relatime - "
           "cgroup2 cgroup rw,nsdelegate\n",
       {"/sys/fs/cgroup/app", "/sys/fs/cgroup"}},
      {"container v1, the cgroup is the mount root",
       "12:pids:/docker/4f1c\n3:memory:/docker/4f1c\n0::/\n",
       "500 400 0:50 / / rw,relatime - overlay overlay rw\n"
       "720 500 0:30 /docker/4f1c /sys/fs/cgroup/pids ro,nosuid,nodev,noexec,relatime master:13 - cgroup cgroup "
       "rw,pids\n"
       "721 500 0:31 /docker/4f1c /sys/fs/cgroup/memory ro,nosuid,nodev,noexec,relatime master:14 - cgroup "
       "cgroup rw,memory\n",
       {"/sys/fs/cgroup/pids"}},
      // Of two mounts of the hierarchy only the one whose root is above the
      // cgroup counts: "/docker/4f1c2" is not under "/docker/4f1c".
      {"paths outside a mount root",
       "0::/docker/4f1c2/init\n",
       "30 22 0:26 /docker/4f1c /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n"
       "31 22 0:26 /docker /mnt/cgroup\\040all rw,relatime shared:9 - cgroup2 cgroup2 rw\n",
       {"/mnt/cgroup all/4f1c2/init", "/mnt/cgroup all/4f1c2", "/mnt/cgroup all"}},
      // Seen from a cgroup namespace, a cgroup outside it lies above "/".
      {"above the namespace root",
       "0::/../../user.slice\n",
       "30 22 0:26 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n",
       {}},
      {"no pids hierarchy",
       "4:cpu,cpuacct:/user.slice\n1:name=systemd:/user.slice\n",
       v1_mounts(false),
       {}},
  };
  for (const Case& c : cases) EXPECT_EQ(detail::pids_cgroup_dirs(c.cgroup, c.mountinfo), c.dirs) << c.name;
}

TEST(ThreadRoom, PidsLeft) {
  EXPECT_EQ(detail::parse_pids_left("max\n", "12\n"), std::nullopt);
  EXPECT_EQ(detail::parse_pids_left("100\n", "37\n"), 63u);
  EXPECT_EQ(detail::parse_pids_left("10\n", "12\n"), 0u);  // moved in past the limit, or the limit lowered
  EXPECT_EQ(detail::parse_pids_left("", "12\n"), std::nullopt);
  EXPECT_EQ(detail::parse_pids_left("100\n", ""), std::nullopt);
}

TEST(ThreadRoom, ReadsLongFilesWhole) {
  char path[] = "/tmp/thread_capacity_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + "\n";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  EXPECT_EQ(read_whole(path), text);
  ::unlink(path);
  EXPECT_EQ(read_whole("/nonexistent/mountinfo"), "");
}

TEST(ThreadRoom, ThisMachine) {
  const ThreadRoom r = read_thread_room();
  EXPECT_GE(r.own_threads, 1u);
  EXPECT_GE(r.system_threads, r.own_threads);
  EXPECT_GT(r.own_maps, 0u);
  EXPECT_GT(r.stack_size, 0u);
  EXPECT_TRUE(check_room_for_workers(4).has_value());
  for (std::size_t workers : {SIZE_MAX, SIZE_MAX / 2, std::size_t{10'000'000}}) {
    auto refused = check_room_for_workers(workers);
    ASSERT_FALSE(refused.has_value()) << workers;
    EXPECT_EQ(refused.error().text, "Resource temporarily unavailable (os error 11)");
  }
}

}  // namespace
}  // namespace brovane::python::server
