// Just enough HTTP over plain sockets for testing the service: requests are
// sent byte for byte as written, so the tests control the exact target.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kada::test {

struct HttpResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;

  std::string header(const std::string& lower_name) const {
    auto it = headers.find(lower_name);
    return it == headers.end() ? std::string() : it->second;
  }
};

// Sends `request` to 127.0.0.1:port and reads until the server closes.
// nullopt when nothing that looks like an HTTP response came back.
std::optional<HttpResponse> exchange(std::uint16_t port, std::string_view request);

// The same, sending the request in `pieces` with a short pause after each,
// so that the server sees the connection idle in between.
std::optional<HttpResponse> exchange_in_pieces(std::uint16_t port, const std::vector<std::string_view>& pieces);

// "GET target HTTP/1.1" with Host and "Connection: close"; `extra_headers`
// are complete "Name: value\r\n" lines.
std::string get_request(std::string_view target, std::uint16_t port, std::string_view extra_headers = {},
                        std::string_view method = "GET");

// The value of data-kind on the page's <body>, or "" if there is none.
std::string page_kind(const std::string& html);

// A kada-vod-service child process on a free loopback port.
class ServiceProcess {
 public:
  // Starts the service with --listen 127.0.0.1:0 plus `extra_args` and waits
  // for its "listening on" line. port() is 0 if that did not happen.
  explicit ServiceProcess(const std::vector<std::string>& extra_args);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  std::uint16_t port() const { return port_; }
  const std::string& first_line() const { return first_line_; }
  // Whether the process is still running (it must survive every request).
  bool running();

 private:
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  std::uint16_t port_ = 0;
  std::string first_line_;
};

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};
// Runs the service binary to completion (for argument handling); gives up
// after a few seconds and reports exit_code -1 then.
RunResult run_service(const std::vector<std::string>& args);

}  // namespace kada::test
