#include <gdk-pixbuf/gdk-pixbuf.h>

#include "ui/icon.h"

namespace kada {

GdkPixbuf* default_icon() {
    static const IconPixels pixels = default_icon_pixels();
    // The pixel data outlives every pixbuf, so nothing needs freeing.
    return gdk_pixbuf_new_from_data(pixels.data(), GDK_COLORSPACE_RGB, FALSE, 8, kIconSize, kIconSize, kIconSize * 3,
                                    nullptr, nullptr);
}

}  // namespace kada
