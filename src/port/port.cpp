#include "port/port.hpp"

#include "common/debug.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int lock_timeout_seconds = 1;

void log_failure(int priority, const char *action, const char *device, int error) {
    syslog(priority, "cannot %s %s (%i, %s)", action, device, error, strerror(error));
}

void log_attributes_failure(const char *action, const char *device, int error) {
    syslog(LOG_ERR, "cannot %s %s attributes (%i, %s)", action, device, error, strerror(error));
}

} // namespace

int port_open(port &p) {
    if (p.fd >= 0) {
        return p.fd;
    }
    if (!dev_lock(p.device, lock_timeout_seconds)) {
        syslog(LOG_ERR, "cannot lock %s", p.device);
        return -1;
    }
    int fd = open(p.device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= FD_SETSIZE) {
        // The event loop waits with select, which cannot watch this
        // descriptor: only inherited descriptors push a port this high.
        close(fd);
        fd = -1;
        errno = EMFILE;
    }
    if (fd < 0) {
        log_failure(LOG_ERR, "open", p.device, errno);
        dev_unlock(p.device);
        return -1;
    }
    p.fd = fd;
    if ((debug_mask & DEBUG_PORTS) != 0) {
        syslog(LOG_DEBUG, "%s open, fd=%i", p.device, fd);
    }

    if (tcflush(fd, TCIOFLUSH) != 0) {
        log_failure(LOG_WARNING, "flush", p.device, errno);
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        log_attributes_failure("get", p.device, errno);
    }
    cfmakeraw(&settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        log_attributes_failure("set", p.device, errno);
    }
    return fd;
}

void port_close(port &p) {
    if (p.fd < 0) {
        return;
    }
    if ((debug_mask & DEBUG_PORTS) != 0) {
        syslog(LOG_DEBUG, "%s close, fd=%i", p.device, p.fd);
    }
    close(p.fd);
    p.fd = -1;
    dev_unlock(p.device);
}
