#pragma once

#include "platform/messages.h"

// Messages from the engine's threads to the host list view (and, for WM_HOST_ADDRESS,
// the host list control).
constexpr uint32_t WM_PING_REPLY = WM_USER + 8;      // posted: host index, sequence
constexpr uint32_t WM_CYCLE_BEGIN = WM_USER + 9;     // sent: start tick, table; non-zero refuses
constexpr uint32_t WM_CYCLE_END = WM_USER + 10;      // sent: final tick, table
constexpr uint32_t WM_LOOKUP_DONE = WM_USER + 11;    // sent: lookup slot
constexpr uint32_t WM_PING_TIMEOUT = WM_USER + 12;   // posted: host index, host index
constexpr uint32_t WM_PING_SENDFAIL = WM_USER + 16;  // posted: host index, host index
constexpr uint32_t WM_HOST_ADDRESS = WM_USER + 20;   // sent: host record, 0
