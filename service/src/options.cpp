#include "options.hpp"

#include <arpa/inet.h>

#include "text.hpp"

namespace kada {

std::optional<ListenAddress> parse_listen(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const auto port = parse_u64(text.substr(colon + 1));
  if (!port || *port > 65535) return std::nullopt;

  ListenAddress result;
  result.port = static_cast<std::uint16_t>(*port);
  if (host == "localhost") {
    result.address = "127.0.0.1";
    return result;
  }
  unsigned char buf[16];
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    const std::string inner(host.substr(1, host.size() - 2));
    if (inet_pton(AF_INET6, inner.c_str(), buf) != 1) return std::nullopt;
    result.address = inner;
    return result;
  }
  const std::string v4(host);
  if (inet_pton(AF_INET, v4.c_str(), buf) != 1) return std::nullopt;
  result.address = v4;
  return result;
}

ParsedOptions parse_options(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inline_value;
    if (arg.starts_with("--") && arg.find('=') != std::string::npos) {
      inline_value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
    }
    if (arg == "--help" || arg == "-h") {
      if (inline_value) return {std::nullopt, "--help takes no value"};
      options.help = true;
      continue;
    }
    if (arg != "--listen" && arg != "--log" && arg != "--media-dir") {
      return {std::nullopt, "unknown argument '" + args[i] + "'"};
    }
    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return {std::nullopt, arg + " needs a value"};
    }
    if (value.empty()) return {std::nullopt, arg + " needs a non-empty value"};
    if (arg == "--listen") {
      const auto listen = parse_listen(value);
      if (!listen) {
        return {std::nullopt, "--listen wants ADDRESS:PORT with an IP address (or localhost) and a port "
                              "from 0 to 65535, got '" + value + "'"};
      }
      options.address = listen->address;
      options.port = listen->port;
    } else if (arg == "--log") {
      options.log_file = value;
    } else {
      options.media_dir = value;
    }
  }
  return {options, {}};
}

std::string usage_text() {
  return "Usage: kada-vod-service [--listen ADDRESS:PORT] [--log FILE] [--media-dir DIR]\n"
         "\n"
         "The play service of kada-vod: serves the welcome page (/img/1.html), the play\n"
         "page (/play.php?str=LINK) and sample media (/media/NAME) over HTTP.\n"
         "\n"
         "  --listen ADDRESS:PORT  where to listen (default " + std::string(kDefaultListen) + ").\n"
         "                         ADDRESS is an IP address, [IPv6] or localhost. Port 0\n"
         "                         picks a free port. The chosen address is printed as\n"
         "                         'listening on http://ADDRESS:PORT'.\n"
         "  --log FILE             append one line per request (the request line) to FILE.\n"
         "  --media-dir DIR        serve /media/NAME from DIR instead of the bundled samples.\n"
         "  -h, --help             show this help.\n"
         "\n"
         "Bad arguments exit with status 2.\n";
}

}  // namespace kada
