#include "sandbox.hpp"

#include "processes.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#ifndef PTYBRIDGE_SANDBOX_DAEMON
#error "PTYBRIDGE_SANDBOX_DAEMON must name the daemon under test"
#endif
#ifndef PTYBRIDGE_CAPTURE_LIBRARY
#error "PTYBRIDGE_CAPTURE_LIBRARY must name the preload library"
#endif

namespace sandbox {

namespace fs = std::filesystem;

namespace {

// Every directory above the file lets others through, and the file lets
// them read and run it.
bool reachable_by_others(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IROTH | S_IXOTH)) != (S_IROTH | S_IXOTH)) {
        return false;
    }
    for (fs::path dir = fs::path(path).parent_path(); !dir.empty(); dir = dir.parent_path()) {
        if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
            return false;
        }
        if (dir == dir.root_path()) {
            break;
        }
    }
    return true;
}

// Copies of the programs, removed at exit (children leave through exec
// or _exit and so never remove them).
struct staged {
    std::string dir;
    programs paths;
    ~staged() {
        if (!dir.empty()) {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    }
};

std::string stage(const std::string &dir, const std::string &file) {
    const std::string copy = dir + "/" + fs::path(file).filename().string();
    std::error_code failed;
    fs::copy_file(file, copy, failed);
    if (failed || chmod(copy.c_str(), 0755) != 0) {
        std::fprintf(stderr, "sandbox: cannot copy %s to %s: %s\n", file.c_str(), copy.c_str(),
                     failed ? failed.message().c_str() : std::strerror(errno));
        return file;
    }
    return copy;
}

// The system calls a process can wait for readable descriptors in, with
// where each takes its deadline. Numbers are those of the architecture
// of the program making the call: under qemu or valgrind, the host's.
// A poll interrupted by a handled signal goes on as restart_syscall, whose
// arguments no longer show the deadline: it counts as the main wait, as
// the daemon's other waits are a second long at most.
enum class deadline_arg { pointer, milliseconds, hidden };
struct wait_call {
    long number;
    const char *name;
    int arg; // 1-based position of the deadline
    deadline_arg kind;
};

// NOLINTBEGIN(readability-magic-numbers): the kernels' syscall tables.
constexpr wait_call x86_64_calls[] = {{23, "select", 5, deadline_arg::pointer},
                                      {270, "pselect6", 5, deadline_arg::pointer},
                                      {7, "poll", 3, deadline_arg::milliseconds},
                                      {271, "ppoll", 3, deadline_arg::pointer},
                                      {232, "epoll_wait", 4, deadline_arg::milliseconds},
                                      {281, "epoll_pwait", 4, deadline_arg::milliseconds},
                                      {441, "epoll_pwait2", 4, deadline_arg::pointer},
                                      {219, "restart_syscall", 1, deadline_arg::hidden}};
constexpr wait_call aarch64_calls[] = {{72, "pselect6", 5, deadline_arg::pointer},
                                       {73, "ppoll", 3, deadline_arg::pointer},
                                       {22, "epoll_pwait", 4, deadline_arg::milliseconds},
                                       {441, "epoll_pwait2", 4, deadline_arg::pointer},
                                       {128, "restart_syscall", 1, deadline_arg::hidden}};
// 32-bit ARM and x86 share these but for pselect6, ppoll and the epolls.
constexpr wait_call arm_calls[] = {{142, "_newselect", 5, deadline_arg::pointer},
                                   {168, "poll", 3, deadline_arg::milliseconds},
                                   {335, "pselect6", 5, deadline_arg::pointer},
                                   {336, "ppoll", 3, deadline_arg::pointer},
                                   {413, "pselect6_time64", 5, deadline_arg::pointer},
                                   {414, "ppoll_time64", 3, deadline_arg::pointer},
                                   {252, "epoll_wait", 4, deadline_arg::milliseconds},
                                   {346, "epoll_pwait", 4, deadline_arg::milliseconds},
                                   {441, "epoll_pwait2", 4, deadline_arg::pointer},
                                   {0, "restart_syscall", 1, deadline_arg::hidden}};
constexpr wait_call i386_calls[] = {{142, "_newselect", 5, deadline_arg::pointer},
                                    {168, "poll", 3, deadline_arg::milliseconds},
                                    {308, "pselect6", 5, deadline_arg::pointer},
                                    {309, "ppoll", 3, deadline_arg::pointer},
                                    {413, "pselect6_time64", 5, deadline_arg::pointer},
                                    {414, "ppoll_time64", 3, deadline_arg::pointer},
                                    {256, "epoll_wait", 4, deadline_arg::milliseconds},
                                    {319, "epoll_pwait", 4, deadline_arg::milliseconds},
                                    {441, "epoll_pwait2", 4, deadline_arg::pointer},
                                    {0, "restart_syscall", 1, deadline_arg::hidden}};
constexpr unsigned em_386 = 3;
constexpr unsigned em_arm = 40;
constexpr unsigned em_x86_64 = 62;
constexpr unsigned em_aarch64 = 183;
// NOLINTEND(readability-magic-numbers)

// The machine of an ELF file (e_machine), or 0.
unsigned elf_machine(const std::string &path) {
    unsigned char header[20] = {};
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char *>(header), sizeof header) || header[0] != 0x7f ||
        header[1] != 'E' || header[2] != 'L' || header[3] != 'F') {
        return 0;
    }
    // Little-endian (EI_DATA 1) on every machine listed here.
    return header[5] == 1 ? header[18] | (header[19] << 8U) : 0;
}

