// Framed and Buffered transports over real socket pairs: golden bytes, every
// place where the stream can end, the Buffered Binary walk and JSON scan with
// the reader's buffer split at every size, and the bounds on allocation and
// nesting.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/local/connect_pair.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

#include "protocol/json_text.hpp"
#include "python/client/io_error_map.hpp"
#include "python/client/transport.hpp"
#include "python/server/transport.hpp"

// The largest single allocation made while tracking is on: how the tests see
// that an announced length is not allocated before its bytes arrive.
namespace {
std::atomic<bool> g_track_allocs{false};
std::atomic<std::size_t> g_largest_alloc{0};
}  // namespace

// Out of line, so that the compiler does not pair the free() below with the
// new-expressions it can see.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (g_track_allocs.load(std::memory_order_relaxed)) {
    std::size_t prev = g_largest_alloc.load(std::memory_order_relaxed);
    while (n > prev && !g_largest_alloc.compare_exchange_weak(prev, n)) {
    }
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace brovane::protocol {
void PrintTo(const IoError& e, std::ostream* os) {
  *os << "kind " << static_cast<int>(e.kind) << " \"" << e.text << '"';
}
}  // namespace brovane::protocol

namespace {

using namespace std::string_literals;
using brovane::protocol::IoError;
using brovane::protocol::IoErrorKind;
namespace client = brovane::python::client;
namespace server = brovane::python::server;
using client::IoResult;
using client::IoStatus;
using client::Side;
using Socket = asio::local::stream_protocol::socket;

std::string escaped(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    if (b >= 0x20 && b < 0x7f && b != '\\') {
      out += static_cast<char>(b);
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

// A receive's result, printed readably when an expectation fails.
struct Frame : IoResult<std::string> {
  using IoResult<std::string>::IoResult;
  Frame(IoResult<std::string> r) : IoResult<std::string>(std::move(r)) {}
  friend bool operator==(const Frame& a, const Frame& b) {
    return static_cast<const IoResult<std::string>&>(a) == static_cast<const IoResult<std::string>&>(b);
  }
  friend void PrintTo(const Frame& f, std::ostream* os) {
    if (f) {
      *os << "frame \"" << escaped(*f) << '"';
    } else {
      *os << "error kind " << static_cast<int>(f.error().kind) << " \"" << f.error().text << '"';
    }
  }
};

constexpr std::uint8_t kFramed = client::kTransportFramed;
constexpr std::uint8_t kBuffered = client::kTransportBuffered;
constexpr std::uint8_t kBinary = client::kProtocolBinary;
constexpr std::uint8_t kCompact = client::kProtocolCompact;
constexpr std::uint8_t kJson = client::kProtocolJson;

// Reader capacities: 1 makes every byte a separate read, so each step of the
// walk is resumed after a refill at least once.
constexpr std::size_t kCapacities[] = {1, 2, 3, 5, 7, client::kConnectionBufferSize};

std::string be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
std::string be16(std::uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string field(std::uint8_t type, std::uint16_t id) {
  return std::string(1, static_cast<char>(type)) + be16(id);
}
std::string str(std::string_view s) { return be32(static_cast<std::uint32_t>(s.size())) + std::string(s); }
std::string header(std::string_view name, std::uint8_t type, std::int32_t seqid) {
  return "\x80\x01\x00"s + static_cast<char>(type) + str(name) + be32(static_cast<std::uint32_t>(seqid));
}

const std::string kPing = header("ping", 1, 0) + "\x00"s;  // 17 bytes
const std::string kFramedPing = "\x00\x00\x00\x11"s + kPing;

IoError early_eof() { return {IoErrorKind::UnexpectedEof, "early eof"}; }
IoError byte_eof() { return {IoErrorKind::UnexpectedEof, "unexpected end of file"}; }

// One end of a local socket pair driven by the test, the other end played by
// the test as the peer.
struct Conn {
  explicit Conn(std::size_t reader_capacity = client::kConnectionBufferSize)
      : reader(ours, reader_capacity), writer(ours) {
    asio::local::connect_pair(ours, peer);
  }
  // InPlace: our end in non-blocking mode, as the server's connections have
  // it, so that the writer writes in place and waits only for room.
  enum class Writes : std::uint8_t { ThroughTheContext, InPlace };
  explicit Conn(Writes writes) : Conn() { ours.non_blocking(writes == Writes::InPlace); }

  template <class T>
  T run(asio::awaitable<T> op) {
    std::optional<T> out;
    asio::co_spawn(io, std::move(op), [&](std::exception_ptr e, T v) {
      if (e) std::rethrow_exception(e);
      out = std::move(v);
    });
    io.run_for(std::chrono::seconds(20));
    io.restart();
    if (!out) {
      ADD_FAILURE() << "operation did not complete";
      return T{};
    }
    return std::move(*out);
  }

  Frame recv(Side side, std::uint8_t transport, std::uint8_t protocol) {
    if (side == Side::Client) return run(client::conn_recv_frame(reader, transport, protocol));
    return run(server::recv_request_frame_async(reader, transport, protocol));
  }
  IoStatus send(Side side, std::string_view message, std::uint8_t transport) {
    if (side == Side::Client) return run(client::conn_send_frame(writer, message, transport));
    return run(server::send_response_async(writer, message, transport));
  }

  void peer_write(std::string_view bytes) { asio::write(peer, asio::buffer(bytes.data(), bytes.size())); }
  void peer_end() { peer.shutdown(asio::socket_base::shutdown_send); }
  std::string peer_read(std::size_t n) {
    std::string s(n, '\0');
    asio::read(peer, asio::buffer(s));
    return s;
  }

  asio::io_context io;
  Socket ours{io};
  Socket peer{io};
  client::BufferedReader<Socket> reader;
  client::BufferedWriter<Socket> writer;
};

constexpr Side kSides[] = {Side::Client, Side::Server};
const char* side_name(Side s) { return s == Side::Client ? "client" : "server"; }

// The writer's two ways: every write through the io_context, or in place.
constexpr Conn::Writes kWriteModes[] = {Conn::Writes::ThroughTheContext, Conn::Writes::InPlace};
const char* mode_name(Conn::Writes w) { return w == Conn::Writes::InPlace ? "in place" : "through the io_context"; }

// ---------------------------------------------------------------------------
// Sending

TEST(TransportSend, FramedPingIsTheGolden21Bytes) {
  for (Conn::Writes writes : kWriteModes) {
    for (Side side : kSides) {
      SCOPED_TRACE(std::string(side_name(side)) + ", " + mode_name(writes));
      Conn c(writes);
      ASSERT_TRUE(c.send(side, kPing, kFramed));
      EXPECT_EQ(c.writer.pending(), 0u);
      EXPECT_EQ(c.peer_read(21),
                "\x00\x00\x00\x11\x80\x01\x00\x01\x00\x00\x00\x04ping\x00\x00\x00\x00\x00"s);
    }
  }
}

TEST(TransportSend, BufferedSendsTheBytesAloneAndEmptyFramedIsFourZeros) {
  Conn c;
  ASSERT_TRUE(c.send(Side::Client, kPing, kBuffered));
  ASSERT_TRUE(c.send(Side::Client, "", kFramed));
  c.ours.shutdown(asio::socket_base::shutdown_send);
  EXPECT_EQ(c.peer_read(kPing.size() + 4), kPing + "\x00\x00\x00\x00"s);
  std::error_code ec;
  char extra;
  EXPECT_EQ(c.peer.read_some(asio::buffer(&extra, 1), ec), 0u);
  EXPECT_EQ(ec, asio::error::eof);
}

// Larger than the writer's buffer: one gather write of length and body, read
// concurrently by the peer.
// In place, the socket's send buffer fills up part-way: the writer waits for
// room and goes on where the partial write stopped.
TEST(TransportSend, LargeFramedMessageArrivesWhole) {
  for (Conn::Writes writes : kWriteModes) {
    SCOPED_TRACE(mode_name(writes));
    Conn c(writes);
    std::string big(300000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    std::string got;
    asio::co_spawn(
        c.io,
        [&]() -> asio::awaitable<void> {
          got.resize(big.size() + 4);
          co_await asio::async_read(c.peer, asio::buffer(got), asio::use_awaitable);
        },
        asio::detached);
    ASSERT_TRUE(c.send(Side::Server, big, kFramed));
    c.io.run_for(std::chrono::seconds(20));
    c.io.restart();
    EXPECT_EQ(got, be32(300000) + big);
  }
}

// Messages that each fit the writer's buffer, sent faster than the peer
// reads them: flushes that find the socket full wait and resume mid-buffer,
// and every byte arrives in order.
TEST(TransportSend, BufferedMessagesOutpacingThePeerArriveInOrder) {
  for (Conn::Writes writes : kWriteModes) {
    SCOPED_TRACE(mode_name(writes));
    Conn c(writes);
    constexpr std::size_t kCount = 40;
    constexpr std::size_t kSize = 60000;
    std::string expected;
    for (std::size_t m = 0; m < kCount; ++m) expected += be32(kSize) + std::string(kSize, static_cast<char>('a' + m % 26));
    std::string got(expected.size(), '\0');
    bool read_done = false;
    asio::co_spawn(
        c.io,
        [&]() -> asio::awaitable<void> {
          co_await asio::async_read(c.peer, asio::buffer(got), asio::use_awaitable);
          read_done = true;
        },
        asio::detached);
    IoStatus sent;
    asio::co_spawn(
        c.io,
        [&]() -> asio::awaitable<void> {
          for (std::size_t m = 0; m < kCount && sent; ++m)
            sent = co_await server::send_response_async(c.writer, expected.substr(m * (kSize + 4) + 4, kSize), kFramed);
        },
        asio::detached);
    c.io.run_for(std::chrono::seconds(20));
    c.io.restart();
    ASSERT_TRUE(sent);
    ASSERT_TRUE(read_done);
    EXPECT_TRUE(got == expected);
  }
}

TEST(TransportSend, WriteToClosedPeerIsBrokenPipe) {
  for (Conn::Writes writes : kWriteModes) {
    SCOPED_TRACE(mode_name(writes));
    Conn c(writes);
    c.peer.close();
    const IoStatus r = c.send(Side::Client, kPing, kFramed);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), (IoError{IoErrorKind::BrokenPipe, "Broken pipe (os error 32)"}));
    EXPECT_EQ(c.writer.pending(), 0u);
  }
}

// A length the 4-byte field cannot carry is refused before anything is sent.
// The message is an untouched anonymous mapping, so it costs no memory.
TEST(TransportSend, FramedRefusesMessagesOf2GiBOrMore) {
  constexpr std::size_t kSize = std::size_t{1} << 31;
  void* p = ::mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  Conn c;
  const IoStatus r = c.send(Side::Client, std::string_view(static_cast<const char*>(p), kSize), kFramed);
  ::munmap(p, kSize);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), (IoError{IoErrorKind::InvalidInput,
                                "message of 2147483648 bytes is too long for the Framed transport"}));
  EXPECT_EQ(c.peer.available(), 0u);
}

TEST(TransportSend, DestroyingTheWriterEndsThePeersStream) {
  asio::io_context io;
  Socket ours(io), peer(io);
  asio::local::connect_pair(ours, peer);
  { client::BufferedWriter<Socket> writer(ours); }
  char byte;
  std::error_code ec;
  EXPECT_EQ(peer.read_some(asio::buffer(&byte, 1), ec), 0u);
  EXPECT_EQ(ec, asio::error::eof);
}

// ---------------------------------------------------------------------------
// Framed receive

TEST(TransportFramed, PingYieldsTheMessageBehindTheLength) {
  for (Side side : kSides) {
    for (std::size_t cap : kCapacities) {
      SCOPED_TRACE(std::string(side_name(side)) + " capacity " + std::to_string(cap));
      Conn c(cap);
      c.peer_write(kFramedPing + kFramedPing);
      c.peer_end();
      EXPECT_EQ(c.recv(side, kFramed, kBinary), Frame(kPing));
      EXPECT_EQ(c.recv(side, kFramed, kBinary), Frame(kPing));  // back to back
      EXPECT_EQ(c.recv(side, kFramed, kBinary), Frame(""));
    }
  }
}

TEST(TransportFramed, EndsOfStreamAndNonPositiveLengths) {
  struct Case {
    const char* what;
    std::string bytes;
    Frame first;
  };
  const Case cases[] = {
      {"nothing", "", Frame("")},
      {"half a length", "\x00\x00"s, Frame("")},
      {"short body", be32(5) + "abc", std::unexpected(early_eof())},
      {"zero length", be32(0), Frame("")},
      {"negative length", be32(0xFFFFFFFF), Frame("")},
      // A Buffered Binary request sent to a Framed receiver: a negative length.
      {"unframed binary request", kPing, Frame("")},
  };
  for (Side side : kSides) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(side_name(side)) + ": " + k.what);
      Conn c(3);
      c.peer_write(k.bytes);
      c.peer_end();
      EXPECT_EQ(c.recv(side, kFramed, kBinary), k.first);
    }
  }
}

