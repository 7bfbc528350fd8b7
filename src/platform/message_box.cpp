#include "platform/message_box.h"

#include <atomic>
#include <cstdio>

namespace {

std::atomic<MessageBoxSink*> g_sink{nullptr};

int ShowOnStderr(const std::string& caption, const std::string& text, unsigned flags) {
    std::string line = caption;
    if (!caption.empty() && !text.empty())
        line += ": ";
    line += text;
    line += '\n';
    // One write per box, so boxes from several threads do not interleave.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    // Nobody can answer: a question is answered with its harmless choice.
    if ((flags & 0xF) == MB_YESNO)
        return IDNO;
    return IDOK;
}

}  // namespace

void SetMessageBoxSink(MessageBoxSink* sink) {
    g_sink.store(sink, std::memory_order_release);
}

int ShowMessageBox(const std::string& caption, const std::string& text, unsigned flags) {
    MessageBoxSink* sink = g_sink.load(std::memory_order_acquire);
    if (sink != nullptr)
        return sink->Show(caption, text, flags);
    return ShowOnStderr(caption, text, flags);
}
