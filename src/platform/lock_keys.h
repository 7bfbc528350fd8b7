#pragma once

#include <string>

// Whether Caps Lock, Num Lock and Scroll Lock are on, as the keyboards' lock lights show
// them. The status bar's indicators follow it.
struct LockKeyState {
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

// Reads the lock lights under `ledDirectory` (the kernel's "<device>::capslock",
// "::numlock" and "::scrolllock" entries, each with a "brightness" file): a lock is on when
// any keyboard lights it. All off where the system shows no such lights. Any thread.
LockKeyState ReadLockKeys(const std::string& ledDirectory = "/sys/class/leds");
