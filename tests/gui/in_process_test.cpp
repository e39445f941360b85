// The main window built inside the test process, so that what the program
// hands to the browser engine can be read back exactly.
#include <gtest/gtest.h>

#include <cstdlib>

#include <webkit2/webkit2.h>

#include "harness/harness.h"
#include "platform/fonts.h"
#include "ui/handlers.h"
#include "ui/line_edit.h"
#include "ui/texts.h"
#include "ui/window.h"

namespace {

using namespace std::chrono_literals;

// GTK connects to one display for the life of the process, so the suite
// shares one X session.
class InProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        x = new kt::XSession();
        setenv("DISPLAY", x->display_name().c_str(), 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        gdk_set_allowed_backends("x11");
        gtk_ok = gtk_init_check(nullptr, nullptr);
    }
    static void TearDownTestSuite() {
        // Nothing touches the display after this.
        delete x;
        x = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(gtk_ok);
        auto set = kada::parse_templates(kada::kWindowTemplateData);
        ASSERT_TRUE(set);
        templates = std::move(*set);
        window = kada::Window::create(*templates.find(kada::kMainWindowNumber), kada::main_window_handlers());
        ASSERT_TRUE(window);
        box = window->control_as<kada::EditBox>("编辑框1");
        viewer = window->control_as<kada::HtmlViewer>("超文本浏览框1");
        ASSERT_TRUE(box && viewer);
    }
    void TearDown() override {
        window.reset();
        spin(std::chrono::milliseconds(50));
    }

    void spin(std::chrono::milliseconds d) {
        auto end = std::chrono::steady_clock::now() + d;
        while (std::chrono::steady_clock::now() < end) {
            while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
            std::this_thread::sleep_for(5ms);
        }
    }

    static inline kt::XSession* x = nullptr;
    static inline bool gtk_ok = false;
    kada::TemplateSet templates;
    std::unique_ptr<kada::Window> window;
    kada::EditBox* box = nullptr;
    kada::HtmlViewer* viewer = nullptr;
};

TEST_F(InProcess, TheBrowserBoxStartsAtTheWelcomePageWithItsStoredSettings) {
    EXPECT_EQ(viewer->address(), kada::welcome_page_address());
    EXPECT_EQ(viewer->text_size(), 2);
    EXPECT_FALSE(viewer->offline());
    EXPECT_FALSE(viewer->silent());
    auto* view = WEBKIT_WEB_VIEW(viewer->widget());
    EXPECT_DOUBLE_EQ(webkit_web_view_get_zoom_level(view), 1.0);
    EXPECT_TRUE(webkit_settings_get_zoom_text_only(webkit_web_view_get_settings(view)));
    EXPECT_STREQ(webkit_web_view_get_uri(view), kada::welcome_page_address().c_str());
    EXPECT_EQ(box->text(), "");
}

TEST_F(InProcess, ThePlayAddressHandedToTheEngineIsPrefixAndContentExactly) {
    const std::string contents[] = {
        "", " http://example.com/a.mp4 ", "http://example.com/v?a=1&b=2#frag",
        "ed2k://|file|a b.avi|1|0123456789ABCDEF0123456789ABCDEF|/", "magnet:?xt=urn:btih:ab&dn=x:y",
        "thunder://QUFodHRwOi8vYS9iWlo=", "hello", "http://例子.com/视频.mp4", "\x01\x02\t\x1b",
        std::string(100000, 'z'),
    };
    for (const auto& c : contents) {
        box->set_text(c);
        kada::request_playback(*window);
        EXPECT_EQ(box->text().size(), c.size());
        EXPECT_TRUE(viewer->address() == kada::play_page_prefix() + c) << "content of " << c.size() << " bytes";
        EXPECT_NE(webkit_web_view_get_uri(WEBKIT_WEB_VIEW(viewer->widget())), nullptr);
    }
}

TEST_F(InProcess, TheInputBoxHoldsTextOfAnyLengthAndEditsIt) {
    std::string big(3u << 20, 'q');
    big += "链接";
    box->set_text(big);
    EXPECT_EQ(box->text(), big);
    GtkEditable* e = GTK_EDITABLE(box->widget());
    gtk_editable_delete_text(e, 0, 3);
    gint pos = 1;
    gtk_editable_insert_text(e, "中x", -1, &pos);
    EXPECT_EQ(box->text(), "q中x" + big.substr(4));
    gtk_editable_delete_text(e, 0, -1);
    EXPECT_EQ(box->text(), "");
    EXPECT_EQ(kada::line_edit_text_size(box->widget()), 0u);
}

TEST_F(InProcess, ThePlayButtonCaptionUsesTheTemplateFont) {
    GtkWidget* button = window->control("按钮1")->widget();
    GtkWidget* label = gtk_bin_get_child(GTK_BIN(button));
    ASSERT_TRUE(GTK_IS_LABEL(label));
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label)), "云 点 播");
    PangoFontDescription* desc = nullptr;
    gtk_style_context_get(gtk_widget_get_style_context(label), gtk_widget_get_state_flags(label), "font", &desc,
                          nullptr);
    ASSERT_NE(desc, nullptr);
    EXPECT_STREQ(pango_font_description_get_family(desc), "宋体");
    // GTK keeps CSS sizes in points: 19 px at the usual 96 dots per inch.
    double size = double(pango_font_description_get_size(desc)) / PANGO_SCALE;
    if (!pango_font_description_get_size_is_absolute(desc)) size = size * 96.0 / 72.0;
    EXPECT_NEAR(size, 19.0, 0.01);
    EXPECT_EQ(pango_font_description_get_weight(desc), PANGO_WEIGHT_NORMAL);
    pango_font_description_free(desc);
    EXPECT_FALSE(gtk_widget_get_can_default(button));
}

TEST_F(InProcess, TextSizeLevelsAreClampedToFiveSteps) {
    auto* view = WEBKIT_WEB_VIEW(viewer->widget());
    double last = 0;
    for (int level = 0; level <= 4; ++level) {
        viewer->set_text_size(level);
        double z = webkit_web_view_get_zoom_level(view);
        EXPECT_GT(z, last) << level;
        last = z;
    }
    viewer->set_text_size(9);
    EXPECT_EQ(viewer->text_size(), 4);
    viewer->set_text_size(-3);
    EXPECT_EQ(viewer->text_size(), 0);
}

TEST_F(InProcess, OfflineFetchesNothingFromTheNetwork) {
    kt::RecordingServer server(0);
    std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    viewer->set_offline(true);
    viewer->set_address(base + "/offline");
    spin(1500ms);
    EXPECT_TRUE(server.requests_to("/offline").empty());
    viewer->set_offline(false);
    viewer->set_address(base + "/online");
    bool got = false;
    auto end = std::chrono::steady_clock::now() + 15s;
    while (!got && std::chrono::steady_clock::now() < end) {
        spin(50ms);
        got = !server.requests_to("/online").empty();
    }
    EXPECT_TRUE(got);
}

}  // namespace
