// kada-vod-service: the play service the desktop program's web view talks
// to. This file is the only one that knows about libsoup; everything it
// answers is decided by the pure functions in pages/link/media.

#include <glib-unix.h>
#include <libsoup/soup.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "http_head.hpp"
#include "media.hpp"
#include "options.hpp"
#include "pages.hpp"

namespace {

// libsoup 3 reads the request line and headers into one buffer and gives up
// once it holds more than 64 KiB (HEADER_SIZE_LIMIT in its HTTP/1 reader),
// dropping the connection without calling any handler. Play links can be far
// longer than that, so we accept connections ourselves and only peek at them:
// a request whose head ends within kPeekLimit goes to libsoup untouched, a
// longer one we read and answer here (see "Requests too long for libsoup").
constexpr std::size_t kPeekLimit = 60 * 1024;
constexpr std::size_t kHeadLimit = 16 * 1024 * 1024;
// A connection that has not sent a whole head by then is dropped; libsoup's
// own idle timeout is a minute too.
constexpr guint kPeekTimeoutSeconds = 60;
// For reading an oversized head and writing its answer.
constexpr guint kReadTimeoutSeconds = 30;

// After answering a request whose head we did not fully read we read and
// discard what the client is still sending, so that closing does not reset
// the connection and throw away our answer before the client reads it.
// Bounded in bytes and time.
constexpr std::size_t kDrainLimitBytes = 64 * 1024 * 1024;
constexpr guint kDrainLimitSeconds = 10;

constexpr const char* kLoggedKey = "kada-logged";
constexpr const char* kServerName = "kada-vod-service";

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'unsafe-inline'; media-src * data: blob:; img-src data:; "
    "base-uri 'none'; form-action 'none'";

struct Service {
  kada::Options options;
  std::filesystem::path media_dir;
  std::FILE* log = nullptr;
  std::string self_host;  // "127.0.0.1:8765", for a missing or odd Host header
  SoupServer* server = nullptr;
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

// One answer, whichever path the request came by: libsoup's or our own for
// heads libsoup cannot take.
struct Answer {
  int status = 200;
  kada::HeaderList headers;
  GBytes* body = nullptr;

  Answer() = default;
  Answer(const Answer&) = delete;
  Answer& operator=(const Answer&) = delete;
  Answer(Answer&& other) noexcept : status(other.status), headers(std::move(other.headers)), body(other.body) {
    other.body = nullptr;
  }
  ~Answer() {
    if (body) g_bytes_unref(body);
  }
};

Answer common_answer(int status) {
  Answer answer;
  answer.status = status;
  answer.headers = {{"X-Content-Type-Options", "nosniff"}, {"Referrer-Policy", "no-referrer"}};
  return answer;
}

Answer page_answer(const kada::Page& page) {
  Answer answer = common_answer(page.status);
  answer.headers.insert(answer.headers.end(), {{"Content-Type", "text/html; charset=utf-8"},
                                               {"Content-Security-Policy", kContentSecurityPolicy},
                                               {"Cache-Control", "no-store"}});
  answer.body = g_bytes_new(page.html.data(), page.html.size());
  return answer;
}

Answer media_answer(Service& service, std::string_view name, const char* range_header) {
  GMappedFile* file = nullptr;
  if (kada::is_safe_media_name(name)) {
    const std::string path = (service.media_dir / std::string(name)).string();
    if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) file = g_mapped_file_new(path.c_str(), FALSE, nullptr);
  }
  if (!file) return page_answer(kada::render_not_found("/media/" + std::string(name)));
  GBytes* bytes = g_mapped_file_get_bytes(file);
  g_mapped_file_unref(file);
  const std::uint64_t size = g_bytes_get_size(bytes);

  kada::RangeRequest range;
  if (range_header) range = kada::parse_range(range_header, size);
  Answer answer = common_answer(200);
  answer.headers.insert(answer.headers.end(),
                        {{"Accept-Ranges", "bytes"}, {"Content-Type", std::string(kada::media_content_type(name))}});
  switch (range.kind) {
    case kada::RangeRequest::Kind::kWhole:
      answer.body = g_bytes_ref(bytes);
      break;
    case kada::RangeRequest::Kind::kPartial:
      answer.status = 206;
      answer.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                       std::to_string(range.last) + "/" + std::to_string(size));
      answer.body = g_bytes_new_from_bytes(bytes, range.first, range.last - range.first + 1);
      break;
    case kada::RangeRequest::Kind::kUnsatisfiable:
      answer.status = 416;
      answer.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
      for (auto& [header, value] : answer.headers)
        if (header == "Content-Type") value = "text/plain; charset=utf-8";
      answer.body = g_bytes_new_static("range not satisfiable\n", 22);
      break;
  }
  g_bytes_unref(bytes);
  return answer;
}

