// The input box's own text edit, driven in this process on a real X server.
// Where GtkEntry's behaviour is the target, a GtkEntry in the same window
// gets the same keys and is the oracle.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <sstream>

#include "harness/harness.h"
#include "ui/line_edit.h"

namespace {

using namespace std::chrono_literals;

// GTK stays on the display it first opened, so the process keeps one X
// session until it exits.
kt::XSession* session() {
    static std::unique_ptr<kt::XSession> x;
    static bool ok = false;
    if (!x) {
        x = std::make_unique<kt::XSession>();
        setenv("DISPLAY", x->display_name().c_str(), 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        // Synthesised key events are core events, which GDK drops while it
        // listens to XInput2.
        setenv("GDK_CORE_DEVICE_EVENTS", "1", 1);
        setenv("GTK_IM_MODULE", "gtk-im-context-simple", 1);
        gdk_set_allowed_backends("x11");
        ok = gtk_init_check(nullptr, nullptr);
    }
    return ok ? x.get() : nullptr;
}

void settle() {
    gdk_display_sync(gdk_display_get_default());
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5s) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        settle();
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
    }
}

void spin(std::chrono::milliseconds d) {
    auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end) {
        settle();
        std::this_thread::sleep_for(5ms);
    }
}

struct Key {
    guint keyval;
    guint mods;
};

// "C-S-Left BackSpace 'abc'": keys by GDK name with C- and S- for Control
// and Shift, quoted text typed a character at a time.
std::vector<Key> keys(const std::string& seq) {
    std::vector<Key> out;
    std::size_t i = 0;
    while (i < seq.size()) {
        if (seq[i] == ' ') {
            ++i;
        } else if (seq[i] == '\'') {
            std::size_t end = seq.find('\'', i + 1);
            for (std::size_t k = i + 1; k < end; ++k) {
                auto c = static_cast<unsigned char>(seq[k]);
                out.push_back({gdk_unicode_to_keyval(c), g_ascii_isupper(c) ? guint{GDK_SHIFT_MASK} : 0u});
            }
            i = end + 1;
        } else {
            std::size_t end = seq.find(' ', i);
            if (end == std::string::npos) end = seq.size();
            std::string name = seq.substr(i, end - i);
            guint mods = 0;
            while (name.size() > 2 && name[1] == '-') {
                mods |= name[0] == 'C' ? GDK_CONTROL_MASK : GDK_SHIFT_MASK;
                name = name.substr(2);
            }
            guint kv = gdk_keyval_from_name(name.c_str());
            if (kv == GDK_KEY_VoidSymbol) ADD_FAILURE() << "no key " << name;
            out.push_back({kv, mods});
            i = end;
        }
    }
    return out;
}