TEST(TransportFramed, NonPositiveLengthConsumesOnlyItsFourBytes) {
  for (std::uint32_t length : {0u, 0xFFFFFFFFu}) {
    Conn c;
    c.peer_write(be32(length) + kFramedPing);
    EXPECT_EQ(c.recv(Side::Client, kFramed, kBinary), Frame(""));
    EXPECT_EQ(c.recv(Side::Client, kFramed, kBinary), Frame(kPing));
  }
}

// Several MiB through a 64 KiB reader, written concurrently, with a second
// message right behind: the bytes beyond the first stay for the next receive.
TEST(TransportFramed, LargeMessageThenAnother) {
  Conn c;
  std::string big(3 * 1024 * 1024 + 123, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  const std::string wire = be32(static_cast<std::uint32_t>(big.size())) + big + kFramedPing;
  asio::co_spawn(
      c.io,
      [&]() -> asio::awaitable<void> {
        co_await asio::async_write(c.peer, asio::buffer(wire), asio::use_awaitable);
      },
      asio::detached);
  const Frame first = c.recv(Side::Server, kFramed, kBinary);
  ASSERT_TRUE(first);
  EXPECT_TRUE(*first == big);
  EXPECT_EQ(c.recv(Side::Server, kFramed, kBinary), Frame(kPing));
}

// A peer that announces 2 GiB and sends ten bytes costs about ten bytes.
TEST(TransportFramed, AnnouncedLengthIsNotAllocatedUpFront) {
  for (Side side : kSides) {
    SCOPED_TRACE(side_name(side));
    Conn c;
    c.peer_write(be32(0x7FFFFFFF) + "0123456789");
    c.peer_end();
    g_largest_alloc = 0;
    g_track_allocs = true;
    const Frame r = c.recv(side, kFramed, kBinary);
    g_track_allocs = false;
    EXPECT_EQ(r, Frame(std::unexpected(early_eof())));
    EXPECT_LT(g_largest_alloc.load(), std::size_t{16 * 1024});
  }
}

TEST(TransportFramed, ConnectionResetIsReported) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::tcp::socket ours(io), peer(io);
  ours.connect(acceptor.local_endpoint());
  acceptor.accept(peer);
  client::BufferedReader<asio::ip::tcp::socket> reader(ours);
  asio::write(peer, asio::buffer("\x00\x00\x00\x08xy", 6));
  // Closing with a zero linger time resets the connection.
  peer.set_option(asio::socket_base::linger(true, 0));
  peer.close();
  std::optional<Frame> out;
  asio::co_spawn(io, client::conn_recv_frame(reader, kFramed, kBinary),
                 [&](std::exception_ptr, Frame f) { out = std::move(f); });
  io.run_for(std::chrono::seconds(20));
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, Frame(std::unexpected(IoError{IoErrorKind::ConnectionReset,
                                                "Connection reset by peer (os error 104)"})));
}

