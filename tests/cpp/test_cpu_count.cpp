// The processor count for `workers` 0: cgroup CPU quotas found through
// /proc/self/cgroup and /proc/self/mountinfo texts, read from a fake file
// tree. (The counting code has no interpreter in it and is compiled in here.)
#include "python/server/cpu_count.cpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace brovane::python::server {
namespace {

namespace fs = std::filesystem;

class CgroupQuota : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("brovane-cpu-" + std::to_string(::getpid()));
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void put(const std::string& rel, const std::string& text) {
    fs::path p = root_ / fs::path(rel).relative_path();
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  std::size_t quota(std::string_view cgroup, std::string_view mountinfo) {
    return detail::cgroup_cpu_quota(cgroup, mountinfo, root_.string());
  }

  fs::path root_;
};

constexpr char kV1Mounts[] =
    "32 23 0:29 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "33 32 0:30 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:9 - cgroup cgroup rw,cpu,cpuacct\n"
    "35 32 0:32 / /sys/fs/cgroup/cpuset rw,relatime - cgroup cgroup rw,cpuset\n";
constexpr char kV2Mounts[] = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";

TEST_F(CgroupQuota, V1QuotaIsRoundedUp) {
  put("/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us", "150000\n");
  put("/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota("3:cpuset:/\n2:cpu,cpuacct:/docker/abc\n0::/\n", kV1Mounts), 2u);
}

TEST_F(CgroupQuota, V1WithoutQuota) {
  put("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
  put("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota("2:cpu,cpuacct:/\n", kV1Mounts), 0u);
}

TEST_F(CgroupQuota, V1MountRootIsStrippedFromThePath) {
  // Inside a container the hierarchy's own cgroup is what is mounted.
  put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "300000");
  put("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000");
  EXPECT_EQ(quota("4:cpu:/docker/abc\n",
                  "40 30 0:40 /docker/abc /sys/fs/cgroup/cpu ro,nosuid - cgroup cgroup rw,cpu\n"),
            3u);
}

TEST_F(CgroupQuota, V2CpuMax) {
  put("/sys/fs/cgroup/user.slice/cpu.max", "250000 100000\n");
  EXPECT_EQ(quota("0::/user.slice\n", kV2Mounts), 3u);
  put("/sys/fs/cgroup/user.slice/cpu.max", "max 100000\n");
  EXPECT_EQ(quota("0::/user.slice\n", kV2Mounts), 0u);
}

TEST_F(CgroupQuota, V1LineWinsOverTheV2Line) {
  put("/sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_quota_us", "100000");
  put("/sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_period_us", "100000");
  put("/sys/fs/cgroup/b/cpu.max", "400000 100000");
  EXPECT_EQ(quota("0::/b\n2:cpu,cpuacct:/a\n", std::string(kV1Mounts) + kV2Mounts), 1u);
}

TEST_F(CgroupQuota, MissingPiecesMeanNoQuota) {
  EXPECT_EQ(quota("", kV1Mounts), 0u);                                 // no cpu controller
  EXPECT_EQ(quota("2:cpu,cpuacct:/x\n", ""), 0u);                      // not mounted
  EXPECT_EQ(quota("2:cpu,cpuacct:/x\n", kV1Mounts), 0u);               // no files
  EXPECT_EQ(quota("2:memory:/x\n", kV1Mounts), 0u);                    // another controller
  put("/sys/fs/cgroup/cpu,cpuacct/z/cpu.cfs_quota_us", "100000");
  put("/sys/fs/cgroup/cpu,cpuacct/z/cpu.cfs_period_us", "0");
  EXPECT_EQ(quota("2:cpu,cpuacct:/z\n", kV1Mounts), 0u);               // period 0
}

TEST(AvailableProcessors, AtMostTheAffinityMask) {
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const std::size_t n = available_processors();
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, static_cast<std::size_t>(CPU_COUNT(&set)));
}

}  // namespace
}  // namespace brovane::python::server
