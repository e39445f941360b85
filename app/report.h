// Texts of the fatal error report. Kept free of any toolkit so the exact
// bytes can be checked without a display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kada {

inline constexpr std::string_view kErrorBoxTitle = "错误";
inline constexpr std::string_view kTemplateUnreadable = "载入窗口模板数据段出错!";
inline constexpr std::string_view kStartWindowFailed = "载入启动窗口失败";
inline constexpr std::int32_t kStackErrorCode = 6;

// The report: headline, then the code line if there is a code, then the
// message line if there is a message, each block closed with CR LF.
std::string fatal_report_text(std::string_view message, std::int32_t code);

// The message that goes with a code of the by-code report; empty when the
// code is not one the program raises.
std::string_view message_for_code(std::int32_t code);

// "分配 N 字节内存失败!" for a request of N bytes. Writes into a caller's
// buffer so it can be formed when the heap has nothing left.
std::size_t format_allocation_failure(char* out, std::size_t cap, std::size_t size);
std::string allocation_failure_message(std::size_t size);

// The library message: "无法找到指定DLL库文件“lib”中的输出命令“export”".
std::string missing_export_message(std::string_view library, std::string_view export_name);

}  // namespace kada
