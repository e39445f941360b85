// Writes DEFAULT_ICON as a PNG for the desktop entry, from the same pixels
// the program draws its window icon with.
#include <cstdio>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "ui/icon.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    GdkPixbuf* icon = kada::default_icon();
    GError* error = nullptr;
    if (!icon || !gdk_pixbuf_save(icon, argv[1], "png", &error, nullptr)) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[1], error ? error->message : "no icon");
        return 1;
    }
    g_object_unref(icon);
    return 0;
}
