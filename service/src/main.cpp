// kada-vod-service: the play service the desktop program's web view talks
// to. This file is the only one that knows about libsoup; everything it
// answers is decided by the pure functions in pages/link/media.

#include <fcntl.h>
#include <glib-unix.h>
#include <libsoup/soup.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "media.hpp"
#include "options.hpp"
#include "pages.hpp"

namespace {

// libsoup 3 reads the request line and headers into one buffer and gives up
// once it holds more than 64 KiB (HEADER_SIZE_LIMIT in its HTTP/1 reader).
// It then drops the connection without answering and without calling any
// handler or emitting request-finished; a link longer than roughly this
// never reaches us. We notice the drop (see watch_for_oversized_request) and
// answer 414 on a duplicate of the socket ourselves.
constexpr std::size_t kLibsoupHeaderLimit = 64 * 1024;

// After answering an oversized request we read and discard what the client
// is still sending, so that closing does not reset the connection and throw
// away our answer before the client reads it. Bounded in bytes and time.
constexpr std::size_t kDrainLimitBytes = 64 * 1024 * 1024;
constexpr guint kDrainLimitSeconds = 10;

constexpr const char* kFdKey = "kada-dup-fd";
constexpr const char* kLoggedKey = "kada-logged";

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'unsafe-inline'; media-src * data: blob:; img-src data:; "
    "base-uri 'none'; form-action 'none'";

struct Service {
  kada::Options options;
  std::filesystem::path media_dir;
  std::FILE* log = nullptr;
  std::string self_host;  // "127.0.0.1:8765", for a missing or odd Host header
};

// The request target as libsoup parsed it. With raw-paths libsoup keeps the
// path and query escaped but still normalises them: escapes of unreserved characters (letters,
// digits, - . _ ~) are decoded, hex digits are upper-cased, and bytes outside
// printable ASCII are escaped. What the web view sends is already in that
// form, so for it this is byte for byte the target on the wire.
std::string request_target(SoupServerMessage* msg) {
  GUri* uri = soup_server_message_get_uri(msg);
  if (!uri) return {};
  std::string target = g_uri_get_path(uri);
  if (const char* query = g_uri_get_query(uri)) {
    target += '?';
    target += query;
  }
  if (const char* fragment = g_uri_get_fragment(uri)) {
    target += '#';
    target += fragment;
  }
  return target;
}

void write_log_line(Service& service, const std::string& line) {
  if (!service.log) return;
  std::fwrite(line.data(), 1, line.size(), service.log);
  std::fputc('\n', service.log);
  std::fflush(service.log);
}

void log_request(Service& service, SoupServerMessage* msg) {
  if (!service.log || g_object_get_data(G_OBJECT(msg), kLoggedKey)) return;
  g_object_set_data(G_OBJECT(msg), kLoggedKey, GINT_TO_POINTER(1));
  const char* method = soup_server_message_get_method(msg);
  std::string target = request_target(msg);
  // Requests libsoup refused to parse (a broken %-escape, say) come without
  // a target; they still get their line.
  if (target.empty()) target = "(request target rejected by the HTTP parser)";
  const char* version = soup_server_message_get_http_version(msg) == SOUP_HTTP_1_0 ? "HTTP/1.0" : "HTTP/1.1";
  write_log_line(service, std::string(method ? method : "-") + " " + target + " " + version);
}

void set_common_headers(SoupServerMessage* msg) {
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(headers, "X-Content-Type-Options", "nosniff");
  soup_message_headers_replace(headers, "Referrer-Policy", "no-referrer");
}

void send_page(SoupServerMessage* msg, const kada::Page& page) {
  soup_server_message_set_status(msg, static_cast<guint>(page.status), nullptr);
  soup_server_message_set_response(msg, "text/html; charset=utf-8", SOUP_MEMORY_COPY, page.html.data(),
                                   page.html.size());
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
  set_common_headers(msg);
  soup_message_headers_replace(headers, "Content-Security-Policy", kContentSecurityPolicy);
  soup_message_headers_replace(headers, "Cache-Control", "no-store");
}

void serve_media(Service& service, SoupServerMessage* msg, std::string_view name) {
  GMappedFile* file = nullptr;
  if (kada::is_safe_media_name(name)) {
    const std::string path = (service.media_dir / std::string(name)).string();
    if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) file = g_mapped_file_new(path.c_str(), FALSE, nullptr);
  }
  if (!file) {
    send_page(msg, kada::render_not_found("/media/" + std::string(name)));
    return;
  }
  GBytes* bytes = g_mapped_file_get_bytes(file);
  g_mapped_file_unref(file);
  const std::uint64_t size = g_bytes_get_size(bytes);

