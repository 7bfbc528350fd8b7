#include "ui/dlg_add_ip.h"

#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include "platform/message_box.h"
#include "ui/dlg_setup.h"

CIPAddressCtrl::CIPAddressCtrl(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    for (auto& f : m_fields) {
        f = new QLineEdit(this);
        row->addWidget(f);
    }
}
std::array<int, 4> CIPAddressCtrl::GetFields() const {
    return {};
}
uint32_t CIPAddressCtrl::GetAddress() const {
    return 0;
}
void CIPAddressCtrl::SetAddress(uint32_t) {}
void CIPAddressCtrl::ClearAddress() {}
bool CIPAddressCtrl::IsBlank() const {
    return true;
}
bool CIPAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    return QWidget::eventFilter(watched, event);
}

CHostOptionControls::CHostOptionControls(QWidget* parent) {
    m_descriptGroup = new QGroupBox(parent);
    m_mailGroup = new QGroupBox(parent);
    m_pingGroup = new QGroupBox(parent);
    m_extendGroup = new QGroupBox(parent);
    m_name = new QLineEdit(parent);
    m_descript = new QPlainTextEdit(parent);
    m_group = new QLineEdit(parent);
    m_priority = new QCheckBox(parent);
    m_interval = new QLineEdit(parent);
    m_intervalSpin = new CSpinArrows(parent);
    m_timeout = new QLineEdit(parent);
    m_timeoutSpin = new CSpinArrows(parent);
    m_notifyDown = new QCheckBox(parent);
    m_notifyUp = new QCheckBox(parent);
    m_notifyTtl = new QCheckBox(parent);
    m_packetSize = new QLineEdit(parent);
    for (auto& s : m_packetSpin)
        s = new CSpinArrows(parent);
}
void CHostOptionControls::InitDefaults() {}
void CHostOptionControls::ShowHost(const CHostItem&) {}
std::optional<CHostOptionControls::Numbers> CHostOptionControls::ReadNumbers() const {
    return std::nullopt;
}
void CHostOptionControls::StoreOptions(CHostItem&, const Numbers&) const {}
void CHostOptionControls::StepEdit(QLineEdit*, int, int64_t, int64_t, int64_t) {}

CDlgAddIP::CDlgAddIP(QWidget* parent) : QDialog(parent), m_options(this) {
    m_hostnameRadio = new QRadioButton(this);
    m_hostname = new QLineEdit(this);
    m_ipv4Radio = new QRadioButton(this);
    m_ipv4 = new CIPAddressCtrl(this);
    m_ipv6Radio = new QRadioButton(this);
    m_ipv6 = new QLineEdit(this);
    m_resolve = new QCheckBox(this);
    m_add = new QPushButton(this);
    m_cancel = new QPushButton(this);
}
CDlgAddIP::~CDlgAddIP() = default;
int CDlgAddIP::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}
bool CDlgAddIP::OnInitDialog() {
    return true;
}
void CDlgAddIP::OnAdd() {}
void CDlgAddIP::OnHostnameRadio() {}
void CDlgAddIP::OnIPv4Radio() {}
void CDlgAddIP::OnIPv6Radio() {}
void CDlgAddIP::SetHostResolver(HostResolver) {}
void CDlgAddIP::EnableDestination(bool, bool, bool) {}
std::optional<uint32_t> ResolveHostIPv4(const std::string&) {
    return std::nullopt;
}