// What a GtkEditable shows: text, caret and selection in characters.
struct Snapshot {
    std::string text;
    int cursor = 0, lo = 0, hi = 0;
    int changes = 0;
    bool operator==(const Snapshot&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Snapshot& s) {
    return os << "\"" << s.text << "\" cursor " << s.cursor << " selection " << s.lo << ".." << s.hi << ", "
              << s.changes << " changes";
}

Snapshot snapshot(GtkWidget* w, int changes = 0) {
    Snapshot s;
    g_autofree char* t = gtk_editable_get_chars(GTK_EDITABLE(w), 0, -1);
    s.text = t;
    s.cursor = gtk_editable_get_position(GTK_EDITABLE(w));
    gtk_editable_get_selection_bounds(GTK_EDITABLE(w), &s.lo, &s.hi);
    s.changes = changes;
    return s;
}

bool valid_boundary(const std::string& s, std::size_t b) {
    return b <= s.size() && (b == s.size() || (static_cast<unsigned char>(s[b]) & 0xC0) != 0x80);
}

class LineEdit : public ::testing::Test {
protected:
    void SetUp() override {
        x = session();
        ASSERT_NE(x, nullptr);
        g_object_set(gtk_settings_get_default(), "gtk-cursor-blink", FALSE, nullptr);
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(window), "line edit test");
        GtkWidget* fixed = gtk_fixed_new();
        edit = kada::line_edit_new();
        gtk_widget_set_size_request(edit, 438, 25);
        gtk_fixed_put(GTK_FIXED(fixed), edit, 10, 10);
        entry = gtk_entry_new();
        gtk_widget_set_size_request(entry, 438, -1);
        gtk_fixed_put(GTK_FIXED(fixed), entry, 10, 45);
        button = gtk_button_new_with_label("button");
        gtk_fixed_put(GTK_FIXED(fixed), button, 10, 90);
        gtk_container_add(GTK_CONTAINER(window), fixed);
        g_signal_connect(window, "key-release-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey*, gpointer n) -> gboolean {
                             ++*static_cast<int*>(n);
                             return FALSE;
                         }),
                         &keys_done);
        gtk_window_move(GTK_WINDOW(window), 40, 40);
        gtk_widget_show_all(window);
        gtk_window_present(GTK_WINDOW(window));
        ASSERT_TRUE(wait_for([&] { return gtk_window_is_active(GTK_WINDOW(window)) && gtk_widget_get_mapped(edit); }));
        gtk_widget_grab_focus(edit);
        settle();
    }
    void TearDown() override {
        if (window) gtk_widget_destroy(window);
        settle();
    }

    // Each key is handled before the next goes: GDK may hold events back
    // for a frame.
    void send(GtkWidget* w, const std::vector<Key>& ks) {
        for (const Key& k : ks) {
            int before = keys_done;
            ASSERT_TRUE(gtk_test_widget_send_key(w, k.keyval, static_cast<GdkModifierType>(k.mods)));
            ASSERT_TRUE(wait_for([&] { return keys_done > before; })) << "key " << gdk_keyval_name(k.keyval);
        }
    }
    void send(const std::string& seq) { send(edit, keys(seq)); }

    // Puts the text in, then selects anchor..cursor (characters), with the
    // widget focused; gives the "changed" count of what follows.
    struct Counter {
        GtkWidget* w;
        gulong id;
        int n = 0;
        explicit Counter(GtkWidget* widget) : w(widget) {
            id = g_signal_connect_swapped(w, "changed", G_CALLBACK(+[](Counter* c) { ++c->n; }), this);
        }
        ~Counter() { g_signal_handler_disconnect(w, id); }
    };
    void prepare(GtkWidget* w, const std::string& text, int anchor, int cursor) {
        gtk_widget_grab_focus(w);
        gtk_editable_delete_text(GTK_EDITABLE(w), 0, -1);
        gint pos = 0;
        gtk_editable_insert_text(GTK_EDITABLE(w), text.c_str(), -1, &pos);
        gtk_editable_select_region(GTK_EDITABLE(w), anchor, cursor);
        settle();
    }
    Snapshot run(GtkWidget* w, const std::string& text, int anchor, int cursor, const std::string& seq) {
        prepare(w, text, anchor, cursor);
        Counter c(w);
        send(w, keys(seq));
        return snapshot(w, c.n);
    }

    // A point of a widget on the screen.
    std::pair<int, int> on_screen(GtkWidget* w, double wx, double wy) {
        int tx = 0, ty = 0, ox = 0, oy = 0;
        gtk_widget_translate_coordinates(w, window, static_cast<int>(wx), static_cast<int>(wy), &tx, &ty);
        gdk_window_get_origin(gtk_widget_get_window(window), &ox, &oy);
        return {ox + tx, oy + ty};
    }
    void click(GtkWidget* w, double wx, double wy, int button_no = 1) {
        auto [sx, sy] = on_screen(w, wx, wy);
        x->click(sx, sy, button_no);
    }

    // Where the edit draws the boundary before character index k of its
    // text, measured on a layout of our own in the widget's font.
    double boundary_x(const std::string& text, int k) {
        PangoLayout* l = gtk_widget_create_pango_layout(edit, text.c_str());
        PangoRectangle r;
        pango_layout_index_to_pos(l, static_cast<int>(g_utf8_offset_to_pointer(text.c_str(), k) - text.c_str()), &r);
        g_object_unref(l);
        return 4 + r.x / static_cast<double>(PANGO_SCALE);
    }
    double text_width(const std::string& text) {
        PangoLayout* l = gtk_widget_create_pango_layout(edit, text.c_str());
        int w = 0;
        pango_layout_get_size(l, &w, nullptr);
        g_object_unref(l);
        return w / static_cast<double>(PANGO_SCALE);
    }

    kt::XSession* x = nullptr;
    GtkWidget* window = nullptr;
    GtkWidget* edit = nullptr;
    GtkWidget* entry = nullptr;
    GtkWidget* button = nullptr;
    int keys_done = 0;
};

struct KeyCase {
    const char* what;
    std::string text;
    int anchor, cursor;
    std::string keys;
};

TEST_F(LineEdit, EditingKeysDoWhatTheyDoInAGtkEntry) {
    const std::string link = "http://example.com/a_b.mp4 视频 ok";
    const KeyCase cases[] = {
        {"words forward", link, 0, 0, "C-Right C-Right C-Right C-S-Right C-S-Right"},
        {"words back and delete", link, 32, 32, "C-Left C-Left C-S-Left BackSpace"},
        {"word deletes", "don't stop 3.14 now", 6, 6, "C-BackSpace C-Delete C-Delete"},
        {"chinese", "中文链接abc", 2, 2, "Left S-Left S-Left Right BackSpace Delete 'x' S-Home Delete"},
        {"combining marks", "e\xcc\x81" "a\xcc\x82\xcc\x81 q", 0, 0, "Right Right S-Right BackSpace BackSpace BackSpace"},
        {"thai vowel sign", "\xe0\xb8\x81\xe0\xb8\xb3\xe0\xb8\xa5\xe0\xb8\xb1\xe0\xb8\x87", 5, 5, "BackSpace BackSpace Left Delete"},
        {"emoji sequence", "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9 ok", 0, 0, "Right S-Right Left BackSpace End BackSpace"},
        {"typing replaces the selection", "hello world", 0, 11, "'x'"},
        {"select all and type", "hello world", 3, 3, "C-a 'q' 'r'"},
        {"selection collapses to its side", "hello world", 3, 8, "Left S-Right S-Right Right Right"},
        {"word moves leave the selection", "abc def ghi", 1, 6, "C-Right C-Left C-Left"},
        {"home end and shift", "one two three", 5, 5, "Home S-End S-Home End S-C-Left"},
        {"deletes with a selection", "one two three", 4, 7, "C-BackSpace S-End C-Delete"},
        {"nothing past the ends", "abc", 0, 0, "Left BackSpace End Right Delete"},
        {"select none", "hello", 0, 5, "C-S-a S-Left C-backslash C-slash"},
        {"overwrite", "hello world", 5, 5, "Insert 'XY' Insert 'z' Insert End 'w'"},
        {"control characters", "a\tb\nc\x01" "d", 0, 0, "End C-Left C-Left S-Left BackSpace"},
        {"keypad keys", "abc def", 3, 3, "KP_Left KP_Delete KP_End S-KP_Home"},
    };
    for (const auto& c : cases) {
        Snapshot expected = run(entry, c.text, c.anchor, c.cursor, c.keys);
        Snapshot got = run(edit, c.text, c.anchor, c.cursor, c.keys);
        EXPECT_EQ(got, expected) << c.what;
        EXPECT_EQ(kada::line_edit_text(edit), got.text) << c.what;
    }
}

