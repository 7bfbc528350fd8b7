#include "ui/dlg_mail.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "alerts/job_queues.h"
#include "config/setup_info.h"
#include "platform/message_box.h"
#include "platform/message_target.h"
#include "ui/dialog_buttons.h"
#include "ui/number_edit.h"
#include "ui/qt_message_target.h"
#include "ui/ui_setup_hooks.h"

std::string g_mailDlgAddress;
int g_mailDlgGroup = 0;

namespace {

// Item data of column 0: the address bytes as stored, kept while the row shows them.
constexpr int kStoredAddressRole = Qt::UserRole + 1;

QLineEdit* Edit(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    return edit;
}

// The group id a row shows: what the settings' 32-bit field held or what the recipient
// dialog took.
int32_t RowGroup(const QTreeWidgetItem* item) {
    return static_cast<int32_t>(std::clamp<int64_t>(DecimalOf(item->text(1).left(255)),
                                                    std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

QLabel* Label(const char* text, QWidget* buddy, QWidget* parent) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setBuddy(buddy);
    return label;
}

QPushButton* PageButton(const char* text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

}  // namespace

// The test mail's owner as the mail thread sees it. The mail thread may hold the last
// reference, so it is a plain object that forwards to the page's Qt target only while the
// page exists; the page detaches it on destruction, after which results are dropped.
class CDlgMail::JobOwnerTarget : public MessageTarget {
public:
    explicit JobOwnerTarget(MessageTarget* target) : m_target(target) {}

    bool Post(uint32_t msg, WPARAM wParam, LPARAM lParam) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_target != nullptr && m_target->Post(msg, wParam, lParam);
    }
    std::optional<LRESULT> Send(uint32_t msg, WPARAM wParam, LPARAM lParam) override {
        // Nothing sends to a job owner; a send would wait on the page's thread, so refuse.
        (void)msg;
        (void)wParam;
        (void)lParam;
        return std::nullopt;
    }
    void Detach() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_target = nullptr;
    }

private:
    std::mutex m_mutex;
    MessageTarget* m_target;
};

// ---- Mail page ----

CDlgMail::CDlgMail(QWidget* parent) : CDialogBase(148, parent) {
    setObjectName("pageMail");

    auto* server = new QGroupBox(QStringLiteral("SMTP Server"), this);
    m_smtpServer = Edit("smtpServer", server);
    m_smtpPort = NewNumberEdit("smtpPort", "Port", 0, kMaxSmtpPort, 70, server);
    m_emailFrom = Edit("emailFrom", server);
    m_emailName = Edit("emailName", server);
    m_auth = new QCheckBox(QStringLiteral("SMTP Need Logon"), server);
    m_auth->setObjectName("auth");
    m_user = Edit("user", server);
    m_pass = Edit("pass", server);
    m_pass->setEchoMode(QLineEdit::Password);
    auto* serverLayout = new QGridLayout(server);
    serverLayout->addWidget(Label("SMTP Server:", m_smtpServer, server), 0, 0);
    serverLayout->addWidget(m_smtpServer, 0, 1);
    serverLayout->addWidget(Label("Port:", m_smtpPort, server), 0, 2);
    serverLayout->addWidget(m_smtpPort, 0, 3);
    serverLayout->addWidget(Label("Email From:", m_emailFrom, server), 1, 0);
    serverLayout->addWidget(m_emailFrom, 1, 1, 1, 3);
    serverLayout->addWidget(Label("Email Name:", m_emailName, server), 2, 0);
    serverLayout->addWidget(m_emailName, 2, 1, 1, 3);
    serverLayout->addWidget(m_auth, 3, 0, 1, 4);
    serverLayout->addWidget(Label("SMTP User:", m_user, server), 4, 0);
    serverLayout->addWidget(m_user, 4, 1);
    serverLayout->addWidget(Label("Password:", m_pass, server), 5, 0);
    serverLayout->addWidget(m_pass, 5, 1);
    serverLayout->setColumnStretch(1, 1);

    auto* send = new QGroupBox(QStringLiteral("Send Mail"), this);
    m_list = new QTreeWidget(send);
    m_list->setObjectName("recipients");
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setFrameShadow(QFrame::Sunken);
    m_list->setMinimumHeight(90);
    m_add = PageButton("Add", "add", send);
    m_delete = PageButton("Delete", "delete", send);
    m_highPriority = new QCheckBox(QStringLiteral("Set Mail to High Priority"), send);
    m_highPriority->setObjectName("highPriority");
    m_loopMail = new QCheckBox(QStringLiteral("Constant Mail when state is down"), send);
    m_loopMail->setObjectName("loopMail");
    m_loopInterval =
        NewNumberEdit("loopInterval", "MAIL Interval (minutes)",
                      std::numeric_limits<int32_t>::min(), kMaxLoopMailMinutes, 70, send);
    m_loopSpin = new CSpinArrows(send);
    m_loopSpin->setObjectName("loopSpin");
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(m_add);
    buttons->addWidget(m_delete);
    buttons->addStretch(1);
    auto* listRow = new QHBoxLayout;
    listRow->addWidget(m_list, 1);
    listRow->addLayout(buttons);
    auto* loopRow = new QHBoxLayout;
    loopRow->setSpacing(2);
    loopRow->addWidget(m_loopMail);
    loopRow->addSpacing(8);
    loopRow->addWidget(Label("MAIL Interval :", m_loopInterval, send));
    loopRow->addWidget(m_loopInterval);
    loopRow->addWidget(m_loopSpin);
    loopRow->addWidget(new QLabel(QStringLiteral("M"), send));
    loopRow->addStretch(1);
    auto* sendLayout = new QVBoxLayout(send);
    sendLayout->addLayout(listRow, 1);
    sendLayout->addWidget(m_highPriority);
    sendLayout->addLayout(loopRow);

    m_sendTest = PageButton("Send test Email", "sendTest", this);
    m_testSubject = Edit("testSubject", this);
    auto* testRow = new QHBoxLayout;
    testRow->addWidget(m_sendTest);
    testRow->addSpacing(8);
    testRow->addWidget(Label("Subject:", m_testSubject, this));
    testRow->addWidget(m_testSubject, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(server);
    layout->addWidget(send, 1);
    layout->addLayout(testRow);

    m_target = new QtMessageTarget(
        [this](uint32_t msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
            return msg == WM_JOB_DONE ? OnMailResult(wParam, lParam) : 0;
        },
        this);
    m_jobOwner = std::make_shared<JobOwnerTarget>(m_target);

    connect(m_auth, &QCheckBox::clicked, this, &CDlgMail::OnLogonChanged);
    connect(m_loopMail, &QCheckBox::clicked, this, &CDlgMail::OnConstantMailChanged);
    connect(m_add, &QPushButton::clicked, this, &CDlgMail::OnAddRecipient);
    connect(m_delete, &QPushButton::clicked, this, &CDlgMail::OnDeleteRecipient);
    connect(m_sendTest, &QPushButton::clicked, this, &CDlgMail::OnSendTestMail);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
        OnEditRecipient(m_list->indexOfTopLevelItem(item));
    });
    connect(m_loopSpin, &CSpinArrows::deltaPos, this,
            [this](int delta) { StepNumber(m_loopInterval, delta, 1, 1, kMaxLoopMailMinutes); });
}

