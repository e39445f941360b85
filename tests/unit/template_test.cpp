#include <gtest/gtest.h>

#include "ui/template.h"
#include "ui/texts.h"

namespace {

const kada::WindowTemplate& main_window() {
    static auto set = kada::parse_templates(kada::kWindowTemplateData);
    EXPECT_TRUE(set.has_value());
    const kada::WindowTemplate* w = set->find(kada::kMainWindowNumber);
    EXPECT_NE(w, nullptr);
    return *w;
}

TEST(MainWindowTemplate, WindowProperties) {
    const auto& w = main_window();
    EXPECT_EQ(w.text("title"), "咔嗒云点播 1.0  by 咔嗒网");
    EXPECT_EQ(w.width, 900);
    EXPECT_EQ(w.height, 600);
    EXPECT_TRUE(w.visible);
    EXPECT_EQ(w.text("border"), "fixed");
    EXPECT_FALSE(w.flag("minbox", true));
    EXPECT_FALSE(w.flag("maxbox", true));
    EXPECT_TRUE(w.flag("esc_closes", false));
    ASSERT_EQ(w.events.size(), 1u);
    EXPECT_EQ(w.events.begin()->first, "创建完毕");
}

TEST(MainWindowTemplate, ControlsInStackingOrderWithPlacesAndTabStops) {
    struct Expected {
        const char* name;
        const char* kind;
        kada::Rect rect;
        bool visible, tab_stop;
    };
    const Expected expected[] = {
        {"气球提示框1", "Q_tip", {16, 24, 24, 16}, false, false},
        {"超级链接框2", "HyperLinker", {278, 532, 80, 24}, true, false},
        {"超级链接框1", "HyperLinker", {176, 532, 96, 24}, true, false},
        {"标签4", "Label", {80, 536, 88, 16}, true, false},
        {"标签3", "Label", {0, 528, 872, 40}, true, false},
        {"标签2", "Label", {40, 8, 104, 24}, true, false},
        {"标签1", "Label", {872, 40, 24, 520}, true, false},
        {"超文本浏览框1", "HtmlViewer", {18, 40, 873, 520}, true, false},
        {"按钮1", "Button", {654, 3, 152, 32}, true, true},
        {"编辑框1", "EditBox", {154, 8, 438, 25}, true, true},
    };
    const auto& w = main_window();
    ASSERT_EQ(w.controls.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& c = w.controls[i];
        EXPECT_EQ(c.name, expected[i].name) << i;
        EXPECT_EQ(c.kind, expected[i].kind) << c.name;
        EXPECT_EQ(c.rect, expected[i].rect) << c.name;
        EXPECT_EQ(c.visible, expected[i].visible) << c.name;
        EXPECT_EQ(c.tab_stop, expected[i].tab_stop) << c.name;
    }
    EXPECT_EQ(w.control("编辑框1")->number, 0x16010004u);
    EXPECT_EQ(w.control("按钮1")->number, 0x16010005u);
    EXPECT_EQ(w.control("超文本浏览框1")->number, 0x16010009u);
    EXPECT_EQ(w.control("气球提示框1")->number, 0x16010025u);
    EXPECT_EQ(w.control("编辑框1")->tab_order, w.control("按钮1")->tab_order);
}

TEST(MainWindowTemplate, TextsColoursAndFonts) {
    const auto& w = main_window();
    EXPECT_EQ(w.control("按钮1")->text("caption"), "云 点 播");
    EXPECT_EQ(w.control("按钮1")->font(), (kada::FontSpec{"宋体", 19, 400, false, false}));
    EXPECT_EQ(w.control("按钮1")->events.at("被单击"), "_按钮1_被单击");
    EXPECT_EQ(w.control("标签2")->text("text"), "视频播放地址");
    EXPECT_EQ(w.control("标签2")->font(), (kada::FontSpec{"宋体", 16, 400}));
    EXPECT_EQ(w.control("标签2")->colour("colour"), (kada::Rgb{0, 0, 0}));
    EXPECT_EQ(w.control("标签4")->text("text"), "咔嗒网制作");
    EXPECT_EQ(w.control("标签4")->colour("colour"), (kada::Rgb{255, 0, 0}));
    EXPECT_EQ(w.control("标签3")->text("text"), " ");
    EXPECT_EQ(w.control("标签1")->text("text"), "");
    EXPECT_FALSE(w.control("标签1")->font().has_value());
    EXPECT_FALSE(w.control("标签1")->colour("background").has_value());
    EXPECT_EQ(w.control("编辑框1")->text("text"), "");
    EXPECT_EQ(w.control("编辑框1")->colour("colour"), (kada::Rgb{0, 0, 0}));
    EXPECT_EQ(w.control("编辑框1")->colour("background"), (kada::Rgb{255, 255, 255}));
    const auto* viewer = w.control("超文本浏览框1");
    EXPECT_EQ(viewer->text("address"), kada::welcome_page_address());
    EXPECT_EQ(viewer->integer("text_size", -1), 2);
    EXPECT_FALSE(viewer->flag("offline", true));
    EXPECT_FALSE(viewer->flag("silent", true));
    EXPECT_EQ(w.control("超级链接框2")->text("caption"), "官方微博");
    EXPECT_EQ(w.control("超级链接框2")->colour("normal_colour"), (kada::Rgb{255, 0, 0}));
    EXPECT_EQ(w.control("超级链接框1")->text("caption"), "");
    EXPECT_EQ(w.control("超级链接框1")->colour("normal_colour"), (kada::Rgb{0, 0, 255}));
    EXPECT_EQ(w.control("超级链接框1")->text("target"), kada::config::kSiteHost);
    EXPECT_EQ(w.control("超级链接框2")->text("target"), kada::config::kMicroblogUrl);
}

TEST(TemplateParser, ReadsQuotedValuesEscapesAndEvents) {
    auto set = kada::parse_templates(
        "# comment\n\nwindow 0x10 width=10 height=20 title=\"a \\\"b\\\" \\x41\\r\\n\" on:x=h\n"
        "control name=c kind=Label left=-5 top=2 width=3 height=4 tabstop=1 text=\"\"\n");
    ASSERT_TRUE(set);
    const auto* w = set->find(0x10);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->text("title"), "a \"b\" A\r\n");
    EXPECT_EQ(w->events.at("x"), "h");
    ASSERT_EQ(w->controls.size(), 1u);
    EXPECT_EQ(w->controls[0].rect, (kada::Rect{-5, 2, 3, 4}));
    EXPECT_TRUE(w->controls[0].tab_stop);
    EXPECT_TRUE(w->controls[0].visible);
    EXPECT_EQ(set->find(0x11), nullptr);
}