// ---------------------------------------------------------------------------
// Buffered JSON

TEST(TransportBufferedJson, BracketScan) {
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<Frame> frames;  // successive receives
  };
  const IoError not_json{IoErrorKind::InvalidData,
                         "expected JSON object or array at start of buffered message"};
  const Case cases[] = {
      {"blanks before the object", " \t\r\n\f{\"a\":1}", {Frame("{\"a\":1}"), Frame("")}},
      {"closing bracket in a string", R"({"k":"}"})", {Frame(R"({"k":"}"})"), Frame("")}},
      {"escaped quote in a string", R"({"k":"\"}"})", {Frame(R"({"k":"\"}"})"), Frame("")}},
      {"escaped backslash ends the escape", R"(["\\"]])", {Frame(R"(["\\"])")}},
      {"nested, then a second message",
       R"([1,"x",{"a":[{}]}]  {"b":2})",
       {Frame(R"([1,"x",{"a":[{}]}])"), Frame(R"({"b":2})"), Frame("")}},
      {"brackets are counted, not matched", "{]", {Frame("{]")}},
      {"nothing", "", {Frame("")}},
      {"only blanks", "  \n ", {Frame("")}},
      {"end after the bracket", "{\"a\"", {std::unexpected(byte_eof())}},
      // The refused byte is consumed; the scan starts again behind it.
      {"not a bracket", " x{}", {std::unexpected(not_json), Frame("{}")}},
  };
  for (Side side : kSides) {
    for (const Case& k : cases) {
      for (std::size_t cap : kCapacities) {
        SCOPED_TRACE(std::string(side_name(side)) + ": " + k.what + ", capacity " +
                     std::to_string(cap));
        Conn c(cap);
        c.peer_write(k.bytes);
        c.peer_end();
        for (const Frame& expected : k.frames) EXPECT_EQ(c.recv(side, kBuffered, kJson), expected);
      }
    }
  }
}

