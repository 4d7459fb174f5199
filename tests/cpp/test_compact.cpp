#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codec_test_support.hpp"
#include "protocol/compact.hpp"

namespace {

using namespace brovane::protocol;
using namespace std::string_literals;
using codec_test::hex;

static_assert(InputProtocol<CompactProtocolReader>);
static_assert(OutputProtocol<CompactProtocolWriter>);

// "82 21 00" -> bytes.
std::string unhex(std::string_view text) {
  std::string out;
  int nibbles = 0;
  unsigned acc = 0;
  for (char c : text) {
    if (c == ' ') continue;
    const unsigned v = c <= '9' ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
    acc = acc << 4 | v;
    if (++nibbles == 2) {
      out += static_cast<char>(acc);
      nibbles = 0;
      acc = 0;
    }
  }
  return out;
}

std::string type_name(TType t) {
  switch (t) {
    case TType::Stop: return "Stop";
    case TType::Void: return "Void";
    case TType::Bool: return "Bool";
    case TType::I08: return "I08";
    case TType::Double: return "Double";
    case TType::I16: return "I16";
    case TType::I32: return "I32";
    case TType::I64: return "I64";
    case TType::String: return "String";
    case TType::Struct: return "Struct";
    case TType::Map: return "Map";
    case TType::Set: return "Set";
    case TType::List: return "List";
  }
  return "type" + std::to_string(to_byte(t));
}

// The error with its I/O kind, which the display text alone does not show.
std::string show_error(const ProtocolError& e) {
  if (!e.is_io()) return "ERR " + e.display();
  switch (e.io_error().kind) {
    case IoErrorKind::UnexpectedEof: return "ERR eof: " + e.io_error().text;
    case IoErrorKind::InvalidData: return "ERR invalid data: " + e.io_error().text;
    default: return "ERR other: " + e.io_error().text;
  }
}

std::string show_double(double d) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", d);
  return text;
}

// One operation of either side with the value it writes; reading renders the
// result as text, and so does the step itself, so that a written sequence
// read back must render the same.
enum class Op {
  Message, MessageEnd, StructBegin, StructEnd, Field, FieldEnd, Stop, List, ListEnd, Set, SetEnd,
  Map, MapEnd, Bool, I8, I16, I32, I64, Double, String, Binary, StringView, BinaryView,
};

struct Step {
  Op op;
  MessageHeader message{};
  FieldHeader field{};
  ListHeader list{};
  MapHeader map{};
  std::int64_t i = 0;
  double d = 0;
  std::string s{};
};

Step msg(std::string name, std::uint8_t type, std::int32_t seqid) {
  return {.op = Op::Message, .message = {std::move(name), MessageType{type}, seqid}};
}
Step fld(TType t, std::int16_t id) { return {.op = Op::Field, .field = {t, id}}; }
Step lst(TType t, std::int32_t n) { return {.op = Op::List, .list = {t, n}}; }
Step set(TType t, std::int32_t n) { return {.op = Op::Set, .list = {t, n}}; }
Step map(TType k, TType v, std::int32_t n) { return {.op = Op::Map, .map = {k, v, n}}; }
Step bol(bool v) { return {.op = Op::Bool, .i = v}; }
Step i8(std::int8_t v) { return {.op = Op::I8, .i = v}; }
Step i16(std::int16_t v) { return {.op = Op::I16, .i = v}; }
Step i32(std::int32_t v) { return {.op = Op::I32, .i = v}; }
Step i64(std::int64_t v) { return {.op = Op::I64, .i = v}; }
Step dbl(double v) { return {.op = Op::Double, .d = v}; }
Step str(std::string v) { return {.op = Op::String, .s = std::move(v)}; }
Step bin(std::string v) { return {.op = Op::Binary, .s = std::move(v)}; }
Step str_view(std::string v) { return {.op = Op::StringView, .s = std::move(v)}; }
Step bin_view(std::string v) { return {.op = Op::BinaryView, .s = std::move(v)}; }
Step op(Op o) { return {.op = o}; }
const Step kStructBegin = op(Op::StructBegin);
const Step kStructEnd = op(Op::StructEnd);
const Step kStop = op(Op::Stop);

PStatus write_step(CompactProtocolWriter& w, const Step& s) {
  switch (s.op) {
    case Op::Message: return w.write_message_begin(s.message);
    case Op::MessageEnd: return w.write_message_end();
    case Op::StructBegin: return w.write_struct_begin();
    case Op::StructEnd: return w.write_struct_end();
    case Op::Field: return w.write_field_begin(s.field);
    case Op::FieldEnd: return w.write_field_end();
    case Op::Stop: return w.write_field_stop();
    case Op::List: return w.write_list_begin(s.list);
    case Op::ListEnd: return w.write_list_end();
    case Op::Set: return w.write_set_begin(s.list);
    case Op::SetEnd: return w.write_set_end();
    case Op::Map: return w.write_map_begin(s.map);
    case Op::MapEnd: return w.write_map_end();
    case Op::Bool: return w.write_bool(s.i != 0);
    case Op::I8: return w.write_i8(static_cast<std::int8_t>(s.i));
    case Op::I16: return w.write_i16(static_cast<std::int16_t>(s.i));
    case Op::I32: return w.write_i32(static_cast<std::int32_t>(s.i));
    case Op::I64: return w.write_i64(s.i);
    case Op::Double: return w.write_double(s.d);
    case Op::String: case Op::StringView: return w.write_string(s.s);
    case Op::Binary: case Op::BinaryView: return w.write_binary(s.s);
  }
  return {};
}

