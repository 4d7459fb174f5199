#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "protocol/binary.hpp"
#include "protocol/json_reader.hpp"
#include "protocol/json_writer.hpp"

namespace {

using namespace brovane::protocol;
using namespace std::string_literals;

constexpr FieldHeader field(TType t, std::int16_t id) { return FieldHeader{t, id}; }

template <class T>
void ok(const PResult<T>& s) {
  ASSERT_TRUE(s.has_value()) << s.error().display();
}

template <class T>
T value(PResult<T> r) {
  EXPECT_TRUE(r.has_value()) << r.error().display();
  return r.has_value() ? std::move(*r) : T{};
}

template <class T>
std::string error_text(const PResult<T>& r) {
  return r.has_value() ? "no error" : r.error().display();
}

// ---------------------------------------------------------------------------
// Writer

TEST(JsonWriter, StructFieldsAreSortedByKeyText) {
  JSONProtocolWriter w;
  ok(w.write_struct_begin());
  ok(w.write_field_begin(field(TType::String, 2)));
  ok(w.write_string("x"));
  ok(w.write_field_end());
  ok(w.write_field_begin(field(TType::I32, 10)));
  ok(w.write_i32(5));
  ok(w.write_field_begin(field(TType::I32, 1)));
  ok(w.write_i32(5));
  ok(w.write_field_begin(field(TType::Bool, -1)));
  ok(w.write_bool(true));
  ok(w.write_field_begin(field(TType::Bool, 0)));
  ok(w.write_bool(false));
  ok(w.write_field_stop());
  ok(w.write_struct_end());
  EXPECT_EQ(w.output(),
            R"({"-1":["tf",1],"0":["tf",0],"1":["i32",5],"10":["i32",5],"2":["str","x"]})");
}

TEST(JsonWriter, RepeatedFieldKeepsTheLastValue) {
  JSONProtocolWriter w;
  ok(w.write_struct_begin());
  ok(w.write_field_begin(field(TType::I32, 3)));
  ok(w.write_i32(1));
  ok(w.write_field_begin(field(TType::I32, 2)));
  ok(w.write_i32(7));
  ok(w.write_field_begin(field(TType::String, 3)));
  ok(w.write_string("second"));
  ok(w.write_struct_end());
  EXPECT_EQ(w.take(), R"({"2":["i32",7],"3":["str","second"]})");
  EXPECT_EQ(w.output(), "");
}

TEST(JsonWriter, ScalarsAtTopLevel) {
  const auto text = [](auto write) {
    JSONProtocolWriter w;
    EXPECT_TRUE(write(w).has_value());
    return std::string(w.output());
  };
  EXPECT_EQ(text([](auto& w) { return w.write_bool(true); }), "1");
  EXPECT_EQ(text([](auto& w) { return w.write_i8(-128); }), "-128");
  EXPECT_EQ(text([](auto& w) { return w.write_i16(-300); }), "-300");
  EXPECT_EQ(text([](auto& w) { return w.write_i32(INT32_MIN); }), "-2147483648");
  EXPECT_EQ(text([](auto& w) { return w.write_i64(-5); }), R"("-5")");
  EXPECT_EQ(text([](auto& w) { return w.write_i64(INT64_MIN); }), R"("-9223372036854775808")");
  EXPECT_EQ(text([](auto& w) { return w.write_double(1.5); }), "1.5");
  EXPECT_EQ(text([](auto& w) { return w.write_double(1.0); }), "1.0");
  EXPECT_EQ(text([](auto& w) { return w.write_double(1e20); }), "1e20");
  EXPECT_EQ(text([](auto& w) { return w.write_double(std::nan("")); }), "0");
  EXPECT_EQ(text([](auto& w) { return w.write_double(INFINITY); }), "0");
  EXPECT_EQ(text([](auto& w) { return w.write_double(-INFINITY); }), "0");
  EXPECT_EQ(text([](auto& w) { return w.write_string("a\"\\\n\x01/\xC3\xA9"); }),
            "\"a\\\"\\\\\\n\\u0001/\xC3\xA9\"");
  EXPECT_EQ(text([](auto& w) { return w.write_binary("hi"); }), R"("aGk=")");
  EXPECT_EQ(text([](auto& w) { return w.write_binary(""); }), R"("")");
}

TEST(JsonWriter, ListsAndSets) {
  JSONProtocolWriter w;
  ok(w.write_struct_begin());
  ok(w.write_field_begin(field(TType::List, 1)));
  ok(w.write_list_begin(ListHeader{TType::I32, 3}));
  for (int i = 1; i <= 3; ++i) ok(w.write_i32(i));
  ok(w.write_list_end());
  ok(w.write_field_begin(field(TType::Set, 2)));
  ok(w.write_set_begin(ListHeader{TType::I32, 3}));
  for (int i = 1; i <= 3; ++i) ok(w.write_i32(i));
  ok(w.write_set_end());
  ok(w.write_field_begin(field(TType::List, 3)));
  ok(w.write_list_begin(ListHeader{TType::I32, 0}));
  ok(w.write_list_end());
  // The count is what was written, not what was announced.
  ok(w.write_field_begin(field(TType::List, 4)));
  ok(w.write_list_begin(ListHeader{TType::String, 5}));
  ok(w.write_string("a"));
  ok(w.write_list_end());
  ok(w.write_struct_end());
  EXPECT_EQ(w.output(),
            R"({"1":["lst",["i32",3,1,2,3]],"2":["set",["i32",3,1,2,3]],"3":["lst",["i32",0]],)"
            R"("4":["lst",["str",1,"a"]]})");
}

TEST(JsonWriter, MapsSortAndCollapseKeys) {
  const auto map_text = [](MapHeader h, auto body) {
    JSONProtocolWriter w;
    EXPECT_TRUE(w.write_map_begin(h).has_value());
    body(w);
    EXPECT_TRUE(w.write_map_end().has_value());
    return std::string(w.output());
  };
  EXPECT_EQ(map_text(MapHeader{TType::String, TType::I32, 2},
                     [](auto& w) {
                       ok(w.write_string("b"));
                       ok(w.write_i32(2));
                       ok(w.write_string("a"));
                       ok(w.write_i32(1));
                     }),
            R"(["str","i32",2,{"a":1,"b":2}])");
  EXPECT_EQ(map_text(MapHeader{TType::I32, TType::String, 2},
                     [](auto& w) {
                       ok(w.write_i32(9));
                       ok(w.write_string("nine"));
                       ok(w.write_i32(10));
                       ok(w.write_string("ten"));
                     }),
            R"(["i32","str",2,{"10":"ten","9":"nine"}])");
  EXPECT_EQ(map_text(MapHeader{TType::Bool, TType::I08, 2},
                     [](auto& w) {
                       ok(w.write_bool(true));
                       ok(w.write_i8(1));
                       ok(w.write_bool(false));
                       ok(w.write_i8(0));
                     }),
            R"(["tf","i8",2,{"0":0,"1":1}])");
  // Keys that print the same collapse to the last value; n counts texts.
  EXPECT_EQ(map_text(MapHeader{TType::I64, TType::I32, 3},
                     [](auto& w) {
                       ok(w.write_i64(7));
                       ok(w.write_i32(1));
                       ok(w.write_i64(-1));
                       ok(w.write_i32(2));
                       ok(w.write_i64(7));
                       ok(w.write_i32(3));
                     }),
            R"(["i64","i32",2,{"-1":2,"7":3}])");
  // Doubles, binary and escaped text as keys; a key without a value is lost.
  EXPECT_EQ(map_text(MapHeader{TType::Double, TType::String, 0},
                     [](auto& w) {
                       ok(w.write_double(1.5));
                       ok(w.write_binary("hi"));
                       ok(w.write_double(1.0));
                       ok(w.write_binary(""));
                       ok(w.write_double(2.0));
                     }),
            R"(["dbl","str",2,{"1.0":"","1.5":"aGk="}])");
  EXPECT_EQ(map_text(MapHeader{TType::String, TType::Bool, 1},
                     [](auto& w) {
                       ok(w.write_string("q\"\n"));
                       ok(w.write_bool(true));
                     }),
            R"(["str","tf",1,{"q\"\n":1}])");
}

