#include "ui/texts.h"

namespace kada {

std::string welcome_page_address() {
    std::string a = "http://";
    a += config::kPlayHost;
    a += "/img/1.html";
    return a;
}

std::string play_page_prefix() {
    std::string a = "http://";
    a += config::kPlayHost;
    a += "/play.php?str=";
    return a;
}

std::string play_page_address(std::string_view content) {
    std::string a = play_page_prefix();
    a.reserve(a.size() + content.size());
    a += content;
    return a;
}

}  // namespace kada