std::string show_message(const MessageHeader& h) {
  return "msg '" + h.name + "' type " + std::to_string(static_cast<int>(h.message_type)) +
         " seqid " + std::to_string(h.seqid);
}
std::string show_field(const FieldHeader& h) {
  return "field " + type_name(h.field_type) + " " + std::to_string(h.id);
}
std::string show_list(const char* what, const ListHeader& h) {
  return what + (" " + type_name(h.element_type)) + " " + std::to_string(h.size);
}
std::string show_map(const MapHeader& h) {
  return "map " + type_name(h.key_type) + " " + type_name(h.value_type) + " " +
         std::to_string(h.size);
}

// What a step is expected to read back as; empty for operations that yield
// nothing.
std::string expected_text(const Step& s) {
  switch (s.op) {
    case Op::Message: return show_message(s.message);
    case Op::Field: return show_field(s.field);
    case Op::Stop: return "field Stop 0";
    case Op::List: return show_list("list", s.list);
    case Op::Set: return show_list("set", s.list);
    // An empty map carries no types byte and reads back as Stop, Stop.
    case Op::Map: return s.map.size == 0 ? "map Stop Stop 0" : show_map(s.map);
    case Op::Bool: return s.i ? "true" : "false";
    case Op::I8: case Op::I16: case Op::I32: case Op::I64: return std::to_string(s.i);
    case Op::Double: return show_double(s.d);
    case Op::String: case Op::StringView: return "'" + s.s + "'";
    case Op::Binary: case Op::BinaryView: return "[" + hex(s.s) + "]";
    default: return "";
  }
}

template <class T, class F>
std::string show(const PResult<T>& r, F&& fmt) {
  if (!r) return show_error(r.error());
  return fmt(*r);
}
std::string show(const PStatus& r) { return r ? "" : show_error(r.error()); }

std::string read_step(CompactProtocolReader& r, Op o) {
  auto num = [](auto v) { return std::to_string(v); };
  switch (o) {
    case Op::Message: return show(r.read_message_begin(), show_message);
    case Op::MessageEnd: return show(r.read_message_end());
    case Op::StructBegin: return show(r.read_struct_begin());
    case Op::StructEnd: return show(r.read_struct_end());
    case Op::Field: case Op::Stop: return show(r.read_field_begin(), show_field);
    case Op::FieldEnd: return show(r.read_field_end());
    case Op::List: return show(r.read_list_begin(), [](auto& h) { return show_list("list", h); });
    case Op::ListEnd: return show(r.read_list_end());
    case Op::Set: return show(r.read_set_begin(), [](auto& h) { return show_list("set", h); });
    case Op::SetEnd: return show(r.read_set_end());
    case Op::Map: return show(r.read_map_begin(), show_map);
    case Op::MapEnd: return show(r.read_map_end());
    case Op::Bool: return show(r.read_bool(), [](bool v) { return v ? "true"s : "false"s; });
    case Op::I8: return show(r.read_i8(), num);
    case Op::I16: return show(r.read_i16(), num);
    case Op::I32: return show(r.read_i32(), num);
    case Op::I64: return show(r.read_i64(), num);
    case Op::Double: return show(r.read_double(), show_double);
    case Op::String: return show(r.read_string(), [](auto& v) { return "'" + v + "'"; });
    case Op::Binary: return show(r.read_binary(), [](auto& v) { return "[" + hex(v) + "]"; });
    case Op::StringView:
      return show(r.read_string_view(), [](auto v) { return "'" + std::string(v) + "'"; });
    case Op::BinaryView:
      return show(r.read_binary_view(), [](auto v) { return "[" + hex(v) + "]"; });
  }
  return "?";
}

// Reads the steps' operations in order; the rendered results joined by " | ",
// ending at the first error.
std::string read_all(CompactProtocolReader& r, const std::vector<Op>& ops) {
  std::string out;
  for (Op o : ops) {
    const std::string got = read_step(r, o);
    if (got.empty()) continue;
    if (!out.empty()) out += " | ";
    out += got;
    if (got.starts_with("ERR ")) break;
  }
  return out;
}

std::vector<Op> ops_of(const std::vector<Step>& steps) {
  std::vector<Op> ops;
  for (const auto& s : steps) ops.push_back(s.op);
  return ops;
}

std::string expected_all(const std::vector<Step>& steps) {
  std::string out;
  for (const auto& s : steps) {
    const std::string e = expected_text(s);
    if (e.empty()) continue;
    if (!out.empty()) out += " | ";
    out += e;
  }
  return out;
}

std::string write_all(const std::vector<Step>& steps, FieldIdStack ids = {0}) {
  CompactProtocolWriter w(std::move(ids));
  for (const auto& s : steps) {
    const auto r = write_step(w, s);
    EXPECT_TRUE(r.has_value()) << show_error(r.error());
  }
  return w.take();
}

// Steps written, then read back by the same operations: the bytes must be
// `expected_hex` and every value must come back.
struct GoldenCase {
  const char* what;
  std::vector<Step> steps;
  std::string expected_hex;
};

void check_golden(const GoldenCase& c) {
  const std::string bytes = write_all(c.steps);
  EXPECT_EQ(hex(bytes), c.expected_hex) << c.what;
  CompactProtocolReader r(bytes, {0});
  EXPECT_EQ(read_all(r, ops_of(c.steps)), expected_all(c.steps)) << c.what;
  EXPECT_EQ(r.remaining(), 0u) << c.what;
}

