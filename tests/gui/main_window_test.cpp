#include <algorithm>
#include <cstdlib>

#include "gui/fixture.h"

namespace {

using namespace std::chrono_literals;

class MainWindow : public ProgramTest {};

struct ScreenCase {
    int width, height;
    kt::Rect outer;
};

void PrintTo(const ScreenCase& c, std::ostream* os) { *os << c.width << "x" << c.height; }

class MainWindowPlacement : public ProgramTest, public ::testing::WithParamInterface<ScreenCase> {};

TEST_P(MainWindowPlacement, OuterRectangleIsCentredAndExactlyTheTemplateSize) {
    start(GetParam().width, GetParam().height);
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    kt::wait_until([&] { return x->outer_rect(w).x == GetParam().outer.x; }, 3s);
    kt::Rect r = x->outer_rect(w);
    EXPECT_EQ(r.x, GetParam().outer.x);
    EXPECT_EQ(r.y, GetParam().outer.y);
    EXPECT_EQ(r.width, 900);
    EXPECT_EQ(r.height, 600);
    EXPECT_EQ(x->title(w), "咔嗒云点播 1.0  by 咔嗒网");
}

INSTANTIATE_TEST_SUITE_P(Screens, MainWindowPlacement,
                         ::testing::Values(ScreenCase{1024, 768, {62, 84, 900, 600}},
                                           ScreenCase{800, 600, {-50, 0, 900, 600}}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST_F(MainWindow, CannotBeResizedMinimisedOrMaximised) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    EXPECT_TRUE(x->fixed_size(w));

    kt::Rect before = x->outer_rect(w);
    x->request_state(w, "_NET_WM_STATE_MAXIMIZED_VERT");
    x->request_state(w, "_NET_WM_STATE_MAXIMIZED_HORZ");
    x->iconify(w);
    std::this_thread::sleep_for(800ms);
    EXPECT_TRUE(x->viewable(w));
    kt::Rect after = x->outer_rect(w);
    EXPECT_EQ(after.width, 900);
    EXPECT_EQ(after.height, 600);
    EXPECT_EQ(after.x, before.x);
    EXPECT_EQ(after.y, before.y);
}

TEST_F(MainWindow, WelcomePageIsRequestedOnceAtStartUp) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    ASSERT_TRUE(server->wait_requests_to("/img/1.html", 1));
    std::this_thread::sleep_for(1s);
    auto welcome = server->requests_to("/img/1.html");
    ASSERT_EQ(welcome.size(), 1u);
    EXPECT_EQ(welcome[0].line, "GET /img/1.html HTTP/1.1");
    EXPECT_TRUE(server->requests_to("/play.php").empty());
}

TEST_F(MainWindow, TypingGoesIntoTheBoxAtOnceAndEachClickRequestsThePlayPage) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    x->type_ascii("abc");
    press_play(w);
    ASSERT_TRUE(server->wait_requests_to("/play.php", 1)) << app->stderr_text();
    EXPECT_EQ(server->requests_to("/play.php")[0].line, "GET /play.php?str=abc HTTP/1.1");
    press_play(w);
    ASSERT_TRUE(server->wait_requests_to("/play.php", 2));
    EXPECT_EQ(server->requests_to("/play.php")[1].target, "/play.php?str=abc");
}

struct LinkCase {
    const char* what;
    std::string link;
    std::string sent;  // the target the engine puts on the wire
};

class PlayLinks : public ProgramTest {};

// What the browser engine does with each link on its way to the wire: it
// escapes spaces, quotes, angle brackets and non-ASCII bytes, trims spaces
// at the ends of the whole address and keeps the fragment to itself. The
// address it was handed is prefix + link exactly (in-process tests check
// that).
TEST_F(PlayLinks, EachLinkReachesThePlayServiceBehindStr) {
    const LinkCase cases[] = {
        {"empty", "", "/play.php?str="},
        {"spaces", " http://example.com/a.mp4 ", "/play.php?str=%20http://example.com/a.mp4"},
        {"ampersand and fragment", "http://example.com/v.php?a=1&b=2#frag", "/play.php?str=http://example.com/v.php?a=1&b=2"},
        {"ed2k", "ed2k://|file|movie.rmvb|123456|0123456789ABCDEF0123456789ABCDEF|/",
         "/play.php?str=ed2k://|file|movie.rmvb|123456|0123456789ABCDEF0123456789ABCDEF|/"},
        {"magnet", "magnet:?xt=urn:btih:c12fe1c06bba254a9dc9f519b335aa7c1367a88a&dn=a&tr=udp://t.example:80",
         "/play.php?str=magnet:?xt=urn:btih:c12fe1c06bba254a9dc9f519b335aa7c1367a88a&dn=a&tr=udp://t.example:80"},
        {"thunder", "thunder://QUFodHRwOi8vZXhhbXBsZS5jb20vYS5tcDRaWg==",
         "/play.php?str=thunder://QUFodHRwOi8vZXhhbXBsZS5jb20vYS5tcDRaWg=="},
        {"word", "hello", "/play.php?str=hello"},
        {"chinese", "http://例子.com/视频.mp4",
         "/play.php?str=http://%E4%BE%8B%E5%AD%90.com/%E8%A7%86%E9%A2%91.mp4"},
        {"percent and quote", "a%20b\"c<d>", "/play.php?str=a%20b%22c%3Cd%3E"},
    };
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    std::size_t n = 0;
    for (const auto& c : cases) {
        click_client(w, 154 + 200, 8 + 12);
        x->key("a", {"Control_L"});
        if (c.link.empty()) x->key("BackSpace");
        else x->paste(c.link);
        press_play(w);
        ++n;
        ASSERT_TRUE(server->wait_requests_to("/play.php", n)) << c.what;
        EXPECT_EQ(server->requests_to("/play.php")[n - 1].target, c.sent) << c.what;
    }
}

