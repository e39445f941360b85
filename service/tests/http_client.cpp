#include "http_client.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace kada::test {

namespace {

constexpr int kIoTimeoutSeconds = 20;

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::optional<HttpResponse> parse_response(const std::string& raw) {
  const std::size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos || !raw.starts_with("HTTP/1.")) return std::nullopt;
  HttpResponse response;
  const std::size_t first_space = raw.find(' ');
  response.status = std::atoi(raw.c_str() + first_space + 1);
  std::size_t line_start = raw.find("\r\n") + 2;
  while (line_start < head_end) {
    const std::size_t line_end = raw.find("\r\n", line_start);
    const std::string line = raw.substr(line_start, line_end - line_start);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::size_t value_start = colon + 1;
      while (value_start < line.size() && line[value_start] == ' ') ++value_start;
      response.headers[lower(line.substr(0, colon))] = line.substr(value_start);
    }
    line_start = line_end + 2;
  }
  response.body = raw.substr(head_end + 4);
  return response;
}

// Reads what is available on `fd` within `deadline`, stopping at the first
// newline. Used for the service's "listening on" line.
std::string read_line(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string line;
  char c;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (poll(&p, 1, left > 0 ? left : 0) <= 0) break;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0) break;
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

std::string read_all(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return out;
    }
  }
}

pid_t spawn(const std::vector<std::string>& args, int out_fd, int err_fd) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(KADA_SERVICE_EXE));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, STDOUT_FILENO);
    if (err_fd >= 0) dup2(err_fd, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits up to `seconds` for the child; true with its status if it ended.
bool wait_for(pid_t pid, int seconds, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (done < 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

std::optional<HttpResponse> exchange_in_pieces(std::uint16_t port, const std::vector<std::string_view>& pieces) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  timeval timeout{kIoTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return std::nullopt;
  }
  bool sending = true;
  for (std::size_t i = 0; i < pieces.size() && sending; ++i) {
    const std::string_view piece = pieces[i];
    std::size_t sent = 0;
    while (sent < piece.size()) {
      const ssize_t n = send(fd, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {  // the server may answer before taking everything
        sending = false;
        break;
      }
      sent += static_cast<std::size_t>(n);
    }
    if (i + 1 < pieces.size()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::string raw;
  char buf[16384];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return parse_response(raw);
}

std::optional<HttpResponse> exchange(std::uint16_t port, std::string_view request) {
  return exchange_in_pieces(port, {request});
}

std::string get_request(std::string_view target, std::uint16_t port, std::string_view extra_headers,
                        std::string_view method) {
  std::string request(method);
  request += ' ';
  request += target;
  request += " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n";
  request += extra_headers;
  request += "\r\n";
  return request;
}

std::string page_kind(const std::string& html) {
  static constexpr std::string_view kMarker = "<body data-kind=\"";
  const std::size_t at = html.find(kMarker);
  if (at == std::string::npos) return {};
  const std::size_t start = at + kMarker.size();
  return html.substr(start, html.find('"', start) - start);
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& extra_args) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  std::vector<std::string> args = {"--listen", "127.0.0.1:0"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  pid_ = spawn(args, pipe_fds[1], -1);
  close(pipe_fds[1]);
  stdout_fd_ = pipe_fds[0];
  if (pid_ < 0) return;
  first_line_ = read_line(stdout_fd_, std::chrono::steady_clock::now() + std::chrono::seconds(10));
  static constexpr std::string_view kPrefix = "listening on http://127.0.0.1:";
  if (first_line_.starts_with(kPrefix)) {
    const int port = std::atoi(first_line_.c_str() + kPrefix.size());
    if (port > 0 && port < 65536) port_ = static_cast<std::uint16_t>(port);
  }
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    int status = 0;
    kill(pid_, SIGTERM);
    if (!wait_for(pid_, 5, &status)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  if (stdout_fd_ >= 0) close(stdout_fd_);
}

bool ServiceProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  return waitpid(pid_, &status, WNOHANG) == 0;
}

RunResult run_service(const std::vector<std::string>& args) {
  RunResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) return result;
  const pid_t pid = spawn(args, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  int status = 0;
  if (wait_for(pid, 5, &status)) {
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  } else {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  result.out = read_all(out_pipe[0]);
  result.err = read_all(err_pipe[0]);
  close(out_pipe[0]);
  close(err_pipe[0]);
  return result;
}

}  // namespace kada::test
