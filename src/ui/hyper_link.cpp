#include "ui/hyper_link.h"

#include <atomic>
#include <cstdio>
#include <thread>

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QStyle>

#include "platform/message_box.h"
#include "platform/shell_link.h"
#include "ui/command_table.h"

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The tooltip shows the target as it is written, never as markup.
QString ToolTipText(const std::string& url) {
    const QString text = FromUtf8(url);
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() +
           QStringLiteral("</p>");
}

// The desktop's opener, then the user's web browser.
int OpenLinkTarget(const std::string& target) {
    const int result = ShellOpenLink(target);
    if (result > 32)
        return result;

    // The desktop could not open it: hand it to the user's web browser, if one is named.
    std::string command = DefaultBrowserCommand();
    if (command.empty())
        return result;
    size_t cut = command.find("\"%s\"");
    if (cut == std::string::npos)
        cut = command.find("%s");
    if (cut != std::string::npos)
        command.resize(cut);
    return ShellRunWithTarget(command, target);
}

// How often a link looks for the result of an open under way.
constexpr int kOpenPollMs = 20;

}  // namespace

// One open under way: written by its thread, read by the link once `done` is set.
struct CHyperLink::PendingOpen {
    std::atomic<bool> done{false};
    int result = 0;
};

CHyperLink::CHyperLink() {
    m_timer.setInterval(kHoverPollMs);
    connect(&m_timer, &QTimer::timeout, this, &CHyperLink::OnTimer);
    m_openPoll.setInterval(kOpenPollMs);
    connect(&m_openPoll, &QTimer::timeout, this, &CHyperLink::CollectOpens);
}

CHyperLink::~CHyperLink() {
    m_timer.stop();
    if (m_label)
        m_label->removeEventFilter(this);
}

QLabel* CHyperLink::label() const {
    return m_label.data();
}

bool CHyperLink::SubclassWindow(QLabel* label) {
    if (label == nullptr || m_label)
        return false;
    m_label = label;
    m_watched = label;

    // Clicks and moves without a button held must reach us; the text is shown as written.
    label->setMouseTracking(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    label->setOpenExternalLinks(false);

    const std::string text = label->text().toUtf8().toStdString();
    if (m_strURL.empty())
        m_strURL = text;
    if (text.empty())
        label->setText(FromUtf8(m_strURL));

    m_StdFont = label->font();
    m_UnderlineFont = m_StdFont;
    m_UnderlineFont.setUnderline(true);

    // The background is the dialog face, filled before the text is drawn.
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Button));
    label->setPalette(palette);
    label->setAutoFillBackground(true);

    FitToText();
    LoadLinkCursor();

    // Whatever mode was set before, an attached link starts underlined only while hovered.
    if (m_nUnderline != -1) {
        label->setFont(m_StdFont);
        label->update();
    }
    m_nUnderline = -1;

    label->setToolTip(ToolTipText(m_strURL));
    ApplyColour();
    label->installEventFilter(this);
    return true;
}

void CHyperLink::SetURL(const std::string& url) {
    m_strURL = url;
    if (m_label) {
        FitToText();
        m_label->setToolTip(ToolTipText(m_strURL));
    }
}

void CHyperLink::SetUnderline(int mode) {
    if (mode == m_nUnderline)
        return;
    if (m_label) {
        m_label->setFont(mode == 1 ? m_UnderlineFont : m_StdFont);
        m_label->update();
    }
    m_nUnderline = mode;
}

void CHyperLink::FitToText() {
    if (!m_label || !m_bAdjustToFit)
        return;
    QLabel* label = m_label.data();
    const QRect window = label->geometry();
    const QRect client = label->contentsRect();

    const QFontMetrics metrics(m_UnderlineFont);
    const QString text = label->text();
    const int newHeight = metrics.height() + (window.height() - client.height());
    const int newWidth = metrics.horizontalAdvance(text) + (window.width() - client.width());

    int x = window.x();
    int y = window.y();
    int width = window.width();
    int height = window.height();
    const Qt::Alignment align =
        QStyle::visualAlignment(label->layoutDirection(), label->alignment());
    if (align & Qt::AlignVCenter) {
        // The shrink is split evenly; an odd pixel stays with the label.
        const int inset = (height - newHeight) / 2;
        y += inset;
        height -= 2 * inset;
    } else if (align & Qt::AlignBottom) {
        y += height - newHeight;
        height = newHeight;
    } else {
        height = newHeight;
    }
    if (align & Qt::AlignHCenter) {
        const int inset = (width - newWidth) / 2;
        x += inset;
        width -= 2 * inset;
    } else if (align & Qt::AlignRight) {
        x += width - newWidth;
        width = newWidth;
    } else {
        width = newWidth;
    }
    label->setGeometry(x, y, width, height);
}

void CHyperLink::LoadLinkCursor() {
    if (m_hLinkCursor)
        return;
    m_hLinkCursor = QCursor(Qt::PointingHandCursor);
    if (m_label)
        m_label->setCursor(*m_hLinkCursor);
}

