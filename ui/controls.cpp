#include "ui/controls.h"

#include <cmath>

#include <webkit2/webkit2.h>

#include "ui/line_edit.h"

namespace kada {

namespace {

GdkRGBA to_rgba(const Rgb& c) {
    return GdkRGBA{c.r / 255.0, c.g / 255.0, c.b / 255.0, 1.0};
}

// The face colour: whatever the current theme paints window backgrounds
// with, so painted strips match the window around them.
GdkRGBA face_colour(GtkWidget* w) {
    GtkWidget* top = gtk_widget_get_toplevel(w);
    GdkRGBA c{240 / 255.0, 240 / 255.0, 240 / 255.0, 1.0};
    GtkStyleContext* ctx = gtk_widget_get_style_context(top ? top : w);
    gtk_style_context_lookup_color(ctx, "theme_bg_color", &c);
    c.alpha = 1.0;
    return c;
}

PangoFontDescription* font_description(GtkWidget* w, const std::optional<FontSpec>& spec) {
    if (!spec) {
        PangoFontDescription* desc = nullptr;
        gtk_style_context_get(gtk_widget_get_style_context(w), gtk_widget_get_state_flags(w), "font", &desc,
                              nullptr);
        return desc ? desc : pango_font_description_from_string("Sans 9");
    }
    PangoFontDescription* desc = pango_font_description_new();
    pango_font_description_set_family(desc, spec->face.c_str());
    pango_font_description_set_absolute_size(desc, spec->pixel_height * PANGO_SCALE);
    pango_font_description_set_weight(desc, static_cast<PangoWeight>(spec->weight ? spec->weight : 400));
    pango_font_description_set_style(desc, spec->italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
    return desc;
}

std::string css_font(const FontSpec& f) {
    std::string css = "font-family: \"";
    for (char c : f.face) {
        if (c == '"' || c == '\\') css += '\\';
        css += c;
    }
    css += "\"; font-size: " + std::to_string(f.pixel_height) + "px; font-weight: " +
           std::to_string(f.weight ? f.weight : 400) + "; font-style: " + (f.italic ? "italic" : "normal") + ";";
    return css;
}

void apply_css(GtkWidget* w, const std::string& css) {
    GtkCssProvider* provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(w), GTK_STYLE_PROVIDER(provider),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
}

// Labels and links paint themselves into a window of their own, so that
// they really cover whatever lies below them in the stacking order.
class PaintedControl : public Control {
public:
    explicit PaintedControl(ControlTemplate t) : Control(std::move(t)) {
        widget_ = gtk_drawing_area_new();
        g_signal_connect(widget_, "draw", G_CALLBACK(+[](GtkWidget* w, cairo_t* cr, gpointer self) -> gboolean {
                             static_cast<PaintedControl*>(self)->paint(w, cr);
                             return TRUE;
                         }),
                         this);
    }

protected:
    struct Look {
        std::string text;
        Rgb colour;
        bool centred = false;
    };
    virtual Look look() const = 0;

    void paint(GtkWidget* w, cairo_t* cr) {
        GdkRGBA bg = tpl_.colour("background") ? to_rgba(*tpl_.colour("background")) : face_colour(w);
        gdk_cairo_set_source_rgba(cr, &bg);
        cairo_paint(cr);
        Look l = look();
        if (l.text.empty()) return;
        PangoLayout* layout = gtk_widget_create_pango_layout(w, nullptr);
        PangoFontDescription* desc = font_description(w, tpl_.font());
        pango_layout_set_font_description(layout, desc);
        pango_font_description_free(desc);
        pango_layout_set_single_paragraph_mode(layout, TRUE);
        pango_layout_set_text(layout, l.text.c_str(), static_cast<int>(l.text.size()));
        int tw = 0, th = 0;
        pango_layout_get_pixel_size(layout, &tw, &th);
        int w_px = gtk_widget_get_allocated_width(w), h_px = gtk_widget_get_allocated_height(w);
        int x = l.centred ? (w_px - tw) / 2 : 0;
        int y = (h_px - th) / 2;
        GdkRGBA fg = to_rgba(l.colour);
        gdk_cairo_set_source_rgba(cr, &fg);
        cairo_move_to(cr, x, y);
        pango_cairo_show_layout(cr, layout);
        g_object_unref(layout);
    }
};

class Label : public PaintedControl {
public:
    using PaintedControl::PaintedControl;

protected:
    Look look() const override { return {tpl_.text("text"), tpl_.colour("colour").value_or(Rgb{}), false}; }
};

// The footer link as it is drawn: its caption, or its target when it has
// none, centred in its normal colour.
class HyperLinker : public PaintedControl {
public:
    using PaintedControl::PaintedControl;

protected:
    Look look() const override {
        std::string text = tpl_.text("caption");
        if (text.empty()) text = tpl_.text("target");
        return {text, tpl_.colour("normal_colour").value_or(Rgb{0, 0, 255}), true};
    }
};

class Button : public Control {
public:
    explicit Button(ControlTemplate t) : Control(std::move(t)) {
        widget_ = gtk_button_new_with_label(tpl_.text("caption").c_str());
        gtk_widget_set_can_default(widget_, FALSE);
        gtk_widget_set_focus_on_click(widget_, TRUE);
        // A provider reaches only the widget it is added to, so the caption's
        // font goes on the caption itself.
        if (GtkWidget* label = gtk_bin_get_child(GTK_BIN(widget_)); GTK_IS_LABEL(label)) {
            gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
            gtk_label_set_line_wrap(GTK_LABEL(label), tpl_.flag("multiline", false));
            if (auto f = tpl_.font()) apply_css(label, "label { " + css_font(*f) + " }");
        }
        apply_css(widget_, "button { min-height: 0; min-width: 0; padding: 0 4px; }");
        g_signal_connect(widget_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                             static_cast<Button*>(self)->fire("被单击");
                         }),
                         this);
    }
};

// The balloon tip box takes no place in the layout: it only shows balloons.
class BalloonTipBox : public Control {
public:
    using Control::Control;
};

WebKitWebContext* shared_context() {
    static WebKitWebContext* ctx = [] {
        WebKitWebContext* c = webkit_web_context_get_default();
        // One page at a time: the smallest caches serve it best.
        webkit_web_context_set_cache_model(c, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
        return c;
    }();
    return ctx;
}

bool is_network_uri(const char* uri) {
    if (!uri) return false;
    g_autofree char* scheme = g_uri_parse_scheme(uri);
    if (!scheme) return false;
    return g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0 ||
           g_ascii_strcasecmp(scheme, "ftp") == 0;
}

}  // namespace

void Control::bind(std::string event, Handler h) { handlers_.emplace_back(std::move(event), std::move(h)); }

void Control::fire(std::string_view event) const {
    for (const auto& [name, h] : handlers_)
        if (name == event && h) h();
}

EditBox::EditBox(ControlTemplate t) : Control(std::move(t)) {
    widget_ = line_edit_new();
    line_edit_set_colours(widget_, to_rgba(tpl_.colour("colour").value_or(Rgb{0, 0, 0})),
                          to_rgba(tpl_.colour("background").value_or(Rgb{255, 255, 255})));
    if (tpl_.font()) {
        PangoFontDescription* desc = font_description(widget_, tpl_.font());
        line_edit_set_font(widget_, desc);
        pango_font_description_free(desc);
    }
    line_edit_set_text(widget_, tpl_.text("text"));
}

std::string EditBox::text() const { return line_edit_text(widget_); }

void EditBox::set_text(std::string_view text) { line_edit_set_text(widget_, text); }

double text_zoom_for_level(int level) {
    static constexpr double kZoom[] = {0.7, 0.85, 1.0, 1.15, 1.3};
    if (level < 0) level = 0;
    if (level > 4) level = 4;
    return kZoom[level];
}

HtmlViewer::HtmlViewer(ControlTemplate t) : Control(std::move(t)) {
    // Play pages start their video by themselves, sound included, as the
    // user asked for it with the click.
    WebKitWebsitePolicies* policies = webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_ALLOW, nullptr);
    GtkWidget* view = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", shared_context(), "website-policies",
                                              policies, nullptr));
    g_object_unref(policies);
    if (!view) return;
    widget_ = view;
    WebKitWebView* wv = WEBKIT_WEB_VIEW(view);
    if (auto bg = tpl_.colour("background")) {
        GdkRGBA c = to_rgba(*bg);
        webkit_web_view_set_background_color(wv, &c);
    }
    WebKitSettings* settings = webkit_web_view_get_settings(wv);
    webkit_settings_set_zoom_text_only(settings, TRUE);

    // Dialogs of the engine are suppressed only in silent mode.
    g_signal_connect(view, "script-dialog", G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog*, gpointer self) -> gboolean {
                         return static_cast<HtmlViewer*>(self)->silent_ ? TRUE : FALSE;
                     }),
                     this);
    // Offline: nothing is fetched from the network.
    g_signal_connect(view, "decide-policy", G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* d, WebKitPolicyDecisionType type, gpointer self) -> gboolean {
                         if (!static_cast<HtmlViewer*>(self)->offline_) return FALSE;
                         if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
                         auto* nav = WEBKIT_NAVIGATION_POLICY_DECISION(d);
                         WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(nav);
                         WebKitURIRequest* req = webkit_navigation_action_get_request(action);
                         if (!is_network_uri(webkit_uri_request_get_uri(req))) return FALSE;
                         webkit_policy_decision_ignore(d);
                         return TRUE;
                     }),
                     this);
    // A page that asks for a new window gets one: the user's own browser,
    // outside the main window.
    g_signal_connect(view, "create", G_CALLBACK(+[](WebKitWebView*, WebKitNavigationAction* action, gpointer) -> GtkWidget* {
                         WebKitURIRequest* req = webkit_navigation_action_get_request(action);
                         const char* uri = req ? webkit_uri_request_get_uri(req) : nullptr;
                         if (uri && *uri) g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
                         return nullptr;
                     }),
                     nullptr);

    set_offline(tpl_.flag("offline", false));
    set_silent(tpl_.flag("silent", false));
    set_text_size(tpl_.integer("text_size", 2));
    std::string start = tpl_.text("address");
    if (!start.empty()) set_address(start);
}

