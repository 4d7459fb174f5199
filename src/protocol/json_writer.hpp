// The JSON protocol writer. Values nest in a stack of frames and reach the
// output only when the outermost one closes:
//
//   message   [1,"name",type,seqid,{body}]
//   struct    {"<id>":["<type name>",value],...}   keys in byte order, a
//                                                  repeated id keeps the last
//   list/set  ["<elem type>",count,item,...]
//   map       ["<key type>","<value type>",count,{"<key text>":value,...}]
//   bool 1/0, i8/i16/i32 integers, i64 "decimal string", double number
//   (NaN and infinities as 0), string, binary as padded base64
//
// Frames hold the compact text of the values written into them rather than
// value trees: every use of a finished value is either its text or, as a map
// key, a text derived from it, so nothing is built that is not printed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/types.hpp"

namespace brovane::protocol {

// The JSON name of a type code: "tf", "i8", "i16", "i32", "i64", "dbl",
// "str", "rec", "map", "set", "lst"; "stop" for Stop and Void; empty for
// anything else.
std::string_view json_type_name(TType t) noexcept;

class JSONProtocolWriter {
 public:
  JSONProtocolWriter() = default;
  explicit JSONProtocolWriter(std::size_t reserve) { out_.reserve(reserve); }
  // Appends after the contents of `buffer`.
  explicit JSONProtocolWriter(std::string buffer) : out_(std::move(buffer)) {}

  // The text of every completed top-level value, one after another.
  std::string take() { return std::exchange(out_, std::string()); }
  std::string_view output() const noexcept { return out_; }

  PStatus write_message_begin(const MessageHeader& h);
  // Closes the top frame as the body and writes the message below it; with a
  // non-message frame below, both are dropped. Callers end a message with
  // this alone, never with write_struct_end for the body.
  PStatus write_message_end();
  PStatus write_struct_begin();
  PStatus write_struct_end() { return end_frame(); }

  PStatus write_field_begin(const FieldHeader& h) noexcept;
  PStatus write_field_end() noexcept { return {}; }
  PStatus write_field_stop() noexcept { return {}; }

  PStatus write_list_begin(const ListHeader& h);
  PStatus write_list_end() { return end_frame(); }
  PStatus write_set_begin(const ListHeader& h) { return write_list_begin(h); }
  PStatus write_set_end() { return end_frame(); }
  PStatus write_map_begin(const MapHeader& h);
  PStatus write_map_end() { return end_frame(); }

  PStatus write_bool(bool v) { return add_number(v ? "1" : "0"); }
  PStatus write_i8(std::int8_t v) { return add_integer(v); }
  PStatus write_i16(std::int16_t v) { return add_integer(v); }
  PStatus write_i32(std::int32_t v) { return add_integer(v); }
  PStatus write_i64(std::int64_t v);
  PStatus write_double(double v);
  PStatus write_string(std::string_view s) { return add_string(s, false); }
  PStatus write_binary(std::string_view bytes) { return add_string(bytes, true); }

 private:
  enum class FrameKind : std::uint8_t { Message, Struct, List, Map };

  // A struct field or map entry: ranges of the frame's text buffer.
  struct Entry {
    std::size_t key_offset;  // map: key text; struct: unused
    std::size_t key_length;
    std::size_t value_offset;
    std::size_t value_length;
    std::int16_t id;  // struct: field id
    TType type;       // struct: field type
  };

  struct Frame {
    FrameKind kind;
    // Struct: the pending field's type (kNoType when none) and id.
    // List: the element type. Map: key and value types.
    TType type_a = kNoType;
    TType type_b = kNoType;
    std::int16_t pending_id = 0;
    // Map: a key is waiting for its value at [key_offset, buf.size()).
    bool key_pending = false;
    std::size_t key_offset = 0;
    // Message: the seqid; List: the number of items.
    std::int64_t count = 0;
    std::uint8_t message_type = 0;
    // Message: the name. List: the items' texts joined by ','. Struct, Map:
    // the entries' texts.
    std::string buf;
    std::vector<Entry> entries;
  };

  // Where the next value goes. `dest` is null when the value is dropped;
  // `as_key` means the value becomes a map key, whose text is a string's
  // plain contents rather than its quoted form.
  struct Slot {
    std::string* dest;
    std::size_t start;
    bool as_key;
  };

  Slot begin_value();
  void end_value(const Slot& slot);

  PStatus add_integer(std::int32_t v);
  PStatus add_number(std::string_view text);
  PStatus add_string(std::string_view s, bool base64);

  Frame& push_frame(FrameKind kind);
  Frame pop_frame();
  // Appends the compact text of a finished frame.
  void close_into(Frame& f, std::string& out);
  void recycle(Frame&& f);
  PStatus end_frame();

  std::vector<Frame> frames_;
  // Buffers of closed frames, kept for the next frames so that writing many
  // structs does not allocate for each.
  std::vector<std::string> spare_bufs_;
  std::vector<std::vector<Entry>> spare_entries_;
  std::string out_;
};

static_assert(OutputProtocol<JSONProtocolWriter>);

}  // namespace brovane::protocol
