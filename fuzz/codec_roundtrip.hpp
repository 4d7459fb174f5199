// The round trip that fuzz_binary, fuzz_compact and fuzz_json check: the
// input is read as a message (header and argument struct) and, separately,
// as a bare struct, by the fixed schema of value_tree.hpp. Whatever decodes
// must re-encode with the same codec's writer and decode again to the same
// value; the re-encoding is then a fixed point.
//
// Binary and Compact must give back exactly the first value (doubles
// bitwise). JSON has two documented losses, which normalize_json applies:
// non-finite doubles print as 0, and map keys that print alike collapse.
#pragma once

#include <string>
#include <string_view>

#include "check.hpp"
#include "value_tree.hpp"

namespace brovane::fuzz {

template <Codec C>
struct CodecTypes;
template <>
struct CodecTypes<Codec::Binary> {
  using Reader = protocol::BinaryProtocolReader;
  using Writer = protocol::BinaryProtocolWriter;
  // A message body is read and written without struct begin/end.
  static Reader reader(std::string_view in, bool) { return Reader(in); }
  static Writer writer(bool) { return Writer(); }
};
template <>
struct CodecTypes<Codec::Compact> {
  using Reader = protocol::CompactProtocolReader;
  using Writer = protocol::CompactProtocolWriter;
  // The callers' initial last-field-id stacks: [0] under a message header,
  // [0, 0] for a bare struct.
  static Reader reader(std::string_view in, bool message) {
    return message ? Reader(in, protocol::FieldIdStack{0}) : Reader(in, protocol::FieldIdStack{0, 0});
  }
  static Writer writer(bool message) {
    return message ? Writer(protocol::FieldIdStack{0}) : Writer(protocol::FieldIdStack{0, 0});
  }
};
template <>
struct CodecTypes<Codec::Json> {
  using Reader = protocol::JSONProtocolReader;
  using Writer = protocol::JSONProtocolWriter;
  static Reader reader(std::string_view in, bool) { return Reader(in); }
  static Writer writer(bool) { return Writer(); }
};

struct Message {
  MessageHeader header;
  Value body;
};

inline bool same(const Message& x, const Message& y) { return x.header == y.header && same(x.body, y.body); }
inline std::string text(const Message& m) {
  return "[" + m.header.name + " type " + std::to_string(static_cast<int>(m.header.message_type)) + " seqid " +
         std::to_string(m.header.seqid) + "] " + text(m.body);
}

template <Codec C>
PResult<Message> decode_message(std::string_view in) {
  auto r = CodecTypes<C>::reader(in, true);
  Message m;
  m.header = BRV_TRY(r.read_message_begin());
  // JSON pushes the body's frame in read_message_begin; the others need
  // nothing for it.
  Decoder d(r);
  BRV_TRY_VOID(d.read_fields(m.body, 1));
  BRV_TRY_VOID(r.read_message_end());
  return m;
}

template <Codec C>
PResult<Value> decode_struct(std::string_view in) {
  auto r = CodecTypes<C>::reader(in, false);
  Value v;
  if constexpr (C == Codec::Json) BRV_TRY_VOID(r.read_struct_begin());
  Decoder d(r);
  BRV_TRY_VOID(d.read_fields(v, 1));
  BRV_TRY_VOID(r.read_struct_end());
  return v;
}

template <Codec C>
PResult<std::string> encode_message(const Message& m) {
  auto w = CodecTypes<C>::writer(true);
  Encoder e(w);
  BRV_TRY_VOID(w.write_message_begin(m.header));
  // JSON ends the body with write_message_end alone.
  if constexpr (C == Codec::Json) BRV_TRY_VOID(w.write_struct_begin());
  BRV_TRY_VOID(e.write_fields(m.body));
  BRV_TRY_VOID(w.write_message_end());
  return w.take();
}

template <Codec C>
PResult<std::string> encode_struct(const Value& v) {
  auto w = CodecTypes<C>::writer(false);
  Encoder e(w);
  if constexpr (C == Codec::Json) BRV_TRY_VOID(w.write_struct_begin());
  BRV_TRY_VOID(e.write_fields(v));
  if constexpr (C == Codec::Json) BRV_TRY_VOID(w.write_struct_end());
  return w.take();
}

inline Message normalize_json(const Message& m) { return Message{m.header, normalize_json_struct(m.body)}; }
inline Value normalize_json(const Value& v) { return normalize_json_struct(v); }

template <class T>
std::string error_text(const PResult<T>& r) {
  return r ? std::string("ok") : r.error().display();
}

// decode(x) -> v1 -> encode -> t1 -> decode -> v2 (-> t2 -> v3 -> t3 for JSON).
template <Codec C, class T, class Decode, class Encode>
void check_round_trip(std::string_view input, Decode decode, Encode encode) {
  const PResult<T> v1 = decode(input);
  if (!v1) {
    FUZZ_CHECK(!v1.error().display().empty());
    return;
  }
  const PResult<std::string> t1 = encode(*v1);
  FUZZ_CHECK_MSG(t1.has_value(), "encoding a decoded value failed: " + error_text(t1));
  const PResult<T> v2 = decode(*t1);
  FUZZ_CHECK_MSG(v2.has_value(), "re-decoding failed: " + error_text(v2) + "\n  value " + text(*v1) +
                                     "\n  encoded " + hex(*t1));
  const PResult<std::string> t2 = encode(*v2);
  FUZZ_CHECK(t2.has_value());
  if constexpr (C == Codec::Json) {
    const T want = normalize_json(*v1);
    FUZZ_CHECK_MSG(same(*v2, want), "decoded " + text(*v2) + "\n  expected " + text(want) + "\n  from " + *t1);
    const PResult<T> v3 = decode(*t2);
    FUZZ_CHECK(v3.has_value());
    FUZZ_CHECK_MSG(same(*v3, normalize_json(*v2)), "second round: " + text(*v3) + "\n  from " + *t2);
    const PResult<std::string> t3 = encode(*v3);
    FUZZ_CHECK(t3.has_value());
    FUZZ_CHECK_MSG(*t3 == *t2, "not a fixed point:\n  " + *t2 + "\n  " + *t3);
  } else {
    FUZZ_CHECK_MSG(same(*v2, *v1), "decoded " + text(*v2) + "\n  expected " + text(*v1) + "\n  from " + hex(*t1));
    FUZZ_CHECK_MSG(*t2 == *t1, "not a fixed point:\n  " + hex(*t1) + "\n  " + hex(*t2));
  }
}

template <Codec C>
void check_codec(std::string_view input) {
  check_round_trip<C, Message>(input, decode_message<C>, encode_message<C>);
  check_round_trip<C, Value>(input, decode_struct<C>, encode_struct<C>);
}

}  // namespace brovane::fuzz
