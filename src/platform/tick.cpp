#include "platform/tick.h"

#include <atomic>
#include <ctime>

namespace {

uint32_t MonotonicTick() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    uint32_t tick = static_cast<uint32_t>(ms);
    // 0 means "none" in host records; the one millisecond in 2^32 that would be 0 reads as 1.
    return tick == 0 ? 1 : tick;
}

std::atomic<TickSource> g_tickSource{nullptr};

}  // namespace

uint32_t GetTick() {
    TickSource source = g_tickSource.load(std::memory_order_acquire);
    return source != nullptr ? source() : MonotonicTick();
}

void SetTickSource(TickSource source) {
    g_tickSource.store(source, std::memory_order_release);
}
