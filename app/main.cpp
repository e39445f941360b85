#include "app/frame.h"
#include "ui/handlers.h"
#include "ui/texts.h"

int main() {
    kada::Program program;
    program.template_data = kada::kWindowTemplateData;
    program.main_window = kada::kMainWindowNumber;
    program.handlers = kada::main_window_handlers();
    program.release_routine = [] {};
    return kada::run_program(program);
}
