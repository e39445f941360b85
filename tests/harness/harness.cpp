#include "harness.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace kt {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool isolate_network() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
}

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "kada-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Files a test made read-only are still removed.
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

namespace {

pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& out, const std::string& err, int keep_fd = -1, const std::string& cwd = {},
            const std::string& stdin_path = {}) {
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        int in = open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
        if (in >= 0) dup2(in, 0);
        int o = open(out.empty() ? "/dev/null" : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o >= 0) dup2(o, 1);
        int e = open(err.empty() ? "/dev/null" : err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (e >= 0) dup2(e, 2);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != keep_fd) close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

void stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(-pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            kill(-pid, SIGKILL);
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

std::string window_name(Display* dpy, Window w) {
    Atom net_name = XInternAtom(dpy, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    std::string name;
    if (XGetWindowProperty(dpy, w, net_name, 0, 4096, False, utf8, &type, &format, &n, &after, &data) == Success &&
        data) {
        name.assign(reinterpret_cast<char*>(data), n);
        XFree(data);
        return name;
    }
    char* wm = nullptr;
    if (XFetchName(dpy, w, &wm) && wm) {
        name = wm;
        XFree(wm);
    }
    return name;
}

int ignore_errors(Display*, XErrorEvent*) { return 0; }

}  // namespace

XSession::XSession(int width, int height) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    std::string geometry = std::to_string(width) + "x" + std::to_string(height) + "x24";
    xvfb_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", geometry, "-nolisten", "tcp",
                   "-noreset"},
                  {}, "", "", fds[1]);
    close(fds[1]);
    std::string number;
    char c;
    struct pollfd p {fds[0], POLLIN, 0};
    while (poll(&p, 1, 15000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    name_ = ":" + number;
    dpy_ = XOpenDisplay(name_.c_str());
    if (!dpy_) throw std::runtime_error("cannot open " + name_);
    XSetErrorHandler(ignore_errors);
    wm_ = spawn({"openbox", "--sm-disable"}, {{"DISPLAY", name_}}, "", "");
    Atom check = XInternAtom(dpy_, "_NET_SUPPORTING_WM_CHECK", False);
    bool wm_up = wait_until([&] {
        Atom type;
        int format;
        unsigned long n = 0, after = 0;
        unsigned char* data = nullptr;
        bool found = XGetWindowProperty(dpy_, DefaultRootWindow(dpy_), check, 0, 1, False, XA_WINDOW, &type,
                                        &format, &n, &after, &data) == Success &&
                     data && n == 1;
        if (data) XFree(data);
        return found;
    });
    if (!wm_up) throw std::runtime_error("openbox did not start");
}

XSession::~XSession() {
    stop(clip_);
    stop(wm_);
    if (dpy_) XCloseDisplay(dpy_);
    stop(xvfb_);
}

void XSession::sync() { XSync(dpy_, False); }

std::vector<WindowId> XSession::find_windows(const std::string& title, bool viewable_only) {
    std::vector<WindowId> found;
    std::function<void(Window)> walk = [&](Window w) {
        if (window_name(dpy_, w) == title && (!viewable_only || viewable(w))) found.push_back(w);
        Window root, parent, *children = nullptr;
        unsigned int n = 0;
        if (XQueryTree(dpy_, w, &root, &parent, &children, &n)) {
            for (unsigned int i = 0; i < n; ++i) walk(children[i]);
            if (children) XFree(children);
        }
    };
    walk(DefaultRootWindow(dpy_));
    return found;
}

std::optional<WindowId> XSession::wait_window(const std::string& title, std::chrono::milliseconds timeout) {
    std::optional<WindowId> w;
    wait_until(
        [&] {
            auto all = find_windows(title, true);
            if (!all.empty()) w = all.front();
            return w.has_value();
        },
        timeout);
    return w;
}

std::string XSession::title(WindowId w) { return window_name(dpy_, w); }

bool XSession::viewable(WindowId w) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy_, w, &a)) return false;
    return a.map_state == IsViewable;
}

Rect XSession::client_rect(WindowId w) {
    XWindowAttributes a{};
    XGetWindowAttributes(dpy_, w, &a);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(dpy_, w, DefaultRootWindow(dpy_), 0, 0, &x, &y, &child);
    return {x, y, a.width, a.height};
}

std::optional<std::array<long, 4>> XSession::frame_extents(WindowId w) {
    Atom prop = XInternAtom(dpy_, "_NET_FRAME_EXTENTS", False);
    Atom type;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy_, w, prop, 0, 4, False, XA_CARDINAL, &type, &format, &n, &after, &data) !=
            Success ||
        !data)
        return std::nullopt;
    std::optional<std::array<long, 4>> out;
    if (n == 4) {
        auto* v = reinterpret_cast<long*>(data);
        out = std::array<long, 4>{v[0], v[1], v[2], v[3]};
    }
    XFree(data);
    return out;
}

