#include <gtest/gtest.h>

#include "app/report.h"

namespace {

struct ReportCase {
    const char* what;
    std::string message;
    int code;
    std::string expected;
};

TEST(FatalReportText, BuildsEachLineOnlyWhenItHasContent) {
    const ReportCase cases[] = {
        {"message alone", "载入启动窗口失败", 0, "运行时出错!\r\n\r\n错误信息：载入启动窗口失败\r\n"},
        {"code alone", "", 6, "运行时出错!\r\n\r\n错误代码：6\r\n\r\n"},
        {"code and message", "调用DLL命令后发现堆栈错误", 6,
         "运行时出错!\r\n\r\n错误代码：6\r\n\r\n错误信息：调用DLL命令后发现堆栈错误\r\n"},
        {"negative code", "x", -1, "运行时出错!\r\n\r\n错误代码：-1\r\n\r\n错误信息：x\r\n"},
        {"lowest code", "", INT32_MIN, "运行时出错!\r\n\r\n错误代码：-2147483648\r\n\r\n"},
        {"neither", "", 0, "运行时出错!\r\n\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(kada::fatal_report_text(c.message, c.code), c.expected) << c.what;
}

TEST(FatalReportText, ByCodeTakesTheTableMessage) {
    EXPECT_EQ(kada::message_for_code(6), "调用DLL命令后发现堆栈错误");
    EXPECT_EQ(kada::message_for_code(5), "");
    EXPECT_EQ(kada::fatal_report_text(kada::message_for_code(6), 6),
              "运行时出错!\r\n\r\n错误代码：6\r\n\r\n错误信息：调用DLL命令后发现堆栈错误\r\n");
}

TEST(FatalReportText, AllocationMessageNamesTheRequestedSize) {
    EXPECT_EQ(kada::allocation_failure_message(100), "分配 100 字节内存失败!");
    EXPECT_EQ(kada::allocation_failure_message(0), "分配 0 字节内存失败!");
    EXPECT_EQ(kada::allocation_failure_message(SIZE_MAX), "分配 18446744073709551615 字节内存失败!");
    // Formed without the heap: a buffer too small gets a cut, terminated text.
    char small[8];
    std::size_t n = kada::format_allocation_failure(small, sizeof small, 100);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(small[7], '\0');
}

TEST(FatalReportText, LibraryMessageQuotesBothNames) {
    EXPECT_EQ(kada::missing_export_message("SkinH_EL.dll", "SkinH_Attach_Ex"),
              "无法找到指定DLL库文件“SkinH_EL.dll”中的输出命令“SkinH_Attach_Ex”");
}

}  // namespace