TEST(CompactCodec, GoldenBytes) {
  const GoldenCase cases[] = {
      {"ping call", {msg("ping", 1, 0)}, "82 21 00 08 70 69 6E 67"},
      {"reply with seqid 1", {msg("add", 2, 1)}, "82 41 02 06 61 64 64"},
      {"exception, negative seqid", {msg("foo", 3, -1)}, "82 61 01 06 66 6F 6F"},
      {"add reply body", {msg("add", 2, 1), fld(TType::I32, 0), i32(42), kStop},
       "82 41 02 06 61 64 64 05 00 00 54 00"},
      {"i32 field 1 = 42", {fld(TType::I32, 1), i32(42), kStop}, "15 54 00"},
      {"ids 1, 20, 21",
       {fld(TType::I32, 1), i32(0), fld(TType::I32, 20), i32(0), fld(TType::I32, 21), i32(0), kStop},
       "15 00 05 00 14 00 15 00 00"},
      {"field id 0 is long form", {fld(TType::I32, 0), i32(1)}, "05 00 00 02"},
      {"negative id is long form", {fld(TType::I64, -2), i64(1)}, "06 FF FE 02"},
      {"delta of 15 is short, 16 long",
       {fld(TType::I08, 15), i8(1), fld(TType::I08, 31), i8(2)}, "F3 01 03 00 1F 02"},
      {"descending ids are long form", {fld(TType::I16, 5), i16(1), fld(TType::I16, 4), i16(1)},
       "54 02 04 00 04 02"},
      {"bool field 2 true after field 1",
       {fld(TType::I32, 1), i32(0), fld(TType::Bool, 2), bol(true), kStop}, "15 00 11 00"},
      {"first bool field false", {fld(TType::Bool, 1), bol(false)}, "12"},
      {"long-form bool field", {fld(TType::Bool, 300), bol(true), fld(TType::Bool, 301), bol(false)},
       "01 01 2C 12"},
      {"list of 3 i32", {lst(TType::I32, 3), i32(1), i32(-1), i32(2)}, "35 02 01 04"},
      {"list of 14 is short", {lst(TType::I08, 14)}, "E3"},
      {"list of 15 i32", {lst(TType::I32, 15)}, "F5 1E"},
      {"list of 20 i32", {lst(TType::I32, 20)}, "F5 28"},
      {"empty list of strings", {lst(TType::String, 0)}, "08"},
      {"set header as list", {set(TType::Struct, 2)}, "2C"},
      {"list of bools", {lst(TType::Bool, 2), bol(true), bol(false)}, "21 01 02"},
      {"container codes",
       {lst(TType::Double, 1), lst(TType::List, 1), lst(TType::Set, 1), lst(TType::Map, 1),
        lst(TType::I16, 1), lst(TType::I64, 1)},
       "17 19 1A 1B 14 16"},
      {"map of 2 string to i32", {map(TType::String, TType::I32, 2)}, "04 85"},
      {"empty map", {map(TType::String, TType::I32, 0)}, "00"},
      {"map of bool to struct", {map(TType::Bool, TType::Struct, 1)}, "02 1C"},
      {"map of 64", {map(TType::I64, TType::Double, 64)}, "80 01 67"},
      {"i32 -64", {i32(-64)}, "7F"},
      {"i32 63", {i32(63)}, "7E"},
      {"i32 64", {i32(64)}, "80 01"},
      {"i32 extremes", {i32(std::numeric_limits<std::int32_t>::min()), i32(2147483647)},
       "FF FF FF FF 0F FE FF FF FF 0F"},
      {"i16 extremes", {i16(-32768), i16(32767)}, "FF FF 03 FE FF 03"},
      {"i8 is a raw byte", {i8(-1), i8(127)}, "FF 7F"},
      {"i64 -1", {i64(-1)}, "01"},
      {"i64 extremes",
       {i64(std::numeric_limits<std::int64_t>::min()), i64(std::numeric_limits<std::int64_t>::max())},
       "FF FF FF FF FF FF FF FF FF 01 FE FF FF FF FF FF FF FF FF 01"},
      {"string hi", {str("hi")}, "04 68 69"},
      {"empty string", {str("")}, "00"},
      {"binary", {bin("\xFF\x00"s)}, "04 FF 00"},
      {"views", {str_view("ok"), bin_view("\x80"s)}, "04 6F 6B 02 80"},
      {"double 1.5", {dbl(1.5)}, "3F F8 00 00 00 00 00 00"},
      {"struct nesting restarts deltas",
       {fld(TType::Struct, 1), kStructBegin, fld(TType::I32, 1), i32(0), kStop, kStructEnd,
        fld(TType::I32, 2), i32(0), kStop},
       "1C 15 00 00 15 00 00"},
      {"no-op operations",
       {op(Op::MessageEnd), op(Op::FieldEnd), op(Op::ListEnd), op(Op::SetEnd), op(Op::MapEnd)}, ""},
  };
  for (const auto& c : cases) check_golden(c);
}