CDlgMail::~CDlgMail() {
    // From here on a late test-mail result has nowhere to go and is dropped.
    m_jobOwner->Detach();
    m_target->Close();
}

bool CDlgMail::OnInitDialog() {
    m_list->setColumnCount(2);
    m_list->setHeaderLabels({QStringLiteral("Mail Address"), QStringLiteral("Mail Group ID")});
    m_list->header()->setStretchLastSection(false);
    m_list->setColumnWidth(0, 195);
    // The classic 80 pixels, or more where the heading needs more, so it is never cut.
    m_list->setColumnWidth(1, std::max(80, m_list->header()->sectionSizeHint(1)));

    const CSetupInfo* setup = g_pSetupInfo;
    if (setup == nullptr)
        return true;
    SetLongText(m_smtpServer, setup->smtpserver);
    m_smtpPort->ShowNumber(setup->smtpport);
    SetLongText(m_emailName, setup->emailName);
    SetLongText(m_emailFrom, setup->emailfrom);
    m_auth->setChecked(setup->auth != 0);
    OnLogonChanged();
    SetLongText(m_user, setup->user);
    SetLongText(m_pass, setup->pass);
    m_highPriority->setChecked(setup->mail_highpriority != 0);
    m_loopInterval->ShowNumber(setup->loopemailint);
    SetLongText(m_testSubject, setup->testsubject);
    m_loopMail->setChecked(setup->bneedloopmail != 0);
    OnConstantMailChanged();
    const int count = setup->RecipientCount();
    for (int i = 0; i < count; ++i) {
        const size_t at = static_cast<size_t>(i);
        SetRow(i, SetupTextToQt(setup->newemailto[at]), setup->emailgrouplist[at]);
        m_list->topLevelItem(i)->setData(
            0, kStoredAddressRole,
            QByteArray(setup->newemailto[at].data(),
                       static_cast<qsizetype>(setup->newemailto[at].size())));
    }
    return true;
}

std::optional<CPageInputError> CDlgMail::CheckInput() const {
    if (auto error = CheckNumberField(m_smtpPort))
        return error;
    return CheckNumberField(m_loopInterval);
}