TEST(JsonWriter, ContainersAsMapKeysUseTheirText) {
  JSONProtocolWriter w;
  ok(w.write_map_begin(MapHeader{TType::Struct, TType::List, 1}));
  ok(w.write_struct_begin());
  ok(w.write_field_begin(field(TType::String, 1)));
  ok(w.write_string("k"));
  ok(w.write_struct_end());
  ok(w.write_list_begin(ListHeader{TType::I64, 1}));
  ok(w.write_i64(1));
  ok(w.write_list_end());
  ok(w.write_map_end());
  EXPECT_EQ(w.output(), R"(["rec","lst",1,{"{\"1\":[\"str\",\"k\"]}":["i64",1,"1"]}])");
}

TEST(JsonWriter, NestedStructsAndContainers) {
  JSONProtocolWriter w;
  ok(w.write_struct_begin());
  ok(w.write_field_begin(field(TType::Struct, 1)));
  ok(w.write_struct_begin());
  ok(w.write_field_begin(field(TType::I64, 1)));
  ok(w.write_i64(123456789012345));
  ok(w.write_field_begin(field(TType::Double, 2)));
  ok(w.write_double(0.1));
  ok(w.write_field_stop());
  ok(w.write_struct_end());
  ok(w.write_field_begin(field(TType::List, 2)));
  ok(w.write_list_begin(ListHeader{TType::Struct, 2}));
  for (int i = 0; i < 2; ++i) {
    ok(w.write_struct_begin());
    ok(w.write_field_begin(field(TType::I16, 1)));
    ok(w.write_i16(static_cast<std::int16_t>(i)));
    ok(w.write_field_stop());
    ok(w.write_struct_end());
  }
  ok(w.write_list_end());
  ok(w.write_field_begin(field(TType::Map, 3)));
  ok(w.write_map_begin(MapHeader{TType::String, TType::Map, 1}));
  ok(w.write_string("outer"));
  ok(w.write_map_begin(MapHeader{TType::I08, TType::Set, 1}));
  ok(w.write_i8(-1));
  ok(w.write_set_begin(ListHeader{TType::String, 1}));
  ok(w.write_binary("\xFF"s));
  ok(w.write_set_end());
  ok(w.write_map_end());
  ok(w.write_map_end());
  ok(w.write_field_stop());
  ok(w.write_struct_end());
  EXPECT_EQ(w.output(),
            R"({"1":["rec",{"1":["i64","123456789012345"],"2":["dbl",0.1]}],)"
            R"("2":["lst",["rec",2,{"1":["i16",0]},{"1":["i16",1]}]],)"
            R"("3":["map",["str","map",1,{"outer":["i8","set",1,{"-1":["str",1,"/w=="]}]}]]})");
}

