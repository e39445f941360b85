#include "link.hpp"

#include <algorithm>
#include <array>

#include "text.hpp"

namespace kada {

namespace {

// A thunder link inside a thunder link is legal but pointless; more layers
// than this are more likely someone testing how deep we go.
constexpr int kMaxWrapDepth = 4;

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool is_scheme_char(char c, bool first) {
  const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return alpha;
  return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// "rtmp" for "rtmp://host/..."; empty when the text does not start with
// a scheme followed by "://".
std::string hierarchical_scheme(std::string_view text) {
  const std::size_t sep = text.find("://");
  if (sep == std::string_view::npos || sep == 0) return {};
  for (std::size_t i = 0; i < sep; ++i)
    if (!is_scheme_char(text[i], i == 0)) return {};
  return ascii_lower(text.substr(0, sep));
}

bool all_of(std::string_view text, bool (*pred)(char)) {
  return std::all_of(text.begin(), text.end(), pred);
}
bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_base32(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '2' && c <= '7'); }

std::string_view strip_trailing_slashes(std::string_view payload) {
  while (!payload.empty() && payload.back() == '/') payload.remove_suffix(1);
  return payload;
}

struct WrapperForm {
  std::string_view scheme;
  std::string_view name;    // how users know it, for messages
  std::string_view head;    // marker before the address in the decoded payload
  std::string_view tail;    // marker after it
  bool cut_at_ampersand;    // payload may be followed by "&..." extras
};

constexpr std::array<WrapperForm, 3> kWrappers = {{
    {"thunder", "迅雷", "AA", "ZZ", false},
    {"flashget", "快车", "[FLASHGET]", "[FLASHGET]", true},
    {"qqdl", "QQ 旋风", "", "", true},
}};

UnwrapResult unwrap_with(const WrapperForm& form, std::string_view payload) {
  if (form.cut_at_ampersand) payload = payload.substr(0, payload.find('&'));
  payload = strip_trailing_slashes(trim_ascii_space(payload));
  const std::string name(form.name);
  if (payload.empty()) return {std::nullopt, name + "链接里没有内容。"};
  const auto bytes = base64_decode(payload);
  if (!bytes) return {std::nullopt, name + "链接的内容不是有效的 Base64 编码，无法解开。"};
  std::string_view inner(*bytes);
  if (!form.head.empty()) {
    if (inner.size() < form.head.size() + form.tail.size() || !inner.starts_with(form.head) ||
        !inner.ends_with(form.tail)) {
      return {std::nullopt, name + "链接解码后缺少 " + std::string(form.head) + "……" +
                                std::string(form.tail) + " 包裹，不是有效的" + name + "链接。"};
    }
    inner = inner.substr(form.head.size(), inner.size() - form.head.size() - form.tail.size());
  }
  if (trim_ascii_space(inner).empty()) return {std::nullopt, name + "链接里的地址是空的。"};
  return {std::string(inner), {}};
}

// The escaped form is only trusted for parsing when it still starts with the
// same scheme; a client that escaped the scheme itself gets the decoded text.
std::string pick_address(std::string_view wire, std::string_view decoded) {
  wire = trim_ascii_space(wire);
  const std::size_t colon = decoded.find(':');
  if (colon != std::string_view::npos && starts_with_icase(wire, decoded.substr(0, colon + 1)))
    return std::string(wire);
  return std::string(decoded);
}

ClassifiedLink classify_at(std::string_view wire, std::string_view decoded, int depth) {
  ClassifiedLink result;
  const std::string_view text = trim_ascii_space(decoded);
  if (text.empty()) {
    result.kind = LinkKind::kEmpty;
    return result;
  }

  std::string wrapper;
  if (auto unwrapped = unwrap(text, &wrapper)) {
    if (!unwrapped->address) {
      result.kind = LinkKind::kBadWrapper;
      result.address = std::string(text);
      result.error = unwrapped->error;
      return result;
    }
    if (depth >= kMaxWrapDepth) {
      result.kind = LinkKind::kBadWrapper;
      result.address = std::string(text);
      result.error = "链接一层套一层，超过了 " + std::to_string(kMaxWrapDepth) + " 层，不再继续解开。";
      return result;
    }
    // The wrapped address is what a user would have pasted: escaped form.
    ClassifiedLink inner = classify_at(*unwrapped->address, *unwrapped->address, depth + 1);
    inner.layers.insert(inner.layers.begin(), Unwrapped{wrapper, std::string(text)});
    return inner;
  }

  result.address = pick_address(wire, text);
  const std::string scheme = hierarchical_scheme(text);
  if (scheme == "http" || scheme == "https") {
    if (url_host(text).empty()) {
      result.kind = LinkKind::kNotALink;
    } else {
      result.kind = is_playable_extension(path_extension(text)) ? LinkKind::kMedia : LinkKind::kWebPage;
    }
  } else if (scheme == "ftp") {
    result.kind = LinkKind::kFtp;
  } else if (scheme == "ed2k") {
    result.kind = LinkKind::kEd2k;
  } else if (starts_with_icase(text, "magnet:")) {
    result.kind = LinkKind::kMagnet;
  } else if (!scheme.empty()) {
    result.kind = LinkKind::kOtherScheme;
  } else {
    result.kind = LinkKind::kNotALink;
  }
  return result;
}

}  // namespace

ReceivedLink extract_link(std::string_view query) {
  ReceivedLink link;
  std::size_t pos = 0;
  while (!query.substr(pos).starts_with("str=")) {
    pos = query.find('&', pos);
    if (pos == std::string_view::npos) {
      link.status = ReceivedLink::Status::kMissingStr;
      return link;
    }
    ++pos;
  }
  link.raw = std::string(query.substr(pos + 4));
  if (auto decoded = percent_decode(link.raw)) {
    link.decoded = std::move(*decoded);
  } else {
    link.status = ReceivedLink::Status::kBadEscape;
  }
  return link;
}

const char* kind_name(LinkKind kind) {
  switch (kind) {
    case LinkKind::kEmpty: return "empty";
    case LinkKind::kMedia: return "media";
    case LinkKind::kWebPage: return "web-page";
    case LinkKind::kFtp: return "ftp";
    case LinkKind::kMagnet: return "magnet";
    case LinkKind::kEd2k: return "ed2k";
    case LinkKind::kOtherScheme: return "other-scheme";
    case LinkKind::kNotALink: return "not-a-link";
    case LinkKind::kBadWrapper: return "bad-wrapper";
  }
  return "unknown";
}

ClassifiedLink classify(std::string_view wire, std::string_view decoded) {
  return classify_at(wire, decoded, 0);
}

std::optional<UnwrapResult> unwrap(std::string_view link, std::string* scheme_out) {
  for (const WrapperForm& form : kWrappers) {
    const std::string prefix = std::string(form.scheme) + "://";
    if (!starts_with_icase(link, prefix)) continue;
    if (scheme_out) *scheme_out = std::string(form.scheme);
    return unwrap_with(form, link.substr(prefix.size()));
  }
  return std::nullopt;
}

namespace {
// scheme://AUTHORITY/path?query#fragment -> AUTHORITY; the rest in *rest.
std::string_view authority_of(std::string_view url, std::string_view* rest) {
  const std::size_t sep = url.find("://");
  if (sep == std::string_view::npos) {
    *rest = {};
    return {};
  }
  url.remove_prefix(sep + 3);
  const std::size_t end = find_any(url, "/?#");
  *rest = url.substr(end);
  return url.substr(0, end);
}
}  // namespace

std::string path_extension(std::string_view url) {
  std::string_view rest;
  authority_of(url, &rest);
  const std::string_view path = rest.substr(0, find_any(rest, "?#"));
  const std::string_view segment = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
  const std::size_t dot = segment.rfind('.');
  if (dot == std::string_view::npos) return {};
  return ascii_lower(segment.substr(dot + 1));
}

bool is_playable_extension(std::string_view ext) {
  static constexpr std::array<std::string_view, 16> kPlayable = {
      "mp4", "m4v", "mov", "webm", "mkv", "ogg", "ogv", "oga",
      "opus", "mp3", "m4a", "aac", "wav", "flac", "m3u8", "3gp"};
  return std::find(kPlayable.begin(), kPlayable.end(), ext) != kPlayable.end();
}

std::string url_host(std::string_view url) {
  std::string_view rest;
  std::string_view authority = authority_of(url, &rest);
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    return close == std::string_view::npos ? std::string() : std::string(authority.substr(0, close + 1));
  }
  return std::string(authority.substr(0, authority.find(':')));
}