// Word moves compared over strings of letters, digits, punctuation, CJK,
// kana, marks and symbols, step by step across and back.
TEST_F(LineEdit, WordMovesMatchAGtkEntryOnMixedScripts) {
    const char* pool[] = {"a", "Z", "9", "_", " ", ".", "/", "'", "中", "文", "ひ", "カ", "ー", "々", "\xe2\xbc\x80",
                          "한", "é", "\xcc\x81", "\xe2\x80\x8d", "\xd9\xa3", "\xe2\x85\xab", "\xc2\xb2", "\xf0\x9f\x98\x80",
                          "\t", "，", "Ａ"};
    // The caret after each of n presses of one key from a starting point.
    auto trail = [&](GtkWidget* w, const std::string& s, int from, const char* key, int n) {
        prepare(w, s, from, from);
        std::vector<int> out;
        for (int i = 0; i < n; ++i) {
            send(w, keys(key));
            out.push_back(gtk_editable_get_position(GTK_EDITABLE(w)));
        }
        return out;
    };
    std::mt19937 rng(1234);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pool) - 1);
    for (int round = 0; round < 40; ++round) {
        std::string s;
        const int n = 14;
        for (int i = 0; i < n; ++i) s += pool[pick(rng)];
        EXPECT_EQ(trail(edit, s, 0, "C-Right", n), trail(entry, s, 0, "C-Right", n)) << s;
        EXPECT_EQ(trail(edit, s, n, "C-Left", n), trail(entry, s, n, "C-Left", n)) << s;
        EXPECT_EQ(run(edit, s, 7, 7, "C-BackSpace C-Delete"), run(entry, s, 7, 7, "C-BackSpace C-Delete")) << s;
    }
}

TEST_F(LineEdit, ClipboardKeysRoundTripAndPastedLineBreaksStayAsGtkEntryKeepsThem) {
    auto wait_text = [&](GtkWidget* w, const std::string& want) {
        return wait_for([&] { return snapshot(w).text == want; });
    };
    prepare(edit, "copy this please", 5, 9);
    send("C-c End C-v");
    ASSERT_TRUE(wait_text(edit, "copy this pleasethis"));
    send("C-a C-x");
    EXPECT_EQ(kada::line_edit_text(edit), "");
    send("S-Insert");
    ASSERT_TRUE(wait_text(edit, "copy this pleasethis"));
    send("Home S-C-Right C-Insert End S-Delete");  // nothing selected at the end: Shift+Delete only cuts a selection
    send("S-Insert");
    ASSERT_TRUE(wait_text(edit, "copy this pleasethiscopy"));
    send("Home S-Right S-Right S-Delete");
    EXPECT_EQ(kada::line_edit_text(edit), "py this pleasethiscopy");
    send("End S-Insert");
    ASSERT_TRUE(wait_text(edit, "py this pleasethiscopyco"));

    // Line breaks, tabs and control characters from the clipboard.
    const std::string clip = "one\r\ntwo\nthree\tfour\x01" "five";
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), clip.data(), static_cast<gint>(clip.size()));
    settle();
    for (GtkWidget* w : {entry, edit}) {
        prepare(w, "[]", 1, 1);
        send(w, keys("C-v"));
        ASSERT_TRUE(wait_for([&] { return snapshot(w).text.size() > 2; }));
    }
    EXPECT_EQ(snapshot(edit), snapshot(entry));
}

