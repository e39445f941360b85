// The program's own constant texts and the addresses built from the play
// service host.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kada_config.h"

namespace kada {

inline constexpr std::uint32_t kMainWindowNumber = 0x52010001;

inline constexpr std::string_view kWindowTitle = "咔嗒云点播 1.0  by 咔嗒网";

inline constexpr std::string_view kWelcomeText =
    "云点播支持普通的链接格式例如http、ftp开头\r\n"
    "的网址和电驴格式例如ed2k开头的网址以及迅雷\r\n"
    "格式例如thunder开头的网址";

// The window template data compiled into the program.
extern const std::string_view kWindowTemplateData;

std::string welcome_page_address();
std::string play_page_prefix();

// The play page address for whatever stands in the input box: the prefix
// followed by the content, byte for byte, nothing checked or changed.
std::string play_page_address(std::string_view content);

}  // namespace kada
