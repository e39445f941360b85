#include "ui/line_edit.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include <gdk/gdkkeysyms.h>

namespace kada {

namespace {

constexpr std::size_t npos = std::string::npos;

// ---------------------------------------------------------------------------
// The text

bool continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t count_chars(const char* p, std::size_t n) {
    std::size_t c = 0;
    for (std::size_t i = 0; i < n; ++i) c += !continuation(p[i]);
    return c;
}

// UTF-8 with a sparse index: for every kBlock bytes, how many characters
// start before that byte. An edit drops only the entries after it, and they
// are counted again when asked for, so offsets around the place being
// edited stay cheap however long the text is.
class Utf8Text {
public:
    static constexpr std::size_t kBlock = 4096;

    const std::string& str() const { return s_; }
    const char* data() const { return s_.data(); }
    std::size_t size() const { return s_.size(); }
    std::size_t chars() const { return chars_; }

    void insert(std::size_t at, std::string_view t) {
        s_.insert(at, t.data(), t.size());
        chars_ += count_chars(t.data(), t.size());
        forget_after(at);
    }
    void erase(std::size_t from, std::size_t to) {
        chars_ -= count_chars(s_.data() + from, to - from);
        s_.erase(from, to - from);
        forget_after(from);
    }

    // Character offset of a byte offset on a character boundary.
    std::size_t char_of(std::size_t byte) {
        if (byte >= s_.size()) return chars_;
        std::size_t k = byte / kBlock;
        std::size_t known = (index_.size() - 1) * kBlock;
        if (k >= index_.size() && s_.size() - byte < byte - known)
            return chars_ - count_chars(s_.data() + byte, s_.size() - byte);
        extend_to(k);
        return index_[k] + count_chars(s_.data() + k * kBlock, byte - k * kBlock);
    }

    // Byte offset of a character offset; the end for anything past it.
    std::size_t byte_of(std::size_t ch) {
        if (ch >= chars_) return s_.size();
        std::size_t known = index_.back();
        if (ch > known && chars_ - ch < ch - known) {
            std::size_t b = s_.size(), c = chars_;
            while (c > ch)
                if (!continuation(s_[--b])) --c;
            return b;
        }
        while (index_.back() <= ch && index_.size() * kBlock <= s_.size()) extend_to(index_.size());
        std::size_t k = static_cast<std::size_t>(std::upper_bound(index_.begin(), index_.end(), ch) - index_.begin()) - 1;
        std::size_t c = index_[k];
        for (std::size_t b = k * kBlock; b < s_.size(); ++b) {
            if (continuation(s_[b])) continue;
            if (c == ch) return b;
            ++c;
        }
        return s_.size();
    }

    std::size_t next(std::size_t b) const {
        if (b >= s_.size()) return s_.size();
        ++b;
        while (b < s_.size() && continuation(s_[b])) ++b;
        return b;
    }
    std::size_t prev(std::size_t b) const {
        if (b == 0) return 0;
        --b;
        while (b > 0 && continuation(s_[b])) --b;
        return b;
    }
    // The character boundary at or before b.
    std::size_t floor(std::size_t b) const {
        if (b >= s_.size()) return s_.size();
        while (b > 0 && continuation(s_[b])) --b;
        return b;
    }
    // Steps n characters back or forward, stopping at the ends.
    std::size_t back(std::size_t b, std::size_t n) const {
        while (n-- && b > 0) b = prev(b);
        return b;
    }
    std::size_t forward(std::size_t b, std::size_t n) const {
        while (n-- && b < s_.size()) b = next(b);
        return b;
    }
    gunichar at(std::size_t b) const { return g_utf8_get_char(s_.data() + b); }

private:
    void forget_after(std::size_t at) {
        std::size_t keep = at / kBlock + 1;
        if (index_.size() > keep) index_.resize(keep);
    }
    void extend_to(std::size_t k) {
        while (index_.size() <= k) {
            std::size_t j = index_.size() - 1;
            index_.push_back(index_[j] + count_chars(s_.data() + j * kBlock, kBlock));
        }
    }

    std::string s_;
    std::size_t chars_ = 0;
    std::vector<std::size_t> index_{0};
};

// ---------------------------------------------------------------------------
// Words, the way Pango marks word starts and ends for GtkEntry: runs of
// letters, numbers and marks, with extra ends where Japanese scripts change.
// Worked out here from the nearest point where no word is open, so that a
// word movement reads the text around the caret instead of the whole text.

enum class CharClass { Mark, Letter, Number, Other };

CharClass classify(gunichar c) {
    switch (g_unichar_type(c)) {
    case G_UNICODE_SPACING_MARK:
    case G_UNICODE_ENCLOSING_MARK:
    case G_UNICODE_NON_SPACING_MARK:
    case G_UNICODE_FORMAT:
        return CharClass::Mark;
    case G_UNICODE_LOWERCASE_LETTER:
    case G_UNICODE_MODIFIER_LETTER:
    case G_UNICODE_OTHER_LETTER:
    case G_UNICODE_TITLECASE_LETTER:
    case G_UNICODE_UPPERCASE_LETTER:
        return CharClass::Letter;
    case G_UNICODE_DECIMAL_NUMBER:
    case G_UNICODE_LETTER_NUMBER:
    case G_UNICODE_OTHER_NUMBER:
        return CharClass::Number;
    default:
        return CharClass::Other;
    }
}

bool japanese(gunichar c) { return c >= 0x2F00 && c <= 0x30FF; }
bool kangxi(gunichar c) { return c >= 0x2F00 && c <= 0x2FDF; }
bool hiragana(gunichar c) { return c >= 0x3040 && c <= 0x309F; }
bool katakana(gunichar c) { return c >= 0x30A0 && c <= 0x30FF; }

bool japanese_word_break(gunichar last, gunichar c) {
    if (!japanese(last) && !japanese(c)) return false;
    return (hiragana(last) && !hiragana(c)) || (katakana(last) && !(katakana(c) || hiragana(c))) ||
           (kangxi(last) && !(hiragana(c) || kangxi(c))) || japanese(last) != japanese(c);
}

bool ascii_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

struct WordMarks {
    bool start = false, end = false;
};

class WordScanner {
public:
    explicit WordScanner(const Utf8Text& t) : t_(t) {}

    // The nearest point at or before b at which no word is open: the start
    // of the text or just after a character that is no part of a word.
    std::size_t open_point(std::size_t b) const {
        const std::string& s = t_.str();
        while (b > 0) {
            if (ascii_alnum(s[b - 1])) {
                --b;
                continue;
            }
            std::size_t q = t_.prev(b);
            if (classify(t_.at(q)) == CharClass::Other) return b;
            b = q;
        }
        return 0;
    }

    // Walks from an open point to `to` (the end counts as a position) and
    // hands each position that has a mark to f; stops where f says so and
    // gives that position, else npos.
    template <class F>
    std::size_t walk(std::size_t from, std::size_t to, F&& f) const {
        const std::string& s = t_.str();
        enum { None, Letters, Numbers } kind = None;
        gunichar last = 0;
        std::size_t p = from;
        while (true) {
            // Inside a word, ASCII letters and digits mark nothing unless
            // a Japanese letter came just before.
            if (kind != None && !japanese(last)) {
                std::size_t q = p;
                while (q < to && ascii_alnum(s[q])) ++q;
                if (q > p) {
                    last = static_cast<unsigned char>(s[q - 1]);
                    p = q;
                }
            }
            bool at_end = p >= s.size();
            gunichar c = at_end ? 0 : t_.at(p);
            CharClass cls = at_end ? CharClass::Other : classify(c);
            WordMarks m;
            if (kind != None) {
                switch (cls) {
                case CharClass::Mark:
                    break;
                case CharClass::Letter:
                    if (kind == Letters && japanese_word_break(last, c)) m.end = true;
                    last = c;
                    break;
                case CharClass::Number:
                    last = c;
                    break;
                case CharClass::Other:
                    m.end = true;
                    kind = None;
                    break;
                }
            } else if (cls == CharClass::Letter || cls == CharClass::Number) {
                kind = cls == CharClass::Letter ? Letters : Numbers;
                last = c;
                m.start = true;
            }
            if ((m.start || m.end) && f(p, m)) return p;
            if (at_end || p >= to) return npos;
            p = t_.next(p);
        }
    }

