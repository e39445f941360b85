// The main window's event handlers, bound by the names its template gives.
#pragma once

#include "ui/window.h"

namespace kada {

HandlerTable main_window_handlers();

// The playback request: whatever stands in the input box right now goes
// behind the play page prefix, and the browser box navigates there.
void request_playback(Window& main_window);

}  // namespace kada
