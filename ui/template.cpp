#include "ui/template.h"

#include <charconv>
#include <set>

namespace kada {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct Token {
    std::string key;
    std::string value;
    bool has_value = false;
};

// Splits a record into words and key=value pairs; a quoted value may hold
// spaces and escapes.
bool tokenize(std::string_view line, std::vector<Token>& out, std::string& why) {
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) return true;
        Token t;
        while (i < line.size() && line[i] != '=' && line[i] != ' ' && line[i] != '\t') {
            if (line[i] == '"') {
                why = "quote inside a key";
                return false;
            }
            t.key += line[i++];
        }
        if (i < line.size() && line[i] == '=') {
            ++i;
            t.has_value = true;
            if (i < line.size() && line[i] == '"') {
                ++i;
                bool closed = false;
                while (i < line.size()) {
                    char c = line[i++];
                    if (c == '"') {
                        closed = true;
                        break;
                    }
                    if (c != '\\') {
                        t.value += c;
                        continue;
                    }
                    if (i >= line.size()) break;
                    char e = line[i++];
                    switch (e) {
                    case '"': t.value += '"'; break;
                    case '\\': t.value += '\\'; break;
                    case 'r': t.value += '\r'; break;
                    case 'n': t.value += '\n'; break;
                    case 't': t.value += '\t'; break;
                    case 'x': {
                        int hi = i < line.size() ? hex_digit(line[i]) : -1;
                        int lo = i + 1 < line.size() ? hex_digit(line[i + 1]) : -1;
                        if (hi < 0 || lo < 0) {
                            why = "bad \\x escape";
                            return false;
                        }
                        t.value += static_cast<char>(hi * 16 + lo);
                        i += 2;
                        break;
                    }
                    default:
                        why = std::string("unknown escape \\") + e;
                        return false;
                    }
                }
                if (!closed) {
                    why = "unterminated quote";
                    return false;
                }
                if (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                    why = "text after a closing quote";
                    return false;
                }
            } else {
                while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                    if (line[i] == '"') {
                        why = "quote inside a bare value";
                        return false;
                    }
                    t.value += line[i++];
                }
            }
        }
        if (t.key.empty()) {
            why = "empty key";
            return false;
        }
        out.push_back(std::move(t));
    }
}

bool split_pair(std::string_view s, char sep, std::string_view& a, std::string_view& b) {
    auto p = s.find(sep);
    if (p == std::string_view::npos) return false;
    a = s.substr(0, p);
    b = s.substr(p + 1);
    return true;
}

const std::string* find_prop(const Properties& props, std::string_view key) {
    auto it = props.find(key);
    return it == props.end() ? nullptr : &it->second;
}

bool read_int(const Properties& p, std::string_view key, int& out, std::string& why) {
    const std::string* v = find_prop(p, key);
    if (!v) {
        why = std::string("missing ") + std::string(key);
        return false;
    }
    auto n = parse_integer(*v);
    if (!n || *n < -1000000 || *n > 1000000) {
        why = std::string("bad number for ") + std::string(key);
        return false;
    }
    out = static_cast<int>(*n);
    return true;
}

bool read_flag(const Properties& p, std::string_view key, bool fallback, bool& out, std::string& why) {
    const std::string* v = find_prop(p, key);
    if (!v) {
        out = fallback;
        return true;
    }
    if (*v == "1") out = true;
    else if (*v == "0") out = false;
    else {
        why = std::string("bad flag for ") + std::string(key);
        return false;
    }
    return true;
}

