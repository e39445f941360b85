// The program with one fault put in on purpose, chosen by the first
// argument, so that the tests can watch the frame report it. Everything but
// the fault is the real program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtk/gtk.h>

#include "app/frame.h"
#include "app/report.h"
#include "platform/message_box.h"
#include "ui/handlers.h"
#include "ui/texts.h"

namespace {

// Refuses exactly the requests of one size, and serves everything else from
// the C heap.
class RefusingHeap : public kada::Heap {
public:
    explicit RefusingHeap(std::size_t refused) : refused_(refused) {}
    void* alloc(std::size_t size) override { return size == refused_ ? nullptr : std::malloc(size ? size : 1); }
    void free(void* block) override { std::free(block); }

private:
    std::size_t refused_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string fault = argc > 1 ? argv[1] : "none";
    static std::string data(kada::kWindowTemplateData);
    kada::Program program;
    program.main_window = kada::kMainWindowNumber;
    program.handlers = kada::main_window_handlers();
    program.release_routine = [] { kada::platform::write_stderr("release routine ran\n"); };
    program.unload_libraries = [] { kada::platform::write_stderr("libraries unloaded\n"); };
    auto& created = program.handlers["_启动窗口_创建完毕"];

    if (fault == "bad-template") {
        data = "window 0x52010001 title=\"unterminated\n";
    } else if (fault == "unknown-handler") {
        auto at = data.find("on:被单击=_按钮1_被单击");
        data.replace(at, std::strlen("on:被单击=_按钮1_被单击"), "on:被单击=_没有这个处理程序");
    } else if (fault == "no-main-window") {
        data.replace(data.find("window 0x52010001"), std::strlen("window 0x52010001"), "window 0x52010002");
    } else if (fault == "bad-control") {
        data.replace(data.find("kind=Label"), std::strlen("kind=Label"), "kind=Gizmo");
    } else if (fault == "fatal-in-create") {
        created = [] { kada::fatal_error_by_code(kada::kStackErrorCode); };
    } else if (fault == "message-in-create") {
        created = [] { kada::fatal_error("自定义的错误", -7); };
    } else if (fault == "alloc-in-create") {
        created = [] {
            static RefusingHeap heap(100);
            kada::set_heap(&heap);
            // Kept where the compiler cannot see it unused, so the
            // allocation really happens.
            static char* volatile block;
            block = new char[100];
            delete[] block;
        };
    } else if (fault == "destroy-in-create") {
        created = [] { kada::loaded_window(kada::kMainWindowNumber)->destroy(); };
    } else if (fault != "none") {
        std::fprintf(stderr, "unknown fault %s\n", fault.c_str());
        return 2;
    }
    program.template_data = data;
    return kada::run_program(program);
}
