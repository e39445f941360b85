#include "ui/handlers.h"

#include "app/frame.h"
#include "ui/texts.h"

namespace kada {

void request_playback(Window& w) {
    auto* box = w.control_as<EditBox>("编辑框1");
    auto* viewer = w.control_as<HtmlViewer>("超文本浏览框1");
    if (!box || !viewer) return;
    viewer->set_address(play_page_address(box->text()));
}

HandlerTable main_window_handlers() {
    HandlerTable h;
    // Skinning and the welcome balloon are what the creation-complete
    // handler is for; until they exist it has nothing to do.
    h["_启动窗口_创建完毕"] = [] {};
    h["_按钮1_被单击"] = [] {
        if (Window* w = loaded_window(kMainWindowNumber)) request_playback(*w);
    };
    return h;
}

}  // namespace kada