// Nesting: as deep as the JSON reader decodes (127 levels) passes, with
// brackets inside strings not counted; one more opening bracket is refused,
// whatever follows it.
TEST(TransportBufferedJson, NestingIsBoundedWhereTheReaderStops) {
  auto nested = [](std::size_t levels) {
    return std::string(levels, '[') + "\"[[{\"" + std::string(levels, ']');
  };
  const std::string ok = nested(127);
  const std::string deep = std::string(128, '[');
  ASSERT_TRUE(brovane::protocol::parse_json(ok));
  ASSERT_FALSE(brovane::protocol::parse_json(nested(128)));
  const IoError too_deep{IoErrorKind::InvalidData, "buffered message nested more than 127 levels deep"};
  for (Side side : kSides) {
    for (std::size_t cap : {std::size_t{1}, client::kConnectionBufferSize}) {
      SCOPED_TRACE(std::string(side_name(side)) + " capacity " + std::to_string(cap));
      Conn c(cap);
      c.peer_write(ok + deep);
      c.peer_end();
      EXPECT_EQ(c.recv(side, kBuffered, kJson), Frame(ok));
      EXPECT_EQ(c.recv(side, kBuffered, kJson), Frame(std::unexpected(too_deep)));
    }
  }
}

// ---------------------------------------------------------------------------
// Buffered Binary

