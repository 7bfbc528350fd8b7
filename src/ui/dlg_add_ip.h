#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <QDialog>
#include <QWidget>

#include "ui/number_edit.h"

class CHostItem;
class CSpinArrows;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

// Texts of the host dialogs' boxes (caption: kBoxCaption).
constexpr const char* kErrorHostnameText = "error hostname !";
constexpr const char* kErrorIPv6Text = "error ipv6 address !";
constexpr const char* kErrorIPText = "error ip address !";
constexpr const char* kAddIPErrorText = "add ip error !";

// Limits of the host options.
constexpr uint32_t kMinHostInterval = 50;
constexpr int64_t kMinStepPacketSize = 12;
constexpr int64_t kMaxStepPacketSize = 65500;
constexpr size_t kMaxDestinationText = 511;

// An IPv4 address input of four fields of 0 to 255. A blank field reads as 0, a number
// above 255 as 255. '.' or a third digit moves on to the next field. User-interface thread.
class CIPAddressCtrl : public QWidget {
    Q_OBJECT
public:
    explicit CIPAddressCtrl(QWidget* parent = nullptr);

    // The four fields, first (most significant) first.
    std::array<int, 4> GetFields() const;
    // The address as a number, first field most significant.
    uint32_t GetAddress() const;
    // Shows `hostOrder` (first field from the most significant byte).
    void SetAddress(uint32_t hostOrder);
    // Empties every field.
    void ClearAddress();
    // True when every field is empty.
    bool IsBlank() const;

    QLineEdit* field(int index) const { return m_fields[static_cast<size_t>(index)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::array<QLineEdit*, 4> m_fields{};
};

// The host options both host dialogs share: name, description, mail group and priority,
// interval and time-out with their arrows, the three notify boxes and the packet size with
// its four arrows. User-interface thread.
class CHostOptionControls {
public:
    // Creates the controls as children of `parent`.
    explicit CHostOptionControls(QWidget* parent);

    // The defaults of a new host: interval 1000, time-out 2000, packet size 32, group 0,
    // the three notify boxes checked, high priority as the settings' mail_highpriority.
    void InitDefaults();
    // The record's options into the controls.
    void ShowHost(const CHostItem& host);
    // The numbers the controls would store; nullopt and a box shown (the field focused)
    // when one does not fit its field.
    struct Numbers {
        uint32_t interval = 0;  // already raised to kMinHostInterval
        uint32_t timeout = 0;
        uint32_t packetsize = 0;
        uint16_t mailGroup = 0;
    };
    std::optional<Numbers> ReadNumbers() const;
    // Stores name, description, the numbers, the notify boxes and the priority into `host`
    // (advance bit 0 stays as it is). `numbers` comes from ReadNumbers.
    void StoreOptions(CHostItem& host, const Numbers& numbers) const;

    // The group boxes, for the dialogs' layouts.
    QGroupBox* m_descriptGroup;  // "Descript  Setup"
    QGroupBox* m_mailGroup;      // "Mail  Setup"
    QGroupBox* m_pingGroup;      // "Ping  Setup"
    QGroupBox* m_extendGroup;    // "Extend Setup"

    QLineEdit* m_name;                         // 1007
    QPlainTextEdit* m_descript;                // 1048
    CNumberEdit* m_group;                      // 1010
    QCheckBox* m_priority;                     // 1011
    CNumberEdit* m_interval;                   // 1033
    CSpinArrows* m_intervalSpin;               // 1049
    CNumberEdit* m_timeout;                    // 1032
    CSpinArrows* m_timeoutSpin;                // 1046
    QCheckBox* m_notifyDown;                   // 1008
    QCheckBox* m_notifyUp;                     // 1009
    QCheckBox* m_notifyTtl;                    // 1012
    CNumberEdit* m_packetSize;                 // 1034
    std::array<CSpinArrows*, 4> m_packetSpin;  // 1050..1053: steps 1, 10, 100, 1000

    // The stored texts shown, so that unchanged bytes survive an update as they were.
    std::string m_shownName;
    std::string m_shownDescript;
};

// The host dialog ("Add IP", or "Update IP" for an existing host). Add mode (m_pHost null
// on entry) creates the host only once the whole input is valid and makes it visible to the
// worker threads only once it is filled; update mode writes the same fields into m_pHost.
// Neither sets g_bSetupModified nor stores anything: the caller inserts or refreshes the row
// and stores the setup. User-interface thread.
class CDlgAddIP : public QDialog {
    Q_OBJECT
public:
    explicit CDlgAddIP(QWidget* parent = nullptr);
    ~CDlgAddIP() override;

    // Runs the dialog modally: IDOK with m_pHost set (the new or edited record), IDCANCEL
    // with nothing changed.
    int DoModal();

    bool OnInitDialog();
    // Validates and stores; closes with IDOK on success, else shows a box and stays open.
    void OnAdd();
    void OnHostnameRadio();
    void OnIPv4Radio();
    void OnIPv6Radio();

    // Name lookups of "Hostname:" go through this; tests replace it so that no name leaves
    // the machine. The result is the IPv4 address in network order.
    using HostResolver = std::optional<uint32_t> (*)(const std::string& name);
    static void SetHostResolver(HostResolver resolver);  // nullptr: the system resolver

    int m_nTable = 0;
    CHostItem* m_pHost = nullptr;

    CHostOptionControls m_options;
    QRadioButton* m_hostnameRadio;  // 1041
    QLineEdit* m_hostname;          // 1047
    QRadioButton* m_ipv4Radio;      // 1042
    CIPAddressCtrl* m_ipv4;         // 1040
    QRadioButton* m_ipv6Radio;      // 1043
    QLineEdit* m_ipv6;              // 1054
    QCheckBox* m_resolve;           // 1000
    QPushButton* m_add;             // 1001
    QPushButton* m_cancel;          // 2

protected:
    // Focus entering the host-name edit selects "Hostname:".
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void EnableDestination(bool hostname, bool ipv4, bool ipv6);
};

// Shows one of the host dialogs' warning boxes (caption kBoxCaption).
void ShowHostDialogBox(const char* text);
// Lays out a host dialog: the option groups with `destination` among them, and below
// them the Add and Cancel buttons it creates (Enter presses Add; Cancel rejects).
void LayOutHostDialog(QDialog* dialog, QGroupBox* destination, CHostOptionControls& options,
                      QPushButton** add, QPushButton** cancel);

// The system's lookup of `name` to its first IPv4 address (network order); nullopt when it
// fails or gives the broadcast address. Waits for the answer.
std::optional<uint32_t> ResolveHostIPv4(const std::string& name);
