// A fresh X session, a recording play service and the program under test.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "harness/harness.h"

class ProgramTest : public ::testing::Test {
public:
    void start(int width = 1024, int height = 768) {
        x = std::make_unique<kt::XSession>(width, height);
        server = std::make_unique<kt::RecordingServer>(kt::play_service_port());
        server->route("/play.php", "<!doctype html><html><body style='margin:0'>play</body></html>");
    }

    // Starts the program and waits for its main window.
    kt::WindowId launch(const std::string& exe = kt::program_path(), const std::vector<std::string>& args = {},
                  const std::string& cwd = {}, const std::map<std::string, std::string>& env = {}) {
        if (!x) start();
        app = std::make_unique<kt::Process>(x.get(), exe, args, env, cwd);
        auto w = x->wait_window(kt::kTitle);
        if (!w) {
            ADD_FAILURE() << "no main window; stderr:\n" << app->stderr_text();
            return 0;
        }
        // Let the manager finish placing and focusing it.
        kt::wait_until([&] { return x->frame_extents(*w).has_value(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return *w;
    }

    // A point of the main window's client area on the screen.
    std::pair<int, int> at(kt::WindowId w, int cx, int cy) {
        kt::Rect r = x->client_rect(w);
        return {r.x + cx, r.y + cy};
    }

    void click_client(kt::WindowId w, int cx, int cy) {
        auto [sx, sy] = at(w, cx, cy);
        x->click(sx, sy);
    }

    // The play button's middle.
    void press_play(kt::WindowId w) { click_client(w, 654 + 76, 3 + 16); }

    std::unique_ptr<kt::XSession> x;
    std::unique_ptr<kt::RecordingServer> server;
    std::unique_ptr<kt::Process> app;
};
