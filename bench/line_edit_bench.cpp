// Timing of the input box's text edit with texts of megabytes: setting the
// text, drawing it, typing at its end, pasting and clearing it. A GtkEntry
// given one megabyte is timed beside it for scale. Runs under its own Xvfb
// and openbox; prints figures and asserts nothing.
//
//   build/bench/kada-line-edit-bench
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <gtk/gtk.h>

#include "harness/harness.h"
#include "ui/line_edit.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

void settle() {
    gdk_display_sync(gdk_display_get_default());
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

bool wait_for(const std::function<bool()>& pred, std::chrono::seconds timeout) {
    auto end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > end) return false;
        settle();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void figure(const char* what, double ms) { std::printf("%-52s %10.3f ms\n", what, ms); }

// One full paint of the widget, as the window would ask for it.
void draw(GtkWidget* w) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, gtk_widget_get_allocated_width(w),
                                                    gtk_widget_get_allocated_height(w));
    cairo_t* cr = cairo_create(s);
    gtk_widget_draw(w, cr);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
}

// A key press and release handed straight to the widget, past the X server.
void key(GtkWidget* w, guint keyval, guint state = 0) {
    GdkKeymapKey* keys = nullptr;
    gint n = 0;
    guint16 code = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gtk_widget_get_display(w)), keyval, &keys, &n) && n > 0)
        code = static_cast<guint16>(keys[0].keycode);
    g_free(keys);
    GdkDevice* kbd = gdk_seat_get_keyboard(gdk_display_get_default_seat(gtk_widget_get_display(w)));
    for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
        GdkEvent* ev = gdk_event_new(type);
        ev->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
        ev->key.send_event = TRUE;
        ev->key.time = GDK_CURRENT_TIME;
        ev->key.state = state;
        ev->key.keyval = keyval;
        ev->key.hardware_keycode = code;
        gdk_event_set_device(ev, kbd);
        gtk_widget_event(w, ev);
        gdk_event_free(ev);
    }
}

}  // namespace

int main() {
    kt::XSession x;
    setenv("DISPLAY", x.display_name().c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GTK_IM_MODULE", "gtk-im-context-simple", 1);
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }
    g_object_set(gtk_settings_get_default(), "gtk-cursor-blink", FALSE, nullptr);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* fixed = gtk_fixed_new();
    GtkWidget* edit = kada::line_edit_new();
    gtk_widget_set_size_request(edit, 438, 25);
    gtk_fixed_put(GTK_FIXED(fixed), edit, 10, 10);
    GtkWidget* entry = gtk_entry_new();
    gtk_widget_set_size_request(entry, 438, 25);
    gtk_fixed_put(GTK_FIXED(fixed), entry, 10, 50);
    gtk_container_add(GTK_CONTAINER(window), fixed);
    gtk_widget_show_all(window);
    gtk_window_present(GTK_WINDOW(window));
    wait_for([&] { return gtk_window_is_active(GTK_WINDOW(window)); }, 10s);
    gtk_widget_grab_focus(edit);
    settle();

    const std::string one(1u << 20, 'x');
    const std::string ten(10u << 20, 'y');

    auto t = Clock::now();
    kada::line_edit_set_text(edit, one);
    figure("set_text 1 MB", ms_since(t));
    t = Clock::now();
    kada::line_edit_set_text(edit, ten);
    figure("set_text 10 MB", ms_since(t));

    const int draws = 200;
    t = Clock::now();
    for (int i = 0; i < draws; ++i) draw(edit);
    figure("redraw, 10 MB, caret at the start (each)", ms_since(t) / draws);

    t = Clock::now();
    key(edit, GDK_KEY_End);
    figure("End in 10 MB", ms_since(t));
    t = Clock::now();
    for (int i = 0; i < draws; ++i) draw(edit);
    figure("redraw, 10 MB, caret at the end (each)", ms_since(t) / draws);

    t = Clock::now();
    for (int i = 0; i < 100; ++i) key(edit, GDK_KEY_a + static_cast<guint>(i % 26));
    figure("100 keystrokes at the end of 10 MB", ms_since(t));
    t = Clock::now();
    for (int i = 0; i < 100; ++i) {
        key(edit, GDK_KEY_a + static_cast<guint>(i % 26));
        draw(edit);
    }
    figure("100 keystrokes at the end of 10 MB, each drawn", ms_since(t));
    t = Clock::now();
    for (int i = 0; i < 100; ++i) key(edit, GDK_KEY_BackSpace);
    figure("100 BackSpaces at the end of 10 MB", ms_since(t));

    key(edit, GDK_KEY_Home);
    t = Clock::now();
    for (int i = 0; i < 100; ++i) key(edit, GDK_KEY_b);
    figure("100 keystrokes at the start of 10 MB", ms_since(t));
    t = Clock::now();
    for (int i = 0; i < 100; ++i) key(edit, GDK_KEY_Right, GDK_CONTROL_MASK);
    figure("100 Ctrl+Right in one 10 MB word", ms_since(t));

    t = Clock::now();
    key(edit, GDK_KEY_a, GDK_CONTROL_MASK);
    key(edit, GDK_KEY_BackSpace);
    figure("Ctrl+A, BackSpace on 10 MB", ms_since(t));

    // Through the X selection, INCR transfer included.
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), ten.data(), static_cast<gint>(ten.size()));
    settle();
    t = Clock::now();
    key(edit, GDK_KEY_v, GDK_CONTROL_MASK);
    bool pasted = wait_for([&] { return kada::line_edit_text_size(edit) == ten.size(); }, 120s);
    figure(pasted ? "Ctrl+V of 10 MB until it is in" : "Ctrl+V of 10 MB (did not arrive)", ms_since(t));

    // For scale: what the same box cost as a GtkEntry.
    gtk_widget_grab_focus(entry);
    settle();
    t = Clock::now();
    gtk_entry_set_text(GTK_ENTRY(entry), one.c_str());
    draw(entry);
    figure("GtkEntry: set_text 1 MB and one redraw", ms_since(t));
    gtk_editable_set_position(GTK_EDITABLE(entry), -1);
    t = Clock::now();
    for (int i = 0; i < 10; ++i) {
        key(entry, GDK_KEY_a);
        draw(entry);
    }
    figure("GtkEntry: 10 keystrokes at the end of 1 MB, each drawn", ms_since(t));

    gtk_widget_destroy(window);
    settle();
    return 0;
}
