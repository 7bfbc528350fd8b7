#include "platform/instance_lock.h"

#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace {

class InstanceLockTest : public testsupport::SandboxTest {};

TEST_F(InstanceLockTest, OneHolderAtATime) {
    InstanceLock first;
    InstanceLock second;
    EXPECT_EQ(first.Acquire("Corvantis"), InstanceLock::Result::kAcquired);
    EXPECT_EQ(InstanceLock::LockPath("Corvantis"), m_dir.File("runtime") + "/Corvantis.lock");
    EXPECT_TRUE(std::filesystem::exists(m_dir.File("runtime") + "/Corvantis.lock"));
    EXPECT_EQ(second.Acquire("Corvantis"), InstanceLock::Result::kHeldElsewhere);
    EXPECT_FALSE(second.held());
    // Other names are independent.
    EXPECT_EQ(second.Acquire("Other"), InstanceLock::Result::kAcquired);
    first.Release();
    InstanceLock third;
    EXPECT_EQ(third.Acquire("Corvantis"), InstanceLock::Result::kAcquired);
}

TEST_F(InstanceLockTest, FallsBackToTmpWithoutARuntimeDirectory) {
    unsetenv("XDG_RUNTIME_DIR");
    const std::string expected = "/tmp/VelmoraLockTest" + std::to_string(getpid()) + "-" +
                                 std::to_string(getuid()) + ".lock";
    const std::string name = "VelmoraLockTest" + std::to_string(getpid());
    EXPECT_EQ(InstanceLock::LockPath(name), expected);
    {
        InstanceLock lock;
        EXPECT_EQ(lock.Acquire(name), InstanceLock::Result::kAcquired);
    }
    std::filesystem::remove(expected);
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);  // not absolute: not used
    EXPECT_EQ(InstanceLock::LockPath(name), expected);
}

TEST_F(InstanceLockTest, ASymbolicLinkInItsPlaceIsNotFollowed) {
    const std::string target = m_dir.File("victim");
    std::filesystem::create_symlink(target, m_dir.File("runtime") + "/Corvantis.lock");
    InstanceLock lock;
    EXPECT_EQ(lock.Acquire("Corvantis"), InstanceLock::Result::kFailed);
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(InstanceLockTest, TheLockIsNotInheritedByChildren) {
    InstanceLock lock;
    ASSERT_EQ(lock.Acquire("Corvantis"), InstanceLock::Result::kAcquired);
    // Every descriptor that refers to the lock file must be close-on-exec.
    const std::string path = m_dir.File("runtime") + "/Corvantis.lock";
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec).string() != path)
            continue;
        const int fd = std::stoi(entry.path().filename().string());
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        ++found;
    }
    EXPECT_EQ(found, 1);
}

}  // namespace