TEST_F(LineEdit, SelectedTextIsThePrimarySelectionAndMiddleClickPastesIt) {
    GtkClipboard* primary = gtk_clipboard_get(GDK_SELECTION_PRIMARY);
    prepare(edit, "alpha beta gamma", 6, 6);
    send("C-S-Right");
    EXPECT_EQ(gtk_clipboard_get_owner(primary), G_OBJECT(edit));
    g_autofree char* held = gtk_clipboard_wait_for_text(primary);
    ASSERT_NE(held, nullptr);
    EXPECT_STREQ(held, "beta");
    send("Right");
    EXPECT_NE(gtk_clipboard_get_owner(primary), G_OBJECT(edit));

    // Someone else takes it: the selection goes, as in GtkEntry.
    send("C-a");
    ASSERT_EQ(gtk_clipboard_get_owner(primary), G_OBJECT(edit));
    gtk_clipboard_set_text(primary, "<mid>", -1);
    settle();
    EXPECT_EQ(kada::line_edit_selection(edit), (std::pair<std::size_t, std::size_t>{16, 16}));

    // A middle click pastes at the pointer, not at the caret.
    send("End");
    const std::string text = "alpha beta gamma";
    click(edit, boundary_x(text, 5) + 0.8, 12, 2);
    ASSERT_TRUE(wait_for([&] { return kada::line_edit_text(edit) == "alpha<mid> beta gamma"; }))
        << kada::line_edit_text(edit);
}

TEST_F(LineEdit, ClicksPlaceTheCaretAtTheNearestBoundaryAndNeverSelectAll) {
    const std::string text = "WWW MMM 中文 ok";
    prepare(edit, text, 0, 0);
    gtk_widget_grab_focus(button);
    settle();
    for (int k : {0, 2, 5, 9, 12}) {
        // Just right of the boundary, and just left of it.
        for (double nudge : {1.5, -1.5}) {
            if (k == 0 && nudge < 0) continue;
            click(edit, boundary_x(text, k) + nudge, 12);
            ASSERT_TRUE(wait_for([&] { return gtk_widget_has_focus(edit); }));
            spin(60ms);
            Snapshot s = snapshot(edit);
            EXPECT_EQ(s.cursor, k) << "nudge " << nudge;
            EXPECT_EQ(s.lo, s.hi) << "a click selects nothing";
            gtk_widget_grab_focus(button);
            spin(450ms);  // no double click with the next one
        }
    }
    click(edit, 430, 12);
    ASSERT_TRUE(wait_for([&] { return gtk_editable_get_position(GTK_EDITABLE(edit)) == 13; }));
    // Shift+click extends from the caret.
    spin(450ms);
    auto [sx, sy] = on_screen(edit, boundary_x(text, 4) + 1.5, 12);
    KeyCode shift = XKeysymToKeycode(x->dpy(), XStringToKeysym("Shift_L"));
    XTestFakeKeyEvent(x->dpy(), shift, True, CurrentTime);
    x->click(sx, sy);
    XTestFakeKeyEvent(x->dpy(), shift, False, CurrentTime);
    XSync(x->dpy(), False);
    ASSERT_TRUE(wait_for([&] { return snapshot(edit).lo == 4; }));
    EXPECT_EQ(snapshot(edit).hi, 13);
}

TEST_F(LineEdit, DoubleClickSelectsTheWordAsAGtkEntryDoesAndTripleClickSelectsAll) {
    const std::string text = "http://example.com/a_b.mp4 视频 ok";
    // Where each widget draws a character's middle.
    auto middle_of = [&](GtkWidget* w, int k) {
        PangoLayout* l = GTK_IS_ENTRY(w) ? gtk_entry_get_layout(GTK_ENTRY(w)) : gtk_widget_create_pango_layout(edit, text.c_str());
        int ox = 4;
        if (GTK_IS_ENTRY(w)) gtk_entry_get_layout_offsets(GTK_ENTRY(w), &ox, nullptr);
        PangoRectangle r;
        pango_layout_index_to_pos(l, static_cast<int>(g_utf8_offset_to_pointer(text.c_str(), k) - text.c_str()), &r);
        if (!GTK_IS_ENTRY(w)) g_object_unref(l);
        return ox + (r.x + r.width / 2) / static_cast<double>(PANGO_SCALE);
    };
    auto double_click = [&](GtkWidget* w, double wx) {
        int h = gtk_widget_get_allocated_height(w);
        auto [sx, sy] = on_screen(w, wx, h / 2.0);
        x->click(sx, sy);
        x->click(sx, sy);
    };
    // Each is read at once: the other one taking the primary selection
    // clears it.
    auto selected_by_double_click = [&](GtkWidget* w, int k) {
        prepare(w, text, 0, 0);
        spin(450ms);
        double_click(w, middle_of(w, k));
        wait_for([&] { return snapshot(w).lo != snapshot(w).hi; }, 2s);
        return snapshot(w);
    };
    for (int k : {2, 5, 9, 18, 19, 21, 26, 27, 30}) {
        Snapshot want = selected_by_double_click(entry, k);
        EXPECT_NE(want.lo, want.hi);
        EXPECT_EQ(selected_by_double_click(edit, k), want) << "character " << k;
    }
    spin(450ms);
    auto [sx, sy] = on_screen(edit, middle_of(edit, 3), 12);
    for (int i = 0; i < 3; ++i) x->click(sx, sy);
    ASSERT_TRUE(wait_for([&] { return snapshot(edit).hi - snapshot(edit).lo == 32; })) << snapshot(edit);
}

