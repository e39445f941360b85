#include "media.hpp"

#include <gtest/gtest.h>

namespace kada {
namespace {

using Kind = RangeRequest::Kind;

TEST(ParseRange, AnswersSingleByteRanges) {
  struct Case {
    std::string header;
    std::uint64_t size;
    Kind kind;
    std::uint64_t first, last;
  };
  const Case cases[] = {
      {"", 1000, Kind::kWhole, 0, 0},
      {"bytes=0-99", 1000, Kind::kPartial, 0, 99},
      {"bytes=0-0", 1000, Kind::kPartial, 0, 0},
      {"BYTES = 10-19", 1000, Kind::kWhole, 0, 0},  // "bytes=" must be written as such
      {"Bytes=10-19", 1000, Kind::kPartial, 10, 19},
      {"bytes=100-", 1000, Kind::kPartial, 100, 999},
      {"bytes=990-2000", 1000, Kind::kPartial, 990, 999},  // end clipped to the file
      {"bytes=999-999", 1000, Kind::kPartial, 999, 999},
      {"bytes=-100", 1000, Kind::kPartial, 900, 999},
      {"bytes=-2000", 1000, Kind::kPartial, 0, 999},
      {"bytes=1000-", 1000, Kind::kUnsatisfiable, 0, 0},
      {"bytes=5000-6000", 1000, Kind::kUnsatisfiable, 0, 0},
      {"bytes=-0", 1000, Kind::kUnsatisfiable, 0, 0},
      {"bytes=0-", 0, Kind::kUnsatisfiable, 0, 0},
      {"bytes=5-1", 1000, Kind::kWhole, 0, 0},  // invalid: ignored
      {"bytes=0-1,5-6", 1000, Kind::kWhole, 0, 0},
      {"bytes=abc", 1000, Kind::kWhole, 0, 0},
      {"bytes=1-x", 1000, Kind::kWhole, 0, 0},
      {"bytes=-", 1000, Kind::kWhole, 0, 0},
      {"items=0-1", 1000, Kind::kWhole, 0, 0},
      {"bytes=99999999999999999999-", 1000, Kind::kWhole, 0, 0},  // overflow
  };
  for (const Case& c : cases) {
    const RangeRequest range = parse_range(c.header, c.size);
    EXPECT_EQ(static_cast<int>(range.kind), static_cast<int>(c.kind)) << c.header;
    if (c.kind == Kind::kPartial) {
      EXPECT_EQ(range.first, c.first) << c.header;
      EXPECT_EQ(range.last, c.last) << c.header;
    }
  }
}

TEST(MediaNames, OnlyPlainFileNamesAreServed) {
  for (const char* ok : {"sample.webm", "sample.ogv", "a-b_c.1.mp4"}) EXPECT_TRUE(is_safe_media_name(ok)) << ok;
  for (const char* bad : {"", ".", "..", "../x", ".hidden", "a/b", "a%2Fb", "a b", "a\\b", "中.webm"})
    EXPECT_FALSE(is_safe_media_name(bad)) << bad;
}

TEST(MediaNames, TypesFollowTheExtension) {
  EXPECT_STREQ(media_content_type("sample.webm"), "video/webm");
  EXPECT_STREQ(media_content_type("SAMPLE.OGV"), "video/ogg");
  EXPECT_STREQ(media_content_type("a.mp4"), "video/mp4");
  EXPECT_STREQ(media_content_type("a.m3u8"), "application/vnd.apple.mpegurl");
  EXPECT_STREQ(media_content_type("noext"), "application/octet-stream");
}

}  // namespace
}  // namespace kada