    // GtkEntry's backward word: the nearest word start before b (or word
    // end too, with whitespace allowed), else the text's start.
    std::size_t backward(std::size_t b, bool allow_whitespace) const {
        if (b == 0) return 0;
        std::size_t e = t_.prev(b);
        while (true) {
            std::size_t r = open_point(e);
            std::size_t best = npos;
            walk(r, e, [&](std::size_t p, WordMarks m) {
                if (p > 0 && (m.start || (allow_whitespace && m.end))) best = p;
                return false;
            });
            if (best != npos) return best;
            if (r == 0) return 0;
            e = t_.prev(r);
        }
    }

    // GtkEntry's forward word: the nearest word end after b (or word start
    // too, with whitespace allowed), else the text's end.
    std::size_t forward(std::size_t b, bool allow_whitespace) const {
        if (b >= t_.size()) return t_.size();
        std::size_t q = t_.next(b);
        std::size_t found = walk(open_point(q), t_.size(), [&](std::size_t p, WordMarks m) {
            return p >= q && (m.end || (allow_whitespace && m.start));
        });
        return found == npos ? t_.size() : found;
    }

private:
    const Utf8Text& t_;
};

// ---------------------------------------------------------------------------
// Caret stops (grapheme clusters), from Pango's rules over a short stretch.

struct LocalAttrs {
    std::vector<std::size_t> pos;  // byte offset of each position
    std::vector<PangoLogAttr> attrs;
};

LocalAttrs local_attrs(const Utf8Text& t, std::size_t lo, std::size_t hi) {
    LocalAttrs a;
    const char* s = t.data() + lo;
    auto len = static_cast<int>(hi - lo);
    for (const char* p = s; p < s + len; p = g_utf8_next_char(p)) a.pos.push_back(lo + static_cast<std::size_t>(p - s));
    a.pos.push_back(hi);
    a.attrs.resize(a.pos.size());
    pango_get_log_attrs(s, len, -1, pango_language_get_default(), a.attrs.data(), static_cast<int>(a.attrs.size()));
    return a;
}

constexpr std::size_t kClusterReach = 64;   // characters looked at for a caret stop
constexpr std::size_t kClusterContext = 8;  // characters of context on the other side

std::size_t next_stop(const Utf8Text& t, std::size_t b) {
    if (b >= t.size()) return t.size();
    std::size_t lo = t.back(b, kClusterContext), hi = t.forward(b, kClusterReach);
    LocalAttrs a = local_attrs(t, lo, hi);
    for (std::size_t i = 0; i < a.pos.size(); ++i) {
        if (a.pos[i] <= b) continue;
        if (a.pos[i] == hi && hi < t.size()) break;
        if (a.attrs[i].is_cursor_position) return a.pos[i];
    }
    return t.next(b);
}

std::size_t prev_stop(const Utf8Text& t, std::size_t b) {
    if (b == 0) return 0;
    std::size_t lo = t.back(b, kClusterReach), hi = t.forward(b, kClusterContext);
    LocalAttrs a = local_attrs(t, lo, hi);
    for (std::size_t i = a.pos.size(); i-- > 0;) {
        if (a.pos[i] >= b) continue;
        if (a.pos[i] == lo && lo > 0) break;
        if (a.attrs[i].is_cursor_position) return a.pos[i];
    }
    return t.prev(b);
}

bool backspace_deletes_character(const Utf8Text& t, std::size_t b) {
    std::size_t lo = t.back(b, kClusterContext), hi = t.forward(b, kClusterContext);
    LocalAttrs a = local_attrs(t, lo, hi);
    for (std::size_t i = 0; i < a.pos.size(); ++i)
        if (a.pos[i] == b) return a.attrs[i].backspace_deletes_character;
    return false;
}

// ---------------------------------------------------------------------------
// The widget

constexpr int kBorder = 2;  // the sunken edge
constexpr int kMargin = 2;  // between the edge and the text, left and right
// The laid-out stretch's ends move in steps of this many bytes, so that the
// caret moving about keeps its layout.
constexpr std::size_t kQuantum = 128;

const GdkRGBA kEdgeShadow{160 / 255.0, 160 / 255.0, 160 / 255.0, 1};
const GdkRGBA kEdgeDarkShadow{105 / 255.0, 105 / 255.0, 105 / 255.0, 1};
const GdkRGBA kEdgeLight{227 / 255.0, 227 / 255.0, 227 / 255.0, 1};
const GdkRGBA kEdgeHighlight{1, 1, 1, 1};

enum class Step { Chars, Words, Ends };
enum class Drag { None, Chars, Words, All };

struct Impl {
    GtkWidget* w = nullptr;
    Utf8Text text;
    // Byte offsets: the caret, the other end of the selection, and the
    // text at the left edge of the text area.
    std::size_t cursor = 0, anchor = 0, view = 0;

    GtkIMContext* im = nullptr;
    bool need_im_reset = false;
    std::string preedit;
    PangoAttrList* preedit_attrs = nullptr;
    std::size_t preedit_cursor = 0;  // bytes into the preedit

    // One laid-out stretch of text [lay_lo, lay_hi), the preedit spliced in
    // at the caret when it falls inside.
    PangoLayout* layout = nullptr;
    std::size_t lay_lo = 0, lay_hi = 0;
    bool lay_preedit = false;
    bool lay_valid = false;
    int ascent = 0, descent = 0;  // Pango units, of the font in use
    bool metrics_valid = false;

    PangoFontDescription* font = nullptr;
    GdkRGBA fg{0, 0, 0, 1}, bg{1, 1, 1, 1};
    std::optional<GdkRGBA> sel_fg, sel_bg;

    bool overwrite = false;
    bool in_click = false;
    bool disposed = false;
    // Replacing the whole text, or pasting over a selection, is one change
    // to "changed" listeners, as with GtkEntry.
    int change_depth = 0;
    bool change_pending = false;

    Drag drag = Drag::None;
    std::size_t drag_lo = 0, drag_hi = 0;  // what the pressing click selected
    double drag_x = 0;
    guint scroll_timer = 0;

    guint blink_timer = 0;
    bool caret_on = true;
    gint64 last_activity = 0;

    std::size_t middle_paste_at = npos;

    GtkWidget* popup = nullptr;

    ~Impl() {
        if (layout) g_object_unref(layout);
        if (preedit_attrs) pango_attr_list_unref(preedit_attrs);
        if (font) pango_font_description_free(font);
        if (im) g_object_unref(im);
    }

    GtkEditable* editable() const { return GTK_EDITABLE(w); }
    std::size_t size() const { return text.size(); }
    bool has_selection() const { return cursor != anchor; }
    std::size_t sel_lo() const { return std::min(cursor, anchor); }
    std::size_t sel_hi() const { return std::max(cursor, anchor); }
    WordScanner words() const { return WordScanner(text); }

    // --- geometry -----------------------------------------------------------

    int width() const { return gtk_widget_get_allocated_width(w); }
    int height() const { return gtk_widget_get_allocated_height(w); }
    int text_x() const { return kBorder + kMargin; }
    int text_width() const { return std::max(0, width() - 2 * (kBorder + kMargin)); }
    // How far the caret may stand right of the view's left edge.
    int room() const { return (text_width() - 1) * PANGO_SCALE; }
    // Bytes laid out on each side of the caret: more than the text area
    // shows of any ordinary text.
    std::size_t span() const { return 256 + 2 * static_cast<std::size_t>(std::max(text_width(), 100)); }

    // What is laid out: a stretch around the caret, which holds the view
    // (never right of the caret) and all that the view shows. One layout
    // serves scrolling, hit testing and drawing alike.
    std::pair<std::size_t, std::size_t> chunk() const {
        std::size_t s = span();
        std::size_t lo = cursor > s ? (cursor - s) / kQuantum * kQuantum : 0;
        std::size_t hi = std::min(size(), (cursor + s + kQuantum - 1) / kQuantum * kQuantum);
        return {text.floor(lo), text.floor(hi)};
    }

    void ensure_metrics() {
        if (metrics_valid) return;
        PangoContext* ctx = gtk_widget_get_pango_context(w);
        const PangoFontDescription* desc = font ? font : pango_context_get_font_description(ctx);
        PangoFontMetrics* m = pango_context_get_metrics(ctx, desc, pango_context_get_language(ctx));
        ascent = pango_font_metrics_get_ascent(m);
        descent = pango_font_metrics_get_descent(m);
        pango_font_metrics_unref(m);
        metrics_valid = true;
    }

    void invalidate() { lay_valid = false; }
    void style_changed() {
        invalidate();
        if (layout) g_clear_object(&layout);
        metrics_valid = false;
    }

