#include "field.hpp"

#include "processes.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef PTYBRIDGE_SANDBOX_SANITIZED
#define PTYBRIDGE_SANDBOX_SANITIZED 0
#endif

namespace field {

namespace fs = std::filesystem;

int modem_side::master(bridge &b, channel c) {
    return replugged ? replugged->master : b.modem(c).master;
}

void modem_side::unplug(bridge &b, channel c) {
    fs::remove(b.path(gsm_path(c)));
    if (replugged) {
        replugged.reset();
    } else {
        close(b.modem(c).master);
        b.modem(c).master = -1;
    }
}

void modem_side::replug(bridge &b, channel c) {
    replugged = std::make_unique<pty>();
    fs::remove(b.path(gsm_path(c)));
    fs::create_symlink(replugged->slave, b.path(gsm_path(c)));
}

bool is_root() {
    return geteuid() == 0;
}

bool under_valgrind() {
    const char *v = std::getenv("PTYBRIDGE_VALGRIND");
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

steady::duration slow(steady::duration d) {
    return under_valgrind() ? d * 4 : d;
}

namespace {

// Says on the peer's terminal which step failed, with errno, so that the
// test shows it; no allocation or locale, as after fork.
[[noreturn]] void child_fails(const char *step, int status) {
    char text[64] = "peer set-up failed: ";
    std::size_t n = strlen(text);
    for (const char *c = step; *c != '\0' && n < 40; ++c) {
        text[n++] = *c;
    }
    text[n++] = ' ';
    char digits[12];
    int d = 0;
    for (int e = errno; d == 0 || e > 0; e /= 10) {
        digits[d++] = static_cast<char>('0' + e % 10);
    }
    while (d > 0) {
        text[n++] = digits[--d];
    }
    text[n++] = '\n';
    (void)!write(2, text, n);
    _exit(status);
}

// Prepared before fork: the child may only make system calls.
struct exec_image {
    std::vector<std::string> argv_text;
    std::vector<std::string> env_text;
    std::vector<char *> argv;
    std::vector<char *> env;
    void seal() {
        for (auto &a : argv_text) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        for (auto &e : env_text) {
            env.push_back(e.data());
        }
        env.push_back(nullptr);
    }
};

} // namespace

options daemon_options(options opts) {
    if (!under_valgrind()) {
        return opts;
    }
    auto image = std::make_shared<exec_image>();
    image->argv_text = {find_program("valgrind"),
                        "--quiet",
                        "--error-exitcode=99",
                        "--leak-check=full",
                        "--errors-for-leak-kinds=definite",
                        "--log-fd=2", // the sandbox keeps it in its stderr file
                        sandbox::sandbox_programs().daemon};
    image->argv_text.insert(image->argv_text.end(), opts.args.begin(), opts.args.end());
    image->env_text = sandbox::daemon_environment();
    image->seal();
    auto inner = opts.in_child;
    opts.in_child = [image, inner] {
        if (inner) {
            inner();
        }
        execve(image->argv[0], image->argv.data(), image->env.data());
        _exit(127);
    };
    return opts;
}

resources resources_of(pid_t pid, const std::string &lock_dir) {
    resources r;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ignored;
    r.emulated =
        fs::read_symlink(proc + "/exe", ignored).filename().string().rfind("qemu-", 0) == 0;
    static const std::regex pts_number("^/dev/pts/[0-9]+$");
    for (const auto &e : fs::directory_iterator(proc + "/fd", ignored)) {
        std::string target = fs::read_symlink(e.path(), ignored).string();
        if (std::regex_match(target, pts_number)) {
            target = "/dev/pts/N";
        }
        if (target == "anon_inode:inotify") {
            std::ifstream info(proc + "/fdinfo/" + e.path().filename().string());
            for (std::string line; std::getline(info, line);) {
                r.watches += line.rfind("inotify wd:", 0) == 0 ? 1 : 0;
            }
        }
        r.descriptors.push_back(e.path().filename().string() + " -> " + target);
    }
    std::sort(r.descriptors.begin(), r.descriptors.end());
    std::ifstream status(proc + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            r.rss_kb = std::atol(line.c_str() + 6);
        }
    }
    for (const auto &e : fs::directory_iterator(lock_dir, ignored)) {
        r.lock_files.push_back(e.path().filename().string());
    }
    std::sort(r.lock_files.begin(), r.lock_files.end());
    return r;
}

bool memory_is_measured() {
    return PTYBRIDGE_SANDBOX_SANITIZED == 0 && !under_valgrind();
}

bool no_growth(const resources &before, const resources &now) {
    return before.descriptors == now.descriptors && before.lock_files == now.lock_files &&
           before.watches == now.watches &&
           (!memory_is_measured() || now.emulated || now.rss_kb <= before.rss_kb);
}

std::string describe(const resources &r) {
    std::string out = "rss " + std::to_string(r.rss_kb) + " kB; fds:";
    for (const auto &d : r.descriptors) {
        out += " [" + d + "]";
    }
    out += "; watches: " + std::to_string(r.watches) + "; locks:";
    for (const auto &l : r.lock_files) {
        out += " " + l;
    }
    return out;
}

void share_with_other_users(bridge &b, mode_t lock_dir_mode) {
    fs::permissions(b.dir(), fs::perms(0755));
    fs::permissions(b.path("dev"), fs::perms(0755));
    chmod(b.path("lock").c_str(), lock_dir_mode);
    for (const channel c : {channel::ctrl, channel::audio}) {
        chmod(b.modem(c).slave.c_str(), 0666);
    }
}

peer::peer(const std::string &lock_dir, std::vector<std::string> argv,
           std::vector<std::string> env) {
    // The system lock directory as the peer sees it: /var/lock, or where
    // that link leads, and /run/lock as well.
    std::vector<std::string> targets;
    std::error_code ignored;
    for (const char *p : {"/var/lock", "/run/lock"}) {
        const fs::path real = fs::canonical(p, ignored);
        if (!ignored && fs::is_directory(real) &&
            std::find(targets.begin(), targets.end(), real.string()) == targets.end()) {
            targets.push_back(real.string());
        }
    }
    exec_image image;
    image.argv_text = std::move(argv);
    image.env_text = {"TERM=vt100",
                      "LANG=C",
                      "LC_ALL=C",
                      "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                      "HOME=" + lock_dir + "/..",
                      sandbox::run_marker_entry()};
    image.env_text.insert(image.env_text.end(), env.begin(), env.end());
    image.seal();

    int terminal = -1;
    int slave = -1;
    winsize size{24, 80, 0, 0};
    if (openpty(&terminal, &slave, nullptr, nullptr, &size) != 0) {
        output_ = "openpty failed: " + std::string(strerror(errno));
        return;
    }
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    pid_ = sandbox::fork_child();
    if (pid_ < 0) {
        output_ = "fork failed: " + std::string(strerror(errno));
    }
    if (pid_ == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        if (slave > 2) {
            close(slave);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (unshare(CLONE_NEWNS) != 0) {
            child_fails("unshare", 125);
        }
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            child_fails("mount private", 125);
        }
        for (const auto &t : targets) {
            if (mount(lock_dir.c_str(), t.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                child_fails("mount bind", 125);
            }
        }
        execve(image.argv[0], image.argv.data(), image.env.data());
        child_fails("execve", 127);
    }
    close(slave);
    terminal_ = terminal;
}

peer::~peer() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (terminal_ >= 0) {
        close(terminal_);
    }
}

void peer::drain() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(terminal_, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
    }
}

bool peer::type(const std::string &keys) {
    return terminal_ >= 0 && write_all(terminal_, keys);
}

const std::string &peer::output() {
    drain();
    return output_;
}

bool peer::wait_output(const std::string &text, steady::duration limit) {
    return poll_until([&] { return output().find(text) != std::string::npos; }, limit);
}

std::optional<int> peer::wait_exit(steady::duration limit) {
    int status = 0;
    if (!status_ && pid_ > 0 &&
        poll_until(
            [&] {
                drain(); // a peer that cannot write its terminal cannot exit
                return waitpid(pid_, &status, WNOHANG) == pid_;
            },
            limit)) {
        status_ = status;
    }
    drain();
    return status_;
}

std::optional<int> peer::stop(int sig, steady::duration limit) {
    if (!status_ && pid_ > 0) {
        kill(pid_, sig);
    }
    return wait_exit(limit);
}

bool peer::running() {
    return pid_ > 0 && !wait_exit(0ms).has_value();
}

} // namespace field
