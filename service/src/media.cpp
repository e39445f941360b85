#include "media.hpp"

#include <array>
#include <utility>

#include "text.hpp"

namespace kada {

bool is_safe_media_name(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.size() > 255) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

const char* media_content_type(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, const char*>, 13> kTypes = {{
      {"webm", "video/webm"},
      {"ogv", "video/ogg"},
      {"ogg", "video/ogg"},
      {"oga", "audio/ogg"},
      {"mp4", "video/mp4"},
      {"m4v", "video/mp4"},
      {"mp3", "audio/mpeg"},
      {"m4a", "audio/mp4"},
      {"wav", "audio/wav"},
      {"m3u8", "application/vnd.apple.mpegurl"},
      {"ts", "video/mp2t"},
      {"txt", "text/plain; charset=utf-8"},
      {"sh", "text/plain; charset=utf-8"},
  }};
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string ext = ascii_lower(name.substr(dot + 1));
    for (const auto& [known, type] : kTypes)
      if (ext == known) return type;
  }
  return "application/octet-stream";
}

RangeRequest parse_range(std::string_view header, std::uint64_t size) {
  RangeRequest whole;
  header = trim_ascii_space(header);
  if (!starts_with_icase(header, "bytes=")) return whole;
  const std::string_view spec = trim_ascii_space(header.substr(6));
  if (spec.find(',') != std::string_view::npos) return whole;
  const std::size_t dash = spec.find('-');
  if (dash == std::string_view::npos) return whole;
  const std::string_view first_text = trim_ascii_space(spec.substr(0, dash));
  const std::string_view last_text = trim_ascii_space(spec.substr(dash + 1));

  RangeRequest range;
  range.kind = RangeRequest::Kind::kPartial;
  if (first_text.empty()) {
    // Suffix form "bytes=-N": the last N bytes.
    const auto suffix = parse_u64(last_text);
    if (!suffix) return whole;
    if (*suffix == 0 || size == 0) return {RangeRequest::Kind::kUnsatisfiable, 0, 0};
    range.first = *suffix >= size ? 0 : size - *suffix;
    range.last = size - 1;
    return range;
  }
  const auto first = parse_u64(first_text);
  if (!first) return whole;
  std::optional<std::uint64_t> last;
  if (!last_text.empty()) {
    last = parse_u64(last_text);
    if (!last || *last < *first) return whole;
  }
  if (*first >= size) return {RangeRequest::Kind::kUnsatisfiable, 0, 0};
  range.first = *first;
  range.last = last && *last < size ? *last : size - 1;
  return range;
}

}  // namespace kada
