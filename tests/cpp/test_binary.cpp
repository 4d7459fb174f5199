#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "codec_test_support.hpp"
#include "protocol/binary.hpp"

namespace {

using namespace brovane::protocol;
using namespace std::string_literals;
using codec_test::hex;

static_assert(InputProtocol<BinaryProtocolReader>);
static_assert(OutputProtocol<BinaryProtocolWriter>);

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

// A compact text form of each result, so that one table covers every read.
template <class T>
std::string show(const PResult<T>& r, std::string (*fmt)(const T&)) {
  if (!r) return "error: " + r.error().display();
  return fmt(*r);
}

using Read = std::function<std::string(BinaryProtocolReader&)>;

const Read kMessage = [](BinaryProtocolReader& r) {
  return show<MessageHeader>(r.read_message_begin(), [](const MessageHeader& h) {
    return "message " + h.name + " type " + std::to_string(static_cast<int>(h.message_type)) +
           " seqid " + std::to_string(h.seqid);
  });
};
const Read kField = [](BinaryProtocolReader& r) {
  return show<FieldHeader>(r.read_field_begin(), [](const FieldHeader& h) {
    return "field type " + std::to_string(to_byte(h.field_type)) + " id " + std::to_string(h.id);
  });
};
const Read kList = [](BinaryProtocolReader& r) {
  return show<ListHeader>(r.read_list_begin(), [](const ListHeader& h) {
    return "list " + std::to_string(to_byte(h.element_type)) + " size " + std::to_string(h.size);
  });
};
const Read kSet = [](BinaryProtocolReader& r) {
  return show<ListHeader>(r.read_set_begin(), [](const ListHeader& h) {
    return "set " + std::to_string(to_byte(h.element_type)) + " size " + std::to_string(h.size);
  });
};
const Read kMap = [](BinaryProtocolReader& r) {
  return show<MapHeader>(r.read_map_begin(), [](const MapHeader& h) {
    return "map " + std::to_string(to_byte(h.key_type)) + " " + std::to_string(to_byte(h.value_type)) +
           " size " + std::to_string(h.size);
  });
};
const Read kBool = [](BinaryProtocolReader& r) {
  return show<bool>(r.read_bool(), [](const bool& v) { return v ? "true"s : "false"s; });
};
const Read kI8 = [](BinaryProtocolReader& r) {
  return show<std::int8_t>(r.read_i8(), [](const std::int8_t& v) { return std::to_string(v); });
};
const Read kI16 = [](BinaryProtocolReader& r) {
  return show<std::int16_t>(r.read_i16(), [](const std::int16_t& v) { return std::to_string(v); });
};
const Read kI32 = [](BinaryProtocolReader& r) {
  return show<std::int32_t>(r.read_i32(), [](const std::int32_t& v) { return std::to_string(v); });
};
const Read kI64 = [](BinaryProtocolReader& r) {
  return show<std::int64_t>(r.read_i64(), [](const std::int64_t& v) { return std::to_string(v); });
};
const Read kDouble = [](BinaryProtocolReader& r) {
  return show<double>(r.read_double(), [](const double& v) { return std::to_string(v); });
};
const Read kString = [](BinaryProtocolReader& r) {
  return show<std::string>(r.read_string(), [](const std::string& v) { return "'" + v + "'"; });
};
const Read kBinary = [](BinaryProtocolReader& r) {
  return show<std::string>(r.read_binary(), [](const std::string& v) { return "[" + hex(v) + "]"; });
};

struct ReadCase {
  const char* what;
  std::string input;
  const Read* read;
  std::string expected;
  std::size_t consumed;  // position afterwards
};

TEST(BinaryReader, Table) {
  const std::string ping = bytes({0x80, 0x01, 0x00, 0x01, 0, 0, 0, 4, 'p', 'i', 'n', 'g', 0, 0, 0, 7});
  const ReadCase cases[] = {
      {"call", ping, &kMessage, "message ping type 1 seqid 7", 16},
      {"third version byte ignored",
       bytes({0x80, 0x01, 0x7F, 0x01, 0, 0, 0, 1, 'x', 0xFF, 0xFF, 0xFF, 0xFE}), &kMessage,
       "message x type 1 seqid -2", 13},
      {"message type unchecked", bytes({0x80, 0x01, 0x00, 0x09, 0, 0, 0, 0, 0, 0, 0, 0}), &kMessage,
       "message  type 9 seqid 0", 12},
      {"unversioned", bytes({0, 0, 0, 4, 'p', 'i', 'n', 'g', 0, 0, 0, 0}), &kMessage,
       "error: IO error: Bad version: 0x00000004", 4},
      {"wrong version", bytes({0x80, 0x02, 0x00, 0x01}), &kMessage,
       "error: IO error: Bad version: 0x80020001", 4},
      {"short version word", bytes({0x80, 0x01, 0x00}), &kMessage,
       "error: IO error: failed to fill whole buffer", 3},
      {"negative name length", bytes({0x80, 0x01, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}),
       &kMessage, "error: IO error: negative length: -1", 8},
      {"bad utf-8 name", bytes({0x80, 0x01, 0x00, 0x01, 0, 0, 0, 1, 0xC3, 0, 0, 0, 0}), &kMessage,
       "error: IO error: incomplete utf-8 byte sequence from index 0", 9},
      {"missing seqid", bytes({0x80, 0x01, 0x00, 0x02, 0, 0, 0, 1, 'a', 0, 0}), &kMessage,
       "error: IO error: failed to fill whole buffer", 11},

      {"stop reads no id", bytes({0x00, 0x12, 0x34}), &kField, "field type 0 id 0", 1},
      {"void field", bytes({0x01, 0x00, 0x05}), &kField, "field type 1 id 5", 3},
      {"i32 field", bytes({0x08, 0x80, 0x00}), &kField, "field type 8 id -32768", 3},
      {"list field", bytes({0x0F, 0x7F, 0xFF}), &kField, "field type 15 id 32767", 3},
      {"type 5", bytes({0x05, 0x00, 0x01}), &kField, "error: Invalid type: 5", 1},
      {"type 7", bytes({0x07}), &kField, "error: Invalid type: 7", 1},
      {"type 9", bytes({0x09}), &kField, "error: Invalid type: 9", 1},
      {"type 16", bytes({0x10, 0x00, 0x01}), &kField, "error: Invalid type: 16", 1},
      {"type 255", bytes({0xFF}), &kField, "error: Invalid type: 255", 1},
      {"field without id", bytes({0x08, 0x00}), &kField,
       "error: IO error: failed to fill whole buffer", 2},
      {"no field byte", "", &kField, "error: IO error: failed to fill whole buffer", 0},

      {"list", bytes({0x0B, 0, 0, 0, 3}), &kList, "list 11 size 3", 5},
      {"list of stop", bytes({0x00, 0, 0, 0, 3}), &kList, "list 0 size 3", 5},
      {"negative list size", bytes({0x08, 0xFF, 0xFF, 0xFF, 0xFF}), &kList, "list 8 size -1", 5},
      {"bad element type", bytes({0x05, 0, 0, 0, 1}), &kList, "error: Invalid field type", 1},
      {"element type 16", bytes({0x10, 0, 0, 0, 1}), &kList, "error: Invalid field type", 1},
      {"short list size", bytes({0x08, 0, 0}), &kList, "error: IO error: failed to fill whole buffer", 3},
      {"set", bytes({0x0C, 0, 0, 1, 0}), &kSet, "set 12 size 256", 5},
      {"bad set type", bytes({0x09, 0, 0, 0, 1}), &kSet, "error: Invalid field type", 1},

      {"map", bytes({0x0B, 0x0C, 0, 0, 0, 2}), &kMap, "map 11 12 size 2", 6},
      {"bad key checked at once", bytes({0x07}), &kMap, "error: Invalid field type", 1},
      {"bad value", bytes({0x0B, 0x11, 0, 0, 0, 2}), &kMap, "error: Invalid field type", 2},
      {"map missing value type", bytes({0x0B}), &kMap, "error: IO error: failed to fill whole buffer", 1},

      {"bool 1", bytes({0x01}), &kBool, "true", 1},
      {"bool 0", bytes({0x00}), &kBool, "false", 1},
      {"bool 2", bytes({0x02}), &kBool, "true", 1},
      {"bool ff", bytes({0xFF}), &kBool, "true", 1},
      {"empty bool", "", &kBool, "error: IO error: failed to fill whole buffer", 0},
      {"i8", bytes({0x80}), &kI8, "-128", 1},
      {"i16", bytes({0xFF, 0xFE}), &kI16, "-2", 2},
      {"short i16", bytes({0xFF}), &kI16, "error: IO error: failed to fill whole buffer", 1},
      {"i32", bytes({0x80, 0, 0, 0}), &kI32, "-2147483648", 4},
      {"i32 ordering", bytes({0x01, 0x02, 0x03, 0x04}), &kI32, "16909060", 4},
      {"short i32", bytes({0, 0, 0}), &kI32, "error: IO error: failed to fill whole buffer", 3},
      {"i64", bytes({0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), &kI64, "9223372036854775807", 8},
      {"short i64", bytes({0, 0, 0, 0, 0, 0, 0}), &kI64, "error: IO error: failed to fill whole buffer", 7},
      {"double", bytes({0x3F, 0xF8, 0, 0, 0, 0, 0, 0}), &kDouble, "1.500000", 8},
      {"short double", bytes({0x3F, 0xF8}), &kDouble, "error: IO error: failed to fill whole buffer", 2},

      {"empty string", bytes({0, 0, 0, 0}), &kString, "''", 4},
      {"string", bytes({0, 0, 0, 2, 0xC3, 0xA9, 'z'}), &kString, "'\xC3\xA9'", 6},
      {"string longer than input", bytes({0, 0, 0, 5, 'a', 'b'}), &kString,
       "error: IO error: failed to fill whole buffer", 6},
      {"huge length", bytes({0x7F, 0xFF, 0xFF, 0xFF, 'a'}), &kString,
       "error: IO error: failed to fill whole buffer", 5},
      {"negative length", bytes({0xFF, 0xFF, 0xFF, 0xFF, 'a'}), &kString,
       "error: IO error: negative length: -1", 4},
      {"most negative length", bytes({0x80, 0, 0, 0}), &kBinary,
       "error: IO error: negative length: -2147483648", 4},
      {"short length", bytes({0, 0, 1}), &kString, "error: IO error: failed to fill whole buffer", 3},
      {"invalid utf-8", bytes({0, 0, 0, 2, 0xFF, 0xFE}), &kString,
       "error: IO error: invalid utf-8 sequence of 1 bytes from index 0", 6},
      {"incomplete utf-8", bytes({0, 0, 0, 1, 0xC3}), &kString,
       "error: IO error: incomplete utf-8 byte sequence from index 0", 5},
      {"binary is not checked", bytes({0, 0, 0, 2, 0xFF, 0xFE}), &kBinary, "[FF FE]", 6},
      {"empty binary", bytes({0, 0, 0, 0}), &kBinary, "[]", 4},
      {"binary longer than input", bytes({0, 0, 0, 3, 1}), &kBinary,
       "error: IO error: failed to fill whole buffer", 5},
  };
  for (const auto& c : cases) {
    BinaryProtocolReader r(c.input);
    EXPECT_EQ((*c.read)(r), c.expected) << c.what;
    EXPECT_EQ(r.position(), c.consumed) << c.what;
  }
}

TEST(BinaryReader, ErrorKinds) {
  auto io_kind = [](const std::string& input) {
    BinaryProtocolReader r(input);
    auto h = r.read_message_begin();
    EXPECT_FALSE(h.has_value());
    return h ? IoErrorKind::Other : h.error().io_error().kind;
  };
  EXPECT_EQ(io_kind(bytes({0x80, 0x01, 0x00})), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(io_kind(bytes({0x80, 0x02, 0x00, 0x01})), IoErrorKind::InvalidData);
  EXPECT_EQ(io_kind(bytes({0x80, 0x01, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE})), IoErrorKind::InvalidData);
  EXPECT_EQ(io_kind(bytes({0x80, 0x01, 0x00, 0x01, 0, 0, 0, 1, 0xFF, 0, 0, 0, 0})),
            IoErrorKind::InvalidData);

  const std::string bad_type = bytes({0x05});
  BinaryProtocolReader r(bad_type);
  const auto f = r.read_field_begin();
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().kind(), ProtocolError::Kind::InvalidType);
  EXPECT_EQ(f.error().type_byte(), 5);
}

TEST(BinaryReader, LengthCheckedBeforeAllocating) {
  for (const std::string& input :
       {bytes({0x7F, 0xFF, 0xFF, 0xFF, 'a', 'b'}), bytes({0x00, 0x10, 0x00, 0x00, 'a'}),
        bytes({0xFF, 0xFF, 0xFF, 0xFF})}) {
    codec_test::expect_length_checked_before_allocating([&] { return BinaryProtocolReader(input); },
                                                        hex(input));
  }
}

TEST(BinaryReader, ViewsPointIntoTheInput) {
  const std::string input = bytes({0, 0, 0, 3, 'a', 'b', 'c', 0, 0, 0, 2, 0xFF, 0x00});
  BinaryProtocolReader r(input);
  const auto s = r.read_string_view();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, "abc");
  EXPECT_EQ(s->data(), input.data() + 4);
  const auto b = r.read_binary_view();
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(*b, bytes({0xFF, 0x00}));
  EXPECT_EQ(b->data(), input.data() + 11);

  const std::string bad_input = bytes({0, 0, 0, 1, 0x80});
  BinaryProtocolReader bad(bad_input);
  EXPECT_EQ(bad.read_string_view().error().display(),
            "IO error: invalid utf-8 sequence of 1 bytes from index 0");
}

TEST(BinaryReader, ConstructsOverBytes) {
  const std::byte raw[] = {std::byte{0x00}, std::byte{0x00}, std::byte{0x01}, std::byte{0x00}};
  BinaryProtocolReader from_span{std::span<const std::byte>(raw)};
  EXPECT_EQ(from_span.read_i32().value(), 256);
  BinaryProtocolReader from_pointer(reinterpret_cast<const char*>(raw), 2);
  EXPECT_EQ(from_pointer.read_i16().value(), 0);
  EXPECT_EQ(from_pointer.remaining(), 0u);
}

TEST(BinaryReader, NoOpsConsumeNothing) {
  const std::string input = bytes({0x01});
  BinaryProtocolReader r(input);
  EXPECT_TRUE(r.read_message_end().has_value());
  EXPECT_TRUE(r.read_struct_begin().has_value());
  EXPECT_TRUE(r.read_struct_end().has_value());
  EXPECT_TRUE(r.read_field_end().has_value());
  EXPECT_TRUE(r.read_list_end().has_value());
  EXPECT_TRUE(r.read_set_end().has_value());
  EXPECT_TRUE(r.read_map_end().has_value());
  EXPECT_EQ(r.position(), 0u);
}

TEST(BinaryWriter, GoldenBytes) {
  struct Case {
    const char* what;
    std::function<void(BinaryProtocolWriter&)> write;
    std::string expected;
  };
  const Case cases[] = {
      {"ping call", [](auto& w) { (void)w.write_message_begin({"ping", MessageType::Call, 0}); },
       bytes({0x80, 0x01, 0x00, 0x01, 0, 0, 0, 4, 0x70, 0x69, 0x6E, 0x67, 0, 0, 0, 0})},
      {"raw message type", [](auto& w) { (void)w.write_message_begin({"", MessageType{0xFE}, -1}); },
       bytes({0x80, 0x01, 0x00, 0xFE, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"field", [](auto& w) { (void)w.write_field_begin({TType::I64, -2, "ignored"}); },
       bytes({0x0A, 0xFF, 0xFE})},
      {"stop", [](auto& w) { (void)w.write_field_stop(); }, bytes({0x00})},
      {"list", [](auto& w) { (void)w.write_list_begin({TType::String, 0x01020304}); },
       bytes({0x0B, 0x01, 0x02, 0x03, 0x04})},
      {"set", [](auto& w) { (void)w.write_set_begin({TType::Struct, -1}); },
       bytes({0x0C, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"map", [](auto& w) { (void)w.write_map_begin({TType::I32, TType::Map, 2}); },
       bytes({0x08, 0x0D, 0, 0, 0, 2})},
      {"bools", [](auto& w) { (void)w.write_bool(true), (void)w.write_bool(false); }, bytes({0x01, 0x00})},
      {"i8", [](auto& w) { (void)w.write_i8(-1); }, bytes({0xFF})},
      {"i16", [](auto& w) { (void)w.write_i16(0x1234); }, bytes({0x12, 0x34})},
      {"i32", [](auto& w) { (void)w.write_i32(-2); }, bytes({0xFF, 0xFF, 0xFF, 0xFE})},
      {"i64", [](auto& w) { (void)w.write_i64(0x0102030405060708); },
       bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {"double", [](auto& w) { (void)w.write_double(1.5); }, bytes({0x3F, 0xF8, 0, 0, 0, 0, 0, 0})},
      {"string", [](auto& w) { (void)w.write_string("h\xC3\xA9"); }, bytes({0, 0, 0, 3, 'h', 0xC3, 0xA9})},
      {"binary", [](auto& w) { (void)w.write_binary(bytes({0, 0xFF})); }, bytes({0, 0, 0, 2, 0, 0xFF})},
      {"empty binary", [](auto& w) { (void)w.write_binary({}); }, bytes({0, 0, 0, 0})},
      {"no-ops",
       [](auto& w) {
         (void)w.write_message_end(), (void)w.write_struct_begin(), (void)w.write_struct_end();
         (void)w.write_field_end(), (void)w.write_list_end(), (void)w.write_set_end();
         (void)w.write_map_end();
       },
       ""},
  };
  for (const auto& c : cases) {
    BinaryProtocolWriter w;
    c.write(w);
    EXPECT_EQ(hex(w.output()), hex(c.expected)) << c.what;
  }
}

TEST(BinaryWriter, BufferOwnership) {
  BinaryProtocolWriter appending("head"s);
  ASSERT_TRUE(appending.write_i16(0x4142).has_value());
  EXPECT_EQ(appending.take(), "headAB");
  EXPECT_EQ(appending.output(), "");
  ASSERT_TRUE(appending.write_i8('z').has_value());
  EXPECT_EQ(appending.take(), "z");

  // Growth from a tiny reserve keeps every byte in order.
  BinaryProtocolWriter w(std::size_t{1});
  std::string expected;
  for (std::int32_t i = 0; i < 5000; ++i) {
    ASSERT_TRUE(w.write_i32(i).has_value());
    ASSERT_TRUE(w.write_string(std::string(static_cast<std::size_t>(i % 40), 'x')).has_value());
    const std::uint32_t be = to_big_endian(static_cast<std::uint32_t>(i));
    expected.append(reinterpret_cast<const char*>(&be), 4);
    const std::uint32_t len = to_big_endian(static_cast<std::uint32_t>(i % 40));
    expected.append(reinterpret_cast<const char*>(&len), 4);
    expected.append(static_cast<std::size_t>(i % 40), 'x');
  }
  EXPECT_EQ(w.output().size(), expected.size());
  EXPECT_TRUE(w.output() == expected);
}

TEST(BinaryWriter, RefusesLengthsBeyondI32) {
  BinaryProtocolWriter w;
  codec_test::expect_refuses_lengths_beyond_i32(w);
}

TEST(BinaryRoundTrip, EveryOperation) {
  const double doubles[] = {0.0, -0.0, 1.5, -1e308, 5e-324, std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity()};
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);

  BinaryProtocolWriter w(64);
  ASSERT_TRUE(w.write_message_begin({"m\xC3\xA9thod", MessageType::Oneway, -7}).has_value());
  ASSERT_TRUE(w.write_struct_begin().has_value());
  ASSERT_TRUE(w.write_field_begin({TType::Bool, 1}).has_value());
  ASSERT_TRUE(w.write_bool(true).has_value());
  ASSERT_TRUE(w.write_field_begin({TType::List, -32768}).has_value());
  ASSERT_TRUE(w.write_list_begin({TType::Double, 7}).has_value());
  for (double d : doubles) ASSERT_TRUE(w.write_double(d).has_value());
  ASSERT_TRUE(w.write_double(std::numeric_limits<double>::quiet_NaN()).has_value());
  ASSERT_TRUE(w.write_set_begin({TType::I08, 2}).has_value());
  ASSERT_TRUE(w.write_i8(-128).has_value());
  ASSERT_TRUE(w.write_i8(127).has_value());
  ASSERT_TRUE(w.write_map_begin({TType::String, TType::I64, -5}).has_value());
  ASSERT_TRUE(w.write_i16(-32768).has_value());
  ASSERT_TRUE(w.write_i32(std::numeric_limits<std::int32_t>::min()).has_value());
  ASSERT_TRUE(w.write_i64(std::numeric_limits<std::int64_t>::min()).has_value());
  ASSERT_TRUE(w.write_i64(std::numeric_limits<std::int64_t>::max()).has_value());
  ASSERT_TRUE(w.write_string("").has_value());
  ASSERT_TRUE(w.write_string("\xF0\x9F\x98\x80 ok").has_value());
  ASSERT_TRUE(w.write_binary(all_bytes).has_value());
  ASSERT_TRUE(w.write_field_stop().has_value());
  const std::string wire = w.take();

  BinaryProtocolReader r(wire);
  EXPECT_EQ(r.read_message_begin().value(), (MessageHeader{"m\xC3\xA9thod", MessageType::Oneway, -7}));
  EXPECT_EQ(r.read_field_begin().value(), (FieldHeader{TType::Bool, 1}));
  EXPECT_EQ(r.read_bool().value(), true);
  EXPECT_EQ(r.read_field_begin().value(), (FieldHeader{TType::List, -32768}));
  EXPECT_EQ(r.read_list_begin().value(), (ListHeader{TType::Double, 7}));
  for (double d : doubles) {
    const double got = r.read_double().value();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(d));
  }
  EXPECT_TRUE(std::isnan(r.read_double().value()));
  EXPECT_EQ(r.read_set_begin().value(), (ListHeader{TType::I08, 2}));
  EXPECT_EQ(r.read_i8().value(), -128);
  EXPECT_EQ(r.read_i8().value(), 127);
  EXPECT_EQ(r.read_map_begin().value(), (MapHeader{TType::String, TType::I64, -5}));
  EXPECT_EQ(r.read_i16().value(), -32768);
  EXPECT_EQ(r.read_i32().value(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(r.read_i64().value(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(r.read_i64().value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(r.read_string().value(), "");
  EXPECT_EQ(r.read_string().value(), "\xF0\x9F\x98\x80 ok");
  EXPECT_EQ(r.read_binary().value(), all_bytes);
  EXPECT_EQ(r.read_field_begin().value(), (FieldHeader{TType::Stop, 0}));
  EXPECT_EQ(r.remaining(), 0u);
}

// Walks a value by its wire type code, as a generic reader would.
template <InputProtocol R>
PStatus walk(R& r, TType type, int depth) {
  if (depth > 16) return std::unexpected(ProtocolError::invalid_data("too deep"));
  switch (type) {
    case TType::Bool: BRV_TRY_VOID(r.read_bool()); break;
    case TType::I08: BRV_TRY_VOID(r.read_i8()); break;
    case TType::I16: BRV_TRY_VOID(r.read_i16()); break;
    case TType::I32: BRV_TRY_VOID(r.read_i32()); break;
    case TType::I64: BRV_TRY_VOID(r.read_i64()); break;
    case TType::Double: BRV_TRY_VOID(r.read_double()); break;
    case TType::String: BRV_TRY_VOID(r.read_string()); break;
    case TType::Struct: {
      BRV_TRY_VOID(r.read_struct_begin());
      for (;;) {
        const FieldHeader f = BRV_TRY(r.read_field_begin());
        if (f.field_type == TType::Stop) break;
        BRV_TRY_VOID(walk(r, f.field_type, depth + 1));
        BRV_TRY_VOID(r.read_field_end());
      }
      BRV_TRY_VOID(r.read_struct_end());
      break;
    }
    case TType::List:
    case TType::Set: {
      const ListHeader h = BRV_TRY(r.read_list_begin());
      for (std::int32_t i = 0; i < h.size; ++i) BRV_TRY_VOID(walk(r, h.element_type, depth + 1));
      break;
    }
    case TType::Map: {
      const MapHeader h = BRV_TRY(r.read_map_begin());
      for (std::int32_t i = 0; i < h.size; ++i) {
        BRV_TRY_VOID(walk(r, h.key_type, depth + 1));
        BRV_TRY_VOID(walk(r, h.value_type, depth + 1));
      }
      break;
    }
    default: break;
  }
  return {};
}

TEST(BinaryReader, EveryTruncationFailsCleanly) {
  BinaryProtocolWriter w;
  (void)w.write_message_begin({"getUser", MessageType::Reply, 42});
  (void)w.write_field_begin({TType::I32, 1});
  (void)w.write_i32(7);
  (void)w.write_field_begin({TType::String, 2});
  (void)w.write_string("n\xC3\xA4me");
  (void)w.write_field_begin({TType::List, 3});
  (void)w.write_list_begin({TType::Double, 2});
  (void)w.write_double(1.5);
  (void)w.write_double(-2.0);
  (void)w.write_field_begin({TType::Map, 4});
  (void)w.write_map_begin({TType::I16, TType::Bool, 1});
  (void)w.write_i16(3);
  (void)w.write_bool(true);
  (void)w.write_field_begin({TType::Struct, 5});
  (void)w.write_field_begin({TType::I64, 1});
  (void)w.write_i64(-1);
  (void)w.write_field_begin({TType::I08, 2});
  (void)w.write_i8(9);
  (void)w.write_field_stop();
  (void)w.write_field_stop();
  const std::string wire = w.take();

  auto read_all = [](std::string_view input, std::size_t* pos) -> PStatus {
    BinaryProtocolReader r(input);
    auto res = [&]() -> PStatus {
      BRV_TRY_VOID(r.read_message_begin());
      BRV_TRY_VOID(walk(r, TType::Struct, 0));
      return r.read_message_end();
    }();
    *pos = r.position();
    return res;
  };
  std::size_t pos = 0;
  ASSERT_TRUE(read_all(wire, &pos).has_value());
  EXPECT_EQ(pos, wire.size());
  for (std::size_t n = 0; n < wire.size(); ++n) {
    // A heap copy of exactly n bytes, so that any overread is caught.
    const std::unique_ptr<char[]> cut(new char[n ? n : 1]);
    std::memcpy(cut.get(), wire.data(), n);
    const PStatus st = read_all(std::string_view(cut.get(), n), &pos);
    ASSERT_FALSE(st.has_value()) << n;
    EXPECT_EQ(st.error().display(), "IO error: failed to fill whole buffer") << n;
    EXPECT_EQ(pos, n) << n;
  }
}

}  // namespace
