#include "ui/window.h"

#include <algorithm>

#include <gdk/gdkkeysyms.h>
#include <webkit2/webkit2.h>

#include "platform/x11_frame.h"
#include "ui/icon.h"

namespace kada {

namespace {

Size primary_screen(GdkDisplay* display, Point* origin) {
    GdkMonitor* m = gdk_display_get_primary_monitor(display);
    if (!m && gdk_display_get_n_monitors(display) > 0) m = gdk_display_get_monitor(display, 0);
    if (!m) {
        *origin = {};
        GdkScreen* s = gdk_display_get_default_screen(display);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        return {gdk_screen_get_width(s), gdk_screen_get_height(s)};
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
    GdkRectangle r;
    gdk_monitor_get_geometry(m, &r);
    *origin = {r.x, r.y};
    return {r.width, r.height};
}

}  // namespace

std::unique_ptr<Window> Window::create(const WindowTemplate& t, const HandlerTable& handlers) {
    std::unique_ptr<Window> w(new Window());
    if (!w->build(t, handlers)) {
        w->destroy();
        return nullptr;
    }
    return w;
}

Window::~Window() {
    // The owner is told only about destruction it did not ask for itself.
    on_destroyed = nullptr;
    destroy();
}

void Window::destroy() {
    if (!gtk_) return;
    GtkWidget* w = GTK_WIDGET(gtk_);
    gtk_widget_destroy(w);  // the destroy handler clears gtk_ and tells the owner
}

bool Window::build(const WindowTemplate& t, const HandlerTable& handlers) {
    number_ = t.number;
    outer_ = {t.width, t.height};
    esc_closes_ = t.flag("esc_closes", true);
    for (const auto& [event, handler] : t.events) {
        auto it = handlers.find(handler);
        if (it != handlers.end()) handlers_.emplace_back(event, it->second);
    }

    gtk_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    if (!gtk_) return false;
    g_signal_connect(gtk_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                         auto* win = static_cast<Window*>(self);
                         win->gtk_ = nullptr;
                         win->fixed_ = nullptr;
                         if (win->on_destroyed) win->on_destroyed();
                     }),
                     this);
    gtk_window_set_title(gtk_, t.text("title").c_str());
    gtk_window_set_resizable(gtk_, t.text("border", "fixed") != "fixed");
    gtk_window_set_skip_taskbar_hint(gtk_, !t.flag("taskbar", true));
    gtk_window_set_keep_above(gtk_, t.flag("topmost", false));
    if (GdkPixbuf* icon = default_icon()) {
        gtk_window_set_icon(gtk_, icon);
        g_object_unref(icon);
    }