// Each point where this encoding departs from the published Thrift Compact
// protocol, shown on both sides (the published encoding in the comment).
TEST(CompactCodec, DifferencesFromPublishedCompact) {
  std::string s64_hex = "80 01";
  for (int i = 0; i < 64; ++i) s64_hex += " 61";
  const GoldenCase cases[] = {
      // Published: plain varint 40.
      {"string length is zigzag", {str(std::string(64, 'a'))}, s64_hex},
      // Published: 03 78 79 7A.
      {"binary length is zigzag", {bin("xyz")}, "06 78 79 7A"},
      // Published: F5 0F.
      {"list size above 14 is zigzag", {lst(TType::I32, 15)}, "F5 1E"},
      {"set size above 14 is zigzag", {set(TType::I32, 100)}, "F5 C8 01"},
      // Published: 02 85.
      {"map size is zigzag", {map(TType::String, TType::I32, 2)}, "04 85"},
      // Published: 82 21 FF FF FF FF 0F 03 ...
      {"seqid and name length are zigzag", {msg("abc", 1, -1)}, "82 21 01 06 61 62 63"},
      // Published: zigzag varint 28 for id 20.
      {"long-form id is 2 bytes big-endian", {fld(TType::I32, 20), i32(0)}, "05 00 14 00"},
      // Published: little-endian 00 00 00 00 00 00 00 C0.
      {"double is big-endian", {dbl(-2.0)}, "C0 00 00 00 00 00 00 00"},
      // Published: long form, as the id is below the last one.
      {"delta wraps modulo 65536",
       {fld(TType::I32, 32767), i32(0), fld(TType::I32, -32768), i32(0)}, "05 7F FF 00 15 00"},
  };
  for (const auto& c : cases) check_golden(c);

  // Published readers refuse varints of more than 5 (10) bytes; here the
  // groups keep coming and wrap round the width.
  struct ReadCase {
    const char* what;
    const char* input;
    std::vector<Op> ops;
    const char* expected;
  };
  const ReadCase reads[] = {
      {"6-byte i32 varint, last byte at bit 3", "FF FF FF FF FF 01", {Op::I32}, "-2147483648"},
      {"6-byte varint whose last bits differ", "80 80 80 80 80 01", {Op::I32}, "4"},
      {"20-byte varint", "80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 80 02", {Op::I32},
       // Byte 19 lands at bit (19 * 7) % 32 = 5: 2 << 5 = 64 -> zigzag 32.
       "32"},
      {"11-byte i64 varint", "80 80 80 80 80 80 80 80 80 80 01", {Op::I64},
       // Byte 10 lands at bit 70 % 64 = 6.
       "32"},
      {"long string length", "84 80 80 80 80 00 68 69", {Op::String}, "'hi'"},
      {"long list size", "F5 86 80 80 80 80 80 00", {Op::List}, "list I32 3"},
      // Published: valid types.
      {"field nibble 13", "1D", {Op::Field}, "ERR Invalid field type"},
      {"field nibble 14", "0E 00 01", {Op::Field}, "ERR Invalid field type"},
      {"list nibble 15", "1F", {Op::List}, "ERR Invalid field type"},
      {"map value nibble 13", "02 8D", {Op::Map}, "ERR Invalid field type"},
      {"map key nibble 14", "02 E8", {Op::Map}, "ERR Invalid field type"},
      {"delta wraps modulo 65536", "05 7F FF 00 15", {Op::Field, Op::I32, Op::Field},
       "field I32 32767 | 0 | field I32 -32768"},
  };
  for (const auto& c : reads) {
    const std::string input = unhex(c.input);
    CompactProtocolReader r(input, {0});
    EXPECT_EQ(read_all(r, c.ops), c.expected) << c.what;
  }

  // No limit at all: 10000 continuation bytes, then the last group, which
  // lands at bit (10000 * 7) % 32 = 16 of an i32 and (10000 * 7) % 64 = 48
  // of an i64.
  std::string endless(10000, '\x80');
  endless += '\x01';
  CompactProtocolReader r32(endless, {0});
  EXPECT_EQ(r32.read_i32().value(), (1 << 16) / 2);
  CompactProtocolReader r64(endless, {0});
  EXPECT_EQ(r64.read_i64().value(), (std::int64_t{1} << 48) / 2);
  endless.pop_back();
  CompactProtocolReader unterminated(endless, {0});
  EXPECT_EQ(show(unterminated.read_i64(), [](auto v) { return std::to_string(v); }),
            "ERR eof: failed to fill whole buffer");
  EXPECT_EQ(unterminated.remaining(), 0u);
}

struct ReadCase {
  const char* what;
  const char* input;
  std::vector<Op> ops;
  const char* expected;
  std::size_t consumed;  // position afterwards
};

