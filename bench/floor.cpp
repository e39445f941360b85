// The least a GTK 3 + WebKitGTK program can be and still show the welcome
// page: a window and a web view with every default left alone. Its one
// addition, a button with the play button's size and place, loads the play
// address, so that a click travels the same path through GTK as in the
// program and the difference is what the program itself adds.
//
//   kada-bench-floor WELCOME_URL PLAY_URL
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        g_printerr("usage: %s WELCOME_URL PLAY_URL\n", argv[0]);
        return 2;
    }
    gtk_init(&argc, &argv);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "kada-bench-floor");
    gtk_window_set_default_size(GTK_WINDOW(window), 896, 568);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

    GtkWidget* fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window), fixed);

    GtkWidget* view = webkit_web_view_new();
    gtk_widget_set_size_request(view, 873, 520);
    gtk_fixed_put(GTK_FIXED(fixed), view, 18, 40);

    GtkWidget* button = gtk_button_new_with_label("play");
    gtk_widget_set_size_request(button, 152, 32);
    gtk_fixed_put(GTK_FIXED(fixed), button, 654, 3);
    g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer v) {
                         webkit_web_view_load_uri(WEBKIT_WEB_VIEW(v),
                                                  static_cast<const char*>(g_object_get_data(G_OBJECT(v), "play")));
                     }),
                     view);
    g_object_set_data(G_OBJECT(view), "play", argv[2]);

    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