    fixed_ = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(gtk_), fixed_);
    gtk_widget_show(fixed_);

    // Created bottom first, so each new control's window lands on top of
    // the ones before it.
    for (auto it = t.controls.rbegin(); it != t.controls.rend(); ++it) {
        std::unique_ptr<Control> c = create_control(*it);
        if (!c) return false;
        for (const auto& [event, handler] : it->events) {
            auto h = handlers.find(handler);
            if (h != handlers.end()) c->bind(event, h->second);
        }
        if (GtkWidget* w = c->widget()) {
            gtk_widget_set_size_request(w, it->rect.width, it->rect.height);
            gtk_fixed_put(GTK_FIXED(fixed_), w, it->rect.left, it->rect.top);
            gtk_widget_set_can_focus(w, it->tab_stop || WEBKIT_IS_WEB_VIEW(w));
        }
        controls_.push_back(std::move(c));
    }

    gtk_widget_realize(GTK_WIDGET(gtk_));
    gtk_widget_realize(fixed_);
    GdkWindow* gdkwin = gtk_widget_get_window(GTK_WIDGET(gtk_));
    if (!gdkwin) return false;

    // A fixed frame with a title, a system menu and a close box: the
    // manager offers neither resizing, minimising nor maximising.
    int decor = GDK_DECOR_BORDER | GDK_DECOR_TITLE;
    if (t.flag("sysmenu", true)) decor |= GDK_DECOR_MENU;
    if (t.flag("minbox", false)) decor |= GDK_DECOR_MINIMIZE;
    if (t.flag("maxbox", false)) decor |= GDK_DECOR_MAXIMIZE;
    gdk_window_set_decorations(gdkwin, static_cast<GdkWMDecoration>(decor));
    int funcs = GDK_FUNC_MOVE | GDK_FUNC_CLOSE;
    if (t.flag("minbox", false)) funcs |= GDK_FUNC_MINIMIZE;
    if (t.flag("maxbox", false)) funcs |= GDK_FUNC_MAXIMIZE;
    gdk_window_set_functions(gdkwin, static_cast<GdkWMFunction>(funcs));

    // Stack the controls' own windows: the first of the template on top,
    // each further one directly below the one before.
    GdkWindow* above = nullptr;
    for (const auto& ct : t.controls) {
        Control* c = control(ct.name);
        GtkWidget* w = c ? c->widget() : nullptr;
        if (!w) continue;
        gtk_widget_realize(w);
        if (!gtk_widget_get_has_window(w)) continue;
        GdkWindow* gw = gtk_widget_get_window(w);
        if (above) gdk_window_restack(gw, above, FALSE);
        else gdk_window_raise(gw);
        above = gw;
    }

    place();
    g_signal_connect(gtk_, "configure-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                         static_cast<Window*>(self)->keep_outer_size();
                         return FALSE;
                     }),
                     this);
    // Some managers (openbox among them) keep a minimise button whatever the
    // window asks for; a window without that box does not go.
    keep_state_ = (t.flag("minbox", false) ? 0 : GDK_WINDOW_STATE_ICONIFIED) |
                  (t.flag("maxbox", false) ? 0 : GDK_WINDOW_STATE_MAXIMIZED);
    g_signal_connect(gtk_, "window-state-event", G_CALLBACK(+[](GtkWidget* w, GdkEventWindowState* ev, gpointer self) -> gboolean {
                         int refused = static_cast<Window*>(self)->keep_state_ & ev->changed_mask & ev->new_window_state;
                         if (refused & GDK_WINDOW_STATE_ICONIFIED) gtk_window_deiconify(GTK_WINDOW(w));
                         if (refused & GDK_WINDOW_STATE_MAXIMIZED) gtk_window_unmaximize(GTK_WINDOW(w));
                         return FALSE;
                     }),
                     this);
    g_signal_connect(gtk_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* ev, gpointer self) -> gboolean {
                         return static_cast<Window*>(self)->handle_key(ev, false);
                     }),
                     this);
    g_signal_connect_after(gtk_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* ev, gpointer self) -> gboolean {
                               return static_cast<Window*>(self)->handle_key(ev, true);
                           }),
                           this);

    auto order = tab_order();
    if (!order.empty()) gtk_window_set_focus(gtk_, order.front()->widget());
    return true;
}

// Centred on the primary screen, the outer rectangle (frame included) of the
// template's size: the client area is what is left inside the frame that the
// window manager says it will draw.
void Window::place() {
    GdkWindow* gdkwin = gtk_widget_get_window(GTK_WIDGET(gtk_));
    Point origin;
    Size screen = primary_screen(gtk_widget_get_display(GTK_WIDGET(gtk_)), &origin);
    Point p = centred_position(screen, outer_);
    position_ = {origin.x + p.x, origin.y + p.y};
    FrameExtents frame = platform::request_frame_extents(gdkwin, 250).value_or(FrameExtents{});
    Size client = client_size_for(outer_, frame);
    gtk_widget_set_size_request(fixed_, client.width, client.height);
    gtk_window_set_default_size(gtk_, client.width, client.height);
    // As a user-given position (USPosition): managers such as openbox pull a
    // merely program-given one fully onto the screen, and the window may
    // reach beyond the screen's edges on a small screen.
    std::string geometry = "+";
    geometry += std::to_string(position_.x);
    geometry += '+';
    geometry += std::to_string(position_.y);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (!gtk_window_parse_geometry(gtk_, geometry.c_str())) gtk_window_move(gtk_, position_.x, position_.y);
    G_GNUC_END_IGNORE_DEPRECATIONS
}