TEST(JsonWriter, Messages) {
  {
    JSONProtocolWriter w;
    ok(w.write_message_begin(MessageHeader{"ping", MessageType::Call, 7}));
    ok(w.write_struct_begin());
    ok(w.write_field_stop());
    ok(w.write_message_end());
    EXPECT_EQ(w.output(), R"([1,"ping",1,7,{}])");
  }
  {
    JSONProtocolWriter w;
    ok(w.write_message_begin(MessageHeader{"ping", MessageType::Reply, 7}));
    ok(w.write_struct_begin());
    ok(w.write_field_begin(field(TType::I32, 0)));
    ok(w.write_i32(5));
    ok(w.write_field_end());
    ok(w.write_field_stop());
    ok(w.write_message_end());
    EXPECT_EQ(w.output(), R"([1,"ping",2,7,{"0":["i32",5]}])");
  }
  {
    // An RPC request: header, one object of arguments, message end alone.
    JSONProtocolWriter w;
    ok(w.write_message_begin(MessageHeader{"add", MessageType::Call, 0}));
    ok(w.write_struct_begin());
    ok(w.write_field_begin(field(TType::I32, 1)));
    ok(w.write_i32(1));
    ok(w.write_field_end());
    ok(w.write_field_begin(field(TType::I32, 2)));
    ok(w.write_i32(2));
    ok(w.write_field_end());
    ok(w.write_field_stop());
    ok(w.write_message_end());
    EXPECT_EQ(w.output(), R"([1,"add",1,0,{"1":["i32",1],"2":["i32",2]}])");
  }
  {
    // Any message type byte and name pass through; the name is escaped.
    JSONProtocolWriter w;
    ok(w.write_message_begin(MessageHeader{"a\"b", static_cast<MessageType>(9), -1}));
    ok(w.write_struct_begin());
    ok(w.write_message_end());
    EXPECT_EQ(w.output(), R"([1,"a\"b",9,-1,{}])");
  }
}

TEST(JsonWriter, MessageEndWithoutMessageFrame) {
  JSONProtocolWriter w;
  ok(w.write_struct_begin());
  ok(w.write_struct_begin());
  ok(w.write_message_end());
  EXPECT_EQ(w.output(), "");
  // Both frames are gone.
  EXPECT_EQ(error_text(PResult<int>(std::unexpected(w.write_struct_end().error()))),
            "IO error: stack underflow");
}

TEST(JsonWriter, StackUnderflow) {
  {
    JSONProtocolWriter w;
    const PStatus s = w.write_struct_end();
    ASSERT_FALSE(s.has_value());
    ASSERT_TRUE(s.error().is_io());
    EXPECT_EQ(s.error().io_error().kind, IoErrorKind::Other);
    EXPECT_EQ(s.error().io_error().text, "stack underflow");
  }
  for (auto end : {&JSONProtocolWriter::write_list_end, &JSONProtocolWriter::write_set_end,
                   &JSONProtocolWriter::write_map_end, &JSONProtocolWriter::write_message_end}) {
    JSONProtocolWriter w;
    EXPECT_EQ((w.*end)().error().display(), "IO error: stack underflow");
  }
  {
    // Ending the body with write_struct_end moves it into the message frame,
    // where it is dropped, and leaves write_message_end a single frame.
    JSONProtocolWriter w;
    ok(w.write_message_begin(MessageHeader{"m", MessageType::Call, 1}));
    ok(w.write_struct_begin());
    ok(w.write_struct_end());
    EXPECT_EQ(w.write_message_end().error().display(), "IO error: stack underflow");
    EXPECT_EQ(w.output(), "");
  }
}

TEST(JsonWriter, DroppedValues) {
  JSONProtocolWriter w;
  ok(w.write_struct_begin());
  ok(w.write_i32(99));  // no field header: lost
  ok(w.write_field_begin(field(TType::I32, 1)));
  ok(w.write_i32(1));
  ok(w.write_i32(2));  // the pending field was used up
  ok(w.write_struct_end());
  EXPECT_EQ(w.output(), R"({"1":["i32",1]})");

  // Values written straight into a message frame are dropped too; a closed
  // message frame becomes its four-element header.
  JSONProtocolWriter m;
  ok(m.write_list_begin(ListHeader{TType::List, 1}));
  ok(m.write_message_begin(MessageHeader{"x", MessageType::Oneway, 3}));
  ok(m.write_i32(5));
  ok(m.write_list_end());
  ok(m.write_list_end());
  EXPECT_EQ(m.output(), R"(["lst",1,[1,"x",4,3]])");
}

TEST(JsonWriter, SuccessiveTopLevelValuesAppend) {
  JSONProtocolWriter w("prefix:"s);
  ok(w.write_i32(1));
  ok(w.write_struct_begin());
  ok(w.write_struct_end());
  ok(w.write_string("s"));
  EXPECT_EQ(w.take(), R"(prefix:1{}"s")");
  // The writer is reusable after take(), its frame buffers included.
  for (int round = 0; round < 3; ++round) {
    ok(w.write_struct_begin());
    ok(w.write_field_begin(field(TType::I32, 1)));
    ok(w.write_i32(round));
    ok(w.write_struct_end());
    EXPECT_EQ(w.take(), R"({"1":["i32",)" + std::to_string(round) + "]}");
  }
}

