#include "ui/icon.h"

namespace kada {

namespace {

constexpr std::uint8_t kRim = 230, kCloud = 238, kPaneEdge = 246, kWhite = 255;

bool in_circle(int x, int y, int cx, int cy, int r) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r; }

bool in_cloud(int x, int y) {
    if (x < 0 || y < 0 || x >= kIconSize || y >= kIconSize) return false;
    return in_circle(x, y, 9, 17, 7) || in_circle(x, y, 16, 11, 9) || in_circle(x, y, 23, 16, 7) ||
           (x >= 4 && x <= 27 && y >= 16 && y <= 26);
}

struct Pane {
    int x0, y0, x1, y1;  // inclusive
};
constexpr Pane kPanes[] = {{8, 10, 14, 15}, {17, 10, 23, 15}, {8, 18, 23, 23}};

}  // namespace

IconPixels default_icon_pixels() {
    IconPixels px{};
    for (int y = 0; y < kIconSize; ++y) {
        for (int x = 0; x < kIconSize; ++x) {
            std::uint8_t v = kWhite;
            if (in_cloud(x, y)) {
                bool edge = !in_cloud(x - 1, y) || !in_cloud(x + 1, y) || !in_cloud(x, y - 1) || !in_cloud(x, y + 1);
                v = edge ? kRim : kCloud;
                for (const Pane& p : kPanes) {
                    if (x < p.x0 || x > p.x1 || y < p.y0 || y > p.y1) continue;
                    bool border = x == p.x0 || x == p.x1 || y == p.y0 || y == p.y1;
                    v = border ? kPaneEdge : kWhite;
                }
            }
            std::size_t i = static_cast<std::size_t>((y * kIconSize + x) * 3);
            px[i] = px[i + 1] = px[i + 2] = v;
        }
    }
    return px;
}

}  // namespace kada