TEST_F(PlayLinks, AHundredThousandCharacterLinkIsSentWhole) {
    std::string link = "http://example.com/" + std::string(100000 - 19, 'x');
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    x->paste(link);
    press_play(w);
    ASSERT_TRUE(server->wait_requests_to("/play.php", 1, 30s));
    EXPECT_EQ(server->requests_to("/play.php")[0].target, "/play.php?str=" + link);
}

TEST_F(PlayLinks, HostileInputNeitherCrashesNorHangs) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    // Control characters, as pasted from elsewhere.
    x->paste(std::string("\x01\x02\x1b[0m\x7f http://a/b", 14));
    press_play(w);
    ASSERT_TRUE(server->wait_requests_to("/play.php", 1));
    // Bytes that are no UTF-8 at all, as a careless program may offer them.
    click_client(w, 154 + 200, 8 + 12);
    x->key("a", {"Control_L"});
    x->paste(std::string("\xff\xfe\xc3(\xa0\xa1 http://a/\xe6\x97", 17));
    press_play(w);
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(app->running()) << app->stderr_text();
    // Ten megabytes.
    click_client(w, 154 + 200, 8 + 12);
    x->key("a", {"Control_L"});
    x->paste(std::string(10u << 20, 'y'));
    press_play(w);
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(app->running()) << app->stderr_text();
    // Still answering: a short link goes through.
    click_client(w, 154 + 200, 8 + 12);
    x->key("a", {"Control_L"});
    x->paste("after");
    press_play(w);
    EXPECT_TRUE(kt::wait_until(
        [&] {
            for (auto& r : server->requests_to("/play.php"))
                if (r.target == "/play.php?str=after") return true;
            return false;
        },
        60s));
    EXPECT_TRUE(app->running());
}

// The colour of the window's own background, between the controls.
std::uint32_t face(ProgramTest& t, kt::WindowId w) {
    auto [sx, sy] = t.at(w, 2, 2);
    return t.x->pixel(sx, sy);
}

TEST_F(MainWindow, OnlyTheUncoveredPartOfThePageIsSeen) {
    start();
    server->route("/play.php",
                  "<!doctype html><html><body style='margin:0;background:#ff00ff;width:3000px;height:3000px'>"
                  "</body></html>");
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    press_play(w);
    ASSERT_TRUE(server->wait_requests_to("/play.php", 1));
    auto [ox, oy] = at(w, 0, 0);
    ASSERT_TRUE(kt::wait_until([&] { return x->pixel(ox + 400, oy + 300) == 0xFF00FF; }, 15s))
        << x->screenshot("page-not-shown");
    x->screenshot("page-shown");
    std::uint32_t bg = face(*this, w);
    EXPECT_NE(bg, 0xFF00FFu);

    // The engine may still be painting parts of the page: give it a moment
    // to fill the whole seen area before looking.
    const int seen_w = 871 - 18 + 1;
    std::vector<std::uint32_t> seen;
    kt::wait_until(
        [&] {
            seen = x->pixels({ox + 18, oy + 40, seen_w, 527 - 40 + 1});
            return std::count(seen.begin(), seen.end(), 0xFF00FFu) == static_cast<long>(seen.size());
        },
        5s);
    auto odd = std::find_if(seen.begin(), seen.end(), [](std::uint32_t p) { return p != 0xFF00FFu; });
    EXPECT_TRUE(odd == seen.end()) << "at client (" << 18 + (odd - seen.begin()) % seen_w << ", "
                                   << 40 + (odd - seen.begin()) / seen_w << ") " << std::hex << *odd;
    auto right = x->pixels({ox + 872, oy + 40, 19, 520});
    EXPECT_EQ(std::count(right.begin(), right.end(), bg), static_cast<long>(right.size()));
    // The footer strip, except where the footer texts stand.
    auto bottom_left = x->pixels({ox + 18, oy + 528, 60, 32});
    EXPECT_EQ(std::count(bottom_left.begin(), bottom_left.end(), bg), static_cast<long>(bottom_left.size()));
    auto bottom_right = x->pixels({ox + 360, oy + 528, 512, 32});
    EXPECT_EQ(std::count(bottom_right.begin(), bottom_right.end(), bg), static_cast<long>(bottom_right.size()));
}

