// Command line of kada-vod-service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kada {

inline constexpr std::string_view kDefaultListen = "127.0.0.1:8765";

struct Options {
  std::string address = "127.0.0.1";  // IPv4 or IPv6 literal, no brackets
  std::uint16_t port = 8765;
  std::string log_file;   // empty: no request log
  std::string media_dir;  // empty: the built-in default
  bool help = false;
};

struct ListenAddress {
  std::string address;
  std::uint16_t port = 0;
};
// "127.0.0.1:8765", "[::1]:0", "localhost:8080". nullopt when malformed.
std::optional<ListenAddress> parse_listen(std::string_view text);

struct ParsedOptions {
  std::optional<Options> options;
  std::string error;  // one line, set when options is empty
};
// `args` excludes the program name.
ParsedOptions parse_options(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace kada
