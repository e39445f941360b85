// Understanding what the user pasted: pulling the link out of the play
// request, unwrapping download-manager links and parsing magnet and ed2k
// links. Pure functions over bytes; no I/O, no HTTP library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kada {

// The link as the play page received it.
struct ReceivedLink {
  enum class Status {
    kOk,
    kMissingStr,  // no "str=" parameter at all
    kBadEscape,   // a '%' not followed by two hex digits
  };
  Status status = Status::kOk;
  std::string raw;      // bytes after "str=", exactly as they came
  std::string decoded;  // raw with %XX escapes decoded once (empty unless kOk)
};

// `query` is everything after the first '?' of the request target (a
// fragment, if the client sent one, included). The link is everything after
// the first "str=" that starts a parameter: the desktop program appends the
// link unescaped, so '&', '?' and '#' inside it are part of the link, not
// separators.
ReceivedLink extract_link(std::string_view query);

enum class LinkKind {
  kEmpty,        // nothing but white space
  kMedia,        // http(s) address of a file the player can play
  kWebPage,      // any other http(s) address
  kFtp,
  kMagnet,
  kEd2k,
  kOtherScheme,  // scheme://... that we do not handle (rtmp, mms, file, ...)
  kNotALink,     // plain text
  kBadWrapper,   // thunder/flashget/qqdl link whose payload does not decode
};

const char* kind_name(LinkKind kind);

// One layer of download-manager wrapping that was taken off.
struct Unwrapped {
  std::string scheme;   // "thunder", "flashget" or "qqdl"
  std::string wrapped;  // the wrapped link as it was
};

struct ClassifiedLink {
  LinkKind kind = LinkKind::kNotALink;
  // The address to act on, after unwrapping, in its escaped form (what a
  // user would paste). For the top level this is the received bytes.
  std::string address;
  std::vector<Unwrapped> layers;  // outermost first
  std::string error;              // for kBadWrapper: what is wrong, in Chinese
};

// `wire` is the link in escaped form, `decoded` the same link with escapes
// decoded once. Classification looks at `decoded`; structured links (magnet,
// ed2k, http) are later parsed from the escaped form, so that an escaped
// '&' or '|' inside a file name does not split it.
ClassifiedLink classify(std::string_view wire, std::string_view decoded);

// Result of taking a thunder:// flashget:// or qqdl:// link apart.
struct UnwrapResult {
  std::optional<std::string> address;
  std::string error;  // set when address is empty
};
// Returns nullopt when `link` is not a wrapper link at all.
std::optional<UnwrapResult> unwrap(std::string_view link, std::string* scheme_out = nullptr);

// Extension of the last path segment of an http(s) address, lower case,
// without the dot; query and fragment ignored. Empty if there is none.
std::string path_extension(std::string_view url);
bool is_playable_extension(std::string_view ext);
// Host part of scheme://host/..., without user info or port; empty if none.
std::string url_host(std::string_view url);

struct MagnetInfo {
  std::string name;                  // dn, decoded
  std::vector<std::string> hashes;   // xt values of the form urn:btih:HASH (HASH only)
  std::vector<std::string> other_xt; // any other xt, decoded
  std::optional<std::uint64_t> size; // xl
  std::string bad_size;              // xl as given when it is not a number
  std::vector<std::string> trackers; // tr, decoded, in order
};
// `link` is in escaped form; each parameter value is decoded once.
MagnetInfo parse_magnet(std::string_view link);
// Whether a btih hash has one of its two valid forms: 40 hex or 32 base32.
bool is_valid_btih(std::string_view hash);

struct Ed2kInfo {
  bool ok = false;
  std::string type;   // "file", "server", ... as given
  std::string name;   // decoded
  std::optional<std::uint64_t> size;
  std::string hash;   // as given
  std::string error;  // in Chinese, when !ok
};
Ed2kInfo parse_ed2k(std::string_view link);

}  // namespace kada