// `target` is the request target in origin form; `range_header` is null
// when there is none or the client sent If-Range (we keep no validators, so
// the safe answer to If-Range is the whole file).
Answer build_answer(Service& service, std::string_view method, std::string_view target,
                    std::string_view host_header, const char* range_header) {
  if (method != "GET" && method != "HEAD") {
    Answer answer = page_answer(kada::render_method_not_allowed(method));
    answer.headers.emplace_back("Allow", "GET, HEAD");
    return answer;
  }
  const std::size_t question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  const std::string host = kada::usable_host(host_header, service.self_host);

  if (path == "/img/1.html") return page_answer(kada::render_welcome(host));
  if (path == kada::kPlayerScriptPath) {
    const std::string_view script = kada::player_script();
    Answer answer = common_answer(200);
    answer.headers.insert(answer.headers.end(), {{"Content-Type", "text/javascript; charset=utf-8"},
                                                 {"Cache-Control", "max-age=3600"}});
    answer.body = g_bytes_new_static(script.data(), script.size());
    return answer;
  }
  if (path == "/play.php") return page_answer(kada::render_play(query, host));
  if (path.starts_with("/media/")) return media_answer(service, path.substr(7), range_header);
  return page_answer(kada::render_not_found(path));
}

void handle_request(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer data) {
  Service& service = *static_cast<Service*>(data);
  log_request(service, msg);
  SoupMessageHeaders* request = soup_server_message_get_request_headers(msg);
  const char* host = soup_message_headers_get_one(request, "Host");
  const char* range = soup_message_headers_get_one(request, "Range");
  const std::string range_copy = range ? range : "";
  const bool use_range = range && !soup_message_headers_get_one(request, "If-Range");
  // Ranges are ours to answer; without this libsoup would rework a 200 into
  // its own 206 or 416 on the way out.
  soup_message_headers_remove(request, "Range");
  // Split the target ourselves: for an HTTP/1.0 request without Host libsoup
  // leaves the query inside the path.
  Answer answer = build_answer(service, soup_server_message_get_method(msg), request_target(msg), host ? host : "",
                               use_range ? range_copy.c_str() : nullptr);

  soup_server_message_set_status(msg, static_cast<guint>(answer.status), nullptr);
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
  for (const auto& [name, value] : answer.headers) soup_message_headers_replace(headers, name.c_str(), value.c_str());
  // The next request on a kept-alive connection would reach libsoup without
  // passing our size check, and a long link there would be dropped; a new
  // connection per request keeps every request on the checked path.
  soup_message_headers_replace(headers, "Connection", "close");
  soup_message_body_append_bytes(soup_server_message_get_response_body(msg), answer.body);
}

void on_request_read(SoupServer*, SoupServerMessage* msg, gpointer data) {
  log_request(*static_cast<Service*>(data), msg);
}

// --- Accepting connections ----------------------------------------------

struct Connection {
  Service* service = nullptr;
  GSocketConnection* stream = nullptr;
  int fd = -1;
  guint watch = 0;
  guint timer = 0;
  std::size_t peeked = 0;      // bytes seen by the last peek
  std::string received;        // an oversized head, read by us
  std::string response;        // what we are writing back
  std::size_t drained = 0;
  GCancellable* writing = nullptr;
};

void stop_sources(Connection* c) {
  if (c->watch) g_source_remove(c->watch);
  if (c->timer) g_source_remove(c->timer);
  c->watch = c->timer = 0;
}

// Only ever called while no write is in flight.
void finish(Connection* c) {
  stop_sources(c);
  g_io_stream_close(G_IO_STREAM(c->stream), nullptr, nullptr);
  g_object_unref(c->stream);
  delete c;
}

void set_low_water_mark(int fd, std::size_t bytes) {
  const int value = static_cast<int>(bytes);
  setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value);
}

gboolean on_connection_timeout(gpointer data) {
  auto* c = static_cast<Connection*>(data);
  c->timer = 0;
  if (c->writing) {
    g_cancellable_cancel(c->writing);  // on_response_written finishes it
  } else {
    finish(c);
  }
  return G_SOURCE_REMOVE;
}

void restart_timer(Connection* c, guint seconds) {
  if (c->timer) g_source_remove(c->timer);
  c->timer = g_timeout_add_seconds(seconds, on_connection_timeout, c);
}

