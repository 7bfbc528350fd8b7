#include "ui/dlg_add_range.h"

#include <algorithm>

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include <arpa/inet.h>

#include "engine/host_list.h"
#include "platform/message_box.h"

namespace {

// The options every host of a range takes from the first one.
void CopyRangeOptions(const CHostItem& from, CHostItem& to) {
    to.name = from.name;
    to.descript = from.descript;
    to.interval.store(from.interval.load());
    to.timeout.store(from.timeout.load());
    to.name_host = from.name_host;
    to.ip_to_name = from.ip_to_name;
    to.notify_down = from.notify_down;
    to.notify_up = from.notify_up;
    to.advance.store(from.advance.load());
    to.mail_group = from.mail_group;
    to.packetsize.store(from.packetsize.load());
    to.mail_priority = from.mail_priority;
}

}  // namespace

uint64_t RangeAddressCount(uint32_t a, uint32_t b) {
    return (a > b ? uint64_t{a} - b : uint64_t{b} - a) + 1;
}

CDlgAddRange::CDlgAddRange(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_options(this) {
    setObjectName("addRangeDialog");
    setWindowTitle(QStringLiteral("Add IP Range"));

    auto* destination = new QGroupBox(QStringLiteral("Destination"), this);
    m_first = new CIPAddressCtrl(destination);
    m_first->setObjectName("first");
    m_end = new CIPAddressCtrl(destination);
    m_end->setObjectName("end");
    m_resolve = new QCheckBox(QStringLiteral("Resolve the IP to hostname"), destination);
    m_resolve->setObjectName("resolve");
    auto* firstLabel = new QLabel(QStringLiteral("First IP Address :"), destination);
    firstLabel->setBuddy(m_first);
    auto* endLabel = new QLabel(QStringLiteral("End IP Address :"), destination);
    endLabel->setBuddy(m_end);
    auto* destinationLayout = new QGridLayout(destination);
    destinationLayout->addWidget(firstLabel, 0, 0);
    destinationLayout->addWidget(m_first, 0, 1);
    destinationLayout->addWidget(endLabel, 1, 0);
    destinationLayout->addWidget(m_end, 1, 1);
    destinationLayout->addWidget(m_resolve, 2, 0, 1, 2);
    destinationLayout->setColumnStretch(1, 1);

    LayOutHostDialog(this, destination, m_options, &m_add, &m_cancel);

    connect(m_add, &QPushButton::clicked, this, &CDlgAddRange::OnAdd);
}

CDlgAddRange::~CDlgAddRange() = default;

int CDlgAddRange::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

bool CDlgAddRange::OnInitDialog() {
    m_options.InitDefaults();
    m_first->ClearAddress();
    m_end->ClearAddress();
    m_resolve->setEnabled(true);
    m_resolve->setChecked(false);
    m_nAdded = 0;
    return true;
}

void CDlgAddRange::OnAdd() {
    // Nothing is created before every check passed: a refused range leaves the table as
    // it was and the dialog open.
    const auto numbers = m_options.ReadNumbers();
    if (!numbers)
        return;
    const uint32_t a = m_first->GetAddress();
    const uint32_t b = m_end->GetAddress();
    const uint64_t count = RangeAddressCount(a, b);
    if (count == 1) {
        ShowHostDialogBox(kErrorIPText);
        return;
    }
    const int free = GetFreeHostSlots(m_nTable);
    if (free <= 0 || count > static_cast<uint64_t>(free)) {
        ShowHostDialogBox(kTooManyIPText);
        return;
    }
    const uint32_t start = std::min(a, b);

    m_pHost = AddHost(m_nTable);
    if (m_pHost == nullptr) {
        ShowHostDialogBox(kAddIPErrorText);
        return;
    }
    CHostItem& first = *m_pHost;
    m_options.StoreOptions(first, *numbers);
    first.StoreAddr4(htonl(start));
    first.ip_to_name = m_resolve->isChecked() ? 1 : 0;
    first.name_host = 0;
    first.hostname.clear();
    PublishHost(&first);
    m_nAdded = 1;

    // count fits the free slots, so start + i stays within 32 bits.
    for (uint64_t i = 1; i < count; ++i) {
        CHostItem* host = AddHost(m_nTable);
        if (host == nullptr)
            break;
        CopyRangeOptions(first, *host);
        host->StoreAddr4(htonl(start + static_cast<uint32_t>(i)));
        PublishHost(host);
        ++m_nAdded;
    }
    accept();
}
