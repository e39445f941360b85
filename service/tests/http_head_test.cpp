#include "http_head.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kada {
namespace {

TEST(FindHeadEnd, FindsTheFirstEmptyLineWhateverTheLineEnds) {
  struct Case {
    std::string received;
    std::size_t end;
  };
  const std::size_t npos = std::string::npos;
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", 27},
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\nbody", 27},
      {"GET / HTTP/1.1\nHost: a\n\n", 24},
      {"GET / HTTP/1.1\r\nHost: a\n\r\n", 26},
      {"GET / HTTP/1.1\r\n\r\n", 18},
      {"GET / HTTP/1.1\r\nHost: a\r\n", npos},
      {"GET / HTTP/1.1\r\nHost: a\r\n\r", npos},
      {"GET /a\rb HTTP/1.1\r\n", npos},
      {"", npos},
  };
  for (const Case& c : cases) EXPECT_EQ(find_head_end(c.received), c.end) << c.received;
}

TEST(ParseRequestHead, KeepsTheTargetAsReceivedAndFindsHost) {
  const std::string link = "http://a.com/" + std::string(100000, 'z') + "%E4%B8%AD?x=1&y=%zz";
  const auto head = parse_request_head("GET /play.php?str=" + link + " HTTP/1.1\r\nUser-Agent: t\r\nhOsT:  vod.example:80 \r\n\r\n");
  ASSERT_TRUE(head.has_value());
  EXPECT_EQ(head->method, "GET");
  EXPECT_EQ(head->target, "/play.php?str=" + link);
  EXPECT_EQ(head->version, "HTTP/1.1");
  EXPECT_EQ(head->host, "vod.example:80");
  EXPECT_EQ(head->request_line, "GET /play.php?str=" + link + " HTTP/1.1");
}

TEST(ParseRequestHead, TakesBareLineFeedsAndNoHeaders) {
  const auto head = parse_request_head("HEAD /img/1.html HTTP/1.0\n\n");
  ASSERT_TRUE(head.has_value());
  EXPECT_EQ(head->method, "HEAD");
  EXPECT_EQ(head->target, "/img/1.html");
  EXPECT_EQ(head->version, "HTTP/1.0");
  EXPECT_EQ(head->host, "");
}

TEST(ParseRequestHead, AbsoluteTargetsAreReducedToPathAndQuery) {
  struct Case {
    std::string target;
    std::string path;
  };
  const Case cases[] = {
      {"http://127.0.0.1:8765/play.php?str=http://a.com/v.mp4", "/play.php?str=http://a.com/v.mp4"},
      {"HTTP://h/img/1.html", "/img/1.html"},
      {"http://h?str=x", "?str=x"},
      {"http://h", "/"},
  };
  for (const Case& c : cases) {
    const auto head = parse_request_head("GET " + c.target + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(head.has_value()) << c.target;
    EXPECT_EQ(head->target, c.path) << c.target;
    EXPECT_EQ(head->request_line, "GET " + c.target + " HTTP/1.1");
  }
}

TEST(ParseRequestHead, RefusesWhatIsNotAnHttp1Request) {
  const std::string heads[] = {
      "GET\r\n\r\n",
      "GET /\r\n\r\n",
      "GET / HTTP/2.0\r\n\r\n",
      "GET / http/1.1\r\n\r\n",
      "G(T / HTTP/1.1\r\n\r\n",
      " / HTTP/1.1\r\n\r\n",
      "GET  HTTP/1.1\r\n\r\n",
      "GET /a b HTTP/1.1\r\n\r\n",
      std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21),
      "GET www.a.com/x HTTP/1.1\r\n\r\n",
      "GET / HTTP/1.1\r\nno colon here\r\n\r\n",
      "GET / HTTP/1.1\r\n: empty name\r\n\r\n",
      "\x16\x03\x01 hello\r\n\r\n",
      "",
  };
  for (const std::string& head : heads) {
    EXPECT_FALSE(parse_request_head(head).has_value()) << head;
  }
}

TEST(FormatResponseHead, WritesStatusLineHeadersAndTheEmptyLine) {
  EXPECT_EQ(format_response_head(414, {{"Content-Type", "text/html"}, {"Content-Length", "12"}}),
            "HTTP/1.1 414 URI Too Long\r\nContent-Type: text/html\r\nContent-Length: 12\r\n\r\n");
  EXPECT_EQ(format_response_head(200, {}), "HTTP/1.1 200 OK\r\n\r\n");
}

}  // namespace
}  // namespace kada