void hand_to_libsoup(Connection* c) {
  stop_sources(c);
  set_low_water_mark(c->fd, 1);
  GSocketAddress* local = g_socket_connection_get_local_address(c->stream, nullptr);
  GSocketAddress* remote = g_socket_connection_get_remote_address(c->stream, nullptr);
  if (local && remote)
    soup_server_accept_iostream(c->service->server, G_IO_STREAM(c->stream), local, remote, nullptr);
  if (local) g_object_unref(local);
  if (remote) g_object_unref(remote);
  g_object_unref(c->stream);  // libsoup holds its own reference
  delete c;
}

// --- Requests too long for libsoup ----------------------------------------

gboolean on_drain_readable(gint fd, GIOCondition, gpointer data) {
  auto* c = static_cast<Connection*>(data);
  char buf[16384];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      c->drained += static_cast<std::size_t>(n);
      if (c->drained < kDrainLimitBytes) continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return G_SOURCE_CONTINUE;
    } else if (n < 0 && errno == EINTR) {
      continue;
    }
    c->watch = 0;  // returning REMOVE drops the source
    finish(c);
    return G_SOURCE_REMOVE;
  }
}

void on_response_written(GObject* source, GAsyncResult* result, gpointer data) {
  auto* c = static_cast<Connection*>(data);
  const bool written = g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), result, nullptr, nullptr);
  g_clear_object(&c->writing);
  if (!written) {
    finish(c);
    return;
  }
  shutdown(c->fd, SHUT_WR);
  c->watch = g_unix_fd_add(c->fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_drain_readable, c);
  restart_timer(c, kDrainLimitSeconds);
}

void send_answer(Connection* c, const Answer& answer, bool head_only) {
  stop_sources(c);
  kada::HeaderList headers = answer.headers;
  if (GDateTime* now = g_date_time_new_now_utc()) {
    char* date = soup_date_time_to_string(now, SOUP_DATE_HTTP);
    headers.emplace_back("Date", date);
    g_free(date);
    g_date_time_unref(now);
  }
  headers.emplace_back("Server", kServerName);
  gsize size = 0;
  const auto* body = static_cast<const char*>(g_bytes_get_data(answer.body, &size));
  headers.emplace_back("Content-Length", std::to_string(size));
  headers.emplace_back("Connection", "close");
  c->response = kada::format_response_head(answer.status, headers);
  if (!head_only && size) c->response.append(body, size);
  c->writing = g_cancellable_new();
  restart_timer(c, kReadTimeoutSeconds);
  g_output_stream_write_all_async(g_io_stream_get_output_stream(G_IO_STREAM(c->stream)), c->response.data(),
                                  c->response.size(), G_PRIORITY_DEFAULT, c->writing, on_response_written, c);
}

Answer bad_request_answer() {
  Answer answer = common_answer(400);
  answer.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  answer.body = g_bytes_new_static("bad request\n", 12);
  return answer;
}

void answer_head(Connection* c, std::string_view head) {
  Service& service = *c->service;
  const std::optional<kada::RequestHead> request = kada::parse_request_head(head);
  if (!request) {
    write_log_line(service, "- (request line not understood) HTTP/1.1");
    send_answer(c, bad_request_answer(), false);
    return;
  }
  write_log_line(service, request->request_line);
  // The Range header is not looked at here: a media request with a head
  // this long gets the whole file.
  send_answer(c, build_answer(service, request->method, request->target, request->host, nullptr),
              request->method == "HEAD");
}

void answer_too_large(Connection* c) {
  write_log_line(*c->service,
                 "- (request line and headers over " + std::to_string(kHeadLimit) + " bytes, not read) HTTP/1.1");
  send_answer(c, page_answer(kada::render_request_too_large(kHeadLimit)), false);
}

gboolean on_head_readable(gint fd, GIOCondition, gpointer data) {
  auto* c = static_cast<Connection*>(data);
  char buf[65536];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return G_SOURCE_CONTINUE;
    if (n <= 0) {  // the client gave up halfway
      c->watch = 0;
      finish(c);
      return G_SOURCE_REMOVE;
    }
    // Only the new bytes and the two before them can complete the empty line.
    const std::size_t from = c->received.size() > 2 ? c->received.size() - 2 : 0;
    c->received.append(buf, static_cast<std::size_t>(n));
    const std::size_t end = kada::find_head_end(std::string_view(c->received).substr(from));
    if (end != std::string_view::npos && from + end <= kHeadLimit) {
      c->watch = 0;
      answer_head(c, std::string_view(c->received).substr(0, from + end));
      return G_SOURCE_REMOVE;
    }
    if (c->received.size() > kHeadLimit) {
      c->watch = 0;
      answer_too_large(c);
      return G_SOURCE_REMOVE;
    }
  }
}