// If the frame turns out other than announced, the window is sized again so
// that the outer rectangle keeps the template's size, at the same place. A
// manager that pulled the window fully onto a screen smaller than it (openbox
// does so with any position the program gives at mapping) gets the window
// moved back once, as the user could move it.
void Window::keep_outer_size() {
    GdkWindow* gdkwin = gtk_widget_get_window(GTK_WIDGET(gtk_));
    auto frame = platform::frame_extents(gdkwin);
    if (!frame) return;
    GtkRequisition req;
    gtk_widget_get_size_request(fixed_, &req.width, &req.height);
    Size client = client_size_for(outer_, *frame);
    bool resize = client.width != req.width || client.height != req.height;
    if (resize) {
        gtk_widget_set_size_request(fixed_, client.width, client.height);
        gtk_window_resize(gtk_, client.width, client.height);
    }
    bool move = false;
    if (!placed_ && gtk_widget_get_mapped(GTK_WIDGET(gtk_))) {
        placed_ = true;
        auto origin = platform::outer_origin(gdkwin);
        move = origin && !(*origin == position_);
    }
    if (resize || move) gtk_window_move(gtk_, position_.x, position_.y);
}

void Window::show_controls() {
    for (const auto& c : controls_) {
        if (!c->widget()) continue;
        if (c->tpl().visible) gtk_widget_show(c->widget());
        else gtk_widget_hide(c->widget());
    }
}

void Window::show() {
    if (gtk_) gtk_widget_show(GTK_WIDGET(gtk_));
}

void Window::fire(std::string_view event) const {
    for (const auto& [name, h] : handlers_)
        if (name == event && h) h();
}

Control* Window::control(std::string_view name) const {
    for (const auto& c : controls_)
        if (c->name() == name) return c.get();
    return nullptr;
}

// Visible tab stops by tab number, and among equal numbers in creation order.
std::vector<Control*> Window::tab_order() const {
    std::vector<Control*> stops;
    for (const auto& c : controls_)
        if (c->tpl().tab_stop && c->tpl().visible && c->widget()) stops.push_back(c.get());
    std::stable_sort(stops.begin(), stops.end(),
                     [](Control* a, Control* b) { return a->tpl().tab_order < b->tpl().tab_order; });
    return stops;
}

bool Window::focus_in_page() const {
    GtkWidget* f = gtk_window_get_focus(gtk_);
    for (; f; f = gtk_widget_get_parent(f))
        if (WEBKIT_IS_WEB_VIEW(f)) return true;
    return false;
}

void Window::move_focus(int step) {
    auto stops = tab_order();
    if (stops.empty()) return;
    GtkWidget* f = gtk_window_get_focus(gtk_);
    int at = -1;
    for (std::size_t i = 0; i < stops.size(); ++i)
        if (stops[i]->widget() == f) at = static_cast<int>(i);
    int n = static_cast<int>(stops.size());
    int next = at < 0 ? (step > 0 ? 0 : n - 1) : ((at + step) % n + n) % n;
    gtk_widget_grab_focus(stops[static_cast<std::size_t>(next)]->widget());
}

// The window looks at each key before its controls do, except while the page
// has the focus: then the page is offered the key first, and only a key it
// left alone comes back here (after_page).
bool Window::handle_key(GdkEventKey* ev, bool after_page) {
    if (!gtk_) return FALSE;
    bool in_page = focus_in_page();
    if (in_page != after_page) return FALSE;
    guint mods = ev->state & gtk_accelerator_get_default_mod_mask();
    switch (ev->keyval) {
    case GDK_KEY_Tab:
    case GDK_KEY_KP_Tab:
    case GDK_KEY_ISO_Left_Tab:
        if (in_page) return FALSE;  // the engine's own focus chain leads out of the page
        if (mods & (GDK_CONTROL_MASK | GDK_MOD1_MASK)) return FALSE;
        move_focus((ev->keyval == GDK_KEY_ISO_Left_Tab || (mods & GDK_SHIFT_MASK)) ? -1 : 1);
        return TRUE;
    case GDK_KEY_Escape:
        if (!esc_closes_ || (mods & (GDK_CONTROL_MASK | GDK_MOD1_MASK))) return FALSE;
        gtk_window_close(gtk_);
        return TRUE;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
        // No default button: Enter presses nothing and moves nothing.
        return !in_page;
    case GDK_KEY_F1:
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace kada
