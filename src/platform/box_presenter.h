#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class MessageTarget;

// How often a presenter looks at the stop flag while its box shows, at the least.
constexpr uint32_t kBoxStopPollMs = 50;

// Shows a worker thread's message box: one OK button, and the caller waits until it is
// closed. The UI installs one that shows the box on the GUI thread; tests install a fake.
class BoxPresenter {
public:
    virtual ~BoxPresenter() = default;
    // Shows `text` under `caption` with one OK button (above `owner` when there is one) and
    // returns once the user closed it, or within kBoxStopPollMs after `stop` became non-zero,
    // taking the box down, so a stopping thread never waits on a user. Box thread.
    virtual void ShowBox(const std::shared_ptr<MessageTarget>& owner, const std::string& caption,
                         const std::string& text, const std::atomic<uint8_t>& stop) = 0;
};

// The default presenter: writes caption and text to stderr and returns at once.
class StderrBoxPresenter : public BoxPresenter {
public:
    void ShowBox(const std::shared_ptr<MessageTarget>& owner, const std::string& caption,
                 const std::string& text, const std::atomic<uint8_t>& stop) override;
};

// Installs the presenter that box threads made without their own use (nullptr: the default).
// Call before the box thread starts or while it shows no box. Any thread.
void SetBoxPresenter(BoxPresenter* presenter);
// The installed presenter. Any thread.
BoxPresenter& CurrentBoxPresenter();