// A request whose arguments hold every wire type: a list of three I32, a map
// from String to Struct, a nested struct with scalars, a set, and a list with
// a negative count (its 5 header bytes only).
std::string rich_request(std::int32_t seqid) {
  std::string nested = field(2, 1) + "\x01" + field(3, 2) + "\xff" + field(6, 3) + be16(0x1234) +
                       field(10, 4) + be32(1) + be32(2) + field(4, 5) + be32(3) + be32(4) +
                       field(11, 6) + str("hi") + field(14, 7) + "\x0b" + be32(0) + "\x00"s;
  std::string body = field(15, 1) + "\x08" + be32(3) + be32(1) + be32(2) + be32(3) +  //
                     field(13, 2) + "\x0b\x0c" + be32(2) +                             //
                     str("a") + field(8, 1) + be32(7) + "\x00"s +                      //
                     str("bc") + "\x00"s +                                             //
                     field(12, 3) + nested +                                           //
                     field(15, 4) + "\x08" + be32(0xFFFFFFFF) +                        //
                     field(11, 5) + str("") + "\x00"s;
  return header("compute", 1, seqid) + body;
}

TEST(TransportBufferedBinary, MessagesAreReturnedByteForByte) {
  const std::string first = rich_request(1);
  const std::string second = rich_request(2);
  for (Side side : kSides) {
    for (std::size_t cap : kCapacities) {
      SCOPED_TRACE(std::string(side_name(side)) + " capacity " + std::to_string(cap));
      Conn c(cap);
      c.peer_write(first + second);
      c.peer_end();
      EXPECT_EQ(c.recv(side, kBuffered, kBinary), Frame(first));
      EXPECT_EQ(c.recv(side, kBuffered, kBinary), Frame(second));
    }
  }
}