    PangoLayout* layout_of(std::size_t lo, std::size_t hi) {
        if (layout && lay_valid && lay_lo == lo && lay_hi == hi) return layout;
        if (!layout) {
            layout = gtk_widget_create_pango_layout(w, nullptr);
            pango_layout_set_single_paragraph_mode(layout, TRUE);
            pango_layout_set_auto_dir(layout, FALSE);
        }
        pango_layout_set_font_description(layout, font);
        lay_preedit = !preedit.empty() && lo <= cursor && cursor <= hi;
        std::string t;
        if (lay_preedit) {
            t.reserve(hi - lo + preedit.size());
            t.append(text.data() + lo, cursor - lo);
            t += preedit;
            t.append(text.data() + cursor, hi - cursor);
        } else {
            t.assign(text.data() + lo, hi - lo);
        }
        pango_layout_set_text(layout, t.data(), static_cast<int>(t.size()));
        PangoAttrList* attrs = pango_attr_list_new();
        if (lay_preedit && preedit_attrs)
            pango_attr_list_splice(attrs, preedit_attrs, static_cast<int>(cursor - lo), static_cast<int>(preedit.size()));
        pango_layout_set_attributes(layout, attrs);
        pango_attr_list_unref(attrs);
        lay_lo = lo;
        lay_hi = hi;
        lay_valid = true;
        return layout;
    }
    PangoLayout* current_layout() {
        auto [lo, hi] = chunk();
        return layout_of(lo, hi);
    }

    // Between text offsets and indexes of the current layout.
    int index_of(std::size_t b) const {
        std::size_t i = b - lay_lo;
        if (lay_preedit && b > cursor) i += preedit.size();
        return static_cast<int>(i);
    }
    std::size_t offset_of(int index) const {
        auto i = static_cast<std::size_t>(std::max(index, 0));
        if (lay_preedit) {
            std::size_t c0 = cursor - lay_lo;
            if (i > c0 && i < c0 + preedit.size()) return cursor;
            if (i >= c0 + preedit.size()) return std::min(lay_hi, i - preedit.size() + lay_lo);
        }
        return std::min(lay_hi, i + lay_lo);
    }
    int caret_index() const { return index_of(cursor) + (lay_preedit ? static_cast<int>(preedit_cursor) : 0); }
    int x_of_index(int index) const {
        PangoRectangle strong;
        pango_layout_get_cursor_pos(layout, index, &strong, nullptr);
        return strong.x;
    }
    int x_of(std::size_t b) const { return x_of_index(index_of(b)); }

    // The leftmost view that still shows `target` (the caret, or the end of
    // the text) at the right edge.
    std::size_t view_for_right_edge(std::size_t target, bool caret) {
        PangoLayout* l = current_layout();
        target = std::min(target, lay_hi);
        int xt = caret ? x_of_index(caret_index())
                       : x_of_index(index_of(target) + (lay_preedit && target == cursor ? static_cast<int>(preedit.size()) : 0));
        int want = xt - room();
        if (want <= x_of_index(0)) return lay_lo;
        int index = 0, trailing = 0;
        pango_layout_xy_to_index(l, want, 0, &index, &trailing);
        std::size_t p = offset_of(index);
        while (p < target && x_of(p) < want) p = text.next(p);
        return p;
    }

    // Keeps the caret in sight and, while text lies hidden on the left,
    // leaves no empty room on the right.
    void fix_scroll() {
        std::size_t n = size();
        view = text.floor(std::min(view, n));
        if (room() <= 0) {
            view = cursor;
            return;
        }
        current_layout();
        if (cursor < view) view = cursor;
        else if (view < lay_lo || x_of_index(caret_index()) - x_of(view) > room()) view = view_for_right_edge(cursor, true);
        if (view > 0 && lay_hi == n) view = std::min(view, view_for_right_edge(n, false));
        update_im_location();
    }

    // Top of the layout: the baseline where the font's ascent and descent
    // sit centred in the text area, as GtkEntry places it.
    int layout_y(PangoLayout* l) {
        ensure_metrics();
        int top = kBorder;
        int area = std::max(0, height() - 2 * kBorder) * PANGO_SCALE;
        PangoRectangle logical;
        pango_layout_get_extents(l, nullptr, &logical);
        int y = (area - ascent - descent) / 2 + ascent - pango_layout_get_baseline(l);
        if (logical.height > area) y = (area - logical.height) / 2;
        else if (y < 0) y = 0;
        else if (y + logical.height > area) y = area - logical.height;
        return top + PANGO_PIXELS(y);
    }

    // The text offset under a point of the widget.
    std::size_t offset_at(double x) {
        PangoLayout* l = current_layout();
        int lx = x_of(std::clamp(view, lay_lo, lay_hi)) + static_cast<int>((x - text_x()) * PANGO_SCALE);
        int index = 0, trailing = 0;
        pango_layout_xy_to_index(l, lx, 0, &index, &trailing);
        int c0 = index_of(cursor);
        if (lay_preedit && index >= c0 && index < c0 + static_cast<int>(preedit.size())) trailing = 0;
        std::size_t p = offset_of(index);
        return std::min(lay_hi, text.forward(p, static_cast<std::size_t>(trailing)));
    }

    // The caret's left edge in widget pixels.
    int caret_px() {
        current_layout();
        return text_x() + PANGO_PIXELS(x_of_index(caret_index()) - x_of(std::clamp(view, lay_lo, lay_hi)));
    }

    void update_im_location() {
        if (!gtk_widget_get_realized(w) || !im) return;
        PangoLayout* l = current_layout();
        ensure_metrics();
        GdkRectangle r;
        r.x = caret_px();
        r.y = layout_y(l);
        r.width = 0;
        r.height = PANGO_PIXELS(ascent + descent);
        gtk_im_context_set_cursor_location(im, &r);
    }

    // --- caret and selection ----------------------------------------------

    void set_positions(std::size_t c, std::size_t a) {
        c = text.floor(std::min(c, size()));
        a = text.floor(std::min(a, size()));
        bool moved = c != cursor || a != anchor;
        cursor = c;
        anchor = a;
        if (!moved) return;
        invalidate();
        fix_scroll();
        update_primary();
        pend_blink();
        gtk_widget_queue_draw(w);
    }

    void reset_im() {
        if (!need_im_reset) return;
        need_im_reset = false;
        gtk_im_context_reset(im);
    }

    void move(Step step, int dir, bool extend) {
        reset_im();
        std::size_t p = cursor;
        if (has_selection() && !extend) {
            if (step == Step::Ends) p = dir < 0 ? 0 : size();
            else p = dir < 0 ? sel_lo() : sel_hi();
        } else {
            switch (step) {
            case Step::Chars:
                p = dir < 0 ? prev_stop(text, cursor) : next_stop(text, cursor);
                if (p == cursor) gtk_widget_error_bell(w);
                break;
            case Step::Words:
                p = dir < 0 ? words().backward(cursor, false) : words().forward(cursor, false);
                break;
            case Step::Ends:
                p = dir < 0 ? 0 : size();
                break;
            }
        }
        set_positions(p, extend ? anchor : p);
    }

    void select_all() { set_positions(size(), 0); }

    // --- edits, through GtkEditable so that its signals see them -----------

    std::size_t char_pos(std::size_t b) { return text.char_of(b); }

    void begin_change() { ++change_depth; }
    void end_change() {
        if (--change_depth == 0 && change_pending) {
            change_pending = false;
            g_signal_emit_by_name(w, "changed");
        }
    }
    void emit_changed() {
        if (change_depth > 0) change_pending = true;
        else g_signal_emit_by_name(w, "changed");
    }

    // Inserts at a byte offset; gives the byte offset after the insertion.
    std::size_t insert(std::size_t at, const std::string& t) {
        auto pos = static_cast<gint>(char_pos(at));
        gtk_editable_insert_text(editable(), t.c_str(), static_cast<gint>(t.size()), &pos);
        return text.byte_of(static_cast<std::size_t>(pos));
    }
    void erase(std::size_t from, std::size_t to) {
        if (from >= to) return;
        gtk_editable_delete_text(editable(), static_cast<gint>(char_pos(from)), static_cast<gint>(char_pos(to)));
    }
    void delete_selection() {
        if (has_selection()) erase(sel_lo(), sel_hi());
    }