TEST(CompactReader, Table) {
  constexpr const char* kEof = "ERR eof: failed to fill whole buffer";
  const ReadCase cases[] = {
      {"reply", "82 41 00 00", {Op::Message}, "msg '' type 2 seqid 0", 4},
      {"message type 7", "82 E1 00 00", {Op::Message}, "msg '' type 7 seqid 0", 4},
      {"bad protocol id", "81 21 00 00", {Op::Message}, "ERR invalid data: Bad protocol id", 1},
      {"binary message", "80 01 00 01", {Op::Message}, "ERR invalid data: Bad protocol id", 1},
      {"bad version", "82 22 00 00", {Op::Message}, "ERR invalid data: Bad protocol version", 2},
      {"version 0", "82 20 00 00", {Op::Message}, "ERR invalid data: Bad protocol version", 2},
      {"empty message", "", {Op::Message}, "ERR eof: failed to fill whole buffer", 0},
      {"only protocol id", "82", {Op::Message}, kEof, 1},
      {"seqid cut inside varint", "82 21 80", {Op::Message}, kEof, 3},
      {"no name", "82 21 00", {Op::Message}, kEof, 3},
      {"name cut short", "82 21 00 08 70 69", {Op::Message}, kEof, 6},
      {"negative name length", "82 21 00 01", {Op::Message},
       "ERR invalid data: negative length: -1", 4},
      {"invalid utf-8 name", "82 21 00 02 FF", {Op::Message},
       "ERR invalid data: invalid utf-8 sequence of 1 bytes from index 0", 5},

      {"field byte 10 is a stop", "10", {Op::Field}, "field Stop 0", 1},
      {"stop leaves the last id alone", "F0 15", {Op::Field, Op::Field}, "field Stop 0 | field I32 1",
       2},
      {"every type nibble",
       "11 12 13 14 15 16 17 18 19 1A 1B 1C",
       {Op::Field, Op::Field, Op::Field, Op::Field, Op::Field, Op::Field, Op::Field, Op::Field,
        Op::Field, Op::Field, Op::Field, Op::Field},
       "field Bool 1 | field Bool 2 | field I08 3 | field I16 4 | field I32 5 | field I64 6 | "
       "field Double 7 | field String 8 | field List 9 | field Set 10 | field Map 11 | "
       "field Struct 12",
       12},
      {"id read before the type is refused", "0D 00", {Op::Field}, kEof, 2},
      {"field nibble 15", "FF", {Op::Field}, "ERR Invalid field type", 1},
      {"long id cut short", "05 00", {Op::Field}, kEof, 2},
      {"no field byte", "", {Op::Field}, kEof, 0},
      {"delta wraps past 32767", "05 7F FF F5", {Op::Field, Op::Field},
       "field I32 32767 | field I32 -32754", 4},

      {"bool header value, then none pending", "11 01 00 02",
       {Op::Field, Op::Bool, Op::Bool, Op::Bool, Op::Bool},
       "field Bool 1 | true | true | false | false", 4},
      {"false header", "12", {Op::Field, Op::Bool}, "field Bool 1 | false", 1},
      {"bool element bytes", "01 02 00 FF", {Op::Bool, Op::Bool, Op::Bool, Op::Bool},
       "true | false | false | false", 4},
      {"pending bool outlives other reads", "11 02", {Op::Field, Op::I32, Op::Bool},
       "field Bool 1 | 1 | true", 2},
      {"next bool header replaces the pending one", "11 12", {Op::Field, Op::Field, Op::Bool},
       "field Bool 1 | field Bool 2 | false", 2},
      {"no bool byte", "", {Op::Bool}, kEof, 0},

      {"list of stop", "30", {Op::List}, "list Stop 3", 1},
      {"list of bool (2)", "22", {Op::List}, "list Bool 2", 1},
      {"negative list size", "F5 01", {Op::List}, "list I32 -1", 2},
      {"size read before the nibble is refused", "FD 80", {Op::List}, kEof, 2},
      {"size read, then nibble refused", "FD 02", {Op::List}, "ERR Invalid field type", 2},
      {"set", "F9 80 01", {Op::Set}, "set List 64", 3},
      {"no list byte", "", {Op::Set}, kEof, 0},

      {"empty map", "00", {Op::Map}, "map Stop Stop 0", 1},
      {"empty map reads no types byte", "00 FF", {Op::Map}, "map Stop Stop 0", 1},
      {"map of stop types", "02 00", {Op::Map}, "map Stop Stop 1", 2},
      {"negative map size", "01 89", {Op::Map}, "map String List -1", 2},
      {"map without types byte", "04", {Op::Map}, kEof, 1},
      {"map size cut", "FF", {Op::Map}, kEof, 1},

      {"i16 truncated to 16 bits", "80 80 08", {Op::I16}, "0", 3},
      {"i16 -1", "01", {Op::I16}, "-1", 1},
      {"i16 of 70000", "E0 C5 08", {Op::I16}, "4464", 3},
      {"i32 cut inside varint", "80 80", {Op::I32}, kEof, 2},
      {"i64 cut inside varint", "FF FF FF FF FF FF FF FF FF", {Op::I64}, kEof, 9},
      {"no i8 byte", "", {Op::I8}, kEof, 0},
      {"i8", "80", {Op::I8}, "-128", 1},
      {"short double", "3F F8 00", {Op::Double}, kEof, 3},
      {"double -0", "80 00 00 00 00 00 00 00", {Op::Double}, "-0", 8},

      {"string longer than input", "0A 61 62", {Op::String}, kEof, 3},
      {"huge string length", "FE FF FF FF 0F 61", {Op::String}, kEof, 6},
      {"huge binary length", "FE FF FF FF 0F", {Op::BinaryView}, kEof, 5},
      {"negative string length", "01 61", {Op::String}, "ERR invalid data: negative length: -1", 1},
      {"most negative length", "FF FF FF FF 0F", {Op::Binary},
       "ERR invalid data: negative length: -2147483648", 5},
      {"length cut inside varint", "80", {Op::Binary}, kEof, 1},
      {"invalid utf-8", "04 FF FE", {Op::String},
       "ERR invalid data: invalid utf-8 sequence of 1 bytes from index 0", 3},
      {"incomplete utf-8", "02 C3", {Op::StringView},
       "ERR invalid data: incomplete utf-8 byte sequence from index 0", 2},
      {"binary is not checked", "04 FF FE", {Op::Binary}, "[FF FE]", 3},
      {"utf-8 string", "04 C3 A9", {Op::String}, "'\xC3\xA9'", 3},
  };
  for (const auto& c : cases) {
    const std::string input = unhex(c.input);
    CompactProtocolReader r(input, {0});
    EXPECT_EQ(read_all(r, c.ops), c.expected) << c.what;
    EXPECT_EQ(r.position(), c.consumed) << c.what;
  }
}

TEST(CompactReader, TypeNibbleErrorKind) {
  const std::string input = unhex("1D");
  CompactProtocolReader r(input, {0});
  const auto f = r.read_field_begin();
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().kind(), ProtocolError::Kind::InvalidFieldType);
  EXPECT_EQ(f.error().display(), "Invalid field type");
}

