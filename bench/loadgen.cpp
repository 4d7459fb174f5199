// A small load generator for Framed Thrift servers, and a raw echo server
// as the floor to compare against. No dependencies beyond the C++ library
// and POSIX sockets.
//
//   loadgen run HOST PORT REQUEST_FILE CONNECTIONS SECONDS [WARMUP_SECONDS]
//     Opens CONNECTIONS connections, each on its own thread, and sends the
//     Framed message in REQUEST_FILE (the bytes after the length) over and
//     over, one at a time per connection, for SECONDS after a warm-up. Every
//     reply must be a Binary Reply equal to the first reply of its
//     connection. Prints one JSON line: requests, seconds, rps, p50_us,
//     p99_us, errors.
//
//   loadgen echo-server PORT
//     Answers every Framed message with its own bytes as a Reply, one thread per
//     connection; prints the port (0 picks one) and serves until killed.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

bool read_all(int fd, char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

// One Framed message body into `out`; false when the stream ends or the
// length is out of range.
bool read_frame(int fd, std::string& out) {
  unsigned char head[4];
  if (!read_all(fd, reinterpret_cast<char*>(head), 4)) return false;
  const std::uint32_t n = (std::uint32_t{head[0]} << 24) | (std::uint32_t{head[1]} << 16) |
                          (std::uint32_t{head[2]} << 8) | head[3];
  if (n > (64u << 20)) return false;
  out.resize(n);
  return read_all(fd, out.data(), n);
}

std::string framed(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string out = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                     static_cast<char>(n)};
  return out + body;
}

int connect_to(const char* host, const char* port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host, port, &hints, &res) != 0) return -1;
  int fd = -1;
  for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    fd = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(res);
  if (fd >= 0) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

struct Worker {
  std::vector<std::uint32_t> latencies_ns;  // measured requests only
  std::uint64_t errors = 0;
};

int run(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: loadgen run HOST PORT REQUEST_FILE CONNECTIONS SECONDS [WARMUP_SECONDS]\n");
    return 2;
  }
  const char* host = argv[2];
  const char* port = argv[3];
  std::ifstream in(argv[4], std::ios::binary);
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const int connections = std::atoi(argv[5]);
  const double seconds = std::atof(argv[6]);
  const double warmup = argc > 7 ? std::atof(argv[7]) : 0.3;
  if (body.empty() || connections <= 0 || seconds <= 0) {
    std::fprintf(stderr, "loadgen: bad arguments\n");
    return 2;
  }
  const std::string request = framed(body);

  std::vector<int> fds;
  for (int i = 0; i < connections; ++i) {
    const int fd = connect_to(host, port);
    if (fd < 0) {
      std::fprintf(stderr, "loadgen: cannot connect to %s:%s\n", host, port);
      return 1;
    }
    fds.push_back(fd);
  }

  std::atomic<bool> measuring{false};
  std::atomic<bool> stop{false};
  std::vector<Worker> workers(static_cast<std::size_t>(connections));
  std::vector<std::thread> threads;
  for (int i = 0; i < connections; ++i) {
    threads.emplace_back([&, i] {
      Worker& w = workers[static_cast<std::size_t>(i)];
      w.latencies_ns.reserve(1 << 20);
      std::string first;
      std::string reply;
      while (!stop.load(std::memory_order_relaxed)) {
        const bool measured = measuring.load(std::memory_order_relaxed);
        const auto t0 = Clock::now();
        if (!write_all(fds[static_cast<std::size_t>(i)], request.data(), request.size()) ||
            !read_frame(fds[static_cast<std::size_t>(i)], reply)) {
          ++w.errors;
          return;
        }
        const auto t1 = Clock::now();
        if (first.empty()) first = reply;
        if (reply != first || reply.size() < 4 || reply[3] != 2) ++w.errors;
        if (measured)
          w.latencies_ns.push_back(static_cast<std::uint32_t>(
              std::min<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count(),
                                     UINT32_MAX)));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
  measuring.store(true);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  measuring.store(false);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  stop.store(true);
  for (auto& t : threads) t.join();
  for (int fd : fds) ::close(fd);

  std::vector<std::uint32_t> all;
  std::uint64_t errors = 0;
  for (auto& w : workers) {
    all.insert(all.end(), w.latencies_ns.begin(), w.latencies_ns.end());
    errors += w.errors;
  }
  std::sort(all.begin(), all.end());
  auto pct = [&](double p) {
    if (all.empty()) return 0.0;
    const std::size_t k = std::min(all.size() - 1, static_cast<std::size_t>(p * static_cast<double>(all.size())));
    return all[k] / 1000.0;
  };
  std::printf("{\"requests\": %zu, \"seconds\": %.3f, \"rps\": %.1f, \"p50_us\": %.1f, \"p99_us\": %.1f, "
              "\"errors\": %llu}\n",
              all.size(), elapsed, static_cast<double>(all.size()) / elapsed, pct(0.50), pct(0.99),
              static_cast<unsigned long long>(errors));
  return errors == 0 ? 0 : 1;
}

int echo_server(int argc, char** argv) {
  const int port = argc > 2 ? std::atoi(argv[2]) : 0;
  const int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd, 128) != 0) {
    std::perror("loadgen echo-server");
    return 1;
  }
  socklen_t len = sizeof a;
  ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  std::printf("%d\n", ntohs(a.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int fd = ::accept(lfd, nullptr, nullptr);
    if (fd < 0) continue;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread([fd] {
      std::string msg;
      while (read_frame(fd, msg)) {
        if (msg.size() > 3) msg[3] = 2;  // answered as a Reply
        const std::string out = framed(msg);
        if (!write_all(fd, out.data(), out.size())) break;
      }
      ::close(fd);
    }).detach();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "run") == 0) return run(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "echo-server") == 0) return echo_server(argc, argv);
  std::fprintf(stderr, "usage: loadgen run ... | loadgen echo-server PORT\n");
  return 2;
}
