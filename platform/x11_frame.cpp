#include "platform/x11_frame.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <glib.h>

namespace kada::platform {

namespace {

bool manager_supports(Display* dpy, Atom wanted) {
    Atom supported = XInternAtom(dpy, "_NET_SUPPORTED", False);
    Atom type;
    int format;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), supported, 0, 4096, False, XA_ATOM, &type, &format, &count,
                           &after, &data) != Success || !data)
        return false;
    bool found = false;
    if (format == 32) {
        auto* atoms = reinterpret_cast<Atom*>(data);
        for (unsigned long i = 0; i < count && !found; ++i) found = atoms[i] == wanted;
    }
    XFree(data);
    return found;
}

}  // namespace

std::optional<FrameExtents> frame_extents(GdkWindow* window) {
    if (!window || !GDK_IS_X11_WINDOW(window)) return std::nullopt;
    Display* dpy = GDK_WINDOW_XDISPLAY(window);
    Atom prop = XInternAtom(dpy, "_NET_FRAME_EXTENTS", False);
    Atom type;
    int format;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    gdk_x11_display_error_trap_push(gdk_window_get_display(window));
    int rc = XGetWindowProperty(dpy, GDK_WINDOW_XID(window), prop, 0, 4, False, XA_CARDINAL, &type, &format, &count,
                                &after, &data);
    gdk_x11_display_error_trap_pop_ignored(gdk_window_get_display(window));
    if (rc != Success || !data) return std::nullopt;
    std::optional<FrameExtents> out;
    if (format == 32 && count == 4) {
        auto* v = reinterpret_cast<long*>(data);
        out = FrameExtents{static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
                           static_cast<int>(v[3])};
    }
    XFree(data);
    return out;
}

std::optional<FrameExtents> request_frame_extents(GdkWindow* window, int timeout_ms) {
    if (!window || !GDK_IS_X11_WINDOW(window)) return std::nullopt;
    Display* dpy = GDK_WINDOW_XDISPLAY(window);
    Atom request = XInternAtom(dpy, "_NET_REQUEST_FRAME_EXTENTS", False);
    if (!manager_supports(dpy, request)) return std::nullopt;

    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = GDK_WINDOW_XID(window);
    ev.xclient.message_type = request;
    ev.xclient.format = 32;
    XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XFlush(dpy);

    // The manager answers by setting the property; poll it rather than take
    // events out from under GDK's own queue.
    gint64 deadline = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
    while (true) {
        XSync(dpy, False);
        if (auto ext = frame_extents(window)) return ext;
        if (g_get_monotonic_time() >= deadline) return std::nullopt;
        g_usleep(500);
    }
}

std::optional<Point> outer_origin(GdkWindow* window) {
    if (!window) return std::nullopt;
    GdkRectangle r;
    gdk_window_get_frame_extents(window, &r);
    return Point{r.x, r.y};
}

}  // namespace kada::platform
