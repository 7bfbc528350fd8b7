#pragma once

#include <cstdint>

// Millisecond tick count from CLOCK_MONOTONIC, wrapping at 2^32. Never returns 0,
// because 0 means "none" in host records. Any thread.
uint32_t GetTick();

// Replaces the tick source (tests only); nullptr restores the real clock. The source
// must itself never return 0. Any thread; takes effect for the next GetTick.
using TickSource = uint32_t (*)();
void SetTickSource(TickSource source);
