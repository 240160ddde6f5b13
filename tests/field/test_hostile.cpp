// Lock directories that are hostile or broken: entries planted by other
// local users (the lock directory is writable by all), odd file contents,
// and directories that are missing, read-only or full. Whatever it finds,
// the daemon writes and removes nothing outside its own lock files, keeps
// the other channel going, and stops on SIGTERM within one lock wait.

#include "field.hpp"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

using namespace field;
namespace fs = std::filesystem;

namespace {

constexpr uid_t nobody = 65534;
constexpr uid_t daemon_user = 1;

// Stops the daemon and checks it took at most one lock wait to do so.
void stops_in_time(bridge &b) {
    const auto started = steady::now();
    EXPECT_EQ(b.stop(SIGTERM), 0);
    EXPECT_LT(steady::now() - started, slow(3s));
    const auto infos = b.texts(LOG_INFO);
    ASSERT_FALSE(infos.empty());
    EXPECT_EQ(infos.back(), "exit");
}

// A process of another user that stays alive until the guard ends.
struct foreign_process {
    pid_t pid = -1;
    explicit foreign_process(uid_t uid) {
        const std::string setpriv = find_program("setpriv");
        const std::string sleep = find_program("sleep");
        const std::string id = std::to_string(uid);
        std::vector<std::string> text{setpriv,          "--reuid=" + id, "--regid=" + id,
                                      "--clear-groups", sleep,           "600"};
        std::vector<char *> argv;
        for (auto &t : text) {
            argv.push_back(t.data());
        }
        argv.push_back(nullptr);
        pid = sandbox::fork_child();
        if (pid == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        // Running as that user once its exec is done.
        poll_until([&] {
            struct stat st {};
            return stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 && st.st_uid == uid;
        });
    }
    ~foreign_process() {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }
};

// Runs the daemon as another user: the sandbox must be usable by it.
std::function<void()> as_user(uid_t uid) {
    return [uid] {
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
            setresuid(uid, uid, uid) != 0) {
            _exit(126);
        }
    };
}

// The lock directory as the daemon sees it, in its own mount namespace.
std::string seen_by(const bridge &b, const std::string &relative) {
    return "/proc/" + std::to_string(b.pid()) + "/root" + b.path(relative);
}

} // namespace

// Property: a stale lock that is also a hard link elsewhere is taken over
// by its name in the lock directory alone.
TEST(FieldHostile, AStaleLockHardLinkedElsewhereIsTakenOverAndTheOtherNameKept) {
    // Symbolic links at a lock path are never followed (the ports' tests);
    // a hard link is a plain file, and only its name in the lock directory
    // goes.
    bridge b(daemon_options());
    const std::string lock = b.path("lock/LCK..ttyACM11");
    ASSERT_TRUE(write_file(b.path("precious"), "0\n"));
    fs::create_hard_link(b.path("precious"), lock);
    const int audio = b.attach(channel::audio);
    ASSERT_GE(audio, 0);
    ASSERT_TRUE(write_all(audio, "audio"));
    EXPECT_EQ(read_for(b.modem(channel::audio).master, 5), "audio");
    EXPECT_EQ(file_text(lock), lock_text(b.pid()));
    EXPECT_EQ(file_text(b.path("precious")), "0\n");
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
    stops_in_time(b);
    EXPECT_EQ(file_text(b.path("precious")), "0\n");
    close(audio);
}

