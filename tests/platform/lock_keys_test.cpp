#include "platform/lock_keys.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace {

// A lights directory as the kernel shows it: one folder per light with its brightness.
void AddLight(const testsupport::TempDir& dir, const std::string& name, const char* brightness) {
    std::filesystem::create_directories(dir.File(name));
    std::ofstream(dir.File(name) + "/brightness") << brightness;
}

TEST(ReadLockKeys, ALockIsOnWhenAnyKeyboardLightsIt) {
    testsupport::TempDir dir;
    AddLight(dir, "input3::capslock", "0\n");
    AddLight(dir, "input7::capslock", "1\n");  // a second keyboard
    AddLight(dir, "input3::numlock", "0\n");
    AddLight(dir, "input3::scrolllock", "255\n");
    AddLight(dir, "input3::kana", "1\n");  // not a lock we show
    AddLight(dir, "phy0-led", "1\n");
    const LockKeyState state = ReadLockKeys(dir.path());
    EXPECT_TRUE(state.caps);
    EXPECT_FALSE(state.num);
    EXPECT_TRUE(state.scroll);
}

TEST(ReadLockKeys, WithoutLightsEveryLockReadsOff) {
    testsupport::TempDir dir;
    AddLight(dir, "input3::numlock", "");  // unreadable brightness
    const LockKeyState none = ReadLockKeys(dir.File("missing"));
    EXPECT_FALSE(none.caps || none.num || none.scroll);
    const LockKeyState empty = ReadLockKeys(dir.path());
    EXPECT_FALSE(empty.num);
}

}  // namespace
