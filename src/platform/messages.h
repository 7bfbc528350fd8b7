#pragma once

#include <cstdint>

// Message numbers shared with the window layer. The values are the classic ones so
// that the engine's WM_USER + n numbers stay what the rest of the system expects.
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
