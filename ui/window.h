// A top-level window built from its template: the GTK window, its controls
// in their places and stacking, its keyboard rules and its placement.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtk/gtk.h>

#include "ui/controls.h"
#include "ui/placement.h"
#include "ui/template.h"

namespace kada {

using HandlerTable = std::map<std::string, Handler, std::less<>>;

class Window {
public:
    // Builds the window hidden, with all its controls, placed and stacked.
    // Null when the window or any control cannot be made; what was made is
    // destroyed again.
    static std::unique_ptr<Window> create(const WindowTemplate& t, const HandlerTable& handlers);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    bool exists() const { return gtk_ != nullptr; }
    void destroy();
    void show_controls();
    void show();
    void fire(std::string_view event) const;

    Control* control(std::string_view name) const;
    template <typename T>
    T* control_as(std::string_view name) const {
        return dynamic_cast<T*>(control(name));
    }
    GtkWindow* gtk_window() const { return gtk_; }
    std::uint32_t number() const { return number_; }

    // Called once the window has been destroyed, however that came about.
    std::function<void()> on_destroyed;

private:
    Window() = default;
    bool build(const WindowTemplate& t, const HandlerTable& handlers);
    void place();
    void keep_outer_size();
    bool handle_key(GdkEventKey* ev, bool after_page);
    void move_focus(int step);
    std::vector<Control*> tab_order() const;
    bool focus_in_page() const;

    std::uint32_t number_ = 0;
    GtkWindow* gtk_ = nullptr;
    GtkWidget* fixed_ = nullptr;
    Size outer_;
    Point position_;
    bool esc_closes_ = true;
    bool placed_ = false;
    int keep_state_ = 0;  // window states the template does not allow
    std::vector<std::unique_ptr<Control>> controls_;  // creation order
    std::vector<std::pair<std::string, Handler>> handlers_;
};

}  // namespace kada