Rect XSession::outer_rect(WindowId w) {
    Rect c = client_rect(w);
    auto e = frame_extents(w).value_or(std::array<long, 4>{0, 0, 0, 0});
    return {c.x - int(e[0]), c.y - int(e[2]), c.width + int(e[0] + e[1]), c.height + int(e[2] + e[3])};
}

bool XSession::fixed_size(WindowId w) {
    XSizeHints hints{};
    long supplied = 0;
    if (!XGetWMNormalHints(dpy_, w, &hints, &supplied)) return false;
    return (hints.flags & PMinSize) && (hints.flags & PMaxSize) && hints.min_width == hints.max_width &&
           hints.min_height == hints.max_height;
}

void XSession::request_state(WindowId w, const std::string& state_atom) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(dpy_, "_NET_WM_STATE", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 1;
    ev.xclient.data.l[1] = static_cast<long>(XInternAtom(dpy_, state_atom.c_str(), False));
    ev.xclient.data.l[3] = 1;
    XSendEvent(dpy_, DefaultRootWindow(dpy_), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XSync(dpy_, False);
}

void XSession::iconify(WindowId w) {
    XIconifyWindow(dpy_, w, DefaultScreen(dpy_));
    XSync(dpy_, False);
}

void XSession::move_pointer(int x, int y) {
    XTestFakeMotionEvent(dpy_, 0, x, y, CurrentTime);
    XSync(dpy_, False);
}

void XSession::click(int x, int y, int button) {
    move_pointer(x, y);
    std::this_thread::sleep_for(30ms);
    XTestFakeButtonEvent(dpy_, static_cast<unsigned>(button), True, CurrentTime);
    XSync(dpy_, False);
    std::this_thread::sleep_for(30ms);
    XTestFakeButtonEvent(dpy_, static_cast<unsigned>(button), False, CurrentTime);
    XSync(dpy_, False);
}

void XSession::key(const std::string& keysym_name, const std::vector<std::string>& modifiers) {
    auto code = [&](const std::string& name) {
        KeySym ks = XStringToKeysym(name.c_str());
        if (ks == NoSymbol) throw std::runtime_error("no keysym " + name);
        KeyCode kc = XKeysymToKeycode(dpy_, ks);
        if (!kc) throw std::runtime_error("no keycode for " + name);
        return kc;
    };
    for (const auto& m : modifiers) XTestFakeKeyEvent(dpy_, code(m), True, CurrentTime);
    KeyCode k = code(keysym_name);
    XTestFakeKeyEvent(dpy_, k, True, CurrentTime);
    XTestFakeKeyEvent(dpy_, k, False, CurrentTime);
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)
        XTestFakeKeyEvent(dpy_, code(*it), False, CurrentTime);
    XSync(dpy_, False);
    std::this_thread::sleep_for(50ms);
}

void XSession::type_ascii(const std::string& text) {
    pid_t p = spawn({"xdotool", "type", "--delay", "8", "--", text}, {{"DISPLAY", name_}}, "", "");
    waitpid(p, nullptr, 0);
    std::this_thread::sleep_for(50ms);
}

void XSession::paste(const std::string& text) {
    stop(clip_);
    TempDir dir;
    std::string path = dir.file("clip");
    {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    Atom clipboard = XInternAtom(dpy_, "CLIPBOARD", False);
    // Whoever held the clipboard before (an earlier xclip, the program after
    // a copy) must have lost it to the new xclip before Ctrl+V.
    Window before = XGetSelectionOwner(dpy_, clipboard);
    clip_ = spawn({"xclip", "-quiet", "-selection", "clipboard", "-i"}, {{"DISPLAY", name_}}, "", "", -1, "", path);
    if (!wait_until([&] {
            Window now = XGetSelectionOwner(dpy_, clipboard);
            return now != None && now != before;
        }))
        throw std::runtime_error("xclip did not take the clipboard");
    key("v", {"Control_L"});
}

std::uint32_t XSession::pixel(int x, int y) {
    XImage* img = XGetImage(dpy_, DefaultRootWindow(dpy_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!img) return 0xFFFFFFFF;
    std::uint32_t v = static_cast<std::uint32_t>(XGetPixel(img, 0, 0)) & 0xFFFFFF;
    XDestroyImage(img);
    return v;
}

std::vector<std::uint32_t> XSession::pixels(const Rect& r) {
    std::vector<std::uint32_t> out;
    XImage* img = XGetImage(dpy_, DefaultRootWindow(dpy_), r.x, r.y, static_cast<unsigned>(r.width),
                            static_cast<unsigned>(r.height), AllPlanes, ZPixmap);
    if (!img) return out;
    out.reserve(static_cast<std::size_t>(r.width * r.height));
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) out.push_back(static_cast<std::uint32_t>(XGetPixel(img, x, y)) & 0xFFFFFF);
    XDestroyImage(img);
    return out;
}

std::string XSession::screenshot(const std::string& name) {
    const char* dir = std::getenv("KADA_SCREENSHOT_DIR");
    std::string folder = dir && *dir ? dir : fs::temp_directory_path().string();
    fs::create_directories(folder);
    std::string path = folder + "/" + name + ".png";
    pid_t p = spawn({"import", "-window", "root", path}, {{"DISPLAY", name_}}, "", "");
    waitpid(p, nullptr, 0);
    return path;
}

RecordingServer::RecordingServer(int port) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_fd_, 64) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
    socklen_t len = sizeof addr;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

