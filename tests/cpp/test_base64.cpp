#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "protocol/base64.hpp"

namespace {

using namespace brovane::protocol;
using namespace std::string_literals;

TEST(Base64, EncodesWithPadding) {
  const struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"hi", "aGk="},
      {"\xFF\xFE"s, "//4="},
      {"\x00"s, "AA=="},
      {"\xFB\xEF\xBE"s, "++++"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64_encode(c.bytes), c.text);
    const auto decoded = base64_decode(c.text);
    ASSERT_TRUE(decoded.has_value()) << c.text;
    EXPECT_EQ(*decoded, c.bytes);
  }
}

TEST(Base64, EveryByteValueRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (std::size_t len = 0; len <= all.size(); len += 37) {
    const std::string bytes = all.substr(0, len);
    const std::string text = base64_encode(bytes);
    EXPECT_EQ(text.size(), base64_encoded_size(len));
    const auto back = base64_decode(text);
    ASSERT_TRUE(back.has_value()) << text;
    EXPECT_EQ(*back, bytes);
  }
}

TEST(Base64, AppendKeepsWhatIsThere) {
  std::string out = "x";
  base64_encode_append("hi", out);
  EXPECT_EQ(out, "xaGk=");
  ASSERT_TRUE(base64_decode_append("Zm9v", out).has_value());
  EXPECT_EQ(out, "xaGk=foo");
  // A failure leaves the buffer as it was.
  EXPECT_FALSE(base64_decode_append("Zm9vZg", out).has_value());
  EXPECT_EQ(out, "xaGk=foo");
}

TEST(Base64, StrictDecodingErrors) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      // Lengths that leave a lone symbol.
      {"A", "Invalid input length: 1"},
      {"AAAAA", "Invalid input length: 5"},
      // Padding missing, short or where it cannot be.
      {"AA", "Invalid padding"},
      {"AAA", "Invalid padding"},
      {"AA=", "Invalid padding"},
      {"Zg", "Invalid padding"},
      {"Zg=", "Invalid padding"},
      {"====", "Invalid symbol 61, offset 0."},
      {"A===", "Invalid symbol 61, offset 1."},
      {"=Zm9", "Invalid symbol 61, offset 0."},
      {"AA=A", "Invalid symbol 61, offset 2."},
      {"Zm9vZm=v", "Invalid symbol 61, offset 6."},
      {"Zm9vZ===", "Invalid symbol 61, offset 5."},
      {"Zm9v=", "Invalid symbol 61, offset 4."},
      // Padding inside the text is a bad symbol of an earlier quad.
      {"AAA=AAAA", "Invalid symbol 61, offset 3."},
      {"Zm9vZg==Zm9v", "Invalid symbol 61, offset 6."},
      // Symbols outside the standard alphabet (URL-safe ones included); the
      // byte is shown in decimal.
      {"-_==", "Invalid symbol 45, offset 0."},
      {"Zm 9v", "Invalid symbol 32, offset 2."},
      {"A\n", "Invalid symbol 10, offset 1."},
      {"Zm9v\xC3\xA9", "Invalid symbol 195, offset 4."},
      // A bad byte at the end of a text one symbol too long is reported
      // before anything else.
      {"Zm9v\n", "Invalid symbol 10, offset 4."},
      {"=AAA!", "Invalid symbol 33, offset 4."},
      // Non-zero bits that no output byte takes.
      {"AB==", "Invalid last symbol 66, offset 1."},
      {"Zh==", "Invalid last symbol 104, offset 1."},
      {"AAB=", "Invalid last symbol 66, offset 2."},
      {"Zm9vZm9=", "Invalid last symbol 57, offset 6."},
  };
  for (const auto& c : cases) {
    const auto r = base64_decode(c.text);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().display(), c.error) << c.text;
  }
}

TEST(Base64, CanonicalTrailingBitsAccepted) {
  // 'E' (4) leaves the two unused bits clear.
  const auto r = base64_decode("AAE=");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, "\x00\x01"s);
  EXPECT_EQ(base64_decode("")->size(), 0u);
}

}  // namespace