TEST(CompactReader, LastFieldIdStack) {
  // [0, 0] as the serialisation entry points start: the body's ids count
  // from the top entry, a nested struct from a fresh 0, and the outer count
  // resumes after it.
  const std::string input = unhex("15 02 3C 25 04 00 15 06 00");
  CompactProtocolReader r(input, {0, 0});
  EXPECT_EQ(r.last_field_ids().size(), 2u);
  EXPECT_EQ(read_all(r, {Op::Field, Op::I32, Op::Field, Op::StructBegin, Op::Field, Op::I32,
                         Op::Stop, Op::StructEnd, Op::Field, Op::I32, Op::Stop}),
            "field I32 1 | 1 | field Struct 4 | field I32 2 | 2 | field Stop 0 | field I32 5 | 3 | "
            "field Stop 0");
  ASSERT_EQ(r.last_field_ids().size(), 2u);
  EXPECT_EQ(r.last_field_ids()[1], 5);
  EXPECT_EQ(r.last_field_ids()[0], 0);

  // Popping past the bottom is harmless; a field header with no open struct
  // is an orderly error, while a stop needs no struct.
  ASSERT_TRUE(r.read_struct_end().has_value());
  ASSERT_TRUE(r.read_struct_end().has_value());
  ASSERT_TRUE(r.read_struct_end().has_value());
  EXPECT_TRUE(r.last_field_ids().empty());
  const std::string more = unhex("00 15");
  CompactProtocolReader empty(more, {});
  EXPECT_EQ(read_all(empty, {Op::Field, Op::Field}),
            "field Stop 0 | ERR invalid data: field header outside of a struct");

  // The pending bool is visible until read_bool takes it.
  const std::string b = unhex("12");
  CompactProtocolReader br(b, {0});
  EXPECT_FALSE(br.pending_bool().has_value());
  ASSERT_TRUE(br.read_field_begin().has_value());
  EXPECT_EQ(br.pending_bool(), std::optional<bool>(false));
  EXPECT_EQ(br.read_bool().value(), false);
  EXPECT_FALSE(br.pending_bool().has_value());
}

TEST(CompactReader, LengthCheckedBeforeAllocating) {
  for (const char* text : {"FE FF FF FF 0F 61 62", "80 80 80 08 61", "FE FF FF FF FF FF FF 0F"}) {
    const std::string input = unhex(text);
    codec_test::expect_length_checked_before_allocating([&] { return CompactProtocolReader(input, {0}); },
                                                        text);
  }
}

TEST(CompactReader, ViewsPointIntoTheInput) {
  const std::string input = unhex("06 61 62 63 04 FF 00");
  CompactProtocolReader r(input, {0});
  const auto s = r.read_string_view();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, "abc");
  EXPECT_EQ(s->data(), input.data() + 1);
  const auto b = r.read_binary_view();
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(*b, "\xFF\x00"s);
  EXPECT_EQ(b->data(), input.data() + 5);
}

TEST(CompactReader, ConstructsOverBytes) {
  const std::byte raw[] = {std::byte{0x80}, std::byte{0x01}, std::byte{0x7F}};
  CompactProtocolReader from_span(std::span<const std::byte>(raw), {0});
  EXPECT_EQ(from_span.read_i32().value(), 64);
  CompactProtocolReader from_pointer(reinterpret_cast<const char*>(raw) + 2, 1, {0});
  EXPECT_EQ(from_pointer.read_i64().value(), -64);
  EXPECT_EQ(from_pointer.remaining(), 0u);
  const std::vector<std::int16_t> ids = {0, 7};
  CompactProtocolReader from_vector(std::string_view{}, std::span<const std::int16_t>(ids));
  EXPECT_EQ(from_vector.last_field_ids()[1], 7);
}

TEST(CompactWriter, StackAndPendingBool) {
  CompactProtocolWriter w({0, 0});
  ASSERT_TRUE(w.write_field_begin({TType::Bool, 3}).has_value());
  EXPECT_EQ(w.pending_bool_field(), std::optional<std::int16_t>(3));
  EXPECT_EQ(w.output(), "");  // the header waits for the value
  ASSERT_TRUE(w.write_bool(true).has_value());
  EXPECT_FALSE(w.pending_bool_field().has_value());
  EXPECT_EQ(w.last_field_ids()[1], 3);
  EXPECT_EQ(w.last_field_ids()[0], 0);
  ASSERT_TRUE(w.write_struct_end().has_value());
  ASSERT_TRUE(w.write_struct_end().has_value());
  ASSERT_TRUE(w.write_struct_end().has_value());  // nothing on an empty stack
  EXPECT_TRUE(w.last_field_ids().empty());

  // With no open struct a field header is refused, bool or not, and nothing
  // is written.
  const auto plain = w.write_field_begin({TType::I32, 1});
  ASSERT_FALSE(plain.has_value());
  EXPECT_EQ(show_error(plain.error()), "ERR invalid data: field header outside of a struct");
  EXPECT_FALSE(w.write_field_begin({TType::Bool, 1}).has_value());
  EXPECT_EQ(hex(w.output()), "31");

  // A pending Bool field whose struct was closed before the value came.
  CompactProtocolWriter closed({0});
  ASSERT_TRUE(closed.write_field_begin({TType::Bool, 1}).has_value());
  ASSERT_TRUE(closed.write_struct_end().has_value());
  EXPECT_FALSE(closed.write_bool(true).has_value());
}

TEST(CompactWriter, NegativeSizesRoundTrip) {
  // (size << 4) of a negative size would overwrite the long-form marker; the
  // long form carries it instead.
  const std::vector<Step> steps = {lst(TType::I32, -1), set(TType::I08, -20),
                                   map(TType::I32, TType::I32, -3)};
  const std::string bytes = write_all(steps);
  EXPECT_EQ(hex(bytes), "F5 01 F3 27 05 55");
  CompactProtocolReader r(bytes, {0});
  EXPECT_EQ(read_all(r, ops_of(steps)), expected_all(steps));
}

