// The link input box: a single-line text edit whose every keystroke and
// redraw costs the same whether it holds ten characters or ten megabytes.
//
// GtkEntry shapes its whole text on each change and redraw, which turns a
// pasted 10 MB link into half a minute of CPU. This widget lays out only a
// few thousand characters around what is on screen and keeps character
// offsets cheap with a sparse index, while behaving like a GtkEntry for the
// user: input methods, the usual editing keys, both clipboards, mouse
// selection, select-all when tabbed into, a context menu.
//
// It implements GtkEditable, so gtk_editable_* calls (positions in
// characters) and the "changed", "insert-text" and "delete-text" signals
// work as on a GtkEntry. The functions below work in bytes of UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include <gtk/gtk.h>

namespace kada {

GType line_edit_get_type();

GtkWidget* line_edit_new();
bool is_line_edit(GtkWidget* w);

// The whole text, as UTF-8.
std::string line_edit_text(GtkWidget* w);
std::size_t line_edit_text_size(GtkWidget* w);
// Replaces the whole text; invalid UTF-8 (NUL bytes included) comes out as
// U+FFFD. The caret goes to the start, as with gtk_entry_set_text, and
// nothing is emitted when the text is the same.
void line_edit_set_text(GtkWidget* w, std::string_view text);

// Caret and selection in bytes. The selection runs from the anchor to the
// caret; it is empty when they are equal.
std::size_t line_edit_cursor(GtkWidget* w);
std::pair<std::size_t, std::size_t> line_edit_selection(GtkWidget* w);  // ordered
void line_edit_select(GtkWidget* w, std::size_t anchor, std::size_t cursor);

// The first byte of text at the left edge of the text area.
std::size_t line_edit_scroll_offset(GtkWidget* w);

// Text, field and selection colours. The selection colours default to the
// theme's.
void line_edit_set_colours(GtkWidget* w, const GdkRGBA& text, const GdkRGBA& background);
void line_edit_set_selection_colours(GtkWidget* w, const GdkRGBA& text, const GdkRGBA& background);
// Null goes back to the widget's style font.
void line_edit_set_font(GtkWidget* w, const PangoFontDescription* font);

// Insert key: typed text replaces the characters after the caret.
bool line_edit_overwrite(GtkWidget* w);

}  // namespace kada
