#include <gtest/gtest.h>

#include "ui/placement.h"
#include "ui/texts.h"

namespace {

TEST(Addresses, WelcomeAndPlayPrefixUseThePlayHost) {
    std::string host(kada::config::kPlayHost);
    EXPECT_EQ(kada::welcome_page_address(), "http://" + host + "/img/1.html");
    EXPECT_EQ(kada::play_page_prefix(), "http://" + host + "/play.php?str=");
}

TEST(Addresses, PlayPageAddressIsPrefixAndContentByteForByte) {
    const std::string contents[] = {
        "",
        " http://example.com/a.mp4 ",
        "http://example.com/v?a=1&b=2#frag",
        "ed2k://|file|电影.rmvb|123456|0123456789ABCDEF0123456789ABCDEF|/",
        "magnet:?xt=urn:btih:abcdef&dn=a%20b&tr=udp://t:80",
        "thunder://QUFodHRwOi8vZXhhbXBsZS5jb20vYS5tcDRaWg==",
        "hello",
        "http://例子.中国/视频.mp4",
        std::string("\x01\x7f\xff\xfe", 4),
        std::string("a\0b", 3),
        std::string(100000, 'x'),
    };
    for (const auto& c : contents) {
        std::string a = kada::play_page_address(c);
        EXPECT_EQ(a, kada::play_page_prefix() + c);
        EXPECT_EQ(a.size(), kada::play_page_prefix().size() + c.size());
    }
}

TEST(Addresses, WelcomeTextHasThreeLines) {
    std::string_view t = kada::kWelcomeText;
    EXPECT_EQ(t.substr(0, t.find("\r\n")), "云点播支持普通的链接格式例如http、ftp开头");
    EXPECT_TRUE(t.ends_with("格式例如thunder开头的网址"));
}

TEST(Placement, CentresWithTruncationTowardZero) {
    const struct {
        kada::Size screen;
        kada::Point expected;
    } cases[] = {
        {{1024, 768}, {62, 84}},  {{800, 600}, {-50, 0}},   {{1920, 1080}, {510, 240}},
        {{899, 599}, {0, 0}},     {{897, 597}, {-1, -1}},   {{901, 601}, {0, 0}},
        {{640, 480}, {-130, -60}}, {{0, 0}, {-450, -300}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kada::centred_position(c.screen, {900, 600}), c.expected)
            << c.screen.width << "x" << c.screen.height;
}

TEST(Placement, ClientSizeLeavesRoomForTheFrame) {
    EXPECT_EQ(kada::client_size_for({900, 600}, {1, 1, 20, 1}), (kada::Size{898, 579}));
    EXPECT_EQ(kada::client_size_for({900, 600}, {}), (kada::Size{900, 600}));
    EXPECT_EQ(kada::client_size_for({900, 600}, {500, 500, 700, 0}), (kada::Size{1, 1}));
}

}  // namespace
