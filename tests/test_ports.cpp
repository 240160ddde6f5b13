// Lock files and device opening, seen from outside the daemon: what it
// writes, what it takes over, what it leaves alone, and how it gives up.

#include "harness.hpp"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

using namespace harness;
namespace fs = std::filesystem;

TEST(Locks, EachOpenPortHoldsAnHdbLockWithTheDaemonsPid) {
    bridge b;
    const int client = b.attach(channel::ctrl);
    for (const std::string &device : {ctrl_pty_name, audio_pty_name}) {
        const std::string path = b.path(lock_name(device));
        EXPECT_EQ(file_text(path), lock_text(b.pid())) << path;
        EXPECT_EQ(file_text(path).size(), 11u);
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
    EXPECT_EQ(b.stop(), 0);
    for (const std::string &device : {ctrl_pty_name, audio_pty_name, std::string("dev/ttyACM12"),
                                      std::string("dev/ttyACM11")}) {
        EXPECT_FALSE(b.lock_exists(device)) << device;
    }
    close(client);
}

TEST(Locks, StaleLocksAreTakenOverAtOnce) {
    const std::vector<std::string> stale{
        lock_text(gone_pid()), "0\n", "-17\n",
        "no number\n",         "",    std::string("\x01\x02\x00\x00", 4),
        "99999999999\n"};
    for (const auto &content : stale) {
        bridge b({.start = false});
        ASSERT_TRUE(write_file(b.path(lock_name(ctrl_pty_name)), content));
        b.start();
        ASSERT_TRUE(poll_until([&] { return b.idle(); })) << content;
        EXPECT_EQ(file_text(b.path(lock_name(ctrl_pty_name))), lock_text(b.pid()));
        EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
        // Taken in the first attempt, without waiting.
        const auto opened = b.find("running");
        ASSERT_TRUE(opened);
        EXPECT_LT(b.events().back().usec - opened->usec, 500000);
    }
}

// Another program holds the control modem port: the control channel's
// client waits for it, the call on the audio channel goes on, and the
// control bytes reach the modem once the lock is free.
TEST(Locks, AChannelWaitingForItsLockDoesNotStallTheOther) {
    bridge b;
    const int ctrl = b.attach(channel::ctrl);
    const int audio = b.attach(channel::audio);
    ASSERT_GE(ctrl, 0);
    ASSERT_GE(audio, 0);
    ASSERT_TRUE(write_all(audio, "0"));
    ASSERT_EQ(read_for(b.modem(channel::audio).master, 1), "0");
    ASSERT_TRUE(write_file(b.path("lock/LCK..ttyACM12"), lock_text(getpid())));
    ASSERT_TRUE(write_all(ctrl, "AT\r"));
    ASSERT_TRUE(poll_until([&] { return b.unread_from_client(channel::ctrl) == 0; }));
    // Frames for 600 ms of the wait, each through the bridge before the next.
    auto worst = steady::duration::zero();
    for (const auto start = steady::now(); steady::now() - start < 600ms;) {
        const auto sent = steady::now();
        ASSERT_TRUE(write_all(audio, "f"));
        ASSERT_EQ(read_for(b.modem(channel::audio).master, 1), "f");
        worst = std::max(worst, steady::now() - sent);
    }
    EXPECT_LT(worst, 100ms);
    fs::remove(b.path("lock/LCK..ttyACM12"));
    EXPECT_EQ(read_for(b.modem(channel::ctrl).master, 3), "AT\r");
    EXPECT_EQ(b.count("cannot lock dev/ttyACM12"), 0u);
    close(ctrl);
    close(audio);
}

TEST(Locks, LiveOwnerKeepsTheDeviceAndOnlyItsLockIsRetried) {
    // The owner is this test process; then the daemon's own PID.
    bridge b({.start = false});
    ASSERT_TRUE(write_file(b.path(lock_name(ctrl_pty_name)), lock_text(getpid())));
    b.start();
    ASSERT_TRUE(b.wait_count("cannot lock " + ctrl_pty_name, 2));
    EXPECT_EQ(file_text(b.path(lock_name(ctrl_pty_name))), lock_text(getpid()));
    EXPECT_EQ(b.opens(ctrl_pty_name), 0u);
    // The other channel does not wait for it: it is served meanwhile.
    EXPECT_TRUE(poll_until([&] { return b.opens(audio_pty_name) == 1; }));
    const auto all = b.messages();
    std::vector<long long> at;
    for (const auto &e : all) {
        if (e.text == "cannot lock " + ctrl_pty_name) {
            at.push_back(e.usec);
        }
    }
    // Each round: 1 to 2 seconds of lock attempts, then the 1-second pause.
    ASSERT_GE(at.size(), 2u);
    const double round = static_cast<double>(at[1] - at[0]) / 1e6;
    EXPECT_GE(round, 2.0);
    EXPECT_LT(round, 3.6);
    EXPECT_EQ(b.texts(LOG_ERR).front(), "cannot lock " + ctrl_pty_name);

    fs::remove(b.path(lock_name(ctrl_pty_name)));
    const int client = b.attach(channel::ctrl);
    ASSERT_GE(client, 0);
    EXPECT_EQ(file_text(b.path(lock_name(ctrl_pty_name))), lock_text(b.pid()));
    close(client);
}

TEST(Locks, ALockNamingTheDaemonsOwnPidThatItDidNotWriteIsStale) {
    // Left by an earlier boot's daemon that had the same PID: written in the
    // child, whose PID the daemon keeps across exec, and linked elsewhere too
    // so that its takeover shows.
    const std::string lock = lock_name(audio_pty_name);
    bridge b({.start = false, .in_child = [&lock] {
                  char text[16];
                  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
                  const int fd = ::open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                  (void)!write(fd, text, 11);
                  close(fd);
                  (void)!link(lock.c_str(), "leftover");
              }});
    b.start();
    ASSERT_TRUE(poll_until([&] { return b.idle(); }));
    ASSERT_TRUE(fs::exists(b.path("leftover")));
    EXPECT_FALSE(fs::equivalent(b.path(lock), b.path("leftover")));
    EXPECT_EQ(file_text(b.path(lock)), lock_text(b.pid()));
    EXPECT_EQ(b.opens(audio_pty_name), 1u);
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
    // Taken in the first attempt, without waiting.
    const auto started = b.find("running");
    ASSERT_TRUE(started);
    EXPECT_LT(b.events().back().usec - started->usec, 500000);
}

TEST(Locks, EntriesThatAreNoPlainFileAreNeverReadFollowedOrRemoved) {
    struct hostile {
        const char *name;
        std::function<void(bridge &, const std::string &)> make;
    };
    const std::vector<hostile> cases{
        {"fifo", [](bridge &, const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }},
        {"directory", [](bridge &, const std::string &p) { fs::create_directory(p); }},
        {"dangling symlink to where a file could be made",
         [](bridge &b, const std::string &p) { fs::create_symlink(b.path("made-elsewhere"), p); }},
        {"symlink to a stale-looking file",
         [](bridge &b, const std::string &p) {
             ASSERT_TRUE(write_file(b.path("precious"), "0\n"));
             fs::create_symlink(b.path("precious"), p);
         }},
        {"symlink to a fifo",
         [](bridge &b, const std::string &p) {
             ASSERT_EQ(mkfifo(b.path("pipe").c_str(), 0644), 0);
             fs::create_symlink(b.path("pipe"), p);
         }},
        {"device", [](bridge &, const std::string &p) { fs::create_symlink("/dev/null", p); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bridge b({.args = {"-d", "4"}});
        const std::string lock = b.path("lock/LCK..ttyACM12");
        c.make(b, lock);
        const auto before = fs::symlink_status(lock).type();
        const int client = b.attach(channel::ctrl);
        ASSERT_TRUE(write_all(client, "AT\r"));
        ASSERT_TRUE(b.wait_message(ctrl_pty_name + " data lost, cannot open dev/ttyACM12"));
        EXPECT_EQ(b.texts(LOG_ERR), (std::vector<std::string>{
                                        "cannot lock dev/ttyACM12",
                                        ctrl_pty_name + " data lost, cannot open dev/ttyACM12"}));
        EXPECT_EQ(fs::symlink_status(lock).type(), before);
        if (fs::exists(b.path("precious"))) {
            EXPECT_EQ(file_text(b.path("precious")), "0\n");
        }
        EXPECT_EQ(b.opens("dev/ttyACM12"), 0u);
        // Never stuck: the stop comes at once.
        const auto started = steady::now();
        EXPECT_EQ(b.stop(SIGTERM), 0);
        EXPECT_LT(steady::now() - started, 2s);
        EXPECT_FALSE(fs::exists(fs::symlink_status(b.path("made-elsewhere"))));
        close(client);
    }
}

TEST(Locks, ALockFileThatCannotBeFilledIsNotLeftBehind) {
    // The process ID is written short: the file size limit cuts it.
    bridge b({.start = false, .in_child = [] {
                  signal(SIGXFSZ, SIG_IGN);
                  const rlimit small{5, 5};
                  setrlimit(RLIMIT_FSIZE, &small);
              }});
    b.start();
    ASSERT_TRUE(b.wait_message("cannot lock " + ctrl_pty_name));
    EXPECT_FALSE(b.lock_exists(ctrl_pty_name));
    EXPECT_EQ(b.opens(ctrl_pty_name), 0u);
    // At no moment did the daemon believe it held the device, and no
    // temporary file of its own is left either.
    const std::string temporary = "lock/LTMP." + std::to_string(b.pid());
    EXPECT_FALSE(fs::exists(b.path(temporary)));
    std::size_t creates = 0;
    for (const auto &e : b.events()) {
        creates += e.kind == 'O' && e.text == temporary ? 1 : 0;
    }
    // Retried every 100 ms for 1 to 2 seconds, by both channels at once.
    EXPECT_GE(creates, 10u);
    EXPECT_LE(creates, 42u);
}

TEST(Locks, AMissingLockDirectoryIsNamedOnceAndWaitedFor) {
    const std::string missing = "cannot use lock directory lock (2, No such file or directory)";
    bridge b({.start = false});
    fs::remove(b.path("lock"));
    b.start();
    ASSERT_TRUE(b.wait_count("cannot lock " + ctrl_pty_name, 2));
    EXPECT_EQ(b.opens(ctrl_pty_name), 0u);
    EXPECT_EQ(b.texts(LOG_ERR).front(), missing);
    EXPECT_EQ(b.count(missing), 1u);

    // Once it is there, the channel is taken without a restart.
    fs::create_directory(b.path("lock"));
    const int client = b.attach(channel::ctrl);
    ASSERT_GE(client, 0);
    EXPECT_EQ(file_text(b.path(lock_name(ctrl_pty_name))), lock_text(b.pid()));
    EXPECT_EQ(b.count(missing), 1u);
    close(client);
    EXPECT_EQ(b.stop(), 0);
}

TEST(Ports, MissingDeviceIsRetriedEverySecondWithoutALockLeft) {
    bridge b({.link_ctrl_pty = false});
    const std::string failure = "cannot open " + ctrl_pty_name + " (2, No such file or directory)";
    // Retried every second, but a lasting failure is logged once. In link
    // mode both channels open the one path, each on its own timer.
    const std::size_t step = link_mode ? 2 : 1;
    std::vector<long long> at;
    ASSERT_TRUE(poll_until([&] {
        at.clear();
        for (const auto &e : b.events()) {
            if (e.kind == 'O' && e.number < 0 && e.text.ends_with(ctrl_pty_path)) {
                at.push_back(e.usec);
            }
        }
        return at.size() >= 4 * step;
    }));
    for (std::size_t i = step; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - step], 990000);
        EXPECT_LT(at[i] - at[i - step], 1600000);
    }
    EXPECT_TRUE(poll_until([&] { return !b.lock_exists(ctrl_pty_name); }));
    auto failures = std::vector<std::string>{failure};
    if (link_mode) {
        failures.push_back("cannot open " + audio_pty_name + " (2, No such file or directory)");
    }
    auto logged = b.texts(LOG_ERR);
    std::sort(logged.begin(), logged.end());
    std::sort(failures.begin(), failures.end());
    EXPECT_EQ(logged, failures);
    // Meanwhile the other channel is served where it has a master of its own.
    if (!link_mode) {
        const int audio = b.attach(channel::audio);
        ASSERT_GE(audio, 0);
        close(audio);
    }
    // Once the device appears, the next round takes it, and says so.
    fs::create_symlink("/dev/ptmx", b.path(ctrl_pty_path));
    const int client = b.attach(channel::ctrl);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(b.wait_message(ctrl_pty_name + " open again"));
    EXPECT_EQ(b.texts(LOG_ERR).size(), link_mode ? 2u : 1u); // in link mode audio's too
    close(client);
}

TEST(Ports, DeviceThatIsNoTerminalOpensWithItsFailuresLogged) {
    bridge b({.start = false});
    fs::remove(b.path("dev/ttyACM12"));
    ASSERT_TRUE(write_file(b.path("dev/ttyACM12"), ""));
    b.start();
    const int client = b.attach(channel::ctrl);
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_TRUE(poll_until([&] { return file_text(b.path("dev/ttyACM12")) == "AT\r"; }));
    EXPECT_EQ(
        b.texts(LOG_WARNING),
        std::vector<std::string>{"cannot flush dev/ttyACM12 (25, Inappropriate ioctl for device)"});
    // A regular file is always readable and reads end of file at once,
    // which closes the port again, as a modem's hang-up would.
    ASSERT_TRUE(poll_until([&] { return !b.lock_exists("dev/ttyACM12"); }));
    ASSERT_TRUE(b.wait_message("dev/ttyACM12 hung up"));
    EXPECT_EQ(b.texts(LOG_ERR),
              (std::vector<std::string>{
                  "cannot get dev/ttyACM12 attributes (25, Inappropriate ioctl for device)",
                  "cannot set dev/ttyACM12 attributes (25, Inappropriate ioctl for device)",
                  "dev/ttyACM12 hung up"}));
    close(client);
}

// A modem named by a udev link (/dev/gsm-ctrl -> ttyACM0) is locked by the
// device's kernel name, which other programs that open the device lock too,
// and not by the link's name, which a client of a bridge link of the same
// name (/run/ptybridge/gsm-ctrl) locks. /dev/ptmx stands for the kernel's
// device here: a terminal directly in /dev that anyone may open.
TEST(Ports, AModemLinkedToADeviceInDevIsLockedByTheDevicesName) {
    bridge b({.start = false});
    fs::remove(b.path("dev/ttyACM12"));
    fs::create_symlink("ptmx-link", b.path("dev/ttyACM12")); // relative, as udev makes them
    fs::create_symlink("/dev/ptmx", b.path("dev/ptmx-link"));
    const std::string kernel_lock = b.path("lock/LCK..ptmx");
    const std::string link_lock = b.path("lock/LCK..ttyACM12");
    // A live client holds the link's name, and another program the device.
    ASSERT_TRUE(write_file(link_lock, lock_text(getpid())));
    ASSERT_TRUE(write_file(kernel_lock, lock_text(getpid())));
    b.start();
    const int client = b.attach(channel::ctrl);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_TRUE(b.wait_message("cannot lock dev/ttyACM12"));
    EXPECT_EQ(b.opens("/dev/ptmx"), 0u);

    // Once the device's own lock is free, the link's name does not stand in
    // the way.
    fs::remove(kernel_lock);
    ASSERT_TRUE(poll_until([&] { return b.idle(); }));
    const std::size_t lost = b.count(ctrl_pty_name + " data lost, cannot open dev/ttyACM12");
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_TRUE(poll_until([&] { return b.opens("/dev/ptmx") == 1; }));
    ASSERT_TRUE(poll_until([&] { return file_text(kernel_lock) == lock_text(b.pid()); }));
    ASSERT_TRUE(poll_until([&] { return b.idle(); }));
    EXPECT_EQ(b.count(ctrl_pty_name + " data lost, cannot open dev/ttyACM12"), lost);
    EXPECT_EQ(file_text(link_lock), lock_text(getpid()));

    // The stop gives back the device's lock, and only that one.
    EXPECT_EQ(b.stop(), 0);
    EXPECT_FALSE(fs::exists(kernel_lock));
    EXPECT_EQ(file_text(link_lock), lock_text(getpid()));
    close(client);
}

TEST(Ports, DescriptorsAbove1023AreRefusedAndTheDaemonStillStops) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_max <= FD_SETSIZE) {
        GTEST_SKIP() << "no descriptor above 1023 allowed here (hard limit of open files)";
    }
    bridge b({.start = false, .in_child = [] {
                  // The daemon alone may open above 1023, so that its own
                  // check refuses those descriptors, not the limit first.
                  rlimit raised{};
                  getrlimit(RLIMIT_NOFILE, &raised);
                  raised.rlim_cur = raised.rlim_max;
                  setrlimit(RLIMIT_NOFILE, &raised);
                  // Inherited descriptors fill every number select can watch
                  // (those of the test that close on exec included).
                  const int null_fd = ::open("/dev/null", O_RDONLY);
                  for (int fd = 3; fd < 1024; ++fd) {
                      const int flags = fcntl(fd, F_GETFD);
                      if (flags < 0 || (flags & FD_CLOEXEC) != 0) {
                          dup2(null_fd, fd);
                      }
                  }
              }});
    b.start();
    ASSERT_TRUE(b.wait_message("cannot open " + ctrl_pty_name + " (24, Too many open files)"));
    EXPECT_TRUE(poll_until([&] { return !b.lock_exists(ctrl_pty_name); }));
    // Each channel says it once, however long it lasts.
    for (const auto &t : b.texts(LOG_ERR)) {
        EXPECT_TRUE(t == "cannot open " + ctrl_pty_name + " (24, Too many open files)" ||
                    t == "cannot open " + audio_pty_name + " (24, Too many open files)")
            << t;
    }
    EXPECT_LE(b.texts(LOG_ERR).size(), 2u);
    const auto started = steady::now();
    EXPECT_EQ(b.stop(SIGTERM), 0);
    EXPECT_LT(steady::now() - started, 2s);
    EXPECT_EQ(b.texts(LOG_INFO).back(), "exit");
    EXPECT_FALSE(b.lock_exists(ctrl_pty_name));
}
