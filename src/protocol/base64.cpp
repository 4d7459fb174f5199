#include "protocol/base64.hpp"

#include <array>

namespace brovane::protocol {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
  return t;
}
constexpr std::array<std::uint8_t, 256> kDecode = make_decode_table();

std::uint8_t symbol_value(char c) noexcept { return kDecode[static_cast<unsigned char>(c)]; }

std::unexpected<Base64Error> invalid_symbol(std::size_t offset, char c) {
  return std::unexpected(
      Base64Error{Base64Error::Kind::InvalidSymbol, offset, static_cast<std::uint8_t>(c)});
}

}  // namespace

std::string Base64Error::display() const {
  switch (kind) {
    case Kind::InvalidSymbol:
      return "Invalid symbol " + std::to_string(symbol) + ", offset " + std::to_string(offset) +
             ".";
    case Kind::InvalidLastSymbol:
      return "Invalid last symbol " + std::to_string(symbol) + ", offset " +
             std::to_string(offset) + ".";
    case Kind::InvalidLength:
      return "Invalid input length: " + std::to_string(offset);
    case Kind::InvalidPadding:
      break;
  }
  return "Invalid padding";
}

void base64_encode_append(std::string_view bytes, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + base64_encoded_size(bytes.size()));
  char* p = out.data() + start;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  for (; i + 3 <= n; i += 3) {
    const std::uint32_t v =
        (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
    *p++ = kAlphabet[v >> 18];
    *p++ = kAlphabet[(v >> 12) & 63];
    *p++ = kAlphabet[(v >> 6) & 63];
    *p++ = kAlphabet[v & 63];
  }
  if (n - i == 1) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16;
    *p++ = kAlphabet[v >> 18];
    *p++ = kAlphabet[(v >> 12) & 63];
    *p++ = kPad;
    *p++ = kPad;
  } else if (n - i == 2) {
    const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8);
    *p++ = kAlphabet[v >> 18];
    *p++ = kAlphabet[(v >> 12) & 63];
    *p++ = kAlphabet[(v >> 6) & 63];
    *p++ = kPad;
  }
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  base64_encode_append(bytes, out);
  return out;
}

// The order of the checks decides which error a bad text reports, so it is
// kept exactly: a stray byte at the very end of a text one symbol too long,
// then every quad but the last (where '=' is just another bad symbol), then
// the last quad's padding, its length, its padding count, its unused bits.
std::expected<void, Base64Error> base64_decode_append(std::string_view text, std::string& out) {
  const std::size_t n = text.size();
  const std::size_t rem = n % 4;
  if (rem == 1) {
    const char last = text[n - 1];
    if (last != kPad && symbol_value(last) == kInvalid) return invalid_symbol(n - 1, last);
  }
  // Every quad but the last, which may carry padding.
  std::size_t body = n - rem;
  if (rem == 0) body = body >= 4 ? body - 4 : 0;

  const std::size_t start = out.size();
  out.resize(start + body / 4 * 3 + 3);
  char* p = out.data() + start;
  for (std::size_t i = 0; i < body; i += 4) {
    const std::uint8_t a = symbol_value(text[i]);
    const std::uint8_t b = symbol_value(text[i + 1]);
    const std::uint8_t c = symbol_value(text[i + 2]);
    const std::uint8_t d = symbol_value(text[i + 3]);
    if ((a | b | c | d) & 0x80) [[unlikely]] {
      out.resize(start);
      for (std::size_t j = i;; ++j) {
        if (symbol_value(text[j]) == kInvalid) return invalid_symbol(j, text[j]);
      }
    }
    const std::uint32_t v = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) |
                            (std::uint32_t{c} << 6) | d;
    *p++ = static_cast<char>(v >> 16);
    *p++ = static_cast<char>(v >> 8);
    *p++ = static_cast<char>(v);
  }

  std::uint8_t morsels[4] = {0, 0, 0, 0};
  std::size_t count = 0;
  std::size_t pads = 0;
  std::size_t first_pad = 0;
  char last_symbol = 0;
  for (std::size_t li = 0; body + li < n; ++li) {
    const char ch = text[body + li];
    if (ch == kPad) {
      // Padding may only follow at least two symbols of the quad.
      if (li < 2) {
        out.resize(start);
        return invalid_symbol(body + li, ch);
      }
      if (pads == 0) first_pad = li;
      ++pads;
      continue;
    }
    if (pads > 0) {
      out.resize(start);
      return invalid_symbol(body + first_pad, kPad);
    }
    last_symbol = ch;
    const std::uint8_t v = symbol_value(ch);
    if (v == kInvalid) {
      out.resize(start);
      return invalid_symbol(body + li, ch);
    }
    morsels[count++] = v;
  }
  if (n != 0 && count < 2) {
    out.resize(start);
    return std::unexpected(Base64Error{Base64Error::Kind::InvalidLength, body + count, 0});
  }
  if ((pads + count) % 4 != 0) {
    out.resize(start);
    return std::unexpected(Base64Error{Base64Error::Kind::InvalidPadding, 0, 0});
  }
  const std::uint32_t v = (std::uint32_t{morsels[0]} << 26) | (std::uint32_t{morsels[1]} << 20) |
                          (std::uint32_t{morsels[2]} << 14) | (std::uint32_t{morsels[3]} << 8);
  const std::size_t tail_bytes = count * 6 / 8;
  // Bits of the last symbol that no output byte takes must be zero.
  const std::uint32_t unused = tail_bytes == 0 ? ~0u : (~0u >> (tail_bytes * 8));
  if (count != 0 && (v & unused) != 0) {
    out.resize(start);
    return std::unexpected(Base64Error{Base64Error::Kind::InvalidLastSymbol, body + count - 1,
                                       static_cast<std::uint8_t>(last_symbol)});
  }
  for (std::size_t k = 0; k < tail_bytes; ++k) *p++ = static_cast<char>(v >> (24 - 8 * k));
  out.resize(static_cast<std::size_t>(p - out.data()));
  return {};
}

std::expected<std::string, Base64Error> base64_decode(std::string_view text) {
  std::string out;
  if (auto r = base64_decode_append(text, out); !r) return std::unexpected(r.error());
  return out;
}

}  // namespace brovane::protocol