    // What typing does: the selection, or in overwrite mode the next
    // character, gives way to the text.
    void enter_text(const std::string& t) {
        if (has_selection()) delete_selection();
        else if (overwrite && cursor < size()) erase(cursor, next_stop(text, cursor));
        std::size_t end = insert(cursor, t);
        set_positions(end, end);
    }

    // BackSpace takes the character cluster before the caret, except where
    // the script composes clusters from parts (accents, Indic vowel signs):
    // there only the last part goes.
    void backspace() {
        reset_im();
        if (has_selection()) {
            delete_selection();
            return;
        }
        std::size_t p = prev_stop(text, cursor);
        if (p == cursor) {
            gtk_widget_error_bell(w);
            return;
        }
        if (backspace_deletes_character(text, cursor)) {
            std::string cluster(text.data() + p, cursor - p);
            g_autofree char* nfd = g_utf8_normalize(cluster.data(), static_cast<gssize>(cluster.size()), G_NORMALIZE_NFD);
            glong len = nfd ? g_utf8_strlen(nfd, -1) : 0;
                erase(p, cursor);
            if (len > 1) {
                std::string keep(nfd, static_cast<std::size_t>(g_utf8_offset_to_pointer(nfd, len - 1) - nfd));
                std::size_t end = insert(cursor, keep);
                set_positions(end, end);
            }
            } else {
            erase(p, cursor);
        }
    }

    void delete_chars_forward() {
        reset_im();
        if (has_selection()) delete_selection();
        else if (cursor < size()) erase(cursor, next_stop(text, cursor));
        else gtk_widget_error_bell(w);
    }

    void delete_word(int dir) {
        reset_im();
        if (has_selection()) {
            delete_selection();
            return;
        }
        if (dir < 0) erase(words().backward(cursor, false), cursor);
        else erase(cursor, words().forward(cursor, false));
    }

    void toggle_overwrite() {
        reset_im();
        overwrite = !overwrite;
        pend_blink();
        gtk_widget_queue_draw(w);
    }

    // --- clipboards ----------------------------------------------------------

    std::string selected_text() const { return text.str().substr(sel_lo(), sel_hi() - sel_lo()); }

    void copy() {
        if (!has_selection()) return;
        std::string t = selected_text();
        gtk_clipboard_set_text(gtk_widget_get_clipboard(w, GDK_SELECTION_CLIPBOARD), t.data(), static_cast<gint>(t.size()));
    }
    void cut() {
        if (!has_selection()) {
            gtk_widget_error_bell(w);
            return;
        }
        copy();
        delete_selection();
    }
    void paste(GdkAtom which) {
        g_object_ref(w);
        gtk_clipboard_request_text(gtk_widget_get_clipboard(w, which), &Impl::paste_received, w);
    }
    static void paste_received(GtkClipboard*, const gchar* t, gpointer data);

    void update_primary();
    static void primary_get(GtkClipboard*, GtkSelectionData* sd, guint, gpointer owner);
    static void primary_clear(GtkClipboard*, gpointer owner);

    // --- caret blinking -------------------------------------------------------

    bool blink_settings(int* cycle_ms, int* timeout_s) const {
        gboolean blink = TRUE;
        gint time = 1200, timeout = 10;
        g_object_get(gtk_widget_get_settings(w), "gtk-cursor-blink", &blink, "gtk-cursor-blink-time", &time,
                     "gtk-cursor-blink-timeout", &timeout, nullptr);
        *cycle_ms = std::max(time, 100);
        *timeout_s = timeout;
        return blink;
    }
    void stop_blink() {
        if (blink_timer) g_source_remove(blink_timer);
        blink_timer = 0;
        caret_on = true;
    }
    // The caret shows at once after any activity and blinks again after.
    void pend_blink() {
        last_activity = g_get_monotonic_time();
        bool was_off = !caret_on;
        caret_on = true;
        if (!blink_timer && gtk_widget_has_focus(w)) schedule_blink();
        if (was_off) gtk_widget_queue_draw(w);
    }
    void schedule_blink() {
        int cycle = 0, timeout = 0;
        if (!blink_settings(&cycle, &timeout)) return;
        // On for two thirds of a cycle, off for one.
        guint wait = static_cast<guint>(caret_on ? cycle * 2 / 3 : cycle / 3);
        blink_timer = g_timeout_add(wait, &Impl::blink_tick, this);
    }
    static gboolean blink_tick(gpointer data) {
        auto* d = static_cast<Impl*>(data);
        d->blink_timer = 0;
        int cycle = 0, timeout = 0;
        d->blink_settings(&cycle, &timeout);
        bool idle_long = timeout > 0 && g_get_monotonic_time() - d->last_activity > gint64{timeout} * G_USEC_PER_SEC;
        if (idle_long && d->caret_on) return G_SOURCE_REMOVE;  // stays on
        d->caret_on = !d->caret_on;
        gtk_widget_queue_draw(d->w);
        d->schedule_blink();
        return G_SOURCE_REMOVE;
    }

    // --- mouse ---------------------------------------------------------------

    void drag_to(std::size_t p) {
        switch (drag) {
        case Drag::None:
            return;
        case Drag::Chars:
            set_positions(p, anchor);
            break;
        case Drag::Words: {
            std::size_t lo = words().backward(p, true), hi = words().forward(p, true);
            if (lo < drag_lo) set_positions(lo, drag_hi);
            else set_positions(std::max(hi, drag_hi), drag_lo);
            break;
        }
        case Drag::All:
            select_all();
            break;
        }
    }

    // Dragging past an edge keeps scrolling the text, faster the further
    // the pointer is.
    static gboolean scroll_tick(gpointer data) {
        auto* d = static_cast<Impl*>(data);
        double left = d->text_x(), right = d->text_x() + d->text_width();
        if (d->drag == Drag::None || (d->drag_x >= left && d->drag_x < right)) {
            d->scroll_timer = 0;
            return G_SOURCE_REMOVE;
        }
        double beyond = d->drag_x < left ? left - d->drag_x : d->drag_x - right + 1;
        auto steps = static_cast<int>(1 + beyond / 8);
        std::size_t p = d->cursor;
        for (int i = 0; i < steps; ++i) p = d->drag_x < left ? prev_stop(d->text, p) : next_stop(d->text, p);
        d->drag_to(p);
        return G_SOURCE_CONTINUE;
    }
    void stop_drag() {
        drag = Drag::None;
        if (scroll_timer) g_source_remove(scroll_timer);
        scroll_timer = 0;
    }

    void press(GdkEventButton* ev);
    void motion(double x);

    // --- context menu ----------------------------------------------------------

    void popup_menu(const GdkEvent* trigger);
    static void popup_targets_received(GtkClipboard*, GtkSelectionData* sd, gpointer data);

    // --- drawing ---------------------------------------------------------------

