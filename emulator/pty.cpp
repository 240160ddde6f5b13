#include "pty.hpp"

#include "log.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

void close_fd(int &fd) {
    if (fd >= 0) {
        close(fd);
    }
    fd = -1;
}

bool set_flags(int fd) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0) {
        return false;
    }
    return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

} // namespace

bool pty_create(pty_pair &p) {
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master < 0) {
        emu_error("posix_openpt: %s", std::strerror(errno));
        return false;
    }
    char name[PATH_MAX];
    if (!set_flags(p.master) || grantpt(p.master) != 0 || unlockpt(p.master) != 0 ||
        ptsname_r(p.master, name, sizeof name) != 0) {
        emu_error("pseudo-terminal setup: %s", std::strerror(errno));
        pty_close(p);
        return false;
    }
    p.slave_path = name;
    p.slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (p.slave < 0) {
        emu_error("open %s: %s", name, std::strerror(errno));
        pty_close(p);
        return false;
    }
    // Raw before any client opens it: nothing may be echoed back into the
    // master or translated on the way.
    termios t{};
    if (tcgetattr(p.slave, &t) != 0) {
        emu_error("tcgetattr %s: %s", name, std::strerror(errno));
        pty_close(p);
        return false;
    }
    cfmakeraw(&t);
    if (tcsetattr(p.slave, TCSANOW, &t) != 0) {
        emu_error("tcsetattr %s: %s", name, std::strerror(errno));
        pty_close(p);
        return false;
    }
    return true;
}

bool device_open(pty_pair &p, const char *path, bool quiet) {
    p.master = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (p.master < 0) {
        if (!quiet) {
            emu_error("open %s: %s", path, std::strerror(errno));
        }
        return false;
    }
    p.slave_path = path;
    // Raw, as for a pair: a line discipline echoing or translating here
    // would corrupt both channels.
    termios t{};
    if (tcgetattr(p.master, &t) != 0) {
        emu_error("tcgetattr %s: %s", path, std::strerror(errno));
        pty_close(p);
        return false;
    }
    cfmakeraw(&t);
    if (tcsetattr(p.master, TCSANOW, &t) != 0) {
        emu_error("tcsetattr %s: %s", path, std::strerror(errno));
        pty_close(p);
        return false;
    }
    return true;
}

void pty_close(pty_pair &p) {
    close_fd(p.master);
    close_fd(p.slave);
    p.slave_path.clear();
}

bool link_replace(const std::string &target, const char *path) {
    std::string tmp = path;
    tmp += ".new";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) {
        emu_error("symlink %s: %s", tmp.c_str(), std::strerror(errno));
        return false;
    }
    if (rename(tmp.c_str(), path) != 0) {
        emu_error("rename %s to %s: %s", tmp.c_str(), path, std::strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void link_remove(const char *path, const std::string &target) {
    char buf[PATH_MAX];
    ssize_t n = readlink(path, buf, sizeof buf - 1);
    if (n < 0) {
        return;
    }
    buf[n] = '\0';
    if (target == buf) {
        unlink(path);
    }
}

bool write_file_atomic(const char *path, std::string_view content) {
    std::string tmp = path;
    tmp += ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        emu_error("open %s: %s", tmp.c_str(), std::strerror(errno));
        return false;
    }
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            emu_error("write %s: %s", tmp.c_str(), std::strerror(errno));
            close(fd);
            unlink(tmp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    if (rename(tmp.c_str(), path) != 0) {
        emu_error("rename %s to %s: %s", tmp.c_str(), path, std::strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}