void HtmlViewer::set_text_size(int level) {
    text_size_ = level < 0 ? 0 : level > 4 ? 4 : level;
    webkit_web_view_set_zoom_level(WEBKIT_WEB_VIEW(widget_), text_zoom_for_level(text_size_));
}

void HtmlViewer::set_address(std::string_view address) {
    address_.assign(address.data(), address.size());
    // GTK hands out UTF-8 only; anything else is made valid rather than
    // refused, so the engine always gets a navigation.
    if (g_utf8_validate(address_.data(), static_cast<gssize>(address_.size()), nullptr) &&
        address_.find('\0') == std::string::npos) {
        webkit_web_view_load_uri(WEBKIT_WEB_VIEW(widget_), address_.c_str());
    } else {
        g_autofree char* valid = g_utf8_make_valid(address_.data(), static_cast<gssize>(address_.size()));
        webkit_web_view_load_uri(WEBKIT_WEB_VIEW(widget_), valid);
    }
}

std::unique_ptr<Control> create_control(const ControlTemplate& t) {
    std::unique_ptr<Control> c;
    if (t.kind == "EditBox") c = std::make_unique<EditBox>(t);
    else if (t.kind == "Button") c = std::make_unique<Button>(t);
    else if (t.kind == "Label") c = std::make_unique<Label>(t);
    else if (t.kind == "HyperLinker") c = std::make_unique<HyperLinker>(t);
    else if (t.kind == "HtmlViewer") c = std::make_unique<HtmlViewer>(t);
    else if (t.kind == "Q_tip") c = std::make_unique<BalloonTipBox>(t);
    else return nullptr;
    if (!c->widget() && t.kind != "Q_tip") return nullptr;
    return c;
}

}  // namespace kada
