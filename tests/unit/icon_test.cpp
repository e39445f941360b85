#include <gtest/gtest.h>

#include <set>

#include "ui/icon.h"

namespace {

TEST(DefaultIcon, FourPaleGreysOnWhiteWithAPaneLayout) {
    auto px = kada::default_icon_pixels();
    std::set<int> greys;
    auto at = [&](int x, int y) { return px[static_cast<std::size_t>((y * kada::kIconSize + x) * 3)]; };
    for (std::size_t i = 0; i < px.size(); i += 3) {
        ASSERT_EQ(px[i], px[i + 1]);
        ASSERT_EQ(px[i], px[i + 2]);
        greys.insert(px[i]);
    }
    EXPECT_EQ(greys, (std::set<int>{230, 238, 246, 255}));
    for (auto [x, y] : {std::pair{0, 0}, {31, 0}, {0, 31}, {31, 31}}) EXPECT_EQ(at(x, y), 255);
    // Two panes above, side by side, and a wide one below: white inside,
    // framed, within the cloud.
    EXPECT_EQ(at(11, 12), 255);
    EXPECT_EQ(at(20, 12), 255);
    EXPECT_EQ(at(15, 12), 238);
    EXPECT_EQ(at(15, 20), 255);
    EXPECT_EQ(at(8, 20), 246);
}

}  // namespace