int CDlgMail::SaveSettings() {
    CSetupInfo* setup = g_pSetupInfo;
    if (setup == nullptr)
        return 0;
    setup->smtpserver = SetupTextFromQt(m_smtpServer->text(), setup->smtpserver);
    // CheckInput ran first: the numbers fit their fields here.
    setup->smtpport = static_cast<uint16_t>(m_smtpPort->Number().value_or(setup->smtpport));
    setup->emailName = SetupTextFromQt(m_emailName->text(), setup->emailName);
    setup->emailfrom = SetupTextFromQt(m_emailFrom->text(), setup->emailfrom);
    setup->auth = m_auth->isChecked() ? 1 : 0;
    setup->mail_highpriority = m_highPriority->isChecked() ? 1 : 0;
    setup->user = SetupTextFromQt(m_user->text(), setup->user);
    setup->pass = SetupTextFromQt(m_pass->text(), setup->pass);

    // The list never holds more than the record can (Add refuses the 257th).
    const int n = std::min(m_list->topLevelItemCount(), kMaxRecipients);
    for (int i = 0; i < n; ++i) {
        const QTreeWidgetItem* item = m_list->topLevelItem(i);
        const QByteArray stored = item->data(0, kStoredAddressRole).toByteArray();
        const size_t at = static_cast<size_t>(i);
        setup->newemailto[at] =
            SetupTextFromQt(item->text(0), std::string(stored.constData(), stored.size()));
        setup->emailgrouplist[at] = RowGroup(item);
    }
    setup->newemailcount = n;

    setup->loopemailint =
        static_cast<int32_t>(m_loopInterval->Number().value_or(setup->loopemailint));
    setup->bneedloopmail = m_loopMail->isChecked() ? 1 : 0;
    setup->testsubject = SetupTextFromQt(m_testSubject->text(), setup->testsubject);
    return 0;
}

void CDlgMail::OnLogonChanged() {
    const bool on = m_auth->isChecked();
    m_user->setEnabled(on);
    m_pass->setEnabled(on);
}

void CDlgMail::OnConstantMailChanged() {
    const bool on = m_loopMail->isChecked();
    m_loopInterval->setEnabled(on);
    m_loopSpin->setEnabled(on);
}

void CDlgMail::SetRow(int row, const QString& address, int group) {
    QTreeWidgetItem* item = m_list->topLevelItem(row);
    if (item == nullptr) {
        item = new QTreeWidgetItem;
        m_list->insertTopLevelItem(row, item);
    }
    item->setText(0, address);
    item->setText(1, QString::number(group));
    item->setData(0, kStoredAddressRole, QVariant());
}

bool CDlgMail::RunRecipientDialog() {
    CDlgAddMail dialog(window());
    return dialog.exec() == QDialog::Accepted;
}

void CDlgMail::OnAddRecipient() {
    // A row the settings could not hold would be dropped at the next OK, so it is refused
    // now, while the user can still see why.
    if (m_list->topLevelItemCount() >= kMaxRecipients) {
        ShowMessageBox(kBoxCaption, kRecipientListFullText, MB_OK | MB_ICONWARNING);
        return;
    }
    g_mailDlgAddress.clear();
    g_mailDlgGroup = 0;
    if (!RunRecipientDialog())
        return;
    SetRow(m_list->topLevelItemCount(), SetupTextToQt(g_mailDlgAddress), g_mailDlgGroup);
}

void CDlgMail::OnDeleteRecipient() {
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        if (m_list->topLevelItem(i)->isSelected()) {
            delete m_list->takeTopLevelItem(i);
            return;
        }
    }
}

void CDlgMail::OnEditRecipient(int row) {
    QTreeWidgetItem* item = m_list->topLevelItem(row);
    if (row < 0 || item == nullptr)
        return;
    const QByteArray stored = item->data(0, kStoredAddressRole).toByteArray();
    g_mailDlgAddress =
        SetupTextFromQt(item->text(0), std::string(stored.constData(), stored.size()));
    g_mailDlgGroup = RowGroup(item);
    if (!RunRecipientDialog())
        return;
    SetRow(row, SetupTextToQt(g_mailDlgAddress), g_mailDlgGroup);
}

