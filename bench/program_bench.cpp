// Start-up, click latency, memory and size of kada-vod beside two peers: the
// floor (the least GTK + WebKitGTK program that shows the same page) and
// Debian's surf browser. Everything runs under its own Xvfb and openbox, in a
// network namespace of its own, against a recording server on the play
// service's port. It prints figures and asserts nothing.
//
// bench/run builds and starts it; see bench/README.md for what each figure
// means.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

// ---------------------------------------------------------------------------
// Process trees, read from /proc. The driver is a child subreaper, so the
// engine's helpers stay in its tree even when their parents die first.

std::map<pid_t, pid_t> parent_map() {
    std::map<pid_t, pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (!end || *end || pid <= 0) continue;
        std::string stat = kt::read_file("/proc/" + std::string(e->d_name) + "/stat");
        // The name may hold spaces and parentheses: the fields start after
        // the last ')'.
        auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2)
            out[static_cast<pid_t>(pid)] = static_cast<pid_t>(ppid);
    }
    closedir(d);
    return out;
}

// The process and all its descendants, the process first.
std::vector<pid_t> process_tree(pid_t root) {
    auto parents = parent_map();
    std::vector<pid_t> out{root};
    for (std::size_t i = 0; i < out.size(); ++i)
        for (const auto& [pid, ppid] : parents)
            if (ppid == out[i]) out.push_back(pid);
    return out;
}

std::string comm_of(pid_t pid) {
    std::string c = kt::read_file("/proc/" + std::to_string(pid) + "/comm");
    while (!c.empty() && (c.back() == '\n' || c.back() == ' ')) c.pop_back();
    return c;
}

// PSS charges each shared page to its sharers in equal parts, so it moves
// with whatever else on the machine maps the same libraries (another WebKit
// program, say), and it drops when the kernel's proactive reclaim (DAMON
// pageout, on here) takes clean pages of mapped files away. Private dirty
// pages, the heaps and what the program wrote, move with neither: with no
// swap they stay until the program frees them, so growth is judged on them.
struct Memory {
    long pss_kib = 0;
    long dirty_kib = 0;
};

// nullopt if the process is gone.
std::optional<Memory> memory_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    if (!in) return std::nullopt;
    std::string key;
    Memory m;
    bool any = false;
    while (in >> key) {
        if (key == "Pss:") {
            in >> m.pss_kib;
            any = true;
        } else if (key == "Private_Dirty:") {
            in >> m.dirty_kib;
        }
        in.ignore(1 << 20, '\n');
    }
    if (!any) return std::nullopt;
    return m;
}

struct ProcessMemory {
    pid_t pid;
    std::string name;
    Memory mem;
};

struct TreeMemory {
    std::vector<ProcessMemory> processes;
    double pss_mib() const {
        long t = 0;
        for (const auto& p : processes) t += p.mem.pss_kib;
        return t / 1024.0;
    }
    double dirty_mib() const {
        long t = 0;
        for (const auto& p : processes) t += p.mem.dirty_kib;
        return t / 1024.0;
    }
    // PSS per kind of process, the engine's names cut short by the kernel.
    std::string by_name() const {
        std::map<std::string, double> sums;
        for (const auto& p : processes) sums[p.name] += p.mem.pss_kib / 1024.0;
        std::string out;
        for (const auto& [name, mib] : sums) {
            char b[96];
            std::snprintf(b, sizeof b, "%s%s %.1f", out.empty() ? "" : ", ", name.c_str(), mib);
            out += b;
        }
        return out;
    }
};

TreeMemory tree_memory(pid_t root) {
    TreeMemory t;
    for (pid_t p : process_tree(root))
        if (auto m = memory_of(p)) t.processes.push_back({p, comm_of(p), *m});
    return t;
}

