#pragma once

#include <cstdint>

#include "platform/messages.h"

// Window messages the user interface handles beside the engine's, with the classic numbers.
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_QUERYENDSESSION = 0x0011;
constexpr uint32_t WM_ENDSESSION = 0x0016;
constexpr uint32_t WM_COMMAND = 0x0111;
constexpr uint32_t WM_LBUTTONUP = 0x0202;
constexpr uint32_t WM_LBUTTONDBLCLK = 0x0203;
constexpr uint32_t WM_RBUTTONDOWN = 0x0204;
constexpr uint32_t WM_RBUTTONUP = 0x0205;
constexpr uint32_t WM_POWERBROADCAST = 0x0218;

// The main frame's own messages.
constexpr uint32_t WM_AUTO_START = WM_USER + 15;   // start the service when the settings ask
constexpr uint32_t WM_TRAY_NOTIFY = WM_USER + 18;  // callback of the notification-area icon
constexpr uint32_t WM_TRAY_MENU = WM_USER + 19;    // the tray menu is about to be shown
