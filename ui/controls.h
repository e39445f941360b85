// The control kinds the window templates use, each a real GTK widget.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <gtk/gtk.h>

#include "ui/template.h"

namespace kada {

using Handler = std::function<void()>;

class Control {
public:
    explicit Control(ControlTemplate t) : tpl_(std::move(t)) {}
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const ControlTemplate& tpl() const { return tpl_; }
    const std::string& name() const { return tpl_.name; }
    // The widget placed in the window; null for a kind that takes no place.
    GtkWidget* widget() const { return widget_; }

    // Handlers bound to this control's events, by event name.
    void bind(std::string event, Handler h);
    void fire(std::string_view event) const;

protected:
    ControlTemplate tpl_;
    GtkWidget* widget_ = nullptr;
    std::vector<std::pair<std::string, Handler>> handlers_;
};

class EditBox : public Control {
public:
    explicit EditBox(ControlTemplate t);
    // What the box shows right now.
    std::string text() const;
    void set_text(std::string_view text);
};

class HtmlViewer : public Control {
public:
    explicit HtmlViewer(ControlTemplate t);
    // Keeps the address and navigates to it, every time, even when it is
    // the page already shown.
    void set_address(std::string_view address);
    const std::string& address() const { return address_; }
    void set_text_size(int level);  // 0..4, 2 is 100 %
    int text_size() const { return text_size_; }
    void set_offline(bool offline) { offline_ = offline; }
    bool offline() const { return offline_; }
    void set_silent(bool silent) { silent_ = silent; }
    bool silent() const { return silent_; }

private:
    std::string address_;
    int text_size_ = 2;
    bool offline_ = false;
    bool silent_ = false;
};

// Creates the control of the template's kind; null for an unknown kind or
// when the kind's widget cannot be made.
std::unique_ptr<Control> create_control(const ControlTemplate& t);

// The text zoom for a text size level, clamped to 0..4.
double text_zoom_for_level(int level);

}  // namespace kada
