#include "app/report.h"

#include <cstdio>

namespace kada {

std::string fatal_report_text(std::string_view message, std::int32_t code) {
    std::string text = "运行时出错!\r\n\r\n";
    if (code != 0) {
        text += "错误代码：";
        text += std::to_string(code);
        text += "\r\n\r\n";
    }
    if (!message.empty()) {
        text += "错误信息：";
        text += message;
        text += "\r\n";
    }
    return text;
}

std::string_view message_for_code(std::int32_t code) {
    switch (code) {
    case kStackErrorCode:
        return "调用DLL命令后发现堆栈错误";
    default:
        return {};
    }
}

std::size_t format_allocation_failure(char* out, std::size_t cap, std::size_t size) {
    if (cap == 0) return 0;
    int n = std::snprintf(out, cap, "分配 %zu 字节内存失败!", size);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < cap ? static_cast<std::size_t>(n) : cap - 1;
}

std::string allocation_failure_message(std::size_t size) {
    char buf[96];
    std::size_t n = format_allocation_failure(buf, sizeof buf, size);
    return std::string(buf, n);
}

std::string missing_export_message(std::string_view library, std::string_view export_name) {
    std::string text = "无法找到指定DLL库文件“";
    text += library;
    text += "”中的输出命令“";
    text += export_name;
    text += "”";
    return text;
}

}  // namespace kada