TEST_F(MainWindow, FooterAndLabelTextsAreDrawnInTheirColours) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    x->screenshot("main-window");
    // Glyph edges are blended with the background; the strokes' cores carry
    // the text colour.
    auto near = [](std::uint32_t px, std::uint32_t colour) {
        for (int shift : {16, 8, 0}) {
            int a = static_cast<int>((px >> shift) & 0xFF), b = static_cast<int>((colour >> shift) & 0xFF);
            if (std::abs(a - b) > 70) return false;
        }
        return true;
    };
    auto has = [&](kt::Rect r, std::uint32_t colour) {
        auto [ox, oy] = at(w, r.x, r.y);
        auto px = x->pixels({ox, oy, r.width, r.height});
        return std::count_if(px.begin(), px.end(), [&](std::uint32_t p) { return near(p, colour); }) > 5;
    };
    EXPECT_TRUE(has({80, 536, 88, 16}, 0xFF0000)) << "咔嗒网制作 in red";
    EXPECT_TRUE(has({176, 532, 96, 24}, 0x0000FF)) << "the site link in blue";
    EXPECT_TRUE(has({278, 532, 80, 24}, 0xFF0000)) << "官方微博 in red";
    EXPECT_TRUE(has({40, 8, 104, 24}, 0x000000)) << "视频播放地址 in black";
    EXPECT_FALSE(has({80, 536, 88, 16}, 0x0000FF));
}

TEST_F(MainWindow, TabAndShiftTabCycleBetweenTheBoxAndTheButton) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    x->key("Tab");  // box -> button
    x->key("space");
    ASSERT_TRUE(server->wait_requests_to("/play.php", 1));
    EXPECT_EQ(server->requests_to("/play.php")[0].target, "/play.php?str=");
    x->key("Tab");  // button -> box
    x->type_ascii("t");
    x->key("Tab", {"Shift_L"});  // box -> button
    x->key("space");
    ASSERT_TRUE(server->wait_requests_to("/play.php", 2));
    EXPECT_EQ(server->requests_to("/play.php")[1].target, "/play.php?str=t");
    x->key("Tab", {"Shift_L"});  // button -> box, wrapping
    x->key("End");
    x->type_ascii("u");
    x->key("Tab");
    x->key("space");
    ASSERT_TRUE(server->wait_requests_to("/play.php", 3));
    EXPECT_EQ(server->requests_to("/play.php")[2].target, "/play.php?str=tu");
}

TEST_F(MainWindow, EnterPressesNothingAndKeepsTheFocus) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    x->type_ascii("e");
    x->key("Return");
    x->type_ascii("f");  // still in the box
    x->key("Tab");
    x->key("Return");  // on the button: still nothing
    x->key("KP_Enter");
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(server->requests_to("/play.php").empty());
    x->key("space");
    ASSERT_TRUE(server->wait_requests_to("/play.php", 1));
    EXPECT_EQ(server->requests_to("/play.php")[0].target, "/play.php?str=ef");
    x->key("F1");
    EXPECT_TRUE(app->running());
}

TEST_F(MainWindow, ThePageGetsKeysFirstAndEscapeItLeavesAloneStillCloses) {
    start();
    // A page that takes the focus and swallows Tab: typing goes to the page,
    // not to the box, while the page has the focus.
    server->route("/play.php",
                  "<!doctype html><html><body style='margin:0'>"
                  "<input id=i style='width:400px' autofocus onkeydown=\"if(event.key=='Tab')event.preventDefault()\">"
                  "<script>document.getElementById('i').addEventListener('input',e=>{"
                  "fetch('/typed?'+encodeURIComponent(e.target.value))})</script></body></html>");
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    press_play(w);
    ASSERT_TRUE(server->wait_requests_to("/play.php", 1));
    std::this_thread::sleep_for(1500ms);
    click_client(w, 18 + 100, 40 + 10);  // into the page's input
    std::this_thread::sleep_for(300ms);
    x->type_ascii("k");
    ASSERT_TRUE(server->wait_requests_to("/typed?k", 1)) << x->screenshot("page-keys");
    x->key("Tab");  // the page keeps it
    x->type_ascii("m");
    ASSERT_TRUE(server->wait_requests_to("/typed?km", 1));
    x->key("Escape");  // the page leaves Esc alone: the window closes
    auto code = app->wait_exit(15s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
}

TEST_F(MainWindow, EscapeClosesFromTheButtonToo) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    x->key("Tab");
    x->key("Escape");
    auto code = app->wait_exit(15s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
}

}  // namespace
