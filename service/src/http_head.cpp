#include "http_head.hpp"

namespace kada {

namespace {

bool is_token_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// "http://host/path?q" -> "/path?q"; the pages only look at path and query.
std::string_view origin_form(std::string_view target) {
  if (target.starts_with('/')) return target;
  const std::size_t scheme_end = target.find("://");
  if (scheme_end == std::string_view::npos) return {};
  for (char c : target.substr(0, scheme_end))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return {};
  const std::size_t path = target.find_first_of("/?", scheme_end + 3);
  if (path == std::string_view::npos) return "/";
  return target.substr(path);
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    default: return "Unknown";
  }
}

}  // namespace

std::size_t find_head_end(std::string_view received) {
  for (std::size_t i = received.find('\n'); i != std::string_view::npos; i = received.find('\n', i + 1)) {
    if (i + 1 < received.size() && received[i + 1] == '\n') return i + 2;
    if (i + 2 < received.size() && received[i + 1] == '\r' && received[i + 2] == '\n') return i + 3;
  }
  return std::string_view::npos;
}

std::optional<RequestHead> parse_request_head(std::string_view head) {
  const std::size_t line_end = head.find('\n');
  if (line_end == std::string_view::npos) return std::nullopt;
  std::string_view line = head.substr(0, line_end);
  if (line.ends_with('\r')) line.remove_suffix(1);

  const std::size_t first_space = line.find(' ');
  const std::size_t last_space = line.rfind(' ');
  if (first_space == std::string_view::npos || first_space == last_space) return std::nullopt;
  const std::string_view method = line.substr(0, first_space);
  const std::string_view target = line.substr(first_space + 1, last_space - first_space - 1);
  const std::string_view version = line.substr(last_space + 1);
  if (method.empty()) return std::nullopt;
  for (char c : method)
    if (!is_token_char(c)) return std::nullopt;
  if (version != "HTTP/1.0" && version != "HTTP/1.1") return std::nullopt;
  if (target.empty()) return std::nullopt;
  for (char c : target)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return std::nullopt;
  const std::string_view path = origin_form(target);
  if (path.empty()) return std::nullopt;

  RequestHead request{std::string(method), std::string(path), std::string(version), {}, std::string(line)};
  std::size_t start = line_end + 1;
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view header = trim(head.substr(start, end - start));
    start = end + 1;
    if (header.empty()) break;  // the empty line that ends the head
    const std::size_t colon = header.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    if (equals_ignoring_case(header.substr(0, colon), "host")) request.host = trim(header.substr(colon + 1));
  }
  return request;
}

std::string format_response_head(int status, const HeaderList& headers) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) + "\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  head += "\r\n";
  return head;
}

}  // namespace kada