TEST_F(LineEdit, DraggingSelectsAndScrollsPastTheEdge) {
    std::string text;
    for (int i = 0; i < 60; ++i) text += std::to_string(i % 10) + "ab";
    prepare(edit, text, 0, 0);
    settle();
    ASSERT_EQ(kada::line_edit_scroll_offset(edit), 0u);
    auto [sx, sy] = on_screen(edit, boundary_x(text, 2) + 1, 12);
    Display* d = x->dpy();
    x->move_pointer(sx, sy);
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XSync(d, False);
    spin(50ms);
    auto [ex, ey] = on_screen(edit, 200, 12);
    XTestFakeMotionEvent(d, 0, ex, ey, CurrentTime);
    XSync(d, False);
    ASSERT_TRUE(wait_for([&] { return snapshot(edit).hi > 2; }));
    EXPECT_EQ(snapshot(edit).lo, 2);
    EXPECT_EQ(kada::line_edit_scroll_offset(edit), 0u) << "no scrolling inside the box";
    // Past the right edge it keeps going.
    auto [fx, fy] = on_screen(edit, 438 + 40, 12);
    XTestFakeMotionEvent(d, 0, fx, fy, CurrentTime);
    XSync(d, False);
    EXPECT_TRUE(wait_for([&] { return snapshot(edit).hi == static_cast<int>(text.size()); }, 10s)) << snapshot(edit);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XSync(d, False);
    settle();
    EXPECT_EQ(snapshot(edit).lo, 2);
    EXPECT_GT(kada::line_edit_scroll_offset(edit), 0u);
    std::size_t after = snapshot(edit).hi;
    spin(200ms);
    EXPECT_EQ(static_cast<std::size_t>(snapshot(edit).hi), after) << "released: nothing moves";
}

TEST_F(LineEdit, TabbingInSelectsAllAndClickingInDoesNot) {
    prepare(edit, "some link", 2, 2);
    gtk_widget_grab_focus(button);
    settle();
    send(button, keys("Tab"));
    ASSERT_TRUE(gtk_widget_has_focus(edit));
    EXPECT_EQ(snapshot(edit), (Snapshot{"some link", 9, 0, 9}));
    // Focus leaving keeps the selection.
    gtk_widget_grab_focus(button);
    settle();
    EXPECT_EQ(snapshot(edit), (Snapshot{"some link", 9, 0, 9}));
    click(edit, boundary_x("some link", 2) + 1.5, 12);
    ASSERT_TRUE(wait_for([&] { return gtk_widget_has_focus(edit); }));
    spin(50ms);
    EXPECT_EQ(snapshot(edit), (Snapshot{"some link", 2, 2, 2}));
}

TEST_F(LineEdit, TheCaretStaysInSightAndNoRoomIsLeftEmptyOnTheRight) {
    const std::string text = "http://example.com/" + std::string(300, 'w') + "/end.mp4";
    prepare(edit, "", 0, 0);
    kada::line_edit_set_text(edit, text);
    EXPECT_EQ(kada::line_edit_cursor(edit), 0u);
    EXPECT_EQ(kada::line_edit_scroll_offset(edit), 0u);
    // At the end the view starts at the leftmost place that still shows
    // the caret inside the text area.
    const double area = 438 - 8 - 1;
    send("End");
    std::size_t v = kada::line_edit_scroll_offset(edit);
    ASSERT_GT(v, 0u);
    EXPECT_LE(text_width(text.substr(v)), area + 0.5);
    EXPECT_GT(text_width(text.substr(v - 1)), area - 0.5);
    // Going left past the edge scrolls one step at a time.
    for (int i = 0; i < 40; ++i) send("Left");
    std::size_t caret = kada::line_edit_cursor(edit);
    std::size_t v2 = kada::line_edit_scroll_offset(edit);
    EXPECT_LE(v2, caret);
    EXPECT_EQ(v2, v) << "the caret was still in sight";
    send("Home");
    EXPECT_EQ(kada::line_edit_scroll_offset(edit), 0u);
    // Deleting at the end pulls hidden text back in.
    send("End BackSpace BackSpace BackSpace BackSpace");
    std::string now = kada::line_edit_text(edit);
    std::size_t v3 = kada::line_edit_scroll_offset(edit);
    EXPECT_LT(v3, v);
    EXPECT_LE(text_width(now.substr(v3)), area + 0.5);
    EXPECT_GT(text_width(now.substr(v3 - 1)), area - 0.5);
}

TEST_F(LineEdit, TenMegabytesAreSetEditedSelectedAndDeleted) {
    std::string big(10u << 20, 'y');
    big += "尾";
    kada::line_edit_set_text(edit, big);
    ASSERT_EQ(kada::line_edit_text_size(edit), big.size());
    EXPECT_EQ(gtk_editable_get_position(GTK_EDITABLE(edit)), 0);
    send("End 'abc'");
    EXPECT_EQ(kada::line_edit_cursor(edit), big.size() + 3);
    EXPECT_EQ(gtk_editable_get_position(GTK_EDITABLE(edit)), static_cast<int>((10u << 20) + 4));
    EXPECT_GT(kada::line_edit_scroll_offset(edit), big.size() - 1000);
    send("BackSpace BackSpace Left Left Delete");
    std::string t = kada::line_edit_text(edit);
    ASSERT_EQ(t.size(), (10u << 20) + 1);
    EXPECT_EQ(t.substr(t.size() - 3), "yya");
    send("Home 'h' C-Right");
    EXPECT_EQ(kada::line_edit_cursor(edit), (10u << 20) + 2);
    EXPECT_EQ(kada::line_edit_text(edit).substr(0, 3), "hyy");
    // Character offsets deep inside, after edits at both ends.
    gtk_editable_set_position(GTK_EDITABLE(edit), 5'000'000);
    EXPECT_EQ(kada::line_edit_cursor(edit), 5'000'000u);
    g_autofree char* tail = gtk_editable_get_chars(GTK_EDITABLE(edit), (10 << 20) - 1, -1);
    EXPECT_STREQ(tail, "yya");
    send("C-a 'z'");
    EXPECT_EQ(kada::line_edit_text(edit), "z");
    send("C-a BackSpace");
    EXPECT_EQ(kada::line_edit_text(edit), "");
}