TEST(TransportBufferedBinary, EndOfStreamBeforeTheFirstWord) {
  for (const std::string& bytes : {""s, "\x80\x01"s}) {
    Conn client_conn, server_conn;
    for (Conn* c : {&client_conn, &server_conn}) {
      c->peer_write(bytes);
      c->peer_end();
    }
    EXPECT_EQ(client_conn.recv(Side::Client, kBuffered, kBinary), Frame(std::unexpected(early_eof())));
    EXPECT_EQ(server_conn.recv(Side::Server, kBuffered, kBinary), Frame(""));
  }
}

// The stream ends at each position of a small message: single-byte reads
// (field type, field id, Bool/I08) report "unexpected end of file", exact
// reads "early eof", on both sides.
TEST(TransportBufferedBinary, EndOfStreamInsideTheMessage) {
  const std::string msg = header("ping", 1, 0) +                  // 0..15
                          field(2, 1) + "\x01" +                  // 16..19
                          field(8, 2) + be32(9) +                 // 20..26
                          field(11, 3) + str("xy") +              // 27..35
                          field(15, 4) + "\x06" + be32(1) + be16(5) +  // 36..45
                          "\x00"s;                                // 46
  ASSERT_EQ(msg.size(), 47u);
  struct Case {
    std::size_t cut;
    IoError error;
  };
  const Case cases[] = {
      {4, early_eof()},  {6, early_eof()},  {9, early_eof()},   {13, early_eof()},
      {16, byte_eof()},  {17, byte_eof()},  {18, byte_eof()},   {19, byte_eof()},
      {20, byte_eof()},  {23, early_eof()}, {25, early_eof()},  {30, early_eof()},
      {32, early_eof()}, {34, early_eof()}, {35, early_eof()},  {39, early_eof()},
      {42, early_eof()}, {44, early_eof()}, {45, early_eof()},  {46, byte_eof()},
  };
  for (Side side : kSides) {
    for (const Case& k : cases) {
      for (std::size_t cap : {std::size_t{1}, client::kConnectionBufferSize}) {
        SCOPED_TRACE(std::string(side_name(side)) + " cut at " + std::to_string(k.cut) +
                     ", capacity " + std::to_string(cap));
        Conn c(cap);
        c.peer_write(std::string_view(msg).substr(0, k.cut));
        c.peer_end();
        EXPECT_EQ(c.recv(side, kBuffered, kBinary), Frame(std::unexpected(k.error)));
      }
    }
  }
}

