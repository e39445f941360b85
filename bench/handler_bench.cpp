// The program's own work inside its handlers, timed in process: building the
// main window from its template, the creation-complete handler, and the
// play button's clicked handler. Prints figures; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtk/gtk.h>

#include "harness/harness.h"
#include "ui/handlers.h"
#include "ui/texts.h"
#include "ui/window.h"

namespace {

using Clock = std::chrono::steady_clock;

double us_since(Clock::time_point t) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

void print(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-44s %10.2f %10.2f %10.2f %6zu\n", what, v[v.size() / 2], v.front(), v.back(), v.size());
}

void drain() {
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

}  // namespace

int main() {
    kt::isolate_network();  // the welcome loads go nowhere but this namespace
    kt::XSession x;
    setenv("DISPLAY", x.display_name().c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }
    auto set = kada::parse_templates(kada::kWindowTemplateData);
    if (!set) return 1;
    const kada::WindowTemplate& tpl = *set->find(kada::kMainWindowNumber);
    kada::HandlerTable handlers = kada::main_window_handlers();

    std::printf("%-44s %10s %10s %10s %6s\n", "figure (microseconds)", "median", "min", "max", "runs");
    std::vector<double> parse, create, created;
    for (int i = 0; i < 7; ++i) {
        auto t = Clock::now();
        auto again = kada::parse_templates(kada::kWindowTemplateData);
        parse.push_back(us_since(t));
        t = Clock::now();
        auto w = kada::Window::create(tpl, handlers);
        create.push_back(us_since(t));
        t = Clock::now();
        w->fire("创建完毕");
        created.push_back(us_since(t));
        w.reset();
        drain();
    }
    print("template parse", parse);
    print("window and controls built (hidden)", create);
    print("creation-complete handler", created);

    auto w = kada::Window::create(tpl, handlers);
    auto* box = w->control_as<kada::EditBox>("编辑框1");
    std::vector<double> click, click_long;
    box->set_text("http://www.example.com/video/page.html?id=1&part=2");
    for (int i = 0; i < 1000; ++i) {
        auto t = Clock::now();
        kada::request_playback(*w);
        click.push_back(us_since(t));
        if (i % 50 == 0) drain();
    }
    print("clicked handler, a 50-byte link", click);
    box->set_text(std::string(100000, 'x'));
    for (int i = 0; i < 100; ++i) {
        auto t = Clock::now();
        kada::request_playback(*w);
        click_long.push_back(us_since(t));
        drain();
    }
    print("clicked handler, a 100,000-byte link", click_long);
    w.reset();
    drain();
    return 0;
}
