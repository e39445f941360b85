#include "text.hpp"

#include <gtest/gtest.h>

namespace kada {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(PercentDecode, DecodesOnceAndKeepsPlus) {
  struct Case {
    std::string in;
    std::optional<std::string> out;
  };
  const Case cases[] = {
      {"", ""},
      {"a%20b", "a b"},
      {"a+b", "a+b"},                          // not form data
      {"%E4%B8%AD%e6%96%87", "中文"},           // either hex case
      {"%2541", "%41"},                        // once, not twice
      {"%00", std::string(1, '\0')},
      {"100%", std::nullopt},
      {"%zz", std::nullopt},
      {"%4", std::nullopt},
      {"%%41", std::nullopt},
      {"ok%2", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(percent_decode(c.in), c.out) << "input: " << c.in;
}

TEST(PercentDecode, LenientKeepsBrokenEscapes) {
  EXPECT_EQ(percent_decode_lenient("100%"), "100%");
  EXPECT_EQ(percent_decode_lenient("%zz%41%4"), "%zzA%4");
}

TEST(UrlEscapeUnsafe, EscapesWhatBreaksAnAttributeAndKeepsExistingEscapes) {
  EXPECT_EQ(url_escape_unsafe("http://x/a b\"'<>.mp4"), "http://x/a%20b%22%27%3C%3E.mp4");
  EXPECT_EQ(url_escape_unsafe("http://x/%E4%B8%AD.mp4?a=1&b=2+3"), "http://x/%E4%B8%AD.mp4?a=1&b=2+3");
  EXPECT_EQ(url_escape_unsafe("http://x/中"), "http://x/%E4%B8%AD");
  EXPECT_EQ(url_escape_unsafe("100%"), "100%25");
  EXPECT_EQ(url_escape_unsafe(std::string("a\0b\x7f", 4)), "a%00b%7F");
}

TEST(ToDisplay, ReplacesInvalidUtf8AndControls) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"中文 ok", "中文 ok"},
      {"tab\tnew\nline", "tab\tnew\nline"},
      {"\xFF", kFFFD},
      {"a\x01" "b", "a" + kFFFD + "b"},
      {"\x7F", kFFFD},
      {"\xC0\xAF", kFFFD + kFFFD},                          // overlong '/'
      {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},              // overlong, 3 bytes
      {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},              // UTF-16 surrogate
      {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
      {"\xE4\xB8", kFFFD + kFFFD},                          // cut short
      {"\xE4\xB8" "a", kFFFD + kFFFD + "a"},
      {"\xF0\x9F\x8E\xAC", "\xF0\x9F\x8E\xAC"},             // 4-byte emoji stays
  };
  for (const Case& c : cases) {
    const std::string shown = to_display(c.in);
    EXPECT_EQ(shown, c.out) << "input bytes: " << testing::PrintToString(c.in);
    EXPECT_TRUE(is_valid_utf8(shown));
  }
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));
  EXPECT_TRUE(is_valid_utf8("中文"));
}

TEST(HtmlEscape, NeutralisesMarkupAndQuotes) {
  EXPECT_EQ(html_escape("<script>alert('x')</script>"), "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;");
  EXPECT_EQ(html_escape("a&b \"q\""), "a&amp;b &quot;q&quot;");
  EXPECT_EQ(html_text("<b>\xFF"), "&lt;b&gt;" + kFFFD);
}

TEST(Base64Decode, AcceptsBothAlphabetsAndOptionalPadding) {
  // echo -n 'AAhttp://example.com/a.mp4ZZ' | base64
  EXPECT_EQ(base64_decode("QUFodHRwOi8vZXhhbXBsZS5jb20vYS5tcDRaWg=="), "AAhttp://example.com/a.mp4ZZ");
  EXPECT_EQ(base64_decode("QUFodHRwOi8vZXhhbXBsZS5jb20vYS5tcDRaWg"), "AAhttp://example.com/a.mp4ZZ");
  EXPECT_EQ(base64_decode("-_8"), "\xfb\xff");  // URL-safe
  EXPECT_EQ(base64_decode("+/8="), "\xfb\xff");
  EXPECT_EQ(base64_decode(""), "");
  EXPECT_EQ(base64_decode("QUF!"), std::nullopt);
  EXPECT_EQ(base64_decode("QUFhQ"), std::nullopt);  // 4n+1 characters cannot be
  EXPECT_EQ(base64_decode("QU=F"), std::nullopt);   // padding in the middle
}

TEST(HumanSize, UsesBinaryUnitsWithOneDecimal) {
  EXPECT_EQ(human_size(0), "0 B");
  EXPECT_EQ(human_size(1023), "1023 B");
  EXPECT_EQ(human_size(1024), "1.0 KB");
  EXPECT_EQ(human_size(734003200), "700.0 MB");
  EXPECT_EQ(human_size(1503238553), "1.4 GB");
  EXPECT_EQ(human_size(UINT64_MAX), "16384.0 PB");
}

TEST(ParseU64, RejectsSignsLettersAndOverflow) {
  EXPECT_EQ(parse_u64("0"), 0u);
  EXPECT_EQ(parse_u64("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_u64("18446744073709551616"), std::nullopt);
  EXPECT_EQ(parse_u64(""), std::nullopt);
  EXPECT_EQ(parse_u64("-1"), std::nullopt);
  EXPECT_EQ(parse_u64("12a"), std::nullopt);
  EXPECT_EQ(parse_u64(" 1"), std::nullopt);
}

}  // namespace
}  // namespace kada