TEST_F(LineEdit, TenMegabytesPastedFromAnotherProgramArriveWhole) {
    prepare(edit, "", 0, 0);
    std::string big(10u << 20, 'p');
    big += "!";
    // Ours from earlier tests would hide the moment the other program
    // takes the clipboard.
    gtk_clipboard_clear(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
    settle();
    x->paste(big);
    ASSERT_TRUE(wait_for([&] { return kada::line_edit_text_size(edit) == big.size(); }, 60s))
        << kada::line_edit_text_size(edit);
    EXPECT_EQ(kada::line_edit_text(edit), big);
    EXPECT_EQ(kada::line_edit_cursor(edit), big.size());
    send("BackSpace 'q'");
    std::string t = kada::line_edit_text(edit);
    EXPECT_EQ(t.substr(t.size() - 2), "pq");
}

// Character offsets through GtkEditable against a plain model, over a text
// of one- to four-byte characters many index blocks long.
TEST_F(LineEdit, CharacterOffsetsStayRightThroughEditsAnywhere) {
    const std::vector<std::string> pool = {"a", "é", "中", "\xf0\x9f\x98\x80", "z", "链"};
    std::mt19937 rng(99);
    auto rnd = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng); };
    std::vector<std::string> model;
    for (int i = 0; i < 30000; ++i) model.push_back(pool[rnd(pool.size() - 1)]);
    auto join = [&](std::size_t a, std::size_t b) {
        std::string s;
        for (std::size_t i = a; i < b; ++i) s += model[i];
        return s;
    };
    kada::line_edit_set_text(edit, join(0, model.size()));
    GtkEditable* e = GTK_EDITABLE(edit);
    for (int round = 0; round < 400; ++round) {
        std::size_t p = rnd(model.size());
        switch (round % 4) {
        case 0: {
            std::vector<std::string> piece;
            for (std::size_t k = rnd(5); k > 0; --k) piece.push_back(pool[rnd(pool.size() - 1)]);
            std::string s;
            for (auto& c : piece) s += c;
            gint pos = static_cast<gint>(p);
            gtk_editable_insert_text(e, s.c_str(), -1, &pos);
            model.insert(model.begin() + static_cast<long>(p), piece.begin(), piece.end());
            ASSERT_EQ(pos, static_cast<gint>(p + piece.size()));
            break;
        }
        case 1: {
            std::size_t q = std::min(model.size(), p + rnd(8));
            gtk_editable_delete_text(e, static_cast<gint>(p), static_cast<gint>(q));
            model.erase(model.begin() + static_cast<long>(p), model.begin() + static_cast<long>(q));
            break;
        }
        case 2: {
            gtk_editable_set_position(e, static_cast<gint>(p));
            ASSERT_EQ(gtk_editable_get_position(e), static_cast<gint>(p));
            ASSERT_EQ(kada::line_edit_cursor(edit), join(0, p).size());
            break;
        }
        case 3: {
            std::size_t q = std::min(model.size(), p + rnd(20));
            g_autofree char* got = gtk_editable_get_chars(e, static_cast<gint>(p), static_cast<gint>(q));
            ASSERT_EQ(std::string(got), join(p, q)) << "round " << round;
            break;
        }
        }
    }
    EXPECT_EQ(kada::line_edit_text(edit), join(0, model.size()));
}

TEST_F(LineEdit, MultiByteTextIsNeverSplitAndBadBytesComeInAsReplacementCharacters) {
    prepare(edit, "链接中文测试", 3, 3);
    for (const char* seq : {"Left", "S-Left", "Right", "S-Right", "BackSpace", "Delete", "C-BackSpace", "End",
                             "S-Home", "Right", "C-Left", "Delete"}) {
        send(seq);
        std::string t = kada::line_edit_text(edit);
        ASSERT_TRUE(g_utf8_validate(t.data(), static_cast<gssize>(t.size()), nullptr)) << seq;
        ASSERT_TRUE(valid_boundary(t, kada::line_edit_cursor(edit))) << seq;
        auto [lo, hi] = kada::line_edit_selection(edit);
        ASSERT_TRUE(valid_boundary(t, lo) && valid_boundary(t, hi)) << seq;
    }
    // Byte offsets that fall inside a character are moved to its start.
    kada::line_edit_set_text(edit, "中文");
    kada::line_edit_select(edit, 1, 4);
    EXPECT_EQ(kada::line_edit_selection(edit), (std::pair<std::size_t, std::size_t>{0, 3}));

    kada::line_edit_set_text(edit, std::string("a\xff" "b\0c\xe4\xb8", 7));
    EXPECT_EQ(kada::line_edit_text(edit), "a\xef\xbf\xbd" "b\xef\xbf\xbd" "c\xef\xbf\xbd\xef\xbf\xbd");
    gint pos = 1;
    gtk_editable_insert_text(GTK_EDITABLE(edit), "\xc3(", 2, &pos);
    EXPECT_EQ(kada::line_edit_text(edit).substr(0, 9), "a\xef\xbf\xbd(\xef\xbf\xbd" "b");
}

