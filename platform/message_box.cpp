#include "platform/message_box.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtk/gtk.h>

namespace kada::platform {

namespace {
bool g_display = false;
}

void set_display_available(bool available) { g_display = available; }
bool display_available() { return g_display; }

void write_stderr(std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(STDERR_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void show_error_box(std::string_view title, std::string_view text) {
    write_stderr(text);
    if (text.empty() || text.back() != '\n') write_stderr("\n");
    if (!g_display) return;
    std::string body(text);
    std::string caption(title);
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
                                               "%s", body.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
    // GTK 3 no longer draws the message type's icon by itself.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkWidget* icon = gtk_image_new_from_icon_name("dialog-error", GTK_ICON_SIZE_DIALOG);
    gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(dialog), icon);
    gtk_widget_show(icon);
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(dialog), FALSE);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

[[noreturn]] void exit_process(int code) { _exit(code); }

}  // namespace kada::platform
