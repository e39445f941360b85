// What the window manager adds around a top-level window, asked for before
// the window is mapped so that the outer rectangle can be exact from the
// first frame on.
#pragma once

#include <optional>

#include <gdk/gdk.h>

#include "ui/placement.h"

namespace kada::platform {

// The frame the manager has set on the window (_NET_FRAME_EXTENTS), if any.
std::optional<FrameExtents> frame_extents(GdkWindow* window);

// Asks a manager that supports it for the frame of a realized, unmapped
// window and waits up to timeout_ms for the answer. Without a manager, or
// one that does not answer, gives nullopt at once or after the wait.
std::optional<FrameExtents> request_frame_extents(GdkWindow* window, int timeout_ms);

// The outer rectangle's top-left corner on the screen, frame included.
std::optional<Point> outer_origin(GdkWindow* window);

}  // namespace kada::platform