// No caller writes Stop or Void as an element type, and neither has a nibble
// of its own: both go out as nibble 0 and read back as Stop, as does any
// byte that is no type code.
TEST(CompactWriter, TypesWithoutNibble) {
  const std::string bytes =
      write_all({lst(TType::Stop, 1), set(TType::Void, 2), map(TType::Void, TType{5}, 1),
                 lst(TType{200}, 0)});
  EXPECT_EQ(hex(bytes), "10 20 02 00 00");
  CompactProtocolReader r(bytes, {0});
  EXPECT_EQ(read_all(r, {Op::List, Op::Set, Op::Map, Op::List}),
            "list Stop 1 | set Stop 2 | map Stop Stop 1 | list Stop 0");
}

TEST(CompactWriter, MessageTypeKeptToEightBits) {
  CompactProtocolWriter w({0});
  ASSERT_TRUE(w.write_message_begin({"", MessageType{9}, 0}).has_value());
  EXPECT_EQ(hex(w.output()), "82 21 00 00");
}

TEST(CompactWriter, BufferOwnership) {
  CompactProtocolWriter appending("head"s, {0});
  ASSERT_TRUE(appending.write_i32(-1).has_value());
  EXPECT_EQ(appending.take(), "head\x01");
  EXPECT_EQ(appending.output(), "");

  // Growth from a tiny reserve keeps every byte in order.
  CompactProtocolWriter w(std::size_t{1}, {0});
  std::vector<Step> steps;
  for (std::int32_t i = 0; i < 3000; ++i) {
    steps.push_back(i32(i * 977));
    steps.push_back(str(std::string(static_cast<std::size_t>(i % 150), 'x')));
  }
  for (const auto& s : steps) ASSERT_TRUE(write_step(w, s).has_value());
  const std::string bytes = w.take();
  CompactProtocolReader r(bytes, {0});
  EXPECT_EQ(read_all(r, ops_of(steps)), expected_all(steps));
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(CompactWriter, RefusesLengthsBeyondI32) {
  CompactProtocolWriter w({0});
  codec_test::expect_refuses_lengths_beyond_i32(w);
}

// A message that uses every operation, with nested structs and containers.
std::vector<Step> sample_message() {
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  return {
      msg("m\xC3\xA9thod", 4, -7),
      kStructBegin,
      fld(TType::Bool, 1), bol(true), op(Op::FieldEnd),
      fld(TType::Bool, 2), bol(false), op(Op::FieldEnd),
      fld(TType::List, 40), lst(TType::Double, 4), dbl(1.5), dbl(-0.0),
      dbl(std::numeric_limits<double>::infinity()), dbl(5e-324), op(Op::ListEnd),
      op(Op::FieldEnd),
      fld(TType::Set, 41), set(TType::Bool, 3), bol(true), bol(false), bol(true), op(Op::SetEnd),
      fld(TType::Map, 42), map(TType::String, TType::I64, 2), str("k"), i64(-1),
      str_view("\xE2\x82\xAC"), i64(1LL << 40), op(Op::MapEnd),
      fld(TType::Map, 43), map(TType::I32, TType::I16, 0), op(Op::MapEnd),
      fld(TType::Struct, -5), kStructBegin,
      fld(TType::I08, 1), i8(-128),
      fld(TType::I16, 7), i16(-300),
      fld(TType::Bool, 8), bol(true),
      fld(TType::String, 9), bin(all_bytes.substr(0, 40)),
      fld(TType::List, 10), lst(TType::String, 16),
      str(""), str("a"), str("bc"), str("def"), str("x"), str("y"), str("z"), str("w"),
      str("1"), str("2"), str("3"), str("4"), str("5"), str("6"), str("7"), bin_view("\x80"s),
      op(Op::ListEnd),
      kStop, kStructEnd,
      fld(TType::I32, 32767), i32(std::numeric_limits<std::int32_t>::min()),
      fld(TType::I64, -32768), i64(std::numeric_limits<std::int64_t>::max()),
      kStop, kStructEnd, op(Op::MessageEnd),
  };
}

TEST(CompactRoundTrip, EveryOperation) {
  const auto steps = sample_message();
  const std::string bytes = write_all(steps);
  CompactProtocolReader r(bytes, {0});
  EXPECT_EQ(read_all(r, ops_of(steps)), expected_all(steps));
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_EQ(r.last_field_ids().size(), 1u);

  // NaN keeps its bit pattern.
  const double nan = std::bit_cast<double>(0x7FF8000000000123ull);
  const std::string nb = write_all({dbl(nan)});
  CompactProtocolReader nr(nb, {0});
  EXPECT_EQ(std::bit_cast<std::uint64_t>(nr.read_double().value()), 0x7FF8000000000123ull);
}

TEST(CompactRoundTrip, IntegersAndIds) {
  std::mt19937_64 rng(12345);
  std::vector<Step> steps;
  for (int i = 0; i < 4000; ++i) {
    const std::uint64_t x = rng();
    const int bits = static_cast<int>(x % 64);
    std::uint64_t u = rng() >> (63 - bits);
    if ((x >> 7) & 1) u = 0 - u;
    const std::int64_t v = static_cast<std::int64_t>(u);
    steps.push_back(fld(TType::I64, static_cast<std::int16_t>(rng())));
    steps.push_back(i64(v));
    steps.push_back(fld(TType::I32, static_cast<std::int16_t>(rng() % 40)));
    steps.push_back(i32(static_cast<std::int32_t>(v)));
    steps.push_back(i16(static_cast<std::int16_t>(v)));
    steps.push_back(lst(TType::I32, static_cast<std::int32_t>(v)));
    steps.push_back(map(TType::I32, TType::I64, static_cast<std::int32_t>(v >> 3)));
  }
  const std::string bytes = write_all(steps);
  CompactProtocolReader r(bytes, {0});
  EXPECT_EQ(read_all(r, ops_of(steps)), expected_all(steps));
}

TEST(CompactRoundTrip, DeepNesting) {
  // Deeper than the stack keeps inline: entries move to the heap and back
  // out in order.
  constexpr int kDepth = 200;
  std::vector<Step> steps;
  for (int d = 0; d < kDepth; ++d) {
    steps.push_back(fld(TType::Struct, static_cast<std::int16_t>(d + 1)));
    steps.push_back(kStructBegin);
  }
  for (int d = kDepth - 1; d >= 0; --d) {
    steps.push_back(fld(TType::I32, static_cast<std::int16_t>(d + 2)));
    steps.push_back(i32(d));
    steps.push_back(kStop);
    steps.push_back(kStructEnd);
  }
  const std::string bytes = write_all(steps);
  CompactProtocolReader r(bytes, {0});
  EXPECT_EQ(read_all(r, ops_of(steps)), expected_all(steps));
  EXPECT_EQ(r.last_field_ids().size(), 1u);
  EXPECT_EQ(r.last_field_ids()[0], 1);
}

TEST(CompactFieldIdStack, CopyAndMove) {
  for (std::size_t n : {std::size_t{3}, std::size_t{100}}) {
    FieldIdStack a;
    for (std::size_t i = 0; i < n; ++i) a.push(static_cast<std::int16_t>(i));
    FieldIdStack copy(a);
    FieldIdStack assigned;
    assigned = a;
    FieldIdStack moved(std::move(a));
    FieldIdStack move_assigned{9};
    move_assigned = std::move(moved);
    for (const FieldIdStack* s : {&copy, &assigned, &move_assigned}) {
      ASSERT_EQ(s->size(), n);
      EXPECT_EQ(s->top(), static_cast<std::int16_t>(n - 1));
      EXPECT_EQ(s->to_vector().front(), 0);
    }
    copy.push(-1);
    EXPECT_EQ(assigned.size(), n);  // copies are independent
  }
}

// Truncating a valid message at every byte: each read before the cut gives
// its value, the first read past it fails with end of input, and nothing
// else happens.
TEST(CompactRobustness, TruncatedAtEveryByte) {
  const auto steps = sample_message();
  const auto ops = ops_of(steps);
  const std::string bytes = write_all(steps);
  const std::string full = expected_all(steps);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const std::string prefix = bytes.substr(0, cut);
    CompactProtocolReader r(prefix, {0});
    const std::string got = read_all(r, ops);
    ASSERT_TRUE(got.ends_with("ERR eof: failed to fill whole buffer")) << cut << ": " << got;
    const std::string before = got.substr(0, got.rfind("ERR"));
    EXPECT_TRUE(full.starts_with(before)) << cut;
    EXPECT_EQ(r.remaining(), 0u) << cut;
  }
}