gboolean on_peek_ready(gint fd, GIOCondition, gpointer data) {
  auto* c = static_cast<Connection*>(data);
  std::string buf(kPeekLimit, '\0');
  ssize_t n;
  do {
    n = recv(fd, buf.data(), buf.size(), MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return G_SOURCE_CONTINUE;
  // End of input (or an error) before a whole head, or nothing new since the
  // last look: the client has stopped sending, so there is nothing to answer.
  if (n <= 0 || static_cast<std::size_t>(n) == c->peeked) {
    c->watch = 0;
    finish(c);
    return G_SOURCE_REMOVE;
  }
  c->peeked = static_cast<std::size_t>(n);
  if (kada::find_head_end(std::string_view(buf.data(), c->peeked)) != std::string_view::npos) {
    c->watch = 0;
    hand_to_libsoup(c);
    return G_SOURCE_REMOVE;
  }
  if (c->peeked >= kPeekLimit) {
    set_low_water_mark(fd, 1);
    restart_timer(c, kReadTimeoutSeconds);
    c->watch = g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_head_readable, c);
    return G_SOURCE_REMOVE;
  }
  // Peeking leaves the bytes queued, so the socket would keep reporting
  // itself readable; wake us only once more has arrived.
  set_low_water_mark(fd, c->peeked + 1);
  return G_SOURCE_CONTINUE;
}

gboolean on_incoming(GSocketService*, GSocketConnection* stream, GObject*, gpointer data) {
  auto* c = new Connection;
  c->service = static_cast<Service*>(data);
  c->stream = G_SOCKET_CONNECTION(g_object_ref(stream));
  c->fd = g_socket_get_fd(g_socket_connection_get_socket(stream));
  c->watch = g_unix_fd_add(c->fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_peek_ready, c);
  restart_timer(c, kPeekTimeoutSeconds);
  return TRUE;
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
  service.server = soup_server_new("server-header", kServerName, "raw-paths", TRUE, nullptr);
  soup_server_add_handler(service.server, nullptr, handle_request, &service, nullptr);
  g_signal_connect(service.server, "request-read", G_CALLBACK(on_request_read), &service);
  g_signal_connect(service.server, "request-finished", G_CALLBACK(on_request_read), &service);
  g_signal_connect(service.server, "request-aborted", G_CALLBACK(on_request_read), &service);

  // We listen, not libsoup: every connection is looked at first (on_incoming).
  GSocketService* listener = g_socket_service_new();
  GInetAddress* address = g_inet_address_new_from_string(service.options.address.c_str());
  GSocketAddress* socket_address = g_inet_socket_address_new(address, service.options.port);
  g_object_unref(address);
  GError* error = nullptr;
  GSocketAddress* bound = nullptr;
  const bool listening = g_socket_listener_add_address(G_SOCKET_LISTENER(listener), socket_address,
                                                       G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr,
                                                       &bound, &error);
  g_object_unref(socket_address);
  if (!listening) {
    std::fprintf(stderr, "kada-vod-service: cannot listen on %s port %u: %s\n", service.options.address.c_str(),
                 service.options.port, error->message);
    g_error_free(error);
    g_object_unref(listener);
    g_object_unref(service.server);
    return 1;
  }
  const guint port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
  g_object_unref(bound);
  g_signal_connect(listener, "incoming", G_CALLBACK(on_incoming), &service);
  g_socket_service_start(listener);
  const bool v6 = service.options.address.find(':') != std::string::npos;
  service.self_host = (v6 ? "[" + service.options.address + "]" : service.options.address) + ":" + std::to_string(port);
  std::printf("listening on http://%s\n", service.self_host.c_str());
  std::fflush(stdout);

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGINT, on_quit_signal, loop);
  g_unix_signal_add(SIGTERM, on_quit_signal, loop);
  g_main_loop_run(loop);

  g_socket_service_stop(listener);
  g_socket_listener_close(G_SOCKET_LISTENER(listener));
  g_object_unref(listener);
  soup_server_disconnect(service.server);
  g_object_unref(service.server);
  g_main_loop_unref(loop);
  if (service.log) std::fclose(service.log);
  return 0;
}