TEST(TransportBufferedBinary, UnknownTypeBytesInEachSidesWording) {
  struct Case {
    const char* what;
    std::string body;
    const char* hex;
  };
  const Case cases[] = {
      {"field of type 7", field(7, 1) + "rest", "07"},
      {"list element of type 0", field(15, 1) + "\x00"s + be32(1), "00"},
      {"map value of type 16", field(13, 1) + "\x02\x10" + be32(1) + "\x01", "10"},
      {"list element of type 255", field(15, 1) + "\xff" + be32(2), "ff"},
  };
  for (Side side : kSides) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(side_name(side)) + ": " + k.what);
      Conn c;
      c.peer_write(header("m", 1, 0) + k.body);
      c.peer_end();
      std::string text = "Unknown field type byte 0x"s + k.hex;
      if (side == Side::Server) text += " in buffered stream";
      EXPECT_EQ(c.recv(side, kBuffered, kBinary),
                Frame(std::unexpected(IoError{IoErrorKind::InvalidData, text})));
    }
  }
}

// Unknown element types are only refused when an element is read.
TEST(TransportBufferedBinary, EmptyContainersOfUnknownTypesPass) {
  const std::string msg = header("m", 1, 0) + field(15, 1) + "\x07" + be32(0) + field(13, 2) +
                          "\x09\x09" + be32(0xFFFFFFFF) + "\x00"s;
  Conn c;
  c.peer_write(msg);
  EXPECT_EQ(c.recv(Side::Server, kBuffered, kBinary), Frame(msg));
}

TEST(TransportBufferedBinary, NegativeNameLengthIsRefused) {
  for (Side side : kSides) {
    Conn c;
    c.peer_write("\x80\x01\x00\x01"s + be32(0xFFFFFFFE) + "abcd");
    EXPECT_EQ(c.recv(side, kBuffered, kBinary),
              Frame(std::unexpected(IoError{IoErrorKind::InvalidData,
                                            "negative message name length -2 in buffered message"})));
  }
}

// A long string is copied as its bytes arrive, not reserved from its length.
TEST(TransportBufferedBinary, AnnouncedStringLengthIsNotAllocatedUpFront) {
  Conn c;
  c.peer_write(header("m", 1, 0) + field(11, 1) + be32(0xFFFFFFF0) + "0123456789");
  c.peer_end();
  g_largest_alloc = 0;
  g_track_allocs = true;
  const Frame r = c.recv(Side::Server, kBuffered, kBinary);
  g_track_allocs = false;
  EXPECT_EQ(r, Frame(std::unexpected(early_eof())));
  EXPECT_LT(g_largest_alloc.load(), std::size_t{16 * 1024});
}

// Nesting: the message's own struct plus 127 nested structs or containers
// pass; one more level is refused.
TEST(TransportBufferedBinary, NestingIsBoundedAt128Levels) {
  auto nested_structs = [](std::size_t inner) {
    std::string body;
    for (std::size_t i = 0; i < inner; ++i) body += field(12, 1);
    return body + std::string(inner + 1, '\0');
  };
  auto nested_lists = [](std::size_t lists) {
    std::string body = field(15, 1);
    for (std::size_t i = 1; i < lists; ++i) body += "\x0f"s + be32(1);
    return body + "\x08"s + be32(0) + "\x00"s;
  };
  const IoError too_deep{IoErrorKind::InvalidData, "buffered message nested more than 128 levels deep"};
  for (auto build : {+nested_structs, +nested_lists}) {
    for (std::size_t cap : {std::size_t{1}, client::kConnectionBufferSize}) {
      const std::string ok = header("m", 1, 0) + build(127);
      const std::string deep = header("m", 1, 0) + build(128);
      Conn c(cap);
      c.peer_write(ok + deep);
      EXPECT_EQ(c.recv(Side::Client, kBuffered, kBinary), Frame(ok));
      EXPECT_EQ(c.recv(Side::Client, kBuffered, kBinary), Frame(std::unexpected(too_deep)));
    }
  }
}

