#include "link.hpp"

#include <gtest/gtest.h>

namespace kada {
namespace {

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0}) out += kAlphabet[(v >> shift) & 63];
  }
  if (i + 1 == bytes.size()) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    for (int shift : {18, 12, 6}) out += kAlphabet[(v >> shift) & 63];
    out += '=';
  }
  return out;
}

std::string thunder(std::string_view address) { return "thunder://" + base64("AA" + std::string(address) + "ZZ"); }
std::string flashget(std::string_view address) {
  return "flashget://" + base64("[FLASHGET]" + std::string(address) + "[FLASHGET]");
}
std::string qqdl(std::string_view address) { return "qqdl://" + base64(address); }

const std::string kHash40 = "0123456789abcdef0123456789abcdef01234567";
const std::string kEd2kHash = "0123456789ABCDEF0123456789ABCDEF";

TEST(TestHelpers, Base64MatchesAKnownVector) {
  // echo -n 'AAhttp://example.com/a.mp4ZZ' | base64
  EXPECT_EQ(thunder("http://example.com/a.mp4"), "thunder://QUFodHRwOi8vZXhhbXBsZS5jb20vYS5tcDRaWg==");
}

TEST(ExtractLink, TakesEverythingAfterTheFirstStr) {
  struct Case {
    std::string query;
    std::string decoded;
  };
  const std::string long_link(100000, 'a');
  const Case cases[] = {
      {"str=", ""},
      {"str=hello", "hello"},
      {"str=http://a.com/my%20movie.mp4", "http://a.com/my movie.mp4"},
      {"str=http://a.com/my movie.mp4", "http://a.com/my movie.mp4"},
      {"str=http://a.com/v.mp4?a=1&b=2&str=3", "http://a.com/v.mp4?a=1&b=2&str=3"},
      {"str=http://a.com/v.mp4#t=10", "http://a.com/v.mp4#t=10"},
      {"str=ed2k://|file|a%20b.avi|100|" + kEd2kHash + "|/", "ed2k://|file|a b.avi|100|" + kEd2kHash + "|/"},
      {"str=magnet:?xt=urn:btih:" + kHash40 + "&dn=x&tr=udp://t.org:80",
       "magnet:?xt=urn:btih:" + kHash40 + "&dn=x&tr=udp://t.org:80"},
      {"str=" + thunder("http://a.com/a+b.mp4"), thunder("http://a.com/a+b.mp4")},
      {"str=%E4%B8%AD%E6%96%87", "中文"},
      {"str=中文", "中文"},
      {"str=a+b", "a+b"},
      {"str=%FF%FE", "\xFF\xFE"},  // not UTF-8: shown later, not refused here
      {"str=" + long_link, long_link},
      {"x=1&str=abc", "abc"},
      {"xstr=1&str=abc", "abc"},  // "str=" inside another name does not count
      {"str=a&str=b", "a&str=b"},
  };
  for (const Case& c : cases) {
    const ReceivedLink link = extract_link(c.query);
    ASSERT_EQ(link.status, ReceivedLink::Status::kOk) << c.query.substr(0, 80);
    EXPECT_EQ(link.decoded, c.decoded) << c.query.substr(0, 80);
  }
}

TEST(ExtractLink, KeepsTheRawBytesBesideTheDecodedOnes) {
  const ReceivedLink link = extract_link("x=1&str=http://a.com/my%20movie%2B1.mp4");
  EXPECT_EQ(link.raw, "http://a.com/my%20movie%2B1.mp4");
  EXPECT_EQ(link.decoded, "http://a.com/my movie+1.mp4");
}

TEST(ExtractLink, ReportsMissingStrAndBrokenEscapes) {
  for (const char* query : {"", "x=1", "xstr=1", "STR=abc", "str", "a=1&b=str="}) {
    EXPECT_EQ(extract_link(query).status, ReceivedLink::Status::kMissingStr) << query;
  }
  for (const char* query : {"str=100%", "str=%zz", "str=a%4"}) {
    const ReceivedLink link = extract_link(query);
    EXPECT_EQ(link.status, ReceivedLink::Status::kBadEscape) << query;
    EXPECT_EQ(link.raw, std::string(query).substr(4)) << "the raw text is kept to show it";
  }
}

