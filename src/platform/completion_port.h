#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <sys/socket.h>

// One finished receive, or the empty stop packet (ok, bytes 0, key 0, slot nullptr).
struct Completion {
    bool ok = false;       // false: the receive failed (error holds errno) or timed out
    uint32_t bytes = 0;    // datagram length
    uintptr_t key = 0;     // the key given to Associate
    void* slot = nullptr;  // the slot given to PostReceive
    int error = 0;         // errno of a failed receive; ETIMEDOUT for a wait time-out
    // The tick (GetTick) at which the datagram reached the socket, however long it waited
    // there before it was handed out; 0 when the socket did not say.
    uint32_t arrivalTick = 0;
    // The hop limit an IPv6 datagram arrived with, on a socket that asked for it
    // (IPV6_RECVHOPLIMIT); -1 when the socket did not say.
    int hopLimit = -1;
};

// Overlapped receive-from over epoll and an eventfd: sockets are associated with a key,
// receives are posted into caller-owned slots, and one thread waits for completions in
// the order datagrams arrive. PostReceive and PostEmpty: any thread. Wait and WaitMany: one
// thread.
class CompletionPort {
public:
    CompletionPort();
    ~CompletionPort();
    CompletionPort(const CompletionPort&) = delete;
    CompletionPort& operator=(const CompletionPort&) = delete;

    // Creates the epoll instance and the wake-up eventfd; false on failure.
    bool Create();
    bool created() const;
    // Ties a socket to the port; the socket is made non-blocking and asked to stamp each
    // datagram with its arrival time. False on failure.
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
    // Waits as Wait does, then hands out in order every completion that is ready, up to
    // `max` (at least 1): one wait serves a whole burst of datagrams. Returns how many; 0
    // only on a wait time-out or failure, with `out[0]` saying why as Wait does.
    size_t WaitMany(Completion* out, size_t max, uint32_t timeoutMs);

private:
    // A growable FIFO ring: after warm-up it never allocates, so the per-datagram path
    // (receive, hand out, post again) stays free of allocation.
    template <typename T>
    class Ring {
    public:
        bool empty() const { return m_count == 0; }
        size_t size() const { return m_count; }
        T& front() { return m_items[m_head]; }
        T& operator[](size_t i) { return m_items[(m_head + i) % m_items.size()]; }
        void pop_front() {
            m_head = (m_head + 1) % m_items.size();
            --m_count;
        }
        void push_back(const T& item) {
            if (m_count == m_items.size())
                Grow();
            m_items[(m_head + m_count) % m_items.size()] = item;
            ++m_count;
        }

    private:
        void Grow() {
            std::vector<T> bigger(m_items.empty() ? 16 : m_items.size() * 2);
            for (size_t i = 0; i < m_count; ++i)
                bigger[i] = (*this)[i];
            m_items.swap(bigger);
            m_head = 0;
        }
        std::vector<T> m_items;
        size_t m_head = 0;
        size_t m_count = 0;
    };

    struct Pending {
        void* slot = nullptr;
        void* buffer = nullptr;
        size_t length = 0;
        sockaddr* from = nullptr;
        socklen_t* fromLen = nullptr;
    };
    struct Socket {
        uintptr_t key = 0;
        bool armed = true;      // watched for input; off while data waits and no receive is posted
        Ring<Pending> pending;  // receives waiting for a datagram, oldest first
    };

    // Receives what `fd` has into its posted slots, as completions. Caller holds m_mutex.
    void Drain(int fd, Socket& socket);
    bool SetWatch(int fd, bool on);

    int m_epoll = -1;
    int m_wake = -1;
    std::mutex m_mutex;
    std::unordered_map<int, Socket> m_sockets;
    Ring<Completion> m_ready;  // completions found but not yet handed out, stop packets too
};
