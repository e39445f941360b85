#include "options.hpp"

#include <gtest/gtest.h>

namespace kada {
namespace {

TEST(ParseOptions, DefaultsToTheFixedLoopbackPort) {
  const ParsedOptions parsed = parse_options({});
  ASSERT_TRUE(parsed.options.has_value());
  EXPECT_EQ(parsed.options->address, "127.0.0.1");
  EXPECT_EQ(parsed.options->port, 8765);
  EXPECT_TRUE(parsed.options->log_file.empty());
  EXPECT_FALSE(parsed.options->help);
}

TEST(ParseOptions, ReadsEveryOptionInBothSpellings) {
  const ParsedOptions parsed =
      parse_options({"--listen", "127.0.0.1:0", "--log=/tmp/x.log", "--media-dir", "/srv/media"});
  ASSERT_TRUE(parsed.options.has_value()) << parsed.error;
  EXPECT_EQ(parsed.options->port, 0);
  EXPECT_EQ(parsed.options->log_file, "/tmp/x.log");
  EXPECT_EQ(parsed.options->media_dir, "/srv/media");
  EXPECT_TRUE(parse_options({"-h"}).options->help);
  EXPECT_TRUE(parse_options({"--help"}).options->help);
}

TEST(ParseListen, AcceptsAddressesAndPorts) {
  struct Case {
    const char* text;
    const char* address;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:8765", "127.0.0.1", 8765},
      {"0.0.0.0:65535", "0.0.0.0", 65535},
      {"localhost:80", "127.0.0.1", 80},
      {"[::1]:0", "::1", 0},
  };
  for (const Case& c : cases) {
    const auto listen = parse_listen(c.text);
    ASSERT_TRUE(listen.has_value()) << c.text;
    EXPECT_EQ(listen->address, c.address);
    EXPECT_EQ(listen->port, c.port);
  }
  for (const char* bad : {"", "8765", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1",
                          "127.0.0.1:80x", "256.0.0.1:80", "example.com:80", "::1:80", "[::1:80", ":80"}) {
    EXPECT_FALSE(parse_listen(bad).has_value()) << bad;
  }
}

TEST(ParseOptions, RejectsBadArgumentsWithAMessage) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--listen"}, "needs a value"},
      {{"--listen", "nowhere"}, "ADDRESS:PORT"},
      {{"--listen=127.0.0.1:99999"}, "ADDRESS:PORT"},
      {{"--log"}, "needs a value"},
      {{"--log="}, "non-empty"},
      {{"--media-dir"}, "needs a value"},
      {{"--port", "80"}, "unknown argument '--port'"},
      {{"extra"}, "unknown argument 'extra'"},
      {{"--help=yes"}, "no value"},
  };
  for (const Case& c : cases) {
    const ParsedOptions parsed = parse_options(c.args);
    EXPECT_FALSE(parsed.options.has_value()) << c.args[0];
    EXPECT_NE(parsed.error.find(c.says), std::string::npos) << c.args[0] << " said: " << parsed.error;
  }
}

}  // namespace
}  // namespace kada
