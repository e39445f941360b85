// Decisions for serving the sample media files: which names are allowed,
// what type they are, and which bytes a Range header asks for.
#pragma once

#include <cstdint>
#include <string_view>

namespace kada {

// Only plain file names: letters, digits, '.', '-', '_', not starting with
// '.'. Keeps "/media/../../etc/passwd" and hidden files out without having to
// reason about path normalisation.
bool is_safe_media_name(std::string_view name);

// Content-Type for a media file name, by extension.
const char* media_content_type(std::string_view name);

struct RangeRequest {
  enum class Kind {
    kWhole,          // no usable Range header: send everything with 200
    kPartial,        // send [first, last] with 206
    kUnsatisfiable,  // 416 with "Content-Range: bytes */size"
  };
  Kind kind = Kind::kWhole;
  std::uint64_t first = 0;
  std::uint64_t last = 0;  // inclusive
};

// Reads a Range header value for a file of `size` bytes. Only a single
// "bytes=" range is honoured; a header we do not understand, or a list of
// ranges, is ignored and the whole file is sent, which HTTP allows.
RangeRequest parse_range(std::string_view header, std::uint64_t size);

}  // namespace kada
