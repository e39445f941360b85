// The little HTTP/1 the service speaks itself, for requests whose request
// line and headers are too long for libsoup (see main.cpp). No I/O here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kada {

// Where the request line and headers end: the offset just past the first
// empty line, which may end in CRLF or in a bare LF (libsoup takes both).
// npos while the empty line has not arrived.
std::size_t find_head_end(std::string_view received);

struct RequestHead {
  std::string method;
  std::string target;   // as received, in origin form ("/play.php?str=...")
  std::string version;  // "HTTP/1.0" or "HTTP/1.1"
  std::string host;     // the Host header's value, "" when there is none
  // "METHOD TARGET VERSION" as it came, for the log; for an absolute-form
  // target this keeps the scheme and host the client sent.
  std::string request_line;
};

// `head` is everything up to find_head_end(). nullopt when the request line
// is not "METHOD SP TARGET SP HTTP/1.x" or a header line has no colon.
std::optional<RequestHead> parse_request_head(std::string_view head);

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// "HTTP/1.1 STATUS REASON\r\n" + the headers + "\r\n".
std::string format_response_head(int status, const HeaderList& headers);

}  // namespace kada
