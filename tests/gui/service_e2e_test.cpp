// The real program against the real bundled play service.
#include <algorithm>
#include <cstdlib>
#include <set>

#include "gui/fixture.h"

namespace {

using namespace std::chrono_literals;

class WithPlayService : public ProgramTest {
public:
    void SetUp() override {
        x = std::make_unique<kt::XSession>();
        service = std::make_unique<kt::Process>(
            nullptr, KT_SERVICE_PROGRAM,
            std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(kt::play_service_port())});
        ASSERT_TRUE(kt::wait_until([&] { return service->stdout_text().find("listening on") != std::string::npos; }))
            << service->stderr_text();
    }
    std::unique_ptr<kt::Process> service;
};

TEST_F(WithPlayService, TheSampleLinkPlaysInTheWindow) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    x->paste("http://127.0.0.1:" + std::to_string(kt::play_service_port()) + "/media/sample.webm");
    press_play(w);
    auto [ox, oy] = at(w, 0, 0);
    // The sample is a test card: once it shows, the page area holds its
    // saturated bars, which neither the welcome page nor an error page has.
    auto saturated = [&] {
        auto px = x->pixels({ox + 18, oy + 40, 854, 488});
        return std::count_if(px.begin(), px.end(), [](std::uint32_t p) {
                   int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
                   return r > 200 && g > 200 && b < 60;  // the yellow bar
               }) > 5000;
    };
    ASSERT_TRUE(kt::wait_until(saturated, 20s)) << x->screenshot("sample-not-shown");
    x->screenshot("sample-playing");
    // Playing, not a still: the noise patch of the test card changes from
    // frame to frame.
    std::set<std::vector<std::uint32_t>> frames;
    for (int i = 0; i < 5; ++i) {
        frames.insert(x->pixels({ox + 200, oy + 480, 150, 60}));
        std::this_thread::sleep_for(150ms);
    }
    EXPECT_GT(frames.size(), 1u) << "the video did not move";
}

TEST_F(WithPlayService, AHostileLinkIsShownAsTextOnThePlayPage) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    std::this_thread::sleep_for(1s);
    std::string before = x->screenshot("welcome-page");
    x->paste("<script>document.body.style.background='#ff00ff'</script>");
    press_play(w);
    std::this_thread::sleep_for(3s);
    auto [ox, oy] = at(w, 0, 0);
    auto px = x->pixels({ox + 18, oy + 40, 854, 488});
    EXPECT_EQ(std::count(px.begin(), px.end(), 0xFF00FFu), 0) << x->screenshot("hostile-link");
    EXPECT_TRUE(app->running());
}

}  // namespace
