#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QColor>
#include <QCursor>
#include <QFont>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QTimer>

class QLabel;

// Turns a label of a dialog into a clickable link: link colours, underlined while the mouse
// is over it (or always, or never), a link cursor, a tooltip with the target, and a click
// that opens the target through the desktop shell. It is attached to a label the dialog
// already has, never shown on its own; the label stays owned by the dialog.
// User-interface thread only.
class CHyperLink : public QObject {
    Q_OBJECT
public:
    CHyperLink();
    ~CHyperLink() override;
    CHyperLink(const CHyperLink&) = delete;
    CHyperLink& operator=(const CHyperLink&) = delete;

    // Attaches to `label`: takes the label's text as target when none is set, or shows the
    // target as text when the label has none; makes the fonts, fits the label to its text,
    // sets the link cursor, the underline mode -1 and the tooltip. False when there is no
    // label or one is already attached.
    bool SubclassWindow(QLabel* label);

    // Stores the target; once attached, refits the label and renews the tooltip.
    void SetURL(const std::string& url);
    const std::string& GetURL() const { return m_strURL; }
    // 1: always underlined; -1: only while the mouse is over it; any other value: never.
    void SetUnderline(int mode);
    int GetUnderline() const { return m_nUnderline; }

    // Opens `target`; above 32 on success, otherwise the shell's failure code (see
    // platform/shell_link.h). `show` is kept for callers that pass a show command. It may
    // wait up to kOpenerVerdictMs for the desktop's verdict; a click therefore opens on a
    // thread of its own, so the user-interface thread never waits for it.
    int OpenURL(const std::string& target, int show);
    // The error box for a failed open: OK button, exclamation icon.
    void ShowOpenError(int code);
    // The text of that box for `code`.
    static std::string OpenErrorText(int code);
    // Sets the hand cursor over the label, once.
    void LoadLinkCursor();
    // Resizes the label to its text, keeping its alignment (left, right or centre; top or
    // centre, and bottom).
    void FitToText();
    // Stops the hover timer and destroys the label.
    void DestroyWindow();

    // The colour the text is drawn in now: hover, else visited, else link colour.
    QColor CtlColor() const;

    // The attached label, or nullptr.
    QLabel* label() const;
    bool hovering() const { return m_bOverControl != 0; }
    bool visited() const { return m_bVisited != 0; }
    bool hoverTimerActive() const { return m_timer.isActive(); }
    // Clicks whose open has not reported back yet.
    size_t pendingOpens() const { return m_pending.size(); }

    // Colours of a link not yet opened, opened, and under the mouse.
    const QColor m_crLinkColour{0, 0, 238};
    const QColor m_crVisitedColour{85, 26, 139};
    const QColor m_crHoverColour{255, 0, 0};

    // Id and period of the hover timer.
    static constexpr int kTimerId = 100;
    static constexpr int kHoverPollMs = 100;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

    void OnMouseMove();
    void OnTimer();
    // Starts opening the target; OnOpened follows on this thread with the result.
    void OnClicked();
    void OnOpened(int result);

    // Where the mouse is, in global coordinates. Tests move a pretend mouse.
    virtual QPoint CursorPos() const;
    // The exclamation beep before the error box. Tests count it.
    virtual void MessageBeep(unsigned type);

private:
    struct PendingOpen;

    void ApplyColour();
    void CollectOpens();

    QPointer<QLabel> m_label;
    // The same label as a plain object, only compared: a label being destroyed still sends
    // events while it is no longer a QLabel.
    const QObject* m_watched = nullptr;
    int m_bOverControl = 0;
    int m_bVisited = 0;
    int m_nUnderline = -1;
    int m_bAdjustToFit = 1;
    std::string m_strURL;
    QFont m_UnderlineFont;
    QFont m_StdFont;
    std::optional<QCursor> m_hLinkCursor;
    bool m_bPressed = false;
    QTimer m_timer;
    // Opens under way, oldest first, and the timer that looks for their results.
    std::vector<std::shared_ptr<PendingOpen>> m_pending;
    QTimer m_openPoll;
};
