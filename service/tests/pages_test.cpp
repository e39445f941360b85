#include "pages.hpp"

#include <gtest/gtest.h>

#include "text.hpp"

namespace kada {
namespace {

const std::string kHost = "127.0.0.1:8765";
const std::string kHash40 = "0123456789abcdef0123456789abcdef01234567";
const std::string kEd2kHash = "0123456789ABCDEF0123456789ABCDEF";

std::string kind_of(const Page& page) {
  static constexpr std::string_view kMarker = "<body data-kind=\"";
  const std::size_t at = page.html.find(kMarker);
  if (at == std::string::npos) return {};
  const std::size_t start = at + kMarker.size();
  return page.html.substr(start, page.html.find('"', start) - start);
}

bool contains(const std::string& haystack, std::string_view needle) {
  return haystack.find(needle) != std::string::npos;
}

// The page with the one script it may carry, the player's own, taken out.
std::string without_own_script(std::string html) {
  const std::string own = "<script src=\"" + std::string(kPlayerScriptPath) + "\"></script>";
  for (std::size_t at; (at = html.find(own)) != std::string::npos;) html.erase(at, own.size());
  return html;
}

// The src attribute of the page's <video>, as written in the HTML.
std::string video_src(const Page& page) {
  const std::size_t at = page.html.find("<video src=\"");
  if (at == std::string::npos) return {};
  const std::size_t start = at + 12;
  return page.html.substr(start, page.html.find('"', start) - start);
}

TEST(RenderPlay, GivesEachKindOfLinkItsPage) {
  struct Case {
    std::string query;
    int status;
    std::string kind;
    std::vector<std::string> shows;
  };
  const Case cases[] = {
      {"str=http://a.com/v.mp4", 200, "media", {"<video", "autoplay", "width=\"854\"", "height=\"488\""}},
      {"str=thunder://QUFodHRwOi8vZXhhbXBsZS5jb20vYS5tcDRaWg==", 200, "media", {"http://example.com/a.mp4"}},
      {"str=http://a.com/index.html", 200, "web-page", {"网页地址", "href=\"http://a.com/index.html\""}},
      {"str=ftp://a.com/v.mp4", 200, "ftp", {"FTP", "ftp://a.com/v.mp4"}},
      {"str=magnet:?xt=urn:btih:" + kHash40 + "&dn=My%20Movie&xl=1503238553&tr=udp://t1.org:80&tr=http://t2.org/a",
       200, "magnet",
       {"My Movie", kHash40, "1.4 GB", "1503238553 字节", "udp://t1.org:80", "http://t2.org/a", "不下载点对点"}},
      {"str=magnet:?dn=x", 200, "magnet", {"没有 urn:btih", "大小</dt><dd>（链接里没有写）"}},
      {"str=ed2k://|file|%E7%94%B5%E5%BD%B1.avi|734003200|" + kEd2kHash + "|/", 200, "ed2k",
       {"电影.avi", "700.0 MB", kEd2kHash, "不下载点对点"}},
      {"str=ed2k://|file|x.avi|big|" + kEd2kHash + "|/", 200, "ed2k", {"不是数字"}},
      {"str=rtmp://a.com/live", 200, "other-scheme", {"“rtmp”"}},
      {"str=hello", 200, "not-a-link", {"hello", "不是视频链接", "http://127.0.0.1:8765/media/sample.webm"}},
      {"str=", 200, "empty", {"链接是空的"}},
      {"str=%20%20", 200, "empty", {"链接是空的"}},
      {"str=thunder://bad!", 400, "bad-wrapper", {"Base64", "thunder://bad!"}},
      {"", 400, "missing-link", {"str"}},
      {"x=1", 400, "missing-link", {"x=1"}},
      {"str=100%", 400, "bad-escape", {"100%"}},
  };
  for (const Case& c : cases) {
    const Page page = render_play(c.query, kHost);
    EXPECT_EQ(page.status, c.status) << c.query;
    EXPECT_EQ(kind_of(page), c.kind) << c.query;
    for (const std::string& text : c.shows) EXPECT_TRUE(contains(page.html, text)) << c.query << " lacks " << text;
    EXPECT_TRUE(is_valid_utf8(page.html)) << c.query;
  }
}

TEST(RenderPlay, PutsTheEscapedAddressIntoThePlayer) {
  struct Case {
    std::string query;
    std::string src;
  };
  const Case cases[] = {
      // Escapes the browser added are kept, raw spaces and non-ASCII escaped.
      {"str=http://a.com/%E7%94%B5%E5%BD%B1 1.mp4", "http://a.com/%E7%94%B5%E5%BD%B1%201.mp4"},
      {"str=http://a.com/电影.mp4", "http://a.com/%E7%94%B5%E5%BD%B1.mp4"},
      // The user's own escapes survive: %2B must not turn into '+'.
      {"str=http://a.com/v.mp4?sig=a%2Bb&x=1", "http://a.com/v.mp4?sig=a%2Bb&amp;x=1"},
      {"str=http://a.com/a+b.mp4", "http://a.com/a+b.mp4"},
      // Invalid UTF-8 reaches the player as escapes, never as raw bytes.
      {"str=http://a.com/%FF.mp4", "http://a.com/%FF.mp4"},
      {"str=http://a.com/\xFF.mp4", "http://a.com/%FF.mp4"},
  };
  for (const Case& c : cases) EXPECT_EQ(video_src(render_play(c.query, kHost)), c.src) << c.query;
}

TEST(RenderPlay, ThePlayerLoadsItsScriptAndOnlyThePlayerDoes) {
  const std::string own = "<script src=\"/img/play.js\"></script>";
  EXPECT_TRUE(contains(render_play("str=http://a.com/v.mp4", kHost).html, own));
  for (const char* query : {"str=http://a.com/", "str=hello", "str=magnet:?dn=x", ""})
    EXPECT_FALSE(contains(render_play(query, kHost).html, "<script")) << query;
  // The script writes its message as text; a link must never become markup.
  EXPECT_TRUE(contains(std::string(player_script()), "textContent"));
  EXPECT_FALSE(contains(std::string(player_script()), "innerHTML"));
}

TEST(RenderPlay, NeverLetsTheLinkInjectMarkup) {
  const std::string attack = "<script>alert(1)</script><img src=x onerror=alert(2)>";
  const std::string escaped_attack = "%3Cscript%3Ealert(1)%3C/script%3E%3Cimg%20src=x%20onerror=alert(2)%3E";
  const std::string queries[] = {
      "str=" + attack,
      "str=" + escaped_attack,
      "str=http://a.com/v.mp4?\"onerror=\"alert(1)&" + attack,
      "str=http://a.com/v.mp4?%22onerror=%22alert(1)%27x=%27",
      "str=http://a.com/" + attack + ".html",
      "str=ftp://" + attack,
      "str=magnet:?xt=urn:btih:" + attack + "&dn=" + escaped_attack + "&tr=" + attack + "&xl=" + attack,
      "str=ed2k://|file|" + escaped_attack + "|10|" + kEd2kHash + "|/",
      "str=ed2k://|" + attack + "|/",
      "str=rtmp" + attack + "://x",
      // thunder://base64("AA<script>alert(1)</script>ZZ")
      "str=thunder://QUE8c2NyaXB0PmFsZXJ0KDEpPC9zY3JpcHQ+Wlo=",
      "str=thunder://" + attack,
      "str=100%" + attack,
      "x=" + attack,
  };
  for (const std::string& query : queries) {
    const Page page = render_play(query, kHost);
    const std::string lower = ascii_lower(without_own_script(page.html));
    EXPECT_FALSE(contains(lower, "<script")) << query;
    EXPECT_FALSE(contains(lower, "<img")) << query;
    EXPECT_FALSE(contains(lower, "\"onerror")) << query;
    EXPECT_FALSE(contains(lower, "'x='")) << query;
  }
  // And the text is still there for the user to read.
  EXPECT_TRUE(contains(render_play("str=" + attack, kHost).html, "&lt;script&gt;alert(1)&lt;/script&gt;"));
}

TEST(RenderPlay, ShowsInvalidUtf8AsReplacementCharacters) {
  for (const std::string query : {"str=%FF%FEhello", "str=\xFF\xFEhello", "str=thunder://QUH//mhpWlo="}) {
    const Page page = render_play(query, kHost);
    EXPECT_TRUE(is_valid_utf8(page.html)) << query;
    EXPECT_TRUE(contains(page.html, "\xEF\xBF\xBD")) << query;
    EXPECT_TRUE(contains(page.html, "不是 UTF-8")) << query;
  }
}

TEST(RenderPlay, CopesWithAVeryLongLink) {
  const std::string link = "http://a.com/" + std::string(100000, 'x');
  const Page page = render_play("str=" + link, kHost);
  EXPECT_EQ(kind_of(page), "web-page");
  EXPECT_TRUE(contains(page.html, link));
}

TEST(RenderWelcome, NamesTheSampleOnTheRequestsHost) {
  const Page page = render_welcome("192.168.7.7:9000");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(kind_of(page), "welcome");
  EXPECT_TRUE(contains(page.html, "http://192.168.7.7:9000/media/sample.webm"));
  EXPECT_TRUE(contains(page.html, "href=\"/play.php?str=http://192.168.7.7:9000/media/sample.webm\""));
  for (const char* link_kind : {"thunder://", "flashget://", "qqdl://", "magnet:", "ed2k://", "ftp"})
    EXPECT_TRUE(contains(page.html, link_kind)) << link_kind;
  // Light: no outside resources, no script.
  EXPECT_FALSE(contains(page.html, "<script"));
  EXPECT_FALSE(contains(page.html, "<link"));
  EXPECT_FALSE(contains(page.html, "src="));
}

TEST(UsableHost, FallsBackForAnythingButAHost) {
  EXPECT_EQ(usable_host("example.com:8080", kHost), "example.com:8080");
  EXPECT_EQ(usable_host("[::1]:8765", kHost), "[::1]:8765");
  for (const char* bad : {"", "evil\"><script>", "a b", "a/b", "a@b", "中文"})
    EXPECT_EQ(usable_host(bad, kHost), kHost) << bad;
}

TEST(OtherPages, CarryTheirStatusAndEscapeWhatTheyEcho) {
  const Page not_found = render_not_found("/<script>");
  EXPECT_EQ(not_found.status, 404);
  EXPECT_TRUE(contains(not_found.html, "/&lt;script&gt;"));
  EXPECT_FALSE(contains(not_found.html, "<script"));
  const Page method = render_method_not_allowed("<POST>");
  EXPECT_EQ(method.status, 405);
  EXPECT_TRUE(contains(method.html, "&lt;POST&gt;"));
  const Page too_large = render_request_too_large(64 * 1024);
  EXPECT_EQ(too_large.status, 414);
  EXPECT_TRUE(contains(too_large.html, "64 KB"));
}

}  // namespace
}  // namespace kada