TEST(TransportBufferedBinary, CompactIsRefusedWithoutReading) {
  for (Side side : kSides) {
    Conn c;
    c.peer_write(kFramedPing);
    EXPECT_EQ(c.recv(side, kBuffered, kCompact),
              Frame(std::unexpected(IoError{
                  IoErrorKind::InvalidInput,
                  "buffered RPC transport currently supports Binary and JSON protocols"})));
    EXPECT_EQ(c.recv(side, kFramed, kCompact), Frame(kPing));
  }
}

// The two building blocks on their own, leaving what follows in the buffer.
TEST(TransportBufferedBinary, StructBodyAndValueEntryPoints) {
  const std::string map_value = "\x0b\x08"s + be32(2) + str("k") + be32(1) + str("l") + be32(2);
  const std::string body = field(8, 1) + be32(5) + field(15, 2) + "\x02" + be32(2) + "\x01\x00\x00"s;
  for (std::size_t cap : kCapacities) {
    SCOPED_TRACE("capacity " + std::to_string(cap));
    Conn c(cap);
    c.peer_write(map_value + body + "tail");
    std::string out = "pre";
    ASSERT_TRUE(c.run(client::read_buffered_value_async(c.reader, out, 13)));
    EXPECT_EQ(out, "pre" + map_value);
    out.clear();
    ASSERT_TRUE(c.run(server::read_buffered_struct_body_async(c.reader, out)));
    EXPECT_EQ(out, body);
    out.clear();
    ASSERT_TRUE(c.run(client::read_buffered_value_async(c.reader, out, 8)));
    EXPECT_EQ(out, "tail");
  }
  for (Side side : kSides) {
    Conn c;
    c.peer_write("x");
    std::string out;
    const IoStatus r = side == Side::Client ? c.run(client::read_buffered_value_async(c.reader, out, 7))
                                            : c.run(server::read_buffered_value_async(c.reader, out, 7));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, side == Side::Client ? "Unknown field type byte 0x07"
                                                   : "Unknown field type byte 0x07 in buffered stream");
    EXPECT_EQ(c.reader.buffered().size() + c.ours.available(), 1u);  // nothing was read
  }
}

// ---------------------------------------------------------------------------
// Error mapping

TEST(IoErrorMap, OsErrorsReadAsThePlatformsMessages) {
  struct Case {
    int code;
    IoErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {ECONNRESET, IoErrorKind::ConnectionReset, "Connection reset by peer (os error 104)"},
      {EPIPE, IoErrorKind::BrokenPipe, "Broken pipe (os error 32)"},
      {ECONNREFUSED, IoErrorKind::ConnectionRefused, "Connection refused (os error 111)"},
      {ETIMEDOUT, IoErrorKind::TimedOut, "Connection timed out (os error 110)"},
      {EINVAL, IoErrorKind::InvalidInput, "Invalid argument (os error 22)"},
      {ECANCELED, IoErrorKind::Other, "Operation canceled (os error 125)"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(client::io_error_from(std::error_code(k.code, std::system_category())),
              (IoError{k.kind, k.text}));
  }
  EXPECT_EQ(client::io_error_from(asio::error::operation_aborted).text,
            "Operation canceled (os error 125)");
}

TEST(IoErrorMap, ResolverAndEndOfStreamErrors) {
  EXPECT_EQ(client::io_error_from(asio::error::host_not_found),
            (IoError{IoErrorKind::Other,
                     "failed to lookup address information: Name or service not known"}));
  EXPECT_EQ(client::io_error_from(asio::error::host_not_found_try_again).text,
            "failed to lookup address information: Temporary failure in name resolution");
  EXPECT_EQ(client::io_error_from(asio::error::eof),
            (IoError{IoErrorKind::UnexpectedEof, "unexpected end of file"}));
}

}  // namespace