void CDlgMail::OnSendTestMail() {
    if (m_waiting != 0) {
        ShowMessageBox(kBoxCaption, kWaitingMailText, MB_OK);
        return;
    }
    // A port that does not fit would be sent somewhere else than shown: refuse it.
    const std::optional<int64_t> port = m_smtpPort->Number();
    if (!port) {
        RefuseField(m_smtpPort, m_smtpPort->RefusalText());
        return;
    }
    const CSetupInfo* setup = g_pSetupInfo;
    auto take = [](const QLineEdit* edit, const std::string* stored) {
        return stored != nullptr ? SetupTextFromQt(edit->text(), *stored)
                                 : edit->text().toStdString();
    };
    const std::string server = take(m_smtpServer, setup ? &setup->smtpserver : nullptr);
    const std::string name = take(m_emailName, setup ? &setup->emailName : nullptr);
    const std::string from = take(m_emailFrom, setup ? &setup->emailfrom : nullptr);
    const std::string user = take(m_user, setup ? &setup->user : nullptr);
    const std::string pass = take(m_pass, setup ? &setup->pass : nullptr);
    const std::string subject = take(m_testSubject, setup ? &setup->testsubject : nullptr);
    const int n = std::min(m_list->topLevelItemCount(), kMaxRecipients);
    std::vector<std::string> recipients;
    recipients.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const QTreeWidgetItem* item = m_list->topLevelItem(i);
        const QByteArray stored = item->data(0, kStoredAddressRole).toByteArray();
        recipients.push_back(
            SetupTextFromQt(item->text(0), std::string(stored.constData(), stored.size())));
    }
    if (g_pMailThread == nullptr)
        return;  // no mail thread: as with a full queue, nothing is queued
    const int queued = g_pMailThread->AddMail(
        JobOwner(std::static_pointer_cast<MessageTarget>(m_jobOwner)), server,
        static_cast<uint16_t>(*port), name, from, m_auth->isChecked() ? 1 : 0, user, pass,
        static_cast<uint32_t>(n), recipients.data(), subject, subject, 1);
    if (queued == 0)
        m_waiting = 1;
}

LRESULT CDlgMail::OnMailResult(WPARAM wParam, LPARAM lParam) {
    m_waiting = 0;
    if (lParam == 0) {
        ShowMessageBox(kBoxCaption, kSendMailOkText, MB_OK);
        return 0;
    }
    std::string text = kSendMailFailedText + std::to_string(lParam);
    const std::string reason = g_pMailThread != nullptr
                                   ? g_pMailThread->FailureReason(static_cast<uint32_t>(wParam))
                                   : std::string();
    if (!reason.empty())
        text += "\n" + reason;
    std::erase(text, '\r');  // a reply of several lines keeps its line breaks
    ShowMessageBox(kBoxCaption, text, MB_OK);
    return 0;
}

// ---- recipient dialog ----

CDlgAddMail::CDlgAddMail(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_address(new QLineEdit(this)),
      m_group(new CNumberEdit("Mail Group ID", 0, kMaxMailGroupId, this)),
      m_apply(new QPushButton(QStringLiteral("&Apply"), this)),
      m_cancel(new QPushButton(QStringLiteral("&Cancel"), this)) {
    setObjectName("addMailDialog");
    m_address->setObjectName("address");
    m_group->setObjectName("group");
    m_apply->setObjectName("apply");
    m_cancel->setObjectName("cancel");
    m_address->setMinimumWidth(260);
    // Enter applies: a dialog that closed on Enter without taking the fields would add an
    // empty recipient or silently keep the old one.
    SetDialogButtons(this, m_apply, m_cancel);

    auto* fields = new QGridLayout;
    fields->addWidget(Label("Mail Address", m_address, this), 0, 0);
    fields->addWidget(m_address, 0, 1);
    fields->addWidget(Label("Mail Group ID", m_group, this), 1, 0);
    fields->addWidget(m_group, 1, 1);
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_apply);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(line);
    layout->addLayout(buttons);

    connect(m_apply, &QPushButton::clicked, this, &CDlgAddMail::OnApply);
    OnInitDialog();
}

CDlgAddMail::~CDlgAddMail() = default;

bool CDlgAddMail::OnInitDialog() {
    if (!g_mailDlgAddress.empty()) {
        setWindowTitle(QStringLiteral("Update Mail"));
        SetLongText(m_address, g_mailDlgAddress);
        m_group->ShowNumber(g_mailDlgGroup);
    } else {
        setWindowTitle(QStringLiteral("Add Mail"));
        m_group->ShowNumber(0);
    }
    return true;
}

void CDlgAddMail::OnApply() {
    // A negative group stops Apply also when it is the stored one the dialog was opened
    // with, which CNumberEdit would otherwise hand back unchanged: no host's mail can reach
    // such a recipient. The dialog stays open without a word, the field handed to the user.
    const std::optional<int64_t> group = m_group->Number();
    if (group && *group < 0) {
        FocusField(m_group);
        return;
    }
    if (!group) {
        RefuseField(m_group, m_group->RefusalText());
        return;
    }
    if (m_address->text().isEmpty()) {
        RefuseField(m_address, kEmptyAddressText);
        return;
    }
    g_mailDlgAddress = SetupTextFromQt(m_address->text(), g_mailDlgAddress);
    g_mailDlgGroup = static_cast<int>(*group);
    accept();
}
