// The error box and the process exit.
#pragma once

#include <string_view>

namespace kada::platform {

// Whether a display was opened; without one every box goes to standard error
// alone.
void set_display_available(bool available);
bool display_available();

// A modal error box with no parent, the error icon and one OK button; waits
// until it is closed. The text also goes to standard error, where it is all
// a user without a display gets.
void show_error_box(std::string_view title, std::string_view text);

// Ends the process at once: no exit handler, no static destructor runs.
[[noreturn]] void exit_process(int code);

// Writes to standard error without allocating.
void write_stderr(std::string_view text);

}  // namespace kada::platform