TEST(Classify, SortsLinksByKind) {
  struct Case {
    std::string link;
    LinkKind kind;
  };
  const Case cases[] = {
      {"", LinkKind::kEmpty},
      {" \t ", LinkKind::kEmpty},
      {"http://a.com/v.mp4", LinkKind::kMedia},
      {"  http://a.com/v.mp4  ", LinkKind::kMedia},
      {"HTTPS://A.COM/V.WEBM", LinkKind::kMedia},
      {"http://a.com/v.ogv?name=x.html", LinkKind::kMedia},  // query ignored
      {"http://a.com/live/index.m3u8#x", LinkKind::kMedia},
      {"http://a.com/song.mp3", LinkKind::kMedia},
      {"http://user:pw@a.com:8080/v.ogg", LinkKind::kMedia},
      {"http://a.com/", LinkKind::kWebPage},
      {"http://a.com", LinkKind::kWebPage},
      {"http://a.com/watch?v=x.mp4", LinkKind::kWebPage},
      {"http://a.com/v.mp4.html", LinkKind::kWebPage},
      {"http://a.com/dir.mp4/page", LinkKind::kWebPage},
      {"http://a.mp4", LinkKind::kWebPage},  // a host, not a file
      {"http://", LinkKind::kNotALink},
      {"http:///v.mp4", LinkKind::kNotALink},
      {"ftp://a.com/v.mp4", LinkKind::kFtp},
      {"magnet:?xt=urn:btih:" + kHash40, LinkKind::kMagnet},
      {"MAGNET:?dn=x", LinkKind::kMagnet},
      {"ed2k://|file|a.avi|1|" + kEd2kHash + "|/", LinkKind::kEd2k},
      {"rtmp://a.com/live", LinkKind::kOtherScheme},
      {"file:///etc/passwd", LinkKind::kOtherScheme},
      {"hello", LinkKind::kNotALink},
      {"中文", LinkKind::kNotALink},
      {"javascript:alert(1)", LinkKind::kNotALink},
      {"www.a.com/v.mp4", LinkKind::kNotALink},
      {"<script>alert(1)</script>", LinkKind::kNotALink},
      {thunder("http://a.com/v.mp4"), LinkKind::kMedia},
      {flashget("http://a.com/v.webm") + "&1234", LinkKind::kMedia},
      {qqdl("http://a.com/page"), LinkKind::kWebPage},
      {thunder("magnet:?xt=urn:btih:" + kHash40), LinkKind::kMagnet},
      {thunder("ftp://a.com/v.mp4"), LinkKind::kFtp},
      {"thunder://!!!", LinkKind::kBadWrapper},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kind_name(classify(c.link, c.link).kind), std::string(kind_name(c.kind))) << c.link;
  }
}

TEST(Classify, KeepsTheEscapedFormAsTheAddress) {
  // The escaped form is what gets parsed and put into the player, so an
  // escaped '+' or '&' in the user's own link survives.
  const ClassifiedLink link = classify("http://a.com/v.mp4?sig=a%2Bb%26c", "http://a.com/v.mp4?sig=a+b&c");
  EXPECT_EQ(link.kind, LinkKind::kMedia);
  EXPECT_EQ(link.address, "http://a.com/v.mp4?sig=a%2Bb%26c");
  // A client that escaped the scheme itself: fall back to the decoded text.
  EXPECT_EQ(classify("http%3A//a.com/v.mp4", "http://a.com/v.mp4").address, "http://a.com/v.mp4");
}

