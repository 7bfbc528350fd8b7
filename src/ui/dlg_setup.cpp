#include "ui/dlg_setup.h"

#include <algorithm>
#include <limits>

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringDecoder>
#include <QTabBar>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

#include "platform/message_box.h"
#include "ui/dialog_buttons.h"
#include "ui/dlg_exec_mail_texts.h"
#include "ui/dlg_gen.h"
#include "ui/dlg_mail.h"
#include "ui/number_edit.h"

namespace {

constexpr const char* kTabTitles[CMyTabCtrl::kPageCount] = {"General", "Exec", "Mail", "Mail Down",
                                                            "Mail Up"};

}  // namespace

// ---- texts and numbers ----

QString SetupTextToQt(const std::string& text) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString shown =
        decoder.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    if (decoder.hasError())
        return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    return shown;
}

std::string SetupTextFromQt(const QString& shown, const std::string& stored) {
    if (shown == SetupTextToQt(stored))
        return stored;
    return shown.toStdString();
}

QString MultiLineTextToQt(const std::string& text) {
    QString shown = SetupTextToQt(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

std::string MultiLineTextFromQt(const QString& shown, const std::string& stored) {
    // Line ends are compared as the editor shows them, so a stored text whose only
    // difference is its line ends still gets CR LF ones.
    QString lines = shown;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    std::string text;
    if (lines == MultiLineTextToQt(stored)) {
        // Keep the stored bytes (another encoding included); only the line ends change.
        text.reserve(stored.size());
        for (size_t i = 0; i < stored.size(); ++i) {
            const char c = stored[i];
            if (c == '\r') {
                text += "\r\n";
                if (i + 1 < stored.size() && stored[i + 1] == '\n')
                    ++i;
            } else if (c == '\n') {
                text += "\r\n";
            } else {
                text += c;
            }
        }
        return text;
    }
    lines.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return lines.toStdString();
}

QString PlainTextOf(const QPlainTextEdit* edit) {
    // toPlainText() would turn non-breaking spaces into plain ones; the raw text keeps
    // them and only needs its block and line separators made into '\n'.
    QString text = edit->document()->toRawText();
    text.replace(QChar(QChar::ParagraphSeparator), QLatin1Char('\n'));
    text.replace(QChar(QChar::LineSeparator), QLatin1Char('\n'));
    return text;
}

void SetLongText(QLineEdit* edit, const std::string& text) {
    const QString shown = SetupTextToQt(text);
    if (shown.size() > edit->maxLength())
        edit->setMaxLength(
            static_cast<int>(std::min<qsizetype>(shown.size(), std::numeric_limits<int>::max())));
    edit->setText(shown);
}

std::optional<CPageInputError> CheckNumberField(CNumberEdit* edit) {
    if (edit->Number())
        return std::nullopt;
    return CPageInputError{edit, edit->RefusalText()};
}

// ---- spin arrows ----

CSpinArrows::CSpinArrows(QWidget* parent) : QWidget(parent) {
    auto* up = new QToolButton(this);
    auto* down = new QToolButton(this);
    up->setArrowType(Qt::UpArrow);
    down->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up, down}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setFixedSize(18, 11);
    }
    up->setObjectName("spinUp");
    down->setObjectName("spinDown");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(up);
    layout->addWidget(down);
    connect(up, &QToolButton::clicked, this, [this] { emit deltaPos(-1); });
    connect(down, &QToolButton::clicked, this, [this] { emit deltaPos(1); });
    m_up = up;
    m_down = down;
}

// ---- page base ----

CDialogBase::CDialogBase(int templateId, QWidget* parent)
    : QWidget(parent), m_templateId(templateId) {}

CDialogBase::~CDialogBase() = default;

bool CDialogBase::OnInitDialog() {
    return true;
}

int CDialogBase::SaveSettings() {
    return 0;
}

std::optional<CPageInputError> CDialogBase::CheckInput() const {
    return std::nullopt;
}

void CDialogBase::keyPressEvent(QKeyEvent* event) {
    // Keys reach the page only when the focused control left them: an editor that takes
    // Enter as a line break never passes it on.
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
                event->accept();
                return;
            }
            break;
        default:
            break;
    }
    QWidget::keyPressEvent(event);
}

// ---- tab control ----

CMyTabCtrl::CMyTabCtrl(QWidget* parent) : QTabWidget(parent) {
    setObjectName("setupTabs");
    tabBar()->setFocusPolicy(Qt::NoFocus);
    setUsesScrollButtons(false);
}

CMyTabCtrl::~CMyTabCtrl() = default;

void CMyTabCtrl::InitPages() {
    m_pages[0] = new CDlgGen(this);
    m_pages[1] = new CDlgExec(this);
    m_pages[2] = new CDlgMail(this);
    m_pages[3] = new CDlgMailDown(this);
    m_pages[4] = new CDlgMailUP(this);
    for (int i = 0; i < kPageCount; ++i) {
        CDialogBase* p = m_pages[static_cast<size_t>(i)];
        p->OnInitDialog();
        addTab(p, QString::fromLatin1(kTabTitles[i]));
    }
    setCurrentIndex(0);
}

// ---- dialog ----

CDlgSetup::CDlgSetup(QWidget* parent)
    : QDialog(parent),
      m_tabCtrl(new CMyTabCtrl(this)),
      m_cancel(new QPushButton(QStringLiteral("Cancel"), this)),
      m_ok(new QPushButton(QStringLiteral("OK"), this)) {
    setObjectName("setupDialog");
    setWindowTitle(QStringLiteral("Setup"));
    m_ok->setObjectName("ok");
    m_cancel->setObjectName("cancel");
    SetDialogButtons(this, m_ok, m_cancel);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_ok);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabCtrl, 1);
    layout->addLayout(buttons);

    connect(m_ok, &QPushButton::clicked, this, &CDlgSetup::OnButtonOK);

    m_tabCtrl->InitPages();
    // Tab order: the pages' controls (creation order), then Cancel, then OK.
    QWidget::setTabOrder(m_cancel, m_ok);
}

CDlgSetup::~CDlgSetup() = default;

int CDlgSetup::DoModal() {
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

void CDlgSetup::OnButtonOK() {
    for (int i = 0; i < m_tabCtrl->pageCount(); ++i) {
        CDialogBase* p = m_tabCtrl->page(i);
        if (std::optional<CPageInputError> error = p->CheckInput()) {
            m_tabCtrl->setCurrentIndex(i);
            RefuseField(error->field, error->text);
            return;
        }
    }
    for (int i = 0; i < m_tabCtrl->pageCount(); ++i)
        m_tabCtrl->page(i)->SaveSettings();
    accept();
}
