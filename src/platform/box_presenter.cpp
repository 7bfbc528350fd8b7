#include "platform/box_presenter.h"

#include <cstdio>

namespace {
std::atomic<BoxPresenter*> g_boxPresenter{nullptr};
}  // namespace

void StderrBoxPresenter::ShowBox(const std::shared_ptr<MessageTarget>&, const std::string& caption,
                                 const std::string& text, const std::atomic<uint8_t>&) {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
}

void SetBoxPresenter(BoxPresenter* presenter) {
    g_boxPresenter.store(presenter, std::memory_order_release);
}

BoxPresenter& CurrentBoxPresenter() {
    static StderrBoxPresenter fallback;
    BoxPresenter* presenter = g_boxPresenter.load(std::memory_order_acquire);
    return presenter != nullptr ? *presenter : fallback;
}
