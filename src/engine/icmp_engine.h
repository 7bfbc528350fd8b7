#pragma once

#include <atomic>
#include <cstdint>

#include <netinet/in.h>
#include <sys/socket.h>

class CompletionPort;
class SuspendedThread;

// Receives posted per socket, and the size of each receive buffer.
constexpr int kRecvSlots = 512;
constexpr uint32_t kRecvDataSize = 65999;

// One posted receive: the completion hands the slot back. IPv4 slots use `from` as a
// sockaddr_in (fromlen 16), IPv6 slots as a sockaddr_in6 (fromlen 28).
struct CRecvContext {
    struct Buffer {
        uint32_t len = 0;
        uint8_t* buf = nullptr;
    };
    Buffer wsabuf;
    sockaddr_in6 from{};
    socklen_t fromlen = 0;
    uint8_t data[kRecvDataSize];
};

// The engine's sockets (-1 while not open), its completion port and receive thread (none
// until StartIcmpEngine made them), and the stop flag the receive thread checks when it
// takes the empty stop packet. Created once per process and never closed while it runs.
extern int g_sockIcmp4;
extern int g_sockIcmp6;
extern CompletionPort* g_hIcmpPort;
extern SuspendedThread* g_hRecvThread;
extern std::atomic<uint8_t> g_bShutdown;

// Creates the completion port, opens both sockets, posts every receive and starts the
// receive thread; failures are shown as message boxes. 0, -2 (a socket could not be tied
// to the port) or -3 (no port, or a receive could not be posted). Runs once per process:
// later calls change nothing and return the first call's result. User-interface thread.
int StartIcmpEngine();
// Opens and sets up both raw sockets, reporting each failure in a message box and going
// on with the rest. Always 0. Called by StartIcmpEngine.
int CreateIcmpSockets();
// One receive on g_sockIcmp4 / g_sockIcmp6 into `slot`: 0 (pending) or -2.
int PostRecvV4(CRecvContext* slot);
int PostRecvV6(CRecvContext* slot);
// The receive loop; returns when it takes the stop packet with g_bShutdown set.
uint32_t IcmpRecvThreadProc();
// At exit: sets g_bShutdown and posts the empty stop packet. Does not wait. UI thread.
void StopIcmpEngine();
// Waits up to `timeoutMs` for the receive thread to end (tests and orderly shut-down);
// true when it has ended or never ran.
bool WaitIcmpRecvThreadEnd(uint32_t timeoutMs);