    void draw(cairo_t* cr);
};

struct KadaLineEdit {
    GtkWidget parent;
    Impl* impl;
};

struct KadaLineEditClass {
    GtkWidgetClass parent_class;
};

void kada_line_edit_editable_init(GtkEditableInterface* iface);

G_DEFINE_TYPE_WITH_CODE(KadaLineEdit, kada_line_edit, GTK_TYPE_WIDGET,
                        G_IMPLEMENT_INTERFACE(GTK_TYPE_EDITABLE, kada_line_edit_editable_init))

Impl* impl_of(gpointer o) { return reinterpret_cast<KadaLineEdit*>(o)->impl; }

// --- Impl parts that need the type ------------------------------------------

void Impl::paste_received(GtkClipboard*, const gchar* t, gpointer data) {
    auto* w = static_cast<GtkWidget*>(data);
    Impl* d = impl_of(w);
    if (!d->disposed) {
        std::size_t at = d->middle_paste_at;
        d->middle_paste_at = npos;
        if (!t) {
            gtk_widget_error_bell(w);
        } else {
            // A middle click outside the selection pastes where it was
            // clicked; inside, it replaces the selection.
            if (at != npos && !(at >= d->sel_lo() && at <= d->sel_hi())) d->set_positions(at, at);
            d->begin_change();
            d->delete_selection();
            std::size_t end = d->insert(d->cursor, t);
            d->set_positions(end, end);
            d->end_change();
        }
    }
    g_object_unref(w);
}

void Impl::update_primary() {
    if (!gtk_widget_get_realized(w)) return;
    GtkClipboard* c = gtk_widget_get_clipboard(w, GDK_SELECTION_PRIMARY);
    if (has_selection()) {
        if (gtk_clipboard_get_owner(c) == G_OBJECT(w)) return;
        GtkTargetList* list = gtk_target_list_new(nullptr, 0);
        gtk_target_list_add_text_targets(list, 0);
        gint n = 0;
        GtkTargetEntry* targets = gtk_target_table_new_from_list(list, &n);
        gtk_clipboard_set_with_owner(c, targets, static_cast<guint>(n), &Impl::primary_get, &Impl::primary_clear,
                                     G_OBJECT(w));
        gtk_target_table_free(targets, n);
        gtk_target_list_unref(list);
    } else if (gtk_clipboard_get_owner(c) == G_OBJECT(w)) {
        gtk_clipboard_clear(c);
    }
}

void Impl::primary_get(GtkClipboard*, GtkSelectionData* sd, guint, gpointer owner) {
    Impl* d = impl_of(owner);
    if (!d->has_selection()) return;
    std::string t = d->selected_text();
    gtk_selection_data_set_text(sd, t.data(), static_cast<gint>(t.size()));
}

// Someone else took the primary selection: ours goes, as in GtkEntry.
void Impl::primary_clear(GtkClipboard*, gpointer owner) {
    Impl* d = impl_of(owner);
    if (d->disposed) return;
    d->set_positions(d->cursor, d->cursor);
}

void Impl::press(GdkEventButton* ev) {
    if (!gtk_widget_has_focus(w)) {
        in_click = true;
        gtk_widget_grab_focus(w);
        in_click = false;
    }
    std::size_t p = offset_at(ev->x);
    if (gdk_event_triggers_context_menu(reinterpret_cast<GdkEvent*>(ev))) {
        popup_menu(reinterpret_cast<GdkEvent*>(ev));
        return;
    }
    if (ev->button == GDK_BUTTON_MIDDLE && ev->type == GDK_BUTTON_PRESS) {
        gboolean primary_paste = TRUE;
        g_object_get(gtk_widget_get_settings(w), "gtk-enable-primary-paste", &primary_paste, nullptr);
        if (primary_paste) {
            middle_paste_at = p;
            paste(GDK_SELECTION_PRIMARY);
        }
        return;
    }
    if (ev->button != GDK_BUTTON_PRIMARY) return;
    reset_im();
    int clicks = ev->type == GDK_3BUTTON_PRESS ? 3 : ev->type == GDK_2BUTTON_PRESS ? 2 : 1;
    // What a click of this count selects on its own.
    std::size_t lo = p, hi = p;
    if (clicks == 2) {
        lo = words().backward(p, true);
        hi = words().forward(p, true);
    } else if (clicks == 3) {
        lo = 0;
        hi = size();
    }
    drag = clicks == 3 ? Drag::All : clicks == 2 ? Drag::Words : Drag::Chars;
    drag_x = ev->x;
    if ((ev->state & GDK_SHIFT_MASK) && clicks == 1) {
        std::size_t s = sel_lo(), e = sel_hi();
        bool to_left = p < s ? true : p > e ? false : cursor == s && has_selection();
        if (to_left) set_positions(lo, e);
        else set_positions(hi, s);
        drag_lo = drag_hi = anchor;
        return;
    }
    drag_lo = lo;
    drag_hi = hi;
    set_positions(hi, lo);
}

void Impl::motion(double x) {
    if (drag == Drag::None) return;
    drag_x = x;
    double left = text_x(), right = text_x() + text_width();
    double inside = std::clamp(x, left, std::max(left, right - 1));
    drag_to(offset_at(inside));
    if ((x < left || x >= right) && !scroll_timer) scroll_timer = g_timeout_add(50, &Impl::scroll_tick, this);
}

void Impl::popup_menu(const GdkEvent* trigger) {
    struct Pending {
        GtkWidget* w;
        GdkEvent* trigger;
    };
    g_object_ref(w);
    auto* pending = new Pending{w, trigger ? gdk_event_copy(trigger) : nullptr};
    gtk_clipboard_request_contents(gtk_widget_get_clipboard(w, GDK_SELECTION_CLIPBOARD),
                                   gdk_atom_intern_static_string("TARGETS"),
                                   +[](GtkClipboard*, GtkSelectionData* sd, gpointer data) {
                                       auto* p = static_cast<Pending*>(data);
                                       Impl* d = impl_of(p->w);
                                       bool can_paste = sd && gtk_selection_data_targets_include_text(sd);
                                       if (!d->disposed && gtk_widget_get_mapped(p->w)) {
                                           if (d->popup) gtk_widget_destroy(d->popup);
                                           GtkWidget* menu = gtk_menu_new();
                                           d->popup = menu;
                                           gtk_menu_attach_to_widget(GTK_MENU(menu), p->w, +[](GtkWidget* owner, GtkMenu*) {
                                               impl_of(owner)->popup = nullptr;
                                           });
                                           bool sel = d->has_selection();
                                           struct Item {
                                               const char* label;
                                               bool sensitive;
                                               void (*act)(Impl*);
                                           };
                                           const Item items[] = {
                                               {"Cu_t", sel, [](Impl* i) { i->cut(); }},
                                               {"_Copy", sel, [](Impl* i) { i->copy(); }},
                                               {"_Paste", can_paste, [](Impl* i) { i->paste(GDK_SELECTION_CLIPBOARD); }},
                                               {"_Delete", sel, [](Impl* i) { i->delete_selection(); }},
                                               {nullptr, false, nullptr},
                                               {"Select _All", d->size() > 0, [](Impl* i) { i->select_all(); }},
                                           };
                                           for (const Item& it : items) {
                                               GtkWidget* mi;
                                               if (!it.label) {
                                                   mi = gtk_separator_menu_item_new();
                                               } else {
                                                   // GTK's own wording, in the user's language.
                                                   mi = gtk_menu_item_new_with_mnemonic(g_dgettext("gtk30", it.label));
                                                   gtk_widget_set_sensitive(mi, it.sensitive);
                                                   g_object_set_data(G_OBJECT(mi), "kada-act", reinterpret_cast<gpointer>(it.act));
                                                   g_signal_connect(mi, "activate", G_CALLBACK(+[](GtkMenuItem* m, gpointer owner) {
                                                                        auto act = reinterpret_cast<void (*)(Impl*)>(
                                                                            g_object_get_data(G_OBJECT(m), "kada-act"));
                                                                        Impl* i = impl_of(owner);
                                                                        if (!i->disposed) act(i);
                                                                    }),
                                                                    p->w);
                                               }
                                               gtk_widget_show(mi);
                                               gtk_menu_shell_append(GTK_MENU_SHELL(menu), mi);
                                           }
                                           // Gone once closed; an item's action runs after the close.
                                           g_signal_connect(menu, "deactivate", G_CALLBACK(+[](GtkMenuShell* m, gpointer) {
                                                                g_idle_add(
                                                                    +[](gpointer mm) -> gboolean {
                                                                        gtk_widget_destroy(GTK_WIDGET(mm));
                                                                        g_object_unref(mm);
                                                                        return G_SOURCE_REMOVE;
                                                                    },
                                                                    g_object_ref(m));
                                                            }),
                                                            nullptr);
                                           if (p->trigger) {
                                               gtk_menu_popup_at_pointer(GTK_MENU(menu), p->trigger);
                                           } else {
                                               GdkRectangle r{d->caret_px(), 0, 1, d->height()};
                                               gtk_menu_popup_at_rect(GTK_MENU(menu), gtk_widget_get_window(p->w), &r,
                                                                      GDK_GRAVITY_SOUTH_WEST, GDK_GRAVITY_NORTH_WEST, nullptr);
                                               gtk_menu_shell_select_first(GTK_MENU_SHELL(menu), FALSE);
                                           }
                                       }
                                       if (p->trigger) gdk_event_free(p->trigger);
                                       g_object_unref(p->w);
                                       delete p;
                                   },
                                   pending);
}

void fill(cairo_t* cr, const GdkRGBA& c, double x, double y, double w, double h) {
    gdk_cairo_set_source_rgba(cr, &c);
    cairo_rectangle(cr, x, y, w, h);
    cairo_fill(cr);
}

GdkRGBA theme_colour(GtkWidget* w, const char* name, GdkRGBA fallback) {
    GdkRGBA c = fallback;
    gtk_style_context_lookup_color(gtk_widget_get_style_context(w), name, &c);
    return c;
}

void Impl::draw(cairo_t* cr) {
    int wd = width(), ht = height();
    bool sensitive = gtk_widget_is_sensitive(w);
    GdkRGBA text_colour = fg;
    if (!sensitive) {
        text_colour.red = (fg.red + bg.red) / 2;
        text_colour.green = (fg.green + bg.green) / 2;
        text_colour.blue = (fg.blue + bg.blue) / 2;
    }
    fill(cr, bg, 0, 0, wd, ht);
    // A sunken client edge: shadow above and left, light below and right.
    fill(cr, kEdgeShadow, 0, 0, wd - 1, 1);
    fill(cr, kEdgeShadow, 0, 0, 1, ht - 1);
    fill(cr, kEdgeHighlight, 0, ht - 1, wd, 1);
    fill(cr, kEdgeHighlight, wd - 1, 0, 1, ht);
    fill(cr, kEdgeDarkShadow, 1, 1, wd - 3, 1);
    fill(cr, kEdgeDarkShadow, 1, 1, 1, ht - 3);
    fill(cr, kEdgeLight, 1, ht - 2, wd - 2, 1);
    fill(cr, kEdgeLight, wd - 2, 1, 1, ht - 2);

    int tw = text_width(), th = std::max(0, ht - 2 * kBorder);
    if (tw <= 0 || th <= 0) return;
    cairo_save(cr);
    cairo_rectangle(cr, text_x(), kBorder, tw, th);
    cairo_clip(cr);

    PangoLayout* l = current_layout();
    int xo = text_x() - PANGO_PIXELS(x_of(std::clamp(view, lay_lo, lay_hi)));
    int yo = layout_y(l);
    gdk_cairo_set_source_rgba(cr, &text_colour);
    cairo_move_to(cr, xo, yo);
    pango_cairo_show_layout(cr, l);

    bool focused = gtk_widget_has_focus(w);
    if (focused && has_selection()) {
        std::size_t s = std::clamp(sel_lo(), lay_lo, lay_hi), e = std::clamp(sel_hi(), lay_lo, lay_hi);
        if (s < e) {
            gint range[2] = {index_of(s), index_of(e)};
            cairo_region_t* region = gdk_pango_layout_get_clip_region(l, xo, yo, range, 1);
            GdkRGBA sbg = sel_bg.value_or(theme_colour(w, "theme_selected_bg_color", GdkRGBA{0, 120 / 255.0, 215 / 255.0, 1}));
            GdkRGBA sfg = sel_fg.value_or(theme_colour(w, "theme_selected_fg_color", GdkRGBA{1, 1, 1, 1}));
            cairo_save(cr);
            gdk_cairo_region(cr, region);
            cairo_clip(cr);
            gdk_cairo_set_source_rgba(cr, &sbg);
            cairo_paint(cr);
            gdk_cairo_set_source_rgba(cr, &sfg);
            cairo_move_to(cr, xo, yo);
            pango_cairo_show_layout(cr, l);
            cairo_restore(cr);
            cairo_region_destroy(region);
        }
    }

    if (focused && caret_on && !has_selection() && cursor >= lay_lo && cursor <= lay_hi) {
        ensure_metrics();
        int x = xo + PANGO_PIXELS(x_of_index(caret_index()));
        int top = yo + PANGO_PIXELS(pango_layout_get_baseline(l) - ascent);
        int h = PANGO_PIXELS(ascent + descent);
        bool block = overwrite && preedit.empty() && cursor < size();
        int cw = 1;
        if (block) cw = std::max(1, PANGO_PIXELS(x_of(std::min(next_stop(text, cursor), lay_hi))) + xo - x);
        fill(cr, text_colour, x, top, cw, h);
        if (block) {
            cairo_rectangle(cr, x, top, cw, h);
            cairo_clip(cr);
            gdk_cairo_set_source_rgba(cr, &bg);
            cairo_move_to(cr, xo, yo);
            pango_cairo_show_layout(cr, l);
        }
    }
    cairo_restore(cr);
}

// --- GtkEditable ---------------------------------------------------------------

void real_insert_text(GtkEditable* e, const gchar* t, gint len, gint* position) {
    Impl* d = impl_of(e);
    if (len < 0) len = static_cast<gint>(std::strlen(t));
    auto total = static_cast<gint>(d->text.chars());
    gint pos = *position < 0 || *position > total ? total : *position;
    std::size_t at = d->text.byte_of(static_cast<std::size_t>(pos));
    auto n = static_cast<std::size_t>(len);
    std::size_t before = d->text.chars();
    d->text.insert(at, std::string_view(t, n));
    for (std::size_t* p : {&d->cursor, &d->anchor})
        if (*p > at) *p += n;
    if (d->view > at) d->view += n;
    *position = pos + static_cast<gint>(d->text.chars() - before);
    d->invalidate();
    d->fix_scroll();
    gtk_widget_queue_draw(d->w);
    d->emit_changed();
}

void real_delete_text(GtkEditable* e, gint start, gint end) {
    Impl* d = impl_of(e);
    auto total = static_cast<gint>(d->text.chars());
    if (end < 0 || end > total) end = total;
    if (start < 0) start = 0;
    if (start >= end) return;
    std::size_t from = d->text.byte_of(static_cast<std::size_t>(start));
    std::size_t to = d->text.byte_of(static_cast<std::size_t>(end));
    d->text.erase(from, to);
    for (std::size_t* p : {&d->cursor, &d->anchor, &d->view})
        if (*p > from) *p -= std::min(*p, to) - from;
    d->invalidate();
    d->fix_scroll();
    d->update_primary();
    gtk_widget_queue_draw(d->w);
    d->emit_changed();
}

void do_insert_text(GtkEditable* e, const gchar* t, gint len, gint* position) {
    if (len < 0) len = static_cast<gint>(std::strlen(t));
    g_object_ref(e);
    // Whatever comes in leaves as valid UTF-8 without NULs, and ends
    // where the signal's copy of it will end.
    if (g_utf8_validate(t, len, nullptr)) {
        std::string copy(t, static_cast<std::size_t>(len));
        g_signal_emit_by_name(e, "insert-text", copy.c_str(), len, position);
    } else {
        g_autofree char* valid = g_utf8_make_valid(t, len);
        g_signal_emit_by_name(e, "insert-text", valid, static_cast<gint>(std::strlen(valid)), position);
    }
    g_object_unref(e);
}

void do_delete_text(GtkEditable* e, gint start, gint end) {
    g_object_ref(e);
    g_signal_emit_by_name(e, "delete-text", start, end);
    g_object_unref(e);
}

gchar* get_chars(GtkEditable* e, gint start, gint end) {
    Impl* d = impl_of(e);
    auto total = static_cast<gint>(d->text.chars());
    if (end < 0 || end > total) end = total;
    start = std::clamp(start, 0, end);
    std::size_t from = d->text.byte_of(static_cast<std::size_t>(start));
    std::size_t to = d->text.byte_of(static_cast<std::size_t>(end));
    return g_strndup(d->text.data() + from, to - from);
}

void set_selection_bounds(GtkEditable* e, gint start, gint end) {
    Impl* d = impl_of(e);
    auto total = static_cast<gint>(d->text.chars());
    if (start < 0 || start > total) start = total;
    if (end < 0 || end > total) end = total;
    d->reset_im();
    d->set_positions(d->text.byte_of(static_cast<std::size_t>(end)), d->text.byte_of(static_cast<std::size_t>(start)));
}

gboolean get_selection_bounds(GtkEditable* e, gint* start, gint* end) {
    Impl* d = impl_of(e);
    *start = static_cast<gint>(d->text.char_of(d->anchor));
    *end = static_cast<gint>(d->text.char_of(d->cursor));
    return d->has_selection();
}

void set_position(GtkEditable* e, gint position) {
    Impl* d = impl_of(e);
    auto total = static_cast<gint>(d->text.chars());
    if (position < 0 || position > total) position = total;
    std::size_t b = d->text.byte_of(static_cast<std::size_t>(position));
    d->set_positions(b, b);
}

gint get_position(GtkEditable* e) { return static_cast<gint>(impl_of(e)->text.char_of(impl_of(e)->cursor)); }

void kada_line_edit_editable_init(GtkEditableInterface* iface) {
    iface->do_insert_text = do_insert_text;
    iface->do_delete_text = do_delete_text;
    iface->insert_text = real_insert_text;
    iface->delete_text = real_delete_text;
    iface->get_chars = get_chars;
    iface->set_selection_bounds = set_selection_bounds;
    iface->get_selection_bounds = get_selection_bounds;
    iface->set_position = set_position;
    iface->get_position = get_position;
}

// --- input method ------------------------------------------------------------

void im_commit(GtkIMContext*, const gchar* str, gpointer self) {
    Impl* d = impl_of(self);
    if (str && *str) d->enter_text(str);
}

void im_preedit_changed(GtkIMContext* ctx, gpointer self) {
    Impl* d = impl_of(self);
    gchar* str = nullptr;
    PangoAttrList* attrs = nullptr;
    gint cursor_chars = 0;
    gtk_im_context_get_preedit_string(ctx, &str, &attrs, &cursor_chars);
    d->preedit = str ? str : "";
    if (d->preedit_attrs) pango_attr_list_unref(d->preedit_attrs);
    d->preedit_attrs = attrs;
    glong n = g_utf8_strlen(d->preedit.c_str(), -1);
    cursor_chars = std::clamp(cursor_chars, 0, static_cast<gint>(n));
    d->preedit_cursor = static_cast<std::size_t>(g_utf8_offset_to_pointer(d->preedit.c_str(), cursor_chars) - d->preedit.c_str());
    g_free(str);
    d->invalidate();
    d->fix_scroll();
    d->pend_blink();
    gtk_widget_queue_draw(d->w);
}

gboolean im_retrieve_surrounding(GtkIMContext* ctx, gpointer self) {
    Impl* d = impl_of(self);
    // Enough around the caret for any input method, never the whole text.
    std::size_t lo = d->text.floor(d->cursor - std::min<std::size_t>(d->cursor, 2048));
    std::size_t hi = d->text.floor(std::min(d->size(), d->cursor + 2048));
    gtk_im_context_set_surrounding(ctx, d->text.data() + lo, static_cast<gint>(hi - lo), static_cast<gint>(d->cursor - lo));
    return TRUE;
}

gboolean im_delete_surrounding(GtkIMContext*, gint offset, gint n_chars, gpointer self) {
    Impl* d = impl_of(self);
    std::size_t from = offset < 0 ? d->text.back(d->cursor, static_cast<std::size_t>(-offset))
                                  : d->text.forward(d->cursor, static_cast<std::size_t>(offset));
    std::size_t to = d->text.forward(from, static_cast<std::size_t>(std::max(n_chars, 0)));
    d->erase(from, to);
    return TRUE;
}

// --- GtkWidget -------------------------------------------------------------------

void kada_line_edit_init(KadaLineEdit* self) {
    auto* w = GTK_WIDGET(self);
    self->impl = new Impl;
    Impl* d = self->impl;
    d->w = w;
    gtk_widget_set_has_window(w, TRUE);
    gtk_widget_set_can_focus(w, TRUE);
    d->im = gtk_im_multicontext_new();
    g_signal_connect(d->im, "commit", G_CALLBACK(im_commit), self);
    g_signal_connect(d->im, "preedit-changed", G_CALLBACK(im_preedit_changed), self);
    g_signal_connect(d->im, "retrieve-surrounding", G_CALLBACK(im_retrieve_surrounding), self);
    g_signal_connect(d->im, "delete-surrounding", G_CALLBACK(im_delete_surrounding), self);
}

void dispose(GObject* o) {
    Impl* d = impl_of(o);
    if (!d->disposed) {
        d->disposed = true;
        d->stop_drag();
        d->stop_blink();
        if (d->popup) gtk_widget_destroy(d->popup);
        g_signal_handlers_disconnect_by_data(d->im, o);
    }
    G_OBJECT_CLASS(kada_line_edit_parent_class)->dispose(o);
}

void finalize(GObject* o) {
    delete impl_of(o);
    G_OBJECT_CLASS(kada_line_edit_parent_class)->finalize(o);
}

void realize(GtkWidget* w) {
    Impl* d = impl_of(w);
    GtkAllocation a;
    gtk_widget_get_allocation(w, &a);
    gtk_widget_set_realized(w, TRUE);
    GdkWindowAttr attr{};
    attr.window_type = GDK_WINDOW_CHILD;
    attr.x = a.x;
    attr.y = a.y;
    attr.width = a.width;
    attr.height = a.height;
    attr.wclass = GDK_INPUT_OUTPUT;
    attr.visual = gtk_widget_get_visual(w);
    attr.event_mask = gtk_widget_get_events(w) | GDK_EXPOSURE_MASK | GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                      GDK_BUTTON1_MOTION_MASK | GDK_KEY_PRESS_MASK | GDK_KEY_RELEASE_MASK | GDK_ENTER_NOTIFY_MASK |
                      GDK_LEAVE_NOTIFY_MASK | GDK_FOCUS_CHANGE_MASK;
    attr.cursor = gdk_cursor_new_from_name(gtk_widget_get_display(w), "text");
    GdkWindow* win = gdk_window_new(gtk_widget_get_parent_window(w), &attr,
                                    GDK_WA_X | GDK_WA_Y | GDK_WA_VISUAL | (attr.cursor ? GDK_WA_CURSOR : 0));
    if (attr.cursor) g_object_unref(attr.cursor);
    gtk_widget_register_window(w, win);
    gtk_widget_set_window(w, win);
    gtk_im_context_set_client_window(d->im, win);
    d->fix_scroll();
    d->update_primary();
}

void unrealize(GtkWidget* w) {
    Impl* d = impl_of(w);
    d->stop_drag();
    gtk_im_context_set_client_window(d->im, nullptr);
    GtkClipboard* c = gtk_widget_get_clipboard(w, GDK_SELECTION_PRIMARY);
    if (gtk_clipboard_get_owner(c) == G_OBJECT(w)) gtk_clipboard_clear(c);
    if (d->popup) gtk_widget_destroy(d->popup);
    GTK_WIDGET_CLASS(kada_line_edit_parent_class)->unrealize(w);
}

void size_allocate(GtkWidget* w, GtkAllocation* a) {
    gtk_widget_set_allocation(w, a);
    if (gtk_widget_get_realized(w)) gdk_window_move_resize(gtk_widget_get_window(w), a->x, a->y, a->width, a->height);
    Impl* d = impl_of(w);
    d->invalidate();
    d->fix_scroll();
}

void preferred_width(GtkWidget* w, gint* min, gint* nat) {
    Impl* d = impl_of(w);
    d->ensure_metrics();
    PangoContext* ctx = gtk_widget_get_pango_context(w);
    PangoFontMetrics* m = pango_context_get_metrics(ctx, d->font ? d->font : pango_context_get_font_description(ctx),
                                                     pango_context_get_language(ctx));
    int ch = PANGO_PIXELS(pango_font_metrics_get_approximate_char_width(m));
    pango_font_metrics_unref(m);
    *min = 2 * (kBorder + kMargin) + 1;
    *nat = *min + 20 * ch;
}

void preferred_height(GtkWidget* w, gint* min, gint* nat) {
    Impl* d = impl_of(w);
    d->ensure_metrics();
    int line = PANGO_PIXELS_CEIL(d->ascent + d->descent);
    *min = line + 2 * kBorder;
    *nat = *min + 2;
}

gboolean draw(GtkWidget* w, cairo_t* cr) {
    impl_of(w)->draw(cr);
    return FALSE;
}

gboolean key_press(GtkWidget* w, GdkEventKey* ev) {
    Impl* d = impl_of(w);
    d->pend_blink();
    if (gtk_im_context_filter_keypress(d->im, ev)) {
        d->need_im_reset = true;
        return TRUE;
    }
    guint mods = ev->state & gtk_accelerator_get_default_mod_mask();
    bool ctrl = mods & GDK_CONTROL_MASK, shift = mods & GDK_SHIFT_MASK;
    bool ours = !(mods & ~(GDK_CONTROL_MASK | GDK_SHIFT_MASK));
    if (ours) {
        switch (ev->keyval) {
        case GDK_KEY_Left:
        case GDK_KEY_KP_Left:
            d->move(ctrl ? Step::Words : Step::Chars, -1, shift);
            return TRUE;
        case GDK_KEY_Right:
        case GDK_KEY_KP_Right:
            d->move(ctrl ? Step::Words : Step::Chars, 1, shift);
            return TRUE;
        case GDK_KEY_Home:
        case GDK_KEY_KP_Home:
            d->move(Step::Ends, -1, shift);
            return TRUE;
        case GDK_KEY_End:
        case GDK_KEY_KP_End:
            d->move(Step::Ends, 1, shift);
            return TRUE;
        case GDK_KEY_BackSpace:
            if (ctrl) d->delete_word(-1);
            else d->backspace();
            return TRUE;
        case GDK_KEY_Delete:
        case GDK_KEY_KP_Delete:
            if (shift && !ctrl) d->cut();
            else if (ctrl) d->delete_word(1);
            else d->delete_chars_forward();
            return TRUE;
        case GDK_KEY_Insert:
        case GDK_KEY_KP_Insert:
            if (shift && !ctrl) d->paste(GDK_SELECTION_CLIPBOARD);
            else if (ctrl && !shift) d->copy();
            else if (!ctrl && !shift) d->toggle_overwrite();
            else break;
            return TRUE;
        default:
            break;
        }
        if (ctrl) {
            switch (gdk_keyval_to_lower(ev->keyval)) {
            case GDK_KEY_a:
                if (shift) d->set_positions(d->cursor, d->cursor);
                else d->select_all();
                return TRUE;
            case GDK_KEY_slash:
                d->select_all();
                return TRUE;
            case GDK_KEY_backslash:
                d->set_positions(d->cursor, d->cursor);
                return TRUE;
            case GDK_KEY_c:
                if (shift) break;
                d->copy();
                return TRUE;
            case GDK_KEY_x:
                if (shift) break;
                d->cut();
                return TRUE;
            case GDK_KEY_v:
                if (shift) break;
                d->paste(GDK_SELECTION_CLIPBOARD);
                return TRUE;
            default:
                break;
            }
        }
    }
    return GTK_WIDGET_CLASS(kada_line_edit_parent_class)->key_press_event(w, ev);
}

gboolean key_release(GtkWidget* w, GdkEventKey* ev) {
    Impl* d = impl_of(w);
    if (gtk_im_context_filter_keypress(d->im, ev)) {
        d->need_im_reset = true;
        return TRUE;
    }
    return GTK_WIDGET_CLASS(kada_line_edit_parent_class)->key_release_event(w, ev);
}

gboolean button_press(GtkWidget* w, GdkEventButton* ev) {
    if (ev->window != gtk_widget_get_window(w)) return FALSE;
    impl_of(w)->press(ev);
    return TRUE;
}

gboolean button_release(GtkWidget* w, GdkEventButton* ev) {
    if (ev->button == GDK_BUTTON_PRIMARY) impl_of(w)->stop_drag();
    return TRUE;
}

gboolean motion_notify(GtkWidget* w, GdkEventMotion* ev) {
    if (ev->window != gtk_widget_get_window(w)) return FALSE;
    impl_of(w)->motion(ev->x);
    return TRUE;
}

gboolean focus_in(GtkWidget* w, GdkEventFocus* ev) {
    Impl* d = impl_of(w);
    gtk_widget_queue_draw(w);
    d->need_im_reset = true;
    gtk_im_context_focus_in(d->im);
    d->pend_blink();
    return GTK_WIDGET_CLASS(kada_line_edit_parent_class)->focus_in_event(w, ev);
}

gboolean focus_out(GtkWidget* w, GdkEventFocus* ev) {
    Impl* d = impl_of(w);
    d->stop_drag();
    d->stop_blink();
    d->need_im_reset = true;
    d->reset_im();
    gtk_im_context_focus_out(d->im);
    gtk_widget_queue_draw(w);
    return GTK_WIDGET_CLASS(kada_line_edit_parent_class)->focus_out_event(w, ev);
}

// Tabbing in selects everything, as GtkEntry does; a click does not.
void grab_focus(GtkWidget* w) {
    Impl* d = impl_of(w);
    GTK_WIDGET_CLASS(kada_line_edit_parent_class)->grab_focus(w);
    gboolean select_on_focus = TRUE;
    g_object_get(gtk_widget_get_settings(w), "gtk-entry-select-on-focus", &select_on_focus, nullptr);
    if (!d->in_click && select_on_focus) d->select_all();
}

void style_updated(GtkWidget* w) {
    GTK_WIDGET_CLASS(kada_line_edit_parent_class)->style_updated(w);
    Impl* d = impl_of(w);
    d->style_changed();
    d->fix_scroll();
    gtk_widget_queue_resize(w);
}

gboolean popup_menu(GtkWidget* w) {
    impl_of(w)->popup_menu(nullptr);
    return TRUE;
}

void unmap(GtkWidget* w) {
    impl_of(w)->stop_drag();
    GTK_WIDGET_CLASS(kada_line_edit_parent_class)->unmap(w);
}

void kada_line_edit_class_init(KadaLineEditClass* klass) {
    GObjectClass* oc = G_OBJECT_CLASS(klass);
    oc->dispose = dispose;
    oc->finalize = finalize;
    GtkWidgetClass* wc = GTK_WIDGET_CLASS(klass);
    wc->realize = realize;
    wc->unrealize = unrealize;
    wc->unmap = unmap;
    wc->size_allocate = size_allocate;
    wc->get_preferred_width = preferred_width;
    wc->get_preferred_height = preferred_height;
    wc->draw = draw;
    wc->key_press_event = key_press;
    wc->key_release_event = key_release;
    wc->button_press_event = button_press;
    wc->button_release_event = button_release;
    wc->motion_notify_event = motion_notify;
    wc->focus_in_event = focus_in;
    wc->focus_out_event = focus_out;
    wc->grab_focus = grab_focus;
    wc->style_updated = style_updated;
    wc->popup_menu = popup_menu;
    gtk_widget_class_set_css_name(wc, "entry");
    gtk_widget_class_set_accessible_role(wc, ATK_ROLE_ENTRY);
}

Impl* checked(GtkWidget* w) {
    g_return_val_if_fail(is_line_edit(w), nullptr);
    return impl_of(w);
}

}  // namespace

GType line_edit_get_type() { return kada_line_edit_get_type(); }

GtkWidget* line_edit_new() { return GTK_WIDGET(g_object_new(kada_line_edit_get_type(), nullptr)); }

bool is_line_edit(GtkWidget* w) { return w && G_TYPE_CHECK_INSTANCE_TYPE(w, kada_line_edit_get_type()); }

std::string line_edit_text(GtkWidget* w) {
    Impl* d = checked(w);
    return d ? d->text.str() : std::string();
}

std::size_t line_edit_text_size(GtkWidget* w) {
    Impl* d = checked(w);
    return d ? d->size() : 0;
}

void line_edit_set_text(GtkWidget* w, std::string_view text) {
    Impl* d = checked(w);
    if (!d) return;
    std::string valid;
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        valid.assign(text);
    } else {
        g_autofree char* v = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
        valid = v;
    }
    if (valid == d->text.str()) return;
    d->reset_im();
    d->begin_change();
    gtk_editable_delete_text(d->editable(), 0, -1);
    gint pos = 0;
    gtk_editable_insert_text(d->editable(), valid.c_str(), static_cast<gint>(valid.size()), &pos);
    d->end_change();
}

