// The JSON protocol reader: parses its input once into a document and walks
// it with a stack of frames. It reads what JSONProtocolWriter writes and is
// lenient about the rest: scalars of the wrong kind read as defaults,
// integers are truncated to the width asked for, and the announced counts,
// not the items present, drive the caller. Shapes that cannot be walked (a
// struct that is no object, a container header that is no array of the right
// length, an unknown type name) fail with InvalidFieldType.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/json_text.hpp"
#include "protocol/types.hpp"

namespace brovane::protocol {

// The type code of a JSON type name, exactly as the writer spells it; kNoType
// for anything else ("stop" included) and for values that are not strings.
TType json_type_from_name(const Json& v) noexcept;

// The text rules for numbers held in JSON strings and object keys, shared
// with the JSON struct documents. An integer is an optional single '+' or
// '-' and one or more ASCII digits, nothing else, within the signed 64-bit
// range; a float is the standard decimal notation (optional sign, fraction,
// exponent) or inf, infinity, nan in any letter case, without blanks.
std::optional<std::int64_t> json_text_to_i64(std::string_view s) noexcept;
std::optional<double> json_text_to_double(std::string_view s) noexcept;

class JSONProtocolReader {
 public:
  explicit JSONProtocolReader(std::string_view input) noexcept : input_(input) {}
  JSONProtocolReader(const char* data, std::size_t size) noexcept : input_(data, size) {}
  explicit JSONProtocolReader(std::span<const std::byte> input) noexcept
      : input_(reinterpret_cast<const char*>(input.data()), input.size()) {}

  JSONProtocolReader(const JSONProtocolReader&) = delete;
  JSONProtocolReader& operator=(const JSONProtocolReader&) = delete;
  JSONProtocolReader(JSONProtocolReader&&) noexcept = default;
  JSONProtocolReader& operator=(JSONProtocolReader&&) noexcept = default;

  // Parsing consumes the whole input at once.
  std::size_t position() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return input_.size() - pos_; }

  // Parses if needed and reads the header of the message array
  // [version, name, type, seqid, body]; the body's struct frame is pushed
  // here, so the caller goes on with read_field_begin.
  PResult<MessageHeader> read_message_begin();
  PStatus read_message_end() noexcept { return {}; }
  PStatus read_struct_begin();
  PStatus read_struct_end() noexcept { return pop(); }
  PResult<FieldHeader> read_field_begin();
  PStatus read_field_end() noexcept { return {}; }
  PResult<ListHeader> read_list_begin();
  PStatus read_list_end() noexcept { return pop(); }
  PResult<ListHeader> read_set_begin() { return read_list_begin(); }
  PStatus read_set_end() noexcept { return pop(); }
  PResult<MapHeader> read_map_begin();
  PStatus read_map_end() noexcept { return pop(); }

  PResult<bool> read_bool();
  PResult<std::int8_t> read_i8();
  PResult<std::int16_t> read_i16();
  PResult<std::int32_t> read_i32();
  PResult<std::int64_t> read_i64();
  PResult<double> read_double();
  PResult<std::string> read_string();
  PResult<std::string> read_binary();
  // A view into the parsed document: valid while the reader lives.
  PResult<std::string_view> read_string_view();
  // A view of the decoded bytes, held by the reader until its next read.
  PResult<std::string_view> read_binary_view();

 private:
  enum class FrameKind : std::uint8_t { Struct, List, Map };

  struct Frame {
    FrameKind kind;
    // Struct: the current field's type. List: the element type. Map: the key
    // type (type_b the value type).
    TType type_a = kNoType;
    TType type_b = kNoType;
    // Map: whether the current pair's value (not its key) comes next.
    bool value_next = false;
    // Struct: the last field's value until it is read.
    const Json* current = nullptr;
    // Struct, Map: the entries left.
    Json::object_t::const_iterator it{};
    Json::object_t::const_iterator end{};
    // List: the items left.
    const Json* items = nullptr;
    std::size_t next = 0;
    std::size_t count = 0;
  };

  // The next value a frame hands out. Map keys are text; the key type decides
  // whether they count as a string or as an integer.
  struct Item {
    enum class Kind : std::uint8_t { Value, KeyText, KeyInt };
    Kind kind = Kind::Value;
    const Json* value = nullptr;
    const std::string* text = nullptr;
    std::int64_t integer = 0;
  };

  PStatus parse();
  // The document, taken out of `parsed_` (it stays alive for the frames).
  PResult<const Json*> take_document();
  PResult<Item> next_item();
  PResult<std::int64_t> next_integer();
  PResult<const std::string*> next_text();
  PStatus push_struct(const Json& object);
  PStatus pop() noexcept {
    if (!frames_.empty()) frames_.pop_back();
    return {};
  }

  std::string_view input_;
  std::size_t pos_ = 0;
  std::unique_ptr<Json> parsed_;
  std::unique_ptr<Json> taken_;
  std::vector<Frame> frames_;
  std::string binary_scratch_;
};

static_assert(InputProtocol<JSONProtocolReader>);

}  // namespace brovane::protocol
