#include "platform/fonts.h"

#include <fontconfig/fontconfig.h>

namespace kada::platform {

namespace {

// Song faces first for 宋体 (serif CJK), a brush face for the decorative
// 汉仪蝶语体简, and the CJK sans faces last so any installed CJK font wins
// over boxes.
constexpr const char kAliases[] = R"(<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <alias binding="same">
    <family>宋体</family>
    <prefer>
      <family>AR PL UMing CN</family>
      <family>AR PL SungtiL GB</family>
      <family>Noto Serif CJK SC</family>
      <family>Source Han Serif SC</family>
      <family>AR PL UKai CN</family>
      <family>Noto Sans CJK SC</family>
      <family>WenQuanYi Zen Hei</family>
      <family>Droid Sans Fallback</family>
    </prefer>
  </alias>
  <alias binding="same">
    <family>SimSun</family>
    <prefer><family>宋体</family></prefer>
  </alias>
  <alias binding="same">
    <family>汉仪蝶语体简</family>
    <prefer>
      <family>AR PL UKai CN</family>
      <family>AR PL KaitiM GB</family>
      <family>宋体</family>
    </prefer>
  </alias>
</fontconfig>
)";

}  // namespace

void install_font_aliases() {
    FcConfig* config = FcConfigGetCurrent();
    if (!config) return;
    FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8*>(kAliases), FcFalse);
}

}  // namespace kada::platform