MagnetInfo parse_magnet(std::string_view link) {
  MagnetInfo info;
  const std::size_t question = link.find('?');
  if (question == std::string_view::npos) return info;
  bool have_name = false;
  for (std::string_view param : split(link.substr(question + 1), '&')) {
    const std::size_t eq = param.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key = ascii_lower(param.substr(0, eq));
    const std::string value = percent_decode_lenient(param.substr(eq + 1));
    // Clients number repeated keys as xt.1, tr.2, ...
    const std::string base = key.substr(0, key.find('.'));
    if (base == "dn" && !have_name) {
      info.name = value;
      have_name = true;
    } else if (base == "xt") {
      if (starts_with_icase(value, "urn:btih:")) {
        info.hashes.push_back(value.substr(9));
      } else {
        info.other_xt.push_back(value);
      }
    } else if (base == "xl" && !info.size && info.bad_size.empty()) {
      if (auto size = parse_u64(value)) info.size = size;
      else info.bad_size = value;
    } else if (base == "tr") {
      info.trackers.push_back(value);
    }
  }
  return info;
}

bool is_valid_btih(std::string_view hash) {
  return (hash.size() == 40 && all_of(hash, is_hex)) || (hash.size() == 32 && all_of(hash, is_base32));
}

Ed2kInfo parse_ed2k(std::string_view link) {
  Ed2kInfo info;
  static constexpr std::string_view kForm = "ed2k 链接的格式应为 ed2k://|file|文件名|大小|哈希|/";
  if (!starts_with_icase(link, "ed2k://")) {
    info.error = std::string(kForm);
    return info;
  }
  const auto parts = split(link.substr(7), '|');
  if (parts.size() < 2 || !parts[0].empty() || parts[1].empty()) {
    info.error = "ed2k 链接不完整。" + std::string(kForm);
    return info;
  }
  info.type = std::string(parts[1]);
  if (ascii_lower(parts[1]) != "file") {
    info.error = "这是 ed2k 的“" + info.type + "”链接，不是文件链接。";
    return info;
  }
  if (parts.size() < 5) {
    info.error = "ed2k 链接不完整。" + std::string(kForm);
    return info;
  }
  info.name = percent_decode_lenient(parts[2]);
  info.hash = std::string(parts[4]);
  info.size = parse_u64(parts[3]);
  if (info.name.empty()) {
    info.error = "ed2k 链接里缺少文件名。";
  } else if (!info.size) {
    info.error = "ed2k 链接里的文件大小不是数字。";
  } else if (info.hash.size() != 32 || !all_of(info.hash, is_hex)) {
    info.error = "ed2k 链接里的哈希值应是 32 位十六进制数。";
  } else {
    info.ok = true;
  }
  return info;
}

}  // namespace kada
