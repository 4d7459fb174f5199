// The room for new threads: which bound refuses a count, the /proc texts it
// is read from, and a server's count checked against this machine. (The code
// has no interpreter in it and is compiled in here.)
#include "python/server/thread_capacity.cpp"

#include <cstdint>
#include <string>

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
