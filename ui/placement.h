// Where the main window goes and how big its client area must be so that
// the outer rectangle, frame included, has the template's size.
#pragma once

namespace kada {

struct Point {
    int x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    int width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

struct FrameExtents {
    int left = 0, right = 0, top = 0, bottom = 0;
    bool operator==(const FrameExtents&) const = default;
};

// Centred on the primary screen, each division truncated toward zero, and
// nothing keeps the window on the screen.
inline Point centred_position(Size screen, Size outer) {
    return {(screen.width - outer.width) / 2, (screen.height - outer.height) / 2};
}

// The client size that gives the wanted outer size with the given frame; a
// frame larger than the window leaves a 1 × 1 client rather than nothing.
inline Size client_size_for(Size outer, FrameExtents f) {
    int w = outer.width - f.left - f.right;
    int h = outer.height - f.top - f.bottom;
    return {w < 1 ? 1 : w, h < 1 ? 1 : h};
}

}  // namespace kada
