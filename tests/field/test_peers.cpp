// The daemon beside real serial programs that keep the UUCP lock-file
// convention in the same lock directory. Each runs in a mount namespace of
// its own where the system lock directory is the test's, so the real one
// is never touched.

#include "field.hpp"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

using namespace field;
namespace fs = std::filesystem;

namespace {

struct peer_kind {
    std::string program;
    // Its command line for a device and that device's lock file.
    std::vector<std::string> (*command)(const std::string &program, const std::string &device);
    std::string refused;  // what it says when the device is locked
    int quit;             // the signal after which it leaves in order, lock removed
    bool takes_stale;     // it takes over a lock whose owner is gone
    mode_t lock_dir_mode; // of the shared lock directory
};

// The peer has written its lock. One that ends first fails the wait at
// once, showing what it said.
::testing::AssertionResult takes_lock(peer &p, const std::string &lock) {
    poll_until([&] { return lock_pid(lock) == p.pid() || !p.running(); }, slow(patience));
    if (p.running() && lock_pid(lock) == p.pid()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << (p.running() ? "still running" : "ended") << ", lock holds \"" << file_text(lock)
           << "\", it showed: " << p.output();
}

bool refused(peer &p, const std::string &text) {
    const auto status = p.wait_exit(slow(patience));
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) != 0 &&
           p.output().find(text) != std::string::npos;
}

void keep_to_each_others_locks(const peer_kind &k) {
    if (!is_root()) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    const std::string program = find_program(k.program);
    if (program.empty()) {
        GTEST_SKIP() << k.program << " is not installed";
    }
    bridge b(daemon_options());
    share_with_other_users(b, k.lock_dir_mode);
    const std::string device = b.path("dev/ttyACM12");
    const std::string lock = b.path("lock/LCK..ttyACM12");
    const std::string lock_dir = b.path("lock");
    const int modem = b.modem(channel::ctrl).master;
    int client = b.attach(channel::ctrl);
    ASSERT_GE(client, 0);

    // The daemon holds the modem: the peer is refused, the lock and the
    // relay stay as they were.
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_EQ(read_for(modem, 3), "AT\r");
    {
        peer p(lock_dir, k.command(program, device));
        EXPECT_TRUE(refused(p, k.refused)) << p.output();
    }
    EXPECT_EQ(file_text(lock), lock_text(b.pid()));
    ASSERT_TRUE(write_all(client, "ATE0\r"));
    EXPECT_EQ(read_for(modem, 5), "ATE0\r");
    ASSERT_TRUE(write_all(modem, "OK\r\n"));
    EXPECT_EQ(read_for(client, 4), "OK\r\n");

    // The client hangs up: the daemon lets the modem go.
    close(client);
    ASSERT_TRUE(poll_until([&] { return !fs::exists(fs::symlink_status(lock)); }));
    client = b.attach(channel::ctrl, 1);
    ASSERT_GE(client, 0);

    // The peer holds the modem: the daemon waits, gives up, loses the chunk.
    {
        peer p(lock_dir, k.command(program, device));
        ASSERT_TRUE(takes_lock(p, lock));
        const std::size_t opens_before = b.opens("dev/ttyACM12");
        ASSERT_TRUE(write_all(client, "AT+CSQ\r"));
        ASSERT_TRUE(b.wait_message("dev/ptyp6 data lost, cannot open dev/ttyACM12"));
        EXPECT_EQ(b.texts(LOG_ERR),
                  (std::vector<std::string>{"cannot lock dev/ttyACM12",
                                            "dev/ptyp6 data lost, cannot open dev/ttyACM12"}));
        EXPECT_EQ(b.opens("dev/ttyACM12"), opens_before);
        EXPECT_EQ(lock_pid(lock), p.pid());
        EXPECT_TRUE(p.running());

        // It leaves in order; the daemon's next attempt takes the modem.
        const auto status = p.stop(k.quit);
        ASSERT_TRUE(status);
        EXPECT_FALSE(fs::exists(fs::symlink_status(lock))) << p.output();
        read_available(modem); // whatever the peer sent the modem
        ASSERT_TRUE(write_all(client, "ATI\r"));
        EXPECT_EQ(read_for(modem, 4), "ATI\r");
        EXPECT_EQ(b.opens("dev/ttyACM12"), opens_before + 1);
        EXPECT_EQ(b.count("cannot lock dev/ttyACM12"), 1u);
        EXPECT_EQ(file_text(lock), lock_text(b.pid()));
    }

    close(client);
    ASSERT_TRUE(poll_until([&] { return !fs::exists(fs::symlink_status(lock)); }));
    client = b.attach(channel::ctrl, 2);
    ASSERT_GE(client, 0);

    if (k.takes_stale) {
        // A peer killed outright leaves its lock: the daemon takes it over
        // at once, without a wait.
        {
            peer p(lock_dir, k.command(program, device));
            ASSERT_TRUE(takes_lock(p, lock));
            ASSERT_TRUE(p.stop(SIGKILL)); // reaped: the owner is gone
            EXPECT_EQ(lock_pid(lock), p.pid());
        }
        read_available(modem);
        const std::size_t messages_before = b.texts().size();
        ASSERT_TRUE(write_all(client, "AT+COPS?\r"));
        EXPECT_EQ(read_for(modem, 9), "AT+COPS?\r");
        EXPECT_EQ(file_text(lock), lock_text(b.pid()));
        EXPECT_EQ(b.texts().size(), messages_before);
        EXPECT_EQ(b.texts(LOG_ERR).size(), 2u); // only those of the wait above

        // A daemon ended by SIGINT leaves its locks: the peer takes the
        // modem's over.
        const pid_t daemon = b.pid();
        const auto status = b.stop(SIGINT);
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFSIGNALED(*status));
        EXPECT_EQ(file_text(lock), lock_text(daemon));
        peer p(lock_dir, k.command(program, device));
        EXPECT_TRUE(takes_lock(p, lock));
        p.stop(k.quit);
    } else {
        EXPECT_EQ(b.stop(SIGTERM), 0);
    }
    close(client);
}