// Every colour and font property must parse, so that a broken template is
// refused at start-up instead of drawing wrongly later.
bool check_values(const Properties& props, std::string& why) {
    for (const auto& [key, value] : props) {
        bool is_colour = key == "colour" || key == "background" || key.ends_with("_colour");
        bool is_font = key == "font";
        if (is_colour && !parse_rgb(value)) {
            why = "bad colour for " + key;
            return false;
        }
        if (is_font && !parse_font(value)) {
            why = "bad font for " + key;
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<long long> parse_integer(std::string_view s) {
    bool neg = false;
    if (!s.empty() && s.front() == '-') {
        neg = true;
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return std::nullopt;
    long long v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
    return neg ? -v : v;
}

std::optional<Rgb> parse_rgb(std::string_view s) {
    std::string_view r, rest, g, b;
    if (!split_pair(s, ',', r, rest) || !split_pair(rest, ',', g, b)) return std::nullopt;
    auto pr = parse_integer(r), pg = parse_integer(g), pb = parse_integer(b);
    for (auto* p : {&pr, &pg, &pb})
        if (!*p || **p < 0 || **p > 255) return std::nullopt;
    return Rgb{static_cast<int>(*pr), static_cast<int>(*pg), static_cast<int>(*pb)};
}

// face|pixel height|weight[|italic|underline]
std::optional<FontSpec> parse_font(std::string_view s) {
    std::vector<std::string_view> parts;
    while (true) {
        auto p = s.find('|');
        parts.push_back(s.substr(0, p));
        if (p == std::string_view::npos) break;
        s.remove_prefix(p + 1);
    }
    if (parts.size() != 3 && parts.size() != 5) return std::nullopt;
    FontSpec f;
    f.face = std::string(parts[0]);
    auto h = parse_integer(parts[1]), w = parse_integer(parts[2]);
    if (f.face.empty() || !h || *h <= 0 || *h > 1000 || !w || *w < 0 || *w > 1000) return std::nullopt;
    f.pixel_height = static_cast<int>(*h);
    f.weight = static_cast<int>(*w);
    if (parts.size() == 5) {
        if ((parts[3] != "0" && parts[3] != "1") || (parts[4] != "0" && parts[4] != "1")) return std::nullopt;
        f.italic = parts[3] == "1";
        f.underline = parts[4] == "1";
    }
    return f;
}

static std::string prop_text(const Properties& props, std::string_view key, std::string_view fallback) {
    const std::string* v = find_prop(props, key);
    return v ? *v : std::string(fallback);
}

static bool prop_flag(const Properties& props, std::string_view key, bool fallback) {
    const std::string* v = find_prop(props, key);
    return v ? *v == "1" : fallback;
}

std::string ControlTemplate::text(std::string_view key, std::string_view fallback) const {
    return prop_text(props, key, fallback);
}

int ControlTemplate::integer(std::string_view key, int fallback) const {
    const std::string* v = find_prop(props, key);
    if (!v) return fallback;
    auto n = parse_integer(*v);
    return n ? static_cast<int>(*n) : fallback;
}

bool ControlTemplate::flag(std::string_view key, bool fallback) const { return prop_flag(props, key, fallback); }

std::optional<Rgb> ControlTemplate::colour(std::string_view key) const {
    const std::string* v = find_prop(props, key);
    return v ? parse_rgb(*v) : std::nullopt;
}

std::optional<FontSpec> ControlTemplate::font(std::string_view key) const {
    const std::string* v = find_prop(props, key);
    return v ? parse_font(*v) : std::nullopt;
}

std::string WindowTemplate::text(std::string_view key, std::string_view fallback) const {
    return prop_text(props, key, fallback);
}

bool WindowTemplate::flag(std::string_view key, bool fallback) const { return prop_flag(props, key, fallback); }

const ControlTemplate* WindowTemplate::control(std::string_view wanted) const {
    for (const auto& c : controls)
        if (c.name == wanted) return &c;
    return nullptr;
}

const WindowTemplate* TemplateSet::find(std::uint32_t number) const {
    for (const auto& w : windows)
        if (w.number == number) return &w;
    return nullptr;
}

std::optional<TemplateSet> parse_templates(std::string_view data, TemplateError* error) {
    TemplateSet set;
    int line_no = 0;
    std::string why;
    auto fail = [&](std::string what) -> std::optional<TemplateSet> {
        if (error) *error = TemplateError{line_no, std::move(what)};
        return std::nullopt;
    };
    if (data.find('\0') != std::string_view::npos) return fail("NUL byte in template data");

    std::set<std::string, std::less<>> names;
    while (!data.empty()) {
        ++line_no;
        auto nl = data.find('\n');
        std::string_view line = trim(data.substr(0, nl));
        data = nl == std::string_view::npos ? std::string_view{} : data.substr(nl + 1);
        if (line.empty() || line.front() == '#') continue;

        std::vector<Token> tokens;
        if (!tokenize(line, tokens, why)) return fail(why);
        const std::string& head = tokens.front().key;
        if (tokens.front().has_value) return fail("record kind with a value");

        Properties props, events;
        std::size_t first_prop = head == "window" ? 2 : 1;
        if (head == "window") {
            if (tokens.size() < 2 || tokens[1].has_value) return fail("window without a number");
        }
        for (std::size_t i = first_prop; i < tokens.size(); ++i) {
            Token& t = tokens[i];
            if (!t.has_value) return fail("word without a value: " + t.key);
            Properties& into = t.key.starts_with("on:") ? events : props;
            std::string key = t.key.starts_with("on:") ? t.key.substr(3) : t.key;
            if (key.empty() || (&into == &events && t.value.empty())) return fail("empty event binding");
            if (!into.emplace(std::move(key), std::move(t.value)).second) return fail("repeated key " + t.key);
        }
        if (!check_values(props, why)) return fail(why);

        if (head == "window") {
            WindowTemplate w;
            auto n = parse_integer(tokens[1].key);
            if (!n || *n <= 0 || *n > 0xFFFFFFFFLL) return fail("bad window number");
            w.number = static_cast<std::uint32_t>(*n);
            if (set.find(w.number)) return fail("repeated window number");
            if (!read_int(props, "width", w.width, why) || !read_int(props, "height", w.height, why) ||
                !read_flag(props, "visible", true, w.visible, why))
                return fail(why);
            if (w.width <= 0 || w.height <= 0) return fail("window without a size");
            w.name = props.count("name") ? props.find("name")->second : std::string();
            w.props = std::move(props);
            w.events = std::move(events);
            set.windows.push_back(std::move(w));
            names.clear();
        } else if (head == "control") {
            if (set.windows.empty()) return fail("control before any window");
            ControlTemplate c;
            auto name = props.find("name");
            auto kind = props.find("kind");
            if (name == props.end() || name->second.empty()) return fail("control without a name");
            if (kind == props.end() || kind->second.empty()) return fail("control without a kind");
            c.name = name->second;
            c.kind = kind->second;
            if (!names.insert(c.name).second) return fail("repeated control name " + c.name);
            int number = 0;
            if (!read_int(props, "left", c.rect.left, why) || !read_int(props, "top", c.rect.top, why) ||
                !read_int(props, "width", c.rect.width, why) || !read_int(props, "height", c.rect.height, why) ||
                !read_flag(props, "visible", true, c.visible, why) ||
                !read_flag(props, "tabstop", false, c.tab_stop, why))
                return fail(why);
            if (c.rect.width < 0 || c.rect.height < 0) return fail("negative control size");
            if (auto it = props.find("number"); it != props.end()) {
                auto n = parse_integer(it->second);
                if (!n || *n < 0 || *n > 0xFFFFFFFFLL) return fail("bad control number");
                number = static_cast<int>(static_cast<std::uint32_t>(*n));
            }
            c.number = static_cast<std::uint32_t>(number);
            if (props.count("taborder") && !read_int(props, "taborder", c.tab_order, why)) return fail(why);
            c.props = std::move(props);
            c.events = std::move(events);
            set.windows.back().controls.push_back(std::move(c));
        } else {
            return fail("unknown record " + head);
        }
    }
    if (set.windows.empty()) return fail("no window");
    return set;
}

}  // namespace kada