  SoupMessageHeaders* request = soup_server_message_get_request_headers(msg);
  kada::RangeRequest range;
  const char* range_header = soup_message_headers_get_one(request, "Range");
  // With If-Range the client wants the range only if the file is unchanged;
  // we keep no validators, so the safe answer is the whole file.
  if (range_header && !soup_message_headers_get_one(request, "If-Range"))
    range = kada::parse_range(range_header, size);
  // Ranges are ours to answer; without this libsoup would rework a 200 into
  // its own 206 or 416 on the way out.
  soup_message_headers_remove(request, "Range");

  SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
  set_common_headers(msg);
  soup_message_headers_replace(headers, "Accept-Ranges", "bytes");
  soup_message_headers_replace(headers, "Content-Type", kada::media_content_type(name));
  SoupMessageBody* body = soup_server_message_get_response_body(msg);
  switch (range.kind) {
    case kada::RangeRequest::Kind::kWhole:
      soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
      soup_message_body_append_bytes(body, bytes);
      break;
    case kada::RangeRequest::Kind::kPartial: {
      soup_server_message_set_status(msg, SOUP_STATUS_PARTIAL_CONTENT, nullptr);
      soup_message_headers_set_content_range(headers, static_cast<goffset>(range.first),
                                             static_cast<goffset>(range.last), static_cast<goffset>(size));
      GBytes* part = g_bytes_new_from_bytes(bytes, range.first, range.last - range.first + 1);
      soup_message_body_append_bytes(body, part);
      g_bytes_unref(part);
      break;
    }
    case kada::RangeRequest::Kind::kUnsatisfiable:
      soup_server_message_set_status(msg, SOUP_STATUS_REQUESTED_RANGE_NOT_SATISFIABLE, nullptr);
      soup_message_headers_replace(headers, "Content-Range", ("bytes */" + std::to_string(size)).c_str());
      soup_message_headers_replace(headers, "Content-Type", "text/plain; charset=utf-8");
      soup_message_body_append(body, SOUP_MEMORY_STATIC, "range not satisfiable\n", 22);
      break;
  }
  g_bytes_unref(bytes);
}

void handle_request(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer data) {
  Service& service = *static_cast<Service*>(data);
  log_request(service, msg);
  const std::string method = soup_server_message_get_method(msg);
  if (method != "GET" && method != "HEAD") {
    send_page(msg, kada::render_method_not_allowed(method));
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "GET, HEAD");
    return;
  }
  // Split the target ourselves: for an HTTP/1.0 request without Host libsoup
  // leaves the query inside the path.
  const std::string target = request_target(msg);
  const std::size_t question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string_view query =
      question == std::string::npos ? std::string_view() : std::string_view(target).substr(question + 1);
  const char* host_header = soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Host");
  const std::string host = kada::usable_host(host_header ? host_header : "", service.self_host);

  if (path == "/img/1.html") {
    send_page(msg, kada::render_welcome(host));
  } else if (path == kada::kPlayerScriptPath) {
    const std::string_view script = kada::player_script();
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_server_message_set_response(msg, "text/javascript; charset=utf-8", SOUP_MEMORY_STATIC, script.data(),
                                     script.size());
    set_common_headers(msg);
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", "max-age=3600");
  } else if (path == "/play.php") {
    if (question == std::string::npos) {
      send_page(msg, kada::render_play("", host));
    } else {
      send_page(msg, kada::render_play(query, host));
    }
  } else if (path.starts_with("/media/")) {
    serve_media(service, msg, std::string_view(path).substr(7));
  } else {
    send_page(msg, kada::render_not_found(path));
  }
}