TEST_F(LineEdit, SetTextEmitsChangesAsGtkEntryAndNothingForTheSameText) {
    for (GtkWidget* w : {entry, edit}) prepare(w, "", 0, 0);
    Counter mine(edit), theirs(entry);
    for (const char* t : {"abc", "abc", "", "", "x", "y"}) {
        gtk_entry_set_text(GTK_ENTRY(entry), t);
        kada::line_edit_set_text(edit, t);
        EXPECT_EQ(mine.n, theirs.n) << "after \"" << t << "\"";
        EXPECT_EQ(snapshot(edit), snapshot(entry));
    }
}

// Chinese comes in through the input method: Ctrl+Shift+U and a code
// point in GTK's own method, with the preedit shown before the commit.
TEST_F(LineEdit, InputMethodPreeditAndCommitGoInAtTheCaret) {
    prepare(edit, "abcd", 2, 2);
    auto render = [&] {
        int w = gtk_widget_get_allocated_width(edit), h = gtk_widget_get_allocated_height(edit);
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
        cairo_t* cr = cairo_create(s);
        gtk_widget_draw(edit, cr);
        cairo_destroy(cr);
        cairo_surface_flush(s);
        std::string px(reinterpret_cast<char*>(cairo_image_surface_get_data(s)),
                       static_cast<std::size_t>(cairo_image_surface_get_stride(s) * h));
        cairo_surface_destroy(s);
        return px;
    };
    std::string before = render();
    x->key("u", {"Control_L", "Shift_L"});
    x->type_ascii("4e2d");
    spin(100ms);
    EXPECT_EQ(kada::line_edit_text(edit), "abcd") << "the preedit is not text yet";
    EXPECT_NE(render(), before) << "but it is shown";
    x->key("space");
    ASSERT_TRUE(wait_for([&] { return kada::line_edit_text(edit) == "ab中cd"; })) << kada::line_edit_text(edit);
    EXPECT_EQ(kada::line_edit_cursor(edit), 5u);
}

struct Image {
    int w = 0, h = 0;
    std::vector<std::uint32_t> px;
    std::uint32_t at(int x, int y) const { return px[static_cast<std::size_t>(y * w + x)] & 0xFFFFFF; }
    static int r(std::uint32_t p) { return (p >> 16) & 0xFF; }
    static int g(std::uint32_t p) { return (p >> 8) & 0xFF; }
    static int b(std::uint32_t p) { return p & 0xFF; }
};

Image draw_widget(GtkWidget* w) {
    Image img;
    img.w = gtk_widget_get_allocated_width(w);
    img.h = gtk_widget_get_allocated_height(w);
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, img.w, img.h);
    cairo_t* cr = cairo_create(s);
    gtk_widget_draw(w, cr);
    cairo_destroy(cr);
    cairo_surface_flush(s);
    int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < img.h; ++y)
        for (int x = 0; x < img.w; ++x)
            img.px.push_back(reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(s) + y * stride)[x]);
    cairo_surface_destroy(s);
    return img;
}

// Pixels inside the sunken edge, between two columns, that pass f.
int count_if_px(const Image& img, int x0, int x1, const std::function<bool(std::uint32_t)>& f) {
    int n = 0;
    for (int y = 2; y < img.h - 2; ++y)
        for (int x = x0; x < x1; ++x) n += f(img.at(x, y));
    return n;
}

