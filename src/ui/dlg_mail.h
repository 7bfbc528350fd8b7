#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <QDialog>

#include "platform/messages.h"
#include "ui/dlg_setup.h"
#include "ui/number_edit.h"

class QCheckBox;
class QTreeWidget;
class QtMessageTarget;

// What the recipient dialog edits: set by the Mail page before it opens the dialog, and
// read back after Apply. User-interface thread.
extern std::string g_mailDlgAddress;
extern int g_mailDlgGroup;

// Ranges of the numbers typed on the Mail page: what their fields hold. A host's mail group
// is 16-bit, so a recipient's group id beyond it could never be matched.
constexpr int64_t kMaxSmtpPort = 65535;
constexpr int64_t kMaxLoopMailMinutes = 2147483647;
constexpr int64_t kMaxMailGroupId = 65535;

// Texts of the Mail page's boxes.
constexpr const char* kWaitingMailText = "Now in waiting mail";
constexpr const char* kSendMailOkText = "Send mail OK!";
constexpr const char* kSendMailFailedText = "Send mail failed! code is ";
constexpr const char* kRecipientListFullText =
    "The recipient list is full: it holds at most 256 recipients.";
constexpr const char* kEmptyAddressText = "Enter a mail address.";

// The Mail page: SMTP server, sender, logon, the recipient list with group ids, high
// priority, the repeated down mail and the test mail. The test mail is built from what the
// page shows and its result comes back as WM_JOB_DONE; a page that is gone by then gets
// nothing. User-interface thread.
class CDlgMail : public CDialogBase {
    Q_OBJECT
public:
    explicit CDlgMail(QWidget* parent = nullptr);
    ~CDlgMail() override;

    bool OnInitDialog() override;
    int SaveSettings() override;
    std::optional<CPageInputError> CheckInput() const override;

    void OnLogonChanged();
    void OnConstantMailChanged();
    void OnAddRecipient();
    void OnDeleteRecipient();
    // Edits the recipient in `row`; a row below the last opens nothing.
    void OnEditRecipient(int row);
    void OnSendTestMail();
    // WM_JOB_DONE of the test mail: wParam the queue position, lParam the result.
    LRESULT OnMailResult(WPARAM wParam, LPARAM lParam);

    // 1 from the moment a test mail is queued until its result arrives.
    int m_waiting = 0;

    QLineEdit* m_smtpServer;  // smtpserver
    CNumberEdit* m_smtpPort;  // smtpport
    QLineEdit* m_emailFrom;   // emailfrom
    QLineEdit* m_emailName;   // emailName
    QCheckBox* m_auth;        // auth
    QLineEdit* m_user;        // user
    QLineEdit* m_pass;        // pass
    QTreeWidget* m_list;      // newemailto / emailgrouplist
    QPushButton* m_add;
    QPushButton* m_delete;
    QCheckBox* m_highPriority;    // mail_highpriority
    QCheckBox* m_loopMail;        // bneedloopmail
    CNumberEdit* m_loopInterval;  // loopemailint
    CSpinArrows* m_loopSpin;
    QPushButton* m_sendTest;
    QLineEdit* m_testSubject;  // testsubject

private:
    // Runs the recipient dialog; true when it ended with OK.
    bool RunRecipientDialog();
    void SetRow(int row, const QString& address, int group);

    class JobOwnerTarget;
    std::shared_ptr<JobOwnerTarget> m_jobOwner;
    QtMessageTarget* m_target;
};

// The recipient dialog ("Add Mail" or "Update Mail"): one address and its mail group id,
// exchanged through g_mailDlgAddress and g_mailDlgGroup. Apply (also Enter) takes them;
// Cancel (also Esc) leaves the globals as they are. User-interface thread.
class CDlgAddMail : public QDialog {
    Q_OBJECT
public:
    explicit CDlgAddMail(QWidget* parent = nullptr);
    ~CDlgAddMail() override;

    bool OnInitDialog();
    void OnApply();

    QLineEdit* m_address;
    CNumberEdit* m_group;
    QPushButton* m_apply;
    QPushButton* m_cancel;
};