TEST(TemplateParser, RefusesBrokenDataAndSaysWhere) {
    const std::string ok_window = "window 1 width=1 height=1\n";
    const std::string ok_control = "control name=a kind=Label left=0 top=0 width=1 height=1";
    const struct {
        std::string data;
        int line;
    } cases[] = {
        {"", 0},
        {"window 1 width=1 height=1 title=\"open\n", 1},
        {"window x width=1 height=1\n", 1},
        {"window 1 height=1\n", 1},
        {"window 1 width=0 height=1\n", 1},
        {"widget 1\n", 1},
        {ok_control + "\n", 1},
        {ok_window + "control kind=Label left=0 top=0 width=1 height=1\n", 2},
        {ok_window + ok_control + " colour=300,0,0\n", 2},
        {ok_window + ok_control + " font=\"宋体|abc|400\"\n", 2},
        {ok_window + ok_control + " visible=yes\n", 2},
        {ok_window + ok_control + " text=\"\\q\"\n", 2},
        {ok_window + ok_control + " text=a text=b\n", 2},
        {ok_window + ok_control + " on:x=\n", 2},
        {ok_window + ok_control + "\n" + ok_control + "\n", 3},
        {ok_window + ok_window, 2},
        {std::string("window 1 width=1 height=1\0", 26), 0},
    };
    for (const auto& c : cases) {
        kada::TemplateError err;
        EXPECT_FALSE(kada::parse_templates(c.data, &err).has_value()) << c.data;
        EXPECT_EQ(err.line, c.line) << c.data << " / " << err.what;
        EXPECT_FALSE(err.what.empty());
    }
}

TEST(TemplateParser, ValueParsers) {
    EXPECT_EQ(kada::parse_rgb("49,106,197"), (kada::Rgb{49, 106, 197}));
    EXPECT_FALSE(kada::parse_rgb("1,2"));
    EXPECT_FALSE(kada::parse_rgb("1,2,-3"));
    EXPECT_FALSE(kada::parse_rgb("1,2,3,4"));
    EXPECT_EQ(kada::parse_font("汉仪蝶语体简|16|400|0|0"), (kada::FontSpec{"汉仪蝶语体简", 16, 400}));
    EXPECT_EQ(kada::parse_font("A|9|700|1|1"), (kada::FontSpec{"A", 9, 700, true, true}));
    EXPECT_FALSE(kada::parse_font("|9|700"));
    EXPECT_FALSE(kada::parse_font("A|0|700"));
    EXPECT_FALSE(kada::parse_font("A|9|700|1"));
    EXPECT_EQ(kada::parse_integer("0x52010001"), 0x52010001LL);
    EXPECT_EQ(kada::parse_integer("-50"), -50);
    EXPECT_FALSE(kada::parse_integer("12a"));
    EXPECT_FALSE(kada::parse_integer("-"));
}

}  // namespace