void CHyperLink::DestroyWindow() {
    m_timer.stop();
    if (m_label) {
        m_label->removeEventFilter(this);
        delete m_label.data();
    }
}

QColor CHyperLink::CtlColor() const {
    if (m_bOverControl)
        return m_crHoverColour;
    return m_bVisited ? m_crVisitedColour : m_crLinkColour;
}

void CHyperLink::ApplyColour() {
    if (!m_label)
        return;
    const QColor colour = CtlColor();
    QPalette palette = m_label->palette();
    if (palette.color(QPalette::WindowText) == colour)
        return;
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    m_label->setPalette(palette);
}

bool CHyperLink::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_watched || m_label.isNull())
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::MouseMove:
            OnMouseMove();
            break;
        case QEvent::MouseButtonPress: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton)
                m_bPressed = true;
            break;
        }
        case QEvent::MouseButtonRelease: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() != Qt::LeftButton || !m_bPressed)
                break;
            m_bPressed = false;
            // A press dragged off the link and released elsewhere is no click.
            if (m_label->rect().contains(mouse->position().toPoint())) {
                OnClicked();
                return true;
            }
            break;
        }
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

void CHyperLink::OnMouseMove() {
    if (m_bOverControl)
        return;
    m_bOverControl = 1;
    if (m_nUnderline == -1)
        m_label->setFont(m_UnderlineFont);
    ApplyColour();
    m_label->update();
    m_timer.start();
}

void CHyperLink::OnTimer() {
    if (!m_label) {
        m_timer.stop();
        return;
    }
    const QPoint pos = m_label->mapFromGlobal(CursorPos());
    if (m_label->rect().contains(pos))
        return;
    m_bOverControl = 0;
    m_timer.stop();
    if (m_nUnderline != 1)
        m_label->setFont(m_StdFont);
    ApplyColour();
    m_label->update();
}

void CHyperLink::OnClicked() {
    m_bOverControl = 0;
    ApplyColour();
    // The thread keeps only the shared record, so it may outlive the link.
    auto pending = std::make_shared<PendingOpen>();
    std::thread([pending, target = m_strURL] {
        pending->result = OpenLinkTarget(target);
        pending->done.store(true, std::memory_order_release);
    }).detach();
    m_pending.push_back(std::move(pending));
    m_openPoll.start();
}

void CHyperLink::CollectOpens() {
    // One result per tick, taken off the list before it is acted on: the error box runs
    // its own event loop, in which this timer fires again.
    for (size_t i = 0; i < m_pending.size(); ++i) {
        if (!m_pending[i]->done.load(std::memory_order_acquire))
            continue;
        const int result = m_pending[i]->result;
        m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(i));
        if (m_pending.empty())
            m_openPoll.stop();
        OnOpened(result);
        return;
    }
}

void CHyperLink::OnOpened(int result) {
    m_bVisited = result > 32 ? 1 : 0;
    ApplyColour();
    if (result > 32) {
        if (m_label)
            m_label->update();
        return;
    }
    MessageBeep(MB_ICONWARNING);
    ShowOpenError(result);
}

int CHyperLink::OpenURL(const std::string& target, [[maybe_unused]] int show) {
    return OpenLinkTarget(target);
}

std::string CHyperLink::OpenErrorText(int code) {
    const char* entry = nullptr;
    switch (code) {
        case 0:
            entry = "The operating system is out\nof memory or resources.";
            break;
        case 2:
            entry = "The specified file was not found.";
            break;
        case 3:
            entry = "The specified path was not found.";
            break;
        case 5:
            entry = "The operating system denied\naccess to the specified file.";
            break;
        case 8:
            entry = "There was not enough memory to complete the operation.";
            break;
        case 11:
            entry = "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
            break;
        case 26:
            entry = "A sharing violation occurred. ";
            break;
        case 27:
            entry = "The filename association is\nincomplete or invalid.";
            break;
        case 28:
            entry = "The DDE transaction could not\nbe completed because the request timed out.";
            break;
        case 29:
            entry = "The DDE transaction failed.";
            break;
        case 30:
            entry =
                "The DDE transaction could not\nbe completed because other DDE "
                "transactions\nwere being processed.";
            break;
        case 31:
            entry = "There is no application associated\nwith the given filename extension.";
            break;
        case 32:
            entry = "The specified dynamic-link library was not found.";
            break;
        default:
            break;
    }
    std::string text = "Unable to open hyperlink:\n\n";
    if (entry != nullptr) {
        text += entry;
    } else {
        char unknown[64];
        std::snprintf(unknown, sizeof unknown, "Unknown Error (%d) occurred.", code);
        text += unknown;
    }
    return text;
}

void CHyperLink::ShowOpenError(int code) {
    const char* title = StringResource(IDS_APP_TITLE);
    ShowMessageBox(title != nullptr ? title : "", OpenErrorText(code), MB_OK | MB_ICONWARNING);
}

QPoint CHyperLink::CursorPos() const {
    return QCursor::pos();
}

void CHyperLink::MessageBeep([[maybe_unused]] unsigned type) {
    QApplication::beep();
}
