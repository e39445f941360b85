#include "app/frame.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <optional>
#include <vector>

#include <gtk/gtk.h>

#include "app/report.h"
#include "platform/fonts.h"
#include "platform/message_box.h"
#include "platform/paths.h"

namespace kada {

namespace {

struct LoadedWindow {
    std::uint32_t number;
    std::unique_ptr<Window> window;
};

struct Application {
    std::optional<TemplateSet> templates;
    std::vector<LoadedWindow> loaded;
    bool loop_entered = false;
    bool ending = false;
    bool in_fatal = false;
    std::function<void()> release_routine;
    std::function<void()> unload_libraries;
    HandlerTable handlers;
};

Heap* g_heap = nullptr;
// The GUI thread; a fault on any other thread (an allocation inside a
// library's worker) cannot show a box and ends the process at once.
std::thread::id g_gui_thread = std::this_thread::get_id();

// Built in place, without the frame's own allocator (which needs no state
// but the heap), and never destroyed: it lives until the process ends.
Application& app() {
    alignas(Application) static unsigned char storage[sizeof(Application)];
    static Application* a = ::new (static_cast<void*>(storage)) Application();
    return *a;
}

bool any_loaded_window() {
    for (const auto& l : app().loaded)
        if (l.window && l.window->exists()) return true;
    return false;
}

void window_destroyed() {
    Application& a = app();
    if (a.loop_entered && !a.ending && !any_loaded_window()) gtk_main_quit();
}

void shutdown() {
    Application& a = app();
    if (a.ending) return;
    a.ending = true;
    a.templates.reset();
    if (auto routine = std::move(a.release_routine)) {
        a.release_routine = nullptr;
        routine();
    }
    // Windows go before the libraries that may have drawn them.
    for (auto& l : a.loaded) l.window.reset();
    a.loaded.clear();
    a.handlers.clear();
    if (auto unload = std::move(a.unload_libraries)) {
        a.unload_libraries = nullptr;
        unload();
    }
}

// Every event a template names must have its handler, or the template data
// counts as unreadable.
bool bind_handlers(const TemplateSet& set, const HandlerTable& handlers) {
    auto known = [&](const Properties& events) {
        for (const auto& [event, name] : events)
            if (!handlers.count(name)) return false;
        return true;
    };
    for (const auto& w : set.windows) {
        if (!known(w.events)) return false;
        for (const auto& c : w.controls)
            if (!known(c.events)) return false;
    }
    return true;
}

void load_window(std::uint32_t number) {
    Application& a = app();
    const WindowTemplate* t = a.templates ? a.templates->find(number) : nullptr;
    if (!t) fatal_error(kStartWindowFailed);
    if (!platform::display_available()) fatal_error(kStartWindowFailed);
    std::unique_ptr<Window> w = Window::create(*t, a.handlers);
    if (!w) fatal_error(kStartWindowFailed);
    w->on_destroyed = window_destroyed;
    Window* win = w.get();
    a.loaded.push_back({number, std::move(w)});

    win->show_controls();
    for (std::string_view event : {"创建完毕", "位置被改变", "尺寸被改变"}) {
        win->fire(event);
        if (!win->exists()) return;
    }
    if (t->visible) win->show();
}

}  // namespace

void set_heap(Heap* heap) { g_heap = heap; }

void* allocate(std::size_t size) {
    Heap* heap = g_heap;
    void* p = heap ? heap->alloc(size) : std::malloc(size ? size : 1);
    if (p) return p;
    char message[96];
    std::size_t n = format_allocation_failure(message, sizeof message, size);
    fatal_error(std::string_view(message, n));
}

void release(void* block) {
    if (!block) return;
    Heap* heap = g_heap;
    if (heap) heap->free(block);
    else std::free(block);
}

[[noreturn]] void fatal_error(std::string_view message, std::int32_t code) {
    Application& a = app();
    if (a.in_fatal || std::this_thread::get_id() != g_gui_thread) {
        // A second fault while reporting the first, most likely no memory
        // left: say what can be said without allocating and stop.
        platform::write_stderr("运行时出错!\n");
        platform::write_stderr(message);
        platform::write_stderr("\n");
        platform::exit_process(255);
    }
    a.in_fatal = true;
    {
        std::string text = fatal_report_text(message, code);
        platform::show_error_box(kErrorBoxTitle, text);
    }
    a.release_routine = nullptr;
    shutdown();
    platform::exit_process(255);
}

[[noreturn]] void fatal_error_by_code(std::int32_t code) { fatal_error(message_for_code(code), code); }

Window* loaded_window(std::uint32_t number) {
    for (auto& l : app().loaded)
        if (l.number == number && l.window && l.window->exists()) return l.window.get();
    return nullptr;
}

int run_program(const Program& program) {
    Application& a = app();
    g_gui_thread = std::this_thread::get_id();

    // The program places its windows at absolute screen positions, which
    // only X11 lets it do; on Wayland it runs through XWayland.
    gdk_set_allowed_backends("x11");
    bool display = gtk_init_check(nullptr, nullptr);
    platform::set_display_available(display);
    if (!display) platform::write_stderr("kada-vod: cannot open the X display\n");
    platform::install_font_aliases();

    std::string dir = platform::program_directory();
    if (!dir.empty() && chdir(dir.c_str()) != 0) {
        // The program still runs; relative paths then resolve where it was started.
    }

    a.unload_libraries = program.unload_libraries;
    a.templates = parse_templates(program.template_data);
    if (!a.templates || !bind_handlers(*a.templates, program.handlers)) fatal_error(kTemplateUnreadable);
    a.handlers = program.handlers;

    a.release_routine = program.release_routine;

    if (program.startup_routine) (void)program.startup_routine();

    load_window(program.main_window);

    a.loop_entered = true;
    if (any_loaded_window()) gtk_main();

    shutdown();
    return 0;
}

}  // namespace kada