// Property: a lock file's owner is the decimal number at its start, however
// odd or large the rest of the file.
TEST(FieldHostile, OnlyTheFirstBytesOfALockFileCount) {
    struct odd {
        const char *name;
        std::function<std::string()> content;
        bool stale;
    };
    const pid_t me = getpid();
    const std::vector<odd> cases{
        // A sparse gigabyte starts with zero bytes: no number, stale.
        {"a gigabyte of zeros", [] { return std::string(); }, true},
        {"a live PID followed by a megabyte of noise",
         [me] { return lock_text(me) + std::string(1 << 20, 'x'); }, false},
        // The binary form of the old convention holds no decimal number and
        // so is stale even when it names a live process: kept as it is,
        // since every current program writes text.
        {"a live PID in binary (init's: its bytes can be no digit)",
         [] {
             const std::int32_t pid = 1;
             return std::string(reinterpret_cast<const char *>(&pid), sizeof pid);
         },
         true},
        {"a live PID with padding and no newline", [me] { return "   " + std::to_string(me); },
         false},
        {"a live PID after 70 blanks", [me] { return std::string(70, ' ') + lock_text(me); }, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bridge b(daemon_options({.start = false}));
        const std::string lock = b.path("lock/LCK..ptyp6");
        ASSERT_TRUE(write_file(lock, c.content()));
        if (c.content().empty()) {
            ASSERT_EQ(truncate(lock.c_str(), 1LL << 30), 0);
        }
        const auto size = fs::file_size(lock);
        b.start();
        if (c.stale) {
            const int client = b.attach(channel::ctrl);
            ASSERT_GE(client, 0);
            EXPECT_EQ(file_text(lock), lock_text(b.pid()));
            EXPECT_EQ(b.count("cannot lock dev/ptyp6"), 0u);
            close(client);
        } else {
            ASSERT_TRUE(b.wait_message("cannot lock dev/ptyp6", slow(patience)));
            EXPECT_EQ(fs::file_size(lock), size);
            EXPECT_EQ(b.opens("dev/ptyp6"), 0u);
        }
        stops_in_time(b);
    }
}

// Property: the lock of another user's live process is kept, whether or
// not the daemon may signal that process.
TEST(FieldHostile, AnotherUsersLiveProcessKeepsItsLock) {
    if (!is_root()) {
        GTEST_SKIP() << "needs root to run processes as other users";
    }
    // Root may signal it; another user may not, and must still count it
    // alive rather than take its lock.
    for (const bool daemon_as_root : {true, false}) {
        SCOPED_TRACE(daemon_as_root ? "daemon as root" : "daemon as another user");
        foreign_process owner(nobody);
        bridge b(daemon_options(
            {.start = false,
             .in_child = daemon_as_root ? std::function<void()>{} : as_user(daemon_user)}));
        share_with_other_users(b, 01777);
        const std::string lock = b.path("lock/LCK..ttyACM12");
        ASSERT_TRUE(write_file(lock, lock_text(owner.pid)));
        b.start();
        const int client = b.attach(channel::ctrl);
        ASSERT_GE(client, 0);
        ASSERT_TRUE(write_all(client, "AT\r"));
        ASSERT_TRUE(b.wait_message("dev/ptyp6 data lost, cannot open dev/ttyACM12"));
        EXPECT_EQ(b.texts(LOG_ERR),
                  (std::vector<std::string>{"cannot lock dev/ttyACM12",
                                            "dev/ptyp6 data lost, cannot open dev/ttyACM12"}));
        EXPECT_EQ(file_text(lock), lock_text(owner.pid));
        EXPECT_EQ(b.opens("dev/ttyACM12"), 0u);
        stops_in_time(b);
        EXPECT_EQ(file_text(lock), lock_text(owner.pid));
        close(client);
    }
}

// Property: without a usable lock directory the daemon opens no device,
// leaves nothing of its own behind, and says once which directory it cannot
// use and why.
TEST(FieldHostile, UnwritableOrFullLockDirectoryOpensNothingAndStillStops) {
    if (!is_root()) {
        GTEST_SKIP() << "needs root for mount namespaces and other users";
    }
    struct broken {
        const char *name;
        std::function<void()> in_child; // runs in the daemon's working directory
        mode_t lock_dir_mode;
        const char *stale_lock; // planted before the start, or null
        const char *filler;     // a file that fills the directory, or null
        const char *reported;   // how the directory's failure is named
    };
    const auto private_mounts = [] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            _exit(125);
        }
    };
    const auto fill = [](const char *prefix, std::size_t bytes) {
        static const char block[4096] = {};
        for (int i = 0; i < 10000; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "lock/%s%d", prefix, i);
            const int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) {
                return;
            }
            const bool full = bytes > 0 && write(fd, block, bytes) != static_cast<ssize_t>(bytes);
            close(fd);
            if (full) {
                return;
            }
        }
    };
    const std::vector<broken> cases{
        {"read-only bind mount",
         [private_mounts] {
             private_mounts();
             if (mount("lock", "lock", nullptr, MS_BIND, nullptr) != 0 ||
                 mount("none", "lock", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
                 _exit(125);
             }
         },
         0755, "LCK..ptyp6", nullptr, "(30, Read-only file system)"},
        {"no write permission, daemon not root", as_user(daemon_user), 0555, "LCK..ptyp6", nullptr,
         "(13, Permission denied)"},
        {"tmpfs without a free inode",
         [private_mounts, fill] {
             private_mounts();
             if (mount("none", "lock", "tmpfs", 0, "size=64k,nr_inodes=8,mode=0755") != 0) {
                 _exit(125);
             }
             fill("inode", 0);
         },
         0755, nullptr, "inode0", "(28, No space left on device)"},
        {"tmpfs without a free block",
         [private_mounts, fill] {
             private_mounts();
             if (mount("none", "lock", "tmpfs", 0, "size=16k,nr_inodes=64,mode=0755") != 0) {
                 _exit(125);
             }
             fill("block", 4096);
         },
         0755, nullptr, "block0", "(28, No space left on device)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bridge b(daemon_options({.start = false, .in_child = c.in_child}));
        share_with_other_users(b, 0755);
        if (c.stale_lock != nullptr) {
            ASSERT_TRUE(
                write_file(b.path(std::string("lock/") + c.stale_lock), lock_text(gone_pid())));
        }
        chmod(b.path("lock").c_str(), c.lock_dir_mode);
        b.start();
        ASSERT_TRUE(b.wait_message("cannot lock dev/ptyp6", slow(patience)));
        EXPECT_EQ(b.opens("dev/ptyp6"), 0u);
        EXPECT_EQ(b.opens("dev/ptyp7"), 0u);
        // The directory is named once, with the reason; each wait then ends
        // in a line of its own, each channel's.
        const auto errors = b.texts(LOG_ERR);
        EXPECT_EQ(errors.front(), std::string("cannot use lock directory lock ") + c.reported);
        for (std::size_t i = 1; i < errors.size(); ++i) {
            EXPECT_TRUE(errors[i] == "cannot lock dev/ptyp6" ||
                        errors[i] == "cannot lock dev/ptyp7")
                << errors[i];
        }
        if (c.filler != nullptr) {
            EXPECT_TRUE(fs::exists(seen_by(b, std::string("lock/") + c.filler)));
        }
        if (c.filler != nullptr) {
            // With inodes left the lock file is made under its temporary
            // name, its PID cannot be written, and it is removed again.
            const std::string temporary = "lock/LTMP." + std::to_string(b.pid());
            std::size_t made = 0;
            for (const auto &e : b.events()) {
                made += e.kind == 'O' && e.number >= 0 && e.text == temporary ? 1 : 0;
            }
            EXPECT_EQ(made > 0, c.filler == std::string("block0"));
        }
        // Nothing of the daemon's is left in the directory it sees.
        std::error_code ignored;
        for (const auto &e : fs::directory_iterator(seen_by(b, "lock"), ignored)) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE((name.rfind("LCK..", 0) != 0 && name.rfind("LTMP.", 0) != 0) ||
                        (c.stale_lock != nullptr && name == c.stale_lock))
                << name;
        }
        stops_in_time(b);
    }
}