TEST_F(LineEdit, LooksSunkenWhiteWithBlackTextCentredAndItsColoursCanChange) {
    ASSERT_EQ(gtk_widget_get_allocated_width(edit), 438);
    ASSERT_EQ(gtk_widget_get_allocated_height(edit), 25);
    prepare(edit, "", 0, 0);
    gtk_widget_grab_focus(button);
    settle();
    Image empty = draw_widget(edit);
    EXPECT_EQ(empty.at(219, 12), 0xFFFFFFu);
    EXPECT_EQ(count_if_px(empty, 2, 436, [](std::uint32_t p) { return p != 0xFFFFFF; }), 0) << "nothing inside the edge";
    auto grey = [](std::uint32_t p) { return Image::r(p) == Image::g(p) && Image::g(p) == Image::b(p); };
    for (auto [dark, light] : {std::pair{empty.at(100, 0), empty.at(100, 24)}, {empty.at(0, 12), empty.at(437, 12)},
                               {empty.at(100, 1), empty.at(100, 23)}, {empty.at(1, 12), empty.at(436, 12)}}) {
        EXPECT_TRUE(grey(dark) && grey(light));
        EXPECT_LT(Image::r(dark), 200);
        EXPECT_GT(Image::r(light), 210);
    }
    EXPECT_LT(Image::r(empty.at(100, 1)), Image::r(empty.at(100, 0))) << "the inner shadow is the darker";

    kada::line_edit_set_text(edit, "MMMMHHHH");
    Image text = draw_widget(edit);
    int top = text.h, bottom = -1, left = text.w;
    for (int y = 0; y < text.h; ++y)
        for (int x = 2; x < text.w - 2; ++x)
            if (Image::r(text.at(x, y)) < 80) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
                left = std::min(left, x);
            }
    ASSERT_GE(bottom, 0) << "black text";
    EXPECT_GE(left, 3);
    EXPECT_LE(left, 7) << "left-aligned inside a small margin";
    EXPECT_NEAR((top + bottom) / 2.0, 12, 3) << "capitals centred";

    kada::line_edit_set_colours(edit, GdkRGBA{1, 0, 0, 1}, GdkRGBA{1, 1, 0, 1});
    Image coloured = draw_widget(edit);
    EXPECT_EQ(coloured.at(400, 12), 0xFFFF00u);
    EXPECT_GT(count_if_px(coloured, 4, 100, [](std::uint32_t p) { return Image::r(p) > 200 && Image::g(p) < 60; }), 10);
    EXPECT_EQ(count_if_px(coloured, 4, 434, [](std::uint32_t p) { return Image::r(p) < 80; }), 0) << "no black left";

    PangoFontDescription* small_font = pango_font_description_from_string("Sans 5");
    kada::line_edit_set_font(edit, small_font);
    pango_font_description_free(small_font);
    spin(100ms);
    Image small = draw_widget(edit);
    int right_small = 0, right_large = 0;
    for (int y = 0; y < small.h; ++y)
        for (int x = 4; x < 434; ++x) {
            if (Image::g(small.at(x, y)) < 60) right_small = std::max(right_small, x);
            if (Image::g(coloured.at(x, y)) < 60) right_large = std::max(right_large, x);
        }
    EXPECT_LT(right_small, right_large) << "a smaller font draws narrower text";
}

TEST_F(LineEdit, CaretAndSelectionShowOnlyWhileFocused) {
    kada::line_edit_set_selection_colours(edit, GdkRGBA{1, 1, 1, 1}, GdkRGBA{0, 128 / 255.0, 0, 1});
    auto green = [](std::uint32_t p) { return Image::r(p) < 10 && Image::b(p) < 10 && std::abs(Image::g(p) - 128) < 8; };
    auto dark = [](std::uint32_t p) { return Image::r(p) < 80; };
    prepare(edit, "", 0, 0);
    EXPECT_GT(count_if_px(draw_widget(edit), 3, 8, dark), 8) << "a caret at the start";
    gtk_widget_grab_focus(button);
    settle();
    EXPECT_EQ(count_if_px(draw_widget(edit), 3, 8, dark), 0);

    prepare(edit, "selected", 0, 8);
    EXPECT_GT(count_if_px(draw_widget(edit), 4, 100, green), 50);
    gtk_widget_grab_focus(button);
    settle();
    EXPECT_EQ(count_if_px(draw_widget(edit), 4, 100, green), 0);
    EXPECT_EQ(kada::line_edit_selection(edit), (std::pair<std::size_t, std::size_t>{0, 8}));
}

TEST_F(LineEdit, TheContextMenuOffersTheClipboardActions) {
    prepare(edit, "menu text", 0, 4);
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), "clip", -1);
    settle();
    // The menu takes the keyboard: the key's release goes to it.
    ASSERT_TRUE(gtk_test_widget_send_key(edit, GDK_KEY_F10, GDK_SHIFT_MASK));
    GtkWidget* menu = nullptr;
    ASSERT_TRUE(wait_for([&] {
        GList* menus = gtk_menu_get_for_attach_widget(edit);
        menu = menus ? GTK_WIDGET(menus->data) : nullptr;
        return menu && gtk_widget_get_visible(menu);
    }));
    g_autoptr(GList) items = gtk_container_get_children(GTK_CONTAINER(menu));
    std::vector<bool> sensitive;
    GtkWidget* select_all = nullptr;
    for (GList* i = items; i; i = i->next) {
        if (GTK_IS_SEPARATOR_MENU_ITEM(i->data)) continue;
        sensitive.push_back(gtk_widget_get_sensitive(GTK_WIDGET(i->data)));
        select_all = GTK_WIDGET(i->data);
    }
    EXPECT_EQ(sensitive, (std::vector<bool>{true, true, true, true, true}));  // cut copy paste delete, select all
    gtk_menu_shell_activate_item(GTK_MENU_SHELL(menu), select_all, TRUE);
    settle();
    EXPECT_EQ(kada::line_edit_selection(edit), (std::pair<std::size_t, std::size_t>{0, 9}));
    EXPECT_TRUE(wait_for([&] { return gtk_menu_get_for_attach_widget(edit) == nullptr; })) << "closed and gone";
}

}  // namespace
