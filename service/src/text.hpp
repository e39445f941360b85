// Byte-level text helpers shared by the link parser and the page renderer.
// Everything here works on raw bytes (std::string) because links arrive as
// arbitrary bytes; nothing assumes valid UTF-8 until to_display() says so.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kada {

// Decodes %XX escapes once. A '+' stays a '+': the play link is not form data,
// and thunder/base64 payloads are full of literal plus signs.
// Returns nullopt when a '%' is not followed by two hex digits.
std::optional<std::string> percent_decode(std::string_view in);

// Like percent_decode, but a broken escape is kept as it was. Used for the
// parts of magnet and ed2k links, where a stray '%' is part of a file name.
std::string percent_decode_lenient(std::string_view in);

// Escapes what would leave a URL unusable or ambiguous inside an attribute
// (spaces, controls, quotes, angle brackets, bytes >= 0x80). Existing %XX
// escapes are left alone, so an already escaped address comes out unchanged.
std::string url_escape_unsafe(std::string_view in);

// Makes bytes safe to show: invalid UTF-8 and control characters (other than
// tab and newline) become U+FFFD. The result is always valid UTF-8.
std::string to_display(std::string_view in);

// True when the bytes are valid UTF-8 (no overlongs, no surrogates).
bool is_valid_utf8(std::string_view in);

// Escapes & < > " ' so the result is safe both as element text and inside a
// double- or single-quoted attribute value.
std::string html_escape(std::string_view in);

// to_display() then html_escape(): the one call for showing untrusted bytes.
std::string html_text(std::string_view in);

// Standard or URL-safe alphabet, padding optional. nullopt when the input has
// a character outside the alphabet or an impossible length.
std::optional<std::string> base64_decode(std::string_view in);

// "1.5 GB", "700.0 MB", "512 B": 1024-based, the way download tools show it.
std::string human_size(std::uint64_t bytes);

// Digits only, no sign, no overflow.
std::optional<std::uint64_t> parse_u64(std::string_view in);

// Index of the first byte of `text` that is in `set`, or text.size().
// (std::string_view::find_first_of calls memchr once per byte; our sets are
// two or three characters and links can be long.)
std::size_t find_any(std::string_view text, std::string_view set);

std::string ascii_lower(std::string_view in);
bool starts_with_icase(std::string_view text, std::string_view prefix);
std::string_view trim_ascii_space(std::string_view in);

}  // namespace kada