TEST(Unwrap, DecodesThunderFlashgetAndQqdl) {
  struct Case {
    std::string link;
    std::string scheme;
    std::string address;
  };
  const Case cases[] = {
      {thunder("http://a.com/v.mp4"), "thunder", "http://a.com/v.mp4"},
      {thunder("http://a.com/v.mp4") + "/", "thunder", "http://a.com/v.mp4"},  // trailing slash some sites add
      {"THUNDER://" + thunder("x").substr(10), "thunder", "x"},
      {flashget("http://a.com/v.mp4"), "flashget", "http://a.com/v.mp4"},
      {flashget("http://a.com/v.mp4") + "&abc123", "flashget", "http://a.com/v.mp4"},
      {qqdl("http://a.com/v.mp4"), "qqdl", "http://a.com/v.mp4"},
      {thunder("http://a.com/中文.mp4"), "thunder", "http://a.com/中文.mp4"},
  };
  for (const Case& c : cases) {
    std::string scheme;
    const auto result = unwrap(c.link, &scheme);
    ASSERT_TRUE(result.has_value()) << c.link;
    EXPECT_EQ(scheme, c.scheme);
    EXPECT_EQ(result->address, c.address) << c.link << " error: " << result->error;
  }
  // URL-safe alphabet: "AAhttp://a.com/?>ZZ" encodes with '-' or '_' there.
  const std::string url_safe_payload = base64("AAhttp://a.com/?>?ZZ");
  std::string url_safe = url_safe_payload;
  for (char& ch : url_safe) ch = ch == '+' ? '-' : ch == '/' ? '_' : ch;
  ASSERT_NE(url_safe, url_safe_payload) << "the vector must exercise the URL-safe characters";
  EXPECT_EQ(unwrap("thunder://" + url_safe)->address, "http://a.com/?>?");

  EXPECT_EQ(unwrap("http://a.com/v.mp4"), std::nullopt);
  EXPECT_EQ(unwrap("magnet:?xt=1"), std::nullopt);
}

TEST(Unwrap, ExplainsBadPayloads) {
  struct Case {
    std::string link;
    std::string says;  // part of the message
  };
  const Case cases[] = {
      {"thunder://", "没有内容"},
      {"thunder://!!!!", "Base64"},
      {"thunder://QUFhQ", "Base64"},
      {"thunder://" + base64("http://a.com/v.mp4"), "AA……ZZ"},      // no AA..ZZ
      {"thunder://" + base64("AAhttp://a.com/v.mp4"), "AA……ZZ"},    // no closing ZZ
      {"thunder://" + base64("AZ"), "AA……ZZ"},
      {"thunder://" + base64("AAZZ"), "空的"},
      {"thunder://" + base64("AA  ZZ"), "空的"},
      {"flashget://" + base64("http://a.com/v.mp4"), "[FLASHGET]"},
      {"flashget://" + base64("[FLASHGET]"), "[FLASHGET]"},  // one marker is not two
      {"qqdl://", "没有内容"},
      {"qqdl://%%%", "Base64"},
  };
  for (const Case& c : cases) {
    const auto result = unwrap(c.link);
    ASSERT_TRUE(result.has_value()) << c.link;
    EXPECT_FALSE(result->address.has_value()) << c.link;
    EXPECT_NE(result->error.find(c.says), std::string::npos) << c.link << " said: " << result->error;
    const ClassifiedLink classified = classify(c.link, c.link);
    EXPECT_EQ(classified.kind, LinkKind::kBadWrapper) << c.link;
    EXPECT_EQ(classified.error, result->error);
  }
}

TEST(Unwrap, FollowsNestedWrappersToALimit) {
  const ClassifiedLink two = classify(thunder(qqdl("http://a.com/v.mp4")), thunder(qqdl("http://a.com/v.mp4")));
  EXPECT_EQ(two.kind, LinkKind::kMedia);
  EXPECT_EQ(two.address, "http://a.com/v.mp4");
  ASSERT_EQ(two.layers.size(), 2u);
  EXPECT_EQ(two.layers[0].scheme, "thunder");
  EXPECT_EQ(two.layers[1].scheme, "qqdl");

  std::string deep = "http://a.com/v.mp4";
  for (int i = 0; i < 4; ++i) deep = thunder(deep);
  const ClassifiedLink four = classify(deep, deep);
  EXPECT_EQ(four.kind, LinkKind::kMedia);
  EXPECT_EQ(four.layers.size(), 4u);
  deep = thunder(deep);
  const ClassifiedLink too_deep = classify(deep, deep);
  EXPECT_EQ(too_deep.kind, LinkKind::kBadWrapper);
  EXPECT_NE(too_deep.error.find("4 层"), std::string::npos);
}

TEST(PathExtension, LooksOnlyAtTheLastPathSegment) {
  EXPECT_EQ(path_extension("http://a.com/b.MP4?x=y.html#z.txt"), "mp4");
  EXPECT_EQ(path_extension("http://a.com/b.tar.gz"), "gz");
  EXPECT_EQ(path_extension("http://a.com/b"), "");
  EXPECT_EQ(path_extension("http://a.com/dir.mp4/"), "");
  EXPECT_EQ(path_extension("http://a.mp4"), "");
  EXPECT_EQ(url_host("http://u:p@Host.com:80/x"), "Host.com");
  EXPECT_EQ(url_host("http://[::1]:8080/x"), "[::1]");
  EXPECT_EQ(url_host("http:///x"), "");
}

