#include "text.hpp"

#include <array>
#include <cstdio>

namespace kada {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool escape_at(std::string_view in, std::size_t i) {
  return i + 2 < in.size() && hex_value(in[i + 1]) >= 0 && hex_value(in[i + 2]) >= 0;
}

// Length of the valid UTF-8 sequence starting at in[i], or 0 if invalid.
std::size_t utf8_sequence_length(std::string_view in, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(in[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // UTF-16 surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + len > in.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < len; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return len;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

namespace {

// Decodes escapes, appending whole runs between them; `strict` decides
// whether a broken escape fails the whole decode or is kept as written.
std::optional<std::string> decode_escapes(std::string_view in, bool strict) {
  std::string out;
  out.reserve(in.size());
  std::size_t run = 0;
  for (std::size_t i = in.find('%'); i != std::string_view::npos; i = in.find('%', i + 1)) {
    if (!escape_at(in, i)) {
      if (strict) return std::nullopt;
      continue;
    }
    out.append(in.substr(run, i - run));
    out += static_cast<char>(hex_value(in[i + 1]) * 16 + hex_value(in[i + 2]));
    i += 2;
    run = i + 1;
  }
  out.append(in.substr(run));
  return out;
}

}  // namespace

std::optional<std::string> percent_decode(std::string_view in) { return decode_escapes(in, true); }

std::string percent_decode_lenient(std::string_view in) { return *decode_escapes(in, false); }

std::string url_escape_unsafe(std::string_view in) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr auto kUnsafe = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = c <= 0x20 || c >= 0x7F;
    for (unsigned char c : std::string_view("\"'<>\\^`{|}")) table[c] = true;
    return table;
  }();
  const auto unsafe = [&](std::size_t i) {
    const auto c = static_cast<unsigned char>(in[i]);
    return kUnsafe[c] || (c == '%' && !escape_at(in, i));
  };
  std::string out;
  out.reserve(in.size());
  std::size_t run = 0;  // start of the pending run of bytes that need nothing
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (!unsafe(i)) continue;
    out.append(in.substr(run, i - run));
    const auto c = static_cast<unsigned char>(in[i]);
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
    run = i + 1;
  }
  out.append(in.substr(run));
  return out;
}

bool is_valid_utf8(std::string_view in) {
  for (std::size_t i = 0; i < in.size();) {
    const std::size_t len = utf8_sequence_length(in, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string to_display(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  std::size_t run = 0;  // start of the pending run of bytes kept as they are
  for (std::size_t i = 0; i < in.size();) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c >= 0x20 && c < 0x7F) {  // printable ASCII, by far the common case
      ++i;
      continue;
    }
    const std::size_t len = utf8_sequence_length(in, i);
    if (len == 0 || (len == 1 && c != '\t' && c != '\n')) {
      out.append(in.substr(run, i - run));
      out += kReplacement;
      run = ++i;
    } else {
      i += len;
    }
  }
  out.append(in.substr(run));
  return out;
}

std::string html_escape(std::string_view in) {
  std::string out;
  out.reserve(in.size() + in.size() / 8);
  std::size_t run = 0;  // start of the pending run of bytes that need nothing
  for (std::size_t i = 0; i < in.size(); ++i) {
    std::string_view entity;
    switch (in[i]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&#39;"; break;
      default: continue;
    }
    out.append(in.substr(run, i - run));
    out.append(entity);
    run = i + 1;
  }
  out.append(in.substr(run));
  return out;
}

std::string html_text(std::string_view in) { return html_escape(to_display(in)); }

std::optional<std::string> base64_decode(std::string_view in) {
  while (!in.empty() && in.back() == '=') in.remove_suffix(1);
  if (in.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(in.size() * 3 / 4);
  std::uint32_t bits = 0;
  int nbits = 0;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+' || c == '-') v = 62;
    else if (c == '/' || c == '_') v = 63;
    else return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      out += static_cast<char>((bits >> nbits) & 0xFF);
    }
  }
  return out;
}

std::string human_size(std::uint64_t bytes) {
  static constexpr std::array<const char*, 6> kUnits = {"B", "KB", "MB", "GB", "TB", "PB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < kUnits.size()) {
    value /= 1024.0;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", value, kUnits[unit]);
  return buf;
}

std::optional<std::uint64_t> parse_u64(std::string_view in) {
  if (in.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : in) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t find_any(std::string_view text, std::string_view set) {
  std::array<bool, 256> in_set{};
  for (char c : set) in_set[static_cast<unsigned char>(c)] = true;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (in_set[static_cast<unsigned char>(text[i])]) return i;
  return text.size();
}

std::string ascii_lower(std::string_view in) {
  std::string out(in);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool starts_with_icase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && ascii_lower(text.substr(0, prefix.size())) == ascii_lower(prefix);
}

std::string_view trim_ascii_space(std::string_view in) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  while (!in.empty() && space(in.front())) in.remove_prefix(1);
  while (!in.empty() && space(in.back())) in.remove_suffix(1);
  return in;
}

}  // namespace kada
