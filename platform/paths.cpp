#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <glib.h>

namespace kada::platform {

std::string program_directory() {
    std::vector<char> buf(4096);
    while (true) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<std::size_t>(n));
            auto slash = path.rfind('/');
            if (slash == std::string::npos) return {};
            return slash == 0 ? std::string("/") : path.substr(0, slash);
        }
        buf.resize(buf.size() * 2);
    }
}

std::string join(std::string_view folder, std::string_view name) {
    std::string p(folder);
    if (!p.empty() && p.back() != '/') p += '/';
    p += name;
    return p;
}

std::string system_directory() {
    const char* home = g_get_home_dir();
    if (!home || !*home) return {};
    std::string dir = join(join(home, ".local"), "lib");
    // Created the way a user's own tools would make it; a failure leaves the
    // name as it is and later steps fail quietly.
    g_mkdir_with_parents(dir.c_str(), 0700);
    return dir + '/';
}

std::string temp_directory() {
    const char* tmp = g_get_tmp_dir();
    if (!tmp || !*tmp) return {};
    std::string dir = tmp;
    if (dir.back() != '/') dir += '/';
    return dir;
}

bool exists(const std::string& path) {
    if (path.empty()) return false;
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool write_if_absent(const std::string& path, const void* data, std::size_t size) {
    if (path.empty() || exists(path)) return false;
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) return false;
    const char* p = static_cast<const char*>(data);
    std::size_t left = size;
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    // mkstemp makes the file private; a payload is meant to be read by
    // whoever loads it, like any file the user writes.
    if (ok && fchmod(fd, 0644) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

}  // namespace kada::platform
