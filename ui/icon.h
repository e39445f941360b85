// DEFAULT_ICON: a pale grey cloud framing three light panes, 32 × 32, 24 bits
// a pixel, no transparency.
#pragma once

#include <array>
#include <cstdint>

typedef struct _GdkPixbuf GdkPixbuf;

namespace kada {

inline constexpr int kIconSize = 32;
using IconPixels = std::array<std::uint8_t, kIconSize * kIconSize * 3>;

// Row by row, RGB, top-left first.
IconPixels default_icon_pixels();

// A new pixbuf of the icon (caller unrefs), or null.
GdkPixbuf* default_icon();

}  // namespace kada