// --- Answering requests libsoup dropped for being too large -------------

struct Lingering {
  int fd;
  std::size_t drained = 0;
  guint watch = 0;
  guint timer = 0;
};

void end_lingering(Lingering* linger) {
  if (linger->watch) g_source_remove(linger->watch);
  if (linger->timer) g_source_remove(linger->timer);
  close(linger->fd);
  delete linger;
}

gboolean on_linger_readable(gint fd, GIOCondition, gpointer data) {
  auto* linger = static_cast<Lingering*>(data);
  char buf[16384];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      linger->drained += static_cast<std::size_t>(n);
      if (linger->drained < kDrainLimitBytes) continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return G_SOURCE_CONTINUE;
    } else if (n < 0 && errno == EINTR) {
      continue;
    }
    linger->watch = 0;  // returning REMOVE drops the source
    end_lingering(linger);
    return G_SOURCE_REMOVE;
  }
}

gboolean on_linger_timeout(gpointer data) {
  auto* linger = static_cast<Lingering*>(data);
  linger->timer = 0;
  end_lingering(linger);
  return G_SOURCE_REMOVE;
}

void answer_oversized(Service& service, int fd) {
  const kada::Page page = kada::render_request_too_large(kLibsoupHeaderLimit);
  const std::string response = "HTTP/1.1 414 URI Too Long\r\n"
                               "Content-Type: text/html; charset=utf-8\r\n"
                               "Content-Length: " + std::to_string(page.html.size()) + "\r\n"
                               "Content-Security-Policy: " + kContentSecurityPolicy + "\r\n"
                               "Connection: close\r\n\r\n" + page.html;
  // A fresh connection's send buffer takes these couple of KB at once; if
  // it somehow does not, the client simply sees the connection close.
  (void)send(fd, response.data(), response.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  write_log_line(service, "- (request line and headers over " + std::to_string(kLibsoupHeaderLimit) +
                              " bytes, not read) HTTP/1.1");
  auto* linger = new Lingering{fd};
  linger->watch = g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_linger_readable, linger);
  linger->timer = g_timeout_add_seconds(kDrainLimitSeconds, on_linger_timeout, linger);
}

void close_fd(gpointer data) { close(GPOINTER_TO_INT(data) - 1); }

void on_message_disconnected(SoupServerMessage* msg, gpointer data) {
  // A message without a method whose status libsoup set to 500 is one whose
  // request line and headers it failed to read; a request line it could read
  // but not parse gets 400, and libsoup answers that one itself. If the
  // client is still there (no EOF) the failed read was the size limit, not a
  // client hanging up halfway.
  if (soup_server_message_get_method(msg)) return;
  if (soup_server_message_get_status(msg) != SOUP_STATUS_INTERNAL_SERVER_ERROR) return;
  gpointer stored = g_object_steal_data(G_OBJECT(msg), kFdKey);
  if (!stored) return;
  const int fd = GPOINTER_TO_INT(stored) - 1;
  char probe;
  const ssize_t n = recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
    answer_oversized(*static_cast<Service*>(data), fd);
  } else {
    close(fd);
  }
}

