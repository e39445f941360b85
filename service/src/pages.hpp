// The HTML the service answers with. Every byte that came from a request
// goes through html_text()/html_escape() before it lands in a page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kada {

struct Page {
  int status = 200;
  std::string html;
};

// The visible part of the desktop program's web view; the player fills it.
inline constexpr int kPlayerWidth = 854;
inline constexpr int kPlayerHeight = 488;

// The Host header is only used when it looks like a host (name, IPv4,
// [IPv6], optional port); anything else falls back to `fallback`.
std::string usable_host(std::string_view host_header, std::string_view fallback);

// "http://HOST/media/sample.webm"
std::string sample_link(std::string_view host);

Page render_welcome(std::string_view host);

// `query` is the request target after its first '?'.
Page render_play(std::string_view query, std::string_view host);

// Served as /img/play.js and loaded by the player page. It starts playback
// muted when the engine refuses to autoplay with sound (WebKitGTK's default
// policy), and says so in the page when the video cannot be played at all.
inline constexpr std::string_view kPlayerScriptPath = "/img/play.js";
std::string_view player_script();

Page render_not_found(std::string_view path);
Page render_method_not_allowed(std::string_view method);
Page render_request_too_large(std::size_t limit_bytes);

}  // namespace kada