bool alive(pid_t pid) {
    std::string stat = kt::read_file("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Kills the tree and waits until none of it is left, reaping the orphans
// that came to the driver.
void kill_tree(pid_t root, kt::Process* owner = nullptr) {
    for (int round = 0; round < 3; ++round) {
        auto pids = process_tree(root);
        for (pid_t p : pids) kill(p, SIGKILL);
        if (owner) owner->kill_all();
        auto end = Clock::now() + 5s;
        while (Clock::now() < end) {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            bool any = false;
            for (pid_t p : pids)
                if (p != root && alive(p)) any = true;
            if (!any) break;
            std::this_thread::sleep_for(5ms);
        }
        if (process_tree(root).size() <= 1 && !alive(root)) return;
    }
}

// Everything the driver started, whoever its parent is now.
void kill_descendants() {
    pid_t self = getpid();
    for (int round = 0; round < 20; ++round) {
        auto pids = process_tree(self);
        if (pids.size() <= 1) break;
        for (pid_t p : pids)
            if (p != self) kill(p, SIGKILL);
        std::this_thread::sleep_for(20ms);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
}

// Ctrl+C, a closed terminal or a kill: every process the run started goes
// with it. The handler only wakes a thread that does the work.
int g_signal_pipe[2] = {-1, -1};
std::atomic<bool> g_stopping{false};

// Killing the X server under the driver's own connections must not end the
// driver through Xlib's exit() while the helpers are still being stopped.
int on_x_io_error(Display*) {
    while (g_stopping) pause();
    std::fprintf(stderr, "the X server went away\n");
    std::_Exit(1);
}

void on_signal(int sig) {
    char c = static_cast<char>(sig);
    [[maybe_unused]] auto n = write(g_signal_pipe[1], &c, 1);
}

void watch_signals() {
    if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    XSetIOErrorHandler(on_x_io_error);
    std::thread([] {
        char c = 0;
        while (read(g_signal_pipe[0], &c, 1) != 1) {
        }
        g_stopping = true;
        kill_descendants();
        static const char msg[] = "\ninterrupted: every process the benchmark started is stopped\n";
        [[maybe_unused]] auto n = write(2, msg, sizeof msg - 1);
        _exit(128 + c);
    }).detach();
}

// ---------------------------------------------------------------------------
// Watches the X server for a process's first top-level window to become
// viewable (mapped, with its frame), by events rather than by polling the
// window tree, so the time is that of the map itself.

int ignore_x_errors(Display*, XErrorEvent*) { return 0; }

class MapWatcher {
public:
    explicit MapWatcher(const std::string& display) {
        dpy_ = XOpenDisplay(display.c_str());
        if (!dpy_) throw std::runtime_error("cannot open " + display);
        XSetErrorHandler(ignore_x_errors);
        root_ = DefaultRootWindow(dpy_);
        pid_atom_ = XInternAtom(dpy_, "_NET_WM_PID", False);
        XSelectInput(dpy_, root_, SubstructureNotifyMask);
        XSync(dpy_, False);
    }
    ~MapWatcher() { XCloseDisplay(dpy_); }

    void reset() {
        drain();
        candidates_.clear();
    }

    struct Seen {
        Window window;
        Clock::time_point at;
    };

    std::optional<Seen> wait_viewable(pid_t pid, std::chrono::milliseconds timeout) {
        auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            drain();
            for (auto& c : candidates_) {
                if (!c.pid) c.pid = window_pid(c.window);
                if (c.pid != pid) continue;
                XWindowAttributes a;
                if (XGetWindowAttributes(dpy_, c.window, &a) && a.map_state == IsViewable)
                    return Seen{c.window, Clock::now()};
            }
            struct pollfd p {ConnectionNumber(dpy_), POLLIN, 0};
            poll(&p, 1, 2);
        }
        return std::nullopt;
    }

private:
    struct Candidate {
        Window window;
        pid_t pid;
    };

    void drain() {
        while (XPending(dpy_)) {
            XEvent e;
            XNextEvent(dpy_, &e);
            if (e.type == CreateNotify && e.xcreatewindow.parent == root_ && !e.xcreatewindow.override_redirect) {
                XSelectInput(dpy_, e.xcreatewindow.window, StructureNotifyMask | PropertyChangeMask);
                candidates_.push_back({e.xcreatewindow.window, 0});
            } else if (e.type == DestroyNotify) {
                Window w = e.xdestroywindow.window;
                std::erase_if(candidates_, [w](const Candidate& c) { return c.window == w; });
            }
        }
    }

    pid_t window_pid(Window w) {
        Atom type;
        int format;
        unsigned long n = 0, after = 0;
        unsigned char* data = nullptr;
        pid_t pid = 0;
        if (XGetWindowProperty(dpy_, w, pid_atom_, 0, 1, False, XA_CARDINAL, &type, &format, &n, &after, &data) ==
                Success &&
            data && n == 1)
            pid = static_cast<pid_t>(*reinterpret_cast<long*>(data));
        if (data) XFree(data);
        return pid;
    }

    Display* dpy_ = nullptr;
    Window root_ = 0;
    Atom pid_atom_ = 0;
    std::vector<Candidate> candidates_;
};

// ---------------------------------------------------------------------------
// Figures.

struct Stats {
    std::vector<double> v;
    bool empty() const { return v.empty(); }
    double median() const {
        auto s = v;
        std::sort(s.begin(), s.end());
        std::size_t n = s.size();
        return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
    }
    double min() const { return *std::min_element(v.begin(), v.end()); }
    double max() const { return *std::max_element(v.begin(), v.end()); }
};

enum class Go { Click, SurfProperty };

struct Subject {
    std::string key;
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;
    Go go = Go::Click;
    bool ours = false;
    bool available = true;
    std::string failure;

    Stats map_ms, welcome_ms, pss_welcome_mib, dirty_welcome_mib, click_ms;
    std::map<std::string, Stats> trace_ms;  // from the program's KADA_TRACE lines
    TreeMemory breakdown;  // the last start-up run's tree
    std::vector<std::pair<int, TreeMemory>> soak_curve;  // after so many requests
    std::optional<double> soak_seconds;  // the untimed requests, settling excluded
    int soak_lost = 0;
    std::string first_play_target;
    std::optional<long> size_bytes, stripped_bytes;
};

struct Options {
    std::string program, floor, surf = "surf", welcome_file, play_file, link;
    int runs = 7, clicks = 30, soak = 1000;
    int settle_ms = 1500, click_gap_ms = 300, soak_gap_ms = 20;
    // Given to every subject alike, for what-if runs such as
    // WEBKIT_DISABLE_COMPOSITING_MODE=1.
    std::map<std::string, std::string> env;
    std::string play_prefix, welcome_url;
};

const char* kWelcomePath = "/img/1.html";
const char* kPlayPath = "/play.php";

// Trace lines the program writes to standard error when KADA_TRACE=1:
// "kada-trace: KEY MILLISECONDS".
std::map<std::string, double> parse_trace(const std::string& err) {
    std::map<std::string, double> out;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        auto at = line.find("kada-trace: ");
        if (at == std::string::npos) continue;
        std::istringstream f(line.substr(at + 12));
        std::string key;
        double value = 0;
        if (f >> key >> value) out[key] = value;
    }
    return out;
}

class Bench {
public:
    Bench(Options o, kt::XSession& x, kt::RecordingServer& server) : o_(std::move(o)), x_(x), server_(server),
                                                                     watcher_(x.display_name()) {}

    struct Launch {
        std::unique_ptr<kt::Process> process;
        std::optional<MapWatcher::Seen> window;
        std::optional<kt::Request> welcome;
        Clock::time_point started;
    };

    // Starts the subject and waits for its window and its welcome request.
    Launch launch(Subject& s) {
        Launch l;
        watcher_.reset();
        std::size_t before = server_.request_count();
        std::vector<std::string> args(s.argv.begin() + 1, s.argv.end());
        l.started = Clock::now();
        l.process = std::make_unique<kt::Process>(&x_, s.argv[0], args, s.env);
        l.window = watcher_.wait_viewable(l.process->pid(), 30s);
        l.welcome = wait_request(before, kWelcomePath, l.window ? 30s : 1s);
        return l;
    }

    void finish(Launch& l) {
        if (!l.process) return;
        kill_tree(l.process->pid(), l.process.get());
        l.process.reset();
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    std::optional<kt::Request> wait_request(std::size_t from, const std::string& path,
                                            std::chrono::milliseconds timeout) {
        auto end = Clock::now() + timeout;
        while (true) {
            if (server_.request_count() > from) {
                auto all = server_.requests();
                for (std::size_t i = from; i < all.size(); ++i)
                    if (all[i].target.rfind(path, 0) == 0) return all[i];
            }
            if (Clock::now() >= end) return std::nullopt;
            std::this_thread::sleep_for(200us);
        }
    }

    // One start that is not counted: the first start after a build reads
    // libraries and font caches from disk, and would land on whichever
    // subject happens to go first.
    void warm_up(Subject& s) {
        Launch l = launch(s);
        finish(l);
    }

    void startup_run(Subject& s, int run) {
        Launch l = launch(s);
        if (!l.window || !l.welcome) {
            s.failure = std::string(!l.window ? "no window" : "no welcome request") + " in start-up run " +
                        std::to_string(run + 1) + "; stderr: " + tail(l.process->stderr_text());
            note("  %s: %s", s.key.c_str(), s.failure.c_str());
            finish(l);
            return;
        }
        s.map_ms.v.push_back(ms_between(l.started, l.window->at));
        s.welcome_ms.v.push_back(ms_between(l.started, l.welcome->received));
        std::this_thread::sleep_until(std::max(l.window->at, l.welcome->received) +
                                      std::chrono::milliseconds(o_.settle_ms));
        TreeMemory mem = tree_memory(l.process->pid());
        s.pss_welcome_mib.v.push_back(mem.pss_mib());
        s.dirty_welcome_mib.v.push_back(mem.dirty_mib());
        s.breakdown = mem;
        if (s.ours)
            for (const auto& [k, v] : parse_trace(l.process->stderr_text())) s.trace_ms[k].v.push_back(v);
        finish(l);
    }

    // Timed clicks, then more requests up to the soak's count, with the
    // tree's memory before, half way and at the end.
    void click_and_soak(Subject& s) {
        Launch l = launch(s);
        if (!l.window || !l.welcome) {
            s.failure = "no window or welcome request before the clicks; stderr: " + tail(l.process->stderr_text());
            finish(l);
            return;
        }
        std::this_thread::sleep_until(l.welcome->received + std::chrono::milliseconds(o_.settle_ms));
        kt::Rect client = x_.client_rect(l.window->window);
        if (s.ours) {
            // The link goes into the box as a user would put it there.
            x_.click(client.x + 154 + 60, client.y + 8 + 12);
            std::this_thread::sleep_for(100ms);
            x_.paste(o_.link);
            std::this_thread::sleep_for(200ms);
        }
        const int bx = client.x + 730, by = client.y + 19;
        x_.move_pointer(bx, by);
        std::this_thread::sleep_for(200ms);
        Display* dpy = x_.dpy();
        Atom go = XInternAtom(dpy, "_SURF_GO", False);
        Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
        const std::string play_url = o_.play_prefix + o_.link;

        auto one = [&](std::chrono::milliseconds hold) -> std::optional<double> {
            std::size_t before = server_.request_count();
            Clock::time_point t0;
            if (s.go == Go::Click) {
                XTestFakeButtonEvent(dpy, 1, True, CurrentTime);
                XSync(dpy, False);
                std::this_thread::sleep_for(hold);
                t0 = Clock::now();
                XTestFakeButtonEvent(dpy, 1, False, CurrentTime);
                XSync(dpy, False);
            } else {
                t0 = Clock::now();
                XChangeProperty(dpy, l.window->window, go, utf8, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(play_url.c_str()),
                                static_cast<int>(play_url.size() + 1));
                XSync(dpy, False);
            }
            auto r = wait_request(before, kPlayPath, 5s);
            if (!r) return std::nullopt;
            if (s.first_play_target.empty()) s.first_play_target = r->target;
            return ms_between(t0, r->received);
        };

        s.soak_curve.push_back({0, tree_memory(l.process->pid())});
        int done = 0;
        for (int i = 0; i < o_.clicks; ++i) {
            auto v = one(10ms);
            ++done;
            if (v) s.click_ms.v.push_back(*v);
            else ++s.soak_lost;
            std::this_thread::sleep_for(std::chrono::milliseconds(o_.click_gap_ms));
        }
        auto soak_start = Clock::now();
        double settled = 0;
        const int half = std::max(o_.soak / 2, o_.clicks + 1);
        while (done < o_.soak) {
            if (!one(2ms)) ++s.soak_lost;
            ++done;
            std::this_thread::sleep_for(std::chrono::milliseconds(o_.soak_gap_ms));
            if (done == half || done == o_.soak) {
                if (done == o_.soak) s.soak_seconds = ms_between(soak_start, Clock::now()) / 1000.0 - settled;
                std::this_thread::sleep_for(std::chrono::milliseconds(o_.settle_ms));
                settled += o_.settle_ms / 1000.0;
                s.soak_curve.push_back({done, tree_memory(l.process->pid())});
            }
        }
        finish(l);
    }

    static std::string tail(std::string t) {
        if (t.size() > 600) t = "..." + t.substr(t.size() - 600);
        std::replace(t.begin(), t.end(), '\n', ' ');
        return t;
    }

private:
    Options o_;
    kt::XSession& x_;
    kt::RecordingServer& server_;
    MapWatcher watcher_;
};

std::optional<long> file_size(const std::string& path) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<long>(st.st_size);
}

std::optional<long> stripped_size(const std::string& path) {
    kt::TempDir dir;
    std::string out = dir.file("stripped");
    kt::Process strip(nullptr, "strip", {"-o", out, path});
    if (strip.wait_exit(30s) != 0) return std::nullopt;
    return file_size(out);
}

std::string find_in_path(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::istringstream in(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(in, dir, ':')) {
        std::string p = dir + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// ---------------------------------------------------------------------------
// The table.

std::string fmt(double v, int precision) {
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", precision, v);
    return b;
}

struct Row {
    std::string figure, subject, median, min, max, runs, vs_floor, vs_surf, goal;
};

class Table {
public:
    void add(Row r) { rows_.push_back(std::move(r)); }
    void rule() { rows_.push_back({"-", "", "", "", "", "", "", "", ""}); }
    void print() const {
        std::vector<Row> all{{"figure", "subject", "median", "min", "max", "runs", "x floor", "x surf", "goal"}};
        all.insert(all.end(), rows_.begin(), rows_.end());
        std::array<std::size_t, 9> w{};
        auto cells = [](const Row& r) {
            return std::array<const std::string*, 9>{&r.figure, &r.subject, &r.median, &r.min, &r.max,
                                                     &r.runs, &r.vs_floor, &r.vs_surf, &r.goal};
        };
        for (const auto& r : all) {
            if (r.figure == "-") continue;
            auto c = cells(r);
            for (int i = 0; i < 9; ++i) w[i] = std::max(w[i], c[i]->size());
        }
        std::size_t total = 0;
        for (auto x : w) total += x + 2;
        auto line = [&](const Row& r) {
            if (r.figure == "-") {
                std::printf("%s\n", std::string(total, '-').c_str());
                return;
            }
            auto c = cells(r);
            for (int i = 0; i < 9; ++i) {
                bool right = i >= 2 && i <= 7;
                std::printf(right ? "%*s  " : "%-*s  ", static_cast<int>(w[i]), c[i]->c_str());
            }
            std::printf("\n");
        };
        line(all[0]);
        std::printf("%s\n", std::string(total, '=').c_str());
        for (std::size_t i = 1; i < all.size(); ++i) line(all[i]);
    }

private:
    std::vector<Row> rows_;
};

// A figure's name stands on its first row only.
Row subject_row(const std::string& figure, const Subject& s, bool& first) {
    Row r;
    r.figure = first ? figure : "";
    r.subject = s.key;
    first = false;
    return r;
}

std::string ratio(const Stats& ours, const Stats& other) {
    if (ours.empty() || other.empty() || other.median() == 0) return "-";
    return fmt(ours.median() / other.median(), 2);
}

void figure_rows(Table& t, const std::string& figure, Stats Subject::*member, std::vector<Subject>& subjects,
                 int precision, const std::string& goal, const std::string& na_reason = {}) {
    Subject* floor = nullptr;
    Subject* surf = nullptr;
    for (auto& s : subjects) {
        if (s.key == "floor") floor = &s;
        if (s.key == "surf") surf = &s;
    }
    bool first = true;
    for (auto& s : subjects) {
        const Stats& st = s.*member;
        Row r = subject_row(figure, s, first);
        if (st.empty()) {
            r.median = !s.available ? "n/a (not installed)" : (s.ours || na_reason.empty()) ? "failed" : na_reason;
        } else {
            r.median = fmt(st.median(), precision);
            r.min = fmt(st.min(), precision);
            r.max = fmt(st.max(), precision);
            r.runs = std::to_string(st.v.size());
        }
        if (s.ours) {
            r.vs_floor = floor ? ratio(st, floor->*member) : "-";
            r.vs_surf = surf ? ratio(st, surf->*member) : "-";
            r.goal = goal;
        }
        t.add(r);
    }
}

std::string verdict(bool met) { return met ? "  [met]" : "  [missed]"; }

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--program") o.program = v;
        else if (k == "--floor") o.floor = v;
        else if (k == "--surf") o.surf = v;
        else if (k == "--welcome") o.welcome_file = v;
        else if (k == "--play") o.play_file = v;
        else if (k == "--link") o.link = v;
        else if (k == "--runs") o.runs = std::max(1, std::atoi(v.c_str()));
        else if (k == "--clicks") o.clicks = std::max(1, std::atoi(v.c_str()));
        else if (k == "--soak") o.soak = std::max(2, std::atoi(v.c_str()));
        else if (k == "--settle-ms") o.settle_ms = std::max(0, std::atoi(v.c_str()));
        else if (k == "--env" && v.find('=') != std::string::npos)
            o.env[v.substr(0, v.find('='))] = v.substr(v.find('=') + 1);
        else {
            std::fprintf(stderr, "unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (o.program.empty() || o.floor.empty() || o.welcome_file.empty() || o.play_file.empty()) {
        std::fprintf(stderr,
                     "usage: %s --program EXE --floor EXE --welcome HTML --play HTML [--surf EXE] [--link TEXT]\n"
                     "          [--runs N] [--clicks N] [--soak N] [--settle-ms MS] [--env NAME=VALUE]...\n",
                     argv[0]);
        return 2;
    }
    o.soak = std::max(o.soak, o.clicks + 2);

    // Before any thread: the namespace and the signal watch cover all that
    // follows.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (!kt::isolate_network()) {
        std::fprintf(stderr, "cannot make a network namespace (needs root or user namespaces)\n");
        return 1;
    }
    watch_signals();
    // A failure anywhere, even before the X session is whole, still stops
    // everything started so far.
    std::set_terminate([] {
        try {
            if (auto e = std::current_exception()) std::rethrow_exception(e);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        } catch (...) {
        }
        g_stopping = true;
        kill_descendants();
        std::_Exit(1);
    });

    const int port = kt::play_service_port();
    const std::string host = "127.0.0.1:" + std::to_string(port);
    o.welcome_url = "http://" + host + kWelcomePath;
    o.play_prefix = "http://" + host + kPlayPath + std::string("?str=");
    std::string welcome_html = kt::read_file(o.welcome_file), play_html = kt::read_file(o.play_file);

    std::vector<Subject> subjects(3);
    subjects[0].key = "kada-vod";
    subjects[0].argv = {o.program};
    subjects[0].env = {{"KADA_TRACE", "1"}};
    subjects[0].ours = true;
    subjects[1].key = "floor";
    subjects[1].argv = {o.floor, o.welcome_url, o.play_prefix + o.link};
    subjects[2].key = "surf";
    subjects[2].argv = {find_in_path(o.surf), o.welcome_url};
    subjects[2].go = Go::SurfProperty;
    subjects[2].available = !subjects[2].argv[0].empty();
    for (auto& s : subjects)
        for (const auto& [k, v] : o.env) s.env[k] = v;

    kt::XSession x(1024, 768);
    auto server = std::make_unique<kt::RecordingServer>(port);
    server->route(kWelcomePath, welcome_html);
    server->route(kPlayPath, play_html);

    std::printf("kada-vod benchmark: %d start-up runs, %d timed clicks, %d playback requests; pages %zu + %zu bytes\n",
                o.runs, o.clicks, o.soak, welcome_html.size(), play_html.size());
    for (const auto& [k, v] : o.env) std::printf("every subject runs with %s=%s\n", k.c_str(), v.c_str());
    std::fflush(stdout);

    auto t_begin = Clock::now();
    try {
        {
            Bench bench(o, x, *server);
            note("warming up");
            for (auto& s : subjects)
                if (s.available) bench.warm_up(s);
            // Interleaved, so that a slow spell of the machine hits every
            // subject alike.
            for (int run = 0; run < o.runs; ++run) {
                note("start-up run %d/%d", run + 1, o.runs);
                for (auto& s : subjects)
                    if (s.available) bench.startup_run(s, run);
            }
        }
        for (auto& s : subjects) {
            if (!s.available) continue;
            note("clicks and %d playback requests: %s", o.soak, s.key.c_str());
            // A fresh server per soak: its finished connection threads are
            // only collected when it goes.
            server.reset();
            server = std::make_unique<kt::RecordingServer>(port);
            server->route(kWelcomePath, welcome_html);
            server->route(kPlayPath, play_html);
            Bench soak(o, x, *server);
            soak.click_and_soak(s);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        kill_descendants();
        return 1;
    }
    for (auto& s : subjects) {
        if (!s.available) continue;
        s.size_bytes = file_size(s.argv[0]);
        s.stripped_bytes = stripped_size(s.argv[0]);
    }
    double elapsed = ms_between(t_begin, Clock::now()) / 1000.0;

    // ---- the table ----
    Subject& ours = subjects[0];
    Subject& floor = subjects[1];
    Subject& surf = subjects[2];
    Table t;
    {
        bool met = !ours.welcome_ms.empty() && !floor.welcome_ms.empty() &&
                   ours.welcome_ms.median() <= 1.05 * floor.welcome_ms.median() &&
                   (surf.welcome_ms.empty() || ours.welcome_ms.median() < surf.welcome_ms.median());
        figure_rows(t, "start-up: exec -> window viewable (ms)", &Subject::map_ms, subjects, 1, "-");
        t.rule();
        figure_rows(t, "start-up: exec -> welcome request (ms)", &Subject::welcome_ms, subjects, 1,
                    "<= 1.05 x floor, < surf" + verdict(met));
        t.rule();
    }
    {
        bool met = !ours.click_ms.empty() && ours.click_ms.median() < 10.0;
        figure_rows(t, "click -> play request (ms)", &Subject::click_ms, subjects, 2, "< 10 ms" + verdict(met));
        t.rule();
    }
    const std::vector<std::pair<std::string, std::string>> traced = {
        {"created", "creation-complete handler (ms)"},
        {"skin", "skin attach (ms)"},
        {"balloon", "balloon rendering (ms)"},
        {"deploy", "deployment (ms)"},
    };
    for (const auto& [key, label] : traced) {
        Row r{label, "kada-vod", "n/a (not built yet)", "", "", "", "", "", "-"};
        auto it = ours.trace_ms.find(key);
        if (it != ours.trace_ms.end() && !it->second.empty()) {
            r.median = fmt(it->second.median(), 2);
            r.min = fmt(it->second.min(), 2);
            r.max = fmt(it->second.max(), 2);
            r.runs = std::to_string(it->second.v.size());
        }
        t.add(r);
    }
    t.rule();
    {
        bool met = !ours.pss_welcome_mib.empty() && !floor.pss_welcome_mib.empty() &&
                   ours.pss_welcome_mib.median() <= floor.pss_welcome_mib.median();
        figure_rows(t, "PSS, welcome page loaded (MiB)", &Subject::pss_welcome_mib, subjects, 1,
                    "<= floor" + verdict(met));
        t.rule();
        figure_rows(t, "private dirty, welcome loaded (MiB)", &Subject::dirty_welcome_mib, subjects, 1, "-");
        t.rule();
    }
    {
        // Judged on private dirty memory; see Memory.
        auto soak_rows = [&](const std::string& label, double (TreeMemory::*mib)() const, bool judge) {
            bool first = true;
            for (auto& s : subjects) {
                Row r = subject_row(label, s, first);
                if (s.soak_curve.size() < 3) {
                    r.median = !s.available ? "n/a (not installed)" : "failed";
                    t.add(r);
                    continue;
                }
                double start = (s.soak_curve[0].second.*mib)(), mid = (s.soak_curve[1].second.*mib)(),
                       end = (s.soak_curve[2].second.*mib)();
                r.median = fmt(end, 1);
                r.runs = "1";
                r.goal = "growth " + fmt(end - start, 1) + " (first half " + fmt(mid - start, 1) +
                         ", second half " + fmt(end - mid, 1) + ")";
                if (s.ours) {
                    auto last = [&](const Subject& p) -> std::string {
                        return p.soak_curve.size() < 3 ? "-" : fmt(end / (p.soak_curve[2].second.*mib)(), 2);
                    };
                    r.vs_floor = last(floor);
                    r.vs_surf = last(surf);
                    // Bounded: the second half adds no more than half of
                    // what the first half did, or under 1 MiB.
                    if (judge) r.goal += "; bounded" + verdict((end - mid) <= std::max(1.0, (mid - start) / 2));
                    else r.goal += "; judged on private dirty below";
                }
                t.add(r);
            }
            t.rule();
        };
        const std::string after = " after " + std::to_string(o.soak) + " requests (MiB)";
        soak_rows("PSS" + after, &TreeMemory::pss_mib, false);
        soak_rows("private dirty" + after, &TreeMemory::dirty_mib, true);
    }
    {
        auto size_rows = [&](const std::string& label, std::optional<long> Subject::*member, bool goal) {
            bool first = true;
            for (auto& s : subjects) {
                Row r = subject_row(label, s, first);
                auto v = s.*member;
                r.median = v ? fmt(*v / 1024.0, 1) : (s.available ? "failed" : "n/a (not installed)");
                if (v) r.runs = "1";
                if (s.ours && v) {
                    auto f = floor.*member, u = surf.*member;
                    r.vs_floor = f ? fmt(double(*v) / *f, 2) : "-";
                    r.vs_surf = u ? fmt(double(*v) / *u, 2) : "-";
                    if (goal) r.goal = "< 3 MiB" + verdict(*v < 3L * 1024 * 1024);
                }
                t.add(r);
            }
        };
        size_rows("executable, unstripped (KiB)", &Subject::size_bytes, true);
        size_rows("executable, stripped (KiB)", &Subject::stripped_bytes, true);
    }
    std::printf("\n");
    t.print();

    // ---- what helps read it ----
    // Runs of the subjects follow each other closely, so the ratio within
    // each run is less touched by the machine's other work than the ratio of
    // the medians.
    std::printf("\nstart-up, kada-vod / floor within each run:\n");
    for (auto [label, member] : {std::pair{"window viewable", &Subject::map_ms},
                                 std::pair{"welcome request", &Subject::welcome_ms}}) {
        const Stats& a = ours.*member;
        const Stats& b = floor.*member;
        if (a.v.size() != b.v.size() || a.empty()) continue;
        Stats r;
        for (std::size_t i = 0; i < a.v.size(); ++i) r.v.push_back(a.v[i] / b.v[i]);
        std::printf("  %-16s median %.2f (min %.2f, max %.2f)\n", label, r.median(), r.min(), r.max());
    }
    std::printf("\nPSS by process, last start-up run (MiB):\n");
    for (auto& s : subjects)
        if (!s.breakdown.processes.empty()) std::printf("  %-9s %s\n", s.key.c_str(), s.breakdown.by_name().c_str());
    std::printf("\nplayback requests (PSS by process after so many requests, MiB):\n");
    for (auto& s : subjects) {
        if (!s.available) continue;
        std::printf("  %s:", s.key.c_str());
        if (s.soak_seconds)
            std::printf(" the untimed %d took %.1f s; %d clicks brought no request", o.soak - o.clicks,
                        *s.soak_seconds, s.soak_lost);
        std::printf("\n");
        for (const auto& [n, mem] : s.soak_curve)
            std::printf("    %5d  PSS %.1f, private dirty %.1f: %s\n", n, mem.pss_mib(), mem.dirty_mib(),
                        mem.by_name().c_str());
    }
    std::printf("  play request target seen: %s\n", ours.first_play_target.empty() ? "(none)"
                                                                                    : ours.first_play_target.c_str());
    if (ours.first_play_target != std::string(kPlayPath) + "?str=" + o.link)
        std::printf("  note: kada-vod's play request does not carry the pasted link\n");
    std::printf("\nnotes:\n"
                "  floor: a GtkWindow with a WebKitWebView (all defaults) and one GtkButton at the play button's\n"
                "         place that loads the play URL: its click figure is a real XTest click on that button.\n"
                "  surf:  has no play button; its 'click' figure is the time from setting its _SURF_GO window\n"
                "         property to the play request, i.e. navigation without GTK input handling.\n"
                "  PSS is summed over the process and all its descendants (WebKit's web and network processes,\n"
                "  bwrap); the welcome figure is taken %d ms after the welcome request.\n",
                o.settle_ms);
    for (auto& s : subjects)
        if (!s.failure.empty()) std::printf("  %s failed once: %s\n", s.key.c_str(), s.failure.c_str());
    std::printf("  measuring took %.0f s\n", elapsed);
    return 0;
}