RecordingServer::~RecordingServer() {
    {
        std::lock_guard<std::mutex> l(mu_);
        stop_ = true;
    }
    thread_.join();
    close(listen_fd_);
}

void RecordingServer::route(const std::string& path_prefix, const std::string& html) {
    std::lock_guard<std::mutex> l(mu_);
    routes_.insert(routes_.begin(), {path_prefix, html});
}

std::vector<Request> RecordingServer::requests() {
    std::lock_guard<std::mutex> l(mu_);
    return requests_;
}

std::size_t RecordingServer::request_count() {
    std::lock_guard<std::mutex> l(mu_);
    return requests_.size();
}

std::vector<Request> RecordingServer::requests_to(const std::string& path_prefix) {
    std::vector<Request> out;
    for (auto& r : requests())
        if (r.target.rfind(path_prefix, 0) == 0) out.push_back(r);
    return out;
}

bool RecordingServer::wait_requests_to(const std::string& path_prefix, std::size_t count,
                                       std::chrono::milliseconds timeout) {
    return wait_until([&] { return requests_to(path_prefix).size() >= count; }, timeout);
}

void RecordingServer::serve() {
    std::vector<std::thread> workers;
    std::set<int> open_fds;
    std::mutex fds_mu;
    while (true) {
        {
            std::lock_guard<std::mutex> l(mu_);
            if (stop_) break;
        }
        struct pollfd p {listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) continue;
        {
            std::lock_guard<std::mutex> l(fds_mu);
            open_fds.insert(fd);
        }
        workers.emplace_back([this, fd, &open_fds, &fds_mu] {
            handle(fd);
            std::lock_guard<std::mutex> l(fds_mu);
            open_fds.erase(fd);
            close(fd);
        });
    }
    {
        std::lock_guard<std::mutex> l(fds_mu);
        for (int fd : open_fds) shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : workers) t.join();
}

void RecordingServer::handle(int fd) {
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string data;
    char buf[65536];
    constexpr std::size_t kMax = 64u << 20;
    while (data.find("\r\n\r\n") == std::string::npos && data.size() < kMax) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        data.append(buf, static_cast<std::size_t>(n));
    }
    auto received = std::chrono::steady_clock::now();
    std::string line = data.substr(0, data.find("\r\n"));
    auto sp1 = line.find(' '), sp2 = line.rfind(' ');
    std::string target = sp1 != std::string::npos && sp2 > sp1 ? line.substr(sp1 + 1, sp2 - sp1 - 1) : "";
    std::string body = "<!doctype html><html><body>recorded</body></html>";
    {
        std::lock_guard<std::mutex> l(mu_);
        requests_.push_back({line, target, received});
        std::string path = target.substr(0, target.find('?'));
        for (const auto& [prefix, html] : routes_)
            if (path.rfind(prefix, 0) == 0) {
                body = html;
                break;
            }
    }
    std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                       "Connection: close\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body;
    std::size_t off = 0;
    while (off < resp.size()) {
        ssize_t n = send(fd, resp.data() + off, resp.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<std::size_t>(n);
    }
}

Process::Process(const XSession* x, const std::string& exe, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& cwd) {
    std::map<std::string, std::string> e = {
        {"HOME", home_.path()},
        {"TMPDIR", home_.file("tmp")},
        {"XDG_CONFIG_HOME", home_.file("config")},
        {"XDG_DATA_HOME", home_.file("data")},
        {"XDG_CACHE_HOME", home_.file("cache")},
        {"XDG_RUNTIME_DIR", home_.file("run")},
        {"NO_AT_BRIDGE", "1"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kada-test-bus"},
    };
    for (const char* d : {"tmp", "config", "data", "cache", "run"}) mkdir(home_.file(d).c_str(), 0700);
    if (x) e["DISPLAY"] = x->display_name();
    for (const auto& [k, v] : env) e[k] = v;
    if (!x && !env.count("DISPLAY")) e["DISPLAY"] = "";
    err_path_ = home_.file("stderr.txt");
    out_path_ = home_.file("stdout.txt");
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, e, out_path_, err_path_, -1, cwd);
}

Process::~Process() { kill_all(); }

bool Process::running() {
    if (status_) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
    wait_until([&] { return !running(); }, timeout);
    return status_;
}

std::string Process::stderr_text() { return read_file(err_path_); }
std::string Process::stdout_text() { return read_file(out_path_); }

void Process::kill_all() {
    if (pid_ <= 0) return;
    if (running()) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    } else {
        kill(-pid_, SIGKILL);  // helpers it left behind (the engine's processes)
    }
    pid_ = -1;
}

std::string program_path() { return KT_PROGRAM; }
std::string fault_program_path() { return KT_FAULT_PROGRAM; }
int play_service_port() { return KT_PLAY_PORT; }

}  // namespace kt