// The wait calls of the machine whose code the process runs: the program
// in /proc/<pid>/exe (qemu or valgrind when the daemon runs under them),
// else this program's.
std::pair<const wait_call *, std::size_t> wait_calls(pid_t pid) {
    unsigned machine = elf_machine("/proc/" + std::to_string(pid) + "/exe");
    if (machine == 0) {
        machine = elf_machine("/proc/self/exe");
    }
    switch (machine) {
    case em_x86_64:
        return {x86_64_calls, std::size(x86_64_calls)};
    case em_aarch64:
        return {aarch64_calls, std::size(aarch64_calls)};
    case em_arm:
        return {arm_calls, std::size(arm_calls)};
    case em_386:
        return {i386_calls, std::size(i386_calls)};
    default:
        return {nullptr, 0};
    }
}

// Copies' directories are named after the process that made them, which
// removes its own at exit: one killed outright cannot, so the next run
// removes those whose process is gone.
constexpr char copies_prefix[] = "ptybridge-programs-";

void remove_orphaned_copies(const std::string &base) {
    std::error_code ignored;
    for (const auto &e : fs::directory_iterator(base, ignored)) {
        const std::string name = e.path().filename().string();
        struct stat st {};
        if (name.rfind(copies_prefix, 0) != 0 || lstat(e.path().c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
            continue;
        }
        const long owner = std::strtol(name.c_str() + sizeof copies_prefix - 1, nullptr, 10);
        if (owner > 0 && kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) {
            fs::remove_all(e.path(), ignored);
        }
    }
}

bool preload_safe(const std::string &path) {
    return path.find_first_of(" :") == std::string::npos;
}

// The copies' directory: under temp_dir() when the dynamic loader takes
// its path whole (LD_PRELOAD is split at spaces and colons) and every user
// can pass through it, else under /tmp.
std::string staging_base() {
    const std::string tmp = temp_dir();
    struct stat st {};
    if (!preload_safe(tmp)) {
        return "/tmp";
    }
    for (fs::path dir = tmp; !dir.empty(); dir = dir.parent_path()) {
        if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
            return "/tmp";
        }
        if (dir == dir.root_path()) {
            break;
        }
    }
    return tmp;
}

// Where the daemon finds the capture library's pipe: high enough to leave
// its own descriptors where they would be on a board, and within the limit
// of open files this process has and the daemon inherits (1024 on a stock
// machine), so that nothing needs a raised limit. The highest number both
// that limit and select allow.
int events_fd_in_daemon() {
    rlimit files{};
    rlim_t highest = FD_SETSIZE;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < highest) {
        highest = files.rlim_cur;
    }
    return static_cast<int>(highest) - 1;
}

} // namespace

