// Lock files taken and given back by this process, in a lock directory of
// each test's own: which lock naming this process is its own, how many it
// keeps at once, and how a lock directory it cannot use is reported.

#include "logged.hpp"
#include "port/lock.hpp"
#include "port/port.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

// Relative: each test runs in a fresh directory.
const char lock_directory[] = "locks";

namespace {

std::string text_of(const std::string &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path) << text;
}

std::string my_lock_text() {
    std::array<char, 16> text{};
    (void)std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(getpid()));
    return text.data();
}

class LockFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string dir = (fs::temp_directory_path() / "ptybridge-unit-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        dir_ = dir;
        home_ = fs::current_path();
        fs::current_path(dir_);
        fs::create_directory(lock_directory);
        logged.clear();
    }
    void TearDown() override {
        fs::current_path(home_);
        fs::remove_all(dir_);
    }

  private:
    fs::path dir_;
    fs::path home_;
};

TEST_F(LockFiles, ALockNamingThisProcessIsItsOwnOnlyWhenItWroteIt) {
    // The one it wrote is held: the next attempt finds the device locked.
    const std::string lock = "locks/LCK..ttyS0";
    ASSERT_TRUE(dev_lock_attempt("/dev/ttyS0"));
    EXPECT_FALSE(dev_lock_attempt("/dev/ttyS0"));
    fs::create_hard_link(lock, "mine"); // so that no later file gets its inode
    dev_unlock("/dev/ttyS0");
    EXPECT_FALSE(fs::exists(lock));

    // Nor is one that it did not write given back as its own.
    write_text(lock, my_lock_text());
    dev_unlock("/dev/ttyS0");
    EXPECT_EQ(text_of(lock), my_lock_text());
    EXPECT_EQ(logged_texts(), std::vector<std::string>{});
}

TEST_F(LockFiles, OnlyLocksItCanTellForItsOwnAreTakenAndEachUnlockFreesOne) {
    std::vector<std::string> taken;
    for (int i = 0; i < 32; ++i) {
        const std::string device = "/dev/ttyT" + std::to_string(i);
        if (dev_lock_attempt(device.c_str())) {
            taken.push_back(device);
        } else {
            EXPECT_FALSE(fs::exists("locks/LCK..ttyT" + std::to_string(i)));
        }
    }
    // Every port of the daemon at once, but not without bound.
    EXPECT_GE(taken.size(), 4u);
    EXPECT_LT(taken.size(), 32u);
    for (const auto &device : taken) {
        dev_unlock(device.c_str());
    }
    // Other names each round, as a modem replugged under a new kernel name.
    for (int round = 0; round < 100; ++round) {
        std::vector<std::string> devices;
        for (std::size_t i = 0; i < taken.size(); ++i) {
            devices.push_back("/dev/ttyR" + std::to_string(round) + "." + std::to_string(i));
            ASSERT_TRUE(dev_lock_attempt(devices.back().c_str())) << devices.back();
        }
        for (const auto &device : devices) {
            dev_unlock(device.c_str());
        }
    }
    EXPECT_TRUE(fs::is_empty(lock_directory));
    EXPECT_EQ(logged_texts(), std::vector<std::string>{});
}

TEST_F(LockFiles, AnUnusableDirectoryIsReportedOnceUntilItWorksAgain) {
    const std::vector<std::string> once{
        "cannot use lock directory locks (2, No such file or directory)"};
    fs::remove(lock_directory);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(dev_lock_attempt("/dev/ttyS0"));
    }
    EXPECT_EQ(logged_texts(), once);

    fs::create_directory(lock_directory);
    ASSERT_TRUE(dev_lock_attempt("/dev/ttyS0"));
    dev_unlock("/dev/ttyS0");
    EXPECT_EQ(logged_texts(), once);

    fs::remove(lock_directory);
    EXPECT_FALSE(dev_lock_attempt("/dev/ttyS0"));
    EXPECT_FALSE(dev_lock_attempt("/dev/ttyS1"));
    EXPECT_EQ(logged_texts(), (std::vector<std::string>{once[0], once[0]}));

    // Leaves nothing reported for the next test in this process.
    fs::create_directory(lock_directory);
    ASSERT_TRUE(dev_lock_attempt("/dev/ttyS0"));
    dev_unlock("/dev/ttyS0");
}

} // namespace