TEST(JsonWriter, TypeNames) {
  EXPECT_EQ(json_type_name(TType::Stop), "stop");
  EXPECT_EQ(json_type_name(TType::Void), "stop");
  EXPECT_EQ(json_type_name(TType::Bool), "tf");
  EXPECT_EQ(json_type_name(TType::I08), "i8");
  EXPECT_EQ(json_type_name(TType::Double), "dbl");
  EXPECT_EQ(json_type_name(TType::List), "lst");
  EXPECT_EQ(json_type_name(static_cast<TType>(5)), "");
  EXPECT_EQ(json_type_name(kNoType), "");
}

// ---------------------------------------------------------------------------
// Reader

TEST(JsonReader, MessageHeader) {
  const struct {
    std::string text;
    std::string name;
    int type;
    std::int32_t seqid;
  } cases[] = {
      {R"([1,"ping",1,7,{}])", "ping", 1, 7},
      {R"([99,"v",2,0,{}])", "v", 2, 0},
      {R"([1,5,2.0,-3,{},"extra"])", "", 1, -3},
      {R"([1,"t",-1,1.5,{}])", "t", 1, 0},
      {R"([1,"t",258,4294967297,{}])", "t", 2, 1},
      {R"([1,"t",3,9223372036854775808,{}])", "t", 3, 0},
      {R"([1,"t",4,"7",{}])", "t", 4, 0},
      {" \n[1,\"ws\",1,1,{}]\r\n\t ", "ws", 1, 1},
  };
  for (const auto& c : cases) {
    JSONProtocolReader r(c.text);
    const MessageHeader h = value(r.read_message_begin());
    EXPECT_EQ(h.name, c.name) << c.text;
    EXPECT_EQ(static_cast<int>(h.message_type), c.type) << c.text;
    EXPECT_EQ(h.seqid, c.seqid) << c.text;
    EXPECT_EQ(value(r.read_field_begin()), field(TType::Stop, 0));
    ok(r.read_struct_end());
    ok(r.read_message_end());
  }
}

TEST(JsonReader, MessageShapes) {
  {
    JSONProtocolReader r(R"([1,"x",1,1])");
    EXPECT_EQ(error_text(r.read_message_begin()), "IO error: JSON message array too short");
  }
  {
    JSONProtocolReader r(R"({"1":["i32",1]})");
    EXPECT_EQ(error_text(r.read_message_begin()), "Invalid field type");
  }
  {
    // A body that is not an object reads as a struct with no fields.
    JSONProtocolReader r(R"([1,"x",1,1,[1,2]])");
    ok(r.read_message_begin());
    EXPECT_EQ(value(r.read_field_begin()).field_type, TType::Stop);
  }
  {
    JSONProtocolReader r(R"([1,"x",1,1,{}] x)");
    EXPECT_EQ(error_text(r.read_message_begin()),
              "IO error: trailing characters at line 1 column 16");
  }
}

TEST(JsonReader, ParseErrors) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "IO error: EOF while parsing a value at line 1 column 0"},
      {"[1,\"x\"", "IO error: EOF while parsing a list at line 1 column 6"},
      {"[1,\"a\x01\"]",
       "IO error: control character (\\u0000-\\u001F) found while parsing a string at line 1 "
       "column 6"},
      {"[1,\"\xFF\"]", "IO error: stream did not contain valid UTF-8"},
      {"[1,\"\xC3\"]", "IO error: stream did not contain valid UTF-8"},
      {"[1e400,\"x\",1,1,{}]", "IO error: number out of range at line 1 column 6"},
      {std::string(128, '[') + std::string(128, ']'),
       "IO error: recursion limit exceeded at line 1 column 128"},
      {std::string(10000, '['), "IO error: recursion limit exceeded at line 1 column 128"},
  };
  for (const auto& c : cases) {
    JSONProtocolReader r(c.text);
    EXPECT_EQ(error_text(r.read_message_begin()), c.error) << c.text;
    JSONProtocolReader s(c.text);
    EXPECT_EQ(s.read_struct_begin().error().display(), c.error) << c.text;
  }
  // 127 levels are fine (the document is then simply no message).
  const std::string r_text = std::string(127, '[') + std::string(127, ']');
  JSONProtocolReader r(r_text);
  EXPECT_EQ(error_text(r.read_message_begin()), "IO error: JSON message array too short");
}

TEST(JsonReader, ParsesOnceThenFindsNothingLeft) {
  const std::string text = R"({"1":["i32",5]})";
  JSONProtocolReader r(text);
  ok(r.read_struct_begin());
  EXPECT_EQ(r.position(), text.size());
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_EQ(value(r.read_field_begin()), field(TType::I32, 1));
  EXPECT_EQ(value(r.read_i32()), 5);
  EXPECT_EQ(value(r.read_field_begin()).field_type, TType::Stop);
  ok(r.read_struct_end());
  // The document was taken: the next parsing point parses the empty rest.
  EXPECT_EQ(r.read_struct_begin().error().display(),
            "IO error: EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(error_text(r.read_message_begin()),
            "IO error: EOF while parsing a value at line 1 column 0");
  // A value with no frame and no document.
  EXPECT_EQ(error_text(r.read_i32()), "Invalid field type");
}