// Property: closing a port removes the lock file only while it is still
// the daemon's.
TEST(FieldHostile, ALockThatIsNoLongerTheDaemonsIsLeftWhenItsPortCloses) {
    // Someone removed the daemon's lock file (a clean-up of the world-
    // writable lock directory, a careless peer) and another process then
    // locked the device: closing the port must not take that lock away.
    struct closing {
        const char *name;
        const char *device;
        std::function<void(bridge &, int &client)> close_port;
    };
    // The port logs its close first: done once the daemon waits again.
    const auto closed = [](bridge &b, const char *device) {
        return poll_until([&] {
            for (const auto &t : b.texts(LOG_DEBUG)) {
                if (t.rfind(std::string(device) + " close", 0) == 0) {
                    return b.idle();
                }
            }
            return false;
        });
    };
    const std::vector<closing> cases{
        {"modem unplugged", "dev/ttyACM12",
         [closed](bridge &b, int &) {
             close(b.modem(channel::ctrl).master);
             b.modem(channel::ctrl).master = -1;
             ASSERT_TRUE(closed(b, "dev/ttyACM12"));
         }},
        {"client hung up", "dev/ttyACM12",
         [closed](bridge &b, int &client) {
             close(client);
             client = -1;
             ASSERT_TRUE(closed(b, "dev/ttyACM12"));
         }},
        {"stopped", "dev/ptyp7", [](bridge &b, int &) { EXPECT_EQ(b.stop(SIGTERM), 0); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bridge b(daemon_options({.args = {"-d", "4"}}));
        int client = b.attach(channel::ctrl);
        ASSERT_GE(client, 0);
        ASSERT_TRUE(write_all(client, "AT\r"));
        ASSERT_EQ(read_for(b.modem(channel::ctrl).master, 3), "AT\r");
        const std::string lock = b.path(lock_name(c.device));
        ASSERT_EQ(file_text(lock), lock_text(b.pid()));

        fs::remove(lock);
        ASSERT_TRUE(write_file(lock, lock_text(getpid())));
        c.close_port(b, client);
        EXPECT_EQ(file_text(lock), lock_text(getpid()));
        if (client >= 0) {
            close(client);
        }
    }
}
