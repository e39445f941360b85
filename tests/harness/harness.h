// What every test of the real program needs: its own X server with a real
// window manager, a recording HTTP server standing in for the play service,
// the program itself with a fresh home, real input and a look at the screen.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef struct _XDisplay Display;

namespace kt {

using namespace std::chrono_literals;

// An X window id; 0 is no window.
using WindowId = unsigned long;

// Runs the calling test process in a network namespace of its own with a
// loopback interface, so that its recording server can take the play
// service's port whatever else runs on the machine. Gives false where that
// is not allowed; the tests then share the machine's loopback.
bool isolate_network();

// Polls until the predicate holds or the time is up.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s);

// A temporary directory removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

// Xvfb with openbox, on a display number of its own.
class XSession {
public:
    explicit XSession(int width = 1024, int height = 768);
    ~XSession();
    const std::string& display_name() const { return name_; }
    Display* dpy() const { return dpy_; }

    // Top-level client windows (those with WM_STATE) whose title is exactly
    // the given text.
    std::vector<WindowId> find_windows(const std::string& title, bool viewable_only = true);
    std::optional<WindowId> wait_window(const std::string& title, std::chrono::milliseconds timeout = 20s);
    std::string title(WindowId w);
    bool viewable(WindowId w);
    // The client area on the screen.
    Rect client_rect(WindowId w);
    // The outer rectangle: client area plus the frame the manager reports.
    Rect outer_rect(WindowId w);
    std::optional<std::array<long, 4>> frame_extents(WindowId w);
    // Whether the size hints pin the window to one size.
    bool fixed_size(WindowId w);
    // Asks the manager, as a pager would, to add a _NET_WM_STATE.
    void request_state(WindowId w, const std::string& state_atom);
    void iconify(WindowId w);

    // Real input through XTest.
    void move_pointer(int x, int y);
    void click(int x, int y, int button = 1);
    void key(const std::string& keysym_name, const std::vector<std::string>& modifiers = {});
    void type_ascii(const std::string& text);
    // Puts the text on the clipboard (xclip) and presses Ctrl+V.
    void paste(const std::string& text);

    // The root window's pixel, as 0xRRGGBB.
    std::uint32_t pixel(int x, int y);
    // A rectangle of the screen, row by row, as 0xRRGGBB.
    std::vector<std::uint32_t> pixels(const Rect& r);
    // Saves the whole screen as PNG; gives the path.
    std::string screenshot(const std::string& name);
    void sync();

private:
    std::string name_;
    pid_t xvfb_ = -1, wm_ = -1, clip_ = -1;
    Display* dpy_ = nullptr;
};

struct Request {
    std::string line;    // the request line exactly as received
    std::string target;  // the part between method and version
    // When the request's head was complete, for latency measurements.
    std::chrono::steady_clock::time_point received{};
};

// A real HTTP server on 127.0.0.1 that records every request line and
// answers with a page: a route's page where one matches the path's start,
// else a plain page.
class RecordingServer {
public:
    explicit RecordingServer(int port);
    ~RecordingServer();
    int port() const { return port_; }
    void route(const std::string& path_prefix, const std::string& html);
    std::vector<Request> requests();
    // Cheaper than requests().size() for tight polling.
    std::size_t request_count();
    std::vector<Request> requests_to(const std::string& path_prefix);
    bool wait_requests_to(const std::string& path_prefix, std::size_t count,
                          std::chrono::milliseconds timeout = 15s);

private:
    void serve();
    void handle(int fd);
    int listen_fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mu_;
    std::vector<Request> requests_;
    std::vector<std::pair<std::string, std::string>> routes_;
    bool stop_ = false;
};

// A run of a program under test, with HOME, TMPDIR and the XDG folders in a
// fresh directory of its own, and its standard error collected.
class Process {
public:
    Process(const XSession* x, const std::string& exe, const std::vector<std::string>& args = {},
            const std::map<std::string, std::string>& env = {}, const std::string& cwd = {});
    ~Process();
    pid_t pid() const { return pid_; }
    const TempDir& home() const { return home_; }
    // The exit code, or nullopt if it is still running after the timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = 15s);
    bool running();
    std::string stderr_text();
    std::string stdout_text();
    void kill_all();

private:
    TempDir home_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string err_path_, out_path_;
};

// Paths of the programs under test, set by the build.
std::string program_path();       // build/kada-vod
std::string fault_program_path(); // the program with injected faults
int play_service_port();          // the port of the built-in play host

// The main window's title.
inline const std::string kTitle = "咔嗒云点播 1.0  by 咔嗒网";

std::string read_file(const std::string& path);

}  // namespace kt