TEST(JsonReader, MessageLeavesTheDocumentInPlace) {
  JSONProtocolReader r(R"([1,"m",1,1,{"1":["i32",5]}])");
  const MessageHeader h = value(r.read_message_begin());
  EXPECT_EQ(h.name, "m");
  // Reading the header again sees the same document and body.
  ok(r.read_struct_end());
  EXPECT_EQ(value(r.read_message_begin()).name, "m");
  EXPECT_EQ(value(r.read_field_begin()), field(TType::I32, 1));
  EXPECT_EQ(value(r.read_i32()), 5);
  ok(r.read_struct_end());
  // With no frame left, a struct read takes the document itself: an array.
  EXPECT_EQ(r.read_struct_begin().error().display(), "Invalid field type");
}

TEST(JsonReader, FieldKeysAndEntries) {
  const struct {
    std::string key;
    std::int16_t id;
  } keys[] = {{"01", 1},   {"+5", 5},    {"-7", -7}, {"5.0", 0}, {"x", 0},  {"", 0},
              {"-", 0},    {"65537", 0}, {"32767", 32767}, {"-32768", -32768}, {" 1", 0}};
  for (const auto& k : keys) {
    const std::string r_text = "{\"" + k.key + R"(":["i32",1]})";
    JSONProtocolReader r(r_text);
    ok(r.read_struct_begin());
    EXPECT_EQ(value(r.read_field_begin()).id, k.id) << k.key;
  }
  for (const std::string entry : {R"(["stop",1])", R"(["xyz",1])", R"(["i32"])", R"({"i32":1})",
                                  R"(["I32",1])", R"([8,1])", "5"}) {
    const std::string r_text = R"({"1":)" + entry + "}";
    JSONProtocolReader r(r_text);
    ok(r.read_struct_begin());
    EXPECT_EQ(error_text(r.read_field_begin()), "Invalid field type") << entry;
  }
  // Elements after the second are ignored; a field's value reads once; an
  // unread value is replaced by the next field's.
  JSONProtocolReader r(R"({"1":["i32",1,"extra"],"2":["str","x"],"3":["tf",1]})");
  ok(r.read_struct_begin());
  EXPECT_EQ(value(r.read_field_begin()), field(TType::I32, 1));
  EXPECT_EQ(value(r.read_i32()), 1);
  EXPECT_EQ(error_text(r.read_i32()), "Invalid field type");
  EXPECT_EQ(value(r.read_field_begin()), field(TType::String, 2));
  EXPECT_EQ(value(r.read_field_begin()), field(TType::Bool, 3));
  EXPECT_TRUE(value(r.read_bool()));
  EXPECT_EQ(value(r.read_field_begin()), field(TType::Stop, 0));
}

TEST(JsonReader, ListsFollowTheAnnouncedSize) {
  {
    JSONProtocolReader r(R"({"1":["lst",["i32",5,1,2,3]]})");
    ok(r.read_struct_begin());
    EXPECT_EQ(value(r.read_field_begin()), field(TType::List, 1));
    EXPECT_EQ(value(r.read_list_begin()), (ListHeader{TType::I32, 5}));
    EXPECT_EQ(value(r.read_i32()), 1);
    EXPECT_EQ(value(r.read_i32()), 2);
    EXPECT_EQ(value(r.read_i32()), 3);
    EXPECT_EQ(error_text(r.read_i32()), "Invalid field type");
  }
  {
    JSONProtocolReader r(R"({"1":["set",["str",2,"a","b","c"]],"2":["i8",3]})");
    ok(r.read_struct_begin());
    EXPECT_EQ(value(r.read_field_begin()).field_type, TType::Set);
    EXPECT_EQ(value(r.read_set_begin()), (ListHeader{TType::String, 2}));
    EXPECT_EQ(value(r.read_string()), "a");
    EXPECT_EQ(value(r.read_string()), "b");
    ok(r.read_set_end());
    EXPECT_EQ(value(r.read_field_begin()), field(TType::I08, 2));
    EXPECT_EQ(value(r.read_i8()), 3);
  }
  // Sizes: low 32 bits of an integer, 0 above INT64_MAX or for non-integers.
  const struct {
    std::string size;
    std::int32_t expected;
  } sizes[] = {{"-1", -1}, {"4294967298", 2}, {"9223372036854775808", 0}, {"2.0", 0}, {"\"3\"", 0}};
  for (const auto& s : sizes) {
    const std::string r_text = R"({"1":["lst",["i32",)" + s.size + "]]}";
    JSONProtocolReader r(r_text);
    ok(r.read_struct_begin());
    ok(r.read_field_begin());
    EXPECT_EQ(value(r.read_list_begin()).size, s.expected) << s.size;
  }
  for (const std::string bad : {R"(["i32"])", R"(["xyz",1])", R"({"a":1})", R"("lst")"}) {
    const std::string r_text = R"({"1":["lst",)" + bad + "]}";
    JSONProtocolReader r(r_text);
    ok(r.read_struct_begin());
    ok(r.read_field_begin());
    EXPECT_EQ(error_text(r.read_list_begin()), "Invalid field type") << bad;
  }
}