TEST(ParseMagnet, ReadsNameHashSizeAndTrackers) {
  const MagnetInfo magnet = parse_magnet("magnet:?xt=urn:btih:" + kHash40 +
                                         "&dn=My%20Movie%26More%20%E4%B8%AD&xl=1503238553"
                                         "&tr=udp%3A%2F%2Ftracker.a.org%3A80&tr=http://t.b.org/announce?x=1");
  EXPECT_EQ(magnet.name, "My Movie&More 中");
  EXPECT_EQ(magnet.hashes, std::vector<std::string>{kHash40});
  EXPECT_EQ(magnet.size, 1503238553u);
  EXPECT_EQ(magnet.trackers,
            (std::vector<std::string>{"udp://tracker.a.org:80", "http://t.b.org/announce?x=1"}));
}

TEST(ParseMagnet, HandlesNumberedKeysOddValuesAndGaps) {
  const MagnetInfo magnet = parse_magnet(
      "magnet:?XT.1=urn:btih:ABCDEFGHIJKLMNOPQRSTUVWXYZ234567&xt.2=urn:sha1:XYZ&tr.1=a&tr.2=b&xl=lots&junk&dn=");
  EXPECT_EQ(magnet.hashes, std::vector<std::string>{"ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"});
  EXPECT_EQ(magnet.other_xt, std::vector<std::string>{"urn:sha1:XYZ"});
  EXPECT_EQ(magnet.trackers, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(magnet.size.has_value());
  EXPECT_EQ(magnet.bad_size, "lots");
  EXPECT_EQ(magnet.name, "");
  EXPECT_TRUE(parse_magnet("magnet:").hashes.empty());
}

TEST(ParseMagnet, KnowsBothHashForms) {
  EXPECT_TRUE(is_valid_btih(kHash40));
  EXPECT_TRUE(is_valid_btih("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"));
  EXPECT_FALSE(is_valid_btih(kHash40.substr(1)));
  EXPECT_FALSE(is_valid_btih("0123456789abcdef0123456789abcdef0123456g"));
  EXPECT_FALSE(is_valid_btih("ABCDEFGHIJKLMNOPQRSTUVWXYZ234561"));  // '1' is not base32
}

TEST(ParseEd2k, ReadsFileLinks) {
  const Ed2kInfo ed2k = parse_ed2k("ed2k://|file|%E7%94%B5%E5%BD%B1%7C1.avi|734003200|" + kEd2kHash + "|h=ABC|/");
  ASSERT_TRUE(ed2k.ok) << ed2k.error;
  EXPECT_EQ(ed2k.name, "电影|1.avi");  // an escaped '|' does not split the name
  EXPECT_EQ(ed2k.size, 734003200u);
  EXPECT_EQ(ed2k.hash, kEd2kHash);
}

TEST(ParseEd2k, ExplainsWhatIsWrong) {
  struct Case {
    std::string link;
    std::string says;
  };
  const Case cases[] = {
      {"ed2k://|file|a.avi|big|" + kEd2kHash + "|/", "大小"},
      {"ed2k://|file|a.avi|-1|" + kEd2kHash + "|/", "大小"},
      {"ed2k://|file|a.avi|10|XYZ|/", "哈希"},
      {"ed2k://|file||10|" + kEd2kHash + "|/", "文件名"},
      {"ed2k://|file|a.avi|/", "不完整"},
      {"ed2k://", "不完整"},
      {"ed2k://file|a.avi|10|" + kEd2kHash + "|/", "不完整"},
      {"ed2k://|server|1.2.3.4|4661|/", "server"},
  };
  for (const Case& c : cases) {
    const Ed2kInfo ed2k = parse_ed2k(c.link);
    EXPECT_FALSE(ed2k.ok) << c.link;
    EXPECT_NE(ed2k.error.find(c.says), std::string::npos) << c.link << " said: " << ed2k.error;
  }
}

}  // namespace
}  // namespace kada
