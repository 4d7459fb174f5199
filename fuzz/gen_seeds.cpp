// Writes the generated part of the seed corpora: messages and structs of the
// fuzz schema in each codec (with every type, nesting, unknown fields and the
// values each codec treats specially), the same bytes framed for the
// transport targets, and JSON texts and base64 from them. The vectors taken
// from the unit tests are extracted by make_seeds.py.
//
// Usage: gen_seeds <corpus dir>   (writes <corpus dir>/<target>/gen-*)
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "codec_roundtrip.hpp"

namespace {

using namespace brovane::fuzz;
namespace fs = std::filesystem;

fs::path g_root;

void write_seed(const std::string& target, const std::string& name, std::string_view bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream(dir / ("gen-" + name), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Value scalar(Kind k, std::int64_t i) {
  Value v;
  v.kind = k;
  v.i = i;
  return v;
}
Value dbl(double d) {
  Value v;
  v.kind = Kind::Double;
  v.d = d;
  return v;
}
Value str(Kind k, std::string s) {
  Value v;
  v.kind = k;
  v.s = std::move(s);
  return v;
}
Value container(Kind k, std::vector<Value> items) {
  Value v;
  v.kind = k;
  v.items = std::move(items);
  return v;
}
Value field(std::int16_t id, Value v) {
  v.field_id = id;
  return v;
}
Value node(std::vector<Value> fields) { return container(Kind::Struct, std::move(fields)); }

// Every field of the schema once, with a nested node in the struct slots.
Value full_node(int depth, bool json) {
  std::vector<Value> f;
  f.push_back(field(1, scalar(Kind::Bool, 1)));
  f.push_back(field(2, scalar(Kind::Byte, -7)));
  f.push_back(field(3, scalar(Kind::I16, 300)));
  f.push_back(field(4, scalar(Kind::I32, -100000)));
  f.push_back(field(5, scalar(Kind::I64, std::numeric_limits<std::int64_t>::min())));
  f.push_back(field(6, dbl(0.1)));
  f.push_back(field(7, str(Kind::String, "h\xC3\xA9llo \"q\"\n")));
  f.push_back(field(8, str(Kind::Binary, std::string("\x00\xFF\x80", 3))));
  f.push_back(field(9, container(Kind::List, {scalar(Kind::I32, 1), scalar(Kind::I32, -1)})));
  f.push_back(field(10, container(Kind::Set, {str(Kind::String, "a"), str(Kind::String, "b")})));
  f.push_back(field(11, container(Kind::Map, {str(Kind::String, "k"), scalar(Kind::I64, 1LL << 40)})));
  if (depth > 0) f.push_back(field(12, full_node(depth - 1, json)));
  f.push_back(field(13, container(Kind::List, {node({}), node({field(4, scalar(Kind::I32, 5))})})));
  f.push_back(field(14, container(Kind::Map, {scalar(Kind::I16, -2), container(Kind::List, {dbl(1.5), dbl(-0.0)})})));
  f.push_back(field(15, container(Kind::Map, {str(Kind::Binary, "\x01"), scalar(Kind::Bool, 0)})));
  f.push_back(field(16, container(Kind::List, {scalar(Kind::Bool, 1), scalar(Kind::Bool, 0)})));
  f.push_back(field(17, container(Kind::Set, {str(Kind::Binary, "")})));
  f.push_back(field(18, container(Kind::Map, {dbl(2.0), node({field(1, scalar(Kind::Bool, 0))})})));
  f.push_back(field(19, container(Kind::Map, {scalar(Kind::Bool, 1), scalar(Kind::Byte, 127)})));
  f.push_back(field(20, container(Kind::Map, {scalar(Kind::Byte, -128), scalar(Kind::I32, 7)})));
  f.push_back(field(21, container(Kind::Map, {scalar(Kind::I32, 10), str(Kind::String, "ten")})));
  f.push_back(field(22, scalar(Kind::Bool, 0)));
  f.push_back(field(40, container(Kind::List, {container(Kind::List, {container(Kind::Map, {scalar(Kind::I64, -1),
                                                                                              str(Kind::String, "")})})})));
  f.push_back(field(41, container(Kind::Set, {container(Kind::List, {scalar(Kind::I32, 3)})})));
  f.push_back(field(300, scalar(Kind::I32, 300)));
  f.push_back(field(-5, str(Kind::String, "neg")));
  f.push_back(field(32767, scalar(Kind::Bool, 1)));
  if (!json) {
    f.push_back(field(50, container(Kind::Map, {container(Kind::List, {scalar(Kind::I32, 1)}), node({})})));
    f.push_back(field(51, container(Kind::Map, {node({field(2, scalar(Kind::Byte, 1))}), str(Kind::String, "v")})));
  }
  return node(std::move(f));
}

// Doubles and map keys that the codecs treat specially.
Value edge_node() {
  std::vector<Value> f;
  f.push_back(field(6, dbl(std::numeric_limits<double>::quiet_NaN())));
  f.push_back(field(14, container(Kind::Map, {scalar(Kind::I16, 1), container(Kind::List, {dbl(INFINITY), dbl(1e300)}),
                                              scalar(Kind::I16, 1), container(Kind::List, {})})));
  f.push_back(field(18, container(Kind::Map, {dbl(NAN), node({}), dbl(0.0), node({}), dbl(-0.0), node({})})));
  f.push_back(field(21, container(Kind::Map, {scalar(Kind::I32, 1), str(Kind::String, "a"), scalar(Kind::I32, 1),
                                              str(Kind::String, "b")})));
  return node(std::move(f));
}

Value deep_node(int depth) {
  Value v = node({field(4, scalar(Kind::I32, depth))});
  for (int k = 0; k < depth; ++k) v = node({field(12, std::move(v))});
  return v;
}

std::string must(const PResult<std::string>& r) {
  if (!r) {
    std::fprintf(stderr, "encoding a seed failed: %s\n", r.error().display().c_str());
    std::exit(1);
  }
  return *r;
}

struct Seeds {
  std::vector<std::pair<std::string, std::string>> messages;  // name, bytes
  std::vector<std::pair<std::string, std::string>> structs;
};

template <Codec C>
Seeds codec_seeds(const std::string& target) {
  const bool json = C == Codec::Json;
  Seeds s;
  const std::vector<std::pair<std::string, Value>> values = {
      {"empty", node({})}, {"full", full_node(2, json)}, {"edge", edge_node()}, {"deep", deep_node(20)}};
  const brovane::protocol::MessageType types[] = {brovane::protocol::MessageType::Call,
                                                  brovane::protocol::MessageType::Reply,
                                                  brovane::protocol::MessageType::Exception,
                                                  brovane::protocol::MessageType::Oneway};
  int k = 0;
  for (const auto& [name, v] : values) {
    const Message m{MessageHeader{"method_" + name, types[k % 4], k * 1000 - 1}, v};
    s.messages.emplace_back("msg-" + name, must(encode_message<C>(m)));
    s.structs.emplace_back("struct-" + name, must(encode_struct<C>(v)));
    ++k;
  }
  for (const auto& [name, bytes] : s.messages) write_seed(target, name, bytes);
  for (const auto& [name, bytes] : s.structs) write_seed(target, name, bytes);
  return s;
}

// Fields the schema does not declare, to be skipped: every wire type.
template <class W>
std::string unknown_fields(W w, bool json) {
  using brovane::protocol::TType;
  if (json) (void)w.write_struct_begin();
  auto fh = [&](TType t, std::int16_t id) { (void)w.write_field_begin(FieldHeader{t, id}); };
  fh(TType::I32, 1000), (void)w.write_i32(5), (void)w.write_field_end();
  fh(TType::Bool, 1001), (void)w.write_bool(true), (void)w.write_field_end();
  fh(TType::String, 1002), (void)w.write_binary("\xFF"), (void)w.write_field_end();
  fh(TType::Struct, 1003), (void)w.write_struct_begin();
  fh(TType::Double, 1), (void)w.write_double(2.5), (void)w.write_field_end();
  (void)w.write_field_stop(), (void)w.write_struct_end(), (void)w.write_field_end();
  fh(TType::List, 1004), (void)w.write_list_begin(ListHeader{TType::I64, 2}), (void)w.write_i64(1),
      (void)w.write_i64(2), (void)w.write_list_end(), (void)w.write_field_end();
  fh(TType::Map, 1005), (void)w.write_map_begin(MapHeader{TType::I16, TType::I08, 1}), (void)w.write_i16(3),
      (void)w.write_i8(4), (void)w.write_map_end(), (void)w.write_field_end();
  fh(TType::I32, 4), (void)w.write_i32(42), (void)w.write_field_end();
  (void)w.write_field_stop();
  if (json) (void)w.write_struct_end();
  return w.take();
}

std::string be32(std::size_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
}

// The transport targets' four header bytes (see transport_harness.hpp).
std::string head(unsigned mode, bool server, bool reset, std::uint8_t capacity, std::uint8_t chunks,
                 std::uint8_t param = 0) {
  const auto flags = static_cast<char>((server ? 1 : 0) | (reset ? 2 : 0) | (mode << 2));
  return {flags, static_cast<char>(capacity), static_cast<char>(chunks), static_cast<char>(param)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];

  const Seeds binary = codec_seeds<Codec::Binary>("fuzz_binary");
  const Seeds compact = codec_seeds<Codec::Compact>("fuzz_compact");
  const Seeds json = codec_seeds<Codec::Json>("fuzz_json");
  write_seed("fuzz_binary", "unknown-fields", unknown_fields(brovane::protocol::BinaryProtocolWriter(), false));
  write_seed("fuzz_compact", "unknown-fields",
             unknown_fields(brovane::protocol::CompactProtocolWriter(brovane::protocol::FieldIdStack{0, 0}), false));
  write_seed("fuzz_json", "unknown-fields", unknown_fields(brovane::protocol::JSONProtocolWriter(), true));
  // Map keys that read as one key (the writer collapses them), scalars of
  // the wrong kind, counts that differ from the items, non-finite doubles.
  write_seed("fuzz_json", "colliding-keys",
             R"({"19":["map",["tf","i8",3,{"1":1,"true":2,"x":3}]],"21":["map",["i32","str",2,{"01":"a","1":"b"}]],)"
             R"("18":["map",["dbl","rec",2,{"1":{},"1.0":{"4":["i32",4]}}]]})");
  write_seed("fuzz_json", "lenient-scalars",
             R"({"1":["tf",true],"2":["i8",300],"4":["i32","7"],"5":["i64",-5],"6":["dbl","-Infinity"],)"
             R"("7":["str",5],"9":["lst",["i32",1,1,2,3]],"+3":["i16",2],"abc":["i32",1]})");
  write_seed("fuzz_json", "message-lenient", R"([1,7,3.5,4294967297,{"6":["dbl","nan"]},"extra"])");

  // Framed: several messages in a row, a zero length, a short frame.
  std::string frames;
  for (const auto& [name, bytes] : binary.messages) frames += be32(bytes.size()) + bytes;
  const std::string& small = binary.messages[0].second;
  write_seed("fuzz_transport_framed", "client-frames", head(0, false, false, 5, 3) + frames);
  write_seed("fuzz_transport_framed", "server-frames-big-buffer", head(0, true, false, 0xFF, 0) + frames);
  write_seed("fuzz_transport_framed", "zero-then-frame", head(0, true, false, 2, 1) + be32(0) + be32(small.size()) + small);
  write_seed("fuzz_transport_framed", "short-frame", head(0, false, true, 7, 0) + be32(small.size() + 10) + small);
  write_seed("fuzz_transport_framed", "json-frames",
             head(0, false, false, 10, 4, 2) + be32(json.messages[1].second.size()) + json.messages[1].second);

  // Buffered: Binary messages, JSON messages, Compact, struct bodies, values.
  std::string binary_stream, json_stream;
  for (const auto& [name, bytes] : binary.messages) binary_stream += bytes;
  for (const auto& [name, bytes] : json.messages) json_stream += " \n" + bytes;
  write_seed("fuzz_transport_buffered", "binary-client", head(0, false, false, 3, 5) + binary_stream);
  write_seed("fuzz_transport_buffered", "binary-server", head(1, true, false, 0xFF, 0) + binary_stream);
  write_seed("fuzz_transport_buffered", "binary-server-partial", head(2, true, false, 1, 1) + small.substr(0, 3));
  write_seed("fuzz_transport_buffered", "json-client", head(3, false, false, 4, 7) + json_stream);
  write_seed("fuzz_transport_buffered", "json-server-strings",
             head(4, true, true, 9, 2) + "[1,\"a]}\\\"[\",{\"1\":[\"str\",\"}\"]}]");
  write_seed("fuzz_transport_buffered", "compact", head(5, false, false, 8, 0) + compact.messages[0].second);
  write_seed("fuzz_transport_buffered", "struct-body", head(6, false, false, 6, 3) + binary.structs[1].second);
  write_seed("fuzz_transport_buffered", "value-struct", head(7, true, false, 6, 3, 12) + binary.structs[3].second);
  write_seed("fuzz_transport_buffered", "value-i64", head(7, false, false, 2, 1, 10) + std::string(8, '\x01'));

  // JSON texts: the JSON protocol's own output is JSON text.
  for (const auto& [name, bytes] : json.messages) write_seed("fuzz_json_text", name, bytes);
  for (const auto& [name, bytes] : json.structs) write_seed("fuzz_json_text", name, bytes);

  // base64: encodings of bytes of each length modulo 3, and the raw bytes.
  for (std::string_view b : {std::string_view(""), std::string_view("f"), std::string_view("fo"),
                             std::string_view("foo"), std::string_view("\xFF\xFE\x00\x01", 4)}) {
    write_seed("fuzz_base64", "enc-" + std::to_string(b.size()), brovane::protocol::base64_encode(b));
  }
  write_seed("fuzz_base64", "raw-binary", binary.structs[1].second.substr(0, 64));
  return 0;
}
