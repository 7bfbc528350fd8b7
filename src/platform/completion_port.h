#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

#include <sys/socket.h>

// One finished receive, or the empty stop packet (ok, bytes 0, key 0, slot nullptr).
struct Completion {
    bool ok = false;       // false: the receive failed (error holds errno) or timed out
    uint32_t bytes = 0;    // datagram length
    uintptr_t key = 0;     // the key given to Associate
    void* slot = nullptr;  // the slot given to PostReceive
    int error = 0;         // errno of a failed receive; ETIMEDOUT for a wait time-out
};

// Overlapped receive-from over epoll and an eventfd: sockets are associated with a key,
// receives are posted into caller-owned slots, and one thread waits for completions in
// the order datagrams arrive. PostReceive and PostEmpty: any thread. Wait: one thread.
class CompletionPort {
public:
    CompletionPort();
    ~CompletionPort();
    CompletionPort(const CompletionPort&) = delete;
    CompletionPort& operator=(const CompletionPort&) = delete;

    // Creates the epoll instance and the wake-up eventfd; false on failure.
    bool Create();
    bool created() const;
    // Ties a socket to the port; the socket is made non-blocking. False on failure.
    bool Associate(int fd, uintptr_t key);
    // Posts one receive-from on `fd` into caller memory that stays valid until the slot
    // completes. `*fromLen` is the capacity of `from` and receives the address length.
    // Returns 0 (pending) or an errno value (the socket is not associated).
    int PostReceive(int fd, void* slot, void* buffer, size_t length, sockaddr* from,
                    socklen_t* fromLen);
    // Queues the empty stop packet; false on failure.
    bool PostEmpty();
    // Waits up to `timeoutMs` (0xFFFFFFFF: forever) for one completion. Returns false only
    // on a wait time-out or failure (then `out->ok` is false, `out->error` says why).
    bool Wait(Completion* out, uint32_t timeoutMs);

private:
    struct Pending {
        void* slot;
        void* buffer;
        size_t length;
        sockaddr* from;
        socklen_t* fromLen;
    };
    struct Socket {
        uintptr_t key = 0;
        std::deque<Pending> pending;  // receives waiting for a datagram, oldest first
    };

    int m_epoll = -1;
    int m_wake = -1;
    std::mutex m_mutex;
    std::unordered_map<int, Socket> m_sockets;
    std::deque<Completion> m_ready;  // completions found but not yet handed out
    uint64_t m_stopPackets = 0;
};
