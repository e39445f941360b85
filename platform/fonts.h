#pragma once

namespace kada::platform {

// Teaches fontconfig the Windows face names the window template uses, so
// that 宋体 comes out as a Song (Ming) style CJK face and no text is drawn
// as boxes. Must run before the first text is laid out.
void install_font_aliases();

}  // namespace kada::platform
