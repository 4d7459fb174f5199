#include "protocol/json_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "protocol/base64.hpp"
#include "protocol/json_text.hpp"

namespace brovane::protocol {

namespace {

// Frames announce their sizes; the reserve follows them only this far, the
// rest grows as values arrive.
constexpr std::size_t kMaxReserve = 1 << 16;
// Closed frames' buffers kept for reuse, and the largest one worth keeping.
constexpr std::size_t kMaxSpare = 64;
constexpr std::size_t kMaxSpareCapacity = 1 << 20;

[[gnu::cold]] ProtocolError stack_underflow() {
  return ProtocolError::io(IoErrorKind::Other, "stack underflow");
}

template <class Int>
void append_int(Int v, std::string& out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

// A field id as an object key: its decimal text.
struct IdText {
  char text[8];
  std::size_t length;
  explicit IdText(std::int16_t id) noexcept {
    const auto r = std::to_chars(text, text + sizeof text, id);
    length = static_cast<std::size_t>(r.ptr - text);
  }
  std::string_view view() const noexcept { return {text, length}; }
};

}  // namespace

std::string_view json_type_name(TType t) noexcept {
  switch (t) {
    case TType::Stop:
    case TType::Void: return "stop";
    case TType::Bool: return "tf";
    case TType::I08: return "i8";
    case TType::Double: return "dbl";
    case TType::I16: return "i16";
    case TType::I32: return "i32";
    case TType::I64: return "i64";
    case TType::String: return "str";
    case TType::Struct: return "rec";
    case TType::Map: return "map";
    case TType::Set: return "set";
    case TType::List: return "lst";
  }
  return "";
}

JSONProtocolWriter::Slot JSONProtocolWriter::begin_value() {
  if (frames_.empty()) return Slot{&out_, out_.size(), false};
  Frame& f = frames_.back();
  switch (f.kind) {
    case FrameKind::Message:
      return Slot{nullptr, 0, false};
    case FrameKind::Struct:
      // A value with no field header before it has nowhere to go.
      if (f.type_a == kNoType) return Slot{nullptr, 0, false};
      return Slot{&f.buf, f.buf.size(), false};
    case FrameKind::List:
      if (f.count > 0) f.buf.push_back(',');
      return Slot{&f.buf, f.buf.size(), false};
    case FrameKind::Map:
      return Slot{&f.buf, f.buf.size(), !f.key_pending};
  }
  return Slot{nullptr, 0, false};
}

void JSONProtocolWriter::end_value(const Slot& slot) {
  if (frames_.empty()) return;
  Frame& f = frames_.back();
  const std::size_t end = f.buf.size();
  switch (f.kind) {
    case FrameKind::Message:
      return;
    case FrameKind::Struct:
      f.entries.push_back(Entry{0, 0, slot.start, end - slot.start, f.pending_id, f.type_a});
      f.type_a = kNoType;
      return;
    case FrameKind::List:
      ++f.count;
      return;
    case FrameKind::Map:
      if (!f.key_pending) {
        f.key_pending = true;
        f.key_offset = slot.start;
      } else {
        f.entries.push_back(Entry{f.key_offset, slot.start - f.key_offset, slot.start,
                                  end - slot.start, 0, kNoType});
        f.key_pending = false;
      }
      return;
  }
}

PStatus JSONProtocolWriter::add_integer(std::int32_t v) {
  const Slot slot = begin_value();
  if (slot.dest == nullptr) return {};
  append_int(v, *slot.dest);
  end_value(slot);
  return {};
}

PStatus JSONProtocolWriter::add_number(std::string_view text) {
  const Slot slot = begin_value();
  if (slot.dest == nullptr) return {};
  slot.dest->append(text);
  end_value(slot);
  return {};
}

PStatus JSONProtocolWriter::write_i64(std::int64_t v) {
  const Slot slot = begin_value();
  if (slot.dest == nullptr) return {};
  // A string, so that readers holding numbers as doubles keep every digit.
  if (!slot.as_key) slot.dest->push_back('"');
  append_int(v, *slot.dest);
  if (!slot.as_key) slot.dest->push_back('"');
  end_value(slot);
  return {};
}

PStatus JSONProtocolWriter::write_double(double v) {
  const Slot slot = begin_value();
  if (slot.dest == nullptr) return {};
  // JSON has no text for NaN or the infinities.
  if (std::isfinite(v)) {
    append_json_double(v, *slot.dest);
  } else {
    slot.dest->push_back('0');
  }
  end_value(slot);
  return {};
}

PStatus JSONProtocolWriter::add_string(std::string_view s, bool base64) {
  const Slot slot = begin_value();
  if (slot.dest == nullptr) return {};
  std::string& d = *slot.dest;
  if (base64) {
    // The alphabet needs no escaping, quoted or not.
    if (!slot.as_key) d.push_back('"');
    base64_encode_append(s, d);
    if (!slot.as_key) d.push_back('"');
  } else if (slot.as_key) {
    d.append(s);
  } else {
    append_json_string(s, d);
  }
  end_value(slot);
  return {};
}

JSONProtocolWriter::Frame& JSONProtocolWriter::push_frame(FrameKind kind) {
  Frame& f = frames_.emplace_back();
  f.kind = kind;
  if (!spare_bufs_.empty()) {
    f.buf = std::move(spare_bufs_.back());
    spare_bufs_.pop_back();
  }
  if (!spare_entries_.empty()) {
    f.entries = std::move(spare_entries_.back());
    spare_entries_.pop_back();
  }
  return f;
}

JSONProtocolWriter::Frame JSONProtocolWriter::pop_frame() {
  Frame f = std::move(frames_.back());
  frames_.pop_back();
  return f;
}

void JSONProtocolWriter::recycle(Frame&& f) {
  if (spare_bufs_.size() < kMaxSpare && f.buf.capacity() <= kMaxSpareCapacity) {
    f.buf.clear();
    spare_bufs_.push_back(std::move(f.buf));
  }
  if (spare_entries_.size() < kMaxSpare &&
      f.entries.capacity() * sizeof(Entry) <= kMaxSpareCapacity) {
    f.entries.clear();
    spare_entries_.push_back(std::move(f.entries));
  }
}

PStatus JSONProtocolWriter::write_message_begin(const MessageHeader& h) {
  Frame& f = push_frame(FrameKind::Message);
  f.buf.assign(h.name);
  f.count = h.seqid;
  f.message_type = static_cast<std::uint8_t>(h.message_type);
  return {};
}

PStatus JSONProtocolWriter::write_struct_begin() {
  push_frame(FrameKind::Struct);
  return {};
}

PStatus JSONProtocolWriter::write_field_begin(const FieldHeader& h) noexcept {
  if (!frames_.empty() && frames_.back().kind == FrameKind::Struct) {
    Frame& f = frames_.back();
    f.pending_id = h.id;
    f.type_a = h.field_type;
  }
  return {};
}

PStatus JSONProtocolWriter::write_list_begin(const ListHeader& h) {
  Frame& f = push_frame(FrameKind::List);
  f.type_a = h.element_type;
  // Room for a short item and its comma per announced element.
  if (h.size > 0)
    f.buf.reserve(std::min<std::size_t>(static_cast<std::size_t>(h.size), kMaxReserve) * 2);
  return {};
}

PStatus JSONProtocolWriter::write_map_begin(const MapHeader& h) {
  Frame& f = push_frame(FrameKind::Map);
  f.type_a = h.key_type;
  f.type_b = h.value_type;
  if (h.size > 0)
    f.entries.reserve(std::min<std::size_t>(static_cast<std::size_t>(h.size), kMaxReserve));
  return {};
}

void JSONProtocolWriter::close_into(Frame& f, std::string& out) {
  switch (f.kind) {
    case FrameKind::Message:
      out += "[1,";
      append_json_string(f.buf, out);
      out.push_back(',');
      append_int(static_cast<unsigned>(f.message_type), out);
      out.push_back(',');
      append_int(f.count, out);
      out.push_back(']');
      return;

    case FrameKind::List:
      out += "[\"";
      out += json_type_name(f.type_a);
      out += "\",";
      append_int(f.count, out);
      if (f.count > 0) {
        out.push_back(',');
        out += f.buf;
      }
      out.push_back(']');
      return;

    case FrameKind::Struct: {
      auto& entries = f.entries;
      const auto by_key = [](const Entry& a, const Entry& b) {
        return IdText(a.id).view() < IdText(b.id).view();
      };
      // Fields usually arrive in id order, which is key order for ids that
      // have the same number of digits.
      if (!std::is_sorted(entries.begin(), entries.end(), by_key))
        std::stable_sort(entries.begin(), entries.end(), by_key);
      out.push_back('{');
      bool first = true;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        // Of fields written under one id, the last one stands.
        if (i + 1 < entries.size() && entries[i + 1].id == e.id) continue;
        if (!first) out.push_back(',');
        first = false;
        out.push_back('"');
        out += IdText(e.id).view();
        out += "\":[\"";
        out += json_type_name(e.type);
        out += "\",";
        out.append(f.buf, e.value_offset, e.value_length);
        out.push_back(']');
      }
      out.push_back('}');
      return;
    }

    case FrameKind::Map: {
      auto& entries = f.entries;
      const std::string_view buf = f.buf;
      const auto key = [buf](const Entry& e) { return buf.substr(e.key_offset, e.key_length); };
      const auto by_key = [&key](const Entry& a, const Entry& b) { return key(a) < key(b); };
      if (!std::is_sorted(entries.begin(), entries.end(), by_key))
        std::stable_sort(entries.begin(), entries.end(), by_key);
      std::size_t distinct = 0;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 == entries.size() || key(entries[i + 1]) != key(entries[i])) ++distinct;
      }
      out += "[\"";
      out += json_type_name(f.type_a);
      out += "\",\"";
      out += json_type_name(f.type_b);
      out += "\",";
      append_int(distinct, out);
      out += ",{";
      bool first = true;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        // Keys that print the same collapse to the value written last.
        if (i + 1 < entries.size() && key(entries[i + 1]) == key(e)) continue;
        if (!first) out.push_back(',');
        first = false;
        append_json_string(key(e), out);
        out.push_back(':');
        out.append(buf.substr(e.value_offset, e.value_length));
      }
      out += "}]";
      return;
    }
  }
}

PStatus JSONProtocolWriter::end_frame() {
  if (frames_.empty()) [[unlikely]]
    return std::unexpected(stack_underflow());
  Frame f = pop_frame();
  const Slot slot = begin_value();
  if (slot.dest != nullptr) {
    close_into(f, *slot.dest);
    end_value(slot);
  }
  recycle(std::move(f));
  return {};
}

PStatus JSONProtocolWriter::write_message_end() {
  if (frames_.empty()) [[unlikely]]
    return std::unexpected(stack_underflow());
  Frame body = pop_frame();
  if (frames_.empty()) [[unlikely]] {
    recycle(std::move(body));
    return std::unexpected(stack_underflow());
  }
  Frame message = pop_frame();
  if (message.kind == FrameKind::Message) {
    out_ += "[1,";
    append_json_string(message.buf, out_);
    out_.push_back(',');
    append_int(static_cast<unsigned>(message.message_type), out_);
    out_.push_back(',');
    append_int(message.count, out_);
    out_.push_back(',');
    close_into(body, out_);
    out_.push_back(']');
  }
  recycle(std::move(body));
  recycle(std::move(message));
  return {};
}

}  // namespace brovane::protocol
