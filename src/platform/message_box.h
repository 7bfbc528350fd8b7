#pragma once

#include <string>

// Flags and results of a message box, with the classic values.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Where core code shows its message boxes. The UI installs one over its dialogs; tests
// install a recording fake. Show may be called from any thread and returns the button.
class MessageBoxSink {
public:
    virtual ~MessageBoxSink() = default;
    virtual int Show(const std::string& caption, const std::string& text, unsigned flags) = 0;
};

// Installs the sink (nullptr: the default, which writes caption and text to stderr and
// answers IDOK, or IDNO to an MB_YESNO question, since nobody could have said yes). Call before
// worker threads start or while none shows a box.
void SetMessageBoxSink(MessageBoxSink* sink);

// Shows a box through the installed sink. Any thread.
int ShowMessageBox(const std::string& caption, const std::string& text, unsigned flags = MB_OK);
