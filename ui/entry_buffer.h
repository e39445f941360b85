// A GtkEntryBuffer without GTK's own 64 KiB ceiling: the input box takes a
// link of any length, as pasted.
#pragma once

#include <gtk/gtk.h>

namespace kada {

GtkEntryBuffer* unlimited_entry_buffer_new();

}  // namespace kada