// Skips one value by its wire type, as a schema-less reader would. Elements
// that occupy no bytes end the walk, which would otherwise spin on a huge
// count.
bool skip(CompactProtocolReader& r, TType t, int depth) {
  if (depth > 64) return false;
  switch (t) {
    case TType::Bool: return r.read_bool().has_value();
    case TType::I08: return r.read_i8().has_value();
    case TType::I16: return r.read_i16().has_value();
    case TType::I32: return r.read_i32().has_value();
    case TType::I64: return r.read_i64().has_value();
    case TType::Double: return r.read_double().has_value();
    case TType::String: return r.read_binary().has_value();
    case TType::Struct: {
      if (!r.read_struct_begin()) return false;
      for (;;) {
        const auto f = r.read_field_begin();
        if (!f) return false;
        if (f->field_type == TType::Stop) break;
        if (!skip(r, f->field_type, depth + 1)) return false;
      }
      return r.read_struct_end().has_value();
    }
    case TType::List: case TType::Set: {
      const auto h = r.read_list_begin();
      if (!h) return false;
      for (std::int32_t i = 0; i < h->size; ++i) {
        const std::size_t before = r.remaining();
        if (!skip(r, h->element_type, depth + 1) || r.remaining() == before) return false;
      }
      return true;
    }
    case TType::Map: {
      const auto h = r.read_map_begin();
      if (!h) return false;
      for (std::int32_t i = 0; i < h->size; ++i) {
        const std::size_t before = r.remaining();
        if (!skip(r, h->key_type, depth + 1) || !skip(r, h->value_type, depth + 1) ||
            r.remaining() == before)
          return false;
      }
      return true;
    }
    default: return true;
  }
}

// Every single-bit change of every byte of a valid message, read both by the
// message's own operations and by a schema-less walk: results or errors,
// never a crash or a sanitizer report.
TEST(CompactRobustness, FlippedBits) {
  const auto steps = sample_message();
  const auto ops = ops_of(steps);
  const std::string bytes = write_all(steps);
  std::size_t failures = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string mutated = bytes;
      mutated[i] = static_cast<char>(mutated[i] ^ (1 << bit));
      CompactProtocolReader scripted(mutated, {0});
      if (read_all(scripted, ops).find("ERR") != std::string::npos) ++failures;
      EXPECT_LE(scripted.position(), mutated.size());

      CompactProtocolReader walker(mutated, {0});
      if (walker.read_message_begin()) (void)skip(walker, TType::Struct, 0);
      EXPECT_LE(walker.position(), mutated.size());
    }
  }
  EXPECT_GT(failures, 0u);
}

}  // namespace