TEST(JsonReader, MapKeysAreConvertedByKeyType) {
  JSONProtocolReader r(
      R"({"1":["map",["i8","str",3,{"300":"a","-1":"b","x":"c"}]],)"
      R"("2":["map",["tf","tf",4,{"1":1,"TRUE":1,"true":0,"0":1}]],)"
      R"("3":["map",["i64","dbl",2,{"123":"2.5","x":"abc"}]],)"
      R"("4":["map",["str","rec",1,{"k":{"1":["i32",9]}}]],)"
      R"("5":["map",["dbl","str",1,{"1.5":"aGk="}]]})");
  ok(r.read_struct_begin());

  EXPECT_EQ(value(r.read_field_begin()).id, 1);
  EXPECT_EQ(value(r.read_map_begin()), (MapHeader{TType::I08, TType::String, 3}));
  // Keys in byte order: "-1", "300", "x".
  EXPECT_EQ(value(r.read_i8()), -1);
  EXPECT_EQ(value(r.read_string()), "b");
  EXPECT_EQ(value(r.read_i8()), 44);  // 300 truncated
  EXPECT_EQ(value(r.read_string()), "a");
  EXPECT_EQ(value(r.read_i8()), 0);
  EXPECT_EQ(value(r.read_string()), "c");
  EXPECT_EQ(error_text(r.read_i8()), "Invalid field type");
  ok(r.read_map_end());

  EXPECT_EQ(value(r.read_field_begin()).id, 2);
  EXPECT_EQ(value(r.read_map_begin()).size, 4);
  // "0", "1", "TRUE", "true"
  const bool expected_keys[] = {false, true, false, true};
  for (const bool k : expected_keys) {
    EXPECT_EQ(value(r.read_bool()), k);
    ok(r.read_bool());
  }
  ok(r.read_map_end());

  EXPECT_EQ(value(r.read_field_begin()).id, 3);
  ok(r.read_map_begin());
  EXPECT_EQ(value(r.read_i64()), 123);
  EXPECT_EQ(value(r.read_double()), 2.5);
  EXPECT_EQ(value(r.read_i64()), 0);
  EXPECT_EQ(value(r.read_double()), 0.0);
  ok(r.read_map_end());

  // A struct key cannot be entered; its value can.
  EXPECT_EQ(value(r.read_field_begin()).id, 4);
  ok(r.read_map_begin());
  EXPECT_EQ(value(r.read_string_view()), "k");
  ok(r.read_struct_begin());
  EXPECT_EQ(value(r.read_field_begin()), field(TType::I32, 1));
  EXPECT_EQ(value(r.read_i32()), 9);
  ok(r.read_struct_end());
  ok(r.read_map_end());

  EXPECT_EQ(value(r.read_field_begin()).id, 5);
  ok(r.read_map_begin());
  EXPECT_EQ(value(r.read_double()), 1.5);
  EXPECT_EQ(value(r.read_binary()), "hi");
  ok(r.read_map_end());
  EXPECT_EQ(value(r.read_field_begin()).field_type, TType::Stop);

  JSONProtocolReader s(R"({"1":["map",["rec","i32",1,{"{}":1}]]})");
  ok(s.read_struct_begin());
  ok(s.read_field_begin());
  ok(s.read_map_begin());
  EXPECT_EQ(s.read_struct_begin().error().display(), "Invalid field type");

  for (const std::string bad : {R"(["i32","i32",1])", R"(["i32","xyz",1,{}])",
                                R"(["i32","i32",1,[]])", R"(["stop","i32",1,{}])"}) {
    const std::string b_text = R"({"1":["map",)" + bad + "]}";
    JSONProtocolReader b(b_text);
    ok(b.read_struct_begin());
    ok(b.read_field_begin());
    EXPECT_EQ(error_text(b.read_map_begin()), "Invalid field type") << bad;
  }
}

// Reads field 1 of a one-field struct with the given JSON value text.
template <class F>
auto read_field_value(const std::string& json_value, F read) {
  const std::string r_text = R"({"1":["i32",)" + json_value + "]}";
  JSONProtocolReader r(r_text);
  EXPECT_TRUE(r.read_struct_begin().has_value());
  EXPECT_TRUE(r.read_field_begin().has_value());
  return value(read(r));
}

