#include "platform/thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include <pthread.h>

#include "platform/event.h"

namespace {

std::atomic<uint32_t> g_nextThreadId{1};
thread_local uint32_t t_threadId = 0;

enum class Gate { kClosed, kOpen, kCancelled };

}  // namespace

// Shared by the owner and the thread, so a thread that is given up can run on safely
// after the owner's object is gone.
struct SuspendedThread::State {
    std::mutex mutex;
    std::condition_variable cond;
    Gate gate = Gate::kClosed;
    bool ended = false;
    uint32_t exitCode = 0;
    uint32_t id = 0;
    std::function<uint32_t()> body;
    pthread_t handle{};
    bool attached = false;  // a pthread exists that is neither joined nor detached
};

void* SuspendedThread::Trampoline(void* arg) {
    // Take over the reference that Create handed to the new thread.
    std::shared_ptr<SuspendedThread::State>* handed =
        static_cast<std::shared_ptr<SuspendedThread::State>*>(arg);
    std::shared_ptr<SuspendedThread::State> state = std::move(*handed);
    delete handed;

    std::function<uint32_t()> body;
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->cond.wait(lock, [&] { return state->gate != Gate::kClosed; });
        if (state->gate == Gate::kOpen)
            body = std::move(state->body);
    }
    t_threadId = state->id;
    uint32_t code = body ? body() : 0;
    body = nullptr;  // what the body captured is released before the end is reported
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->exitCode = code;
        state->ended = true;
    }
    state->cond.notify_all();
    return nullptr;
}

SuspendedThread::SuspendedThread() = default;

SuspendedThread::~SuspendedThread() {
    if (!m_state)
        return;
    std::unique_lock<std::mutex> lock(m_state->mutex);
    if (!m_state->attached)
        return;
    if (m_state->gate == Gate::kClosed) {
        // Never resumed: let the thread end without running its body.
        m_state->gate = Gate::kCancelled;
        m_state->cond.notify_all();
        m_state->cond.wait(lock, [this] { return m_state->ended; });
    }
    m_state->attached = false;
    if (m_state->ended && !pthread_equal(m_state->handle, pthread_self())) {
        lock.unlock();
        pthread_join(m_state->handle, nullptr);
    } else {
        pthread_detach(m_state->handle);
    }
}

bool SuspendedThread::Create(std::function<uint32_t()> body) {
    if (created() || !body)
        return false;
    auto state = std::make_shared<State>();
    state->body = std::move(body);
    state->id = g_nextThreadId.fetch_add(1);
    if (state->id == 0)  // after 2^32 threads; 0 means "no thread"
        state->id = g_nextThreadId.fetch_add(1);
    auto* handed = new std::shared_ptr<State>(state);
    pthread_t handle;
    if (pthread_create(&handle, nullptr, Trampoline, handed) != 0) {
        delete handed;
        return false;
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    state->handle = handle;
    state->attached = true;
    m_state = std::move(state);
    return true;
}

int SuspendedThread::Resume() {
    if (!m_state)
        return -1;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!m_state->attached)
        return -1;
    if (m_state->gate != Gate::kClosed)
        return 0;
    m_state->gate = Gate::kOpen;
    m_state->cond.notify_all();
    return 1;
}

bool SuspendedThread::WaitForEnd(uint32_t timeoutMs) {
    if (!m_state)
        return false;
    std::unique_lock<std::mutex> lock(m_state->mutex);
    if (!m_state->attached)
        return m_state->ended;
    auto ended = [this] { return m_state->ended; };
    if (timeoutMs == kInfinite) {
        m_state->cond.wait(lock, ended);
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!m_state->cond.wait_until(lock, deadline, ended))
            return false;
    }
    m_state->attached = false;
    pthread_t handle = m_state->handle;
    lock.unlock();
    if (pthread_equal(handle, pthread_self()))
        pthread_detach(handle);
    else
        pthread_join(handle, nullptr);
    return true;
}

void SuspendedThread::Abandon() {
    if (!m_state)
        return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!m_state->attached)
        return;
    m_state->attached = false;
    pthread_detach(m_state->handle);
}

bool SuspendedThread::created() const {
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->attached;
}

uint32_t SuspendedThread::id() const {
    return m_state ? m_state->id : 0;
}

uint32_t SuspendedThread::exitCode() const {
    if (!m_state)
        return 0;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->exitCode;
}

uint32_t CurrentThreadId() {
    return t_threadId;
}
