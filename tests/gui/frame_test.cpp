#include <unistd.h>

#include <filesystem>

#include "gui/fixture.h"

namespace {

using namespace std::chrono_literals;

class Frame : public ProgramTest {};

enum class CloseBy { CloseBox, AltF4, Escape };

class FrameClose : public ProgramTest, public ::testing::WithParamInterface<CloseBy> {};

TEST_P(FrameClose, ClosingTheWindowEndsWithZeroAfterAnOrderlyShutdown) {
    kt::WindowId w = launch(kt::fault_program_path());
    ASSERT_NE(w, 0u);
    switch (GetParam()) {
    case CloseBy::CloseBox: {
        kt::Rect outer = x->outer_rect(w);
        auto extents = x->frame_extents(w).value();
        // openbox puts the close button at the right end of the title bar.
        x->click(outer.x + outer.width - 10, outer.y + static_cast<int>(extents[2]) / 2);
        break;
    }
    case CloseBy::AltF4:
        x->key("F4", {"Alt_L"});
        break;
    case CloseBy::Escape:
        x->key("Escape");
        break;
    }
    auto code = app->wait_exit(15s);
    ASSERT_TRUE(code.has_value()) << "still running";
    EXPECT_EQ(*code, 0);
    std::string err = app->stderr_text();
    EXPECT_NE(err.find("release routine ran"), std::string::npos) << err;
    EXPECT_NE(err.find("libraries unloaded"), std::string::npos) << err;
    EXPECT_LT(err.find("release routine ran"), err.find("libraries unloaded"));
}

INSTANTIATE_TEST_SUITE_P(Ways, FrameClose, ::testing::Values(CloseBy::CloseBox, CloseBy::AltF4, CloseBy::Escape),
                         [](const auto& info) {
                             switch (info.param) {
                             case CloseBy::CloseBox: return std::string("CloseBox");
                             case CloseBy::AltF4: return std::string("AltF4");
                             default: return std::string("Escape");
                             }
                         });

TEST_F(Frame, RealProgramExitsWithZeroWhenClosed) {
    kt::WindowId w = launch();
    ASSERT_NE(w, 0u);
    x->key("F4", {"Alt_L"});
    auto code = app->wait_exit(15s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
}

struct FatalCase {
    const char* fault;
    std::string report;
};

void PrintTo(const FatalCase& c, std::ostream* os) { *os << c.fault; }

class FrameFatal : public ProgramTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(FrameFatal, ShowsTheReportBeforeTheWindowAndEndsWith255) {
    start();
    app = std::make_unique<kt::Process>(x.get(), kt::fault_program_path(), std::vector<std::string>{GetParam().fault});
    auto box = x->wait_window("错误");
    ASSERT_TRUE(box.has_value()) << app->stderr_text();
    // The main window has never been shown: it is not on screen now, and
    // it was never mapped before the box either.
    EXPECT_TRUE(x->find_windows(kt::kTitle, true).empty());
    x->screenshot(std::string("fatal-") + GetParam().fault);
    EXPECT_TRUE(app->running()) << "the box must wait for OK";
    EXPECT_EQ(app->stderr_text(), GetParam().report);

    x->key("Return");
    auto code = app->wait_exit(15s);
    ASSERT_TRUE(code.has_value()) << "still running after OK";
    EXPECT_EQ(*code, 255);
    std::string err = app->stderr_text();
    EXPECT_EQ(err.find("release routine ran"), std::string::npos) << err;
    EXPECT_NE(err.find("libraries unloaded"), std::string::npos) << err;
}

const std::string kHead = "运行时出错!\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, FrameFatal,
    ::testing::Values(FatalCase{"bad-template", kHead + "错误信息：载入窗口模板数据段出错!\r\n"},
                      FatalCase{"unknown-handler", kHead + "错误信息：载入窗口模板数据段出错!\r\n"},
                      FatalCase{"no-main-window", kHead + "错误信息：载入启动窗口失败\r\n"},
                      FatalCase{"bad-control", kHead + "错误信息：载入启动窗口失败\r\n"},
                      FatalCase{"fatal-in-create",
                                kHead + "错误代码：6\r\n\r\n错误信息：调用DLL命令后发现堆栈错误\r\n"},
                      FatalCase{"message-in-create", kHead + "错误代码：-7\r\n\r\n错误信息：自定义的错误\r\n"},
                      FatalCase{"alloc-in-create", kHead + "错误信息：分配 100 字节内存失败!\r\n"}),
    [](const auto& info) {
        std::string n = info.param.fault;
        for (char& c : n)
            if (c == '-') c = '_';
        return n;
    });

TEST_F(Frame, HandlerThatDestroysTheWindowEndsAtOnceWithNothingShown) {
    start();
    app = std::make_unique<kt::Process>(x.get(), kt::fault_program_path(), std::vector<std::string>{"destroy-in-create"});
    bool ever_shown = false;
    auto code = std::optional<int>{};
    kt::wait_until(
        [&] {
            ever_shown = ever_shown || !x->find_windows(kt::kTitle, true).empty();
            return !app->running();
        },
        20s);
    code = app->wait_exit(0ms);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_FALSE(ever_shown);
    EXPECT_NE(app->stderr_text().find("release routine ran"), std::string::npos);
}

TEST_F(Frame, CurrentDirectoryIsTheProgramDirectoryWhereverStarted) {
    kt::TempDir elsewhere;
    kt::WindowId w = launch(kt::program_path(), {"--ignored", "arguments"}, elsewhere.path());
    ASSERT_NE(w, 0u);
    std::string cwd = std::filesystem::read_symlink("/proc/" + std::to_string(app->pid()) + "/cwd").string();
    EXPECT_EQ(cwd, std::filesystem::path(kt::program_path()).parent_path().string());
}

TEST(FrameNoDisplay, ReportGoesToStandardErrorAndEndsWith255) {
    kt::Process p(nullptr, kt::program_path(), {}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
    auto code = p.wait_exit(20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 255);
    std::string err = p.stderr_text();
    EXPECT_NE(err.find("运行时出错!\r\n\r\n错误信息：载入启动窗口失败\r\n"), std::string::npos) << err;
}

TEST_F(Frame, UnwritableTemporaryAndHomeDirectoriesDoNotStopStartUp) {
    kt::WindowId w = launch(kt::program_path(), {}, {}, {{"HOME", "/proc/nonexistent"}, {"TMPDIR", "/proc/nonexistent"}});
    ASSERT_NE(w, 0u);
    EXPECT_TRUE(x->viewable(w));
    EXPECT_TRUE(app->running());
}

}  // namespace