TEST(JsonReader, LenientScalars) {
  const auto i32 = [](auto& r) { return r.read_i32(); };
  EXPECT_EQ(read_field_value("7", i32), 7);
  EXPECT_EQ(read_field_value("-7", i32), -7);
  EXPECT_EQ(read_field_value("1.0", i32), 0);
  EXPECT_EQ(read_field_value("4294967297", i32), 1);
  EXPECT_EQ(read_field_value("9223372036854775808", i32), 0);
  EXPECT_EQ(read_field_value("\"5\"", i32), 0);
  EXPECT_EQ(read_field_value("true", i32), 0);
  EXPECT_EQ(read_field_value("65537", [](auto& r) { return r.read_i16(); }), 1);
  EXPECT_EQ(read_field_value("-129", [](auto& r) { return r.read_i8(); }), 127);

  const auto boolean = [](auto& r) { return r.read_bool(); };
  EXPECT_TRUE(read_field_value("2", boolean));
  EXPECT_TRUE(read_field_value("-1", boolean));
  EXPECT_TRUE(read_field_value("true", boolean));
  EXPECT_FALSE(read_field_value("0", boolean));
  EXPECT_FALSE(read_field_value("false", boolean));
  EXPECT_FALSE(read_field_value("\"true\"", boolean));
  EXPECT_FALSE(read_field_value("1.0", boolean));
  EXPECT_FALSE(read_field_value("18446744073709551615", boolean));

  const auto i64 = [](auto& r) { return r.read_i64(); };
  const struct {
    std::string json;
    std::int64_t v;
  } i64s[] = {{"\"-12\"", -12},
              {"\"+7\"", 7},
              {"\"007\"", 7},
              {"\"1e3\"", 0},
              {"\"\"", 0},
              {"\"-\"", 0},
              {"\" 1\"", 0},
              {"\"9223372036854775807\"", INT64_MAX},
              {"\"-9223372036854775808\"", INT64_MIN},
              {"\"9223372036854775808\"", 0},
              {"-9223372036854775808", INT64_MIN},
              {"9223372036854775808", 0},
              {"12.5", 0},
              {"null", 0}};
  for (const auto& c : i64s) EXPECT_EQ(read_field_value(c.json, i64), c.v) << c.json;

  const auto dbl = [](auto& r) { return r.read_double(); };
  const struct {
    std::string json;
    double v;
  } doubles[] = {{"2.5", 2.5},
                 {"3", 3.0},
                 {"-3", -3.0},
                 {"18446744073709551615", 18446744073709551615.0},
                 {"\"2.5\"", 2.5},
                 {"\"+1\"", 1.0},
                 {"\"-.5\"", -0.5},
                 {"\"1.\"", 1.0},
                 {"\"1.e2\"", 100.0},
                 {"\"1E-2\"", 0.01},
                 {"\"007\"", 7.0},
                 {"\"inf\"", INFINITY},
                 {"\"-Infinity\"", -INFINITY},
                 {"\"1e400\"", INFINITY},
                 {"\"1e-400\"", 0.0},
                 {"\"abc\"", 0.0},
                 {"\"1e\"", 0.0},
                 {"\".\"", 0.0},
                 {"\" 1\"", 0.0},
                 {"\"0x10\"", 0.0},
                 {"\"infinit\"", 0.0},
                 {"\"\"", 0.0},
                 {"true", 0.0}};
  for (const auto& c : doubles) EXPECT_EQ(read_field_value(c.json, dbl), c.v) << c.json;
  EXPECT_TRUE(std::isnan(read_field_value("\"NaN\"", dbl)));
  EXPECT_TRUE(std::isnan(read_field_value("\"-nan\"", dbl)));

  const auto str = [](auto& r) { return r.read_string(); };
  EXPECT_EQ(read_field_value("\"x\\u00e9\"", str), "x\xC3\xA9");
  EXPECT_EQ(read_field_value("5", str), "");
  EXPECT_EQ(read_field_value("[\"x\"]", str), "");

  const auto bin = [](auto& r) { return r.read_binary(); };
  EXPECT_EQ(read_field_value("\"aGk=\"", bin), "hi");
  EXPECT_EQ(read_field_value("\"\"", bin), "");
  EXPECT_EQ(read_field_value("5", bin), "");
  EXPECT_EQ(read_field_value("\"/w==\"", [](auto& r) { return r.read_binary_view(); }), "\xFF"s);
}

TEST(JsonReader, BadBase64) {
  const struct {
    std::string json;
    std::string error;
  } cases[] = {
      {"\"aGk\"", "IO error: Invalid padding"},
      {"\"a\"", "IO error: Invalid input length: 1"},
      {"\"aG!=\"", "IO error: Invalid symbol 33, offset 2."},
      {"\"aGl=\"", "IO error: Invalid last symbol 108, offset 2."},
  };
  for (const auto& c : cases) {
    const std::string r_text = R"({"1":["str",)" + c.json + "]}";
    JSONProtocolReader r(r_text);
    ok(r.read_struct_begin());
    ok(r.read_field_begin());
    EXPECT_EQ(error_text(r.read_binary()), c.error) << c.json;
    const std::string v_text = R"({"1":["str",)" + c.json + "]}";
    JSONProtocolReader v(v_text);
    ok(v.read_struct_begin());
    ok(v.read_field_begin());
    EXPECT_EQ(error_text(v.read_binary_view()), c.error) << c.json;
  }
}

TEST(JsonReader, StructShapes) {
  for (const std::string doc : {"[]", "5", "\"x\"", "null"}) {
    JSONProtocolReader r(doc);
    EXPECT_EQ(r.read_struct_begin().error().display(), "Invalid field type") << doc;
  }
  JSONProtocolReader r(R"({"1":["rec",[1]]})");
  ok(r.read_struct_begin());
  ok(r.read_field_begin());
  EXPECT_EQ(r.read_struct_begin().error().display(), "Invalid field type");
  // With no frame, field reads find nothing and end operations do nothing.
  JSONProtocolReader e("{}");
  EXPECT_EQ(value(e.read_field_begin()).field_type, TType::Stop);
  ok(e.read_struct_end());
  ok(e.read_list_end());
  ok(e.read_map_end());
  // A field read inside a list frame finds no struct and stops.
  JSONProtocolReader l(R"({"1":["lst",["i32",1,2]]})");
  ok(l.read_struct_begin());
  ok(l.read_field_begin());
  ok(l.read_list_begin());
  EXPECT_EQ(value(l.read_field_begin()).field_type, TType::Stop);
}

// ---------------------------------------------------------------------------
// Generic code over either codec pair: the same template compiles against
// Binary and JSON, and what one JSON writer writes the reader reads back.

