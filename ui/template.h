// Window templates: the description of a window and its controls, stored in
// the program as text and parsed at start-up. Independent of any toolkit.
//
// Format: one record a line. `window NUMBER key=value ...` opens a window;
// `control key=value ...` adds a control to the last window, in stacking
// order from top to bottom. Values are bare words or "quoted" with C-style
// escapes (\" \\ \r \n \t \xHH). A key `on:EVENT=HANDLER` binds an event to a
// handler by name. Blank lines and lines starting with # are skipped.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kada {

struct Rgb {
    int r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

struct FontSpec {
    std::string face;
    int pixel_height = 0;  // character height, without internal leading
    int weight = 400;
    bool italic = false;
    bool underline = false;
    bool operator==(const FontSpec&) const = default;
};

struct Rect {
    int left = 0, top = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

using Properties = std::map<std::string, std::string, std::less<>>;

struct ControlTemplate {
    std::string name;
    std::string kind;
    std::uint32_t number = 0;
    Rect rect;
    bool visible = true;
    bool tab_stop = false;
    int tab_order = 0;
    Properties props;
    Properties events;  // event name -> handler name

    std::string text(std::string_view key, std::string_view fallback = {}) const;
    int integer(std::string_view key, int fallback) const;
    bool flag(std::string_view key, bool fallback) const;
    // nullopt when the property is absent: the window's face colour then.
    std::optional<Rgb> colour(std::string_view key) const;
    std::optional<FontSpec> font(std::string_view key = "font") const;
};

struct WindowTemplate {
    std::uint32_t number = 0;
    std::string name;
    int width = 0, height = 0;
    bool visible = true;
    Properties props;
    Properties events;
    std::vector<ControlTemplate> controls;  // stacking order, top first

    std::string text(std::string_view key, std::string_view fallback = {}) const;
    bool flag(std::string_view key, bool fallback) const;
    const ControlTemplate* control(std::string_view name) const;
};

struct TemplateSet {
    std::vector<WindowTemplate> windows;
    const WindowTemplate* find(std::uint32_t number) const;
};

struct TemplateError {
    int line = 0;
    std::string what;
};

// Parses the whole data; on any fault gives nullopt and says where.
std::optional<TemplateSet> parse_templates(std::string_view data, TemplateError* error = nullptr);

// Value parsers shared with the parser's validation, exposed for tests.
std::optional<Rgb> parse_rgb(std::string_view s);
std::optional<FontSpec> parse_font(std::string_view s);
std::optional<long long> parse_integer(std::string_view s);

}  // namespace kada