const programs &sandbox_programs() {
    static const staged copies = [] {
        staged s;
        s.paths = {PTYBRIDGE_SANDBOX_DAEMON, PTYBRIDGE_CAPTURE_LIBRARY};
        // The capture library always runs from a copy: the build tree's path
        // may hold a space or a colon, or be closed to the other users some
        // tests run the daemon as.
        const std::string base = staging_base();
        remove_orphaned_copies(base);
        std::string pattern = base + "/" + copies_prefix + std::to_string(getpid()) + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            fail_hard("sandbox: cannot make " + pattern + ": " + std::strerror(errno));
        }
        s.dir = pattern;
        if (chmod(s.dir.c_str(), 0755) != 0) {
            fail_hard("sandbox: cannot open " + s.dir + " to every user: " + std::strerror(errno));
        }
        s.paths.capture = stage(s.dir, s.paths.capture);
        if (s.paths.capture == PTYBRIDGE_CAPTURE_LIBRARY) {
            fail_hard("sandbox: the capture library must run from a copy");
        }
        if (!reachable_by_others(s.paths.daemon)) {
            s.paths.daemon = stage(s.dir, s.paths.daemon);
        }
        return s;
    }();
    return copies.paths;
}

std::string temp_dir() {
    const char *tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string make_temp_dir(const std::string &prefix) {
    std::string pattern = temp_dir() + "/" + prefix + "-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

bool poll_until(const std::function<bool()> &done, steady::duration limit) {
    const auto deadline = steady::now() + limit;
    for (;;) {
        if (done()) {
            return true;
        }
        if (steady::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
}

std::vector<std::string> daemon_environment() {
    return {"LD_PRELOAD=" + sandbox_programs().capture,
            "PTYBRIDGE_TEST_EVENTS_FD=" + std::to_string(events_fd_in_daemon()), run_marker_entry(),
            // A sanitizer build must accept the preload ahead of its runtime.
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=1",
            "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1", "PATH=/usr/bin:/bin"};
}

pid_t spawn(const spawn_options &opts) {
    std::vector<std::string> argv_text = opts.argv;
    std::vector<std::string> env_text = opts.env;
    // Found by the check for processes left behind after the suite.
    if (std::find(env_text.begin(), env_text.end(), run_marker_entry()) == env_text.end()) {
        env_text.push_back(run_marker_entry());
    }
    std::vector<char *> argv;
    for (auto &a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char *> env;
    for (auto &e : env_text) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);

    const int events_fd = events_fd_in_daemon();

    const pid_t pid = fork_child();
    if (pid != 0) {
        return pid;
    }
    if (opts.new_session) {
        setsid();
    }
    if (!opts.dir.empty() && chdir(opts.dir.c_str()) != 0) {
        _exit(126);
    }
    if (opts.events >= 0 && dup2(opts.events, events_fd) < 0) {
        _exit(126);
    }
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out_fd = ::open(opts.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd =
        opts.err.empty() ? out_fd
                         : ::open(opts.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (null_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 ||
        dup2(out_fd, STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0) {
        _exit(126);
    }
    umask(022);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int sig : {SIGTERM, SIGQUIT, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) {
        signal(sig, SIG_DFL);
    }
    if (opts.in_child) {
        opts.in_child();
    }
    execve(argv[0], argv.data(), env.data());
    _exit(127);
}

std::string unescape(const std::string &escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\' || i + 1 >= escaped.size()) {
            out += escaped[i];
            continue;
        }
        const char next = escaped[++i];
        if (next == 'n') {
            out += '\n';
        } else if (next == 'x' && i + 2 < escaped.size()) {
            const std::string hex = escaped.substr(i + 1, 2);
            out += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
            i += 2;
        } else {
            out += next;
        }
    }
    return out;
}

std::optional<record> parse_record_escaped(const std::string &line) {
    const std::size_t space = line.size() < 3 ? std::string::npos : line.find(' ', 2);
    const std::size_t time_end = space == std::string::npos ? space : line.find(' ', space + 1);
    if (time_end == std::string::npos) {
        return std::nullopt;
    }
    return record{line[0], static_cast<int>(std::strtol(line.c_str() + 2, nullptr, 10)),
                  std::strtoll(line.c_str() + space + 1, nullptr, 10), line.substr(time_end + 1)};
}

void take_records(std::string &received, std::vector<record> &out) {
    std::size_t start = 0;
    for (std::size_t end = received.find('\n'); end != std::string::npos;
         start = end + 1, end = received.find('\n', start)) {
        if (auto r = parse_record_escaped(received.substr(start, end - start))) {
            r->text = unescape(r->text);
            out.push_back(std::move(*r));
        }
    }
    received.erase(0, start);
}

int take_master(pid_t pid, int fd) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        return -1;
    }
    const int master = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
    close(pidfd);
    if (master < 0) {
        return -1;
    }
    // /dev/ptmx, character device 5:2.
    struct stat st {};
    if (fstat(master, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != 5 ||
        minor(st.st_rdev) != 2) {
        close(master);
        errno = ENOTTY;
        return -1;
    }
    return master;
}

int unlock_slave(int master) {
    int unlock = 0;
    unsigned int index = 0;
    if (ioctl(master, TIOCSPTLCK, &unlock) != 0 || ioctl(master, TIOCGPTN, &index) != 0) {
        return -1;
    }
    return static_cast<int>(index);
}

int open_slave(int master, int flags) {
    return unlock_slave(master) < 0 ? -1 : ioctl(master, TIOCGPTPEER, flags);
}

wait_probe probe_wait(pid_t pid) {
    wait_probe p;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream wchan_file(proc + "/wchan");
    std::string wchan;
    wchan_file >> wchan;
    std::ifstream syscall_file(proc + "/syscall");
    std::string number;
    std::array<std::string, 6> args;
    syscall_file >> number;
    for (auto &a : args) {
        syscall_file >> a;
    }
    if (number.empty()) {
        p.seen = "no process " + std::to_string(pid);
        return p;
    }
    if (number == "running") {
        p.seen = "running";
        return p;
    }
    const long n = std::strtol(number.c_str(), nullptr, 10);
    p.blocked =
        wchan.find("poll") != std::string::npos || wchan.find("select") != std::string::npos;
    const auto [calls, count] = wait_calls(pid);
    const wait_call *call = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        call = calls[i].number == n ? &calls[i] : call;
    }
    if (n < 0) {
        p.seen = "blocked outside a system call";
    } else if (call == nullptr) {
        p.seen = "syscall " + number + " (not a wait for descriptors)";
    } else {
        const std::string &deadline = args[static_cast<std::size_t>(call->arg - 1)];
        const unsigned long long value = std::strtoull(deadline.c_str(), nullptr, 16);
        // The main wait is the one wait without a deadline: the daemon's
        // other waits (its pause between attempts) end after a second.
        const bool none = call->kind == deadline_arg::hidden ||
                          (call->kind == deadline_arg::pointer
                               ? value == 0
                               : static_cast<std::int32_t>(static_cast<std::uint32_t>(value)) < 0);
        p.main_wait = p.blocked && none;
        p.seen = "syscall " + number + " (" + call->name + "), " +
                 (call->kind == deadline_arg::hidden ? std::string("deadline not shown")
                  : none                             ? std::string("no deadline")
                                                     : "deadline argument " + deadline);
    }
    p.seen += ", in kernel function " + (wchan.empty() ? std::string("?") : wchan);
    return p;
}

std::string not_idle_reason(const wait_probe &last) {
    return "the daemon never reached its main wait (a select or poll for readable descriptors "
           "without a deadline, in a poll or select kernel function); last seen: " +
           last.seen;
}

std::string file_text(const std::string &path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[256];
        ssize_t n = 0;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        close(fd);
    }
    return text;
}

bool write_file(const std::string &path, const std::string &text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string find_program(const std::string &name) {
    for (const char *dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

} // namespace sandbox