std::size_t line_edit_cursor(GtkWidget* w) {
    Impl* d = checked(w);
    return d ? d->cursor : 0;
}

std::pair<std::size_t, std::size_t> line_edit_selection(GtkWidget* w) {
    Impl* d = checked(w);
    return d ? std::pair{d->sel_lo(), d->sel_hi()} : std::pair<std::size_t, std::size_t>{0, 0};
}

void line_edit_select(GtkWidget* w, std::size_t anchor, std::size_t cursor) {
    Impl* d = checked(w);
    if (!d) return;
    d->reset_im();
    d->set_positions(cursor, anchor);
}

std::size_t line_edit_scroll_offset(GtkWidget* w) {
    Impl* d = checked(w);
    return d ? d->view : 0;
}

void line_edit_set_colours(GtkWidget* w, const GdkRGBA& text, const GdkRGBA& background) {
    Impl* d = checked(w);
    if (!d) return;
    d->fg = text;
    d->bg = background;
    gtk_widget_queue_draw(w);
}

void line_edit_set_selection_colours(GtkWidget* w, const GdkRGBA& text, const GdkRGBA& background) {
    Impl* d = checked(w);
    if (!d) return;
    d->sel_fg = text;
    d->sel_bg = background;
    gtk_widget_queue_draw(w);
}

void line_edit_set_font(GtkWidget* w, const PangoFontDescription* font) {
    Impl* d = checked(w);
    if (!d) return;
    if (d->font) pango_font_description_free(d->font);
    d->font = font ? pango_font_description_copy(font) : nullptr;
    d->style_changed();
    d->fix_scroll();
    gtk_widget_queue_resize(w);
}

bool line_edit_overwrite(GtkWidget* w) {
    Impl* d = checked(w);
    return d && d->overwrite;
}

}  // namespace kada