std::vector<std::string> minicom_command(const std::string &program, const std::string &device) {
    return {program, "-D", device};
}

std::vector<std::string> cu_command(const std::string &program, const std::string &device) {
    return {program, "-l", device};
}

std::vector<std::string> socat_command(const std::string &program, const std::string &device) {
    return {program, "-u", device + ",lockfile=/var/lock/LCK..ttyACM12", "STDOUT"};
}

} // namespace

// Property: the daemon and minicom never hold the modem at once, and each
// takes over the other's lock once its owner is gone.
TEST(FieldPeers, MinicomAndTheDaemonKeepToEachOthersLocks) {
    // minicom creates "%10d\n" with O_EXCL, removes its lock when hung up,
    // and removes a lock whose owner is gone.
    keep_to_each_others_locks({"minicom", minicom_command, "is locked", SIGHUP, true, 01777});
}

// Property: the daemon and cu never hold the modem at once, and each takes
// over the other's lock once its owner is gone.
TEST(FieldPeers, CuAndTheDaemonKeepToEachOthersLocks) {
    // cu links a complete "%10d\n" file into place, as user uucp: in a
    // sticky directory it could not remove root's stale lock, so this one
    // is not sticky.
    keep_to_each_others_locks({"cu", cu_command, "Line in use", SIGTERM, true, 0777});
}

// Property: the daemon and socat (lockfile=) never hold the modem at once.
TEST(FieldPeers, SocatLockfileAndTheDaemonKeepToEachOthersLocks) {
    // socat writes its PID without padding and never judges a lock stale.
    keep_to_each_others_locks(
        {"socat", socat_command, "could not obtain lock", SIGTERM, false, 01777});
}