// libsoup closes its socket before telling us a request was dropped, so we
// keep our own descriptor for the connection from the first byte on. It is
// closed with the message unless we need it.
void watch_for_oversized_request(SoupServer*, SoupServerMessage* msg, gpointer data) {
  GSocket* socket = soup_server_message_get_socket(msg);
  if (!socket) return;
  const int fd = fcntl(g_socket_get_fd(socket), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return;
  g_object_set_data_full(G_OBJECT(msg), kFdKey, GINT_TO_POINTER(fd + 1), close_fd);
  g_signal_connect(msg, "disconnected", G_CALLBACK(on_message_disconnected), data);
}

void on_request_read(SoupServer*, SoupServerMessage* msg, gpointer data) {
  log_request(*static_cast<Service*>(data), msg);
}

// --- Start-up ------------------------------------------------------------

std::filesystem::path default_media_dir() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && std::filesystem::is_directory(exe.parent_path() / "media", error))
    return exe.parent_path() / "media";
  return KADA_MEDIA_SOURCE_DIR;
}

gboolean on_quit_signal(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "kada-vod-service: %s\nTry 'kada-vod-service --help' for the options.\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const kada::ParsedOptions parsed = kada::parse_options(args);
  if (!parsed.options) return usage_error(parsed.error);
  Service service;
  service.options = *parsed.options;
  if (service.options.help) {
    std::fputs(kada::usage_text().c_str(), stdout);
    return 0;
  }

  std::error_code fs_error;
  if (!service.options.media_dir.empty()) {
    if (!std::filesystem::is_directory(service.options.media_dir, fs_error))
      return usage_error("--media-dir '" + service.options.media_dir + "' is not a directory");
    service.media_dir = service.options.media_dir;
  } else {
    service.media_dir = default_media_dir();
  }
  if (!service.options.log_file.empty()) {
    service.log = std::fopen(service.options.log_file.c_str(), "a");
    if (!service.log) {
      return usage_error("cannot open log file '" + service.options.log_file + "': " + g_strerror(errno));
    }
  }

  // raw-paths: without it libsoup decodes the path before we see it, and
  // turns away a path that decodes to "..", so we could neither log the
  // target as sent nor answer such a request with our own 404 page.
  SoupServer* server = soup_server_new("server-header", "kada-vod-service", "raw-paths", TRUE, nullptr);
  soup_server_add_handler(server, nullptr, handle_request, &service, nullptr);
  g_signal_connect(server, "request-started", G_CALLBACK(watch_for_oversized_request), &service);
  g_signal_connect(server, "request-read", G_CALLBACK(on_request_read), &service);
  g_signal_connect(server, "request-finished", G_CALLBACK(on_request_read), &service);
  g_signal_connect(server, "request-aborted", G_CALLBACK(on_request_read), &service);

  GInetAddress* address = g_inet_address_new_from_string(service.options.address.c_str());
  GSocketAddress* socket_address = g_inet_socket_address_new(address, service.options.port);
  g_object_unref(address);
  GError* error = nullptr;
  const bool listening = soup_server_listen(server, socket_address, static_cast<SoupServerListenOptions>(0), &error);
  g_object_unref(socket_address);
  if (!listening) {
    std::fprintf(stderr, "kada-vod-service: cannot listen on %s port %u: %s\n", service.options.address.c_str(),
                 service.options.port, error->message);
    g_error_free(error);
    g_object_unref(server);
    return 1;
  }

  guint port = service.options.port;
  if (GSList* listeners = soup_server_get_listeners(server)) {
    GSocketAddress* local = g_socket_get_local_address(G_SOCKET(listeners->data), nullptr);
    if (local) {
      port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local));
      g_object_unref(local);
    }
    g_slist_free(listeners);
  }
  const bool v6 = service.options.address.find(':') != std::string::npos;
  service.self_host = (v6 ? "[" + service.options.address + "]" : service.options.address) + ":" + std::to_string(port);
  std::printf("listening on http://%s\n", service.self_host.c_str());
  std::fflush(stdout);

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGINT, on_quit_signal, loop);
  g_unix_signal_add(SIGTERM, on_quit_signal, loop);
  g_main_loop_run(loop);

  soup_server_disconnect(server);
  g_object_unref(server);
  g_main_loop_unref(loop);
  if (service.log) std::fclose(service.log);
  return 0;
}