template <OutputProtocol W>
PStatus write_sample(W& w) {
  BRV_TRY_VOID(w.write_message_begin(MessageHeader{"call", MessageType::Reply, 42}));
  BRV_TRY_VOID(w.write_struct_begin());
  BRV_TRY_VOID(w.write_field_begin(field(TType::Bool, 1)));
  BRV_TRY_VOID(w.write_bool(true));
  BRV_TRY_VOID(w.write_field_end());
  BRV_TRY_VOID(w.write_field_begin(field(TType::I64, 2)));
  BRV_TRY_VOID(w.write_i64(INT64_MIN));
  BRV_TRY_VOID(w.write_field_begin(field(TType::Double, 3)));
  BRV_TRY_VOID(w.write_double(-0.1));
  BRV_TRY_VOID(w.write_field_begin(field(TType::String, 4)));
  BRV_TRY_VOID(w.write_string("\xE2\x82\xAC \"q\""));
  BRV_TRY_VOID(w.write_field_begin(field(TType::String, 5)));
  BRV_TRY_VOID(w.write_binary("\x00\xFF\x10"s));
  BRV_TRY_VOID(w.write_field_begin(field(TType::Map, 6)));
  BRV_TRY_VOID(w.write_map_begin(MapHeader{TType::I16, TType::List, 1}));
  BRV_TRY_VOID(w.write_i16(-2));
  BRV_TRY_VOID(w.write_list_begin(ListHeader{TType::Struct, 1}));
  BRV_TRY_VOID(w.write_struct_begin());
  BRV_TRY_VOID(w.write_field_begin(field(TType::I08, 1)));
  BRV_TRY_VOID(w.write_i8(-8));
  BRV_TRY_VOID(w.write_field_stop());
  BRV_TRY_VOID(w.write_struct_end());
  BRV_TRY_VOID(w.write_list_end());
  BRV_TRY_VOID(w.write_map_end());
  BRV_TRY_VOID(w.write_field_stop());
  // The JSON body frame is closed by write_message_end itself.
  return w.write_message_end();
}

template <InputProtocol R>
PStatus read_sample(R& r) {
  const MessageHeader h = BRV_TRY(r.read_message_begin());
  EXPECT_EQ(h, (MessageHeader{"call", MessageType::Reply, 42}));
  EXPECT_EQ(BRV_TRY(r.read_field_begin()), field(TType::Bool, 1));
  EXPECT_TRUE(BRV_TRY(r.read_bool()));
  EXPECT_EQ(BRV_TRY(r.read_field_begin()), field(TType::I64, 2));
  EXPECT_EQ(BRV_TRY(r.read_i64()), INT64_MIN);
  EXPECT_EQ(BRV_TRY(r.read_field_begin()), field(TType::Double, 3));
  EXPECT_EQ(BRV_TRY(r.read_double()), -0.1);
  EXPECT_EQ(BRV_TRY(r.read_field_begin()), field(TType::String, 4));
  EXPECT_EQ(BRV_TRY(r.read_string_view()), "\xE2\x82\xAC \"q\"");
  EXPECT_EQ(BRV_TRY(r.read_field_begin()), field(TType::String, 5));
  EXPECT_EQ(BRV_TRY(r.read_binary_view()), "\x00\xFF\x10"s);
  EXPECT_EQ(BRV_TRY(r.read_field_begin()), field(TType::Map, 6));
  EXPECT_EQ(BRV_TRY(r.read_map_begin()), (MapHeader{TType::I16, TType::List, 1}));
  EXPECT_EQ(BRV_TRY(r.read_i16()), -2);
  EXPECT_EQ(BRV_TRY(r.read_list_begin()), (ListHeader{TType::Struct, 1}));
  BRV_TRY_VOID(r.read_struct_begin());
  EXPECT_EQ(BRV_TRY(r.read_field_begin()), field(TType::I08, 1));
  EXPECT_EQ(BRV_TRY(r.read_i8()), -8);
  EXPECT_EQ(BRV_TRY(r.read_field_begin()).field_type, TType::Stop);
  BRV_TRY_VOID(r.read_struct_end());
  BRV_TRY_VOID(r.read_list_end());
  BRV_TRY_VOID(r.read_map_end());
  EXPECT_EQ(BRV_TRY(r.read_field_begin()).field_type, TType::Stop);
  BRV_TRY_VOID(r.read_struct_end());
  return r.read_message_end();
}

TEST(JsonProtocol, SameGenericCodeAsBinary) {
  BinaryProtocolWriter bw;
  ok(write_sample(bw));
  const std::string binary = bw.take();
  BinaryProtocolReader br(binary);
  ok(read_sample(br));

  JSONProtocolWriter jw;
  ok(write_sample(jw));
  const std::string json = jw.take();
  EXPECT_EQ(json,
            R"([1,"call",2,42,{"1":["tf",1],"2":["i64","-9223372036854775808"],"3":["dbl",-0.1],)"
            "\"4\":[\"str\",\"\xE2\x82\xAC \\\"q\\\"\"],\"5\":[\"str\",\"AP8Q\"],"
            R"("6":["map",["i16","lst",1,{"-2":["rec",1,{"1":["i8",-8]}]}]]}])");
  JSONProtocolReader jr(json);
  ok(read_sample(jr));
}

}  // namespace
